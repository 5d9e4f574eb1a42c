// The merged image the program writes: equal to a slow, literal evaluation
// of the layer stack pixel by pixel, and, for the modes whose formulas the
// readers share, to psd-tools' own composition of the written layers.
#include <gtest/gtest.h>

#include <cmath>

#include "blend/blend_desc.h"
#include "blend/modes.h"
#include "support/psd.h"
#include "support/reference.h"

namespace ts {
namespace {

uint32_t Hash(uint32_t x) {
  x ^= x >> 16, x *= 0x7feb352d, x ^= x >> 15, x *= 0x846ca68b, x ^= x >> 16;
  return x;
}

// Opaque, transparent, faint and soft pixels with extreme and middle colours.
uint32_t Pixel8(uint32_t seed) {
  const uint32_t h = Hash(seed), k = h % 16;
  const uint32_t a = k < 8 ? 255 : k == 8 ? 0 : k == 9 ? 1 + h % 20 : 32 + (h >> 8) % 224;
  uint32_t c[3];
  for (int i = 0; i < 3; ++i) {
    const uint32_t g = Hash(seed * 3 + uint32_t(i) + 0x9e3779b9u), m = g % 8;
    c[i] = m == 0 ? 0 : m == 1 ? 255 : m == 2 ? 128 : (g >> 8) % 256;
  }
  return Rgba(c[0], c[1], c[2], a);
}

class Compose : public ProgramTest {
 protected:
  // The source through the program to a PSD whose merged image the program composed.
  PsdFile Merged(const std::string& psd) {
    WriteFile(dir / "s.psd", psd);
    EXPECT_EQ(RunProgram(dir.path(), {"-q", "-W", "s.psd"}).out, "");
    EXPECT_EQ(RunProgram(dir.path(), {"-q", "-W", "s.yvn", "m.psd"}).out, "");
    return ReadPsd(ReadFile(dir / "m.psd"));
  }
  // The merged image the program writes for `s` against the stack evaluated pixel by pixel.
  void ExpectStackEvaluated(const PsdSpec& s);
};

void Compose::ExpectStackEvaluated(const PsdSpec& s) {
  const int32_t w = int32_t(s.width), h = int32_t(s.height);
  const PsdFile src = ReadPsd(BuildPsd(s));
  ASSERT_EQ(src.error, 0);
  const PsdFile fin = Merged(BuildPsd(s));
  ASSERT_EQ(fin.error, 0);
  const Image& merged = fin.images.back();
  int bad = 0;
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      // Bottom to top, each layer as a native one: its key's mode, "modulate",
      // the least opacity that writes back as its byte; a clipped one scaled
      // and masked by its clip base (the nearest layer below not clipped).
      PixelRGBA acc{0, 0, 0, 0};
      uint16_t baseAlpha = 0;
      for (const Image& layer : src.images) {
        const bool clipped = layer.p.clipping != 0;
        if (!clipped) baseAlpha = layer.p.visible ? Widen8(layer.At(x, y)).a : 0;
        if (!layer.p.visible) continue;
        uint32_t opacity = (uint32_t(layer.p.opacity) * 16384 + 254) / 255;
        if (clipped) opacity = (opacity * baseAlpha) >> 14;
        const uint32_t word0 = blend::ColorModeForPsdKey(layer.p.blendKey.data()) |
                               (clipped ? kzm::Blend::clip_dsta | kzm::Blend::lockdonly : 0u);
        acc = blendref::Blend(acc, Widen8(layer.At(x, y)), opacity, word0, kzm::Blend::kAlphaModulate);
      }
      const uint32_t want = Unmatte(MatteOnWhite(Narrow8(acc))), got = merged.At(x, y);
      if (want != got && ++bad <= 5)
        ADD_FAILURE() << "(" << x << ", " << y << "): " << std::hex << got << " for the stack's " << want;
    }
  }
  EXPECT_EQ(bad, 0);
}

