#include "kzm/cell.h"

#include <cstring>
#include <memory>

#include "kzm/snapshot.h"

namespace kzm {

static_assert(sizeof(Cell) == sizeof(void*), "a cell handle is one pointer");
static_assert(sizeof(Cell::ImplRGBABitmap) <= 32, "RGBA bitmap cells live in the 32-byte pool");
static_assert(sizeof(Cell::ImplRGBAFill) <= 32, "RGBA fill cells live in the 32-byte pool");
static_assert(sizeof(Cell::ImplGrayBitmap) <= 32, "gray bitmap cells live in the 32-byte pool");
static_assert(sizeof(Cell::ImplGrayFill) <= 24, "gray fill cells live in the 24-byte pool");

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
}

bool AllEqual(const PixelRGBA* px) {
  const uint64_t w = px[0].Word();
  for (int i = 1; i < 64; ++i)
    if (px[i].Word() != w) return false;
  return true;
}

// Masked scaling: channel = alpha - ((channel * m) >> 14) for each colour
// channel, where m != 0.
void ApplyAmountRGBA(PixelRGBA& p, uint32_t m) {
  if (m == 0) return;
  p.r = uint16_t(p.a - ((uint32_t(p.r) * m) >> 14));
  p.g = uint16_t(p.a - ((uint32_t(p.g) * m) >> 14));
  p.b = uint16_t(p.a - ((uint32_t(p.b) * m) >> 14));
}
void ApplyAmountGray(uint16_t& v, uint32_t m) {
  if (m == 0) return;
  v = uint16_t(v - ((uint32_t(v) * m) >> 14));
}
void InvertRGBA(PixelRGBA& p) {
  p.r = uint16_t(p.a - p.r);
  p.g = uint16_t(p.a - p.g);
  p.b = uint16_t(p.a - p.b);
}

// Single amount of a mask cell at (0, 0): a gray value, or an RGBA alpha.
uint16_t MaskValue(const Cell& mask) {
  switch (mask.Kind()) {
    case Cell::kGrayBitmap:
    case Cell::kGrayFill:
      return *static_cast<Cell::ImplGrayBase*>(mask.impl())->PixelAt(0, 0);
    case Cell::kRGBABitmap:
    case Cell::kRGBAFill: {
      const PixelRGBA* p = mask.PixelAt(0, 0);
      return p ? p->a : 0;
    }
    default:
      return 0;
  }
}

uint16_t* NewGrayValues() { return new uint16_t[64]; }

}  // namespace

uint16_t CombineGray(uint16_t value, uint16_t source, GrayOp op) {
  const int32_t v = value, s = source;
  switch (op) {
    case GrayOp::kUnion:
      return uint16_t(v + ((s * (16384 - v)) >> 14));
    case GrayOp::kIntersect:
      return uint16_t((v * s) >> 14);
    case GrayOp::kSubtract:
      return uint16_t(v > s ? v - s : 0);
    case GrayOp::kAdd:
      return uint16_t(v + s > 16384 ? 16384 : v + s);
  }
  return value;
}

// ---------------------------------------------------------------------------
// Handle

Cell::~Cell() { delete impl_; }

