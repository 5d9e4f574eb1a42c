// The ten modes defined on straight colours (darker/lighter colour, the
// light modes, dodge and burn): each against a floating-point evaluation of
// its published formula (W3C Compositing and Blending Level 1 where it has
// one), plus values checked by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <string>

#include "blend/kernels.h"

namespace {

kzm::Blend Mode(uint32_t id) { return kzm::Blend{id, kzm::Blend::kAlphaModulate}; }

PixelRGBA One(PixelRGBA d, const PixelRGBA& s, uint32_t mode, uint16_t o = 16384) {
  blend::BlendColorOnFill(&d, s, o, Mode(mode));
  return d;
}

std::string Show(const PixelRGBA& p) {
  return "(" + std::to_string(p.r) + "," + std::to_string(p.g) + "," + std::to_string(p.b) + "," +
         std::to_string(p.a) + ")";
}

// ---- The published formulas, on straight colours in [0, 1] ----

double Lum(const double c[3]) { return 0.30 * c[0] + 0.59 * c[1] + 0.11 * c[2]; }

double Multiply(double b, double s) { return b * s; }
double Screen(double b, double s) { return b + s - b * s; }
double Dodge(double b, double s) {
  if (b == 0) return 0;
  if (s >= 1) return 1;
  return std::min(1.0, b / (1 - s));
}
double Burn(double b, double s) {
  if (b >= 1) return 1;
  if (s <= 0) return 0;
  return 1 - std::min(1.0, (1 - b) / s);
}
double HardLight(double b, double s) { return s <= 0.5 ? Multiply(b, 2 * s) : Screen(b, 2 * s - 1); }
double SoftLight(double b, double s) {
  if (s <= 0.5) return b - (1 - 2 * s) * b * (1 - b);
  const double e = b <= 0.25 ? ((16 * b - 12) * b + 4) * b : std::sqrt(b);
  return b + (2 * s - 1) * (e - b);
}
double VividLight(double b, double s) { return s <= 0.5 ? Burn(b, 2 * s) : Dodge(b, 2 * s - 1); }
double LinearLight(double b, double s) { return std::clamp(b + 2 * s - 1, 0.0, 1.0); }
double PinLight(double b, double s) { return s <= 0.5 ? std::min(b, 2 * s) : std::max(b, 2 * s - 1); }
double LinearBurn(double b, double s) { return std::max(b + s - 1, 0.0); }

using Separable = double (*)(double, double);
Separable FormulaOf(int mode) {
  switch (mode) {
    case 10: return HardLight;
    case 11: return SoftLight;
    case 12: return VividLight;
    case 13: return LinearLight;
    case 14: return PinLight;
    case 15: return Dodge;
    case 16: return Burn;
    case 17: return LinearBurn;
  }
  return nullptr;
}

// Unpremultiply, blend, composite with the uncovered parts, premultiply and
// round: out = Sa·Da·B(Cb, Cs) + S·(1 - Da) + D·(1 - Sa), alpha Sa + Da - Sa·Da.
// For darker/lighter colour, `tie` is set when the two luminances are too
// close for the pick to be meaningful; `alt` is then the other pick.
struct Expected {
  double c[3], a;
  bool tie = false;
  double alt[3];
};

Expected Evaluate(int mode, const PixelRGBA& dp, const PixelRGBA& sp) {
  const double da = dp.a / 16384.0, sa = sp.a / 16384.0;
  const double d[3] = {dp.r / 16384.0, dp.g / 16384.0, dp.b / 16384.0};
  const double s[3] = {sp.r / 16384.0, sp.g / 16384.0, sp.b / 16384.0};
  Expected e;
  e.a = sa + da - sa * da;
  double cb[3], cs[3], b[3], bAlt[3];
  for (int i = 0; i < 3; ++i) {
    cb[i] = da > 0 ? d[i] / da : 0;
    cs[i] = sa > 0 ? s[i] / sa : 0;
  }
  if (mode == 8 || mode == 9) {
    const double ls = Lum(cs), lb = Lum(cb);
    const bool takeS = mode == 8 ? ls < lb : ls > lb;
    e.tie = std::abs(ls - lb) < 1e-4;
    for (int i = 0; i < 3; ++i) b[i] = takeS ? cs[i] : cb[i], bAlt[i] = takeS ? cb[i] : cs[i];
  } else {
    const Separable f = FormulaOf(mode);
    for (int i = 0; i < 3; ++i) b[i] = bAlt[i] = f(cb[i], cs[i]);
  }
  for (int i = 0; i < 3; ++i) {
    e.c[i] = sa * da * b[i] + s[i] * (1 - da) + d[i] * (1 - sa);
    e.alt[i] = sa * da * bAlt[i] + s[i] * (1 - da) + d[i] * (1 - sa);
  }
  return e;
}

class Gen {
 public:
  explicit Gen(uint32_t seed) : rng_(seed) {}
  uint32_t Below(uint32_t n) { return uint32_t(rng_() % n); }
  PixelRGBA Pixel() {
    uint32_t a;
    switch (Below(10)) {
      case 0: a = 0; break;
      case 1: case 2: a = 16384; break;
      case 3: a = 1 + Below(64); break;
      default: a = 1 + Below(16384);
    }
    auto channel = [&]() -> uint32_t {
      switch (Below(10)) {
        case 0: return 0;
        case 1: return a;
        case 2: return a / 2 + Below(3) - (a >= 2 ? 1 : 0);  // at the one-half branch
        case 3: return a / 4 + Below(3) - (a >= 4 ? 1 : 0);  // soft light's one-quarter
        default: return Below(a + 1);
      }
    };
    uint32_t c[3] = {channel(), channel(), channel()};
    for (uint32_t& x : c) x = std::min(x, a);
    return PixelRGBA{uint16_t(c[0]), uint16_t(c[1]), uint16_t(c[2]), uint16_t(a)};
  }

