// Bit counts and byte swaps on every compiler, and the byte order the
// program is built for. Both file formats are read and written partly by
// copying bytes into words (pixels, palette entries, cell codes), which
// holds only on a little-endian target: a big-endian one fails to build.
#pragma once
#include <cstdint>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#include <stdlib.h>
#endif

#if defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__)
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the file formats are read as little-endian words");
#elif !defined(_WIN32)
#error "unknown byte order: the file formats are read as little-endian words"
#endif

namespace base {

// Plain versions, which the compiler's own are checked against.
namespace portable {

constexpr int Ctz64(uint64_t x) {
  int n = 0;
  while (!(x & 1)) x >>= 1, ++n;
  return n;
}
constexpr int Clz64(uint64_t x) {
  int n = 0;
  while (!(x >> 63)) x <<= 1, ++n;
  return n;
}
constexpr int PopCount64(uint64_t x) {
  int n = 0;
  for (; x; x &= x - 1) ++n;
  return n;
}
constexpr uint64_t ByteSwap64(uint64_t x) {
  uint64_t r = 0;
  for (int i = 0; i < 8; ++i, x >>= 8) r = r << 8 | (x & 0xFF);
  return r;
}

}  // namespace portable

// Trailing and leading zero bits of a non-zero x.
inline int Ctz32(uint32_t x) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_ctz(x);
#elif defined(_MSC_VER)
  unsigned long i;
  _BitScanForward(&i, x);
  return int(i);
#else
  return portable::Ctz64(x);
#endif
}

inline int Ctz64(uint64_t x) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_ctzll(x);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_ARM64))
  unsigned long i;
  _BitScanForward64(&i, x);
  return int(i);
#else
  return portable::Ctz64(x);
#endif
}

inline int Clz32(uint32_t x) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_clz(x);
#elif defined(_MSC_VER)
  unsigned long i;
  _BitScanReverse(&i, x);
  return 31 - int(i);
#else
  return portable::Clz64(x) - 32;
#endif
}

inline int Clz64(uint64_t x) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_clzll(x);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_ARM64))
  unsigned long i;
  _BitScanReverse64(&i, x);
  return 63 - int(i);
#else
  return portable::Clz64(x);
#endif
}

// Set bits. MSVC's popcount instruction needs a processor check, so it
// counts in plain code there.
inline int PopCount32(uint32_t x) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_popcount(x);
#else
  return portable::PopCount64(x);
#endif
}

inline int PopCount64(uint64_t x) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_popcountll(x);
#else
  return portable::PopCount64(x);
#endif
}

inline uint16_t ByteSwap16(uint16_t x) { return uint16_t(x >> 8 | x << 8); }

inline uint32_t ByteSwap32(uint32_t x) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap32(x);
#elif defined(_MSC_VER)
  return _byteswap_ulong(x);
#else
  return uint32_t(portable::ByteSwap64(x) >> 32);
#endif
}

inline uint64_t ByteSwap64(uint64_t x) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap64(x);
#elif defined(_MSC_VER)
  return _byteswap_uint64(x);
#else
  return portable::ByteSwap64(x);
#endif
}

}  // namespace base
