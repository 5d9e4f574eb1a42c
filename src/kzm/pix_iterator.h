// Random-access pixel reader over a plane's tiles and cells.
//
// Positions are layer positions as for Plane::Impl::PixelAt (the plane's
// offset is added). Works on images (their tile map) and folders (their merged
// tiles as they are; nothing is created or computed). The last tile is
// cached, so neighbouring reads cost no map lookup; ReadRow costs one lookup
// per tile crossed. Positions without a tile or cell read as the default pixel.
// The plane must not change while an iterator reads it.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "blend/pixel.h"
#include "kzm/cell.h"
#include "kzm/plane.h"
#include "kzm/tile.h"

namespace kzm {

// Tile space: pixel positions from -2^22 to 2^22 on both axes.
constexpr int64_t kTileSpaceMin = -(int64_t(1) << 22);
constexpr int64_t kTileSpaceMax = int64_t(1) << 22;

// Pixels [X, Xend) of row Y of tile space into out. tileAt(X, Y) gives the
// tile holding a pixel inside tile space, or null; pixels without a tile or
// a cell read as def. One call of tileAt per tile crossed.
template <class TileAt>
void ReadTileRow(int64_t Y, int64_t X, int64_t Xend, const PixelRGBA& def, PixelRGBA* out, TileAt&& tileAt) {
  if (Xend <= X) return;
  if (Y < kTileSpaceMin || Y >= kTileSpaceMax) {
    std::fill(out, out + (Xend - X), def);
    return;
  }
  const int cy = int(Y & 127) >> 3, py = int(Y & 7);
  while (X < Xend) {
    if (X < kTileSpaceMin || X >= kTileSpaceMax) {
      // Outside tile space: default pixels up to where tile space begins (or the end).
      const int64_t stop = X < kTileSpaceMin ? std::min(Xend, kTileSpaceMin) : Xend;
      std::fill(out, out + (stop - X), def);
      out += stop - X;
      X = stop;
      continue;
    }
    const int64_t tileEnd = std::min(Xend, (X & ~int64_t(127)) + 128);
    const Tile* t = tileAt(X, Y);
    if (!t) {
      std::fill(out, out + (tileEnd - X), def);
      out += tileEnd - X;
      X = tileEnd;
      continue;
    }
    while (X < tileEnd) {
      const int64_t cellEnd = std::min(tileEnd, (X & ~int64_t(7)) + 8);
      const int n = int(cellEnd - X);
      const Cell& c = t->At(int(X & 127) >> 3, cy);
      const PixelRGBA* px = c.Kind() == Cell::kRGBABitmap ? c.BitmapPixels() : nullptr;
      if (px && n == 8)  // a whole cell row: a fixed-size copy the compiler inlines
        std::memcpy(static_cast<void*>(out), px + 8 * py, 8 * sizeof(PixelRGBA));
      else if (px)
        std::copy(px + 8 * py + int(X & 7), px + 8 * py + int(X & 7) + n, out);
      else
        std::fill(out, out + n, c.Kind() == Cell::kRGBAFill ? c.FillValue() : def);
      out += n;
      X = cellEnd;
    }
  }
}

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
