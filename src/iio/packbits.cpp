#include "iio/packbits.h"

#include <cstring>

namespace iio {

void PackBitsEncode(const uint8_t* p, size_t n, std::vector<uint8_t>& out) {
  if (n == 0) return;
  const size_t base = out.size();
  out.resize(base + PackBitsBound(n));
  uint8_t* o = out.data() + base;

  auto literal = [&](const uint8_t* from, size_t count) {
    *o++ = uint8_t(count - 1);
    std::memcpy(o, from, count);
    o += count;
  };
  auto run = [&](unsigned rep, uint8_t b) {
    *o++ = uint8_t(1 - int(rep));
    *o++ = b;
  };

  uint8_t prev = p[0];
  unsigned rep = 1;
  size_t lit = 0;  // bytes waiting before prev
  size_t i = 1;
  while (i < n) {
    const uint8_t cur = p[i];
    if (cur == prev) {
      if (lit > 0) {
        literal(p + i - 1 - lit, lit);
        rep = 2;
        lit = 0;
      } else if (++rep == 128) {
        run(128, prev);
        if (++i == n) {
          out.resize(size_t(o - out.data()));
          return;
        }
        prev = p[i++];
        rep = 1;
        lit = 0;
        continue;
      }
    } else if (rep >= 2) {
      run(rep, prev);
      rep = 1;
      lit = 0;
    } else if (++lit == 128) {
      literal(p + i - 128, 128);
      lit = 0;
    }
    prev = cur;
    ++i;
  }
  if (rep != 1)
    run(rep, prev);
  else
    literal(p + n - 1 - lit, lit + 1);
  out.resize(size_t(o - out.data()));
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
