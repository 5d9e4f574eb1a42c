#include "kzm/pi_image.h"

#include <vector>

#include "base/work_pool.h"
#include "kzm/pi_folder.h"

namespace kzm {

namespace {

// Tile keys hold 16-bit signed columns and rows, so tile space spans
// [-2^22, 2^22) pixels per axis; positions outside it have no tile (they would
// otherwise alias tiles on the other side).
constexpr int64_t kSpaceMin = -(int64_t(1) << 22);
constexpr int64_t kSpaceMax = int64_t(1) << 22;

bool ToTileSpace(int32_t x, int32_t y, const Point& off, int32_t& X, int32_t& Y) {
  const int64_t xx = int64_t(x) + off.x, yy = int64_t(y) + off.y;
  if (xx < kSpaceMin || xx >= kSpaceMax || yy < kSpaceMin || yy >= kSpaceMax) return false;
  X = int32_t(xx);
  Y = int32_t(yy);
  return true;
}

}  // namespace

std::unique_ptr<Plane> PiImage::Create(const ImageGeometry& geometry, const PixelRGBA& defPixel, const Rect& bounds) {
  return std::make_unique<Plane>(new PiImage(geometry, defPixel, bounds));
}

PiImage::PiImage(const ImageGeometry& geometry, const PixelRGBA& defPixel, const Rect& bounds)
    : geometry_(geometry), bounds_(bounds), defPixel_(defPixel), empty_(Tile::Create(TileLocate(), false)) {}

PiImage::~PiImage() {
  std::vector<Tile*> tiles;
  tiles.reserve(tiles_.size());
  for (auto& e : tiles_) {
    e.second->dirty = nullptr;
    tiles.push_back(e.second);
  }
  tiles_.clear();
  // A large layer gives its cells back on the work pool, where every thread
  // returns blocks through its own cache instead of taking the pool lock for
  // each of them.
  constexpr size_t kTilesPerShare = 32;
  base::ParallelFor((tiles.size() + kTilesPerShare - 1) / kTilesPerShare, [&](size_t k) {
    const size_t end = std::min(tiles.size(), (k + 1) * kTilesPerShare);
    for (size_t i = k * kTilesPerShare; i < end; ++i) tiles[i]->Release();
  });
  empty_->Release();
}

// ---- tiles ----

Tile* PiImage::FindTile(TileLocate loc, bool) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = tiles_.find(loc);
  return it == tiles_.end() ? empty_ : it->second;
}

Tile* PiImage::LookupTile(TileLocate loc) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = tiles_.find(loc);
  return it == tiles_.end() ? nullptr : it->second;
}

Tile* PiImage::TileForWrite(TileLocate loc) { return PrepareTileForWrite(loc); }

bool PiImage::RegisterDirtyTile(Tile& t) {
  if (t.dirty || &t == empty_) return false;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto res = dirty_.map->emplace(t.Locate(), Tile::dirtycells_t{});
  t.dirty = &res.first->second;
  return true;
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
  if (slot) {
    slot->dirty = nullptr;
    slot->Release();
  }
  slot = ref.release();
  bounds_ = bounds_.United(Rect::OfTile(tile->Locate()));
}

Tile* PiImage::PrepareTileForWrite(TileLocate loc) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = tiles_.find(loc);
  Tile* t = it == tiles_.end() ? nullptr : it->second;
  if (!t || !t->HasCells()) {
    TileRef fresh = TileRef::Adopt(Tile::CreateFilled(loc, defPixel_));
    t = fresh.get();
    InsertTile(fresh.release());
  }
  RegisterDirtyTile(*t);
  return t;
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

// ---- pixels ----

const PixelRGBA* PiImage::PixelAt(int32_t x, int32_t y) const {
  int32_t X, Y;
  if (!ToTileSpace(x, y, offset_, X, Y)) return &defPixel_;
  const Tile* t = LookupTile(TileLocate::ForPixel(X, Y));
  if (!t || !t->HasCells()) return &defPixel_;
  const PixelRGBA* p = t->At((X & 127) >> 3, (Y & 127) >> 3).PixelAt(X & 7, Y & 7);
  return p ? p : &defPixel_;
}

