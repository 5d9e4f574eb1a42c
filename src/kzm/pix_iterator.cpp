#include "kzm/pix_iterator.h"

namespace kzm {

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
  if (X < kTileSpaceMin || X >= kTileSpaceMax || Y < kTileSpaceMin || Y >= kTileSpaceMax) return def_;
  const Tile* t = TileFor(TileLocate::ForPixel(int32_t(X), int32_t(Y)));
  if (!t) return def_;
  const PixelRGBA* p = t->At(int(X & 127) >> 3, int(Y & 127) >> 3).PixelAt(int(X & 7), int(Y & 7));
  return p ? *p : def_;
}

void PixRandIterator::ReadRows(int32_t y, int count, int32_t x0, int32_t x1, PixelRGBA* out) {
  ReadTileRows(int64_t(y) + off_.y, count, int64_t(x0) + off_.x, int64_t(x1) + off_.x, def_, out,
               size_t(std::max<int64_t>(0, int64_t(x1) - x0)),
               [this](int64_t X, int64_t Y) { return TileFor(TileLocate::ForPixel(int32_t(X), int32_t(Y))); });
}

}  // namespace kzm
