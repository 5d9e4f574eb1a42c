// Rows of premultiplied pixels to the PackBits rows of a PSD's four channels
// (red, green, blue, transparency), as the writer stores them: colour
// divided by transparency and rounded to 8 bits (or to 16 bits, big-endian,
// so that the reader's mapping gives every pixel back), transparent pixels
// as zeros; the merged image's colour matted on white. Pure functions: any
// thread may encode any rows.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "blend/pixel.h"

namespace iio {

// Encoded rows: row y's channel c packs into lengths[y * 4 + c] bytes. Its
// slot, bytes[(y * 4 + c) * slot], holds them, or where they would be no
// shorter than the row itself (noise), the row's plain bytes, and
// plain[y * 4 + c] is set: a channel that is stored plain then needs no
// decoding, and one stored packed seldom an encoding again. Reused from
// call to call.
struct PsdRows {
  size_t width = 0;   // pixels
  uint32_t depth = 8;  // bits a sample
  uint32_t rows = 0;
  size_t slot = 0;
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> lengths;
  std::vector<uint8_t> plain;
  std::vector<uint8_t> planes;  // one row's four planes

  size_t RowBytes() const { return width * depth / 8; }
  // The bytes the slot of row y's channel c holds.
  size_t Stored(size_t i) const { return plain[i] ? RowBytes() : lengths[i]; }
};

// Encodes `rows` rows of `width` pixels, back to back; `matte` for rows of
// the merged image.
void EncodePsdRows(const PixelRGBA* pixels, size_t width, uint32_t rows, bool matte, PsdRows& out);
// The same in 16 bits a sample (PixelTo16).
void EncodePsdRows16(const PixelRGBA* pixels, size_t width, uint32_t rows, bool matte, PsdRows& out);

}  // namespace iio
