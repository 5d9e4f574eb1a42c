// Whole cells built from 8-bit pixels: the fast row conversion against
// PixelFrom8 for every colour and alpha byte, uniform blocks as fills.
#include <gtest/gtest.h>

#include <vector>

#include "kzm/cell.h"

namespace kzm {

TEST(WidenCells, EveryColourAndAlphaAsPixelFrom8) {
  std::vector<uint32_t> src(64);
  for (uint32_t a = 0; a < 256; ++a) {
    for (uint32_t c0 = 0; c0 < 256; c0 += 64) {
      for (int i = 0; i < 64; ++i) {
        const uint32_t c = c0 + uint32_t(i);
        src[size_t(i)] = c | (255 - c) << 8 | ((c * 7) & 0xFF) << 16 | a << 24;
      }
      Cell cell;
      AssignFrom8(cell, src.data(), 1, 8);
      ASSERT_EQ(cell.Kind(), Cell::kRGBABitmap);
      for (int i = 0; i < 64; ++i)
        ASSERT_EQ(*cell.PixelAt(i % 8, i / 8), PixelFrom8(src[size_t(i)])) << "a " << a << " c " << c0 + i;
    }
  }
}

TEST(WidenCells, UniformBlockIsAFillAndRowStepIsHonoured) {
  std::vector<uint32_t> src(8 * 20, 0x80402010u);
  Cell fill;
  AssignFrom8(fill, src.data(), 1, 20);
  ASSERT_EQ(fill.Kind(), Cell::kRGBAFill);
  EXPECT_EQ(fill.FillValue(), PixelFrom8(0x80402010u));
  src[20 * 7 + 3] = 0xFF0000FFu;
  src[20 * 7 + 9] = 0x12345678u;  // outside the cell: ignored
  Cell bitmap;
  AssignFrom8(bitmap, src.data(), 1, 20);
  ASSERT_EQ(bitmap.Kind(), Cell::kRGBABitmap);
  EXPECT_EQ(*bitmap.PixelAt(3, 7), PixelFrom8(0xFF0000FFu));
  EXPECT_EQ(*bitmap.PixelAt(2, 7), PixelFrom8(0x80402010u));
}

}  // namespace kzm
