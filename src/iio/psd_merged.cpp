// The merged image section, which ends the file.
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "iio/packbits.h"
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

struct MergedPixels::Zip {
  std::vector<uint8_t> data;  // the whole stream
  // One stream per used channel, each at that channel's next row.
  std::vector<std::unique_ptr<PsdZipRows>> streams;
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
  const uint32_t colors = format.color->ColorChannels();
  for (uint32_t c = 0; c < colors && c < channels_; ++c) used_.push_back(c);
  // The channel after the colour ones is the transparency, in the modes
  // that have one.
  const uint16_t mode = format.color->Mode();
  if (channels_ > colors && mode != kPsdBitmap && mode != kPsdIndexed && mode != kPsdMultichannel) {
    used_.push_back(colors);
    alpha_ = true;
  }
}

MergedPixels::~MergedPixels() = default;

PsdError MergedPixels::Read(DataSrcBase& src, uint64_t start, const PsdHeader& header, const PsdFormat& format,
                            std::unique_ptr<MergedPixels>* out) {
  const uint64_t needed = uint64_t(header.height) + 2;
  if (start > src.size() || !src.seek(start) || !DeclaredFits(needed, src.remaining())) return kPsdBadImage;
  const uint8_t* c = src.read(2);
  if (!c) return kPsdBadImage;
  const uint16_t compression = LoadBe16(c);
  if (compression > 3 || (compression == 3 && header.depth == 1)) return kPsdBadImage;
  std::unique_ptr<MergedPixels> m(new MergedPixels(src, header, format, compression));
  if (!m->SetUp()) return kPsdBadImage;
  *out = std::move(m);
  return kPsdOk;
}

bool MergedPixels::SetUp() {
  // Widened: up to 56 channels of 300,000 rows of 1,200,000 bytes.
  const uint64_t rows = uint64_t(height_) * channels_;
  if (compression_ == 0) {
    start_ = src_.position();
    if (!DeclaredFits(rows * rowBytes_, src_.remaining())) return false;
  } else if (compression_ == 1) {
    // Row byte counts of 2 bytes, 4 in a large document; only the used
    // channels' are kept.
    const uint32_t countBytes = format_.large ? 4 : 2;
    const uint64_t tableBytes = rows * countBytes;
    if (!DeclaredFits(tableBytes, src_.remaining())) return false;
    std::vector<uint8_t> table;
    if (!src_.readInto(table, tableBytes)) return false;
    counts_.resize(used_.size() * size_t(height_));
    offsets_.resize(counts_.size());
    uint64_t sum = 0;
    size_t k = 0;  // into used_
    for (uint32_t c = 0; c < channels_; ++c) {
      const bool keep = k < used_.size() && used_[k] == c;
      for (uint32_t r = 0; r < height_; ++r) {
        const size_t i = size_t(c) * height_ + r;
        const uint32_t n = countBytes == 4 ? LoadBe32(&table[4 * i]) : LoadBe16(&table[2 * i]);
        if (keep) {
          counts_[k * height_ + r] = n;
          offsets_[k * height_ + r] = sum;
        }
        sum += n;
      }
      k += keep;
    }
    start_ = src_.position();
    if (!DeclaredFits(sum, src_.remaining())) return false;
  } else {
    zip_.reset(new Zip);
    if (!src_.readInto(zip_->data, src_.remaining())) return false;
  }
  scratch_ = FullRow(6 * rowBytes_, format_.depth);
  return true;
}

const uint8_t* MergedPixels::ChannelRow(uint32_t row, uint32_t k, uint8_t* dst) {
  const uint32_t channel = used_[k];
  if (row >= height_) return nullptr;
  if (compression_ == 0) {
    const uint64_t i = uint64_t(channel) * height_ + row;
    return src_.seek(start_ + i * rowBytes_) && src_.readTo(dst, rowBytes_) ? dst : nullptr;
  }
  if (compression_ == 1) {
    const size_t i = size_t(k) * height_ + row;
    if (!src_.seek(start_ + offsets_[i])) return nullptr;
    const uint8_t* p = counts_[i] ? src_.read(counts_[i]) : nullptr;
    if (counts_[i] && !p) return nullptr;
    return PackBitsDecode(dst, dst + rowBytes_, p, p + counts_[i]) ? dst : nullptr;
  }
  // ZIP: one stream over the channels one after another. Each used channel
  // gets a copy of the stream at its first row, all made in one pass.
  std::vector<std::unique_ptr<PsdZipRows>>& z = zip_->streams;
  const uint64_t first = uint64_t(channel) * height_;
  if (z.empty() || first + row < z[k]->NextRow()) {
    z.clear();
    z.resize(used_.size());
    PsdZipRows whole(zip_->data.data(), zip_->data.size(), width_, uint64_t(height_) * channels_, format_.depth,
                     compression_ == 3);
    for (size_t u = 0; u < used_.size(); ++u) {
      if (!whole.SkipRows(uint64_t(used_[u]) * height_ - whole.NextRow()) || !(z[u] = whole.Fork())) {
        z.clear();
        return nullptr;
      }
    }
  }
  PsdZipRows& s = *z[k];
  if (!s.SkipRows(first + row - s.NextRow())) return nullptr;
  return s.ReadRows(dst, 1) ? dst : nullptr;
}

bool MergedPixels::FetchRows(uint32_t row, const uint8_t* rows[5]) {
  const uint8_t* full = scratch_.data() + 5 * rowBytes_;
  const uint32_t colors = format_.color->ColorChannels();
  for (uint32_t c = 0; c <= colors; ++c) rows[c] = full;
  for (uint32_t k = 0; k < used_.size(); ++k) {
    const uint32_t role = alpha_ && k + 1 == used_.size() ? colors : used_[k];
    rows[role] = ChannelRow(row, k, scratch_.data() + k * rowBytes_);
    if (!rows[role]) return false;
  }
  return true;
}

bool MergedPixels::ReadRow(uint32_t row, uint32_t* out) {
  const uint8_t* rows[5];
  if (format_.wide || !FetchRows(row, rows)) return false;
  if (format_.plainRgb8)
    InterleaveRow(rows, width_, out);
  else
    format_.color->ConvertRow8(rows, alpha_ ? rows[format_.color->ColorChannels()] : nullptr, width_, out);
  if (alpha_) Unmatte(reinterpret_cast<uint8_t*>(out), width_);
  return true;
}

bool MergedPixels::ReadRow(uint32_t row, uint64_t* out) {
  const uint8_t* rows[5];
  if (!format_.wide || !FetchRows(row, rows)) return false;
  format_.color->ConvertRow(rows, alpha_ ? rows[format_.color->ColorChannels()] : nullptr, width_,
                            rowScratch_.color, out);
  if (alpha_) Unmatte16(out, width_);
  return true;
}

}  // namespace iio
