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

}  // namespace

layer_param_t MergedPixels::Param(const PsdHeader& header, bool hasLayers) {
  layer_param_t p;
  p.name = kMergedImageName;
  p.right = int32_t(header.width);
  p.bottom = int32_t(header.height);
  p.channelCount = header.channels;
  p.maskRelative = p.maskEnabled = 0;
  p.visible = hasLayers ? 0 : 1;
  return p;
}

MergedPixels::MergedPixels(DataSrcBase& src, const PsdHeader& header, uint16_t compression)
    : src_(src), width_(header.width), height_(header.height), channels_(header.channels),
      compression_(compression) {}

PsdError MergedPixels::Read(DataSrcBase& src, uint64_t start, const PsdHeader& header,
                            std::unique_ptr<MergedPixels>* out) {
  const uint64_t needed = uint64_t(header.height) + 2;
  if (start > src.size() || !src.seek(start) || !DeclaredFits(needed, src.remaining())) return kPsdBadImage;
  const uint8_t* c = src.read(2);
  if (!c) return kPsdBadImage;
  const uint16_t compression = LoadBe16(c);
  if (compression > 1) return kPsdBadImage;
  std::unique_ptr<MergedPixels> m(new MergedPixels(src, header, compression));
  if (!m->SetUp()) return kPsdBadImage;
  *out = std::move(m);
  return kPsdOk;
}

bool MergedPixels::SetUp() {
  // Widened: up to 56 channels of 30000 rows of 30000 bytes.
  const uint64_t rows = uint64_t(height_) * channels_;
  if (compression_ == 0) {
    start_ = src_.position();
    if (!DeclaredFits(rows * width_, src_.remaining())) return false;
  } else {
    const uint64_t tableBytes = rows * 2;
    if (!DeclaredFits(tableBytes, src_.remaining())) return false;
    std::vector<uint8_t> table;
    if (!src_.readInto(table, tableBytes)) return false;
    counts_.resize(size_t(rows));
    offsets_.resize(size_t(rows));
    uint64_t sum = 0;
    for (size_t i = 0; i < rows; ++i) {
      counts_[i] = LoadBe16(&table[2 * i]);
      offsets_[i] = sum;
      sum += counts_[i];
    }
    start_ = src_.position();
    if (!DeclaredFits(sum, src_.remaining())) return false;
  }
  scratch_.assign(5 * size_t(width_), 0xFF);
  return true;
}

const uint8_t* MergedPixels::ChannelRow(uint32_t row, uint32_t channel, uint8_t* dst) {
  if (row >= height_ || channel >= channels_) return nullptr;
  const size_t i = size_t(channel) * height_ + row;
  if (compression_ == 0) return src_.seek(start_ + uint64_t(i) * width_) && src_.readTo(dst, width_) ? dst : nullptr;
  if (!src_.seek(start_ + offsets_[i])) return nullptr;
  const uint8_t* p = counts_[i] ? src_.read(counts_[i]) : nullptr;
  if (counts_[i] && !p) return nullptr;
  return PackBitsDecode(dst, dst + width_, p, p + counts_[i]) ? dst : nullptr;
}

bool MergedPixels::ReadRow(uint32_t row, uint32_t* out) {
  const size_t w = width_;
  const uint8_t* opaque = scratch_.data() + 4 * w;
  const uint8_t* rows[4] = {opaque, opaque, opaque, opaque};
  const uint32_t used = std::min<uint32_t>(channels_, 4);
  for (uint32_t c = 0; c < used; ++c) {
    rows[c] = ChannelRow(row, c, scratch_.data() + c * w);
    if (!rows[c]) return false;
  }
  InterleaveRow(rows, w, out);
  // A fourth channel is the transparency, which the colour is matted by.
  if (channels_ >= 4) Unmatte(reinterpret_cast<uint8_t*>(out), w);
  return true;
}

}  // namespace iio
