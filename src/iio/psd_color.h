// Colour conversion of PSD channel samples to straight RGBA, for every
// colour mode and depth of the format.
//
// Samples: 8-bit values v become v * 257 in 16 bits; 16-bit ones are taken
// as they are; 32-bit ones are linear floating-point light, clamped to
// [0, 1] and encoded with the sRGB transfer curve (how such files are
// displayed); transparency and masks stay linear at every depth. Modes:
// - bitmap: 1 bit per pixel, 1 black and 0 white; no transparency.
// - grayscale, duotone (its gray data) and multichannel (its first
//   channel): gray.
// - indexed: the palette of the colour-mode data (768 bytes: 256 reds,
//   then greens, then blues); the index named by image resource 1047, when
//   below 256, is transparent.
// - RGB.
// - CMYK, stored inverted (255 or 65535 is no ink): with an embedded CMYK
//   profile (image resource 1039) converted by LittleCMS 2, perceptual
//   intent, to sRGB; otherwise R = (1 - C)(1 - K), G and B likewise, on ink
//   amounts in [0, 1].
// - Lab (8 bits: L 0..255 for 0..100, a and b 128 for 0; 16 bits: L
//   0..65535, a and b 32768 for 0 and 256 steps per unit): from D50 to sRGB
//   by LittleCMS's built-in Lab profile, or by the fixed formula (Bradford
//   adaptation, sRGB curve) in builds without LittleCMS.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace iio {

enum PsdColorMode : uint16_t {
  kPsdBitmap = 0,
  kPsdGray = 1,
  kPsdIndexed = 2,
  kPsdRGB = 3,
  kPsdCMYK = 4,
  kPsdMultichannel = 7,
  kPsdDuotone = 8,
  kPsdLab = 9,
};

// Straight 16-bit RGBA packed in a 64-bit word: bits 0-15 red, 16-31 green,
// 32-47 blue, 48-63 transparency.
inline uint64_t Pack16(uint64_t r, uint64_t g, uint64_t b, uint64_t a) { return r | g << 16 | b << 32 | a << 48; }

// Whether a colour mode goes with a depth: bitmap is 1 bit, indexed 8, the
// others 8, 16 or 32.
bool PsdModeAndDepthFit(uint16_t mode, uint16_t depth);

// Image resource `id` in an image resources section (blocks of "8BIM", id,
// padded Pascal name, 32-bit length, data padded to even length): true with
// its data when present and whole.
bool FindPsdResource(const uint8_t* section, size_t size, uint16_t id, const uint8_t** data, size_t* length);

// The conversion of one file, set up once from its header, colour-mode data
// and image resources. The conversions change nothing but the caller's
// scratch, so several threads may convert at once.
class PsdColor {
 public:
  PsdColor();
  ~PsdColor();
  PsdColor(PsdColor&&) noexcept;
  PsdColor& operator=(PsdColor&&) noexcept;

  // False for a mode or depth that cannot go together (bitmap is 1 bit, the
  // others 8, 16 or 32; indexed is 8 bits) and for an indexed file without
  // a whole palette. With `manage` off, CMYK and Lab use the fixed formulas
  // even where LittleCMS is there. A profile that LittleCMS cannot use
  // (damaged, not CMYK) leaves CMYK to the formula.
  bool Init(uint16_t mode, uint16_t depth, const uint8_t* colorData, size_t colorSize, const uint8_t* resources,
            size_t resourcesSize, bool manage = true);

  uint16_t Mode() const;
  uint16_t Depth() const;
  // Colour planes a conversion reads: 1, 3 (RGB, Lab) or 4 (CMYK).
  uint32_t ColorChannels() const;
  // Every value the 16-bit conversion gives is a multiple of 257 (1- and
  // 8-bit sources of every mode but CMYK and Lab): such sources convert to
  // 8 bits instead, losing nothing.
  bool Exact8() const;
  // A LittleCMS transform does the conversion.
  bool Managed() const;

  struct Scratch {
    std::vector<uint16_t> planes;
    std::vector<uint16_t> rgb;
    std::vector<double> lab;
  };
  // One row of `width` pixels: planes[0 .. ColorChannels()) are the colour
  // channels' rows as stored, `alpha` the transparency's row or null
  // (opaque; ignored in bitmap mode). To packed straight 16-bit RGBA.
  void ConvertRow(const uint8_t* const* planes, const uint8_t* alpha, uint32_t width, Scratch& scratch,
                  uint64_t* out) const;
  // Where Exact8(): the same in packed 8-bit RGBA (byte 0 red .. byte 3
  // transparency).
  void ConvertRow8(const uint8_t* const* planes, const uint8_t* alpha, uint32_t width, uint32_t* out) const;
  // A row of transparency or mask samples as stored, linear, to 16 bits.
  void Linear16(const uint8_t* row, uint32_t width, uint16_t* out) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace iio
