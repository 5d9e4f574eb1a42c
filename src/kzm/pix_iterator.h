// Random-access pixel reader over a plane's tiles and cells.
//
// Positions are layer positions as for Plane::Impl::PixelAt (the plane's
// offset is added). Works on images (their tile map) and folders (their merged
// tiles as they are; nothing is created or computed). The last tile is
// cached, so neighbouring reads cost no map lookup; ReadRow costs one lookup
// per tile crossed. Positions without a tile or cell read as the default pixel.
// The plane must not change while an iterator reads it.
#pragma once
#include <cstdint>

#include "blend/pixel.h"
#include "kzm/plane.h"

namespace kzm {

class PixRandIterator {
 public:
  explicit PixRandIterator(const Plane& plane);
  explicit PixRandIterator(const Plane::Impl& impl);

  const PixelRGBA& At(int32_t x, int32_t y);
  // out[i] = pixel (x0 + i, y) for x0 <= x0 + i < x1.
  void ReadRow(int32_t y, int32_t x0, int32_t x1, PixelRGBA* out);


 private:
  const Tile* TileFor(TileLocate loc);

  const Plane::Impl* impl_;
  Point off_;
  PixelRGBA def_;
  TileLocate cachedLoc_;
  const Tile* cached_ = nullptr;
  bool haveCache_ = false;
};

}  // namespace kzm
