#include "convert/layer_mapping.h"

#include <algorithm>
#include <cstring>

#include "blend/modes.h"

namespace {

constexpr uint32_t kClipped = kzm::Blend::clip_dsta | kzm::Blend::lockdonly;

}  // namespace

kzm::ImageProperties PropertiesOfRecord(const iio::layer_param_t& record) {
  kzm::ImageProperties p;
  p.name = record.name;
  p.named = !record.name.empty();
  const uint8_t mode = blend::ColorModeForPsdKey(record.blendKey.data());
  p.blend.word0 = mode | (record.clipping ? kClipped : 0u);
  p.blend.word1 = ((mode >= 1 && mode <= 21) || (mode >= 50 && mode <= 53)) ? kzm::Blend::kAlphaModulate : 0u;
  p.visible = record.visible;
  p.planeLock = record.lockPixels || record.lockAll;
  p.alphaLock = record.lockTransparency || record.lockAll;
  p.opacity = uint16_t((uint32_t(record.opacity) * kUnit + 254u) / 255u);
  return p;
}

iio::layer_param_t RecordOfProperties(const kzm::ImageProperties& props) {
  iio::layer_param_t r;
  r.name = props.name;
  std::memcpy(r.blendKey.data(), blend::PsdKeyForColorMode(props.blend.ColorMode()), 4);
  r.clipping = (props.blend.word0 & kClipped) == kClipped ? 1 : 0;
  r.opacity = uint8_t((std::min<uint32_t>(props.opacity, kUnit) * 255u) >> 14);
  r.visible = props.visible;
  r.lockPixels = props.planeLock;
  r.lockTransparency = props.alphaLock;
  return r;
}