 private:
  std::mt19937 rng_;
};

constexpr int kModes[] = {8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
constexpr int kPairsPerMode = 32768;  // 512 runs of 64
constexpr double kTolerance = 4;     // units of 16384

class PublishedFormula : public ::testing::TestWithParam<int> {};

TEST_P(PublishedFormula, AgreesWithinFourUnitsOnRandomPixels) {
  const int mode = GetParam();
  Gen g(77u + uint32_t(mode));
  double worst = 0;
  int reported = 0, bad = 0;
  std::array<PixelRGBA, 64> d, s, out;
  for (int run = 0; run < kPairsPerMode / 64; ++run) {
    for (int i = 0; i < 64; ++i) d[i] = g.Pixel(), s[i] = g.Pixel();
    out = d;
    blend::BlendPixels(out.data(), out.data() + 64, s.data(), 16384, Mode(uint32_t(mode)));
    for (int i = 0; i < 64; ++i) {
      const Expected e = Evaluate(mode, d[i], s[i]);
      const uint32_t got[4] = {out[i].r, out[i].g, out[i].b, out[i].a};
      double err = std::abs(got[3] - std::round(e.a * 16384));
      double errAlt = err;
      for (int c = 0; c < 3; ++c) {
        err = std::max(err, std::abs(got[c] - std::round(e.c[c] * 16384)));
        errAlt = std::max(errAlt, std::abs(got[c] - std::round(e.alt[c] * 16384)));
      }
      if (e.tie) err = std::min(err, errAlt);
      worst = std::max(worst, err);
      if (err > kTolerance && ++bad && reported++ < 10)
        ADD_FAILURE() << "D=" << Show(d[i]) << " S=" << Show(s[i]) << " got " << Show(out[i])
                      << " want (" << e.c[0] * 16384 << "," << e.c[1] * 16384 << ","
                      << e.c[2] * 16384 << "," << e.a * 16384 << ")";
    }
  }
  EXPECT_EQ(bad, 0) << "of " << kPairsPerMode << " pairs";
  RecordProperty("worst_error", std::to_string(worst));
}

INSTANTIATE_TEST_SUITE_P(Modes, PublishedFormula, ::testing::ValuesIn(kModes),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "mode_" + std::to_string(info.param);
                         });

// ---- Hand-checked values ----

constexpr PixelRGBA kWhite{16384, 16384, 16384, 16384};
constexpr PixelRGBA kBlack{0, 0, 0, 16384};
constexpr PixelRGBA kMidGray{8192, 8192, 8192, 16384};

TEST(HardLight, IsOverlayWithTheLayersSwapped) {
  // The blend term and both uncovered parts are symmetric in the two layers,
  // so at full opacity hard light of S over D is exactly overlay of D over S.
  Gen g(5);
  for (int i = 0; i < 20000; ++i) {
    const PixelRGBA d = g.Pixel(), s = g.Pixel();
    ASSERT_EQ(One(d, s, 10), One(s, d, 7)) << "D=" << Show(d) << " S=" << Show(s);
  }
}

TEST(HardLight, MidGraySourceKeepsAnOpaqueDestination) {
  // Cb·2Cs with Cs = 1/2: each channel becomes 2·mul(Dc, 8192), Dc rounded down to even.
  EXPECT_EQ(One(PixelRGBA{4096, 10000, 16384, 16384}, kMidGray, 10), (PixelRGBA{4096, 10000, 16384, 16384}));
  EXPECT_EQ(One(PixelRGBA{4097, 0, 16383, 16384}, kMidGray, 10), (PixelRGBA{4096, 0, 16382, 16384}));
  // Over a half-covered destination the source's uncovered half shows:
  // 2·mul(Dc, 8192) + mul(8192, 8192), alpha 8192 + 8192.
  EXPECT_EQ(One(PixelRGBA{3000, 5000, 7000, 8192}, kMidGray, 10), (PixelRGBA{7096, 9096, 11096, 16384}));
}

TEST(LightModes, MidGraySourceKeepsAnOpaqueDestinationExactly) {
  // Soft, vivid, linear and pin light are the identity at Cs = 1/2.
  Gen g(6);
  for (uint32_t mode : {11u, 12u, 13u, 14u})
    for (int i = 0; i < 2000; ++i) {
      PixelRGBA d = g.Pixel();
      d = PixelRGBA{uint16_t(d.r * 16384u / std::max<uint32_t>(d.a, 1)), uint16_t(d.g * 16384u / std::max<uint32_t>(d.a, 1)),
                    uint16_t(d.b * 16384u / std::max<uint32_t>(d.a, 1)), 16384};
      ASSERT_EQ(One(d, kMidGray, mode), d) << "mode " << mode << " D=" << Show(d);
    }
}

TEST(ColorDodge, WhiteSourceSaturatesEveryLitChannel) {
  // B = Sa·Da wherever Cb > 0, so opaque white over anything is white there;
  // a channel at 0 stays at 0 (W3C: Cb = 0 gives 0).
  EXPECT_EQ(One(PixelRGBA{5000, 1, 16384, 16384}, kWhite, 15), kWhite);
  EXPECT_EQ(One(PixelRGBA{5000, 0, 16384, 16384}, kWhite, 15), (PixelRGBA{16384, 0, 16384, 16384}));
  // Half-covered destination: the overlap saturates at 8192, the uncovered
  // source half adds 8192; a zero channel gets only the uncovered half.
  EXPECT_EQ(One(PixelRGBA{100, 0, 3000, 8192}, kWhite, 15), (PixelRGBA{16384, 8192, 16384, 16384}));
  // Black source: Cb / 1 = Cb, the destination is kept.
  EXPECT_EQ(One(PixelRGBA{123, 4567, 16384, 16384}, kBlack, 15), (PixelRGBA{123, 4567, 16384, 16384}));
}

TEST(ColorBurn, BlackSourceIsBlackExceptOnWhite) {
  // W3C: Cb = 1 gives 1, otherwise Cs = 0 gives 0.
  EXPECT_EQ(One(PixelRGBA{16383, 5000, 16384, 16384}, kBlack, 16), (PixelRGBA{0, 0, 16384, 16384}));
  // White source: 1 - (1 - Cb) = Cb.
  EXPECT_EQ(One(PixelRGBA{123, 4567, 0, 16384}, kWhite, 16), (PixelRGBA{123, 4567, 0, 16384}));
  // Cb = 1/2 under Cs = 3/4: 1 - (1/2) / (3/4) = 1/3, 16384 / 3 = 5461.33.
  EXPECT_EQ(One(PixelRGBA{8192, 8192, 8192, 16384}, PixelRGBA{12288, 12288, 12288, 16384}, 16),
            (PixelRGBA{5461, 5461, 5461, 16384}));
}

TEST(LinearBurn, BlackIsBlackFromEitherSide) {
  Gen g(7);
  for (int i = 0; i < 2000; ++i) {
    PixelRGBA p = g.Pixel();
    p.a = 16384;
    ASSERT_EQ(One(p, kBlack, 17), kBlack) << Show(p);
    ASSERT_EQ(One(kBlack, p, 17), kBlack) << Show(p);
  }
  // 3/4 + 1/2 - 1 = 1/4; 1/4 + 1/2 - 1 clamps to 0.
  EXPECT_EQ(One(PixelRGBA{12288, 4096, 0, 16384}, PixelRGBA{8192, 8192, 8192, 16384}, 17),
            (PixelRGBA{4096, 0, 0, 16384}));
}

TEST(LinearLight, ClampsAtBothEnds) {
  // Cb + 2Cs - 1: 1/4 + 1 - 1, 3/4 + 2·(7/8) - 1 clamps to 1, 1/4 + 0 - 1 clamps to 0.
  EXPECT_EQ(One(PixelRGBA{4096, 12288, 4096, 16384}, PixelRGBA{8192, 14336, 0, 16384}, 13),
            (PixelRGBA{4096, 16384, 0, 16384}));
}

TEST(PinLight, ReplacesOnlyBeyondTheSourceBound) {
  // Cs = 1/4: min(Cb, 1/2); Cs = 3/4: max(Cb, 1/2).
  const PixelRGBA low{4096, 4096, 4096, 16384}, high{12288, 12288, 12288, 16384};
  EXPECT_EQ(One(PixelRGBA{2000, 8192, 16000, 16384}, low, 14), (PixelRGBA{2000, 8192, 8192, 16384}));
  EXPECT_EQ(One(PixelRGBA{2000, 8192, 16000, 16384}, high, 14), (PixelRGBA{8192, 8192, 16000, 16384}));
}

TEST(DarkerLighterColor, PickTheWholeColourByLuminance) {
  // Red (lum 0.30) against green (lum 0.59): darker keeps red whole, lighter takes green.
  const PixelRGBA red{16384, 0, 0, 16384}, green{0, 16384, 0, 16384};
  EXPECT_EQ(One(red, green, 8), red);
  EXPECT_EQ(One(red, green, 9), green);
  EXPECT_EQ(One(green, red, 8), red);
  EXPECT_EQ(One(green, red, 9), green);
  // Half-covered: B = the picked colour times the other alpha, plus both
  // uncovered halves: darker (4096 + 4096, 4096, 0), lighter (4096, 4096 + 4096, 0).
  const PixelRGBA hr{8192, 0, 0, 8192}, hg{0, 8192, 0, 8192};
  EXPECT_EQ(One(hr, hg, 8), (PixelRGBA{8192, 4096, 0, 12288}));
  EXPECT_EQ(One(hr, hg, 9), (PixelRGBA{4096, 8192, 0, 12288}));
  // The straight colour counts, not the premultiplied one: a faint white is
  // lighter than an opaque gray.
  const PixelRGBA faintWhite{1000, 1000, 1000, 1000}, gray{12000, 12000, 12000, 16384};
  // lighter: 1000 + mul(12000, 15384) = 1000 + 11267; darker: mul(12000, 1000) + 11267 = 732 + 11267.
  EXPECT_EQ(One(gray, faintWhite, 9), (PixelRGBA{12267, 12267, 12267, 16384}));
  EXPECT_EQ(One(gray, faintWhite, 8), (PixelRGBA{11999, 11999, 11999, 16384}));
}

}  // namespace
