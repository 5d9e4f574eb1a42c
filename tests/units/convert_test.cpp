// The conversions' own steps below the program: layer properties mapped
// between PSD records and native layers.
#include <gtest/gtest.h>

#include <string>

#include "blend/modes.h"
#include "convert/layer_mapping.h"

namespace {

using iio::layer_param_t;
using kzm::Blend;
using kzm::ImageProperties;

std::string Key(const iio::PsdBlendKey& key) { return std::string(key.data(), 4); }

layer_param_t RecordWithKey(const char* key) {
  layer_param_t r;
  for (int i = 0; i < 4; ++i) r.blendKey[size_t(i)] = key[i];
  return r;
}

// An opacity byte reads as the smallest native opacity that writes back as
// that byte; a native opacity writes as the byte below it (above 16384 as
// 255).
TEST(LayerMapping, OpacityBytesAndNativeOpacitiesMapBothWays) {
  layer_param_t r;
  for (uint32_t b = 0; b < 256; ++b) {
    r.opacity = uint8_t(b);
    const uint16_t o = PropertiesOfRecord(r).opacity;
    ASSERT_EQ(o, (b * 16384 + 254) / 255) << b;
    ImageProperties p;
    p.opacity = o;
    ASSERT_EQ(RecordOfProperties(p).opacity, b) << b;
    if (b == 0) continue;
    p.opacity = uint16_t(o - 1);
    ASSERT_EQ(RecordOfProperties(p).opacity, b - 1) << b;
  }
  ImageProperties p;
  for (uint32_t o = 0; o <= 65535; ++o) {
    p.opacity = uint16_t(o);
    ASSERT_EQ(RecordOfProperties(p).opacity, (std::min(o, 16384u) * 255) >> 14) << o;
  }
}

// Keys read as the table's modes, alpha mode "modulate"; a mode writes its
// table key ("norm" for one without a kernel of its own). The clipping
// byte, whatever its value, clips to the base and masks by it; only a layer
// both clipped and masked writes it, as 1.
TEST(LayerMapping, KeysAndClippingMapBothWays) {
  for (const char* key : {"norm", "mul ", "scrn", "diss", "lum ", "hMix", "xxxx"}) {
    SCOPED_TRACE(key);
    layer_param_t r = RecordWithKey(key);
    for (int clipping : {0, 1, 2, 255}) {
      r.clipping = uint8_t(clipping);
      const Blend b = PropertiesOfRecord(r).blend;
      EXPECT_EQ(b.ColorMode(), blend::ColorModeForPsdKey(key));
      EXPECT_EQ(b.Flags(), clipping ? Blend::clip_dsta | Blend::lockdonly : 0u);
      EXPECT_EQ(b.AlphaMode(), Blend::kAlphaModulate);
    }
  }
  for (uint32_t mode = 0; mode < 256; ++mode) {
    if (!blend::ColorModeName(uint8_t(mode))) continue;
    ImageProperties p;
    for (uint32_t flags : {0u, Blend::clip_dsta, Blend::lockdonly, Blend::clip_dsta | Blend::lockdonly,
                           Blend::clip_dsta | Blend::lockdonly | Blend::lock_a___}) {
      p.blend.word0 = mode | flags;
      const layer_param_t r = RecordOfProperties(p);
      EXPECT_EQ(Key(r.blendKey), std::string(blend::PsdKeyForColorMode(uint8_t(mode)), 4)) << mode;
      EXPECT_EQ(r.clipping, (flags & (Blend::clip_dsta | Blend::lockdonly)) == (Blend::clip_dsta | Blend::lockdonly))
          << mode << " " << flags;
    }
  }
}

// "Lock all" locks both the pixels and the transparency; the position lock
// has no native counterpart. Native locks write as the PSD's two.
TEST(LayerMapping, LocksVisibilityAndNamesMapBothWays) {
  for (int bits = 0; bits < 16; ++bits) {
    layer_param_t r;
    r.lockTransparency = bits & 1, r.lockPixels = bits >> 1 & 1, r.lockPosition = bits >> 2 & 1, r.lockAll = bits >> 3;
    r.visible = bits & 1;
    r.name = bits ? "layer \xC3\xA9" : "";
    const ImageProperties p = PropertiesOfRecord(r);
    EXPECT_EQ(p.alphaLock, (bits & 1) || (bits & 8) ? 1 : 0) << bits;
    EXPECT_EQ(p.planeLock, (bits & 2) || (bits & 8) ? 1 : 0) << bits;
    EXPECT_EQ(p.visible, bits & 1) << bits;
    EXPECT_EQ(p.name, r.name);
    EXPECT_EQ(p.named, bits != 0);
    EXPECT_EQ(p.defaultPixel.Word(), 0u);
  }
  for (int bits = 0; bits < 8; ++bits) {
    ImageProperties p;
    p.alphaLock = bits & 1, p.planeLock = bits >> 1 & 1, p.visible = bits >> 2;
    p.name = "n" + std::to_string(bits);
    const layer_param_t r = RecordOfProperties(p);
    EXPECT_EQ(r.lockTransparency, bits & 1) << bits;
    EXPECT_EQ(r.lockPixels, bits >> 1 & 1) << bits;
    EXPECT_EQ(r.lockPosition, 0);
    EXPECT_EQ(r.lockAll, 0);
    EXPECT_EQ(r.visible, bits >> 2) << bits;
    EXPECT_EQ(r.name, p.name);
    EXPECT_EQ(r.pixelsIrrelevant, 0);
    EXPECT_FALSE(r.folder);
  }
}

}  // namespace
