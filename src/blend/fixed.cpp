#include "blend/fixed.h"

#include <memory>

namespace blend {

const uint32_t* ReciprocalTable() {
  // A function-local static is built exactly once even under concurrent first use.
  static const std::unique_ptr<uint32_t[]> table = [] {
    std::unique_ptr<uint32_t[]> r(new uint32_t[65536]);
    r[0] = 0;
    for (uint32_t a = 1; a < 65536; ++a) r[a] = 0xFF005800u / a;
    return r;
  }();
  return table.get();
}

PixelRGBA unpremul(const PixelRGBA& p) {
  if (p.a == 0) return PixelRGBA{0, 0, 0, 0};
  if (p.a == kUnit) return p;
  const uint32_t r = ReciprocalTable()[p.a];
  return PixelRGBA{uint16_t((p.r * r + 0xFF0000u) >> 18), uint16_t((p.g * r + 0xFF0000u) >> 18),
                   uint16_t((p.b * r + 0xFF0000u) >> 18), uint16_t(kUnit)};
}

}  // namespace blend
