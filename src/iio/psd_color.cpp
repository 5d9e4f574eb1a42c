#include "iio/psd_color.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(YVN_HAVE_LCMS)
#include <lcms2.h>
#endif

#include "iio/psd_bytes.h"

namespace iio {

bool FindPsdResource(const uint8_t* section, size_t size, uint16_t id, const uint8_t** data, size_t* length) {
  size_t at = 0;
  // Signature, id, the shortest name (2 bytes) and the length: 12 bytes.
  while (size - at >= 12) {
    const uint8_t* p = section + at;
    if (!KeyIs(p, "8BIM") && !KeyIs(p, "MeSa") && !KeyIs(p, "AgHg") && !KeyIs(p, "PHUT") && !KeyIs(p, "DCSR"))
      return false;
    // The name's length byte and characters, padded to an even count.
    const size_t name = (size_t(p[6]) + 2) & ~size_t(1);
    if (size - at - 6 < name + 4) return false;
    const size_t len = LoadBe32(p + 6 + name);
    const size_t start = at + 6 + name + 4;
    if (len > size - start) return false;
    if (LoadBe16(p + 4) == id) {
      *data = section + start;
      *length = len;
      return true;
    }
    at = start + len;
    if (len & 1) {
      if (at == size) break;
      ++at;
    }
  }
  return false;
}

namespace {

constexpr size_t kPalette = 768;

float FloatBe(const uint8_t* p) {
  const uint32_t bits = LoadBe32(p);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// Linear light in [0, 1] (clamped; NaN is 0) to 16 bits, sRGB-encoded or not.
uint16_t FromLinear(double x, bool encode) {
  if (!(x > 0)) return 0;
  if (x >= 1) return 65535;
  if (encode) x = x <= 0.0031308 ? 12.92 * x : 1.055 * std::pow(x, 1 / 2.4) - 0.055;
  return uint16_t(x * 65535 + 0.5);
}

// One plane's row as 16-bit values; `encode`: 32-bit light gets the sRGB curve.
void DecodePlane(const uint8_t* src, uint32_t w, uint16_t depth, bool encode, uint16_t* dst) {
  switch (depth) {
    case 1:  // 1 is black
      for (uint32_t x = 0; x < w; ++x) dst[x] = (src[x >> 3] & (0x80 >> (x & 7))) ? 0 : 65535;
      break;
    case 8:
      for (uint32_t x = 0; x < w; ++x) dst[x] = uint16_t(src[x] * 257u);
      break;
    case 16:
      for (uint32_t x = 0; x < w; ++x) dst[x] = LoadBe16(src + 2 * size_t(x));
      break;
    default:
      for (uint32_t x = 0; x < w; ++x) dst[x] = FromLinear(FloatBe(src + 4 * size_t(x)), encode);
      break;
  }
}

// Lab as stored to L in 0..100 and a, b around 0.
void DecodeLab(const uint8_t* const* p, uint32_t w, uint16_t depth, double* lab) {
  for (uint32_t x = 0; x < w; ++x) {
    double v[3];
    for (int c = 0; c < 3; ++c) {
      if (depth == 8) {
        v[c] = c == 0 ? p[0][x] * (100.0 / 255) : p[c][x] - 128.0;
      } else if (depth == 16) {
        const uint32_t u = LoadBe16(p[c] + 2 * size_t(x));
        v[c] = c == 0 ? u * (100.0 / 65535) : (double(u) - 32768) / 256;
      } else {
        const float f = FloatBe(p[c] + 4 * size_t(x));
        const double u = f > 0 ? (f < 1 ? f : 1) : 0;
        v[c] = c == 0 ? u * 100 : u * 256 - 128;
      }
    }
    std::memcpy(lab + 3 * size_t(x), v, sizeof v);
  }
}

// Lab (D50) to sRGB without a colour engine: CIE Lab to XYZ, XYZ to linear
// sRGB by the Bradford-adapted D50 matrix, then clamping and the sRGB curve.
void LabToRgbFormula(const double* lab, uint16_t rgb[3]) {
  const double fy = (lab[0] + 16) / 116, fx = fy + lab[1] / 500, fz = fy - lab[2] / 200;
  const auto inv = [](double t) { return t > 6.0 / 29 ? t * t * t : 3 * (6.0 / 29) * (6.0 / 29) * (t - 4.0 / 29); };
  const double X = 0.9642 * inv(fx), Y = inv(fy), Z = 0.8249 * inv(fz);
  static const double m[3][3] = {{3.1338561, -1.6168667, -0.4906146},
                                 {-0.9787684, 1.9161415, 0.0334540},
                                 {0.0719453, -0.2289914, 1.4052427}};
  for (int i = 0; i < 3; ++i) rgb[i] = FromLinear(m[i][0] * X + m[i][1] * Y + m[i][2] * Z, true);
}

}  // namespace

struct PsdColor::Impl {
  uint16_t mode = 0, depth = 0;
  uint8_t palette[kPalette] = {};
  int transparent = -1;  // indexed: the transparent index
#if defined(YVN_HAVE_LCMS)
  cmsHTRANSFORM xform = nullptr;
  ~Impl() {
    if (xform) cmsDeleteTransform(xform);
  }
#endif

