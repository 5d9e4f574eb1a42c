#include "iio/psd_out.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "iio/codepage.h"
#include "iio/packbits.h"
#include "iio/psd_bytes.h"

namespace iio {

namespace {

// Pieces of encoded channel data.
constexpr size_t kPieceBytes = size_t(1) << 20;
constexpr size_t kSparePieces = 8;
// Every layer's channels: red, green, blue, transparency.
constexpr int16_t kChannelIds[4] = {0, 1, 2, -1};

std::string Size(int64_t w, int64_t h) { return std::to_string(w) + " x " + std::to_string(h); }
std::string Rectangle(int64_t l, int64_t t, int64_t r, int64_t b) {
  return "(" + std::to_string(l) + ", " + std::to_string(t) + ", " + std::to_string(r) + ", " + std::to_string(b) + ")";
}

}  // namespace

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
      w_.Fail(kPsdOutTooLarge, "its extra data of " + std::to_string(len) + " bytes is over 4 GiB");
      return;
    }
    w_.Patch32(at_, uint32_t(len));
  }

 private:
  PsdOut& w_;
  uint64_t at_;
  bool done_ = false;
};

PsdOut::PsdOut(ImageDestBase& stream, std::string nameCharset) : out_(stream), charset_(std::move(nameCharset)) {}

PsdOut::~PsdOut() = default;

bool PsdOut::Fail(int32_t code, const std::string& detail) {
  if (error_ == kPsdOutOk) {
    error_ = code;
    detail_ = where_.empty() ? detail : where_ + ": " + detail;
  }
  return false;
}

void PsdOut::Put(const void* bytes, size_t n) {
  if (error_ || n == 0) return;
  const uint64_t at = out_.Tell();
  if (out_.Write(bytes, n) != n)
    Fail(kPsdOutStream, "the stream refused " + std::to_string(n) + " bytes at " + std::to_string(at));
}

void PsdOut::Put16(uint16_t v) {
  uint8_t b[2];
  StoreBe16(b, v);
  Put(b, 2);
}

void PsdOut::Put32(uint32_t v) {
  uint8_t b[4];
  StoreBe32(b, v);
  Put(b, 4);
}

void PsdOut::PutLength() {
  if (format_.large) Put32(0);
  Put32(0);
}

bool PsdOut::PatchLength(uint64_t at, uint64_t value, const char* what) {
  if (!format_.large) {
    if (value > UINT32_MAX)
      return Fail(kPsdOutTooLarge, std::string(what) + " of " + std::to_string(value) +
                                       " bytes is over what a version-1 file holds");
    Patch32(at, uint32_t(value));
  } else {
    Patch32(at, uint32_t(value >> 32));
    Patch32(at + 4, uint32_t(value));
  }
  return !error_;
}

void PsdOut::Patch32(uint64_t at, uint32_t value) {
  if (error_) return;
  const uint64_t back = out_.Tell();
  if (!out_.Seek(at)) return void(Fail(kPsdOutStream, "the stream cannot seek back to " + std::to_string(at)));
  Put32(value);
  if (!out_.Seek(back)) Fail(kPsdOutStream, "the stream cannot seek on to " + std::to_string(back));
}

bool PsdOut::Begin(uint32_t width, uint32_t height, const std::vector<layer_param_t>& layers,
                   const PsdOutFormat& format) {
  if (error_) return false;
  if (phase_ != Phase::kIdle) return Fail(kPsdOutOrder, "Begin on a file already begun");
  where_ = "header";
  const uint32_t side = format.large ? kMaxLargeCanvasSide : kMaxCanvasSide;
  if (width < 1 || width > side || height < 1 || height > side)
    return Fail(kPsdOutOrder, "a canvas of " + Size(width, height) + " pixels (1 to " + std::to_string(side) +
                                  " a side)");
  if (format.depth != 8 && format.depth != 16)
    return Fail(kPsdOutOrder, "a depth of " + std::to_string(format.depth) + " bits (8 or 16)");
  format_ = format;
  if (layers.size() > 32767) return Fail(kPsdOutTooLarge, std::to_string(layers.size()) + " layers (at most 32767)");
  width_ = width;
  height_ = height;
  layerCount_ = uint32_t(layers.size());
  current_ = 0;

  // Header.
  Put("8BPS", 4);
  Put16(format.large ? 2 : 1);
  Put16(0);
  Put32(0);
  Put16(4);
  Put32(height);
  Put32(width);
  Put16(uint16_t(format.depth));
  Put16(3);
  Put32(0);  // colour mode data
  Put32(0);  // image resources

  lmiField_ = out_.Tell();
  PutLength();
  layerInfoField_ = out_.Tell();
  PutLength();
  if (layers.empty()) {
    Put32(0);  // global layer mask
    PatchLength(lmiField_, out_.Tell() - layerInfoField_, "the layer and mask information");
    StartRows(0, 0, int32_t(width_), int32_t(height_));
    phase_ = Phase::kMerged;
    where_ = "merged image";
    return !error_;
  }
  Put16(uint16_t(-int16_t(layers.size())));
  rectFields_.resize(layers.size());
  channelFields_.resize(layers.size());
  for (size_t i = 0; i < layers.size(); ++i) {
    where_ = "layer record " + std::to_string(i);
    WriteRecord(layers[i], rectFields_[i], channelFields_[i]);
  }
  phase_ = Phase::kLayers;
  where_.clear();
  return !error_;
}

