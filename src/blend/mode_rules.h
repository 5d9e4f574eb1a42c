// The blend modes' per-pixel rules over premultiplied 16-bit pixels, one
// struct per mode, as the kernels of kernels.cpp instantiate them. Internal
// to the blend library.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "blend/fixed.h"
#include "blend/pixel.h"

namespace blend {
namespace rules {

enum AlphaSlot { kLerp, kAddNorm, kModulate, kAddSat, kMax, kAlphaSlots };
enum FlagGroup { kNoFlag, kLock, kClip, kClipLock, kFlagGroups };
enum Coverage { kFull, kOpacity, kMasked, kCoverages };

constexpr unsigned Bit(int slot) { return 1u << slot; }

inline PixelRGBA Px(uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
  return PixelRGBA{uint16_t(r), uint16_t(g), uint16_t(b), uint16_t(a)};
}
inline PixelRGBA Add(const PixelRGBA& x, const PixelRGBA& y) {
  return Px(x.r + y.r, x.g + y.g, x.b + y.b, x.a + y.a);
}
inline bool Gray(const PixelRGBA& p) { return p.r == p.g && p.g == p.b; }

// Luminance of a premultiplied pixel, divided by its alpha.
inline uint32_t LumStraight(const PixelRGBA& p) {
  const uint32_t l = lum(p.r, p.g, p.b);
  if (p.a == 0) return 0;
  if (p.a == kUnit) return l;
  return (ReciprocalTable()[p.a] * l + 0xFF0000u) >> 18;
}

inline uint32_t Max3(const uint32_t c[3]) { return std::max(c[0], std::max(c[1], c[2])); }
inline uint32_t Min3(const uint32_t c[3]) { return std::min(c[0], std::min(c[1], c[2])); }

// Stretches c to the saturation s (smallest channel becomes 0). A colour
// without spread has no direction to stretch in and becomes black.
inline void SetSat(uint32_t c[3], uint32_t s) {
  const uint32_t mn = Min3(c), span = Max3(c) - mn;
  for (int i = 0; i < 3; ++i) c[i] = span ? (c[i] - mn) * s / span : 0;
}

// Moves the straight colour c to luminance l. kScaleDown: darken by scaling
// the channels (hue); otherwise subtract while the smallest channel allows.
template <bool kScaleDown>
inline void SetLum(uint32_t c[3], uint32_t l) {
  const uint32_t lc = uint16_t(lum(c[0], c[1], c[2]));
  const uint32_t mn = Min3(c), mx = Max3(c);
  if (l >= lc) {
    const uint32_t d = l - lc;
    if (mx + d <= kUnit) {
      for (int i = 0; i < 3; ++i) c[i] += d;
      return;
    }
    const uint32_t k = kUnit - mx, d2 = d - k;
    uint32_t t[3];
    for (int i = 0; i < 3; ++i) t[i] = kUnit - (c[i] + k);
    const uint32_t lt = lum(t[0], t[1], t[2]);
    for (int i = 0; i < 3; ++i) c[i] = c[i] + k + (lt ? d2 * t[i] / lt : 0);
    return;
  }
  const uint32_t d = lc - l;
  if (kScaleDown) {
    for (int i = 0; i < 3; ++i) c[i] = l * c[i] / lc;
  } else if (mn >= d) {
    for (int i = 0; i < 3; ++i) c[i] -= d;
  } else {
    uint32_t m[3];
    for (int i = 0; i < 3; ++i) m[i] = c[i] - mn;
    const uint32_t lm = lum(m[0], m[1], m[2]);
    for (int i = 0; i < 3; ++i) c[i] = lm ? m[i] * l / lm : 0;
  }
}

// ---- Modes ---------------------------------------------------------------
// A mode lists the alpha modes it implements in kAlphas and provides the
// per-pixel rule for each, called only when both alphas are non-zero.

// Modes written as a blend term B plus the uncovered parts of both layers.
// B(d, s, out) is the overlap colour at coverage mul(Da, Sa).
template <class M>
struct Composite {
  static constexpr unsigned kAlphas = Bit(kModulate) | Bit(kMax);

