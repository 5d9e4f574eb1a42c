#include "iio/packbits.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define YVN_PACKBITS_SSE2 1
#endif

namespace iio {

namespace {

// Bit k of words (k counted over the row) is set when p[k] == p[k + 1] and
// k + 1 < n: a pair of equal bytes starts at k. words holds n / 64 + 2
// entries; those past the row are zero.
void PairStarts(const uint8_t* p, size_t n, uint64_t* words) {
  const size_t count = n / 64 + 2;
  std::memset(words, 0, count * sizeof(uint64_t));
  size_t k = 0;
#if YVN_PACKBITS_SSE2
  // A block of 64 positions compares bytes k .. k + 64 with their successors.
  for (; k + 65 <= n; k += 64) {
    uint64_t m = 0;
    for (int q = 0; q < 4; ++q) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k + 16 * q));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k + 16 * q + 1));
      m |= uint64_t(uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(a, b)))) << (16 * q);
    }
    words[k / 64] = m;
  }
#endif
  for (; k + 1 < n; ++k)
    if (p[k] == p[k + 1]) words[k / 64] |= uint64_t(1) << (k % 64);
}

// The 64 bits from bit i on.
inline uint64_t BitsAt(const uint64_t* words, size_t i) {
  const size_t w = i / 64, s = i % 64;
  const uint64_t v = words[w] >> s;
  return s ? v | words[w + 1] << (64 - s) : v;
}

// Consecutive set (kSet) or clear bits from bit i on, at most cap.
template <bool kSet>
inline size_t Stretch(const uint64_t* words, size_t i, size_t cap) {
  size_t k = 0;
  while (k < cap) {
    const uint64_t bits = BitsAt(words, i + k);
    const uint64_t ends = kSet ? ~bits : bits;
    if (ends) return std::min(cap, k + size_t(__builtin_ctzll(ends)));
    k += 64;
  }
  return cap;
}

}  // namespace

// The encoding is the greedy one: two or more equal bytes form a repeat run
// (at most 128), anything else joins a literal run (at most 128) up to the
// next pair of equal bytes. Where pairs start is worked out for the whole row
// first, as a bit mask; every run or literal is then read off the mask.
size_t PackBitsEncodeTo(const uint8_t* p, size_t n, uint8_t* const out) {
  uint64_t local[512];  // rows up to 32,640 bytes
  std::vector<uint64_t> heap;
  uint64_t* words = local;
  if (n / 64 + 2 > sizeof local / sizeof local[0]) {
    heap.resize(n / 64 + 2);
    words = heap.data();
  }
  PairStarts(p, n, words);

  // Runs and literals are read off a copy of the mask in a register as far
  // as it reaches (most of them), else off the mask itself.
  uint8_t* o = out;
  uint8_t* const outEnd = out + PackBitsBound(n);
  size_t i = 0;
  uint64_t m = 0;    // mask bits from i on ...
  size_t valid = 0;  // ... of which this many are known
  while (i < n) {
    if (valid == 0) {
      m = BitsAt(words, i);
      valid = 64;
    }
    size_t len;
    if (m & 1) {
      const uint64_t ends = ~m;
      const size_t ones = ends ? size_t(__builtin_ctzll(ends)) : 64;
      len = 1 + (ones >= valid ? Stretch<true>(words, i, 127) : ones);
      *o++ = uint8_t(1 - int(len));
      *o++ = p[i];
    } else {
      const size_t cap = std::min<size_t>(n - i, 128);
      const size_t zeros = m ? size_t(__builtin_ctzll(m)) : 64;
      len = zeros >= valid ? Stretch<false>(words, i, cap) : std::min(zeros, cap);
      *o++ = uint8_t(len - 1);
      // Short literals (most of them) are copied as 16 bytes where both rows
      // have room; the bytes past the literal are overwritten later or lie
      // past the encoded size.
      if (len <= 16 && i + 16 <= n && o + 16 <= outEnd)
        std::memcpy(o, p + i, 16);
      else
        std::memcpy(o, p + i, len);
      o += len;
    }
    i += len;
    if (len < valid) {
      m >>= len;
      valid -= len;
    } else {
      valid = 0;
    }
  }
  return size_t(o - out);
}

void PackBitsEncode(const uint8_t* p, size_t n, std::vector<uint8_t>& out) {
  if (n == 0) return;
  const size_t base = out.size();
  out.resize(base + PackBitsBound(n));
  out.resize(base + PackBitsEncodeTo(p, n, out.data() + base));
}

bool PackBitsDecode(uint8_t* dst, uint8_t* dstEnd, const uint8_t* src, const uint8_t* srcEnd) {
  if (src == srcEnd) return dst == dstEnd;
  while (src < srcEnd) {
    const uint8_t h = *src++;
    if (h == 128) continue;
    if (h > 128) {
      const size_t count = size_t(257 - h);
      if (src == srcEnd || count > size_t(dstEnd - dst)) return false;
      std::memset(dst, *src++, count);
      dst += count;
    } else {
      const size_t count = size_t(h) + 1;
      if (count > size_t(dstEnd - dst) || count > size_t(srcEnd - src)) return false;
      std::memcpy(dst, src, count);
      dst += count;
      src += count;
    }
  }
  return dst == dstEnd;
}

}  // namespace iio
