#include "blend/kernels.h"

#include <algorithm>

#include "blend/fixed.h"

namespace blend {
namespace {

inline PixelRGBA Normal(const PixelRGBA& d, PixelRGBA s, uint32_t o, uint32_t flags) {
  const uint32_t L = d.a;
  if (flags & kzm::Blend::clip_dsta) s = scale(s, d.a);
  if (o != kUnit) s = scale(s, o);
  PixelRGBA r;
  if (d.a == 0) r = s;
  else if (s.a == 0) r = d;
  else {
    const uint32_t k = inv(s.a);
    r = PixelRGBA{uint16_t(s.r + mul(d.r, k)), uint16_t(s.g + mul(d.g, k)), uint16_t(s.b + mul(d.b, k)),
                  uint16_t(s.a + mul(d.a, k))};
  }
  if ((flags & kzm::Blend::lock_a___) && r.a != L) {
    if (r.a == 0) r = PixelRGBA{0, 0, 0, uint16_t(L)};
    else r = PixelRGBA{uint16_t(r.r * L / r.a), uint16_t(r.g * L / r.a), uint16_t(r.b * L / r.a), uint16_t(L)};
  }
  return r;
}

bool Supported(const kzm::Blend& b) {
  const uint32_t f = b.Flags();
  const bool flagsOk = f == 0 || f == 0x8000 || f == 0x10000 || f == 0x30000 || f == 0x18000 || f == 0x38000;
  return flagsOk && b.ColorMode() == 1 && b.AlphaMode() == 4;
}

void Run(PixelRGBA* d, PixelRGBA* e, const PixelRGBA* s, size_t step, uint32_t o, const uint16_t* mask,
         const kzm::Blend& b) {
  if (!Supported(b)) return;
  o = std::min<uint32_t>(o, kUnit);
  for (; d < e; ++d, s += step) {
    const uint32_t oo = mask ? std::min<uint32_t>(mul(*mask++, o), kUnit) : o;
    *d = Normal(*d, *s, oo, b.Flags());
  }
}

}  // namespace

void InitBlendTables() { ReciprocalTable(); }

void BlendColorOnFill(PixelRGBA* dst, const PixelRGBA& src, uint16_t opacity, const kzm::Blend& b) {
  Run(dst, dst + 1, &src, 0, opacity, nullptr, b);
}
void BlendColor(PixelRGBA* dst, PixelRGBA* dstEnd, const PixelRGBA& src, uint16_t opacity,
                const kzm::Blend& b) {
  Run(dst, dstEnd, &src, 0, opacity, nullptr, b);
}
void BlendPixels(PixelRGBA* dst, PixelRGBA* dstEnd, const PixelRGBA* src, uint16_t opacity,
                 const kzm::Blend& b) {
  Run(dst, dstEnd, src, 1, opacity, nullptr, b);
}
void BlendPixelsMasked(PixelRGBA* dst, PixelRGBA* dstEnd, const PixelRGBA* src, uint16_t opacity,
                       const uint16_t* mask, const kzm::Blend& b) {
  Run(dst, dstEnd, src, 1, opacity, mask, b);
}
void BlendColorMasked(PixelRGBA* dst, PixelRGBA* dstEnd, const PixelRGBA& src, uint16_t opacity,
                      const uint16_t* mask, const kzm::Blend& b) {
  Run(dst, dstEnd, &src, 0, opacity, mask, b);
}
void BlendPixelsPlain(PixelRGBA* dst, PixelRGBA* dstEnd, const PixelRGBA* src,
                      const OpacityMask& om, const kzm::Blend& b) {
  Run(dst, dstEnd, src, 1, om.opacity, om.mask, b);
}
void BlendPixelsFromFill(PixelRGBA* out64, const PixelRGBA& fill, const PixelRGBA* src,
                         uint16_t opacity, const kzm::Blend& b) {
  std::fill(out64, out64 + 64, fill);
  BlendPixels(out64, out64 + 64, src, opacity, b);
}
void BlendPixelsMaskedFromFill(PixelRGBA* out64, const PixelRGBA& fill, const PixelRGBA* src,
                               uint16_t opacity, const uint16_t* mask, const kzm::Blend& b) {
  std::fill(out64, out64 + 64, fill);
  BlendPixelsMasked(out64, out64 + 64, src, opacity, mask, b);
}
void BlendColorMaskedFromFill(PixelRGBA* out64, const PixelRGBA& fill, const PixelRGBA& src,
                              uint16_t opacity, const uint16_t* mask, const kzm::Blend& b) {
  std::fill(out64, out64 + 64, fill);
  BlendColorMasked(out64, out64 + 64, src, opacity, mask, b);
}
void BlendPixelsPlainFromFill(PixelRGBA* out64, const PixelRGBA& fill, const PixelRGBA* src,
                              const OpacityMask& om, const kzm::Blend& b) {
  std::fill(out64, out64 + 64, fill);
  BlendPixelsPlain(out64, out64 + 64, src, om, b);
}

}  // namespace blend
