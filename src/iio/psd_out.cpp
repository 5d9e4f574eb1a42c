#include "iio/psd_out.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "blend/fixed.h"
#include "blend/modes.h"
#include "base/work_pool.h"
#include "iio/codepage.h"
#include "iio/packbits.h"
#include "iio/psd_bytes.h"

namespace iio {

namespace {
// Rows gathered per batch: about 4 MiB of pixels, 8 to 512 rows.
constexpr size_t kBatchBytes = size_t(4) << 20;
constexpr uint32_t kRowsPerTask = 8;
constexpr size_t kMaxBatchRows = 512;
// Pieces of encoded channel data.
constexpr size_t kPieceBytes = size_t(1) << 20;
// Pieces the next layer may take beyond those of the layer being written.
constexpr size_t kSlackPieces = 8;
}  // namespace

// Writes to the stream and keeps the first error in the variable it was
// given: the writer's own, or the one of a layer written in the background.
class PsdOut::Emitter {
 public:
  Emitter(ImageDestBase& out, int32_t& error) : out_(out), error_(error) {}
  bool Fail(int32_t code) {
    if (error_ == kPsdOutOk) error_ = code;
    return false;
  }
  void Put(const void* bytes, size_t n) {
    if (error_ || n == 0) return;
    if (out_.Write(bytes, n) != n) Fail(kPsdOutStream);
  }
  void Put8(uint8_t v) { Put(&v, 1); }
  void Put16(uint16_t v) {
    uint8_t b[2];
    StoreBe16(b, v);
    Put(b, 2);
  }
  void Put32(uint32_t v) {
    uint8_t b[4];
    StoreBe32(b, v);
    Put(b, 4);
  }
  void Patch32(uint64_t at, uint32_t value) {
    if (error_) return;
    const uint64_t back = out_.Tell();
    if (!out_.Seek(at)) return void(Fail(kPsdOutStream));
    Put32(value);
    if (!out_.Seek(back)) Fail(kPsdOutStream);
  }
  uint64_t Tell() const { return out_.Tell(); }

 private:
  ImageDestBase& out_;
  int32_t& error_;
};

// A 32-bit length written as 0 and patched, when closed or destroyed, to the
// number of bytes written after it.
class PsdOut::LengthField {
 public:
  explicit LengthField(PsdOut& w) : w_(w), at_(w.out_.Tell()) { w.Put32(0); }
  ~LengthField() { Close(); }
  LengthField(const LengthField&) = delete;
  LengthField& operator=(const LengthField&) = delete;
  void Close() {
    if (done_) return;
    done_ = true;
    const uint64_t len = w_.out_.Tell() - at_ - 4;
    if (len > UINT32_MAX) {
      w_.Fail(kPsdOutTooLarge);
      return;
    }
    w_.Patch32(at_, uint32_t(len));
  }

