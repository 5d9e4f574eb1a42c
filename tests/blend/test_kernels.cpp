// Blend kernels: the edge cases, hand-computed values per mode, the
// shortcuts of the non-separable modes, masks, flags and the thread registry.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "blend/fixed.h"
#include "blend/kernels.h"

namespace {

using Cell = std::array<PixelRGBA, 64>;

constexpr uint32_t kModulate = 4, kLerp = 1, kAddNorm = 2, kAddSat = 8, kMax = 16;
constexpr PixelRGBA kZero{0, 0, 0, 0};

kzm::Blend B(uint32_t word0, uint32_t word1 = kModulate) { return kzm::Blend{word0, word1}; }

PixelRGBA One(PixelRGBA d, PixelRGBA s, uint16_t o, const kzm::Blend& b) {
  blend::BlendColorOnFill(&d, s, o, b);
  return d;
}

Cell RandomCell(std::mt19937& rng) {
  Cell c;
  for (auto& p : c) {
    const uint32_t a = rng() % 16385;
    p = PixelRGBA{uint16_t(rng() % (a + 1)), uint16_t(rng() % (a + 1)), uint16_t(rng() % (a + 1)),
                  uint16_t(a)};
  }
  return c;
}

// Every entry point with one blend; returns whether all left their destination alone.
bool NothingChanges(const kzm::Blend& b, std::mt19937& rng) {
  const Cell d = RandomCell(rng), s = RandomCell(rng);
  std::array<uint16_t, 64> mask;
  for (auto& m : mask) m = uint16_t(rng() % 16385);
  const PixelRGBA fill{1000, 2000, 3000, 9000};
  bool same = true;
  for (uint16_t o : {uint16_t(16384), uint16_t(5000)}) {
    Cell out = d;
    blend::BlendColor(out.data(), out.data() + 64, s[0], o, b);
    same &= out == d;
    blend::BlendPixels(out.data(), out.data() + 64, s.data(), o, b);
    same &= out == d;
    blend::BlendPixelsMasked(out.data(), out.data() + 64, s.data(), o, mask.data(), b);
    same &= out == d;
    blend::BlendColorMasked(out.data(), out.data() + 64, s[1], o, mask.data(), b);
    same &= out == d;
    blend::BlendPixelsPlain(out.data(), out.data() + 64, s.data(), {o, mask.data()}, b);
    same &= out == d;
    same &= One(d[5], s[5], o, b) == d[5];
    Cell f;
    f.fill(fill);
    blend::BlendPixelsFromFill(out.data(), fill, s.data(), o, b);
    same &= out == f;
    blend::BlendPixelsMaskedFromFill(out.data(), fill, s.data(), o, mask.data(), b);
    same &= out == f;
    blend::BlendColorMaskedFromFill(out.data(), fill, s[2], o, mask.data(), b);
    same &= out == f;
    blend::BlendPixelsPlainFromFill(out.data(), fill, s.data(), {o, nullptr}, b);
    same &= out == f;
  }
  return same;
}

TEST(Unchanged, ModesWithoutKernel) {
  std::mt19937 rng(1);
  for (uint32_t id : {0u, 22u, 49u, 54u, 255u})
    for (uint32_t am : {kModulate, kLerp, kMax, kAddSat})
      EXPECT_TRUE(NothingChanges(B(id, am), rng)) << "mode " << id << " alpha " << am;
}

TEST(Unchanged, AlphaModesWithoutKernel) {
  std::mt19937 rng(2);
  EXPECT_TRUE(NothingChanges(B(19, kLerp), rng)) << "lighten with lerp";
  for (uint32_t am : {kLerp, kAddNorm, kAddSat, kMax}) {
    EXPECT_TRUE(NothingChanges(B(18, am), rng)) << "darken " << am;
    EXPECT_TRUE(NothingChanges(B(19, am), rng)) << "lighten " << am;
  }
  // The modes from a straight-colour formula (8..17) have "modulate" only.
  for (uint32_t mode = 8; mode <= 17; ++mode)
    for (uint32_t am : {kLerp, kAddNorm, kAddSat, kMax})
      EXPECT_TRUE(NothingChanges(B(mode, am), rng)) << "mode " << mode << " alpha " << am;
  for (uint32_t mode : {2u, 3u, 4u, 50u}) EXPECT_TRUE(NothingChanges(B(mode, kLerp), rng)) << mode;
  for (uint32_t mode : {3u, 5u, 52u}) EXPECT_TRUE(NothingChanges(B(mode, kAddSat), rng)) << mode;
  for (uint32_t am : {0u, 3u, 0x100u, 0x8000u, 0x14u}) EXPECT_TRUE(NothingChanges(B(1, am), rng)) << am;
}

TEST(Unchanged, UnsupportedFlagCombinations) {
  std::mt19937 rng(3);
  for (uint32_t flags : {0x20000u, 0x28000u, 0x100u, 0x40000u, 0x80000000u, 0x10100u})
    EXPECT_TRUE(NothingChanges(B(flags | 1), rng)) << std::hex << flags;
}

TEST(Unchanged, EmptyRange) {
  Cell d;
  d.fill(PixelRGBA{1, 2, 3, 4});
  const Cell before = d;
  blend::BlendColor(d.data(), d.data(), PixelRGBA{0, 0, 0, 16384}, 16384, B(1));
  EXPECT_EQ(d, before);
}

TEST(Normal, FullOpacityCopiesOntoTransparentOrWithOpaqueSource) {
  std::mt19937 rng(4);
  Cell s = RandomCell(rng), d{};
  blend::BlendPixels(d.data(), d.data() + 64, s.data(), 16384, B(1));
  EXPECT_EQ(d, s);
  for (auto& p : s) p.a = 16384;
  d = RandomCell(rng);
  for (auto& p : d) p = PixelRGBA{p.a, p.a, 0, 16384};
  blend::BlendPixels(d.data(), d.data() + 64, s.data(), 16384, B(1));
  EXPECT_EQ(d, s);
}

TEST(Normal, RunsOfAnyLengthMatchPixelByPixel) {
  std::mt19937 rng(10);
  for (uint16_t o : {uint16_t(16384), uint16_t(7000)}) {
    for (int len = 0; len <= 9; ++len) {
      const Cell d = RandomCell(rng), s = RandomCell(rng);
      Cell run = d, col = d;
      blend::BlendPixels(run.data() + 1, run.data() + 1 + len, s.data() + 1, o, B(1));
      blend::BlendColor(col.data() + 1, col.data() + 1 + len, s[0], o, B(1));
      for (int i = 0; i < 64; ++i) {
        const bool inside = i >= 1 && i < 1 + len;
        ASSERT_EQ(run[i], inside ? One(d[i], s[i], o, B(1)) : d[i]) << len << " " << i;
        ASSERT_EQ(col[i], inside ? One(d[i], s[0], o, B(1)) : d[i]) << len << " " << i;
      }
    }
  }
}

TEST(Normal, TransparentSourceOrZeroOpacityKeepsDestination) {
  const PixelRGBA d{100, 200, 300, 400};
  EXPECT_EQ(One(d, kZero, 16384, B(1)), d);
  EXPECT_EQ(One(d, PixelRGBA{5, 5, 5, 16384}, 0, B(1)), d);
  EXPECT_EQ(One(kZero, PixelRGBA{5, 5, 5, 16384}, 0, B(1)), kZero);
}

struct Hand {
  uint32_t mode, am;
  PixelRGBA d, s;
  uint16_t o;
  PixelRGBA want;
};

constexpr PixelRGBA kD{4096, 2048, 1024, 8192};   // straight (1/2, 1/4, 1/8) at alpha 1/2
constexpr PixelRGBA kS{3072, 6144, 0, 12288};     // straight (1/4, 1/2, 0) at alpha 3/4
constexpr PixelRGBA kD2{2000, 9000, 5000, 12000};
constexpr PixelRGBA kS2{7000, 1000, 3000, 9000};

// Computed by hand from the formulas; e.g. mul at full opacity, red:
// mul(3072, 4096) + mul(3072, inv(8192)) + mul(4096, inv(12288)) = 768 + 1536 + 1024,
// alpha mul(8192, 12288) + mul(8192, 12288) + mul(4096, 8192) = 6144 + 6144 + 2048.
// Screen, red: mul(12288, 8192) - mul(8192 - 4096, 12288 - 3072) + 1536 + 1024 = 6144 - 2304 + 2560.
const Hand kHand[] = {
    {1, kModulate, kD, kS, 16384, {4096, 6656, 256, 14336}},
    {1, kModulate, kD, kS, 8192, {4096, 4352, 640, 11264}},
    {2, kModulate, kD, kS, 16384, {5632, 5120, 1024, 14336}},
    {2, kModulate, kD, kS, 8192, {4864, 3584, 1024, 11264}},
    {3, kModulate, kD, kS, 16384, {3328, 4352, 256, 14336}},
    {3, kModulate, kD, kS, 8192, {3712, 3200, 640, 11264}},
    {4, kModulate, kD, kS, 16384, {7168, 8192, 1024, 14336}},
    {4, kModulate, kD, kS, 8192, {5632, 5120, 1024, 11264}},
    {5, kModulate, kD, kS, 16384, {4096, 3584, 1024, 14336}},
    {5, kModulate, kD, kS, 8192, {4096, 2816, 1024, 11264}},
    {6, kModulate, kD, kS, 16384, {6400, 7424, 1024, 14336}},
    {6, kModulate, kD, kS, 8192, {5248, 4736, 1024, 11264}},
    {7, kModulate, kD, kS, 16384, {4096, 5120, 256, 14336}},
    {7, kModulate, kD, kS, 8192, {4096, 3584, 640, 11264}},
    {18, kModulate, kD, kS, 16384, {4096, 5120, 256, 14336}},
    {18, kModulate, kD, kS, 8192, {4096, 3584, 640, 11264}},
    {19, kModulate, kD, kS, 16384, {5632, 6656, 1024, 14336}},
    {19, kModulate, kD, kS, 8192, {4864, 4352, 1024, 11264}},
    {20, kModulate, kD, kS, 16384, {4096, 5120, 1024, 14336}},
    {20, kModulate, kD, kS, 8192, {4096, 3584, 1024, 11264}},
    {21, kModulate, kD, kS, 16384, {5632, 6656, 1024, 14336}},
    {21, kModulate, kD, kS, 8192, {4864, 4352, 1024, 11264}},
    {50, kModulate, kD, kS, 16384, {3937, 6108, 485, 14336}},
    {50, kModulate, kD, kS, 8192, {4016, 4078, 754, 11264}},
    {51, kModulate, kD, kS, 16384, {6028, 5012, 664, 14336}},
    {51, kModulate, kD, kS, 8192, {5062, 3530, 844, 11264}},
    {52, kModulate, kD, kS, 16384, {3862, 6188, 256, 14336}},
    {52, kModulate, kD, kS, 8192, {3979, 4118, 640, 11264}},
    {53, kModulate, kD, kS, 16384, {6003, 5497, 1404, 14336}},
    {53, kModulate, kD, kS, 8192, {5049, 3772, 1214, 11264}},
    {1, kModulate, kD2, kS2, 12000, {6321, 6111, 5185, 13763}},
    {2, kModulate, kD2, kS2, 12000, {3371, 9195, 5587, 13763}},
    {3, kModulate, kD2, kS2, 12000, {3191, 5976, 4245, 13762}},
    {4, kModulate, kD2, kS2, 12000, {7124, 9730, 7195, 13762}},
    {5, kModulate, kD2, kS2, 12000, {2566, 8658, 3977, 13762}},
    {6, kModulate, kD2, kS2, 12000, {6499, 9329, 6525, 13762}},
    {7, kModulate, kD2, kS2, 12000, {3816, 8257, 4915, 13762}},
    {18, kModulate, kD2, kS2, 12000, {3371, 6111, 5185, 13763}},
    {19, kModulate, kD2, kS2, 12000, {6321, 9195, 5587, 13763}},
    {20, kModulate, kD2, kS2, 12000, {5516, 8658, 3977, 13762}},
    {21, kModulate, kD2, kS2, 12000, {5872, 8926, 5853, 13762}},
    {50, kModulate, kD2, kS2, 12000, {7033, 7236, 6172, 13762}},
    {51, kModulate, kD2, kS2, 12000, {3130, 9344, 5513, 13762}},
    {52, kModulate, kD2, kS2, 12000, {7299, 7101, 6171, 13762}},
    {53, kModulate, kD2, kS2, 12000, {2566, 8134, 4672, 13762}},
    // lerp: scale(D, inv(o)) + scale(S, o).
    {1, kLerp, kD, kS, 16384, {3072, 6144, 0, 12288}},
    {1, kLerp, kD, kS, 8192, {3584, 4096, 512, 10240}},
    {1, kLerp, kD2, kS2, 16384, {7000, 1000, 3000, 9000}},
    // add_norm: 12288 + 8192 > 16384, so wD = 6553, wS = 9830 of unpremul(D), unpremul(S).
    {1, kAddNorm, kD, kS, 16384, {5773, 6590, 878, 16384}},
    {1, kAddNorm, kD, kS, 8192, {5632, 5120, 1024, 14336}},
    {1, kAddNorm, kD2, kS2, 16384, {7056, 7834, 6279, 16384}},
    {1, kAddSat, kD, kS, 16384, {5127, 7179, 525, 16384}},
    {1, kAddSat, kD, kS, 8192, {5632, 5120, 1024, 14336}},
    {1, kAddSat, kD2, kS2, 16384, {8254, 6544, 6093, 16384}},
    {2, kAddSat, kD, kS, 16384, {6167, 6159, 1055, 16384}},
    {2, kAddSat, kD2, kS2, 16384, {5413, 9502, 6472, 16384}},
    {4, kAddSat, kD, kS, 16384, {7216, 8236, 1096, 16384}},
    {4, kAddSat, kD2, kS2, 16384, {9045, 10040, 8048, 16384}},
    // max: Da <= Sa gives S for normal; Da > Sa gives scale(unpremul(D), Da - Sa) + S.
    {1, kMax, kD, kS, 16384, {3072, 6144, 0, 12288}},
    {1, kMax, kD, kS, 8192, {2563, 3589, 262, 8192}},
    {1, kMax, kD2, kS2, 16384, {7509, 3252, 4256, 12000}},
    {3, kMax, kD, kS, 16384, {2070, 3082, 18, 12288}},
    {3, kMax, kD2, kS2, 16384, {1698, 3002, 2512, 12000}},
    {2, kMax, kD, kS, 16384, {5131, 4103, 1039, 12288}},
    {2, kMax, kD2, kS2, 16384, {2000, 9000, 5000, 12000}},
    {6, kMax, kD, kS, 16384, {6167, 7187, 1067, 12288}},
    {6, kMax, kD2, kS2, 16384, {7849, 9260, 6770, 12000}},
    {50, kMax, kD, kS, 16384, {2871, 5421, 321, 12288}},
    {50, kMax, kD2, kS2, 16384, {8838, 5351, 6098, 12000}},
};

TEST(HandComputed, EveryModeAtPartialAlphasAndOpacities) {
  for (const Hand& h : kHand) {
    const PixelRGBA got = One(h.d, h.s, h.o, B(h.mode, h.am));
    EXPECT_EQ(got, h.want) << "mode " << h.mode << " alpha " << h.am << " o " << h.o << ": got ("
                           << got.r << "," << got.g << "," << got.b << "," << got.a << ")";
  }
}

TEST(Lerp, TransparentSourceStillFadesTheDestination) {
  const PixelRGBA d{8192, 8192, 8192, 16384};
  EXPECT_EQ(One(d, kZero, 4096, B(1, kLerp)), (PixelRGBA{6144, 6144, 6144, 12288}));
  EXPECT_EQ(One(d, kZero, 16384, B(1, kLerp)), kZero);
  EXPECT_EQ(One(d, kZero, 0, B(1, kLerp)), d);
}

TEST(Clip, SourceIsScaledByDestinationAlpha) {
  // S (16384, 0, 0, 16384) clipped by 8192 is (8192, 0, 0, 8192); then normal over D.
  const PixelRGBA d{0, 0, 0, 8192};
  EXPECT_EQ(One(d, PixelRGBA{16384, 0, 0, 16384}, 16384, B(0x10001)), (PixelRGBA{8192, 0, 0, 12288}));
  EXPECT_EQ(One(d, PixelRGBA{16384, 0, 0, 16384}, 16384, B(0x30001)), (PixelRGBA{8192, 0, 0, 12288}));
  // Nothing shows where the destination is transparent.
  for (uint32_t mode : {1u, 3u, 6u, 50u, 53u})
    EXPECT_EQ(One(kZero, PixelRGBA{16384, 16384, 0, 16384}, 16384, B(0x10000 | mode)), kZero) << mode;
}

TEST(Lock, ResultKeepsTheDestinationAlpha) {
  // Normal: S replaces D, then (16384, 0, 0, 16384) is brought to alpha 8192.
  const PixelRGBA d{4096, 4096, 4096, 8192};
  EXPECT_EQ(One(d, PixelRGBA{16384, 0, 0, 16384}, 16384, B(0x8001)), (PixelRGBA{8192, 0, 0, 8192}));
  EXPECT_EQ(One(kZero, PixelRGBA{16384, 0, 0, 16384}, 16384, B(0x8001)), kZero);
  // mul of two alpha-1 pixels truncates to alpha 0; locked, it is black at alpha 1.
  EXPECT_EQ(One(PixelRGBA{1, 1, 1, 1}, PixelRGBA{1, 0, 0, 1}, 16384, B(3)), kZero);
  EXPECT_EQ(One(PixelRGBA{1, 1, 1, 1}, PixelRGBA{1, 0, 0, 1}, 16384, B(0x8003)), (PixelRGBA{0, 0, 0, 1}));
  std::mt19937 rng(5);
  const Cell s = RandomCell(rng);
  for (uint32_t flags : {0x8000u, 0x18000u, 0x38000u}) {
    Cell out = RandomCell(rng);
    const Cell before = out;
    blend::BlendPixels(out.data(), out.data() + 64, s.data(), 12345, B(flags | 6));
    for (int i = 0; i < 64; ++i) ASSERT_EQ(out[i].a, before[i].a) << i;
  }
}

TEST(Masks, CoverageIsMaskTimesOpacity) {
  std::mt19937 rng(6);
  const Cell d = RandomCell(rng), s = RandomCell(rng);
  std::array<uint16_t, 64> mask;
  for (int i = 0; i < 64; ++i) mask[i] = uint16_t(i * 256);
  mask[63] = 16384;
  Cell masked = d;
  blend::BlendPixelsMasked(masked.data(), masked.data() + 64, s.data(), 12000, mask.data(), B(6));
  for (int i = 0; i < 64; ++i) {
    PixelRGBA one = d[i];
    blend::BlendPixels(&one, &one + 1, &s[i], uint16_t((mask[i] * 12000u) >> 14), B(6));
    ASSERT_EQ(masked[i], one) << i;
  }
  EXPECT_EQ(masked[0], d[0]) << "mask 0 leaves the pixel alone";
  Cell plain = d;
  blend::BlendPixelsPlain(plain.data(), plain.data() + 64, s.data(), {12000, mask.data()}, B(6));
  EXPECT_EQ(plain, masked);
  Cell unmasked = d, full = d;
  blend::BlendPixelsPlain(unmasked.data(), unmasked.data() + 64, s.data(), {12000, nullptr}, B(6));
  blend::BlendPixels(full.data(), full.data() + 64, s.data(), 12000, B(6));
  EXPECT_EQ(unmasked, full);
}

TEST(Masks, OutOfRangeCoverageIsCappedAtOne) {
  std::mt19937 rng(7);
  const Cell d = RandomCell(rng), s = RandomCell(rng);
  std::array<uint16_t, 64> mask;
  mask.fill(65535);
  Cell masked = d, full = d, over = d;
  blend::BlendPixelsMasked(masked.data(), masked.data() + 64, s.data(), 16384, mask.data(), B(1));
  blend::BlendPixels(full.data(), full.data() + 64, s.data(), 16384, B(1));
  blend::BlendPixels(over.data(), over.data() + 64, s.data(), 40000, B(1));
  EXPECT_EQ(masked, full);
  EXPECT_EQ(over, full);
}

// ---- Shortcuts of the non-separable modes ----

// Out_c = B_c + mul(S_c, inv(Da)) + mul(D_c, inv(Sa)) for a given B.
PixelRGBA WithTerm(const PixelRGBA& d, const PixelRGBA& s, uint32_t b0, uint32_t b1, uint32_t b2) {
  using blend::inv;
  using blend::mul;
  return PixelRGBA{uint16_t(b0 + mul(s.r, inv(d.a)) + mul(d.r, inv(s.a))),
                   uint16_t(b1 + mul(s.g, inv(d.a)) + mul(d.g, inv(s.a))),
                   uint16_t(b2 + mul(s.b, inv(d.a)) + mul(d.b, inv(s.a))),
                   uint16_t(mul(d.a, s.a) + mul(inv(d.a), s.a) + mul(inv(s.a), d.a))};
}

TEST(Shortcuts, HueAndSaturationOfGrayDestinationKeepIt) {
  const PixelRGBA d{4096, 4096, 4096, 8192}, s{12288, 0, 0, 12288};
  // B = scale(D, Sa): mul(4096, 12288) = 3072.
  const PixelRGBA want{10240, 4096, 4096, 14336};
  EXPECT_EQ(want, WithTerm(d, s, 3072, 3072, 3072));
  EXPECT_EQ(One(d, s, 16384, B(50)), want);
  EXPECT_EQ(One(d, s, 16384, B(51)), want);
}

TEST(Shortcuts, HueAndSaturationOfGraySourceGiveGrayAtDestinationLum) {
  using blend::mul;
  const PixelRGBA d{4096, 2048, 1024, 8192}, s{5000, 5000, 5000, 10000};
  // lum of D's premultiplied channels, 2549, divided by 8192: (522242 * 2549 + 0xFF0000) >> 18.
  const uint32_t l = 5141, g = mul(mul(l, 8192), 10000);
  EXPECT_EQ(blend::lum(4096, 2048, 1024), 2549u);
  EXPECT_EQ(One(d, s, 16384, B(50)), WithTerm(d, s, g, g, g));
  EXPECT_EQ(One(d, s, 16384, B(51)), WithTerm(d, s, g, g, g));
}

TEST(Shortcuts, ColorWithBlackOrWhiteDestinationKeepsIt) {
  using blend::mul;
  // Only an opaque black has luminance 0: at a partial alpha the division's
  // rounding constant lifts it to 63.
  const PixelRGBA s{9000, 1000, 500, 10000};
  for (const PixelRGBA d : {PixelRGBA{0, 0, 0, 16384}, PixelRGBA{16384, 16384, 16384, 16384}}) {
    EXPECT_EQ(One(d, s, 16384, B(52)),
              WithTerm(d, s, mul(d.r, s.a), mul(d.g, s.a), mul(d.b, s.a)))
        << d.r;
  }
  // Luminance with a black or white source: B = scale(S, Da).
  const PixelRGBA d{9000, 1000, 500, 10000};
  for (const PixelRGBA src : {PixelRGBA{0, 0, 0, 16384}, PixelRGBA{16384, 16384, 16384, 16384}}) {
    EXPECT_EQ(One(d, src, 16384, B(53)),
              WithTerm(d, src, mul(src.r, d.a), mul(src.g, d.a), mul(src.b, d.a)))
        << src.r;
  }
}

TEST(Shortcuts, ColorAndLuminanceWithGrayColourSource) {
  using blend::mul;
  // color: the colour source S is gray; B = mul(mul(l, Da), Sa), l = lum(D').
  const PixelRGBA d{4096, 2048, 1024, 8192}, s{6000, 6000, 6000, 12000};
  const uint32_t lD = 5141;
  const uint32_t g1 = mul(mul(lD, 8192), 12000);
  EXPECT_EQ(One(d, s, 16384, B(52)), WithTerm(d, s, g1, g1, g1));
  // luminance: the colour source D is gray; B = mul(mul(l, Sa), Da), l = lum(S').
  const PixelRGBA dg{3000, 3000, 3000, 6000}, sc{4096, 2048, 1024, 8192};
  const uint32_t g2 = mul(mul(lD, 8192), 6000);
  EXPECT_EQ(One(dg, sc, 16384, B(53)), WithTerm(dg, sc, g2, g2, g2));
}

// ---- Properties ----

TEST(Properties, ValidInputsGiveValidPixels) {
  std::mt19937 rng(8);
  const uint32_t modes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 50, 51, 52, 53};
  for (uint32_t mode : modes)
    for (uint32_t am : {kLerp, kAddNorm, kModulate, kAddSat, kMax})
      for (uint32_t flags : {0u, 0x8000u, 0x10000u, 0x18000u})
        for (int round = 0; round < 4; ++round) {
          Cell d = RandomCell(rng), s = RandomCell(rng);
          d[0] = PixelRGBA{16384, 16384, 16384, 16384};
          s[1] = PixelRGBA{16384, 16384, 0, 16384};
          blend::BlendPixels(d.data(), d.data() + 64, s.data(), round ? uint16_t(rng() % 16385) : 16384,
                             B(flags | mode, am));
          for (const PixelRGBA& p : d) {
            ASSERT_LE(p.a, 16384) << mode << " " << am;
            ASSERT_LE(std::max({p.r, p.g, p.b}), p.a) << mode << " " << am << " flags " << flags;
          }
        }
}

