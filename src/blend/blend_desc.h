// A layer's blend settings: colour mode id and flags in word 0, alpha mode in word 1.
#pragma once
#include <cstdint>

namespace kzm {

struct Blend {
  static constexpr uint32_t lock_a___ = 0x8000;   // keep the destination's alpha
  static constexpr uint32_t clip_dsta = 0x10000;  // clip to the destination's alpha
  static constexpr uint32_t lockdonly = 0x20000;  // masked by the clip base

  static constexpr uint32_t kModeNormal = 1;
  static constexpr uint32_t kAlphaModulate = 4;

  uint32_t word0 = kModeNormal;
  uint32_t word1 = kAlphaModulate;

  uint8_t ColorMode() const { return uint8_t(word0 & 0xFF); }
  uint32_t Flags() const { return word0 & 0xFFFFFF00u; }
  uint32_t AlphaMode() const { return word1; }
};

}  // namespace kzm
