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
#include "kzm/pi_folder.h"

namespace kzm {

namespace {

// Tile keys hold signed 16-bit columns and rows.
constexpr int64_t kIndexMin = -32768;
constexpr int64_t kIndexMax = 32767;

constexpr PixelRGBA kZero{0, 0, 0, 0};

}  // namespace

struct PiFolder::ComposePlan {
  // One plane as the merge of a tile reads it.
  struct Source {
    Plane::Impl* impl = nullptr;
    PiFolder* folder = nullptr;  // set when the plane is a folder
    kzm::Blend blend;
    uint16_t opacity = 16384;
    PixelRGBA def{0, 0, 0, 0};
    // The plane's tile space at folder tile-space X is X + (dx, dy).
    int64_t dx = 0, dy = 0;
    // Index of the clip base this plane blends over (-1: none).
    int clipBase = -1;
  };

  std::vector<Source> sources;  // visible children bottom to top, then the attached plane
  bool lazy = false;
  const std::atomic<bool>* abort = nullptr;
};

namespace {

using ComposeSource = PiFolder::ComposePlan::Source;

ComposeSource SourceFor(Plane::Impl* impl, const Point& folderOffset) {
  ComposeSource s;
  s.impl = impl;
  s.folder = impl->Kind() == 3 ? static_cast<PiFolder*>(impl) : nullptr;
  s.blend = *impl->Blend();
  s.opacity = impl->Opacity();
  s.def = impl->DefaultPixel();
  const Point o = impl->Offset();
  s.dx = int64_t(o.x) - folderOffset.x;
  s.dy = int64_t(o.y) - folderOffset.y;
  return s;
}

// The (at most) 2 x 2 tiles of one source under one folder tile.
struct TileWindow {
  int64_t col0 = 0, row0 = 0;
  TileRef tiles[2][2];  // [row][col]; null where the source has no tile

