// Folder composition: the children of a folder merged into its tiles.
//
// The merge of one tile walks the visible children bottom to top and blends
// each one cell at a time onto the tile's cells with the cell blend
// operations: a child area of one colour (no tile, a fill cell, or cells that
// all read the same value) is blended as that colour, which keeps fill cells
// fills; anything else is blended as a 64-pixel block, gathered across cell
// borders when the child's offset is not a multiple of 8. The merge of a tile
// writes nothing but that tile, so tiles may be merged independently.
#include "kzm/compose.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "blend/kernels.h"
#include "base/work_pool.h"
#include "kzm/compose_cells.h"
#include "kzm/pi_folder.h"

namespace kzm {

struct PiFolder::ComposePlan {
  std::vector<ComposeSource> sources;  // visible children bottom to top, then the attached plane
  bool lazy = false;
  const std::atomic<bool>* abort = nullptr;
};

namespace {

// Adds the folder tiles that a source tile at `loc` overlaps (up to four).
void AddCovered(std::vector<uint32_t>& keys, TileLocate loc, int64_t dx, int64_t dy) {
  const int64_t x0 = int64_t(loc.Left()) - dx, y0 = int64_t(loc.Top()) - dy;
  const int64_t c0 = std::max(kIndexMin, x0 >> 7), c1 = std::min(kIndexMax, (x0 + 127) >> 7);
  const int64_t r0 = std::max(kIndexMin, y0 >> 7), r1 = std::min(kIndexMax, (y0 + 127) >> 7);
  for (int64_t r = r0; r <= r1; ++r)
    for (int64_t c = c0; c <= c1; ++c) keys.push_back(TileLocate::FromColRow(int(c), int(r)).key);
}

}  // namespace

// ---------------------------------------------------------------------------

void PiFolder::SetAttachedPlane(std::unique_ptr<Plane> plane) {
  std::unique_ptr<Plane> old;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    old = std::move(attached_);
    attached_ = std::move(plane);
    if (attached_ && attached_->impl()) attached_->impl()->SetParent(owner_);
  }
  old.reset();
  ChildChanged(nullptr);
}

Plane* PiFolder::AttachedPlane() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return attached_.get();
}

std::shared_ptr<const PiFolder::ComposePlan> PiFolder::MakePlan(bool lazy) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto plan = std::make_shared<ComposePlan>();
  plan->lazy = lazy;
  plan->abort = &closing_;
  int clipBase = -1;
  for (Plane* c : children_) {
    Plane::Impl* ci = c->impl();
    if (!ci || !ci->IsVisibleEffective()) continue;
    ComposeSource s = SourceFor(ci, offset_);
    s.clipBase = clipBase;
    plan->sources.push_back(s);
    // A clip_dsta child keeps the clip base it was clipped to.
    if (clipBase < 0 || !(s.blend.word0 & kzm::Blend::clip_dsta)) clipBase = int(plan->sources.size()) - 1;
  }
  if (attached_ && attached_->impl() && attached_->impl()->IsVisibleEffective())
    plan->sources.push_back(SourceFor(attached_->impl(), offset_));
  return plan;
}

void PiFolder::ComposeTileWith(const ComposePlan& plan, Tile& tile, const CellMask* cells) {
  const size_t n = plan.sources.size();
  if (n == 0) return;  // nothing visible: the tile keeps what it holds
  tile.EnsureCells();
  const TileLocate loc = tile.Locate();
  const int64_t X0 = loc.Left(), Y0 = loc.Top();
  std::vector<TileWindow> windows(n);
  for (size_t i = 0; i < n; ++i) FetchWindow(plan.sources[i], plan.lazy, loc, windows[i]);
  PixelRGBA buf[64];
  uint16_t mask[64];
  // Cells are independent, so each one takes all sources in turn while it
  // is in cache, rather than each source sweeping the whole tile.
  for (int cy = 0; cy < kTileCells; ++cy) {
    if (plan.abort && plan.abort->load(std::memory_order_relaxed)) return;
    const int64_t y = Y0 + cy * 8;
    for (int cx = 0; cx < kTileCells; ++cx) {
      const int index = cy * kTileCells + cx;
      if (cells && !((*cells)[index >> 6] >> (index & 63) & 1)) continue;
      const int64_t x = X0 + cx * 8;
      Cell& dst = tile.MutableAt(cx, cy);
      if (cx + 1 < kTileCells)
        for (size_t i = 0; i < n; ++i) PrefetchSource(windows[i], x + 8 + plan.sources[i].dx, y + plan.sources[i].dy);
      for (size_t i = 0; i < n; ++i) {
        const ComposeSource& s = plan.sources[i];
        const CellSource src = ReadSource(windows[i], s.def, x + s.dx, y + s.dy, buf);
        uint16_t opacity = s.opacity;
        const uint16_t* m = nullptr;
        if (s.clipBase >= 0 && (s.blend.word0 & kzm::Blend::lockdonly)) {
          const ComposeSource& base = plan.sources[size_t(s.clipBase)];
          uint16_t cover;
          if (ReadCoverage(windows[size_t(s.clipBase)], base.def, x + base.dx, y + base.dy, cover, mask))
            opacity = uint16_t((uint32_t(cover) * opacity) >> 14);
          else
            m = mask;
        }
        BlendCell(dst, i == 0, src, opacity, m, s.blend);
      }
    }
  }
}

