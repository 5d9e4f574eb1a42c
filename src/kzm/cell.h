// 8 x 8 pixel cells.
//
// A kzm::Cell handle holds one implementation or nothing (a cell that never got
// content). Two kinds exist: RGBA bitmap (1) and RGBA fill (2). A fill holds
// one value for all 64 pixels and replaces itself by a bitmap (in its owner
// handle) as soon as a blend makes one pixel differ; the free functions below
// (SetFill, AssignPixels, ...) and tile compaction turn cells back into
// fills. Every implementation keeps a pointer to its owner
// handle, so handles must stay where they are: they are neither copyable nor
// movable (tiles keep them in a fixed array).
//
// Pixel (x, y) of a cell is element x + 8 * y. Cell objects live in the
// 32-byte pool, pixel blocks in the 512-byte pool.
#pragma once
#include <cassert>
#include <cstddef>
#include <cstdint>

#include "blend/blend_desc.h"
#include "blend/pixel.h"
#include "kzm/geometry.h"
#include "kzm/mempool.h"

namespace kzm {

// Starts loading the cache line at p (a hint; nothing where unsupported).
inline void Prefetch(const void* p) {
#if defined(__GNUC__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}

class Cell {
 public:
  enum Kind : int { kNull = 0, kRGBABitmap = 1, kRGBAFill = 2 };

  class ImplBase;
  class ImplRGBABase;
  class ImplRGBABitmap;
  class ImplRGBAFill;

  Cell() = default;
  ~Cell();
  Cell(const Cell&) = delete;
  Cell& operator=(const Cell&) = delete;

  ImplBase* impl() const { return impl_; }
  // Destroys the current implementation and adopts `repl` (whose owner must
  // be this handle).
  void Install(ImplBase* repl);

  // ---- fast inspection ----
  int Kind() const;  // kNull for a null handle
  bool IsNull() const { return impl_ == nullptr; }
  bool IsRGBA() const { int k = Kind(); return k == kRGBABitmap || k == kRGBAFill; }

  // RGBA kinds only (asserted): the fill value / the 64 bitmap pixels (null
  // for a bitmap made without a block).
  const PixelRGBA& FillValue() const;
  const PixelRGBA* BitmapPixels() const;
  PixelRGBA* MutableBitmapPixels();

  // RGBA: pointer to pixel (x, y); for a fill its single value; null when the
  // handle is null or not RGBA.
  const PixelRGBA* PixelAt(int x, int y) const;

  // RGBA blends (cell must be RGBA): the kernels of blend/kernels.h over the
  // cell's pixels. BlendColor keeps a fill a fill; the others promote it.
  void BlendColor(const PixelRGBA& src, uint16_t opacity, const Blend& b);
  void BlendPixels(const PixelRGBA* src64, uint16_t opacity, const Blend& b);
  void BlendPixelsMasked(const PixelRGBA* src64, uint16_t opacity, const uint16_t* mask64, const Blend& b);
  void BlendColorMasked(const PixelRGBA& src, uint16_t opacity, const uint16_t* mask64, const Blend& b);

 private:
  friend class ImplBase;
  ImplBase* impl_ = nullptr;
};

// ---------------------------------------------------------------------------
// Implementations. The virtual interface follows the cell operation order.
class Cell::ImplBase {
 public:
  explicit ImplBase(Cell* owner, int kind) : owner_(owner), kind_(uint8_t(kind)) {}
  virtual ~ImplBase() = default;

  int Kind() const { return kind_; }

  // True when all 64 pixels are equal (bitmaps only); counts a cell equal to
  // the background.
  virtual bool CheckUniform(int& counter, const PixelRGBA& background) const = 0;

 protected:
  // Installs `repl` in the owner handle and destroys this implementation.
  void ReplaceSelf(ImplBase* repl);

  Cell* owner_;
  uint8_t kind_;
};

class Cell::ImplRGBABase : public Cell::ImplBase {
 public:
  using ImplBase::ImplBase;
  virtual void BlendColor(const PixelRGBA& src, uint16_t opacity, const Blend& b) = 0;
  virtual void BlendPixels(const PixelRGBA* src, uint16_t opacity, const Blend& b) = 0;
  virtual void BlendPixelsMasked(const PixelRGBA* src, uint16_t opacity, const uint16_t* mask, const Blend& b) = 0;
  virtual void BlendColorMasked(const PixelRGBA& src, uint16_t opacity, const uint16_t* mask, const Blend& b) = 0;
};

class Cell::ImplRGBABitmap final : public Cell::ImplRGBABase {
 public:
  // Takes ownership of `pixels` (a 512-byte pool block, may be null).
  ImplRGBABitmap(Cell* owner, PixelRGBA* pixels);
  ~ImplRGBABitmap() override;
  KZM_POOLED(PoolId::k32)

  const PixelRGBA* ConstData() const { return px_; }
  PixelRGBA* Data() { return px_; }

  bool CheckUniform(int& counter, const PixelRGBA& bg) const override;
  void BlendColor(const PixelRGBA& src, uint16_t opacity, const Blend& b) override;
  void BlendPixels(const PixelRGBA* src, uint16_t opacity, const Blend& b) override;
  void BlendPixelsMasked(const PixelRGBA* src, uint16_t opacity, const uint16_t* mask, const Blend& b) override;
  void BlendColorMasked(const PixelRGBA& src, uint16_t opacity, const uint16_t* mask, const Blend& b) override;

 private:
  PixelRGBA* px_;
};

class Cell::ImplRGBAFill final : public Cell::ImplRGBABase {
 public:
  ImplRGBAFill(Cell* owner, const PixelRGBA& v);
  KZM_POOLED(PoolId::k32)

  const PixelRGBA& Value() const { return v_; }
  void SetValue(const PixelRGBA& v) { v_ = v; }

  bool CheckUniform(int& counter, const PixelRGBA& bg) const override;
  void BlendColor(const PixelRGBA& src, uint16_t opacity, const Blend& b) override;
  void BlendPixels(const PixelRGBA* src, uint16_t opacity, const Blend& b) override;
  void BlendPixelsMasked(const PixelRGBA* src, uint16_t opacity, const uint16_t* mask, const Blend& b) override;
  void BlendColorMasked(const PixelRGBA& src, uint16_t opacity, const uint16_t* mask, const Blend& b) override;

 private:
  PixelRGBA v_;
};

// ---------------------------------------------------------------------------
// Cell handle operations used by loaders and layers.

// RGBA fill (null -> new fill, fill -> value replaced, bitmap -> replaced).
void SetFill(Cell& c, const PixelRGBA& v);
// RGBA bitmap holding a copy of the 64 pixels.
void AssignPixels(Cell& c, const PixelRGBA* px64);
// RGBA bitmap that takes over `block` (a 512-byte pool block of 64 pixels).
void AdoptPixels(Cell& c, PixelRGBA* block);

// Whole cell from 8-bit packed pixels (byte 0 red .. byte 3 alpha), widened and
// premultiplied. `src` is the cell's pixel (0, 0); steps are in pixels. With
// `allowFill` a uniform 8 x 8 source becomes a fill cell instead of a bitmap.
void AssignFrom8(Cell& c, const uint32_t* src, ptrdiff_t colStep, ptrdiff_t rowStep, bool allowFill = true);
// Partial cell: only pixels inside `clip` (cell coordinates 0..8, exclusive
// right/bottom) come from the source, the rest take `def`. `src` points at
// the source pixel for cell pixel (clip.left, clip.top). An all-equal result
// becomes a fill when `allowFill`.
void AssignFrom8Clipped(Cell& c, const uint32_t* src, ptrdiff_t colStep, ptrdiff_t rowStep, const Rect& clip,
                        const PixelRGBA& def, bool allowFill = true);
// The same from straight 16-bit pixels packed in 64-bit words (bits 0-15 red
// .. 48-63 alpha), mapped by PixelFrom16.
void AssignFrom16(Cell& c, const uint64_t* src, ptrdiff_t colStep, ptrdiff_t rowStep, bool allowFill = true);
void AssignFrom16Clipped(Cell& c, const uint64_t* src, ptrdiff_t colStep, ptrdiff_t rowStep, const Rect& clip,
                         const PixelRGBA& def, bool allowFill = true);

// ---------------------------------------------------------------------------
inline int Cell::Kind() const { return impl_ ? impl_->Kind() : kNull; }

}  // namespace kzm
