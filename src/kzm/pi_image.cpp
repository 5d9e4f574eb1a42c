#include "kzm/pi_image.h"

#include <new>
#include <vector>

#include "base/work_pool.h"

namespace kzm {

std::unique_ptr<Plane> PiImage::Create(const ImageGeometry& geometry, const PixelRGBA& defPixel, const Rect& bounds) {
  return std::make_unique<Plane>(new PiImage(geometry, defPixel, bounds));
}

PiImage::PiImage(const ImageGeometry& geometry, const PixelRGBA& defPixel, const Rect& bounds)
    : geometry_(geometry), bounds_(bounds), defPixel_(defPixel) {}

PiImage::~PiImage() {
  std::vector<Tile*> tiles;
  try {
    tiles.reserve(tiles_.size());
  } catch (const std::bad_alloc&) {
    // A layer is also destroyed while a failed allocation unwinds: without
    // room for the list, the tiles go one by one.
    for (auto& e : tiles_) e.second->Release();
    tiles_.clear();
    return;
  }
  for (auto& e : tiles_) tiles.push_back(e.second);
  tiles_.clear();
  // A large layer gives its cells back on the work pool, where every thread
  // returns blocks through its own cache instead of taking the pool lock for
  // each of them.
  constexpr size_t kTilesPerShare = 32;
  base::ParallelFor((tiles.size() + kTilesPerShare - 1) / kTilesPerShare, [&](size_t k) {
    const size_t end = std::min(tiles.size(), (k + 1) * kTilesPerShare);
    for (size_t i = k * kTilesPerShare; i < end; ++i) tiles[i]->Release();
  });
}

// ---- tiles ----

Tile* PiImage::LookupTile(TileLocate loc) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = tiles_.find(loc);
  return it == tiles_.end() ? nullptr : it->second;
}

bool PiImage::ForEachTile(const TileVisitor& visit) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const size_t count = tiles_.size();
  size_t index = 0;
  for (auto& e : tiles_) {
    if (visit(*e.second, index++, count)) return false;
  }
  return true;
}

bool PiImage::HasContentIn(const Rect& r) const {
  if (r.IsEmpty()) return false;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const int64_t c0 = r.left >> 7, c1 = (int64_t(r.right) - 1) >> 7;
  const int64_t r0 = r.top >> 7, r1 = (int64_t(r.bottom) - 1) >> 7;
  if ((c1 - c0 + 1) * (r1 - r0 + 1) <= int64_t(tiles_.size())) {
    for (int64_t row = r0; row <= r1; ++row)
      for (int64_t col = c0; col <= c1; ++col) {
        if (col < -32768 || col > 32767 || row < -32768 || row > 32767) continue;
        auto it = tiles_.find(TileLocate::FromColRow(int(col), int(row)));
        if (it != tiles_.end() && it->second->HasCells()) return true;
      }
    return false;
  }
  for (auto& e : tiles_) {
    const TileLocate l = e.first;
    if (e.second->HasCells() && l.Col() >= c0 && l.Col() <= c1 && l.Row() >= r0 && l.Row() <= r1) return true;
  }
  return false;
}

void PiImage::InsertTile(Tile* tile) {
  TileRef ref = TileRef::Adopt(tile);
  if (!tile) return;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Tile*& slot = tiles_[tile->Locate()];
  if (slot == tile) return;  // already there: `ref` drops the extra reference
  if (slot) slot->Release();
  slot = ref.release();
  bounds_ = bounds_.United(Rect::OfTile(tile->Locate()));
}

void PiImage::RecomputeBounds() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Rect b;
  for (auto& e : tiles_)
    if (e.second->HasCells()) b = b.United(Rect::OfTile(e.first));
  bounds_ = b;
}

void PiImage::CompactTiles() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  bounds_ = Rect{};
  std::vector<TileLocate> drop;
  for (auto& e : tiles_) {
    Tile* t = e.second;
    if (!t->HasCells()) continue;
    if (t->Compact(defPixel_))
      drop.push_back(e.first);
    else
      bounds_ = bounds_.United(Rect::OfTile(e.first));
  }
  for (TileLocate loc : drop) RemoveTile(loc);
}

void PiImage::ReleaseTilesAbove(int64_t y) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  kzm::ReleaseTilesAbove(tiles_, y, [](Tile*) {});
}

void PiImage::RemoveTile(TileLocate loc) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = tiles_.find(loc);
  if (it == tiles_.end()) return;
  Tile* t = it->second;
  if (!t->HasCells()) return;
  tiles_.erase(it);
  t->DestroyCells();
  t->Release();
}

}  // namespace kzm
