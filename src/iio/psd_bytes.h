// Big-endian numbers and the size rules shared by the PSD reader and writer.
#pragma once
#include <cstdint>
#include <cstring>

namespace iio {

inline uint16_t Be16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t Be32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline void PutBe16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
inline void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}
inline bool KeyIs(const uint8_t* p, const char* key) { return std::memcmp(p, key, 4) == 0; }

// Every size a file declares goes through this before anything of that size
// is read or allocated: it must not exceed the bytes actually there.
inline bool DeclaredFits(uint64_t declared, uint64_t available) { return declared <= available; }

// Overflow-checked arithmetic on declared sizes.
inline bool MulSize(uint64_t a, uint64_t b, uint64_t* out) {
  if (a != 0 && b > UINT64_MAX / a) return false;
  *out = a * b;
  return true;
}
inline bool AddSize(uint64_t a, uint64_t b, uint64_t* out) {
  if (b > UINT64_MAX - a) return false;
  *out = a + b;
  return true;
}

// Largest canvas side of a version-1 file; layer and mask rectangles may lie
// partly outside the canvas but their sides are bounded too, so that a row
// window never grows past what a real file could need.
constexpr uint32_t kMaxCanvasSide = 30000;
constexpr int64_t kMaxLayerSide = 65536;

}  // namespace iio
