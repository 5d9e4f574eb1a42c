#include "kzm/pi_folder.h"

#include <algorithm>

#include "base/work_pool.h"
#include "kzm/pi_image.h"

namespace kzm {

// ---- folder ----

std::unique_ptr<Plane> PiFolder::Create() { return std::make_unique<Plane>(new PiFolder()); }
std::shared_ptr<Plane> PiFolder::CreateRoot() { return std::make_shared<Plane>(new PiFolder()); }

PiFolder::PiFolder() = default;

PiFolder::~PiFolder() {
  closing_.store(true);
  ClearMergedTiles();
  std::vector<Plane*> children;
  children.swap(children_);
  for (Plane* c : children) delete c;
  attached_.reset();
}

bool PiFolder::IsVisibleEffective() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!visible_) return false;
  for (Plane* c : children_)
    if (c->impl() && c->impl()->IsVisibleEffective()) return true;
  return false;
}

// ---- children ----

size_t PiFolder::ChildCount() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return children_.size();
}

Plane* PiFolder::ChildAt(int64_t index) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (index < 0 || uint64_t(index) >= children_.size()) return nullptr;
  return children_[size_t(index)];
}

// Structural changes happen under the node lock; the change is announced
// after it is released, so a notice climbing to the parent never holds a
// child's lock while taking the parent's (the parent locks children too).
std::unique_ptr<Plane> PiFolder::RemoveChild(Plane* child) {
  std::unique_ptr<Plane> owned;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto it = std::find(children_.begin(), children_.end(), child);
    if (it == children_.end()) return nullptr;
    children_.erase(it);
    owned.reset(child);
  }
  if (child->impl()) child->impl()->SetParent(nullptr);
  ChildChanged(nullptr);
  return owned;
}

Plane* PiFolder::AppendChild(std::unique_ptr<Plane> child) {
  if (!child || child.get() == owner_) return nullptr;
  Plane* c = child.get();
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    children_.reserve(children_.size() + 1);  // the push below cannot fail any more
    children_.push_back(child.release());
    if (c->impl()) c->impl()->SetParent(owner_);
  }
  ChildChanged(c);
  return c;
}

// ---- bounds ----

Rect PiFolder::ComputedBounds() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Rect b;
  for (Plane* c : children_) {
    if (!c->impl()) continue;
    const Rect r = c->impl()->Bounds();
    if (r.IsEmpty()) continue;
    // An image's bounds are its tile space; a folder's are positions already.
    if (c->Kind() == 3) {
      b = b.United(r);
      continue;
    }
    const Point o = c->impl()->Offset();
    b = b.United(r.Moved(-o.x, -o.y));
  }
  return b;
}

Rect PiFolder::Bounds() const {
  if (fixedBounds_) return *fixedBounds_;
  return ComputedBounds();
}

// ---- merged tiles ----

Tile* PiFolder::FindOrCreateTile(TileLocate loc) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = tiles_.find(loc);
  if (it != tiles_.end()) return it->second;
  const bool content = HasContentIn(Rect::OfTile(loc));
  Tile* t = Tile::Create(loc, content);
  t->genRequested = 1;
  tiles_.emplace(loc, t);
  return t;
}

Tile* PiFolder::MergedTileNow(TileLocate loc) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Tile* t = FindOrCreateTile(loc);
  if (!t->HasCells()) return t;
  std::lock_guard<std::mutex> content(t->ContentMutex());
  if (t->genComputed == t->genRequested) return t;
  t->genInProgress = int32_t(t->genRequested);
  ComputeTile(*t);
  t->genComputed = uint32_t(t->genInProgress);
  t->genInProgress = -1;
  return t;
}

void PiFolder::MergedTilesNow(const std::vector<TileLocate>& locs) { MergedTilesNow(locs, nullptr); }