 private:
  PsdOut& w_;
  uint64_t at_;
  bool done_ = false;
};

PsdOut::PsdOut(ImageDestBase& stream) : out_(stream) {}

PsdOut::~PsdOut() {
  try {
    if (write_.valid()) write_.wait();
  } catch (...) {
  }
}

bool PsdOut::Fail(int32_t code) { return Emitter(out_, error_).Fail(code); }
void PsdOut::Put(const void* bytes, size_t n) { Emitter(out_, error_).Put(bytes, n); }
void PsdOut::Put16(uint16_t v) { Emitter(out_, error_).Put16(v); }
void PsdOut::Put32(uint32_t v) { Emitter(out_, error_).Put32(v); }
void PsdOut::Patch32(uint64_t at, uint32_t value) { Emitter(out_, error_).Patch32(at, value); }

void PsdOut::ToBytes(const PixelRGBA& p, uint8_t out[4]) {
  if (p.a == 0) {
    out[0] = out[1] = out[2] = out[3] = 0;
    return;
  }
  // Alpha above one and colour above alpha cannot occur in well-formed
  // premultiplied pixels; clamping keeps such input from wrapping around.
  const uint32_t a = std::min<uint32_t>(p.a, 16384);
  const uint32_t r = blend::ReciprocalTable()[a];
  out[0] = uint8_t((std::min<uint32_t>(p.r, a) * r + 0xC00000u) >> 24);
  out[1] = uint8_t((std::min<uint32_t>(p.g, a) * r + 0xC00000u) >> 24);
  out[2] = uint8_t((std::min<uint32_t>(p.b, a) * r + 0xC00000u) >> 24);
  out[3] = uint8_t((a - (a >> 13)) >> 6);
}

bool PsdOut::Begin(uint32_t width, uint32_t height, const std::vector<layer_param_t>& layers) {
  if (error_) return false;
  if (phase_ != Phase::kIdle) return Fail(kPsdOutOrder);
  if (width < 1 || width > kMaxCanvasSide || height < 1 || height > kMaxCanvasSide)
    return Fail(kPsdOutOrder);
  if (layers.size() > 32767) return Fail(kPsdOutTooLarge);
  for (const layer_param_t& l : layers)
    if (int64_t(l.right) < l.left || int64_t(l.bottom) < l.top || l.Width() > kMaxLayerSide ||
        l.Height() > kMaxLayerSide)
      return Fail(kPsdOutOrder);
  width_ = width;
  height_ = height;
  layerCount_ = uint32_t(layers.size());
  current_ = 0;

  // Header.
  Put("8BPS", 4);
  Put16(1);
  Put16(0);
  Put32(0);
  Put16(4);
  Put32(height);
  Put32(width);
  Put16(8);
  Put16(3);
  Put32(0);  // colour mode data
  Put32(0);  // image resources

  lmiField_ = out_.Tell();
  Put32(0);
  layerInfoField_ = out_.Tell();
  Put32(0);
  if (layers.empty()) {
    Put32(0);  // global layer mask
    Patch32(lmiField_, 8);
    ResetRect(0, 0, int32_t(width_), int32_t(height_), true);
    phase_ = Phase::kMerged;
    return !error_;
  }
  Put16(uint16_t(-int16_t(layers.size())));
  channelFields_.resize(layers.size());
  bounds_.clear();
  for (size_t i = 0; i < layers.size(); ++i) {
    WriteRecord(layers[i], channelFields_[i]);
    bounds_.push_back({layers[i].left, layers[i].top, layers[i].right, layers[i].bottom});
  }
  phase_ = Phase::kLayers;
  return !error_;
}

void PsdOut::WriteRecord(const layer_param_t& l, std::array<uint64_t, 4>& lengthFields) {
  Put32(uint32_t(l.top));
  Put32(uint32_t(l.left));
  Put32(uint32_t(l.bottom));
  Put32(uint32_t(l.right));
  Put16(4);
  static const int16_t kIds[4] = {0, 1, 2, -1};
  for (int c = 0; c < 4; ++c) {
    Put16(uint16_t(kIds[c]));
    lengthFields[c] = out_.Tell();
    Put32(0);
  }
  Put("8BIM", 4);
  Put(blend::PsdKeyForColorMode(l.blend.ColorMode()), 4);
  Put8(uint8_t((std::min<uint32_t>(l.opacity, 16384) * 255u) >> 14));
  const uint32_t clip = kzm::Blend::clip_dsta | kzm::Blend::lockdonly;
  Put8((l.blend.word0 & clip) == clip ? 1 : 0);
  Put8(uint8_t(8 | (l.visible ? 0 : 2) | (l.alphaLock ? 1 : 0) | (l.pixelsIrrelevant ? 16 : 0)));
  Put8(0);

  LengthField extra(*this);
  Put32(0);  // layer mask data
  Put32(0);  // blending ranges

  // Pascal name in the system character set, cut on a character boundary.
  const std::string sys = Utf8ToSystem(l.name);
  const size_t n = SystemCharPrefix(sys, 255);
  Put8(uint8_t(n));
  Put(sys.data(), n);
  static const uint8_t kZeros[8] = {};
  Put(kZeros, (4 - (1 + n) % 4) % 4);

  // The full name as UTF-16.
  const std::u16string units = Utf8ToUtf16(l.name, 1023);
  const uint32_t bytes = uint32_t(units.size()) * 2;
  const uint32_t padded = (bytes + 3) & ~3u;
  Put("8BIMluni", 8);
  Put32(4 + padded);
  Put32(uint32_t(units.size()));
  std::vector<uint8_t> be(padded, 0);
  for (size_t i = 0; i < units.size(); ++i) StoreBe16(&be[2 * i], uint16_t(units[i]));
  Put(be.data(), be.size());

  uint32_t locks = (l.alphaLock ? 1u : 0u) | (l.planeLock ? 2u : 0u) | (l.lockPosition ? 4u : 0u) |
                   (l.lockAll ? 0x80000000u : 0u);
  Put("8BIMlspf", 8);
  Put32(4);
  Put32(locks);
  extra.Close();
}

void PsdOut::ResetRect(int32_t left, int32_t top, int32_t right, int32_t bottom, bool matte) {
  left_ = left, top_ = top, right_ = right, bottom_ = bottom;
  matte_ = matte;
  rows_ = 0;
  for (Batch& b : batches_) {
    b.tasks.clear();  // waits; batches are taken before any reset
    b.px.clear();
    b.rows = 0;
    b.source = nullptr;
  }
  inFlight_ = false;
  waitingRows_ = 0;
  // Rows are gathered only where no row's PackBits form can outgrow its
  // 16-bit count.
  const size_t w = size_t(std::max<int64_t>(0, int64_t(right) - left));
  batchRows_ = w > 0 && PackBitsBound(w) <= 0xFFFF && base::WorkThreads() > 1
                   ? uint32_t(std::clamp<size_t>(kBatchBytes / (w * sizeof(PixelRGBA)), kRowsPerTask, kMaxBatchRows))
                   : 0;
  for (Channel& c : channels_) Clear(c);
}

void PsdOut::Append(Channel& ch, const uint8_t* bytes, size_t n) {
  while (n) {
    if (ch.size == ch.pieces.size() * kPieceBytes) ch.pieces.push_back(TakePiece());
    const size_t at = ch.size % kPieceBytes, take = std::min(n, kPieceBytes - at);
    std::memcpy(ch.pieces.back().get() + at, bytes, take);
    ch.size += take;
    bytes += take;
    n -= take;
  }
}

size_t PsdOut::EncodedBufferBytes() const {
  std::lock_guard<std::mutex> lock(spareLock_);
  return pieces_ * kPieceBytes;
}

std::unique_ptr<uint8_t[]> PsdOut::TakePiece() {
  std::unique_lock<std::mutex> lock(spareLock_);
  if (spare_.empty() && writeRunning_ && pieces_ >= pieceLimit_) {
    lock.unlock();
    write_.runIfQueued();  // no thread has started it: write here
    lock.lock();
    spareBack_.wait(lock, [this] { return !spare_.empty() || !writeRunning_; });
  }
  if (!spare_.empty()) {
    std::unique_ptr<uint8_t[]> piece = std::move(spare_.back());
    spare_.pop_back();
    return piece;
  }
  ++pieces_;
  lock.unlock();
  return std::unique_ptr<uint8_t[]>(new uint8_t[kPieceBytes]);
}

void PsdOut::Clear(Channel& ch) {
  std::lock_guard<std::mutex> lock(spareLock_);
  for (auto& p : ch.pieces) spare_.push_back(std::move(p));
  ch.pieces.clear();
  ch.size = 0;
  ch.counts.clear();
}

void PsdOut::WriteCounts(Emitter& e, const Channel& ch) {
  std::vector<uint8_t> table(ch.counts.size() * 2);
  for (size_t i = 0; i < ch.counts.size(); ++i) StoreBe16(&table[2 * i], ch.counts[i]);
  e.Put(table.data(), table.size());
}

void PsdOut::WriteChannel(Emitter& e, Channel& ch) {
  for (size_t i = 0; i < ch.pieces.size(); ++i) {
    e.Put(ch.pieces[i].get(), std::min(kPieceBytes, ch.size - i * kPieceBytes));
    GiveBack(std::move(ch.pieces[i]));
  }
  ch.pieces.clear();
  ch.size = 0;
}

void PsdOut::GiveBack(std::unique_ptr<uint8_t[]> piece) {
  {
    std::lock_guard<std::mutex> lock(spareLock_);
    spare_.push_back(std::move(piece));
  }
  spareBack_.notify_one();
}

void PsdOut::WriteChannelRaw(Emitter& e, Channel& ch, size_t width) {
  std::vector<uint8_t> out(std::max(kPieceBytes, width));
  std::vector<uint8_t> joined(PackBitsBound(width));  // a row across two pieces
  size_t filled = 0;
  uint64_t at = 0;     // of the row in the encoded bytes
  size_t given = 0;    // pieces given back
  // Rows of width 0 have no bytes, and there may be no piece to read them from.
  const size_t rows = width ? ch.counts.size() : 0;
  for (size_t y = 0; y < rows; ++y) {
    const uint16_t count = ch.counts[y];
    if (filled + width > out.size()) {
      e.Put(out.data(), filled);
      filled = 0;
    }
    const size_t piece = size_t(at / kPieceBytes), off = size_t(at % kPieceBytes);
    const uint8_t* src = ch.pieces[piece].get() + off;
    if (off + count > kPieceBytes) {
      const size_t head = kPieceBytes - off;
      std::memcpy(joined.data(), src, head);
      std::memcpy(joined.data() + head, ch.pieces[piece + 1].get(), count - head);
      src = joined.data();
    }
    // The writer's own rows: they decode to exactly one row.
    PackBitsDecode(out.data() + filled, out.data() + filled + width, src, src + count);
    filled += width;
    at += count;
    for (; given < at / kPieceBytes; ++given) GiveBack(std::move(ch.pieces[given]));
  }
  e.Put(out.data(), filled);
  for (; given < ch.pieces.size(); ++given) GiveBack(std::move(ch.pieces[given]));
  ch.pieces.clear();
  ch.size = 0;
}

bool PsdOut::BeginLayer(const layer_param_t& layer) {
  if (error_) return false;
  if (phase_ != Phase::kLayers || current_ >= layerCount_) return Fail(kPsdOutOrder);
  const auto& b = bounds_[current_];
  if (layer.left != b[0] || layer.top != b[1] || layer.right != b[2] || layer.bottom != b[3])
    return Fail(kPsdOutOrder);
  ResetRect(b[0], b[1], b[2], b[3], false);
  phase_ = Phase::kInLayer;
  return true;
}

namespace {

// The 8-bit bytes of one premultiplied pixel: colour divided by alpha
// through the reciprocal table, rounded; alpha scaled to 255.
inline void PixelBytes(const PixelRGBA& p, const uint32_t* recip, uint8_t& r, uint8_t& g, uint8_t& b, uint8_t& a) {
  if (p.a == 0) {
    r = g = b = a = 0;
    return;
  }
  const uint32_t al = p.a < 16384 ? p.a : 16384;
  const uint32_t k = recip[al];
  r = uint8_t(((p.r < al ? p.r : al) * k + 0xC00000u) >> 24);
  g = uint8_t(((p.g < al ? p.g : al) * k + 0xC00000u) >> 24);
  b = uint8_t(((p.b < al ? p.b : al) * k + 0xC00000u) >> 24);
  a = uint8_t((al - (al >> 13)) >> 6);
}

#if defined(__SSE2__)
// PixelBytes of two pixels at once: 16-bit lanes 0-2 and 4-6 take the
// colour bytes, lanes 3 and 7 the alpha bytes. A colour byte is bits 24-31
// of min(c, al) * k + 0xC00000 taken modulo 2^32, as in 32-bit arithmetic,
// with min(c, al) * k = (min(c, al) * khi << 16) + min(c, al) * klo.
inline __m128i TwoPixelBytes(__m128i x, const uint32_t* recip) {
  const __m128i unit = _mm_set1_epi16(16384);
  const __m128i ax = _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xFF), 0xFF);
  const __m128i al = _mm_sub_epi16(ax, _mm_subs_epu16(ax, unit));
  const __m128i c = _mm_sub_epi16(x, _mm_subs_epu16(x, al));
  const uint32_t k0 = recip[_mm_extract_epi16(al, 0)], k1 = recip[_mm_extract_epi16(al, 4)];
  const __m128i k = _mm_set_epi32(0, int(k1), 0, int(k0));
  const __m128i klo = _mm_shufflehi_epi16(_mm_shufflelo_epi16(k, 0x00), 0x00);
  const __m128i khi = _mm_shufflehi_epi16(_mm_shufflelo_epi16(k, 0x55), 0x55);
  const __m128i hi = _mm_mullo_epi16(c, khi);
  const __m128i lo0 = _mm_mullo_epi16(c, klo), lo1 = _mm_mulhi_epu16(c, klo);
  const __m128i zero = _mm_setzero_si128(), bias = _mm_set1_epi32(0xC00000);
  const __m128i v0 = _mm_add_epi32(_mm_add_epi32(_mm_unpacklo_epi16(lo0, lo1), _mm_unpacklo_epi16(zero, hi)), bias);
  const __m128i v1 = _mm_add_epi32(_mm_add_epi32(_mm_unpackhi_epi16(lo0, lo1), _mm_unpackhi_epi16(zero, hi)), bias);
  const __m128i colour = _mm_packs_epi32(_mm_srli_epi32(v0, 24), _mm_srli_epi32(v1, 24));
  const __m128i alpha = _mm_srli_epi16(_mm_sub_epi16(al, _mm_srli_epi16(al, 13)), 6);
  const __m128i alphaLanes = _mm_set_epi16(-1, 0, 0, 0, -1, 0, 0, 0);
  return _mm_or_si128(_mm_andnot_si128(alphaLanes, colour), _mm_and_si128(alphaLanes, alpha));
}
#endif

