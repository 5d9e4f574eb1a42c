#include "api/pixels.h"

#include <cstring>

#include "blend/fixed.h"
#include "yvn2psd.h"

namespace api {

size_t PixelBytes(int form) {
  switch (form) {
    case YVN2PSD_PIXEL_RGBA8:
      return 4;
    case YVN2PSD_PIXEL_RGBA16:
    case YVN2PSD_PIXEL_RGBA16_PREMULTIPLIED:
      return 8;
    default:
      return 0;
  }
}

void CellsToForm(const PixelRGBA* cells, size_t n, int form, void* out) {
  switch (form) {
    case YVN2PSD_PIXEL_RGBA8: {
      const uint32_t* recip = blend::ReciprocalTable();
      auto* o = static_cast<uint8_t*>(out);
      for (size_t i = 0; i < n; ++i) {
        const uint32_t v = blend::PixelTo8(cells[i], recip);
        o[4 * i] = uint8_t(v), o[4 * i + 1] = uint8_t(v >> 8), o[4 * i + 2] = uint8_t(v >> 16),
                  o[4 * i + 3] = uint8_t(v >> 24);
      }
      break;
    }
    case YVN2PSD_PIXEL_RGBA16: {
      auto* o = static_cast<uint16_t*>(out);
      for (size_t i = 0; i < n; ++i) {
        const uint64_t v = PixelTo16(cells[i]);
        for (int c = 0; c < 4; ++c) o[4 * i + size_t(c)] = uint16_t(v >> (16 * c));
      }
      break;
    }
    case YVN2PSD_PIXEL_RGBA16_PREMULTIPLIED:
      std::memcpy(out, cells, n * sizeof(PixelRGBA));
      break;
    default:
      break;
  }
}

void FormToCells(const void* in, size_t n, int form, PixelRGBA* cells) {
  switch (form) {
    case YVN2PSD_PIXEL_RGBA8: {
      const auto* p = static_cast<const uint8_t*>(in);
      for (size_t i = 0; i < n; ++i)
        cells[i] = PixelFrom8(uint32_t(p[4 * i]) | uint32_t(p[4 * i + 1]) << 8 | uint32_t(p[4 * i + 2]) << 16 |
                              uint32_t(p[4 * i + 3]) << 24);
      break;
    }
    case YVN2PSD_PIXEL_RGBA16: {
      const auto* p = static_cast<const uint16_t*>(in);
      for (size_t i = 0; i < n; ++i)
        cells[i] = PixelFrom16(uint64_t(p[4 * i]) | uint64_t(p[4 * i + 1]) << 16 | uint64_t(p[4 * i + 2]) << 32 |
                               uint64_t(p[4 * i + 3]) << 48);
      break;
    }
    case YVN2PSD_PIXEL_RGBA16_PREMULTIPLIED: {
      const auto* p = static_cast<const uint16_t*>(in);
      for (size_t i = 0; i < n; ++i) {
        // Clamped into a valid cell: alpha up to 1.0, colour up to alpha.
        const uint16_t a = p[4 * i + 3] < kUnit ? p[4 * i + 3] : uint16_t(kUnit);
        auto c = [a](uint16_t v) { return v < a ? v : a; };
        cells[i] = PixelRGBA{c(p[4 * i]), c(p[4 * i + 1]), c(p[4 * i + 2]), a};
      }
      break;
    }
    default:
      break;
  }
}

}  // namespace api
