// 8 x 8 pixel cells.
//
// A kzm::Cell handle holds one implementation or nothing (a cell that never got
// content). Four kinds exist: RGBA bitmap (1), RGBA fill (2), gray bitmap (3),
// gray fill (4). A fill holds one value for all 64 pixels and replaces itself
// by a bitmap (in its owner handle) as soon as one pixel must differ; the
// free functions below (SetFill, AssignPixels, ...) and tile compaction turn
// cells back into fills. Every implementation keeps a pointer to its owner
// handle, so handles must stay where they are: they are neither copyable nor
// movable (tiles keep them in a fixed array).
//
// Pixel (x, y) of a cell is element x + 8 * y. Cell objects live in the 32- or
// 24-byte pool, RGBA pixel blocks in the 512-byte pool.
#pragma once
#include <cassert>
#include <cstddef>
#include <cstdint>

#include "blend/blend_desc.h"
#include "blend/kernels.h"
#include "blend/pixel.h"
#include "kzm/geometry.h"
#include "kzm/mempool.h"

namespace kzm {

class SavePixelsImpl;

// Starts loading the cache line at p (a hint; nothing where unsupported).
inline void Prefetch(const void* p) {
#if defined(__GNUC__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}

// Gray combine operations (CombineCells / CombineValue).
enum class GrayOp : int { kUnion = 0, kIntersect = 1, kSubtract = 2, kAdd = 3 };
uint16_t CombineGray(uint16_t value, uint16_t source, GrayOp op);

class Cell {
 public:
  enum Kind : int { kNull = 0, kRGBABitmap = 1, kRGBAFill = 2, kGrayBitmap = 3, kGrayFill = 4 };

  class ImplBase;
  class ImplRGBABase;
  class ImplGrayBase;
  class ImplRGBABitmap;
  class ImplRGBAFill;
  class ImplGrayBitmap;
  class ImplGrayFill;

  Cell() = default;
  ~Cell();
  Cell(const Cell&) = delete;
  Cell& operator=(const Cell&) = delete;

  ImplBase* impl() const { return impl_; }
  void Reset();  // destroys the implementation; the handle becomes null
  // Destroys the current implementation and adopts `repl` (whose owner must
  // be this handle).
  void Install(ImplBase* repl);

  // ---- fast inspection ----
  int Kind() const;  // kNull for a null handle
  bool IsNull() const { return impl_ == nullptr; }
  bool IsFill() const { int k = Kind(); return k == kRGBAFill || k == kGrayFill; }
  bool IsBitmap() const { int k = Kind(); return k == kRGBABitmap || k == kGrayBitmap; }
  bool IsRGBA() const { int k = Kind(); return k == kRGBABitmap || k == kRGBAFill; }
  bool IsGray() const { int k = Kind(); return k == kGrayBitmap || k == kGrayFill; }
  uint32_t SaveStamp() const;  // 0 for a null handle

  // RGBA kinds only (asserted): the fill value / the 64 bitmap pixels (null
  // for a bitmap whose block was handed to a snapshot).
  const PixelRGBA& FillValue() const;
  const PixelRGBA* BitmapPixels() const;
  PixelRGBA* MutableBitmapPixels();
  // Gray kinds only (asserted).
  uint16_t GrayFillValue() const;
  const uint16_t* GrayPixels() const;

  // RGBA: pointer to pixel (x, y); for a fill its single value; null when the
  // handle is null or not RGBA.
  const PixelRGBA* PixelAt(int x, int y) const;
  // RGBA pixel write; a fill with another value becomes a bitmap whose other
  // 63 pixels keep the old value. The handle must hold an RGBA cell.
  void SetPixel(int x, int y, const PixelRGBA& v);
  // Makes an RGBA cell a bitmap (if a fill) and returns its 64 pixels.
  PixelRGBA* MakeBitmap();

  // RGBA blends (cell must be RGBA): the kernels of blend/kernels.h over the
  // cell's pixels. BlendColor keeps a fill a fill; the others promote it.
  void BlendColor(const PixelRGBA& src, uint16_t opacity, const Blend& b);
  void BlendPixels(const PixelRGBA* src64, uint16_t opacity, const Blend& b);
  void BlendPixelsMasked(const PixelRGBA* src64, uint16_t opacity, const uint16_t* mask64, const Blend& b);
  void BlendColorMasked(const PixelRGBA& src, uint16_t opacity, const uint16_t* mask64, const Blend& b);
  void BlendPixelsPlain(const PixelRGBA* src64, const blend::OpacityMask& om, const Blend& b);

 private:
  friend class ImplBase;
  ImplBase* impl_ = nullptr;
};

// ---------------------------------------------------------------------------
// Implementations. The virtual interface follows the cell operation order.
class Cell::ImplBase {
 public:
  explicit ImplBase(Cell* owner, int kind, uint32_t stamp) : owner_(owner), stamp_(stamp), kind_(uint8_t(kind)) {}
  virtual ~ImplBase() = default;

  int Kind() const { return kind_; }
  virtual bool IsFill() const = 0;
  uint32_t SaveStamp() const { return stamp_; }
  void SetSaveStamp(uint32_t s) { stamp_ = s; }
  Cell* Owner() const { return owner_; }

  virtual void Invert() = 0;
  // Per-pixel amount from a gray bitmap mask, else the mask's single value.
  // May replace this implementation (a fill under a bitmap mask).
  virtual void ApplyMask(const Cell& mask) = 0;
  virtual void ApplyAmount(uint16_t m) = 0;
  // True when all 64 pixels are equal (bitmaps only); counts a cell equal to
  // the background (gray cells compare with the background's alpha).
  virtual bool CheckUniform(int& counter, const PixelRGBA& background) const = 0;
  // Appends a copy to the snapshot unless already recorded in its generation.
  virtual bool SnapshotCopy(TileLocate loc, int cx, int cy, SavePixelsImpl& snap) = 0;
  // As SnapshotCopy, but a bitmap hands its block to the record.
  virtual bool SnapshotMove(TileLocate loc, int cx, int cy, SavePixelsImpl& snap) = 0;

 protected:
  // Installs `repl` in the owner handle and destroys this implementation.
  void ReplaceSelf(ImplBase* repl);

  Cell* owner_;
  uint32_t stamp_;
  uint8_t kind_;
};

class Cell::ImplRGBABase : public Cell::ImplBase {
 public:
  using ImplBase::ImplBase;
  virtual const PixelRGBA* ConstData() const = 0;
  virtual PixelRGBA* Data() = 0;
  virtual PixelRGBA* MakeBitmap() = 0;  // may replace this implementation
  virtual PixelRGBA* BitmapData() = 0;
  virtual const PixelRGBA* PixelAt(int x, int y) const = 0;
  virtual void SetPixelSaved(int x, int y, const PixelRGBA& v, TileLocate loc, int cx, int cy,
                             SavePixelsImpl& snap) = 0;
  virtual void SetPixel(int x, int y, const PixelRGBA& v) = 0;
  virtual void BlendColor(const PixelRGBA& src, uint16_t opacity, const Blend& b) = 0;
  virtual void BlendPixels(const PixelRGBA* src, uint16_t opacity, const Blend& b) = 0;
  virtual void BlendPixelsMasked(const PixelRGBA* src, uint16_t opacity, const uint16_t* mask, const Blend& b) = 0;
  virtual void BlendColorMasked(const PixelRGBA& src, uint16_t opacity, const uint16_t* mask, const Blend& b) = 0;
  virtual void BlendPixelsPlain(const PixelRGBA* src, const blend::OpacityMask& om, const Blend& b) = 0;
};

class Cell::ImplGrayBase : public Cell::ImplBase {
 public:
  using ImplBase::ImplBase;
  virtual const uint16_t* ConstData() const = 0;
  virtual uint16_t* Data() = 0;
  virtual uint16_t* MakeBitmap() = 0;  // may replace this implementation
  virtual uint16_t* BitmapData() = 0;
  virtual const uint16_t* PixelAt(int x, int y) const = 0;
  virtual void SetPixelSaved(int x, int y, uint16_t v, TileLocate loc, int cx, int cy, SavePixelsImpl& snap) = 0;
  virtual void SetPixel(int x, int y, uint16_t v) = 0;
  virtual void CombineCells(const uint16_t* src64, GrayOp op) = 0;  // promotes a fill
  virtual void CombineValue(uint16_t src, GrayOp op) = 0;          // keeps a fill a fill
};

class Cell::ImplRGBABitmap final : public Cell::ImplRGBABase {
 public:
  // Takes ownership of `pixels` (a 512-byte pool block, may be null).
  ImplRGBABitmap(Cell* owner, PixelRGBA* pixels, uint32_t stamp);
  ~ImplRGBABitmap() override;
  KZM_POOLED(PoolId::k32)

  bool IsFill() const override { return false; }
  void Invert() override;
  void ApplyMask(const Cell& mask) override;
  void ApplyAmount(uint16_t m) override;
  bool CheckUniform(int& counter, const PixelRGBA& bg) const override;
  bool SnapshotCopy(TileLocate loc, int cx, int cy, SavePixelsImpl& snap) override;
  bool SnapshotMove(TileLocate loc, int cx, int cy, SavePixelsImpl& snap) override;
  const PixelRGBA* ConstData() const override { return px_; }
  PixelRGBA* Data() override { return px_; }
  PixelRGBA* MakeBitmap() override { return px_; }
  PixelRGBA* BitmapData() override { return px_; }
  const PixelRGBA* PixelAt(int x, int y) const override { return px_ + x + 8 * y; }
  void SetPixelSaved(int x, int y, const PixelRGBA& v, TileLocate loc, int cx, int cy, SavePixelsImpl& snap) override;
  void SetPixel(int x, int y, const PixelRGBA& v) override { px_[x + 8 * y] = v; }
  void BlendColor(const PixelRGBA& src, uint16_t opacity, const Blend& b) override;
  void BlendPixels(const PixelRGBA* src, uint16_t opacity, const Blend& b) override;
  void BlendPixelsMasked(const PixelRGBA* src, uint16_t opacity, const uint16_t* mask, const Blend& b) override;
  void BlendColorMasked(const PixelRGBA& src, uint16_t opacity, const uint16_t* mask, const Blend& b) override;
  void BlendPixelsPlain(const PixelRGBA* src, const blend::OpacityMask& om, const Blend& b) override;

 private:
  PixelRGBA* px_;
};

class Cell::ImplRGBAFill final : public Cell::ImplRGBABase {
 public:
  ImplRGBAFill(Cell* owner, const PixelRGBA& v, uint32_t stamp);
  KZM_POOLED(PoolId::k32)

  const PixelRGBA& Value() const { return v_; }
  void SetValue(const PixelRGBA& v) { v_ = v; }

  bool IsFill() const override { return true; }
  void Invert() override;
  void ApplyMask(const Cell& mask) override;
  void ApplyAmount(uint16_t m) override;
  bool CheckUniform(int& counter, const PixelRGBA& bg) const override;
  bool SnapshotCopy(TileLocate loc, int cx, int cy, SavePixelsImpl& snap) override;
  bool SnapshotMove(TileLocate loc, int cx, int cy, SavePixelsImpl& snap) override;
  const PixelRGBA* ConstData() const override { return nullptr; }
  PixelRGBA* Data() override { return nullptr; }
  PixelRGBA* MakeBitmap() override;
  PixelRGBA* BitmapData() override { return nullptr; }
  const PixelRGBA* PixelAt(int, int) const override { return &v_; }
  void SetPixelSaved(int x, int y, const PixelRGBA& v, TileLocate loc, int cx, int cy, SavePixelsImpl& snap) override;
  void SetPixel(int x, int y, const PixelRGBA& v) override;
  void BlendColor(const PixelRGBA& src, uint16_t opacity, const Blend& b) override;
  void BlendPixels(const PixelRGBA* src, uint16_t opacity, const Blend& b) override;
  void BlendPixelsMasked(const PixelRGBA* src, uint16_t opacity, const uint16_t* mask, const Blend& b) override;
  void BlendColorMasked(const PixelRGBA& src, uint16_t opacity, const uint16_t* mask, const Blend& b) override;
  void BlendPixelsPlain(const PixelRGBA* src, const blend::OpacityMask& om, const Blend& b) override;

 private:
  PixelRGBA v_;
};

class Cell::ImplGrayBitmap final : public Cell::ImplGrayBase {
 public:
  // Takes ownership of `values` (new uint16_t[64], may be null).
  ImplGrayBitmap(Cell* owner, uint16_t* values, uint32_t stamp);
  ~ImplGrayBitmap() override;
  KZM_POOLED(PoolId::k32)

  bool IsFill() const override { return false; }
  void Invert() override;
  void ApplyMask(const Cell& mask) override;
  void ApplyAmount(uint16_t m) override;
  bool CheckUniform(int& counter, const PixelRGBA& bg) const override;
  bool SnapshotCopy(TileLocate loc, int cx, int cy, SavePixelsImpl& snap) override;
  bool SnapshotMove(TileLocate loc, int cx, int cy, SavePixelsImpl& snap) override;
  const uint16_t* ConstData() const override { return v_; }
  uint16_t* Data() override { return v_; }
  uint16_t* MakeBitmap() override { return v_; }
  uint16_t* BitmapData() override { return v_; }
  const uint16_t* PixelAt(int x, int y) const override { return v_ + x + 8 * y; }
  void SetPixelSaved(int x, int y, uint16_t v, TileLocate loc, int cx, int cy, SavePixelsImpl& snap) override;
  void SetPixel(int x, int y, uint16_t v) override { v_[x + 8 * y] = v; }
  void CombineCells(const uint16_t* src64, GrayOp op) override;
  void CombineValue(uint16_t src, GrayOp op) override;

 private:
  uint16_t* v_;
};

class Cell::ImplGrayFill final : public Cell::ImplGrayBase {
 public:
  ImplGrayFill(Cell* owner, uint16_t v, uint32_t stamp);
  KZM_POOLED(PoolId::k24)

  uint16_t Value() const { return v_; }
  void SetValue(uint16_t v) { v_ = v; }

  bool IsFill() const override { return true; }
  void Invert() override;
  void ApplyMask(const Cell& mask) override;
  void ApplyAmount(uint16_t m) override;
  bool CheckUniform(int& counter, const PixelRGBA& bg) const override;
  bool SnapshotCopy(TileLocate loc, int cx, int cy, SavePixelsImpl& snap) override;
  bool SnapshotMove(TileLocate loc, int cx, int cy, SavePixelsImpl& snap) override;
  const uint16_t* ConstData() const override { return nullptr; }
  uint16_t* Data() override { return nullptr; }
  uint16_t* MakeBitmap() override;
  uint16_t* BitmapData() override { return nullptr; }
  const uint16_t* PixelAt(int, int) const override { return &v_; }
  void SetPixelSaved(int x, int y, uint16_t v, TileLocate loc, int cx, int cy, SavePixelsImpl& snap) override;
  void SetPixel(int x, int y, uint16_t v) override;
  void CombineCells(const uint16_t* src64, GrayOp op) override;
  void CombineValue(uint16_t src, GrayOp op) override;

 private:
  uint16_t v_;
};

// ---------------------------------------------------------------------------
// Cell handle operations used by loaders and layers. A replaced implementation
// hands its save stamp to the new one.

// RGBA fill (null -> new fill, fill -> value replaced, bitmap -> replaced).
void SetFill(Cell& c, const PixelRGBA& v);
// RGBA bitmap whose 64 pixels all equal v.
void SetSolidBitmap(Cell& c, const PixelRGBA& v);
// RGBA bitmap holding a copy of the 64 pixels.
void AssignPixels(Cell& c, const PixelRGBA* px64);
// RGBA bitmap that takes over `block` (a 512-byte pool block of 64 pixels).
void AdoptPixels(Cell& c, PixelRGBA* block);
// Copies another cell by kind (with its save stamp); a null source nulls c.
void AssignFrom(Cell& c, const Cell& src);
void SetGrayFill(Cell& c, uint16_t v);
void AssignGray(Cell& c, const uint16_t* v64);

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
inline uint32_t Cell::SaveStamp() const { return impl_ ? impl_->SaveStamp() : 0; }

}  // namespace kzm