void PsdOut::WriteRecord(const layer_param_t& l, uint64_t& rectField, std::array<uint64_t, 4>& lengthFields) {
  rectField = out_.Tell();
  Put32(uint32_t(l.top));
  Put32(uint32_t(l.left));
  Put32(uint32_t(l.bottom));
  Put32(uint32_t(l.right));
  Put16(4);
  for (int c = 0; c < 4; ++c) {
    Put16(uint16_t(kChannelIds[c]));
    lengthFields[c] = out_.Tell();
    PutLength();
  }
  Put("8BIM", 4);
  Put(l.blendKey.data(), 4);
  Put8(l.opacity);
  Put8(l.clipping);
  Put8(uint8_t(8 | (l.visible ? 0 : 2) | (l.lockTransparency ? 1 : 0) | (l.pixelsIrrelevant ? 16 : 0)));
  Put8(0);

  LengthField extra(*this);
  Put32(0);  // layer mask data
  Put32(0);  // blending ranges

  // Pascal name in the names' character set, cut on a character boundary.
  const std::string pascal = Utf8ToCharset(l.name, charset_);
  const size_t n = CharsetPrefix(pascal, 255, charset_);
  Put8(uint8_t(n));
  Put(pascal.data(), n);
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

  const uint32_t locks = (l.lockTransparency ? 1u : 0u) | (l.lockPixels ? 2u : 0u) | (l.lockPosition ? 4u : 0u) |
                         (l.lockAll ? 0x80000000u : 0u);
  Put("8BIMlspf", 8);
  Put32(4);
  Put32(locks);
  extra.Close();
}

void PsdOut::StartRows(int32_t left, int32_t top, int32_t right, int32_t bottom) {
  left_ = left, top_ = top, right_ = right, bottom_ = bottom;
  rows_ = 0;
  for (Channel& c : channels_) Recycle(c);
}

void PsdOut::Append(Channel& ch, const uint8_t* bytes, size_t n) {
  while (n) {
    if (ch.size == ch.pieces.size() * kPieceBytes) {
      if (spare_.empty()) {
        ch.pieces.emplace_back(new uint8_t[kPieceBytes]);
      } else {
        ch.pieces.push_back(std::move(spare_.back()));
        spare_.pop_back();
      }
    }
    const size_t at = ch.size % kPieceBytes, take = std::min(n, kPieceBytes - at);
    std::memcpy(ch.pieces.back().get() + at, bytes, take);
    ch.size += take;
    bytes += take;
    n -= take;
  }
}

void PsdOut::Recycle(Channel& ch) {
  // A few pieces stay for the next layer's first rows; the rest go, so that
  // a layer's encoded channels are not held while the next layer is read.
  for (auto& p : ch.pieces)
    if (spare_.size() < kSparePieces) spare_.push_back(std::move(p));
  ch.pieces.clear();
  ch.size = 0;
  ch.packed = 0;
  ch.counts.clear();
  ch.stored.clear();
  ch.anyPlain = false;
  ch.plain = false;
}

void PsdOut::WriteCounts(const Channel& ch) {
  const size_t bytes = size_t(CountBytes());
  std::vector<uint8_t> table(ch.counts.size() * bytes);
  for (size_t i = 0; i < ch.counts.size(); ++i)
    bytes == 2 ? StoreBe16(&table[2 * i], uint16_t(ch.counts[i])) : StoreBe32(&table[4 * i], ch.counts[i]);
  Put(table.data(), table.size());
}