// One row of premultiplied pixels to the four 8-bit planes the file stores,
// four pixels at a time where there is SSE2. Paintings repeat pixels (fills,
// transparency): pixels equal to the ones before them reuse their bytes.
void RowToPlanes(const PixelRGBA* row, size_t w, uint8_t* __restrict r) {
  uint8_t* __restrict g = r + w;
  uint8_t* __restrict b = g + w;
  uint8_t* __restrict a = b + w;
  const uint32_t* recip = blend::ReciprocalTable();
  size_t x = 0;
#if defined(__SSE2__)
  __m128i last01 = _mm_setzero_si128(), last23 = last01, bytes = last01;  // transparent: all 0
  for (; x + 4 <= w; x += 4) {
    const __m128i p01 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
    const __m128i p23 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x + 2));
    const __m128i same = _mm_and_si128(_mm_cmpeq_epi32(p01, last01), _mm_cmpeq_epi32(p23, last23));
    if (_mm_movemask_epi8(same) != 0xFFFF) {
      bytes = _mm_packus_epi16(TwoPixelBytes(p01, recip), TwoPixelBytes(p23, recip));
      // r0 g0 b0 a0 r1 .. a3 -> r0 r2 g0 g2 .. a1 a3 -> r0 r1 r2 r3 g0 .. a3
      const __m128i t = _mm_unpacklo_epi8(bytes, _mm_srli_si128(bytes, 8));
      bytes = _mm_unpacklo_epi8(t, _mm_srli_si128(t, 8));
      last01 = p01, last23 = p23;
    }
    const uint32_t rr = uint32_t(_mm_cvtsi128_si32(bytes)), gg = uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(bytes, 4)));
    const uint32_t bb = uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(bytes, 8))), aa = uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(bytes, 12)));
    std::memcpy(r + x, &rr, 4);
    std::memcpy(g + x, &gg, 4);
    std::memcpy(b + x, &bb, 4);
    std::memcpy(a + x, &aa, 4);
  }
