#include "kzm/bitmap_blocks.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kzm/mempool.h"

namespace kzm {

void SanitizeBlock(PixelRGBA* px64) {
  uint16_t* v = reinterpret_cast<uint16_t*>(px64);
#if defined(__SSE2__)
  // Two pixels at a time: alpha broadcast over its pixel's lanes, then
  // min(x, y) as x - max(x - y, 0) in unsigned saturating lanes.
  const __m128i unit = _mm_set1_epi16(int16_t(kUnit));
  for (int i = 0; i < 64; i += 2) {
    __m128i* at = reinterpret_cast<__m128i*>(v + 4 * i);
    const __m128i x = _mm_loadu_si128(at);
    const __m128i ax = _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xFF), 0xFF);
    const __m128i al = _mm_sub_epi16(ax, _mm_subs_epu16(ax, unit));
    _mm_storeu_si128(at, _mm_sub_epi16(x, _mm_subs_epu16(x, al)));
  }
#else
  for (int i = 0; i < 64; ++i) {
    uint16_t* p = v + 4 * i;
    const uint16_t a = std::min<uint16_t>(p[3], uint16_t(kUnit));
    p[0] = std::min(p[0], a);
    p[1] = std::min(p[1], a);
    p[2] = std::min(p[2], a);
    p[3] = a;
  }
#endif
}

BitmapBlocks::BitmapBlocks(uint64_t expected) {
  // The count is a declared one; the parser has checked that its bytes can
  // arrive, but reserve only a bounded part up front.
  blocks_.reserve(size_t(std::min<uint64_t>(expected, 1u << 16)));
}

BitmapBlocks::~BitmapBlocks() {
  for (PixelRGBA* p : blocks_) PoolFree(PoolId::k512, p);
  PoolFree(PoolId::k512, partial_);
}

bool BitmapBlocks::take(const uint8_t* data, size_t n) {
  constexpr size_t kBytes = 64 * sizeof(PixelRGBA);
  while (n) {
    if (!partial_) {
      partial_ = static_cast<PixelRGBA*>(PoolAlloc(PoolId::k512));
      filled_ = 0;
    }
    const size_t take = std::min(n, kBytes - filled_);
    std::memcpy(reinterpret_cast<uint8_t*>(partial_) + filled_, data, take);
    filled_ += take;
    data += take;
    n -= take;
    if (filled_ == kBytes) {
      SanitizeBlock(partial_);
      blocks_.push_back(partial_);
      partial_ = nullptr;
    }
  }
  return true;
}

PixelRGBA* BitmapBlocks::Take(size_t i) {
  if (i >= blocks_.size()) return nullptr;
  PixelRGBA* p = blocks_[i];
  blocks_[i] = nullptr;
  return p;
}

BitmapBlocks* BitmapBlocks::Of(const chunk::IChunkBase& body) {
  const auto* sa = dynamic_cast<const chunk::ChunkSA*>(&body);
  if (!sa) return nullptr;
  return dynamic_cast<BitmapBlocks*>(sa->valueSinkOf("Bitmap"));
}

}  // namespace kzm
