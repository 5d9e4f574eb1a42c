#include "iio/packbits.h"

#include <algorithm>
#include <cstring>

namespace iio {

namespace {

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Equal bytes from p[0] on, at most `cap`.
inline size_t RunLength(const uint8_t* p, size_t cap) {
  const uint64_t pattern = uint64_t(p[0]) * 0x0101010101010101ull;
  size_t k = 1;
  while (k + 8 <= cap) {
    const uint64_t diff = Load64(p + k) ^ pattern;
    if (diff) return k + size_t(__builtin_ctzll(diff) >> 3);
    k += 8;
  }
  while (k < cap && p[k] == p[0]) ++k;
  return k;
}

// Bytes from p[0] on, at most `cap`, none of which starts a pair of equal
// bytes within the first `avail` bytes (a pair needs its second byte there).
inline size_t LiteralLength(const uint8_t* p, size_t cap, size_t avail) {
  size_t k = 0;
  // p[k] starts a pair when p[k] == p[k + 1]: compare the bytes with
  // themselves shifted by one, eight at a time.
  while (k + 9 <= avail && k + 8 <= cap) {
    const uint64_t eq = Load64(p + k) ^ Load64(p + k + 1);
    // A zero byte in eq marks a pair start.
    const uint64_t zero = (eq - 0x0101010101010101ull) & ~eq & 0x8080808080808080ull;
    if (zero) return k + size_t(__builtin_ctzll(zero) >> 3);
    k += 8;
  }
  while (k < cap && !(k + 1 < avail && p[k] == p[k + 1])) ++k;
  return k;
}

}  // namespace

// The encoding is the greedy one: two or more equal bytes form a repeat run
// (at most 128), anything else joins a literal run (at most 128) up to the
// next pair of equal bytes. Runs are found eight bytes at a time.
size_t PackBitsEncodeTo(const uint8_t* p, size_t n, uint8_t* const out) {
  uint8_t* o = out;
  size_t i = 0;
  while (i < n) {
    const size_t left = n - i;
    if (left >= 2 && p[i] == p[i + 1]) {
      const size_t run = RunLength(p + i, std::min<size_t>(left, 128));
      *o++ = uint8_t(1 - int(run));
      *o++ = p[i];
      i += run;
      continue;
    }
    const size_t lit = std::max<size_t>(1, LiteralLength(p + i, std::min<size_t>(left, 128), left));
    *o++ = uint8_t(lit - 1);
    std::memcpy(o, p + i, lit);
    o += lit;
    i += lit;
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