TEST_F(Compose, MergedImageEqualsTheStackEvaluatedPixelByPixel) {
  // Each mode that writes a key of its own, at partial opacities, some
  // hidden, off the canvas or clipped to the layer below.
  std::vector<uint8_t> modes{1};
  for (int id = 2; id < 256; ++id)
    if (blend::ColorModeName(uint8_t(id)) && std::string(blend::PsdKeyForColorMode(uint8_t(id)), 4) != "norm")
      modes.push_back(uint8_t(id));
  const int count = int(modes.size());
  uint32_t seed = 1;
  // An opaque base of W x H pixels (kept in `base`), then each mode once in
  // a 24 x 20 layer at a place within the spans that the salts pick.
  auto stack = [&](int32_t W, int32_t H, uint32_t spanX, uint32_t spanY, uint32_t saltX, uint32_t saltY,
                   std::vector<uint32_t>& base) {
    PsdSpec s;
    s.width = uint32_t(W), s.height = uint32_t(H);
    base.assign(size_t(W) * size_t(H), 0);
    for (uint32_t& p : base) p = Pixel8(seed++) | 0xFF000000u;
    s.layers.push_back(RgbaLayer(0, 0, W, H, base, "base"));
    for (int i = 0; i < count; ++i) {
      const int32_t l = int32_t(Hash(uint32_t(i) + saltX) % spanX) - 8;
      const int32_t t = int32_t(Hash(uint32_t(i) + saltY) % spanY) - 6;
      std::vector<uint32_t> px(24 * 20);
      for (uint32_t& p : px) p = Pixel8(seed++);
      LayerSpec layer = RgbaLayer(l, t, l + 24, t + 20, px, blend::ColorModeName(modes[size_t(i)]));
      layer.key = blend::PsdKeyForColorMode(modes[size_t(i)]);
      layer.opacity = uint8_t(i % 3 ? 255 : 90 + i * 5);
      layer.flags = uint8_t(8 | (i % 7 == 3 ? 2 : 0));  // hidden
      layer.clipping = i % 6 == 2;
      s.layers.push_back(layer);
    }
    return s;
  };
  const int32_t w = 48, h = 40;
  std::vector<uint32_t> base, wide;
  PsdSpec s = stack(w, h, 40, 30, 0, 99, base);
  ExpectStackEvaluated(s);
  // Over 3 x 2 tiles: layers have tiles where only some others have content,
  // and the bottom one is written and let go of in two bands.
  ExpectStackEvaluated(stack(300, 200, 290, 190, 7, 77, wide));
  // A layer clipped to the bottom one, which has transparent and soft
  // pixels, shows only where that one does.
  for (size_t i = 0; i < base.size(); ++i) base[i] = (base[i] & 0xFFFFFFu) | Hash(uint32_t(i)) % 3 * 120 << 24;
  std::vector<uint32_t> top(base.size());
  for (uint32_t& p : top) p = Pixel8(seed++);
  s.layers = {RgbaLayer(0, 0, w, h, base, "base"), RgbaLayer(0, 0, w, h, top, "clipped")};
  s.layers[1].clipping = 1;
  ExpectStackEvaluated(s);
}

TEST_F(Compose, ModesWithSharedFormulasComposeAsPsdToolsDoes) {
  if (!HavePsdTools()) GTEST_SKIP() << "python3-psd-tools is not installed for /usr/bin/python3";
  // One strip per mode over the same base: each mode meets the same pairs.
  // Soft light, vivid light, darken and lighten, the hue modes and the ones
  // without a kernel differ between readers by design (see README).
  const std::vector<std::string> keys = {"mul ", "lddg", "fsub", "scrn", "over", "dkCl", "lgCl", "hLit",
                                         "lLit", "pLit", "div ", "idiv", "lbrn", "diff", "smud"};
  const int32_t w = 64, strip = 8, h = strip * int32_t(keys.size());
  PsdSpec s;
  s.width = w, s.height = h;
  std::vector<uint32_t> base(size_t(w * h));
  for (size_t i = 0; i < base.size(); ++i) base[i] = Pixel8(uint32_t(i % size_t(w * strip)));
  s.layers.push_back(RgbaLayer(0, 0, w, h, base, "base"));
  for (size_t k = 0; k < keys.size(); ++k) {
    std::vector<uint32_t> px(size_t(w * strip));
    for (size_t i = 0; i < px.size(); ++i) px[i] = Pixel8(uint32_t(i) + (1u << 20));
    s.layers.push_back(RgbaLayer(0, int32_t(k) * strip, w, int32_t(k + 1) * strip, px, keys[k]));
    s.layers.back().key = keys[k];
  }
  Merged(BuildPsd(s));
  const PsdToolsFile ref = PsdTools(dir / "m.psd", true);
  ASSERT_TRUE(ref.ok);
  ASSERT_EQ(ref.composed.size(), size_t(w * h));
  ASSERT_EQ(ref.topil.size(), size_t(w * h));
  for (size_t k = 0; k < keys.size(); ++k) {
    double premul = 0, alpha = 0, straight = 0;
    for (size_t i = size_t(k) * size_t(w * strip); i < size_t(k + 1) * size_t(w * strip); ++i) {
      const uint32_t ours = ref.topil[i], theirs = ref.composed[i];
      const double oa = (ours >> 24) / 255.0, ta = (theirs >> 24) / 255.0;
      alpha = std::max(alpha, std::fabs(oa - ta) * 255);
      for (int c = 0; c < 24; c += 8) {
        const double oc = (ours >> c & 0xFF) / 255.0, tc = (theirs >> c & 0xFF) / 255.0;
        premul = std::max(premul, std::fabs(oc * oa - tc * ta) * 255);
        if (oa >= 0.5 && ta >= 0.5) straight = std::max(straight, std::fabs(oc - tc) * 255);
      }
    }
    EXPECT_LE(premul, 3.0) << keys[k];
    EXPECT_LE(alpha, 2.0) << keys[k];
    EXPECT_LE(straight, 3.0) << keys[k];
  }
}

}  // namespace
}  // namespace ts
