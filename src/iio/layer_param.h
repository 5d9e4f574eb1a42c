// One PSD layer's properties in the format's own terms, as the reader hands
// them out and the writer takes them: the blend key, the opacity and
// clipping bytes, visibility and the locks as the file stores them. What
// they mean for a document's layer is decided above this library
// (convert/layer_mapping.h).
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace iio {

// A blend mode key: four characters ("norm", "mul ", ...).
using PsdBlendKey = std::array<char, 4>;
constexpr PsdBlendKey kPsdNormalKey{{'n', 'o', 'r', 'm'}};

// Group marker ("lsct") of a layer record.
struct folder_info_t {
  static constexpr uint32_t kOpenFolder = 1;
  static constexpr uint32_t kClosedFolder = 2;
  static constexpr uint32_t kEndOfFolder = 3;

  uint32_t sectionType = 0;
  bool hasBlendKey = false;              // the marker carried the group's own blend key
  PsdBlendKey blendKey = kPsdNormalKey;  // that key ("norm" without one)
};

struct layer_param_t {
  PsdBlendKey blendKey = kPsdNormalKey;
  uint8_t opacity = 255;  // 0 .. 255
  uint8_t clipping = 0;   // 0: a base; otherwise clipped to the base below
  std::string name;       // UTF-8

  // Shown: the record's hidden flag is clear and (as read) no group around
  // it is hidden.
  uint8_t visible = 1;
  // Locks: transparency (the record's flag; the "lspf" block's bit 0 where
  // there is one), image pixels, position and everything ("lspf" bits 1, 2
  // and 31).
  uint8_t lockTransparency = 0;
  uint8_t lockPixels = 0;
  uint8_t lockPosition = 0;
  uint8_t lockAll = 0;
  uint8_t pixelsIrrelevant = 0;  // the record carries no layer pixels

  uint32_t channelCount = 4;
  uint32_t depth = 8;

  // Canvas pixels; right and bottom exclusive.
  int32_t left = 0, top = 0, right = 0, bottom = 0;

  // User layer mask: flags, default colour and the rectangle as stored in
  // the file (canvas pixels; all zero when the layer has none).
  uint8_t maskRelative = 1;
  uint8_t maskEnabled = 1;
  uint8_t maskInverted = 0;
  uint8_t maskDefault = 0;
  int32_t maskLeft = 0, maskTop = 0, maskRight = 0, maskBottom = 0;

  std::shared_ptr<folder_info_t> folder;  // null for a plain layer

  int64_t Width() const { return right > left ? int64_t(right) - left : 0; }
  int64_t Height() const { return bottom > top ? int64_t(bottom) - top : 0; }
};

}  // namespace iio