#endif
  uint64_t last = 0;
  uint8_t vr = 0, vg = 0, vb = 0, va = 0;
  for (; x < w; ++x) {
    const uint64_t word = row[x].Word();
    if (word != last) {
      PixelBytes(row[x], recip, vr, vg, vb, va);
      last = word;
    }
    r[x] = vr, g[x] = vg, b[x] = vb, a[x] = va;
  }
}

// The colour planes of a row of the merged image matted on white, as PSD
// files store it and readers expect it: c * a / 255 + 255 - a, rounded, so a
// transparent pixel is white. Opaque pixels stay as they are; stretches of
// them are passed over 16 at a time where there is SSE2.
void MatteOnWhite(uint8_t* r, size_t w) {
  uint8_t* g = r + w;
  uint8_t* b = g + w;
  const uint8_t* a = b + w;
  size_t x = 0;
  auto one = [&](size_t i) {
    const uint32_t al = a[i];
    if (al == 255) return;
    // c * a / 255 never lies halfway between two integers: + 127 rounds it.
    r[i] = uint8_t((r[i] * al + 127) / 255 + 255 - al);
    g[i] = uint8_t((g[i] * al + 127) / 255 + 255 - al);
    b[i] = uint8_t((b[i] * al + 127) / 255 + 255 - al);
  };
#if defined(__SSE2__)
  const __m128i opaque = _mm_set1_epi8(-1);
  for (; x + 16 <= w; x += 16) {
    const __m128i av = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + x));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(av, opaque)) == 0xFFFF) continue;
    for (size_t i = x; i < x + 16; ++i) one(i);
  }