  static PixelRGBA Modulate(const PixelRGBA& d, const PixelRGBA& s) {
    uint32_t b[3];
    M::B(d, s, b);
    const uint32_t id = inv(d.a), is = inv(s.a);
    return Px(b[0] + mul(s.r, id) + mul(d.r, is), b[1] + mul(s.g, id) + mul(d.g, is),
              b[2] + mul(s.b, id) + mul(d.b, is), mul(d.a, s.a) + mul(id, s.a) + mul(is, d.a));
  }

  // The excess coverage takes the straight colour of the layer with the
  // larger alpha; the overlap is the blend with that layer made opaque.
  static PixelRGBA Max(const PixelRGBA& d, const PixelRGBA& s) {
    uint32_t b[3];
    if (d.a > s.a) {
      const PixelRGBA u = unpremul(d);
      M::B(u, s, b);
      const uint32_t e = d.a - s.a;
      return Px(mul(u.r, e) + b[0], mul(u.g, e) + b[1], mul(u.b, e) + b[2], d.a);
    }
    const PixelRGBA u = unpremul(s);
    M::B(d, u, b);
    const uint32_t e = s.a - d.a;
    return Px(mul(u.r, e) + b[0], mul(u.g, e) + b[1], mul(u.b, e) + b[2], s.a);
  }
};

// Separable modes: B per colour channel from (Dc, Da, Sc, Sa).
template <class F>
struct Separable : Composite<Separable<F>> {
  static void B(const PixelRGBA& d, const PixelRGBA& s, uint32_t b[3]) {
    b[0] = F::C(d.r, d.a, s.r, s.a);
    b[1] = F::C(d.g, d.a, s.g, s.a);
    b[2] = F::C(d.b, d.a, s.b, s.a);
  }
};

struct MulF {
  static uint32_t C(uint32_t dc, uint32_t, uint32_t sc, uint32_t) { return mul(sc, dc); }
};
struct AddF {
  static uint32_t C(uint32_t dc, uint32_t da, uint32_t sc, uint32_t sa) {
    return std::min(mul(sc, da) + mul(dc, sa), mul(sa, da));
  }
};
struct SubF {
  static uint32_t C(uint32_t dc, uint32_t da, uint32_t sc, uint32_t sa) {
    const uint32_t x = mul(dc, sa), y = mul(sc, da);
    return x > y ? x - y : 0;
  }
};
struct ScreenF {
  static uint32_t C(uint32_t dc, uint32_t da, uint32_t sc, uint32_t sa) {
    return mul(sa, da) - mul(da - dc, sa - sc);
  }
};
struct OverlayF {
  static uint32_t C(uint32_t dc, uint32_t da, uint32_t sc, uint32_t sa) {
    return dc > (da >> 1) ? mul(sa, da) - 2 * mul(da - dc, sa - sc) : 2 * mul(dc, sc);
  }
};
struct DifferenceF {
  static uint32_t C(uint32_t dc, uint32_t da, uint32_t sc, uint32_t sa) {
    const uint32_t x = mul(dc, sa), y = mul(sc, da);
    return x > y ? x - y : y - x;
  }
};
struct ExclusionF {
  static uint32_t C(uint32_t dc, uint32_t da, uint32_t sc, uint32_t sa) {
    return mul(sa - sc, dc) + mul(da - dc, sc);
  }
};

struct MulMode : Separable<MulF> {};
struct SubMode : Separable<SubF> {};
struct ScreenMode : Separable<ScreenF> {};
struct OverlayMode : Separable<OverlayF> {};
struct DifferenceMode : Separable<DifferenceF> {};
struct ExclusionMode : Separable<ExclusionF> {};

// ---- Modes from a straight-colour formula f(Cb, Cs) ----------------------
// Cb = D_c / Da and Cs = S_c / Sa are the straight colours. Each term below is
// Sa·Da·f(Cb, Cs) in 14-bit units, rearranged over the premultiplied values so
// that it is truncated once (a second time at most for soft light); the
// uncovered parts are added by Composite as for every other mode. These
// modes implement "modulate" only.

// floor(sqrt(n)) for n < 2^40: the correctly rounded double root of such an n
// lies at least 2^-21 away from the next integer, so truncating it is exact.
inline uint64_t ISqrt(uint64_t n) { return uint64_t(std::sqrt(double(n))); }

// Colour dodge towards a divisor X = x / Sa: Sa·Da·min(1, Cb / X), 0 when
// Cb = 0, Sa·Da when X = 0.
inline uint32_t DodgeTerm(uint32_t dc, uint32_t da, uint32_t sa, uint32_t x) {
  if (dc == 0) return 0;
  const uint64_t n = uint64_t(dc) * sa;
  if (x == 0 || n >= uint64_t(da) * x) return mul(sa, da);
  return uint32_t(n * sa / (uint64_t(x) << 14));
}

// Colour burn against a divisor Y = y / Sa: Sa·Da·(1 - min(1, (1 - Cb) / Y)),
// Sa·Da when Cb = 1, 0 when Y = 0.
inline uint32_t BurnTerm(uint32_t dc, uint32_t da, uint32_t sa, uint32_t y) {
  if (dc >= da) return mul(sa, da);
  if (y == 0) return 0;
  const uint64_t n = uint64_t(da - dc) * sa, m = uint64_t(da) * y;
  if (n >= m) return 0;
  return uint32_t((m - n) * sa / (uint64_t(y) << 14));
}

// Hard light (W3C Compositing and Blending): Cs <= 1/2: Cb·2Cs, otherwise
// screen(Cb, 2Cs - 1). This is overlay with the layers swapped, written with
// overlay's products so that the two mirror each other exactly.
struct HardLightF {
  static uint32_t C(uint32_t dc, uint32_t da, uint32_t sc, uint32_t sa) {
    return sc > (sa >> 1) ? mul(sa, da) - 2 * mul(da - dc, sa - sc) : 2 * mul(dc, sc);
  }
};

// Soft light (W3C): Cs <= 1/2: Cb - (1 - 2Cs)·Cb·(1 - Cb); otherwise
// Cb + (2Cs - 1)·(E(Cb) - Cb) with E(Cb) = ((16Cb - 12)Cb + 4)Cb for
// Cb <= 1/4 and sqrt(Cb) above.
struct SoftLightF {
  static uint32_t C(uint32_t dc, uint32_t da, uint32_t sc, uint32_t sa) {
    if (2 * sc <= sa) {
      // Dc·(Sa·Da - (Sa - 2Sc)·(Da - Dc)) / Da.
      const uint64_t k = uint64_t(sa) * da - uint64_t(sa - 2 * sc) * (da - dc);
      return uint32_t(uint64_t(dc) * k / (uint64_t(da) << 14));
    }
    // e16 = 16·Da·E(Cb): 64·Dc·(4Dc² - 3Dc·Da + Da²) / Da², or sqrt(256·Dc·Da).
    const uint64_t d = dc, a = da;
    const uint64_t e16 = 4 * d <= a ? 64 * d * (4 * d * d + a * a - 3 * d * a) / (a * a)
                                    : ISqrt((d * a) << 8);
    const uint64_t lift = e16 > 16 * d ? e16 - 16 * d : 0;
    return uint32_t((16 * uint64_t(sa) * d + uint64_t(2 * sc - sa) * lift) >> 18);
  }
};

// Vivid light: Cs <= 1/2: colour burn of Cb by 2Cs, otherwise colour dodge
// of Cb by 2Cs - 1 (its divisor 1 - (2Cs - 1) is 2(Sa - Sc) / Sa).
struct VividLightF {
  static uint32_t C(uint32_t dc, uint32_t da, uint32_t sc, uint32_t sa) {
    return 2 * sc <= sa ? BurnTerm(dc, da, sa, 2 * sc)
                        : DodgeTerm(dc, da, sa, sc >= sa ? 0 : 2 * (sa - sc));
  }
};

// Linear light: linear burn below one half, linear dodge above, that is
// Cb + 2Cs - 1 clamped to [0, 1].
struct LinearLightF {
  static uint32_t C(uint32_t dc, uint32_t da, uint32_t sc, uint32_t sa) {
    const uint32_t x = dc * sa + 2 * sc * da, one = sa * da;
    return x <= one ? 0 : std::min(x - one, one) >> 14;
  }
};

// Pin light: Cs <= 1/2: min(Cb, 2Cs), otherwise max(Cb, 2Cs - 1).
struct PinLightF {
  static uint32_t C(uint32_t dc, uint32_t da, uint32_t sc, uint32_t sa) {
    const uint32_t b = dc * sa, s2 = 2 * sc * da;
    if (2 * sc <= sa) return std::min(b, s2) >> 14;
    const uint32_t one = sa * da;
    return std::max(b, s2 > one ? s2 - one : 0) >> 14;
  }
};

// Colour dodge (W3C): 0 when Cb = 0, 1 when Cs = 1, else min(1, Cb / (1 - Cs)).
struct ColorDodgeF {
  static uint32_t C(uint32_t dc, uint32_t da, uint32_t sc, uint32_t sa) {
    return DodgeTerm(dc, da, sa, sc >= sa ? 0 : sa - sc);
  }
};

// Colour burn (W3C): 1 when Cb = 1, 0 when Cs = 0, else 1 - min(1, (1 - Cb) / Cs).
struct ColorBurnF {
  static uint32_t C(uint32_t dc, uint32_t da, uint32_t sc, uint32_t sa) {
    return BurnTerm(dc, da, sa, sc);
  }
};

// Linear burn: Cb + Cs - 1, clamped at 0.
struct LinearBurnF {
  static uint32_t C(uint32_t dc, uint32_t da, uint32_t sc, uint32_t sa) {
    const uint32_t x = dc * sa + sc * da, one = sa * da;
    return x > one ? (x - one) >> 14 : 0;
  }
};

template <class F>
struct ModulateOnly : Separable<F> {
  static constexpr unsigned kAlphas = Bit(kModulate);
};
struct HardLightMode : ModulateOnly<HardLightF> {};
struct SoftLightMode : ModulateOnly<SoftLightF> {};
struct VividLightMode : ModulateOnly<VividLightF> {};
struct LinearLightMode : ModulateOnly<LinearLightF> {};
struct PinLightMode : ModulateOnly<PinLightF> {};
struct ColorDodgeMode : ModulateOnly<ColorDodgeF> {};
struct ColorBurnMode : ModulateOnly<ColorBurnF> {};
struct LinearBurnMode : ModulateOnly<LinearBurnF> {};

// Darker / lighter colour: the whole colour of the layer whose straight
// colour has the smaller (larger) `lum`; the destination's on a tie.
// lum(S)/Sa is compared with lum(D)/Da cross-multiplied, before lum's shift.
template <bool kLighter>
struct PickColorMode : Composite<PickColorMode<kLighter>> {
  static constexpr unsigned kAlphas = Bit(kModulate);
  static void B(const PixelRGBA& d, const PixelRGBA& s, uint32_t b[3]) {
    const uint64_t ls = uint64_t(lumWeighted(s.r, s.g, s.b)) * d.a;
    const uint64_t ld = uint64_t(lumWeighted(d.r, d.g, d.b)) * s.a;
    if (kLighter ? ls > ld : ls < ld) {
      b[0] = mul(s.r, d.a), b[1] = mul(s.g, d.a), b[2] = mul(s.b, d.a);
    } else {
      b[0] = mul(d.r, s.a), b[1] = mul(d.g, s.a), b[2] = mul(d.b, s.a);
    }
  }
};
using DarkerColorMode = PickColorMode<false>;
using LighterColorMode = PickColorMode<true>;

struct AddMode : Separable<AddF> {
  static constexpr unsigned kAlphas = Bit(kModulate) | Bit(kAddSat) | Bit(kMax);
  // Coverage adds up to one: each layer keeps its own colour where it is
  // alone, the overlap (Sa + Da - 1) gets the sum of both colours.
  static PixelRGBA AddSat(const PixelRGBA& d, const PixelRGBA& s) {
    if (s.a + d.a <= kUnit) return Add(s, d);
    const PixelRGBA ud = unpremul(d), us = unpremul(s);
    const uint32_t ed = kUnit - s.a, es = kUnit - d.a, ov = s.a + d.a - kUnit;
    auto ch = [&](uint32_t dc, uint32_t sc) {
      return mul(dc, ed) + mul(sc, es) + std::min(mul(sc, ov) + mul(dc, ov), ov);
    };
    return Px(ch(ud.r, us.r), ch(ud.g, us.g), ch(ud.b, us.b), kUnit);
  }
};

// Scales a straight colour channel by Da, then by Sa.
inline uint32_t Premul(uint32_t c, uint32_t da, uint32_t sa) { return mul(mul(c, da), sa); }

struct HueMode : Composite<HueMode> {
  static void B(const PixelRGBA& d, const PixelRGBA& s, uint32_t b[3]) {
    if (Gray(d)) {
      b[0] = mul(d.r, s.a), b[1] = mul(d.g, s.a), b[2] = mul(d.b, s.a);
      return;
    }
    const uint32_t l = LumStraight(d);
    if (Gray(s)) {
      b[0] = b[1] = b[2] = Premul(l, d.a, s.a);
      return;
    }
    const PixelRGBA ud = unpremul(d);
    const uint32_t dc[3] = {ud.r, ud.g, ud.b};
    uint32_t c[3] = {s.r, s.g, s.b};
    SetSat(c, Max3(dc) - Min3(dc));
    SetLum<true>(c, l);
    for (int i = 0; i < 3; ++i) b[i] = Premul(c[i], d.a, s.a);
  }
};

struct SaturationMode : Composite<SaturationMode> {
  static void B(const PixelRGBA& d, const PixelRGBA& s, uint32_t b[3]) {
    if (Gray(d)) {
      b[0] = mul(d.r, s.a), b[1] = mul(d.g, s.a), b[2] = mul(d.b, s.a);
      return;
    }
    const uint32_t l = LumStraight(d);
    if (Gray(s)) {
      b[0] = b[1] = b[2] = Premul(l, d.a, s.a);
      return;
    }
    const PixelRGBA ud = unpremul(d), us = unpremul(s);
    const uint32_t sc[3] = {us.r, us.g, us.b};
    uint32_t c[3] = {ud.r, ud.g, ud.b};
    SetSat(c, Max3(sc) - Min3(sc));
    SetLum<true>(c, l);
    for (int i = 0; i < 3; ++i) b[i] = Premul(c[i], d.a, s.a);
  }
};

// Colour of one pixel (the colour source) at the luminance of the other.
// Returns B premultiplied: the luminance-source alpha first, then the other.
inline void LumBlend(const PixelRGBA& lumSrc, const PixelRGBA& colSrc, uint32_t b[3]) {
  const uint32_t l = LumStraight(lumSrc);
  if (lumSrc.a == 0 || l == 0 || l == kUnit) {
    b[0] = mul(lumSrc.r, colSrc.a), b[1] = mul(lumSrc.g, colSrc.a), b[2] = mul(lumSrc.b, colSrc.a);
    return;
  }
  if (Gray(colSrc)) {
    b[0] = b[1] = b[2] = mul(mul(l, lumSrc.a), colSrc.a);
    return;
  }
  const PixelRGBA u = unpremul(colSrc);
  uint32_t c[3] = {u.r, u.g, u.b};
  SetLum<false>(c, l);
  for (int i = 0; i < 3; ++i) b[i] = mul(mul(c[i], lumSrc.a), colSrc.a);
}

struct ColorMode : Composite<ColorMode> {
  static void B(const PixelRGBA& d, const PixelRGBA& s, uint32_t b[3]) { LumBlend(d, s, b); }
};

struct LuminanceMode : Composite<LuminanceMode> {
  static void B(const PixelRGBA& d, const PixelRGBA& s, uint32_t b[3]) {
    // Straight B is premultiplied by Da first, then by Sa.
    const uint32_t l = LumStraight(s);
    if (s.a == 0 || l == 0 || l == kUnit) {
      b[0] = mul(s.r, d.a), b[1] = mul(s.g, d.a), b[2] = mul(s.b, d.a);
      return;
    }
    if (Gray(d)) {
      b[0] = b[1] = b[2] = mul(mul(l, s.a), d.a);
      return;
    }
    const PixelRGBA u = unpremul(d);
    uint32_t c[3] = {u.r, u.g, u.b};
    SetLum<false>(c, l);
    for (int i = 0; i < 3; ++i) b[i] = Premul(c[i], d.a, s.a);
  }
};

struct NormalMode {
  static constexpr unsigned kAlphas =
      Bit(kLerp) | Bit(kAddNorm) | Bit(kModulate) | Bit(kAddSat) | Bit(kMax);
  static PixelRGBA Modulate(const PixelRGBA& d, const PixelRGBA& s) {
    return Add(s, scale(d, inv(s.a)));
  }
  static PixelRGBA AddNorm(const PixelRGBA& d, const PixelRGBA& s) {
    const uint32_t sum = s.a + d.a;
    if (sum <= kUnit) return Add(s, d);
    const uint32_t wd = (uint32_t(d.a) << 14) / sum, ws = (uint32_t(s.a) << 14) / sum;
    const PixelRGBA x = scale(unpremul(d), wd), y = scale(unpremul(s), ws);
    return Px(x.r + y.r, x.g + y.g, x.b + y.b, kUnit);
  }
  static PixelRGBA AddSat(const PixelRGBA& d, const PixelRGBA& s) {
    if (s.a + d.a <= kUnit) return Add(s, d);
    const PixelRGBA x = scale(unpremul(d), kUnit - s.a);
    return Px(x.r + s.r, x.g + s.g, x.b + s.b, kUnit);
  }
  static PixelRGBA Max(const PixelRGBA& d, const PixelRGBA& s) {
    if (d.a <= s.a) return s;
    const PixelRGBA x = scale(unpremul(d), d.a - s.a);
    return Px(x.r + s.r, x.g + s.g, x.b + s.b, d.a);
  }
};

// The destination drawn over the source.
struct BackMode {
  static constexpr unsigned kAlphas = Bit(kModulate) | Bit(kAddSat) | Bit(kMax);
  static PixelRGBA Modulate(const PixelRGBA& d, const PixelRGBA& s) {
    return Add(d, scale(s, inv(d.a)));
  }
  static PixelRGBA AddSat(const PixelRGBA& d, const PixelRGBA& s) {
    if (s.a + d.a <= kUnit) return Add(s, d);
    const PixelRGBA x = scale(unpremul(s), kUnit - d.a);
    return Px(x.r + d.r, x.g + d.g, x.b + d.b, kUnit);
  }
  static PixelRGBA Max(const PixelRGBA& d, const PixelRGBA& s) {
    if (d.a > s.a) return d;
    const PixelRGBA x = scale(unpremul(s), s.a - d.a);
    return Px(x.r + d.r, x.g + d.g, x.b + d.b, s.a);
  }
};

// Darken and lighten compare premultiplied channels directly.
template <bool kLighten>
struct PickMode {
  static constexpr unsigned kAlphas = Bit(kModulate);
  static uint32_t C(uint32_t dc, uint32_t sc, uint32_t id, uint32_t is) {
    const bool keepD = kLighten ? dc >= sc : dc < sc;
    return keepD ? dc + mul(sc, id) : sc + mul(dc, is);
  }
  static PixelRGBA Modulate(const PixelRGBA& d, const PixelRGBA& s) {
    const uint32_t id = inv(d.a), is = inv(s.a);
    return Px(C(d.r, s.r, id, is), C(d.g, s.g, id, is), C(d.b, s.b, id, is), d.a + mul(s.a, id));
  }
};
using DarkenMode = PickMode<false>;
using LightenMode = PickMode<true>;


}  // namespace rules
}  // namespace blend