void Cell::Reset() {
  ImplBase* old = impl_;
  impl_ = nullptr;
  delete old;
}

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
uint16_t Cell::GrayFillValue() const {
  assert(Kind() == kGrayFill);
  return static_cast<const ImplGrayFill*>(impl_)->Value();
}
const uint16_t* Cell::GrayPixels() const {
  assert(Kind() == kGrayBitmap);
  return static_cast<const ImplGrayBitmap*>(impl_)->ConstData();
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

void Cell::SetPixel(int x, int y, const PixelRGBA& v) {
  assert(IsRGBA());
  static_cast<ImplRGBABase*>(impl_)->SetPixel(x, y, v);
}
PixelRGBA* Cell::MakeBitmap() {
  assert(IsRGBA());
  return static_cast<ImplRGBABase*>(impl_)->MakeBitmap();
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
void Cell::BlendPixelsPlain(const PixelRGBA* src64, const blend::OpacityMask& om, const Blend& b) {
  assert(IsRGBA());
  static_cast<ImplRGBABase*>(impl_)->BlendPixelsPlain(src64, om, b);
}

// ---------------------------------------------------------------------------
// RGBA bitmap

Cell::ImplRGBABitmap::ImplRGBABitmap(Cell* owner, PixelRGBA* pixels, uint32_t stamp)
    : ImplRGBABase(owner, kRGBABitmap, stamp), px_(pixels) {}

Cell::ImplRGBABitmap::~ImplRGBABitmap() { PoolFree(PoolId::k512, px_); }

void Cell::ImplRGBABitmap::Invert() {
  if (!px_) return;
  for (int i = 0; i < 64; ++i) InvertRGBA(px_[i]);
}

void Cell::ImplRGBABitmap::ApplyMask(const Cell& mask) {
  if (!px_ || mask.IsNull()) return;
  if (mask.Kind() == kGrayBitmap) {
    const uint16_t* m = mask.GrayPixels();
    if (!m) return;
    for (int i = 0; i < 64; ++i) ApplyAmountRGBA(px_[i], m[i]);
  } else {
    ApplyAmount(MaskValue(mask));
  }
}

void Cell::ImplRGBABitmap::ApplyAmount(uint16_t m) {
  if (!px_ || m == 0) return;
  for (int i = 0; i < 64; ++i) ApplyAmountRGBA(px_[i], m);
}

bool Cell::ImplRGBABitmap::CheckUniform(int& counter, const PixelRGBA& bg) const {
  if (!px_ || !AllEqual(px_)) return false;
  if (px_[0] == bg) ++counter;
  return true;
}

bool Cell::ImplRGBABitmap::SnapshotCopy(TileLocate loc, int cx, int cy, SavePixelsImpl& snap) {
  if (stamp_ == snap.Generation() || !px_) return false;
  PixelBlock copy;
  std::memcpy(copy.p, px_, 512);
  std::unique_ptr<ISaveCell> rec(new SaveCellImplRGBABitmap(loc, cx, cy, copy.release()));
  snap.AddRecord(rec.release());
  stamp_ = snap.Generation();
  return true;
}

bool Cell::ImplRGBABitmap::SnapshotMove(TileLocate loc, int cx, int cy, SavePixelsImpl& snap) {
  if (stamp_ == snap.Generation() || !px_) return false;
  std::unique_ptr<ISaveCell> rec(new SaveCellImplRGBABitmap(loc, cx, cy, px_));
  px_ = nullptr;
  snap.AddRecord(rec.release());
  stamp_ = snap.Generation();
  return true;
}

void Cell::ImplRGBABitmap::SetPixelSaved(int x, int y, const PixelRGBA& v, TileLocate loc, int cx, int cy,
                                         SavePixelsImpl& snap) {
  if (!px_ || px_[x + 8 * y] == v) return;
  SnapshotCopy(loc, cx, cy, snap);
  px_[x + 8 * y] = v;
  stamp_ = snap.Generation();
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
void Cell::ImplRGBABitmap::BlendPixelsPlain(const PixelRGBA* src, const blend::OpacityMask& om, const Blend& b) {
  if (px_) blend::BlendPixelsPlain(px_, px_ + 64, src, om, b);
}

// ---------------------------------------------------------------------------
// RGBA fill

Cell::ImplRGBAFill::ImplRGBAFill(Cell* owner, const PixelRGBA& v, uint32_t stamp)
    : ImplRGBABase(owner, kRGBAFill, stamp), v_(v) {}

void Cell::ImplRGBAFill::Invert() { InvertRGBA(v_); }

void Cell::ImplRGBAFill::ApplyMask(const Cell& mask) {
  if (mask.IsNull()) return;
  if (mask.Kind() == kGrayBitmap) {
    const Cell& m = mask;  // `this` may be gone after promotion
    Cell* owner = owner_;
    MakeBitmap();
    static_cast<ImplRGBABase*>(owner->impl())->ApplyMask(m);
    return;
  }
  ApplyAmount(MaskValue(mask));
}

void Cell::ImplRGBAFill::ApplyAmount(uint16_t m) { ApplyAmountRGBA(v_, m); }

bool Cell::ImplRGBAFill::CheckUniform(int& counter, const PixelRGBA& bg) const {
  if (v_ == bg) ++counter;
  return false;
}

bool Cell::ImplRGBAFill::SnapshotCopy(TileLocate loc, int cx, int cy, SavePixelsImpl& snap) {
  if (stamp_ == snap.Generation()) return false;
  std::unique_ptr<ISaveCell> rec(new SaveCellImplRGBAFill(loc, cx, cy, v_));
  snap.AddRecord(rec.release());
  stamp_ = snap.Generation();
  return true;
}

bool Cell::ImplRGBAFill::SnapshotMove(TileLocate loc, int cx, int cy, SavePixelsImpl& snap) {
  return SnapshotCopy(loc, cx, cy, snap);
}

PixelRGBA* Cell::ImplRGBAFill::MakeBitmap() {
  PixelBlock block;
  Fill64(block.p, v_);
  auto* bm = new ImplRGBABitmap(owner_, block.p, stamp_);
  PixelRGBA* px = block.release();
  ReplaceSelf(bm);
  return px;
}

void Cell::ImplRGBAFill::SetPixelSaved(int x, int y, const PixelRGBA& v, TileLocate loc, int cx, int cy,
                                       SavePixelsImpl& snap) {
  if (v == v_) return;
  const uint32_t gen = snap.Generation();
  if (stamp_ != gen) {
    std::unique_ptr<ISaveCell> rec(new SaveCellImplRGBAFill(loc, cx, cy, v_));
    snap.AddRecord(rec.release());
  }
  stamp_ = gen;
  PixelRGBA* px = MakeBitmap();  // `this` is gone from here on
  px[x + 8 * y] = v;
}

void Cell::ImplRGBAFill::SetPixel(int x, int y, const PixelRGBA& v) {
  if (v == v_) return;
  PixelRGBA* px = MakeBitmap();
  px[x + 8 * y] = v;
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
  auto* bm = new ImplRGBABitmap(owner_, block.p, stamp_);       \
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
void Cell::ImplRGBAFill::BlendPixelsPlain(const PixelRGBA* src, const blend::OpacityMask& om, const Blend& b) {
  KZM_FILL_TO_BITMAP(blend::BlendPixelsPlainFromFill(out, v_, src, om, b))
}
#undef KZM_FILL_TO_BITMAP

// ---------------------------------------------------------------------------
// Gray bitmap

Cell::ImplGrayBitmap::ImplGrayBitmap(Cell* owner, uint16_t* values, uint32_t stamp)
    : ImplGrayBase(owner, kGrayBitmap, stamp), v_(values) {}

Cell::ImplGrayBitmap::~ImplGrayBitmap() { delete[] v_; }

void Cell::ImplGrayBitmap::Invert() {
  if (!v_) return;
  for (int i = 0; i < 64; ++i) v_[i] = uint16_t(16384 - v_[i]);
}

void Cell::ImplGrayBitmap::ApplyMask(const Cell& mask) {
  if (!v_ || mask.IsNull()) return;
  if (mask.Kind() == kGrayBitmap) {
    const uint16_t* m = mask.GrayPixels();
    if (!m) return;
    for (int i = 0; i < 64; ++i) ApplyAmountGray(v_[i], m[i]);
  } else {
    ApplyAmount(MaskValue(mask));
  }
}

void Cell::ImplGrayBitmap::ApplyAmount(uint16_t m) {
  if (!v_ || m == 0) return;
  for (int i = 0; i < 64; ++i) ApplyAmountGray(v_[i], m);
}

bool Cell::ImplGrayBitmap::CheckUniform(int& counter, const PixelRGBA& bg) const {
  if (!v_) return false;
  for (int i = 1; i < 64; ++i)
    if (v_[i] != v_[0]) return false;
  if (v_[0] == bg.a) ++counter;
  return true;
}

bool Cell::ImplGrayBitmap::SnapshotCopy(TileLocate loc, int cx, int cy, SavePixelsImpl& snap) {
  if (stamp_ == snap.Generation() || !v_) return false;
  std::unique_ptr<uint16_t[]> copy(NewGrayValues());
  std::memcpy(copy.get(), v_, 128);
  std::unique_ptr<ISaveCell> rec(new SaveCellImplGrayBitmap(loc, cx, cy, copy.get()));
  copy.release();
  snap.AddRecord(rec.release());
  stamp_ = snap.Generation();
  return true;
}

bool Cell::ImplGrayBitmap::SnapshotMove(TileLocate loc, int cx, int cy, SavePixelsImpl& snap) {
  if (stamp_ == snap.Generation() || !v_) return false;
  std::unique_ptr<ISaveCell> rec(new SaveCellImplGrayBitmap(loc, cx, cy, v_));
  v_ = nullptr;
  snap.AddRecord(rec.release());
  stamp_ = snap.Generation();
  return true;
}

void Cell::ImplGrayBitmap::SetPixelSaved(int x, int y, uint16_t v, TileLocate loc, int cx, int cy,
                                         SavePixelsImpl& snap) {
  if (!v_ || v_[x + 8 * y] == v) return;
  SnapshotCopy(loc, cx, cy, snap);
  v_[x + 8 * y] = v;
  stamp_ = snap.Generation();
}

void Cell::ImplGrayBitmap::CombineCells(const uint16_t* src64, GrayOp op) {
  if (!v_) return;
  for (int i = 0; i < 64; ++i) v_[i] = CombineGray(v_[i], src64[i], op);
}

void Cell::ImplGrayBitmap::CombineValue(uint16_t src, GrayOp op) {
  if (!v_) return;
  for (int i = 0; i < 64; ++i) v_[i] = CombineGray(v_[i], src, op);
}

// ---------------------------------------------------------------------------
// Gray fill

Cell::ImplGrayFill::ImplGrayFill(Cell* owner, uint16_t v, uint32_t stamp)
    : ImplGrayBase(owner, kGrayFill, stamp), v_(v) {}

void Cell::ImplGrayFill::Invert() { v_ = uint16_t(16384 - v_); }

void Cell::ImplGrayFill::ApplyMask(const Cell& mask) {
  if (mask.IsNull()) return;
  if (mask.Kind() == kGrayBitmap) {
    const Cell& m = mask;
    Cell* owner = owner_;
    MakeBitmap();
    static_cast<ImplGrayBase*>(owner->impl())->ApplyMask(m);
    return;
  }
  ApplyAmount(MaskValue(mask));
}

void Cell::ImplGrayFill::ApplyAmount(uint16_t m) { ApplyAmountGray(v_, m); }

bool Cell::ImplGrayFill::CheckUniform(int& counter, const PixelRGBA& bg) const {
  if (v_ == bg.a) ++counter;
  return false;
}

bool Cell::ImplGrayFill::SnapshotCopy(TileLocate loc, int cx, int cy, SavePixelsImpl& snap) {
  if (stamp_ == snap.Generation()) return false;
  std::unique_ptr<ISaveCell> rec(new SaveCellImplGrayFill(loc, cx, cy, v_));
  snap.AddRecord(rec.release());
  stamp_ = snap.Generation();
  return true;
}

bool Cell::ImplGrayFill::SnapshotMove(TileLocate loc, int cx, int cy, SavePixelsImpl& snap) {
  return SnapshotCopy(loc, cx, cy, snap);
}

uint16_t* Cell::ImplGrayFill::MakeBitmap() {
  std::unique_ptr<uint16_t[]> values(NewGrayValues());
  for (int i = 0; i < 64; ++i) values[i] = v_;
  auto* bm = new ImplGrayBitmap(owner_, values.get(), stamp_);
  uint16_t* px = values.release();
  ReplaceSelf(bm);
  return px;
}

void Cell::ImplGrayFill::SetPixelSaved(int x, int y, uint16_t v, TileLocate loc, int cx, int cy,
                                       SavePixelsImpl& snap) {
  if (v == v_) return;
  const uint32_t gen = snap.Generation();
  if (stamp_ != gen) {
    std::unique_ptr<ISaveCell> rec(new SaveCellImplGrayFill(loc, cx, cy, v_));
    snap.AddRecord(rec.release());
  }
  stamp_ = gen;
  uint16_t* px = MakeBitmap();
  px[x + 8 * y] = v;
}

void Cell::ImplGrayFill::SetPixel(int x, int y, uint16_t v) {
  if (v == v_) return;
  uint16_t* px = MakeBitmap();
  px[x + 8 * y] = v;
}

void Cell::ImplGrayFill::CombineCells(const uint16_t* src64, GrayOp op) {
  uint16_t* px = MakeBitmap();
  for (int i = 0; i < 64; ++i) px[i] = CombineGray(px[i], src64[i], op);
}

void Cell::ImplGrayFill::CombineValue(uint16_t src, GrayOp op) { v_ = CombineGray(v_, src, op); }

// ---------------------------------------------------------------------------
// Handle operations

void SetFill(Cell& c, const PixelRGBA& v) {
  if (c.Kind() == Cell::kRGBAFill) {
    static_cast<Cell::ImplRGBAFill*>(c.impl())->SetValue(v);
    return;
  }
  c.Install(new Cell::ImplRGBAFill(&c, v, c.SaveStamp()));
}

void SetSolidBitmap(Cell& c, const PixelRGBA& v) {
  if (c.Kind() == Cell::kRGBABitmap) {
    auto* bm = static_cast<Cell::ImplRGBABitmap*>(c.impl());
    if (PixelRGBA* px = bm->Data()) {
      Fill64(px, v);
      return;
    }
  }
  PixelBlock block;
  Fill64(block.p, v);
  auto* bm = new Cell::ImplRGBABitmap(&c, block.p, c.SaveStamp());
  block.release();
  c.Install(bm);
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
  auto* bm = new Cell::ImplRGBABitmap(&c, block.p, c.SaveStamp());
  block.release();
  c.Install(bm);
}

void AdoptPixels(Cell& c, PixelRGBA* block) {
  Cell::ImplRGBABitmap* bm;
  try {
    bm = new Cell::ImplRGBABitmap(&c, block, c.SaveStamp());
  } catch (...) {
    PoolFree(PoolId::k512, block);
    throw;
  }
  c.Install(bm);
}

void SetGrayFill(Cell& c, uint16_t v) {
  if (c.Kind() == Cell::kGrayFill) {
    static_cast<Cell::ImplGrayFill*>(c.impl())->SetValue(v);
    return;
  }
  c.Install(new Cell::ImplGrayFill(&c, v, c.SaveStamp()));
}

void AssignGray(Cell& c, const uint16_t* v64) {
  if (c.Kind() == Cell::kGrayBitmap) {
    auto* bm = static_cast<Cell::ImplGrayBitmap*>(c.impl());
    if (uint16_t* v = bm->Data()) {
      if (v != v64) std::memcpy(v, v64, 128);
      return;
    }
  }
  std::unique_ptr<uint16_t[]> values(NewGrayValues());
  std::memcpy(values.get(), v64, 128);
  auto* bm = new Cell::ImplGrayBitmap(&c, values.get(), c.SaveStamp());
  values.release();
  c.Install(bm);
}

void AssignFrom(Cell& c, const Cell& src) {
  if (&c == &src) return;
  switch (src.Kind()) {
    case Cell::kNull:
      c.Reset();
      return;
    case Cell::kRGBABitmap: {
      const PixelRGBA* px = src.BitmapPixels();
      if (!px) {
        c.Reset();
        return;
      }
      AssignPixels(c, px);
      break;
    }
    case Cell::kRGBAFill:
      SetFill(c, src.FillValue());
      break;
    case Cell::kGrayBitmap: {
      const uint16_t* v = src.GrayPixels();
      if (!v) {
        c.Reset();
        return;
      }
      AssignGray(c, v);
      break;
    }
    case Cell::kGrayFill:
      SetGrayFill(c, src.GrayFillValue());
      break;
  }
  c.impl()->SetSaveStamp(src.SaveStamp());
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

void AssignFrom8Clipped(Cell& c, const uint32_t* src, ptrdiff_t colStep, ptrdiff_t rowStep, const Rect& clip,
                        const PixelRGBA& def, bool allowFill) {
  const int l = std::max(0, clip.left), t = std::max(0, clip.top);
  const int r = std::min(8, clip.right), b = std::min(8, clip.bottom);
  PixelRGBA px[64];
  Fill64(px, def);
  if (l < r && t < b) {
    // `src` addresses cell pixel (clip.left, clip.top); clipping the rectangle
    // to the cell moves the start accordingly.
    const uint32_t* base = src + (l - clip.left) * colStep + (t - clip.top) * rowStep;
    for (int y = t; y < b; ++y) {
      const uint32_t* row = base + (y - t) * rowStep;
      for (int x = l; x < r; ++x) px[x + 8 * y] = PixelFrom8(row[(x - l) * colStep]);
    }
  }
  if (allowFill && AllEqual(px)) {
    SetFill(c, px[0]);
    return;
  }
  AssignPixels(c, px);
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
  const int l = std::max(0, clip.left), t = std::max(0, clip.top);
  const int r = std::min(8, clip.right), b = std::min(8, clip.bottom);
  PixelRGBA px[64];
  Fill64(px, def);
  if (l < r && t < b) {
    const uint64_t* base = src + (l - clip.left) * colStep + (t - clip.top) * rowStep;
    for (int y = t; y < b; ++y) {
      const uint64_t* row = base + (y - t) * rowStep;
      for (int x = l; x < r; ++x) px[x + 8 * y] = PixelFrom16(row[(x - l) * colStep]);
    }
  }
  if (allowFill && AllEqual(px))
    SetFill(c, px[0]);
  else
    AssignPixels(c, px);
}

}  // namespace kzm
