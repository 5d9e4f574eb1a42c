#include "kzm/pix_iterator.h"

#include <algorithm>
#include <cstring>

namespace kzm {

namespace {
constexpr int64_t kSpaceMin = -(int64_t(1) << 22);
constexpr int64_t kSpaceMax = int64_t(1) << 22;
}  // namespace

PixRandIterator::PixRandIterator(const Plane& plane) : PixRandIterator(*plane.impl()) {}

PixRandIterator::PixRandIterator(const Plane::Impl& impl)
    : impl_(&impl), off_(impl.Offset()), def_(impl.DefaultPixel()) {}

const Tile* PixRandIterator::TileFor(TileLocate loc) {
  if (!haveCache_ || cachedLoc_ != loc) {
    const Tile* t = impl_->LookupTile(loc);
    cached_ = t && t->HasCells() ? t : nullptr;
    cachedLoc_ = loc;
    haveCache_ = true;
  }
  return cached_;
}

const PixelRGBA& PixRandIterator::At(int32_t x, int32_t y) {
  const int64_t X = int64_t(x) + off_.x, Y = int64_t(y) + off_.y;
  if (X < kSpaceMin || X >= kSpaceMax || Y < kSpaceMin || Y >= kSpaceMax) return def_;
  const Tile* t = TileFor(TileLocate::ForPixel(int32_t(X), int32_t(Y)));
  if (!t) return def_;
  const PixelRGBA* p = t->At(int(X & 127) >> 3, int(Y & 127) >> 3).PixelAt(int(X & 7), int(Y & 7));
  return p ? *p : def_;
}

void PixRandIterator::ReadRow(int32_t y, int32_t x0, int32_t x1, PixelRGBA* out) {
  if (x1 <= x0) return;
  const int64_t Y = int64_t(y) + off_.y;
  int64_t X = int64_t(x0) + off_.x;
  const int64_t Xend = int64_t(x1) + off_.x;
  if (Y < kSpaceMin || Y >= kSpaceMax) {
    std::fill(out, out + (x1 - x0), def_);
    return;
  }
  const int cy = int(Y & 127) >> 3, py = int(Y & 7);
  while (X < Xend) {
    if (X < kSpaceMin || X >= kSpaceMax) {
      // Outside tile space: default pixels up to where tile space begins (or the end).
      const int64_t stop = X < kSpaceMin ? std::min(Xend, kSpaceMin) : Xend;
      std::fill(out, out + (stop - X), def_);
      out += stop - X;
      X = stop;
      continue;
    }
    const int64_t tileEnd = std::min(Xend, (X & ~int64_t(127)) + 128);
    const Tile* t = TileFor(TileLocate::ForPixel(int32_t(X), int32_t(Y)));
    if (!t) {
      std::fill(out, out + (tileEnd - X), def_);
      out += tileEnd - X;
      X = tileEnd;
      continue;
    }
    while (X < tileEnd) {
      const int64_t cellEnd = std::min(tileEnd, (X & ~int64_t(7)) + 8);
      const int n = int(cellEnd - X);
      const Cell& c = t->At(int(X & 127) >> 3, cy);
      switch (c.Kind()) {
        case Cell::kRGBAFill:
          std::fill(out, out + n, c.FillValue());
          break;
        case Cell::kRGBABitmap: {
          const PixelRGBA* px = c.BitmapPixels();
          if (px && n == 8)  // a whole cell row: a fixed-size copy the compiler inlines
            std::memcpy(static_cast<void*>(out), px + 8 * py, 8 * sizeof(PixelRGBA));
          else if (px)
            std::copy(px + 8 * py + int(X & 7), px + 8 * py + int(X & 7) + n, out);
          else
            std::fill(out, out + n, def_);
          break;
        }
        default:
          std::fill(out, out + n, def_);
          break;
      }
      out += n;
      X = cellEnd;
    }
  }
}

}  // namespace kzm