#endif
  for (; x < w; ++x) one(x);
}

}  // namespace

bool PsdOut::WriteRows(const PixelRGBA* pixels, uint32_t rows) {
  if (error_) return false;
  if (phase_ != Phase::kInLayer && phase_ != Phase::kMerged) return Fail(kPsdOutOrder);
  const uint64_t height = uint64_t(int64_t(bottom_) - top_);
  if (uint64_t(rows_) + waitingRows_ + rows > height) return Fail(kPsdOutOrder);
  if (batchRows_ == 0) return EncodeRows(pixels, rows);
  const size_t w = size_t(int64_t(right_) - left_);
  Batch& b = batches_[filling_];
  if (b.source && !SubmitBatch()) return false;
  b.px.insert(b.px.end(), pixels, pixels + size_t(rows) * w);
  b.rows += rows;
  waitingRows_ += rows;
  return b.rows < batchRows_ || SubmitBatch();
}

bool PsdOut::WriteRowsFrom(uint32_t rows, const RowSource& source) {
  if (error_) return false;
  if (phase_ != Phase::kInLayer && phase_ != Phase::kMerged) return Fail(kPsdOutOrder);
  const uint64_t height = uint64_t(int64_t(bottom_) - top_);
  if (uint64_t(rows_) + waitingRows_ + rows > height) return Fail(kPsdOutOrder);
  const size_t w = size_t(int64_t(right_) - left_);
  if (batchRows_ == 0) {
    std::vector<PixelRGBA> row(w);
    for (uint32_t y = 0; y < rows; ++y) {
      source(rows_, 1, row.data());
      if (!EncodeRows(row.data(), 1)) return false;
    }
    return true;
  }
  // Rows handed over as pixels go first.
  if (batches_[filling_].rows && !SubmitBatch()) return false;
  while (rows) {
    Batch& b = batches_[filling_];
    const uint32_t n = std::min(rows, batchRows_);
    b.source = source;
    b.first = rows_ + waitingRows_;
    b.rows = n;
    waitingRows_ += n;
    rows -= n;
    if (!SubmitBatch()) return false;
  }
  return true;
}

