// Blend entry points: put one layer's pixels (or one colour) onto a
// destination run of premultiplied 16-bit pixels. The kernel is chosen once
// per call from the colour mode, the flag group, the alpha mode and whether
// the opacity is full; a mode or combination without a kernel leaves the
// destination unchanged.
#pragma once
#include <cstdint>

#include "blend/blend_desc.h"
#include "blend/pixel.h"

namespace blend {

// Destination: one pixel (a fill cell's value); source: one colour.
void BlendColorOnFill(PixelRGBA* dst, const PixelRGBA& src, uint16_t opacity, const kzm::Blend& b);
// Destination: [dst, dstEnd) in place.
void BlendColor(PixelRGBA* dst, PixelRGBA* dstEnd, const PixelRGBA& src, uint16_t opacity,
                const kzm::Blend& b);
void BlendPixels(PixelRGBA* dst, PixelRGBA* dstEnd, const PixelRGBA* src, uint16_t opacity,
                 const kzm::Blend& b);
void BlendPixelsMasked(PixelRGBA* dst, PixelRGBA* dstEnd, const PixelRGBA* src, uint16_t opacity,
                       const uint16_t* mask, const kzm::Blend& b);
void BlendColorMasked(PixelRGBA* dst, PixelRGBA* dstEnd, const PixelRGBA& src, uint16_t opacity,
                      const uint16_t* mask, const kzm::Blend& b);

// The three forms whose destination is a fill value: out (64 pixels) is first
// filled with `fill`, then blended as above.
void BlendPixelsFromFill(PixelRGBA* out64, const PixelRGBA& fill, const PixelRGBA* src,
                         uint16_t opacity, const kzm::Blend& b);
void BlendPixelsMaskedFromFill(PixelRGBA* out64, const PixelRGBA& fill, const PixelRGBA* src,
                               uint16_t opacity, const uint16_t* mask, const kzm::Blend& b);
void BlendColorMaskedFromFill(PixelRGBA* out64, const PixelRGBA& fill, const PixelRGBA& src,
                              uint16_t opacity, const uint16_t* mask, const kzm::Blend& b);

// Builds the shared tables (the reciprocal table); call before blending on
// more than one thread. Safe to call more than once.
void InitBlendTables();

}  // namespace blend