void PsdOut::WriteChannel(Channel& ch, size_t rowBytes) {
  if (!ch.anyPlain) {
    for (size_t i = 0; i < ch.pieces.size(); ++i) Put(ch.pieces[i].get(), std::min(kPieceBytes, ch.size - i * kPieceBytes));
    return;
  }
  // Rows held plain are packed again; they are the few that pack no shorter.
  std::vector<uint8_t> packed(PackBitsBound(rowBytes));
  ForEachRow(ch, rowBytes, [&](const uint8_t* src, size_t held, bool plain, uint32_t) {
    if (plain)
      Put(packed.data(), PackBitsEncodeTo(src, rowBytes, packed.data()));
    else
      Put(src, held);
  });
}

template <typename Fn>
void PsdOut::ForEachRow(const Channel& ch, size_t rowBytes, Fn&& fn) {
  std::vector<uint8_t> joined(PackBitsBound(rowBytes));  // a row across two pieces
  uint64_t at = 0;  // of the row in the held bytes
  for (size_t y = 0; y < ch.counts.size(); ++y) {
    const bool plain = ch.stored[y] != 0;
    const size_t held = plain ? rowBytes : ch.counts[y];
    if (held == 0) {
      fn(joined.data(), held, plain, ch.counts[y]);  // rows of width 0 may have no piece to lie in
      continue;
    }
    const size_t piece = size_t(at / kPieceBytes), off = size_t(at % kPieceBytes);
    const uint8_t* src = ch.pieces[piece].get() + off;
    if (off + held > kPieceBytes) {
      const size_t head = kPieceBytes - off;
      std::memcpy(joined.data(), src, head);
      std::memcpy(joined.data() + head, ch.pieces[piece + 1].get(), held - head);
      src = joined.data();
    }
    fn(src, held, plain, ch.counts[y]);
    at += held;
  }
}

void PsdOut::WriteChannelRaw(Channel& ch, size_t width) {
  std::vector<uint8_t> out(std::max(kPieceBytes, width));
  size_t filled = 0;
  ForEachRow(ch, width, [&](const uint8_t* src, size_t held, bool plain, uint32_t) {
    if (filled + width > out.size()) {
      Put(out.data(), filled);
      filled = 0;
    }
    // The writer's own rows: a packed one decodes to exactly one row.
    if (plain)
      std::memcpy(out.data() + filled, src, width);
    else
      PackBitsDecode(out.data() + filled, out.data() + filled + width, src, src + held);
    filled += width;
  });
  Put(out.data(), filled);
}

bool PsdOut::BeginLayer(int32_t left, int32_t top, int32_t right, int32_t bottom) {
  if (error_) return false;
  if (phase_ != Phase::kLayers || current_ >= layerCount_)
    return Fail(kPsdOutOrder, phase_ == Phase::kLayers || phase_ == Phase::kMerged ? "BeginLayer past the last layer"
                                                                                    : "BeginLayer out of order");
  where_ = "layer " + std::to_string(current_);
  const int64_t side = format_.large ? int64_t(kMaxLargeCanvasSide) : kMaxLayerSide;
  if (int64_t(right) < left || int64_t(bottom) < top)
    return Fail(kPsdOutOrder, "an inverted rectangle " + Rectangle(left, top, right, bottom));
  if (int64_t(right) - left > side || int64_t(bottom) - top > side)
    return Fail(kPsdOutOrder, "a rectangle of " + Size(int64_t(right) - left, int64_t(bottom) - top) +
                                  " pixels (at most " + std::to_string(side) + " a side)");
  const uint64_t at = rectFields_[current_];
  Patch32(at, uint32_t(top));
  Patch32(at + 4, uint32_t(left));
  Patch32(at + 8, uint32_t(bottom));
  Patch32(at + 12, uint32_t(right));
  StartRows(left, top, right, bottom);
  phase_ = Phase::kInLayer;
  return !error_;
}

bool PsdOut::AddRows(const PsdRows& rows) {
  if (error_) return false;
  if (phase_ != Phase::kInLayer && phase_ != Phase::kMerged) return Fail(kPsdOutOrder, "rows out of order");
  const size_t w = size_t(int64_t(right_) - left_);
  const uint64_t h = uint64_t(int64_t(bottom_) - top_);
  if (rows.width != w)
    return Fail(kPsdOutOrder, "rows of " + std::to_string(rows.width) + " pixels for " + std::to_string(w));
  if (rows.depth != format_.depth)
    return Fail(kPsdOutOrder, "rows of " + std::to_string(rows.depth) + " bits in a file of " +
                                  std::to_string(format_.depth));
  if (uint64_t(rows_) + rows.rows > h)
    return Fail(kPsdOutOrder, std::to_string(uint64_t(rows_) + rows.rows) + " rows of " + std::to_string(h));
  for (uint32_t y = 0; y < rows.rows; ++y) {
    for (size_t c = 0; c < 4; ++c) {
      const size_t i = size_t(y) * 4 + c;
      const uint32_t n = rows.lengths[i];
      // Row counts of version 1 are 16-bit: a channel with a longer packed
      // row (a layer over 65,000 bytes wide of noise) is stored plain, which
      // needs no counts.
      if (n > 0xFFFF && !format_.large) channels_[c].plain = true;
      Append(channels_[c], rows.bytes.data() + i * rows.slot, rows.Stored(i));
      channels_[c].counts.push_back(n);
      channels_[c].packed += n;
      channels_[c].stored.push_back(rows.plain[i]);
      channels_[c].anyPlain = channels_[c].anyPlain || rows.plain[i];
    }
    ++rows_;
  }
  return true;
}