// Encodes rows one at a time on this thread.
bool PsdOut::EncodeRows(const PixelRGBA* pixels, uint32_t rows) {
  const size_t w = size_t(int64_t(right_) - left_);
  planes_.resize(w * 4);
  for (uint32_t y = 0; y < rows; ++y) {
    RowToPlanes(pixels + size_t(y) * w, w, planes_.data());
    if (matte_) MatteOnWhite(planes_.data(), w);
    for (int c = 0; c < 4; ++c) {
      Channel& ch = channels_[c];
      encoded_.clear();
      PackBitsEncode(planes_.data() + size_t(c) * w, w, encoded_);
      if (encoded_.size() > 0xFFFF) return Fail(kPsdOutTooLarge);
      Append(ch, encoded_.data(), encoded_.size());
      ch.counts.push_back(uint16_t(encoded_.size()));
    }
    ++rows_;
  }
  return true;
}

// Starts encoding the batch being filled on the work pool and goes on
// filling the other one (after taking its rows, when it was in flight), so
// that reading the next rows overlaps with encoding these.
bool PsdOut::SubmitBatch() {
  if (inFlight_ && !TakeBatch()) return false;
  Batch& b = batches_[filling_];
  if (b.rows == 0) return true;
  const size_t w = size_t(int64_t(right_) - left_);
  const size_t slot = PackBitsBound(w);
  const size_t need = size_t(b.rows) * 4 * slot;
  if (b.encodedCap < need) {
    b.encoded.reset(new uint8_t[need]);
    b.encodedCap = need;
  }
  b.lengths.resize(size_t(b.rows) * 4);
  Batch* batch = &b;
  const bool matte = matte_;
  for (uint32_t y0 = 0; y0 < b.rows; y0 += kRowsPerTask) {
    const uint32_t y1 = std::min(b.rows, y0 + kRowsPerTask);
    b.tasks.emplace_back([batch, w, slot, y0, y1, matte] {
      std::unique_ptr<uint8_t[]> planes(new uint8_t[w * 4]);
      // The task's rows are read in one call: cells are visited once for
      // all rows of theirs, not once a row.
      std::unique_ptr<PixelRGBA[]> read(batch->source ? new PixelRGBA[w * (y1 - y0)] : nullptr);
      if (batch->source) batch->source(batch->first + y0, y1 - y0, read.get());
      for (uint32_t y = y0; y < y1; ++y) {
        const PixelRGBA* row =
            batch->source ? read.get() + size_t(y - y0) * w : batch->px.data() + size_t(y) * w;
        RowToPlanes(row, w, planes.get());
        if (matte) MatteOnWhite(planes.get(), w);
        for (size_t c = 0; c < 4; ++c) {
          const size_t i = size_t(y) * 4 + c;
          batch->lengths[i] = uint32_t(PackBitsEncodeTo(planes.get() + c * w, w, batch->encoded.get() + i * slot));
        }
      }
    });
  }
  inFlight_ = true;
  filling_ = 1 - filling_;
  return true;
}

