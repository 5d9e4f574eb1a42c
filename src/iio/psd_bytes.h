// The size rules shared by the PSD reader and writer.
#pragma once
#include <cstdint>
#include <cstring>

#include "base/byte_order.h"

namespace iio {

using base::LoadBe16;
using base::LoadBe32;
using base::StoreBe16;
using base::StoreBe32;
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

// Largest canvas side of a version-1 file and of a large document (version
// 2); layer and mask rectangles may lie partly outside the canvas but their
// sides are bounded too, so that a row window never grows past what a real
// file could need.
constexpr uint32_t kMaxCanvasSide = 30000;
constexpr uint32_t kMaxLargeCanvasSide = 300000;
constexpr int64_t kMaxLayerSide = 65536;

}  // namespace iio