  // The source's cell at cell coordinates (cx, cy) of its tile space, or null
  // when it has none. The coordinates must lie in the window.
  const Cell* CellAt(int64_t cx, int64_t cy) const {
    const Tile* t = tiles[(cy >> 4) - row0][(cx >> 4) - col0].get();
    if (!t || !t->HasCells()) return nullptr;
    const Cell& c = t->At(int(cx & 15), int(cy & 15));
    return c.IsNull() ? nullptr : &c;
  }
};

void FetchWindow(const ComposeSource& s, bool lazy, TileLocate folderLoc, TileWindow& w) {
  const int64_t x0 = int64_t(folderLoc.Left()) + s.dx, y0 = int64_t(folderLoc.Top()) + s.dy;
  w.col0 = x0 >> 7;
  w.row0 = y0 >> 7;
  const int64_t col1 = (x0 + 127) >> 7, row1 = (y0 + 127) >> 7;
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 2; ++c) {
      const int64_t col = w.col0 + c, row = w.row0 + r;
      w.tiles[r][c] = TileRef();
      if (col > col1 || row > row1) continue;
      if (col < kIndexMin || col > kIndexMax || row < kIndexMin || row > kIndexMax) continue;
      const TileLocate loc = TileLocate::FromColRow(int(col), int(row));
      Tile* t = lazy && s.folder ? s.folder->MergedTileNow(loc) : s.impl->LookupTile(loc);
      w.tiles[r][c] = TileRef::Share(t);
    }
}

// A cell that reads as one value: none (the default pixel), a fill, or a
// kind that holds no RGBA pixels. False for a bitmap with pixels.
inline bool UniformValue(const Cell* c, const PixelRGBA& def, PixelRGBA& v) {
  if (c) {
    const int k = c->Kind();
    if (k == Cell::kRGBAFill) {
      v = c->FillValue();
      return true;
    }
    if (k == Cell::kRGBABitmap && c->BitmapPixels()) return false;
  }
  v = def;
  return true;
}

inline void ReadPixelRow(const Cell* c, const PixelRGBA& def, int py, int px0, int n, PixelRGBA* out) {
  PixelRGBA v;
  if (UniformValue(c, def, v)) {
    std::fill(out, out + n, v);
    return;
  }
  std::memcpy(out, c->BitmapPixels() + 8 * py + px0, size_t(n) * sizeof(PixelRGBA));
}

// Coverage counterparts for a lockdonly mask: RGBA cells give their alpha,
// gray cells their values.
inline bool UniformCoverage(const Cell* c, const PixelRGBA& def, uint16_t& v) {
  if (c) {
    switch (c->Kind()) {
      case Cell::kRGBAFill:
        v = c->FillValue().a;
        return true;
      case Cell::kRGBABitmap:
        if (c->BitmapPixels()) return false;
        break;
      case Cell::kGrayFill:
        v = c->GrayFillValue();
        return true;
      case Cell::kGrayBitmap:
        if (c->GrayPixels()) return false;
        break;
      default:
        break;
    }
  }
  v = def.a;
  return true;
}

inline void ReadCoverageRow(const Cell* c, const PixelRGBA& def, int py, int px0, int n, uint16_t* out) {
  uint16_t v;
  if (UniformCoverage(c, def, v)) {
    std::fill(out, out + n, v);
    return;
  }
  if (c->Kind() == Cell::kGrayBitmap) {
    std::memcpy(out, c->GrayPixels() + 8 * py + px0, size_t(n) * sizeof(uint16_t));
    return;
  }
  const PixelRGBA* p = c->BitmapPixels() + 8 * py + px0;
  for (int i = 0; i < n; ++i) out[i] = p[i].a;
}

// The up to four source cells under the 8 x 8 area whose top-left pixel is
// (x, y) in the source's tile space; sx, sy receive the sub-cell offset.
struct Quad {
  const Cell* c[2][2] = {};  // [row][col]
  int sx = 0, sy = 0;
  int nx = 1, ny = 1;
};

inline void QuadAt(const TileWindow& w, int64_t x, int64_t y, Quad& q) {
  const int64_t cx = x >> 3, cy = y >> 3;
  q.sx = int(x & 7);
  q.sy = int(y & 7);
  q.nx = q.sx ? 2 : 1;
  q.ny = q.sy ? 2 : 1;
  for (int r = 0; r < q.ny; ++r)
    for (int c = 0; c < q.nx; ++c) q.c[r][c] = w.CellAt(cx + c, cy + r);
}

// Starts loading the pixels of the source cell at (x, y) where it is one
// bitmap cell: the kernels otherwise wait on memory for most of their time.
inline void PrefetchSource(const TileWindow& w, int64_t x, int64_t y) {
  if ((x & 7) || (y & 7)) return;
  const Cell* c = w.CellAt(x >> 3, y >> 3);
  if (!c || c->Kind() != Cell::kRGBABitmap) return;
  const char* p = reinterpret_cast<const char*>(c->BitmapPixels());
  if (!p) return;
  for (int i = 0; i < 512; i += 64) Prefetch(p + i);
}

// What a source gives one folder cell: one colour, or 64 pixels.
struct CellSource {
  bool uniform = true;
  PixelRGBA color{0, 0, 0, 0};
  const PixelRGBA* px = nullptr;
};

CellSource ReadSource(const TileWindow& w, const PixelRGBA& def, int64_t x, int64_t y, PixelRGBA* buf) {
  Quad q;
  QuadAt(w, x, y, q);
  CellSource s;
  if (q.nx == 1 && q.ny == 1) {
    if (!UniformValue(q.c[0][0], def, s.color)) {
      s.uniform = false;
      s.px = q.c[0][0]->BitmapPixels();
    }
    return s;
  }
  bool uniform = UniformValue(q.c[0][0], def, s.color);
  for (int r = 0; r < q.ny && uniform; ++r)
    for (int c = 0; c < q.nx && uniform; ++c) {
      PixelRGBA v;
      uniform = UniformValue(q.c[r][c], def, v) && v == s.color;
    }
  if (uniform) return s;
  for (int row = 0; row < 8; ++row) {
    const int y8 = q.sy + row;
    const Cell* const* cells = q.c[y8 >> 3];
    PixelRGBA* out = buf + 8 * row;
    ReadPixelRow(cells[0], def, y8 & 7, q.sx, 8 - q.sx, out);
    if (q.sx) ReadPixelRow(cells[1], def, y8 & 7, 0, q.sx, out + 8 - q.sx);
  }
  s.uniform = false;
  s.px = buf;
  return s;
}

// The clip base's coverage over one folder cell: true with one value in
// `single`, false with 64 values in `mask`.
bool ReadCoverage(const TileWindow& w, const PixelRGBA& def, int64_t x, int64_t y, uint16_t& single,
                  uint16_t* mask) {
  Quad q;
  QuadAt(w, x, y, q);
  bool uniform = UniformCoverage(q.c[0][0], def, single);
  for (int r = 0; r < q.ny && uniform; ++r)
    for (int c = 0; c < q.nx && uniform; ++c) {
      uint16_t v;
      uniform = UniformCoverage(q.c[r][c], def, v) && v == single;
    }
  if (uniform) return true;
  for (int row = 0; row < 8; ++row) {
    const int y8 = q.sy + row;
    const Cell* const* cells = q.c[y8 >> 3];
    uint16_t* out = mask + 8 * row;
    ReadCoverageRow(cells[0], def, y8 & 7, q.sx, 8 - q.sx, out);
    if (q.sx) ReadCoverageRow(cells[1], def, y8 & 7, 0, q.sx, out + 8 - q.sx);
  }
  return false;
}

// A zero source leaves every destination pixel as it is in all alpha modes
// but "lerp", except pixels without alpha that still carry colour, which the
// kernels clear. Sparse layers are mostly such sources, so this saves a
// kernel run over 64 pixels per empty cell.
bool LeavesUnchanged(const Cell& dst, const CellSource& s, const Blend& b) {
  if (!s.uniform || s.color.Word() != 0 || b.word1 == 1) return false;
  switch (dst.Kind()) {
    case Cell::kRGBAFill: {
      const PixelRGBA& v = dst.FillValue();
      return v.a != 0 || v.Word() == 0;
    }
    case Cell::kRGBABitmap: {
      const PixelRGBA* px = dst.BitmapPixels();
      if (!px) return true;
      uint64_t bad = 0;
      for (int i = 0; i < 64; ++i) {
        const uint64_t w = px[i].Word();
        bad |= uint64_t((w >> 48) == 0) & uint64_t(w != 0);
      }
      return bad == 0;
    }
    default:
      return false;
  }
}

// Blends one source onto a folder cell. The first source of a tile blends
// onto a transparent cell, whatever the cell held before.
void BlendCell(Cell& dst, bool first, const CellSource& s, uint16_t opacity, const uint16_t* mask,
               const Blend& b) {
  if (!first && LeavesUnchanged(dst, s, b)) return;
  if (first || !dst.IsRGBA()) {
    PixelRGBA* px = !s.uniform && dst.Kind() == Cell::kRGBABitmap ? dst.MutableBitmapPixels() : nullptr;
    if (px)
      std::memset(static_cast<void*>(px), 0, 64 * sizeof(PixelRGBA));
    else
      SetFill(dst, kZero);
  }
  if (s.uniform) {
    if (mask)
      dst.BlendColorMasked(s.color, opacity, mask, b);
    else
      dst.BlendColor(s.color, opacity, b);
  } else if (mask) {
    dst.BlendPixelsMasked(s.px, opacity, mask, b);
  } else {
    dst.BlendPixels(s.px, opacity, b);
  }
}

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
