// Random-access pixel reader over a plane's tiles and cells.
//
// Positions are layer positions (the plane's offset is added). Works on
// images (their tile map) and folders (their merged tiles as they are; nothing
// is created or computed). The last tile is cached, so neighbouring reads cost
// no map lookup; ReadRows costs one lookup per tile crossed. Positions without a tile or cell read as the default pixel.
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

// Pixels [X, Xend) of rows [Y, Y + count) of tile space into out, row r at
// out + r * stride. tileAt(X, Y) gives the tile holding a pixel inside tile
// space, or null; pixels without a tile or a cell read as def. Rows are read
// a row of cells at a time: one call of tileAt per tile and one look at each
// cell for up to eight rows.
template <class TileAt>
void ReadTileRows(int64_t Y, int count, int64_t X0, int64_t Xend, const PixelRGBA& def, PixelRGBA* out,
                  size_t stride, TileAt&& tileAt) {
  if (Xend <= X0) return;
  while (count > 0) {
    // Rows of this row of cells.
    const int n = Y < kTileSpaceMin || Y >= kTileSpaceMax ? 1 : std::min(count, 8 - int(Y & 7));
    const auto fill = [&](size_t at, int64_t len, const PixelRGBA& v) {
      for (int r = 0; r < n; ++r) std::fill(out + r * stride + at, out + r * stride + at + len, v);
    };
    if (Y < kTileSpaceMin || Y >= kTileSpaceMax) {
      fill(0, Xend - X0, def);
    } else {
      const int cy = int(Y & 127) >> 3, py = int(Y & 7);
      int64_t X = X0;
      while (X < Xend) {
        const size_t at = size_t(X - X0);
        if (X < kTileSpaceMin || X >= kTileSpaceMax) {
          // Outside tile space: default pixels up to where tile space begins (or the end).
          const int64_t stop = X < kTileSpaceMin ? std::min(Xend, kTileSpaceMin) : Xend;
          fill(at, stop - X, def);
          X = stop;
          continue;
        }
        const int64_t tileEnd = std::min(Xend, (X & ~int64_t(127)) + 128);
        const Tile* t = tileAt(X, Y);
        if (!t) {
          fill(at, tileEnd - X, def);
          X = tileEnd;
          continue;
        }
        while (X < tileEnd) {
          const int64_t cellEnd = std::min(tileEnd, (X & ~int64_t(7)) + 8);
          const size_t o = size_t(X - X0);
          const int w = int(cellEnd - X), x = int(X & 7);
          const int col = int(X & 127) >> 3;
          const Cell& c = t->At(col, cy);
          // The next cell's rows are loaded while these are copied: cells
          // lie apart in memory, and copies otherwise wait on each one.
          if (col + 1 < 16 && cellEnd < tileEnd) {
            const Cell& next = t->At(col + 1, cy);
            if (next.Kind() == Cell::kRGBABitmap && next.BitmapPixels())
              for (int r = 0; r < n; ++r) Prefetch(next.BitmapPixels() + 8 * (py + r));
          }
          const PixelRGBA* px = c.Kind() == Cell::kRGBABitmap ? c.BitmapPixels() : nullptr;
          if (px && w == 8) {  // whole cell rows: fixed-size copies the compiler inlines
            for (int r = 0; r < n; ++r)
              std::memcpy(static_cast<void*>(out + r * stride + o), px + 8 * (py + r), 8 * sizeof(PixelRGBA));
          } else if (px) {
            for (int r = 0; r < n; ++r) std::copy(px + 8 * (py + r) + x, px + 8 * (py + r) + x + w, out + r * stride + o);
          } else {
            fill(o, w, c.Kind() == Cell::kRGBAFill ? c.FillValue() : def);
          }
          X = cellEnd;
        }
      }
    }
    Y += n;
    count -= n;
    out += size_t(n) * stride;
  }
}

class PixRandIterator {
 public:
  explicit PixRandIterator(const Plane& plane);
  explicit PixRandIterator(const Plane::Impl& impl);

  const PixelRGBA& At(int32_t x, int32_t y);
  // Rows [y, y + count), each x1 - x0 pixels, back to back into out.
  void ReadRows(int32_t y, int count, int32_t x0, int32_t x1, PixelRGBA* out);

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