  bool Managed() const {
#if defined(YVN_HAVE_LCMS)
    return xform != nullptr;
#else
    return false;
#endif
  }
  void SetUpTransform(const uint8_t* resources, size_t resourcesSize);
};

void PsdColor::Impl::SetUpTransform(const uint8_t* resources, size_t resourcesSize) {
#if defined(YVN_HAVE_LCMS)
  // Transforms are built without the one-pixel cache, the only state a
  // transform changes while it runs, so that threads may share them.
  if (mode == kPsdCMYK) {
    const uint8_t* icc;
    size_t iccSize;
    if (!FindPsdResource(resources, resourcesSize, 1039, &icc, &iccSize)) return;
    cmsHPROFILE in = cmsOpenProfileFromMem(icc, cmsUInt32Number(iccSize));
    if (!in) return;
    if (cmsGetColorSpace(in) == cmsSigCmykData) {
      cmsHPROFILE out = cmsCreate_sRGBProfile();
      if (out) {
        xform = cmsCreateTransform(in, TYPE_CMYK_16, out, TYPE_RGB_16, INTENT_PERCEPTUAL, cmsFLAGS_NOCACHE);
        cmsCloseProfile(out);
      }
    }
    cmsCloseProfile(in);
  } else if (mode == kPsdLab) {
    cmsHPROFILE in = cmsCreateLab4Profile(nullptr);  // D50
    cmsHPROFILE out = cmsCreate_sRGBProfile();
    if (in && out)
      xform = cmsCreateTransform(in, TYPE_Lab_DBL, out, TYPE_RGB_16, INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE);
    if (in) cmsCloseProfile(in);
    if (out) cmsCloseProfile(out);
  }
#else
  (void)resources, (void)resourcesSize;
#endif
}

PsdColor::PsdColor() = default;
PsdColor::~PsdColor() = default;
PsdColor::PsdColor(PsdColor&&) noexcept = default;
PsdColor& PsdColor::operator=(PsdColor&&) noexcept = default;

bool PsdModeAndDepthFit(uint16_t mode, uint16_t depth) {
  switch (mode) {
    case kPsdBitmap:
      return depth == 1;
    case kPsdIndexed:
      return depth == 8;
    case kPsdGray:
    case kPsdRGB:
    case kPsdCMYK:
    case kPsdMultichannel:
    case kPsdDuotone:
    case kPsdLab:
      return depth == 8 || depth == 16 || depth == 32;
    default:
      return false;
  }
}

bool PsdColor::Init(uint16_t mode, uint16_t depth, const uint8_t* colorData, size_t colorSize,
                    const uint8_t* resources, size_t resourcesSize, bool manage) {
  impl_.reset();
  if (!PsdModeAndDepthFit(mode, depth) || (mode == kPsdIndexed && colorSize < kPalette)) return false;
  std::unique_ptr<Impl> impl(new Impl);
  impl->mode = mode;
  impl->depth = depth;
  if (mode == kPsdIndexed) {
    std::memcpy(impl->palette, colorData, kPalette);
    const uint8_t* p;
    size_t n;
    if (FindPsdResource(resources, resourcesSize, 1047, &p, &n) && n >= 2 && LoadBe16(p) < 256)
      impl->transparent = LoadBe16(p);
  }
  if (manage) impl->SetUpTransform(resources, resourcesSize);
  impl_ = std::move(impl);
  return true;
}

uint16_t PsdColor::Mode() const { return impl_ ? impl_->mode : 0; }
uint16_t PsdColor::Depth() const { return impl_ ? impl_->depth : 0; }

uint32_t PsdColor::ColorChannels() const {
  if (!impl_) return 0;
  return impl_->mode == kPsdCMYK ? 4 : (impl_->mode == kPsdRGB || impl_->mode == kPsdLab) ? 3 : 1;
}

bool PsdColor::Exact8() const {
  return impl_ && impl_->depth <= 8 && impl_->mode != kPsdCMYK && impl_->mode != kPsdLab;
}

bool PsdColor::Managed() const { return impl_ && impl_->Managed(); }

void PsdColor::Linear16(const uint8_t* row, uint32_t width, uint16_t* out) const {
  DecodePlane(row, width, impl_->depth, false, out);
}

void PsdColor::ConvertRow(const uint8_t* const* planes, const uint8_t* alpha, uint32_t w, Scratch& s,
                          uint64_t* out) const {
  const Impl& d = *impl_;
  s.planes.resize(5 * size_t(w));
  uint16_t* c[4] = {s.planes.data(), s.planes.data() + w, s.planes.data() + 2 * size_t(w),
                    s.planes.data() + 3 * size_t(w)};
  uint16_t* a = s.planes.data() + 4 * size_t(w);
  if (alpha && d.mode != kPsdBitmap)
    DecodePlane(alpha, w, d.depth, false, a);
  else
    std::fill(a, a + w, uint16_t(65535));

  switch (d.mode) {
    case kPsdIndexed:
      for (uint32_t x = 0; x < w; ++x) {
        const uint8_t i = planes[0][x];
        out[x] = int(i) == d.transparent
                     ? 0
                     : Pack16(d.palette[i] * 257u, d.palette[256 + i] * 257u, d.palette[512 + i] * 257u, a[x]);
      }
      return;
    case kPsdRGB:
      for (int k = 0; k < 3; ++k) DecodePlane(planes[k], w, d.depth, true, c[k]);
      break;
    case kPsdCMYK:
      for (int k = 0; k < 4; ++k) DecodePlane(planes[k], w, d.depth, false, c[k]);
#if defined(YVN_HAVE_LCMS)
      if (d.xform) {
        // Ink amounts, interleaved, then RGB in their place.
        s.rgb.resize(7 * size_t(w));
        uint16_t *ink = s.rgb.data(), *rgb = ink + 4 * size_t(w);
        for (uint32_t x = 0; x < w; ++x)
          for (int k = 0; k < 4; ++k) ink[4 * size_t(x) + k] = uint16_t(65535 - c[k][x]);
        cmsDoTransform(d.xform, ink, rgb, w);
        for (uint32_t x = 0; x < w; ++x)
          for (int k = 0; k < 3; ++k) c[k][x] = rgb[3 * size_t(x) + k];
        break;
      }
#endif
      // Stored values are 1 - ink: R = (1 - C)(1 - K) is their product.
      for (uint32_t x = 0; x < w; ++x) {
        const uint32_t k = c[3][x];
        for (int i = 0; i < 3; ++i) c[i][x] = uint16_t((2 * uint64_t(c[i][x]) * k + 65535) / 131070);
      }
      break;
    case kPsdLab:
      s.lab.resize(3 * size_t(w));
      DecodeLab(planes, w, d.depth, s.lab.data());
#if defined(YVN_HAVE_LCMS)
      if (d.xform) {
        s.rgb.resize(3 * size_t(w));
        cmsDoTransform(d.xform, s.lab.data(), s.rgb.data(), w);
        for (uint32_t x = 0; x < w; ++x)
          for (int k = 0; k < 3; ++k) c[k][x] = s.rgb[3 * size_t(x) + k];
        break;
      }
#endif
      for (uint32_t x = 0; x < w; ++x) {
        uint16_t rgb[3];
        LabToRgbFormula(s.lab.data() + 3 * size_t(x), rgb);
        for (int k = 0; k < 3; ++k) c[k][x] = rgb[k];
      }
      break;
    default:  // one gray plane: bitmap, grayscale, duotone, multichannel
      DecodePlane(planes[0], w, d.depth, true, c[0]);
      c[1] = c[2] = c[0];
      break;
  }
  for (uint32_t x = 0; x < w; ++x) out[x] = Pack16(c[0][x], c[1][x], c[2][x], a[x]);
}

void PsdColor::ConvertRow8(const uint8_t* const* planes, const uint8_t* alpha, uint32_t w, uint32_t* out) const {
  const Impl& d = *impl_;
  const uint8_t* p = planes[0];
  const bool hasAlpha = alpha && d.mode != kPsdBitmap;
  for (uint32_t x = 0; x < w; ++x) {
    const uint32_t a = hasAlpha ? alpha[x] : 255u;
    if (d.mode == kPsdBitmap) {
      out[x] = (p[x >> 3] & (0x80 >> (x & 7))) ? 0xFF000000u : 0xFFFFFFFFu;
    } else if (d.mode == kPsdIndexed) {
      const uint8_t i = p[x];
      out[x] = int(i) == d.transparent ? 0u
                                       : uint32_t(d.palette[i]) | uint32_t(d.palette[256 + i]) << 8 |
                                             uint32_t(d.palette[512 + i]) << 16 | a << 24;
    } else if (d.mode == kPsdRGB) {
      out[x] = uint32_t(p[x]) | uint32_t(planes[1][x]) << 8 | uint32_t(planes[2][x]) << 16 | a << 24;
    } else {
      out[x] = uint32_t(p[x]) * 0x010101u | a << 24;
    }
  }
}

}  // namespace iio
