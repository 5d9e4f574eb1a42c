#include "iio/packbits.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define YVN_PACKBITS_SSE2 1
#endif

#include "base/bits.h"

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
    if (ends) return std::min(cap, k + size_t(base::Ctz64(ends)));
    k += 64;
  }
  return cap;
}

// Bit k of runs is set when p[k], p[k + 1] and p[k + 2] are equal: a run of
// three starts at k. Made from the pair bits, count words of each.
void RunStarts(const uint64_t* pairs, size_t count, uint64_t* runs) {
  for (size_t w = 0; w + 1 < count; ++w) runs[w] = pairs[w] & (pairs[w] >> 1 | pairs[w + 1] << 63);
  runs[count - 1] = 0;
}

}  // namespace

// Three or more equal bytes form a repeat run (at most 128); anything else
// joins a literal run (at most 128) up to where the next three equal bytes
// start, so a pair of equal bytes inside a literal stays in it (a run there
// would cost a header before and after). A literal of exactly two equal
// bytes is written as a run, one byte shorter. Where pairs and runs start is
// worked out for the whole row first, as bit masks; every run or literal is
// then read off the masks.
size_t PackBitsEncodeTo(const uint8_t* p, size_t n, uint8_t* const out) {
  const size_t count = n / 64 + 2;
  uint64_t local[2 * 512];  // rows up to 32,640 bytes
  std::vector<uint64_t> heap;
  uint64_t* pairs = local;
  if (count > sizeof local / sizeof local[0] / 2) {
    heap.resize(2 * count);
    pairs = heap.data();
  }
  uint64_t* const runs = pairs + count;
  PairStarts(p, n, pairs);
  RunStarts(pairs, count, runs);

  // Runs and literals are read off copies of the masks in registers as far
  // as they reach (most of them), else off the masks themselves.
  uint8_t* o = out;
  uint8_t* const outEnd = out + PackBitsBound(n);
  size_t i = 0;
  uint64_t pm = 0, rm = 0;  // pair and run bits from i on ...
  size_t valid = 0;         // ... of which this many are known
  while (i < n) {
    if (valid == 0) {
      pm = BitsAt(pairs, i);
      rm = BitsAt(runs, i);
      valid = 64;
    }
    size_t len;
    if (rm & 1) {
      const uint64_t ends = ~pm;
      const size_t ones = ends ? size_t(base::Ctz64(ends)) : 64;
      len = 1 + (ones >= valid ? Stretch<true>(pairs, i, 127) : ones);
      *o++ = uint8_t(1 - int(len));
      *o++ = p[i];
    } else {
      const size_t cap = std::min<size_t>(n - i, 128);
      const size_t zeros = rm ? size_t(base::Ctz64(rm)) : 64;
      len = zeros >= valid ? Stretch<false>(runs, i, cap) : std::min(zeros, cap);
      if (len == 2 && (pm & 1)) {
        *o++ = 0xFF;
        *o++ = p[i];
      } else {
        *o++ = uint8_t(len - 1);
        // Literals are copied in whole blocks of 16 bytes where both rows
        // have room; the bytes past the literal are overwritten later or lie
        // past the encoded size.
        const size_t span = (len + 15) & ~size_t(15);
        if (i + span <= n && o + span <= outEnd) {
          for (size_t k = 0; k < span; k += 16) std::memcpy(o + k, p + i + k, 16);
        } else {
          std::memcpy(o, p + i, len);
        }
        o += len;
      }
    }
    i += len;
    if (len < valid) {
      pm >>= len;
      rm >>= len;
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
  // While a whole run of either kind fits both sides, each is copied or set
  // as 128 bytes of which the next run overwrites the surplus: one fixed
  // size, in vector moves, instead of a call per run of its own length.
  while (srcEnd - src > 129 && dstEnd - dst >= 128) {
    const uint8_t h = *src++;
    if (h < 128) {
      const size_t count = size_t(h) + 1;
      std::memcpy(dst, src, 128);
      dst += count;
      src += count;
    } else if (h > 128) {
      std::memset(dst, *src++, 128);
      dst += 257 - h;
    }
  }
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