// Waits for the batch in flight and appends its rows in order.
bool PsdOut::TakeBatch() {
  Batch& b = batches_[1 - filling_];
  // Encode what no worker has started rather than wait for the first.
  for (base::Task& t : b.tasks) t.runIfQueued();
  for (base::Task& t : b.tasks) t.wait();
  b.tasks.clear();
  const size_t slot = PackBitsBound(size_t(int64_t(right_) - left_));
  for (uint32_t y = 0; y < b.rows; ++y) {
    for (size_t c = 0; c < 4; ++c) {
      const size_t i = size_t(y) * 4 + c;
      const uint8_t* e = b.encoded.get() + i * slot;
      Channel& ch = channels_[c];
      Append(ch, e, b.lengths[i]);
      ch.counts.push_back(uint16_t(b.lengths[i]));  // fits: batches are only used where rows cannot fail
    }
    ++rows_;
  }
  waitingRows_ -= b.rows;
  b.px.clear();
  b.rows = 0;
  b.source = nullptr;
  inFlight_ = false;
  return true;
}

// Encodes and appends every row still waiting.
bool PsdOut::FlushRows() {
  if (!SubmitBatch()) return false;
  if (inFlight_ && !TakeBatch()) return false;
  return !error_;
}

bool PsdOut::WaitWrite() {
  if (!write_.valid()) return !error_;
  write_.wait();
  write_ = base::Task();
  return writeError_ ? Fail(writeError_) : !error_;
}

