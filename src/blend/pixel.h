// Pixel formats shared by the model, the kernels and the file formats.
#pragma once
#include <cstdint>
#include <cstring>

// 16-bit premultiplied RGBA; 16384 (kUnit) stands for 1.0.
struct PixelRGBA {
  uint16_t r, g, b, a;

  uint64_t Word() const {
    uint64_t w;
    std::memcpy(&w, this, sizeof w);
    return w;
  }
  friend bool operator==(const PixelRGBA& x, const PixelRGBA& y) { return x.Word() == y.Word(); }
  friend bool operator!=(const PixelRGBA& x, const PixelRGBA& y) { return !(x == y); }
};
static_assert(sizeof(PixelRGBA) == 8, "PixelRGBA is stored as 8 bytes");

// One coverage value with the same unit.
using PixelGray = uint16_t;

constexpr uint32_t kUnit = 16384;

// 8-bit RGBA packed in a 32-bit word (byte 0 red .. byte 3 transparency) to
// the model's premultiplied 16-bit form: widens and premultiplies at once.
inline PixelRGBA PixelFrom8(uint32_t packed) {
  const uint32_t r = packed & 0xFF, g = (packed >> 8) & 0xFF, b = (packed >> 16) & 0xFF,
                 a = packed >> 24;
  return PixelRGBA{uint16_t((r * a * 33026u) >> 17), uint16_t((g * a * 33026u) >> 17),
                   uint16_t((b * a * 33026u) >> 17), uint16_t((a * 16449u) >> 8)};
}

// Straight 16-bit RGBA packed in a 64-bit word (bits 0-15 red .. 48-63
// transparency, 0..65535, as 16-bit PSD files hold it) to the model's form,
// rounded: alpha round(a * 16384 / 65535), then colour round(c * alpha /
// 65535), which cannot exceed alpha.
inline PixelRGBA PixelFrom16(uint64_t packed) {
  const uint32_t r = uint32_t(packed & 0xFFFF), g = uint32_t(packed >> 16 & 0xFFFF),
                 b = uint32_t(packed >> 32 & 0xFFFF), a = uint32_t(packed >> 48);
  const uint32_t al = (a * 32768u + 65535u) / 131070u;
  return PixelRGBA{uint16_t((2 * r * al + 65535u) / 131070u), uint16_t((2 * g * al + 65535u) / 131070u),
                   uint16_t((2 * b * al + 65535u) / 131070u), uint16_t(al)};
}

// The model's form to straight 16-bit RGBA packed as PixelFrom16 takes it,
// which maps it back exactly: alpha round(al * 65535 / 16384), colour
// round(c * 65535 / al), with al the alpha and c the colour clamped to the
// valid range (al up to 16384, c up to al). An alpha step is four 16-bit
// steps and a colour step 65535 / al of them, so each lands within an eighth
// of a step of its model value. A transparent pixel is 0.
inline uint64_t PixelTo16(const PixelRGBA& p) {
  const uint32_t al = p.a < kUnit ? p.a : kUnit;
  if (al == 0) return 0;
  // c * 131070 stays below 2^31.
  auto colour = [al](uint32_t c) -> uint64_t {
    c = c < al ? c : al;
    return al == kUnit ? (c * 131070u + kUnit) >> 15 : (c * 131070u + al) / (2 * al);
  };
  return colour(p.r) | colour(p.g) << 16 | colour(p.b) << 32 | uint64_t((al * 131070u + kUnit) >> 15) << 48;
}
