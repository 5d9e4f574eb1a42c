#include "kzm/cell.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "blend/kernels.h"

namespace kzm {

static_assert(sizeof(Cell) == sizeof(void*), "a cell handle is one pointer");
static_assert(sizeof(Cell::ImplRGBABitmap) <= 32, "RGBA bitmap cells live in the 32-byte pool");
static_assert(sizeof(Cell::ImplRGBAFill) <= 32, "RGBA fill cells live in the 32-byte pool");

namespace {

// A 512-byte pool block of 64 RGBA pixels, released unless handed on.
struct PixelBlock {
  PixelRGBA* p = static_cast<PixelRGBA*>(PoolAlloc(PoolId::k512));
  PixelBlock() = default;
  PixelBlock(const PixelBlock&) = delete;
  PixelBlock& operator=(const PixelBlock&) = delete;
  ~PixelBlock() { PoolFree(PoolId::k512, p); }
  PixelRGBA* release() { PixelRGBA* r = p; p = nullptr; return r; }
};

void Fill64(PixelRGBA* px, const PixelRGBA& v) {
  for (int i = 0; i < 64; ++i) px[i] = v;
}

// Eight packed 8-bit pixels to premultiplied 16-bit ones, as PixelFrom8:
// colour (c * a * 33026) >> 17 and alpha (a * 16449) >> 8, computed in
// 16-bit lanes: c * a fits 16 bits, and (p * 33026) >> 17 is the high half
// of a 16 x 16-bit product shifted once more.
inline void Widen8Row(const uint32_t* src, uint16_t* out) {
#if defined(__SSE2__)
  // Two pixels a register: bytes to 16-bit lanes, alpha broadcast over its
  // pixel; colour (c * a) * 33026 >> 17 as the high half of the product
  // shifted once more; alpha (a * 16449) >> 8 from both halves of its product.
  const __m128i zero = _mm_setzero_si128(), k = _mm_set1_epi16(int16_t(33026)), ka = _mm_set1_epi16(16449);
  const __m128i alphaLanes = _mm_set_epi16(-1, 0, 0, 0, -1, 0, 0, 0);
  for (int half = 0; half < 2; ++half) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * half));
    for (int pair = 0; pair < 2; ++pair) {
      const __m128i c = pair ? _mm_unpackhi_epi8(v, zero) : _mm_unpacklo_epi8(v, zero);
      const __m128i a = _mm_shufflehi_epi16(_mm_shufflelo_epi16(c, 0xFF), 0xFF);
      const __m128i colour = _mm_srli_epi16(_mm_mulhi_epu16(_mm_mullo_epi16(c, a), k), 1);
      const __m128i alpha =
          _mm_or_si128(_mm_slli_epi16(_mm_mulhi_epu16(a, ka), 8), _mm_srli_epi16(_mm_mullo_epi16(a, ka), 8));
      const __m128i px = _mm_or_si128(_mm_andnot_si128(alphaLanes, colour), _mm_and_si128(alphaLanes, alpha));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * half + 8 * pair), px);
    }
  }
#else
  uint16_t r[8], g[8], b[8], a[8];
  for (int x = 0; x < 8; ++x) {
    const uint32_t v = src[x];
    r[x] = uint16_t(v & 0xFF);
    g[x] = uint16_t((v >> 8) & 0xFF);
    b[x] = uint16_t((v >> 16) & 0xFF);
    a[x] = uint16_t(v >> 24);
  }
  for (int x = 0; x < 8; ++x) {
    const uint32_t al = a[x];
    out[4 * x + 0] = uint16_t((uint32_t(uint16_t(r[x] * al)) * 33026u) >> 17);
    out[4 * x + 1] = uint16_t((uint32_t(uint16_t(g[x] * al)) * 33026u) >> 17);
    out[4 * x + 2] = uint16_t((uint32_t(uint16_t(b[x] * al)) * 33026u) >> 17);
    out[4 * x + 3] = uint16_t((al * 16449u) >> 8);
  }
#endif
}

