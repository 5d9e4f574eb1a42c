// The merged image section, which ends the file.
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "iio/psd_sections.h"

namespace iio {

namespace {

// Takes the colour of a row of the merged image off the white it is matted
// on (stored = c * a / 255 + 255 - a): c = (stored - 255 + a) * 255 / a,
// rounded, 0 where the stored value lies below the white alone. Transparent
// and opaque pixels keep their stored bytes; stretches of opaque ones are
// passed over four at a time where there is SSE2.
void Unmatte(uint8_t* px, size_t w) {
  auto one = [](uint8_t* p) {
    const int a = p[3];
    if (a == 0 || a == 255) return;
    for (int c = 0; c < 3; ++c) {
      const int v = p[c] - 255 + a;
      p[c] = v <= 0 ? 0 : uint8_t((v * 255 + a / 2) / a);
    }
  };
  size_t x = 0;
#if defined(__SSE2__)
  const __m128i opaque = _mm_set1_epi8(-1);
  for (; x + 4 <= w; x += 4) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(px + 4 * x));
    if ((_mm_movemask_epi8(_mm_cmpeq_epi8(v, opaque)) & 0x8888) == 0x8888) continue;
    for (size_t i = x; i < x + 4; ++i) one(px + 4 * i);
  }
#endif
  for (; x < w; ++x) one(px + 4 * x);
}

// The same on straight 16-bit pixels.
void Unmatte16(uint64_t* px, size_t w) {
  for (size_t x = 0; x < w; ++x) {
    const int64_t a = int64_t(px[x] >> 48);
    if (a == 0 || a == 65535) continue;
    uint64_t v = uint64_t(a) << 48;
    for (int c = 0; c < 3; ++c) {
      const int64_t s = int64_t(px[x] >> (16 * c) & 0xFFFF) - 65535 + a;
      v |= uint64_t(s <= 0 ? 0 : (s * 65535 + a / 2) / a) << (16 * c);
    }
    px[x] = v;
  }
}

}  // namespace

// The file: each row is read from the source when asked for; a ZIP stream
// (one over every channel) is read whole beforehand.
class MergedPixels::Bytes final : public ChannelBytes {
 public:
  explicit Bytes(MergedPixels& m) : m_(m) {}
  const uint8_t* Read(uint64_t at, uint64_t n) const override {
    if (!m_.src_.seek(at)) return nullptr;
    return n ? m_.src_.read(n) : reinterpret_cast<const uint8_t*>("");
  }
  const uint8_t* Keep(uint64_t at, uint64_t n, uint8_t* dst) const override {
    return m_.src_.seek(at) && m_.src_.readTo(dst, n) ? dst : nullptr;
  }
  // Every used channel gets a copy of the stream at its first row, all made
  // in one pass.
  bool StartZip(const ChannelRows&) const override {
    PsdZipRows whole(m_.zip_.data(), m_.zip_.size(), m_.width_, uint64_t(m_.height_) * m_.channels_,
                     m_.format_.depth, m_.compression_ == 3);
    for (const ChannelRows& ch : m_.used_) {
      if (!whole.SkipRows(ch.firstRow - whole.NextRow()) || !(ch.zip = whole.Fork())) {
        for (const ChannelRows& c : m_.used_) c.zip.reset();
        return false;
      }
    }
    return true;
  }

 private:
  MergedPixels& m_;
};

layer_param_t MergedPixels::Param(const PsdHeader& header, bool hasLayers) {
  layer_param_t p;
  p.name = kMergedImageName;
  p.right = int32_t(header.width);
  p.bottom = int32_t(header.height);
  p.channelCount = header.channels;
  p.depth = header.depth;
  p.maskRelative = p.maskEnabled = 0;
  p.visible = hasLayers ? 0 : 1;
  return p;
}

MergedPixels::MergedPixels(DataSrcBase& src, const PsdHeader& header, const PsdFormat& format, uint16_t compression)
    : src_(src),
      format_(format),
      width_(header.width),
      height_(header.height),
      channels_(header.channels),
      compression_(compression),
      rowBytes_(PsdRowBytes(header.width, header.depth)) {
  std::vector<uint32_t> used;
  const uint32_t colors = format.color->ColorChannels();
  for (uint32_t c = 0; c < colors && c < channels_; ++c) used.push_back(c);
  // The channel after the colour ones is the transparency, in the modes
  // that have one.
  const uint16_t mode = format.color->Mode();
  if (channels_ > colors && mode != kPsdBitmap && mode != kPsdIndexed && mode != kPsdMultichannel) {
    used.push_back(colors);
    alpha_ = true;
  }
  used_.resize(used.size());
  for (size_t k = 0; k < used.size(); ++k) {
    ChannelRows& ch = used_[k];
    ch.compression = compression;
    ch.width = width_;
    ch.height = height_;
    ch.rowBytes = rowBytes_;
    ch.firstRow = uint64_t(used[k]) * height_;
    ch.id = int32_t(used[k]);
    feeds_.push_back({uint32_t(k), alpha_ && k + 1 == used.size() ? colors : used[k]});
  }
}