void PiFolder::ComputeTile(Tile& tile) { ComposeTileWith(*MakePlan(true), tile); }

bool PiFolder::ComposeKeys(const ProgressFunc& progress, std::vector<uint32_t>& keys) {
  auto report = [&progress](uint64_t phase, uint64_t index, uint64_t count) {
    return !progress || progress(phase, 2, index, count);
  };
  std::vector<Plane*> children;
  Plane* attached;
  Point offset;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    children = children_;
    attached = attached_.get();
    offset = offset_;
  }
  const bool withAttached = attached && attached->impl() && attached->impl()->IsVisibleEffective();
  const uint64_t count = children.size() + (withAttached ? 1 : 0);

  // Collection: every tile a visible plane holds, in folder tile space.
  keys.clear();
  bool defaultShows = false;
  auto collect = [&](Plane::Impl* ci) {
    if (ci->Kind() == 3 && !ci->Compose(progress)) return false;
    const Point o = ci->Offset();
    const int64_t dx = int64_t(o.x) - offset.x, dy = int64_t(o.y) - offset.y;
    if (ci->DefaultPixel().Word() != 0) defaultShows = true;
    ci->ForEachTile([&](Tile& t, size_t, size_t) {
      if (t.HasCells()) AddCovered(keys, t.Locate(), dx, dy);
      return false;
    });
    return true;
  };
  for (size_t i = 0; i < children.size(); ++i) {
    if (!report(0, i, count)) return false;
    Plane::Impl* ci = children[i]->impl();
    if (!ci || !ci->IsVisibleEffective()) continue;
    if (!collect(ci)) return false;
  }
  if (withAttached) {
    if (!report(0, children.size(), count)) return false;
    if (!collect(attached->impl())) return false;
  }
  // A plane whose default pixel shows paints everywhere, not only where it
  // has tiles: then the whole of the folder's bounds is merged.
  if (defaultShows) {
    const Rect b = Bounds();
    if (!b.IsEmpty()) {
      const int64_t c0 = std::max(kIndexMin, (int64_t(b.left) + offset.x) >> 7);
      const int64_t c1 = std::min(kIndexMax, (int64_t(b.right) - 1 + offset.x) >> 7);
      const int64_t r0 = std::max(kIndexMin, (int64_t(b.top) + offset.y) >> 7);
      const int64_t r1 = std::min(kIndexMax, (int64_t(b.bottom) - 1 + offset.y) >> 7);
      for (int64_t r = r0; r <= r1; ++r)
        for (int64_t c = c0; c <= c1; ++c) keys.push_back(TileLocate::FromColRow(int(c), int(r)).key);
    }
  }
  std::sort(keys.begin(), keys.end());  // the locate order
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return true;
}

bool PiFolder::Compose(const ProgressFunc& progress) {
  std::vector<uint32_t> keys;
  if (!ComposeKeys(progress, keys)) return false;

  // Recomputation. Tiles are merged independently, so a batch of them is
  // merged on the work pool; the progress calls still come one per tile, in
  // order, on this thread, and a cancel stops before the tile it refused.
  // The folder's lock is held by this thread while its workers merge.
  const std::shared_ptr<const ComposePlan> plan = MakePlan(false);
  const size_t batch = std::max<size_t>(1, size_t(base::WorkThreads()) * 4);
  std::vector<Tile*> tiles;
  for (size_t i = 0; i < keys.size();) {
    tiles.clear();
    bool cancelled = false;
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (; i < keys.size() && tiles.size() < batch; ++i) {
      if (progress && !progress(1, 2, i, keys.size())) {
        cancelled = true;
        break;
      }
      const TileLocate loc(keys[i]);
      Tile* t;
      auto it = tiles_.find(loc);
      if (it != tiles_.end() && it->second->HasCells()) {
        t = it->second;
      } else {
        t = Tile::CreateFilled(loc, DefaultPixel());
        InsertMergedTile(t);
      }
      tiles.push_back(t);
    }
    base::ParallelFor(tiles.size(), [&](size_t k) {
      Tile* t = tiles[k];
      std::lock_guard<std::mutex> content(t->ContentMutex());
      ComposeTileWith(*plan, *t);
      t->genComputed = t->genRequested;
      t->genInProgress = -1;
    });
    if (cancelled) return false;
  }
  return true;
}

std::vector<TileRef> PiFolder::ComposeDetached(const std::vector<TileLocate>& locs) {
  const std::shared_ptr<const ComposePlan> plan = MakePlan(false);
  std::vector<TileRef> out(locs.size());
  for (size_t k = 0; k < locs.size(); ++k) out[k] = TileRef::Adopt(Tile::CreateFilled(locs[k], DefaultPixel()));
  base::ParallelFor(out.size(), [&](size_t k) { ComposeTileWith(*plan, *out[k]); });
  return out;
}

uint8_t ComposeRoot(ImageContext& doc, const ProgressFunc& progress) {
  Plane* root = doc.Root();
  if (!root || !root->impl()) return 0;
  return uint8_t(root->impl()->Compose(progress) & 0xFF);
}

}  // namespace kzm