TEST(Threads, EachCallingThreadIsRegisteredOnce) {
  blend::InitBlendTables();
  PixelRGBA p{0, 0, 0, 0};
  blend::BlendColorOnFill(&p, PixelRGBA{1, 1, 1, 1}, 16384, B(1));
  const size_t before = blend::BlendThreadCount();
  blend::BlendColorOnFill(&p, PixelRGBA{1, 1, 1, 1}, 16384, B(1));
  EXPECT_EQ(blend::BlendThreadCount(), before);

  // Three threads blend at the same time (so their identities are distinct).
  std::atomic<int> arrived{0};
  std::vector<std::thread> threads;
  std::vector<Cell> results(3);
  std::mt19937 rng(9);
  const Cell src = RandomCell(rng), dst = RandomCell(rng);
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&, t] {
      results[t] = dst;
      blend::BlendPixels(results[t].data(), results[t].data() + 64, src.data(), 9000, B(52));
      ++arrived;
      while (arrived.load() < 3) std::this_thread::yield();
      blend::BlendColor(results[t].data(), results[t].data() + 64, src[0], 9000, B(1));
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(blend::BlendThreadCount(), before + 3);
  EXPECT_EQ(results[0], results[1]);
  EXPECT_EQ(results[0], results[2]);
}

}  // namespace