MergedPixels::~MergedPixels() = default;

PsdError MergedPixels::Read(DataSrcBase& src, uint64_t start, const PsdHeader& header, const PsdFormat& format,
                            std::unique_ptr<MergedPixels>* out, std::string* why) {
  const uint64_t needed = uint64_t(header.height) + 2;
  if (start > src.size() || !src.seek(start) || !DeclaredFits(needed, src.remaining()))
    return Explain(why, kPsdBadImage,
                   "merged image: the file ends before its rows (" +
                       Num(start < src.size() ? src.size() - start : 0) + " bytes left)");
  const uint8_t* c = src.read(2);
  if (!c) return Explain(why, kPsdBadImage, "merged image: its compression cannot be read");
  const uint16_t compression = LoadBe16(c);
  if (compression > 3)
    return Explain(why, kPsdBadImage, "merged image: compression " + Num(compression) + " is unknown");
  if (compression == 3 && header.depth == 1)
    return Explain(why, kPsdBadImage, "merged image: ZIP with prediction at 1 bit");
  std::unique_ptr<MergedPixels> m(new MergedPixels(src, header, format, compression));
  std::string failure;
  if (!m->SetUp(why ? &failure : nullptr)) return Explain(why, kPsdBadImage, "merged image: " + failure);
  *out = std::move(m);
  return kPsdOk;
}

bool MergedPixels::SetUp(std::string* why) {
  // Widened: up to 56 channels of 300,000 rows of 1,200,000 bytes.
  const uint64_t rows = uint64_t(height_) * channels_;
  if (compression_ == 0) {
    const uint64_t start = src_.position();
    for (ChannelRows& ch : used_) ch.start = start + ch.firstRow * rowBytes_;
    if (!DeclaredFits(rows * rowBytes_, src_.remaining()))
      return Explain(why, "raw rows of " + Num(rows * rowBytes_) + " bytes, past the file's end (" +
                              Num(src_.remaining()) + " bytes left)");
  } else if (compression_ == 1) {
    // The row byte counts of every channel, then the rows; only the used
    // channels' counts are kept.
    const uint64_t tableBytes = rows * (format_.large ? 4 : 2);
    if (!DeclaredFits(tableBytes, src_.remaining()))
      return Explain(why, "a PackBits row table of " + Num(tableBytes) + " bytes, past the file's end (" +
                              Num(src_.remaining()) + " bytes left)");
    std::vector<uint8_t> table;
    if (!src_.readInto(table, tableBytes)) return Explain(why, "its PackBits row table cannot be read");
    const uint64_t start = src_.position();
    const size_t channelTable = size_t(height_) * (format_.large ? 4 : 2);
    uint64_t sum = 0;
    size_t k = 0;  // into used_
    for (uint32_t c = 0; c < channels_; ++c) {
      const bool keep = k < used_.size() && used_[k].firstRow == uint64_t(c) * height_;
      if (keep) {
        used_[k].start = start;
        used_[k].counts.reserve(height_);
        used_[k].offsets.reserve(height_);
      }
      sum += ReadRowCounts(&table[c * channelTable], height_, format_.large, sum, keep ? &used_[k] : nullptr);
      k += keep;
    }
    if (!DeclaredFits(sum, src_.remaining()))
      return Explain(why, "PackBits rows of " + Num(sum) + " bytes, past the file's end (" + Num(src_.remaining()) +
                              " bytes left)");
  } else if (!src_.readInto(zip_, src_.remaining())) {
    return Explain(why, "its ZIP stream cannot be read");
  }
  scratch_ = FullRow(6 * rowBytes_, format_.depth);
  return true;
}

bool MergedPixels::FetchRows(uint32_t row, const uint8_t* rows[5], std::string* why) {
  return FetchPixelRows(used_, feeds_, row, Bytes(*this), format_, scratch_.data() + 5 * rowBytes_, scratch_.data(),
                        rows, why);
}

bool MergedPixels::ReadRow(uint32_t row, uint32_t* out, std::string* why) {
  const uint8_t* rows[5];
  if (format_.wide || !FetchRows(row, rows, why)) return false;
  ConvertPixelRows(format_, rows, width_, rowScratch_, out);
  if (alpha_) Unmatte(reinterpret_cast<uint8_t*>(out), width_);
  return true;
}

bool MergedPixels::ReadRow(uint32_t row, uint64_t* out, std::string* why) {
  const uint8_t* rows[5];
  if (!format_.wide || !FetchRows(row, rows, why)) return false;
  ConvertPixelRows(format_, rows, width_, rowScratch_, out);
  if (alpha_) Unmatte16(out, width_);
  return true;
}

}  // namespace iio
