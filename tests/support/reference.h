// A slow, literal per-pixel evaluation of the blend formulas, written
// independently of the kernels (signed 64-bit, one runtime switch per step)
// so that the fast kernels can be compared with it exactly. Valid for valid
// premultiplied pixels (colour <= alpha <= 16384).
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "blend/pixel.h"

namespace blendref {

using I = int64_t;

struct P {
  I c[3];
  I a;
};

inline P FromPixel(const PixelRGBA& p) { return P{{p.r, p.g, p.b}, p.a}; }
inline PixelRGBA ToPixel(const P& p) {
  return PixelRGBA{uint16_t(p.c[0]), uint16_t(p.c[1]), uint16_t(p.c[2]), uint16_t(p.a)};
}

inline I M(I a, I b) { return (a * b) >> 14; }
inline I Inv(I a) { return 16384 - a; }
inline P Scale(const P& p, I m) { return P{{M(p.c[0], m), M(p.c[1], m), M(p.c[2], m)}, M(p.a, m)}; }
inline P Sum(const P& x, const P& y) {
  return P{{x.c[0] + y.c[0], x.c[1] + y.c[1], x.c[2] + y.c[2]}, x.a + y.a};
}
inline I Recip(I a) { return a == 0 ? 0 : I(0xFF005800u) / a; }
inline P Unpremul(const P& p) {
  if (p.a == 0) return P{{0, 0, 0}, 0};
  if (p.a == 16384) return p;
  P r{{0, 0, 0}, 16384};
  for (int i = 0; i < 3; ++i) r.c[i] = ((p.c[i] * Recip(p.a) + 0xFF0000) & 0xFFFFFFFF) >> 18;
  return r;
}
inline I Lum(I c0, I c1, I c2) { return (c0 * 19661 + c1 * 38666 + c2 * 7209) >> 16; }
inline I Lum(const I c[3]) { return Lum(c[0], c[1], c[2]); }
// lum of a premultiplied pixel divided by its alpha.
inline I LumOf(const P& p) {
  const I l = Lum(p.c);
  if (p.a == 0) return 0;
  if (p.a == 16384) return l;
  return ((Recip(p.a) * l + 0xFF0000) & 0xFFFFFFFF) >> 18;
}
inline bool IsGray(const P& p) { return p.c[0] == p.c[1] && p.c[1] == p.c[2]; }
inline I Max3(const I c[3]) { return std::max({c[0], c[1], c[2]}); }
inline I Min3(const I c[3]) { return std::min({c[0], c[1], c[2]}); }
inline I Div(I a, I b) { return b == 0 ? 0 : a / b; }

inline void SetSat(I c[3], I s) {
  const I mn = Min3(c), mx = Max3(c);
  for (int i = 0; i < 3; ++i) c[i] = Div((c[i] - mn) * s, mx - mn);
}

inline void SetLum(I c[3], I l, bool hue) {
  const I lc = Lum(c) & 0xFFFF, mn = Min3(c), mx = Max3(c);
  if (l >= lc) {
    const I d = l - lc;
    if (mx + d <= 16384) {
      for (int i = 0; i < 3; ++i) c[i] += d;
    } else {
      const I k = 16384 - mx, d2 = d - k;
      I t[3];
      for (int i = 0; i < 3; ++i) t[i] = 16384 - (c[i] + k);
      const I lt = Lum(t);
      for (int i = 0; i < 3; ++i) c[i] = c[i] + k + Div(d2 * t[i], lt);
    }
    return;
  }
  const I d = lc - l;
  if (hue) {
    for (int i = 0; i < 3; ++i) c[i] = Div(l * c[i], lc);
  } else if (mn >= d) {
    for (int i = 0; i < 3; ++i) c[i] -= d;
  } else {
    I m[3];
    for (int i = 0; i < 3; ++i) m[i] = c[i] - mn;
    const I lm = Lum(m);
    for (int i = 0; i < 3; ++i) c[i] = Div(m[i] * l, lm);
  }
}

// floor(sqrt(n)) through the floating-point root, corrected to the integer.
inline I ISqrt(I n) {
  I r = I(std::sqrt(double(n)));
  while (r * r > n) --r;
  while ((r + 1) * (r + 1) <= n) ++r;
  return r;
}

// Sa·Da·min(1, Cb / X), X = x / Sa, in one division.
inline I Dodge(I d, I Da, I Sa, I x) {
  if (d == 0) return 0;
  if (x == 0 || d * Sa >= Da * x) return M(Sa, Da);
  return d * Sa * Sa / (x * 16384);
}
// Sa·Da·(1 - min(1, (1 - Cb) / Y)), Y = y / Sa, in one division.
inline I Burn(I d, I Da, I Sa, I y) {
  if (d >= Da) return M(Sa, Da);
  if (y == 0) return 0;
  const I r = Da * y - (Da - d) * Sa;
  return r <= 0 ? 0 : r * Sa / (y * 16384);
}

// The straight-colour modes 10..17 for one channel: Sa·Da·f(d / Da, s / Sa).
inline I LightTerm(int mode, I d, I Da, I s, I Sa) {
  const I one = Sa * Da;
  switch (mode) {
    case 10:
      return s > (Sa >> 1) ? M(Sa, Da) - 2 * M(Da - d, Sa - s) : 2 * M(d, s);
    case 11: {
      if (2 * s <= Sa) return d * (Sa * Da - (Sa - 2 * s) * (Da - d)) / (Da * 16384);
      const I e16 = 4 * d <= Da ? 64 * d * (4 * d * d - 3 * d * Da + Da * Da) / (Da * Da)
                                : ISqrt(256 * d * Da);
      return (16 * Sa * d + (2 * s - Sa) * std::max<I>(e16 - 16 * d, 0)) >> 18;
    }
    case 12:
      return 2 * s <= Sa ? Burn(d, Da, Sa, 2 * s) : Dodge(d, Da, Sa, 2 * (Sa - s));
    case 13:
      return std::clamp<I>(d * Sa + 2 * s * Da - one, 0, one) >> 14;
    case 14:
      return 2 * s <= Sa ? std::min(d * Sa, 2 * s * Da) >> 14
                         : std::max(d * Sa, 2 * s * Da - one) >> 14;
    case 15: return Dodge(d, Da, Sa, Sa - s);
    case 16: return Burn(d, Da, Sa, s);
    case 17: return std::max<I>(d * Sa + s * Da - one, 0) >> 14;
  }
  return 0;
}

// The overlap term B (premultiplied colour) of the composite modes.
inline void BlendTerm(int mode, const P& D, const P& S, I B[3]) {
  const I Da = D.a, Sa = S.a;
  auto premulB = [&](I c[3]) {
    for (int i = 0; i < 3; ++i) B[i] = M(M(c[i], Da), Sa);
  };
  switch (mode) {
    case 8:    // darker colour
    case 9: {  // lighter colour: lum(S') against lum(D') before the shift, D on a tie
      const I wS = S.c[0] * 19661 + S.c[1] * 38666 + S.c[2] * 7209;
      const I wD = D.c[0] * 19661 + D.c[1] * 38666 + D.c[2] * 7209;
      const bool takeS = mode == 8 ? wS * Da < wD * Sa : wS * Da > wD * Sa;
      for (int i = 0; i < 3; ++i) B[i] = takeS ? M(S.c[i], Da) : M(D.c[i], Sa);
      return;
    }
    case 10: case 11: case 12: case 13: case 14: case 15: case 16: case 17:
      for (int i = 0; i < 3; ++i) B[i] = LightTerm(mode, D.c[i], Da, S.c[i], Sa);
      return;
    case 3: case 4: case 5: case 6: case 7: case 20: case 21:
      for (int i = 0; i < 3; ++i) {
        const I d = D.c[i], s = S.c[i];
        switch (mode) {
          case 3: B[i] = M(s, d); break;
          case 4: B[i] = std::min(M(s, Da) + M(d, Sa), M(Sa, Da)); break;
          case 5: B[i] = std::max<I>(M(d, Sa) - M(s, Da), 0); break;
          case 6: B[i] = M(Sa, Da) - M(Da - d, Sa - s); break;
          case 7: B[i] = d > (Da >> 1) ? M(Sa, Da) - 2 * M(Da - d, Sa - s) : 2 * M(d, s); break;
          case 20: B[i] = std::abs(M(d, Sa) - M(s, Da)); break;
          case 21: B[i] = M(Sa - s, d) + M(Da - d, s); break;
        }
      }
      return;
    case 50:  // hue
    case 51: {  // saturation
      if (IsGray(D)) {
        for (int i = 0; i < 3; ++i) B[i] = M(D.c[i], Sa);
        return;
      }
      const I l = LumOf(D);
      if (IsGray(S)) {
        I g[3] = {l, l, l};
        premulB(g);
        return;
      }
      const P Du = Unpremul(D);
      I c[3];
      if (mode == 50) {
        std::copy(S.c, S.c + 3, c);
        SetSat(c, Max3(Du.c) - Min3(Du.c));
      } else {
        const P Su = Unpremul(S);
        std::copy(Du.c, Du.c + 3, c);
        SetSat(c, Max3(Su.c) - Min3(Su.c));
      }
      SetLum(c, l, true);
      premulB(c);
      return;
    }
    case 52:    // color: D gives the luminance, S the colour
    case 53: {  // luminance: S gives the luminance, D the colour
      const P& ls = mode == 52 ? D : S;
      const P& cs = mode == 52 ? S : D;
      const I l = LumOf(ls);
      if (ls.a == 0 || l == 0 || l == 16384) {
        for (int i = 0; i < 3; ++i) B[i] = M(ls.c[i], cs.a);
        return;
      }
      if (IsGray(cs)) {
        for (int i = 0; i < 3; ++i) B[i] = M(M(l, ls.a), cs.a);
        return;
      }
      const P u = Unpremul(cs);
      I c[3] = {u.c[0], u.c[1], u.c[2]};
      SetLum(c, l, false);
      premulB(c);
      return;
    }
  }
}

inline bool IsComposite(int mode) {
  return (mode >= 3 && mode <= 17) || mode == 20 || mode == 21 || (mode >= 50 && mode <= 53);
}

// Whether (mode, alpha mode) has a kernel.
inline bool HasKernel(int mode, uint32_t am) {
  const bool known = mode == 1 || mode == 2 || mode == 18 || mode == 19 || IsComposite(mode);
  if (!known) return false;
  switch (am) {
    case 4: return true;
    case 1: case 2: return mode == 1;
    case 8: return mode == 1 || mode == 2 || mode == 4;
    case 16: return mode != 18 && mode != 19 && (mode < 8 || mode > 17);
  }
  return false;
}

// Step 3 for both alphas non-zero.
inline P Combine(int mode, uint32_t am, const P& D, const P& S) {
  const I Da = D.a, Sa = S.a;
  if (am == 4) {
    if (mode == 1) return Sum(S, Scale(D, Inv(Sa)));
    if (mode == 2) return Sum(D, Scale(S, Inv(Da)));
    if (mode == 18 || mode == 19) {
      P r{{0, 0, 0}, Da + M(Sa, Inv(Da))};
      for (int i = 0; i < 3; ++i) {
        const bool dTop = mode == 18 ? D.c[i] < S.c[i] : D.c[i] >= S.c[i];
        r.c[i] = dTop ? D.c[i] + M(S.c[i], Inv(Da)) : S.c[i] + M(D.c[i], Inv(Sa));
      }
      return r;
    }
    I B[3];
    BlendTerm(mode, D, S, B);
    P r{{0, 0, 0}, M(Da, Sa) + M(Inv(Da), Sa) + M(Inv(Sa), Da)};
    for (int i = 0; i < 3; ++i) r.c[i] = B[i] + M(S.c[i], Inv(Da)) + M(D.c[i], Inv(Sa));
    return r;
  }
  if (am == 2) {  // add_norm, normal only
    if (Sa + Da <= 16384) return Sum(S, D);
    const I wD = (Da << 14) / (Sa + Da), wS = (Sa << 14) / (Sa + Da);
    P r = Sum(Scale(Unpremul(D), wD), Scale(Unpremul(S), wS));
    r.a = 16384;
    return r;
  }
  if (am == 8) {  // add_sat
    if (Sa + Da <= 16384) return Sum(S, D);
    P r{{0, 0, 0}, 16384};
    if (mode == 1) r = Sum(Scale(Unpremul(D), 16384 - Sa), S);
    else if (mode == 2) r = Sum(Scale(Unpremul(S), 16384 - Da), D);
    else {  // add: alone parts keep their colour, the overlap adds both
      const P Du = Unpremul(D), Su = Unpremul(S);
      const I ov = Sa + Da - 16384;
      for (int i = 0; i < 3; ++i)
        r.c[i] = M(Du.c[i], 16384 - Sa) + M(Su.c[i], 16384 - Da) +
                 std::min(M(Su.c[i], ov) + M(Du.c[i], ov), ov);
    }
    r.a = 16384;
    return r;
  }
  // max
  if (mode == 1 && Da <= Sa) return S;
  if (mode == 2 && Da > Sa) return D;
  const bool dLarger = Da > Sa;
  const P U = Unpremul(dLarger ? D : S);
  const I excess = dLarger ? Da - Sa : Sa - Da;
  I B[3];
  if (mode == 1) std::copy(S.c, S.c + 3, B);
  else if (mode == 2) std::copy(D.c, D.c + 3, B);
  else if (dLarger) BlendTerm(mode, U, S, B);
  else BlendTerm(mode, D, U, B);
  P r{{0, 0, 0}, dLarger ? Da : Sa};
  for (int i = 0; i < 3; ++i) r.c[i] = M(U.c[i], excess) + B[i];
  return r;
}

// One destination pixel blended with one source pixel at effective opacity o.
inline PixelRGBA Blend(const PixelRGBA& dst, const PixelRGBA& src, uint32_t o, uint32_t word0,
                       uint32_t word1) {
  const int mode = int(word0 & 0xFF);
  const uint32_t flags = word0 & 0xFFFFFF00u;
  // Flags with a kernel: clip (0x10000, 0x20000 only beside it) and lock (0x8000).
  if ((flags & ~0x38000u) != 0 || (flags & 0x30000) == 0x20000 || !HasKernel(mode, word1)) return dst;
  const bool clip = flags & 0x10000, lock = flags & 0x8000;
  const P D = FromPixel(dst);
  P S = FromPixel(src);
  if (clip) S = Scale(S, D.a);
  P R;
  if (word1 == 1) {
    R = Sum(Scale(D, Inv(o)), Scale(S, o));
  } else {
    if (o != 16384) S = Scale(S, o);
    if (D.a == 0) R = S;
    else if (S.a == 0) R = D;
    else R = Combine(mode, word1, D, S);
  }
  if (lock && R.a != D.a) {
    if (R.a == 0) R = P{{0, 0, 0}, D.a};
    else R = P{{R.c[0] * D.a / R.a, R.c[1] * D.a / R.a, R.c[2] * D.a / R.a}, D.a};
  }
  return ToPixel(R);
}

}  // namespace blendref