bool PsdOut::EndLayer() {
  if (error_) return false;
  if (phase_ != Phase::kInLayer) return Fail(kPsdOutOrder, "EndLayer without BeginLayer");
  if (rows_ != uint64_t(int64_t(bottom_) - top_))
    return Fail(kPsdOutOrder, "ended after " + std::to_string(rows_) + " rows of " +
                                  std::to_string(int64_t(bottom_) - top_));
  const size_t width = size_t(int64_t(right_) - left_);
  // Each channel is stored plain where that is smaller (noise) or where its
  // packed rows cannot be counted.
  auto plain = [&](const Channel& ch) { return ch.plain || RawLength(ch, width) < PackedLength(ch); };
  auto length = [&](const Channel& ch) { return plain(ch) ? RawLength(ch, width) : PackedLength(ch); };
  for (int c = 0; c < 4; ++c)
    if (length(channels_[c]) > UINT32_MAX && !format_.large)
      return Fail(kPsdOutTooLarge, "channel " + std::to_string(kChannelIds[c]) + " of " +
                                       std::to_string(length(channels_[c])) +
                                       " bytes is over what a version-1 file holds");
  const std::array<uint64_t, 4>& fields = channelFields_[current_];
  for (int c = 0; c < 4; ++c) {
    Channel& ch = channels_[c];
    if (plain(ch)) {
      Put16(0);
      WriteChannelRaw(ch, size_t(RowBytes(width)));
    } else {
      Put16(1);
      WriteCounts(ch);
      WriteChannel(ch, size_t(RowBytes(width)));
    }
    PatchLength(fields[c], length(ch), "a channel");
    Recycle(ch);
  }
  phase_ = Phase::kLayers;
  if (++current_ == layerCount_) {
    where_ = "layer section";
    CloseLayerSection();
    StartRows(0, 0, int32_t(width_), int32_t(height_));
    phase_ = Phase::kMerged;
    where_ = "merged image";
  }
  if (!error_ && phase_ == Phase::kLayers) where_.clear();
  return !error_;
}

void PsdOut::CloseLayerSection() {
  // The layer info is padded to an even length, as readers expect.
  if ((out_.Tell() - layerInfoField_ - 4) & 1) Put8(0);
  const uint64_t lengthBytes = format_.large ? 8 : 4;
  if (!PatchLength(layerInfoField_, out_.Tell() - layerInfoField_ - lengthBytes, "the layer info")) return;
  Put32(0);  // global layer mask
  Put("8BIMPatt", 8);
  Put32(0);
  PatchLength(lmiField_, out_.Tell() - lmiField_ - lengthBytes, "the layer and mask information");
}

bool PsdOut::Finish() {
  if (error_) return false;
  if (phase_ != Phase::kMerged) return Fail(kPsdOutOrder, "Finish before the merged image");
  if (rows_ != height_)
    return Fail(kPsdOutOrder, "finished after " + std::to_string(rows_) + " rows of " + std::to_string(height_));
  // One compression for all four channels: plain where that is smaller or
  // where a packed row cannot be counted.
  uint64_t packed = 0, raw = 0;
  bool plain = false;
  for (const Channel& ch : channels_)
    packed += PackedLength(ch) - 2, raw += RawLength(ch, width_) - 2, plain = plain || ch.plain;
  if (plain || raw < packed) {
    Put16(0);
    for (Channel& ch : channels_) WriteChannelRaw(ch, size_t(RowBytes(width_)));
  } else {
    Put16(1);
    for (const Channel& ch : channels_) WriteCounts(ch);
    for (Channel& ch : channels_) WriteChannel(ch, size_t(RowBytes(width_)));
  }
  phase_ = Phase::kDone;
  StartRows(0, 0, 0, 0);
  spare_.clear();
  return !error_;
}

}  // namespace iio
