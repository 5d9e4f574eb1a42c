// One PSD layer's properties as the reader hands them out and the writer
// takes them.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "blend/blend_desc.h"

namespace iio {

// Group marker ("lsct") of a layer record.
struct folder_info_t {
  static constexpr uint32_t kOpenFolder = 1;
  static constexpr uint32_t kClosedFolder = 2;
  static constexpr uint32_t kEndOfFolder = 3;

  uint32_t sectionType = 0;
  bool hasBlendKey = false;  // the record carried the group's own blend key
  kzm::Blend blend;          // the group's blend mode (normal without a key)
};

struct layer_param_t {
  kzm::Blend blend;   // colour mode 1, alpha mode 4 for a new record
  std::string name;   // UTF-8

  uint8_t visible = 1;
  uint8_t planeLock = 0;
  uint8_t alphaLock = 0;
  uint8_t lockPosition = 0;
  uint8_t lockAll = 0;
  uint8_t pixelsIrrelevant = 0;  // reader: records that carry no layer pixels

  uint16_t opacity = 16384;  // 0 .. 16384
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
