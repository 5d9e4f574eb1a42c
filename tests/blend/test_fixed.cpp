// Fixed-point helpers: the reciprocal table, unpremul and lum.
#include <gtest/gtest.h>

#include "blend/fixed.h"
#include "blend/kernels.h"

namespace {

using blend::ReciprocalTable;
using blend::unpremul;

TEST(Reciprocal, KnownEntries) {
  blend::InitBlendTables();
  const uint32_t* r = ReciprocalTable();
  EXPECT_EQ(r[0], 0u);
  EXPECT_EQ(r[1], 0xFF005800u);
  EXPECT_EQ(r[2], 2139106304u);
  EXPECT_EQ(r[8192], 522242u);
  EXPECT_EQ(r[16384], 261121u);
  EXPECT_EQ(r[65535], 65281u);
  for (uint32_t a = 1; a < 65536; a += 97) ASSERT_EQ(r[a], 0xFF005800u / a) << a;
  blend::InitBlendTables();
  EXPECT_EQ(ReciprocalTable(), r) << "the table is built once";
}

TEST(Unpremul, OpaqueAndTransparentAreExact) {
  EXPECT_EQ(unpremul(PixelRGBA{16384, 0, 0, 16384}), (PixelRGBA{16384, 0, 0, 16384}));
  EXPECT_EQ(unpremul(PixelRGBA{123, 4567, 16384, 16384}), (PixelRGBA{123, 4567, 16384, 16384}));
  EXPECT_EQ(unpremul(PixelRGBA{0, 0, 0, 0}), (PixelRGBA{0, 0, 0, 0}));
}

TEST(Unpremul, HalfAlphaFollowsTheRoundingConstant) {
  // (8192 * 522242 + 0xFF0000) >> 18 = 16383; (0 + 0xFF0000) >> 18 = 63.
  EXPECT_EQ(unpremul(PixelRGBA{8192, 0, 0, 8192}), (PixelRGBA{16383, 63, 63, 16384}));
  // (4096 * 522242 + 0xFF0000) >> 18 = 8223.
  EXPECT_EQ(unpremul(PixelRGBA{4096, 8192, 0, 8192}), (PixelRGBA{8223, 16383, 63, 16384}));
  EXPECT_EQ(unpremul(PixelRGBA{1, 2, 0, 3}), (PixelRGBA{5503, 10943, 63, 16384}));
}

TEST(Unpremul, FullChannelBecomes16383AtEveryPartialAlpha) {
  for (uint32_t a = 1; a < 16384; ++a) {
    const PixelRGBA u = unpremul(PixelRGBA{uint16_t(a), uint16_t(a), 0, uint16_t(a)});
    ASSERT_EQ(u, (PixelRGBA{16383, 16383, 63, 16384})) << "alpha " << a;
  }
}

TEST(Unpremul, MonotonicInTheChannel) {
  for (uint32_t a : {3u, 100u, 8191u, 16383u}) {
    uint32_t prev = 0;
    for (uint32_t c = 0; c <= a; ++c) {
      const uint32_t v = unpremul(PixelRGBA{uint16_t(c), 0, 0, uint16_t(a)}).r;
      ASSERT_GE(v, prev) << "alpha " << a << " channel " << c;
      ASSERT_LE(v, 16383u);
      prev = v;
    }
  }
}

TEST(FixedPoint, LumWeightsAndScale) {
  EXPECT_EQ(blend::lum(16384, 16384, 16384), 16384u);
  EXPECT_EQ(blend::lum(16384, 0, 0), 4915u);
  EXPECT_EQ(blend::lum(0, 16384, 0), 9666u);
  EXPECT_EQ(blend::lum(0, 0, 16384), 1802u);
  const PixelRGBA p{100, 2000, 16384, 16384};
  EXPECT_EQ(blend::scale(p, 16384), p);
  EXPECT_EQ(blend::scale(p, 0), (PixelRGBA{0, 0, 0, 0}));
  EXPECT_EQ(blend::scale(p, 8192), (PixelRGBA{50, 1000, 8192, 8192}));
  EXPECT_EQ(blend::mul(16383, 16383), 16382u);
  EXPECT_EQ(blend::inv(4096), 12288u);
}

TEST(PixelFrom8, WidensAndPremultiplies) {
  EXPECT_EQ(PixelFrom8(0xFFFFFFFFu), (PixelRGBA{16384, 16384, 16384, 16384}));
  EXPECT_EQ(PixelFrom8(0x00FFFFFFu), (PixelRGBA{0, 0, 0, 0}));
  // Red 255 at transparency 128: (255 * 128 * 33026) >> 17 = 8224, (128 * 16449) >> 8 = 8224.
  EXPECT_EQ(PixelFrom8(0x800000FFu), (PixelRGBA{8224, 0, 0, 8224}));
  for (uint32_t a = 0; a < 256; ++a)
    for (uint32_t c = 0; c < 256; c += 5) {
      const PixelRGBA p = PixelFrom8(c | (c << 8) | (c << 16) | (a << 24));
      ASSERT_LE(p.r, p.a) << c << " " << a;
      ASSERT_LE(p.a, 16384);
    }
}

}  // namespace