void PiFolder::MergedTilesNow(const std::vector<TileLocate>& locs,
                              const std::function<const CellMask*(TileLocate)>& cellsOf) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  // As MergedTileNow for each, the contents computed on the work pool; this
  // thread holds the folder's lock while its workers merge.
  std::vector<Tile*> todo;
  std::vector<const CellMask*> masks;
  for (TileLocate loc : locs) {
    const bool fresh = tiles_.find(loc) == tiles_.end();
    Tile* t = FindOrCreateTile(loc);
    if (!t->HasCells() || std::find(todo.begin(), todo.end(), t) != todo.end()) continue;
    std::lock_guard<std::mutex> content(t->ContentMutex());
    if (t->genComputed != t->genRequested) {
      todo.push_back(t);
      // Only a tile made here may be merged in part: one that was there
      // already stays for other readers.
      masks.push_back(fresh && cellsOf ? cellsOf(loc) : nullptr);
    }
  }
  if (todo.empty()) return;
  const std::shared_ptr<const ComposePlan> plan = MakePlan(true);
  base::ParallelFor(todo.size(), [&](size_t k) {
    Tile* t = todo[k];
    std::lock_guard<std::mutex> content(t->ContentMutex());
    if (t->genComputed == t->genRequested) return;
    t->genInProgress = int32_t(t->genRequested);
    ComposeTileWith(*plan, *t, masks[k]);
    t->genComputed = uint32_t(t->genInProgress);
    t->genInProgress = -1;
  });
}

Tile* PiFolder::FindTile(TileLocate loc, bool compute) {
  std::unique_lock<std::recursive_mutex> lock(mutex_);
  Tile* t = FindOrCreateTile(loc);
  if (!compute || !t->HasCells()) return t;
  if (!MainContext::IsMainThread()) return t;
  return MergedTileNow(loc);
}

Tile* PiFolder::LookupTile(TileLocate loc) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = tiles_.find(loc);
  return it == tiles_.end() ? nullptr : it->second;
}

size_t PiFolder::TileCount() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return tiles_.size();
}

bool PiFolder::ForEachTile(const TileVisitor& visit) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const size_t count = tiles_.size();
  size_t index = 0;
  for (auto& e : tiles_)
    if (visit(*e.second, index++, count)) return false;
  return true;
}

bool PiFolder::HasContentIn(const Rect& r) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  // Folder tile space -> folder position -> each child's tile space.
  const Rect pos = r.Moved(-offset_.x, -offset_.y);
  for (Plane* c : children_) {
    const Plane::Impl* ci = c->impl();
    if (!ci) continue;
    if (ci->DefaultPixel().Word() != 0) return true;  // a default pixel covers everything
    const Point o = ci->Offset();
    if (ci->HasContentIn(pos.Moved(o.x, o.y))) return true;
  }
  if (const Plane::Impl* ai = attached_ ? attached_->impl() : nullptr) {
    if (ai->DefaultPixel().Word() != 0) return true;
    const Point o = ai->Offset();
    if (ai->HasContentIn(pos.Moved(o.x, o.y))) return true;
  }
  return false;
}

void PiFolder::InsertMergedTile(Tile* tile) {
  TileRef ref = TileRef::Adopt(tile);
  if (!tile) return;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Tile*& slot = tiles_[tile->Locate()];
  if (slot == tile) return;
  if (slot) slot->Release();
  slot = ref.release();
}

Tile* PiFolder::DetachMergedTile(TileLocate loc) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = tiles_.find(loc);
  if (it == tiles_.end()) return nullptr;
  Tile* t = it->second;
  tiles_.erase(it);
  return t;
}

void PiFolder::ClearMergedTiles() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  TileMap tiles;
  tiles.swap(tiles_);
  for (auto& e : tiles) e.second->Release();
}

void PiFolder::ChildChanged(Plane*) {
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    ClearMergedTiles();
  }
  if (parent_ && parent_->impl()) parent_->impl()->ChildChanged(owner_);
}

}  // namespace kzm