bool AllEqual(const PixelRGBA* px) {
  const uint64_t w = px[0].Word();
  for (int i = 1; i < 64; ++i)
    if (px[i].Word() != w) return false;
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Handle

Cell::~Cell() { delete impl_; }

void Cell::Install(ImplBase* repl) {
  ImplBase* old = impl_;
  impl_ = repl;
  delete old;
}

void Cell::ImplBase::ReplaceSelf(ImplBase* repl) {
  Cell* o = owner_;
  o->impl_ = repl;
  delete this;
}

const PixelRGBA& Cell::FillValue() const {
  assert(Kind() == kRGBAFill);
  return static_cast<const ImplRGBAFill*>(impl_)->Value();
}
const PixelRGBA* Cell::BitmapPixels() const {
  assert(Kind() == kRGBABitmap);
  return static_cast<const ImplRGBABitmap*>(impl_)->ConstData();
}
PixelRGBA* Cell::MutableBitmapPixels() {
  assert(Kind() == kRGBABitmap);
  return static_cast<ImplRGBABitmap*>(impl_)->Data();
}

const PixelRGBA* Cell::PixelAt(int x, int y) const {
  switch (Kind()) {
    case kRGBAFill:
      return &static_cast<const ImplRGBAFill*>(impl_)->Value();
    case kRGBABitmap: {
      const PixelRGBA* px = static_cast<const ImplRGBABitmap*>(impl_)->ConstData();
      return px ? px + x + 8 * y : nullptr;
    }
    default:
      return nullptr;
  }
}

void Cell::BlendColor(const PixelRGBA& src, uint16_t opacity, const Blend& b) {
  assert(IsRGBA());
  static_cast<ImplRGBABase*>(impl_)->BlendColor(src, opacity, b);
}
void Cell::BlendPixels(const PixelRGBA* src64, uint16_t opacity, const Blend& b) {
  assert(IsRGBA());
  static_cast<ImplRGBABase*>(impl_)->BlendPixels(src64, opacity, b);
}
void Cell::BlendPixelsMasked(const PixelRGBA* src64, uint16_t opacity, const uint16_t* mask64, const Blend& b) {
  assert(IsRGBA());
  static_cast<ImplRGBABase*>(impl_)->BlendPixelsMasked(src64, opacity, mask64, b);
}
void Cell::BlendColorMasked(const PixelRGBA& src, uint16_t opacity, const uint16_t* mask64, const Blend& b) {
  assert(IsRGBA());
  static_cast<ImplRGBABase*>(impl_)->BlendColorMasked(src, opacity, mask64, b);
}
// ---------------------------------------------------------------------------
// RGBA bitmap

Cell::ImplRGBABitmap::ImplRGBABitmap(Cell* owner, PixelRGBA* pixels)
    : ImplRGBABase(owner, kRGBABitmap), px_(pixels) {}

Cell::ImplRGBABitmap::~ImplRGBABitmap() { PoolFree(PoolId::k512, px_); }

bool Cell::ImplRGBABitmap::CheckUniform(int& counter, const PixelRGBA& bg) const {
  if (!px_ || !AllEqual(px_)) return false;
  if (px_[0] == bg) ++counter;
  return true;
}

void Cell::ImplRGBABitmap::BlendColor(const PixelRGBA& src, uint16_t opacity, const Blend& b) {
  if (px_) blend::BlendColor(px_, px_ + 64, src, opacity, b);
}
void Cell::ImplRGBABitmap::BlendPixels(const PixelRGBA* src, uint16_t opacity, const Blend& b) {
  if (px_) blend::BlendPixels(px_, px_ + 64, src, opacity, b);
}
void Cell::ImplRGBABitmap::BlendPixelsMasked(const PixelRGBA* src, uint16_t opacity, const uint16_t* mask,
                                             const Blend& b) {
  if (px_) blend::BlendPixelsMasked(px_, px_ + 64, src, opacity, mask, b);
}
void Cell::ImplRGBABitmap::BlendColorMasked(const PixelRGBA& src, uint16_t opacity, const uint16_t* mask,
                                            const Blend& b) {
  if (px_) blend::BlendColorMasked(px_, px_ + 64, src, opacity, mask, b);
}
// ---------------------------------------------------------------------------
// RGBA fill

Cell::ImplRGBAFill::ImplRGBAFill(Cell* owner, const PixelRGBA& v)
    : ImplRGBABase(owner, kRGBAFill), v_(v) {}

bool Cell::ImplRGBAFill::CheckUniform(int& counter, const PixelRGBA& bg) const {
  if (v_ == bg) ++counter;
  return false;
}

void Cell::ImplRGBAFill::BlendColor(const PixelRGBA& src, uint16_t opacity, const Blend& b) {
  blend::BlendColorOnFill(&v_, src, opacity, b);
}

// The fill becomes a bitmap holding the blend result computed straight from
// the fill value.
#define KZM_FILL_TO_BITMAP(CALL)                                \
  PixelBlock block;                                             \
  PixelRGBA* out = block.p;                                     \
  CALL;                                                         \
  auto* bm = new ImplRGBABitmap(owner_, block.p);               \
  block.release();                                              \
  ReplaceSelf(bm);

void Cell::ImplRGBAFill::BlendPixels(const PixelRGBA* src, uint16_t opacity, const Blend& b) {
  KZM_FILL_TO_BITMAP(blend::BlendPixelsFromFill(out, v_, src, opacity, b))
}
void Cell::ImplRGBAFill::BlendPixelsMasked(const PixelRGBA* src, uint16_t opacity, const uint16_t* mask,
                                           const Blend& b) {
  KZM_FILL_TO_BITMAP(blend::BlendPixelsMaskedFromFill(out, v_, src, opacity, mask, b))
}
void Cell::ImplRGBAFill::BlendColorMasked(const PixelRGBA& src, uint16_t opacity, const uint16_t* mask,
                                          const Blend& b) {
  KZM_FILL_TO_BITMAP(blend::BlendColorMaskedFromFill(out, v_, src, opacity, mask, b))
}
#undef KZM_FILL_TO_BITMAP

// ---------------------------------------------------------------------------
// Handle operations

void SetFill(Cell& c, const PixelRGBA& v) {
  if (c.Kind() == Cell::kRGBAFill) {
    static_cast<Cell::ImplRGBAFill*>(c.impl())->SetValue(v);
    return;
  }
  c.Install(new Cell::ImplRGBAFill(&c, v));
}

void AssignPixels(Cell& c, const PixelRGBA* px64) {
  if (c.Kind() == Cell::kRGBABitmap) {
    auto* bm = static_cast<Cell::ImplRGBABitmap*>(c.impl());
    if (PixelRGBA* px = bm->Data()) {
      if (px != px64) std::memcpy(px, px64, 512);
      return;
    }
  }
  PixelBlock block;
  std::memcpy(block.p, px64, 512);
  auto* bm = new Cell::ImplRGBABitmap(&c, block.p);
  block.release();
  c.Install(bm);
}

void AdoptPixels(Cell& c, PixelRGBA* block) {
  Cell::ImplRGBABitmap* bm;
  try {
    bm = new Cell::ImplRGBABitmap(&c, block);
  } catch (...) {
    PoolFree(PoolId::k512, block);
    throw;
  }
  c.Install(bm);
}

void AssignFrom8(Cell& c, const uint32_t* src, ptrdiff_t colStep, ptrdiff_t rowStep, bool allowFill) {
  if (allowFill) {
    const uint32_t w = src[0];
    bool uniform = true;
    for (int y = 0; y < 8 && uniform; ++y) {
      const uint32_t* row = src + y * rowStep;
      for (int x = 0; x < 8; ++x)
        if (row[x * colStep] != w) {
          uniform = false;
          break;
        }
    }
    if (uniform) {
      SetFill(c, PixelFrom8(w));
      return;
    }
  }
  if (colStep == 1 && c.IsNull()) {
    // The common case of an import: converted straight into the new cell's
    // block, a row of 8 pixels at a time in 16-bit lanes (vectorisable).
    PixelBlock block;
    uint16_t* out = reinterpret_cast<uint16_t*>(block.p);
    for (int y = 0; y < 8; ++y) Widen8Row(src + y * rowStep, out + 32 * y);
    PixelRGBA* px = block.release();
    AdoptPixels(c, px);
    return;
  }
  PixelRGBA px[64];
  for (int y = 0; y < 8; ++y) {
    const uint32_t* row = src + y * rowStep;
    for (int x = 0; x < 8; ++x) px[x + 8 * y] = PixelFrom8(row[x * colStep]);
  }
  AssignPixels(c, px);
}

namespace {

// The pixels of a clipped source area: `src` addresses cell pixel
// (clip.left, clip.top); pixels outside the clip take `def`.
template <typename Source, typename Convert>
void AssignClipped(Cell& c, const Source* src, ptrdiff_t colStep, ptrdiff_t rowStep, const Rect& clip,
                   const PixelRGBA& def, bool allowFill, Convert convert) {
  const int l = std::max(0, clip.left), t = std::max(0, clip.top);
  const int r = std::min(8, clip.right), b = std::min(8, clip.bottom);
  PixelRGBA px[64];
  Fill64(px, def);
  if (l < r && t < b) {
    // Clipping the rectangle to the cell moves the start accordingly.
    const Source* base = src + (l - clip.left) * colStep + (t - clip.top) * rowStep;
    for (int y = t; y < b; ++y) {
      const Source* row = base + (y - t) * rowStep;
      for (int x = l; x < r; ++x) px[x + 8 * y] = convert(row[(x - l) * colStep]);
    }
  }
  if (allowFill && AllEqual(px)) {
    SetFill(c, px[0]);
    return;
  }
  AssignPixels(c, px);
}

}  // namespace

void AssignFrom8Clipped(Cell& c, const uint32_t* src, ptrdiff_t colStep, ptrdiff_t rowStep, const Rect& clip,
                        const PixelRGBA& def, bool allowFill) {
  AssignClipped(c, src, colStep, rowStep, clip, def, allowFill, [](uint32_t v) { return PixelFrom8(v); });
}

void AssignFrom16(Cell& c, const uint64_t* src, ptrdiff_t colStep, ptrdiff_t rowStep, bool allowFill) {
  PixelRGBA px[64];
  for (int y = 0; y < 8; ++y) {
    const uint64_t* row = src + y * rowStep;
    for (int x = 0; x < 8; ++x) px[x + 8 * y] = PixelFrom16(row[x * colStep]);
  }
  if (allowFill && AllEqual(px))
    SetFill(c, px[0]);
  else
    AssignPixels(c, px);
}

void AssignFrom16Clipped(Cell& c, const uint64_t* src, ptrdiff_t colStep, ptrdiff_t rowStep, const Rect& clip,
                         const PixelRGBA& def, bool allowFill) {
  AssignClipped(c, src, colStep, rowStep, clip, def, allowFill, [](uint64_t v) { return PixelFrom16(v); });
}

}  // namespace kzm
