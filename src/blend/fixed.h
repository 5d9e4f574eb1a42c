// Fixed-point helpers on 14-bit channels (16384 stands for one).
#pragma once
#include <cstdint>

#include "blend/pixel.h"

namespace blend {

inline uint32_t mul(uint32_t a, uint32_t b) { return (a * b) >> 14; }
inline uint32_t inv(uint32_t a) { return 16384u - a; }

inline PixelRGBA scale(const PixelRGBA& p, uint32_t m) {
  return PixelRGBA{uint16_t(mul(p.r, m)), uint16_t(mul(p.g, m)), uint16_t(mul(p.b, m)),
                   uint16_t(mul(p.a, m))};
}

// R[0] = 0, R[a] = 0xFF005800 / a: division by an alpha as a multiply.
// Built on first use; InitBlendTables() builds it ahead of threaded use.
const uint32_t* ReciprocalTable();

// Straight (un-premultiplied) colour at alpha 16384.
PixelRGBA unpremul(const PixelRGBA& p);

// The model's form to straight 8-bit RGBA packed as PixelFrom8 takes it, as
// 8-bit PSD layers store it: colour divided by alpha through the reciprocal
// table, rounded; alpha scaled to 255. Alpha above 16384 and colour above
// alpha are clamped first; a transparent pixel is 0.
inline uint32_t PixelTo8(const PixelRGBA& p, const uint32_t* recip) {
  if (p.a == 0) return 0;
  const uint32_t al = p.a < kUnit ? p.a : kUnit;
  const uint32_t k = recip[al];
  auto colour = [al, k](uint32_t c) { return ((c < al ? c : al) * k + 0xC00000u) >> 24; };
  return colour(p.r) | colour(p.g) << 8 | colour(p.b) << 16 | ((al - (al >> 13)) >> 6) << 24;
}

// Luminance with weights 0.30, 0.59, 0.11 (in 1/65536), before and after the shift.
inline uint32_t lumWeighted(uint32_t c0, uint32_t c1, uint32_t c2) {
  return c0 * 19661u + c1 * 38666u + c2 * 7209u;
}
inline uint32_t lum(uint32_t c0, uint32_t c1, uint32_t c2) { return lumWeighted(c0, c1, c2) >> 16; }

}  // namespace blend