// The layer's channel data is written by a pool task while the caller goes
// on with the next layer: with the kernel's copy into the page cache taking
// as long as the encoding, writing in between left a core idle half the
// time.
bool PsdOut::EndLayer() {
  if (error_) return false;
  if (phase_ != Phase::kInLayer) return Fail(kPsdOutOrder);
  if (!FlushRows()) return false;
  if (rows_ != uint64_t(int64_t(bottom_) - top_)) return Fail(kPsdOutOrder);
  const size_t width = size_t(int64_t(right_) - left_);
  for (const Channel& ch : channels_)
    if (std::min(PackedLength(ch), RawLength(ch, width)) > UINT32_MAX) return Fail(kPsdOutTooLarge);
  if (!WaitWrite()) return false;
  std::swap(channels_, writing_);
  const std::array<uint64_t, 4> fields = channelFields_[current_];
  const bool last = ++current_ == layerCount_;
  {
    std::lock_guard<std::mutex> lock(spareLock_);
    size_t held = 0;
    for (const Channel& ch : writing_) held += ch.pieces.size();
    pieceLimit_ = held + kSlackPieces;
    writeRunning_ = true;
  }
  write_ = base::Task([this, fields, last, width] {
    // The next layer may wait for pieces: it must learn that the write
    // ended, however it ends.
    struct Ended {
      PsdOut& w;
      ~Ended() {
        {
          std::lock_guard<std::mutex> lock(w.spareLock_);
          w.writeRunning_ = false;
        }
        w.spareBack_.notify_all();
      }
    } ended{*this};
    Emitter e(out_, writeError_);
    // Each channel is stored plain where that is smaller (noise).
    for (int c = 0; c < 4; ++c) {
      Channel& ch = writing_[c];
      const uint64_t packed = PackedLength(ch), raw = RawLength(ch, width);
      if (raw < packed) {
        e.Put16(0);
        WriteChannelRaw(e, ch, width);
      } else {
        e.Put16(1);
        WriteCounts(e, ch);
        WriteChannel(e, ch);
      }
      e.Patch32(fields[c], uint32_t(std::min(packed, raw)));
    }
    if (last) CloseLayerSection(e);
  });
  // One thread: nothing to overlap with, and no second layer to hold.
  if (base::WorkThreads() < 2 && !WaitWrite()) return false;
  phase_ = Phase::kLayers;
  if (last) {
    ResetRect(0, 0, int32_t(width_), int32_t(height_), true);
    phase_ = Phase::kMerged;
  }
  return !error_;
}

void PsdOut::CloseLayerSection(Emitter& e) {
  // The layer info is padded to an even length, as readers expect.
  if ((e.Tell() - layerInfoField_ - 4) & 1) e.Put8(0);
  const uint64_t li = e.Tell() - layerInfoField_ - 4;
  if (li > UINT32_MAX) return void(e.Fail(kPsdOutTooLarge));
  e.Patch32(layerInfoField_, uint32_t(li));
  e.Put32(0);  // global layer mask
  e.Put("8BIMPatt", 8);
  e.Put32(0);
  const uint64_t lmi = e.Tell() - lmiField_ - 4;
  if (lmi > UINT32_MAX) return void(e.Fail(kPsdOutTooLarge));
  e.Patch32(lmiField_, uint32_t(lmi));
}

bool PsdOut::Finish() {
  if (error_) return false;
  if (phase_ == Phase::kMerged && !FlushRows()) return false;
  if (phase_ != Phase::kMerged || rows_ != height_) return Fail(kPsdOutOrder);
  if (!WaitWrite()) return false;
  Emitter e(out_, error_);
  // One compression for all four channels: plain where that is smaller.
  uint64_t packed = 0, raw = 0;
  for (const Channel& ch : channels_) packed += PackedLength(ch) - 2, raw += RawLength(ch, width_) - 2;
  if (raw < packed) {
    e.Put16(0);
    for (Channel& ch : channels_) WriteChannelRaw(e, ch, width_);
  } else {
    e.Put16(1);
    for (const Channel& ch : channels_) WriteCounts(e, ch);
    for (Channel& ch : channels_) WriteChannel(e, ch);
  }
  phase_ = Phase::kDone;
  ResetRect(0, 0, 0, 0, false);
  return !error_;
}

}  // namespace iio