void PiImage::SetPixel(int32_t x, int32_t y, const PixelRGBA& p) {
  int32_t X, Y;
  if (!ToTileSpace(x, y, offset_, X, Y)) return;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const TileLocate loc = TileLocate::ForPixel(X, Y);
  Tile* t = PrepareTileForWrite(loc);
  const int cx = (X & 127) >> 3, cy = (Y & 127) >> 3;
  Cell& c = t->MutableAt(cx, cy);
  if (!c.IsRGBA()) SetFill(c, defPixel_);
  t->MarkDirty(cx, cy);
  static_cast<Cell::ImplRGBABase*>(c.impl())->SetPixel(X & 7, Y & 7, p);
}

void PiImage::SetDefaultPixel(const PixelRGBA& p) {
  if (p == defPixel_) return;
  defPixel_ = p;
  ResetDirtyAll();
}

void PiImage::SetCellFill(TileLocate loc, int cx, int cy, const PixelRGBA& p) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Tile* t = PrepareTileForWrite(loc);
  t->MarkDirty(cx, cy);
  SetFill(t->MutableAt(cx, cy), p);
}

void PiImage::FillTile(TileLocate loc, const PixelRGBA& p) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (p == defPixel_) {
    RemoveTile(loc);
    return;
  }
  PrepareTileForWrite(loc);
  for (int cy = 0; cy < kTileCells; ++cy)
    for (int cx = 0; cx < kTileCells; ++cx) SetCellFill(loc, cx, cy, p);
}

void PiImage::RemoveTile(TileLocate loc, std::nullptr_t) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = tiles_.find(loc);
  if (it == tiles_.end()) return;
  Tile* t = it->second;
  if (!t->HasCells()) return;
  RegisterDirtyTile(*t);
  tiles_.erase(it);
  if (t->dirty) t->dirty->all = true;
  t->dirty = nullptr;
  t->DestroyCells();
  t->Release();
}

void PiImage::EditTile(TileLocate loc, const std::function<void(Tile&)>& edit) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Tile* t = PrepareTileForWrite(loc);
  edit(*t);
  if (t->dirty) t->dirty->all = true;
}

// ---- copies ----

std::unique_ptr<Plane> PiImage::Clone() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto* img = new PiImage(geometry_, defPixel_, bounds_);
  std::unique_ptr<Plane> h = std::make_unique<Plane>(img);
  for (auto& e : tiles_) {
    const Tile* src = e.second;
    TileRef t = TileRef::Adopt(Tile::Create(e.first, src->HasCells()));
    if (src->HasCells())
      for (int i = 0; i < kTileCellCount; ++i) AssignFrom(t->MutableCells()[i], src->Cells()[i]);
    if (src->IsShared()) t->ShareIfUniform();
    img->tiles_.emplace(e.first, t.release());
  }
  CopyPropertiesTo(*img);
  // A clone reads the same pixels at the same positions.
  img->offset_ = offset_;
  img->placement_ = placement_;
  return h;
}

std::unique_ptr<Plane> PiImage::CloneEmpty() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::unique_ptr<Plane> h = std::make_unique<Plane>(new PiImage(geometry_, defPixel_, bounds_));
  CopyPropertiesTo(*h->impl());
  return h;
}

bool PiImage::TakeMergedTiles(Plane* folderHandle) {
  PiFolder* folder = folderHandle ? folderHandle->folder() : nullptr;
  if (!folder) return false;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!tiles_.empty()) return false;
  {
    PlaneLockGuard fl(folder);
    std::vector<TileLocate> locs;
    for (auto& e : folder->MergedTiles())
      if (e.second->HasCells()) locs.push_back(e.first);
    for (TileLocate loc : locs) {
      Tile* t = folder->DetachMergedTile(loc);
      if (!t) continue;
      t->dirty = nullptr;
      // The bounds stay as they were: the caller decides them (the import
      // re-bases them from the layer's previous bounds).
      tiles_.emplace(loc, t);
    }
  }
  SetDefaultPixel(folder->DefaultPixel());
  return folder->CopyPropertiesTo(*this);
}

void PiImage::DetachDirtyRecords() {
  for (auto& e : tiles_) e.second->dirty = nullptr;
}

}  // namespace kzm
