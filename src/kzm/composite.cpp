#include "kzm/composite.h"

#include <algorithm>

#include "kzm/compose_cells.h"
#include "kzm/pi_image.h"
#include "kzm/pix_iterator.h"

namespace kzm {

// A layer as a cell where it has no tile reads it: its default pixel, masked
// by its base's default coverage.
struct Composite::Step {
  Blend blend;
  uint16_t opacity = kUnit;
  PixelRGBA def{0, 0, 0, 0};
  bool masked = false;
  uint16_t baseCover = 0;  // the mask base's default alpha
};

struct Composite::Current {
  ComposeSource source;
  ComposeSource base;
  bool masked = false;
  bool first = false;
};

Composite::Composite(const Rect& canvas) : canvas_(canvas) {}

Composite::~Composite() {
  for (auto& e : tiles_) e.second->Release();
}

std::vector<int> Composite::MaskBases(const std::vector<ImageProperties>& layers) {
  std::vector<int> bases(layers.size(), -1);
  int clipBase = -1;
  for (size_t i = 0; i < layers.size(); ++i) {
    const ImageProperties& p = layers[i];
    if (!p.visible) continue;
    if (clipBase >= 0 && (p.blend.word0 & Blend::lockdonly)) bases[i] = clipBase;
    if (clipBase < 0 || !(p.blend.word0 & Blend::clip_dsta)) clipBase = int(i);
  }
  return bases;
}

void Composite::CoverCanvas() {
  if (canvas_.IsEmpty()) return;
  const int64_t c0 = std::max(kIndexMin, int64_t(canvas_.left) >> 7);
  const int64_t c1 = std::min(kIndexMax, (int64_t(canvas_.right) - 1) >> 7);
  const int64_t r0 = std::max(kIndexMin, int64_t(canvas_.top) >> 7);
  const int64_t r1 = std::min(kIndexMax, (int64_t(canvas_.bottom) - 1) >> 7);
  for (int64_t r = r0; r <= r1; ++r)
    for (int64_t c = c0; c <= c1; ++c) {
      const TileLocate loc = TileLocate::FromColRow(int(c), int(r));
      if (!tiles_.count(loc)) Add(loc);
    }
}

void Composite::Add(TileLocate loc) {
  Tile* t = NewTile(loc);
  try {
    settled_.emplace(t, uint8_t(0));
  } catch (...) {
    t->Release();
    throw;
  }
  tiles_.emplace(loc, t);
}

// A tile that joins after some layers were blended: none of them had a tile
// there, so each gave every cell its default pixel; one cell replays them.
Tile* Composite::NewTile(TileLocate loc) const {
  if (steps_.empty()) return Tile::CreateFilled(loc, kZero);
  Tile* scratch = Tile::Create(loc, true);
  Cell& cell = scratch->MutableAt(0, 0);
  SetFill(cell, kZero);
  for (size_t i = 0; i < steps_.size(); ++i) {
    const Step& s = steps_[i];
    CellSource src;
    src.color = s.def;
    uint16_t opacity = s.opacity;
    if (s.masked) opacity = uint16_t((uint32_t(s.baseCover) * opacity) >> 14);
    BlendCell(cell, i == 0, src, opacity, nullptr, s.blend);
  }
  Tile* t;
  if (cell.Kind() == Cell::kRGBAFill) {
    t = Tile::CreateFilled(loc, cell.FillValue());
  } else {
    t = Tile::Create(loc, true);
    Cell* cells = t->MutableCells();
    for (int k = 0; k < kTileCellCount; ++k) AssignPixels(cells[k], cell.BitmapPixels());
  }
  scratch->Release();
  return t;
}

std::vector<Tile*> Composite::Begin(const PiImage* layer, const ImageProperties& props, const PiImage* maskBase,
                                    const ImageProperties* maskBaseProps) {
  current_.reset(new Current);
  Current& c = *current_;
  c.first = steps_.empty();
  c.source.impl = const_cast<PiImage*>(layer);
  c.source.blend = props.blend;
  c.source.opacity = props.opacity;
  c.source.def = props.defaultPixel;
  c.masked = maskBaseProps != nullptr;
  if (c.masked) {
    c.base.impl = const_cast<PiImage*>(maskBase);
    c.base.def = maskBaseProps->defaultPixel;
  }
  if (layer)
    for (const auto& e : layer->Tiles())
      if (e.second->HasCells() && !tiles_.count(e.first)) Add(e.first);
  std::vector<Tile*> out;
  out.reserve(tiles_.size());
  for (auto& e : tiles_) out.push_back(e.second);
  return out;
}

void Composite::BlendTile(Tile& tile) const {
  const Current& c = *current_;
  const TileLocate loc = tile.Locate();
  const int64_t X0 = loc.Left(), Y0 = loc.Top();
  // A plane without tiles reads as its default pixel everywhere.
  auto window = [&](const ComposeSource& s, TileWindow& w) {
    if (s.impl) return FetchWindow(s, loc, w);
    w.col0 = X0 >> 7;
    w.row0 = Y0 >> 7;
  };
  TileWindow w, bw;
  window(c.source, w);
  if (c.masked) window(c.base, bw);
  // Where the layer has no tile and reads as transparent, the source leaves
  // most cells as they are (LeavesUnchanged). A tile whose every cell was
  // left so is settled: later such layers pass it by, until one changes it.
  bool empty = true;
  for (const auto& row : w.tiles)
    for (const TileRef& t : row) empty = empty && !t.get();
  const CellSource zero;
  const bool clear = empty && !c.first && c.source.def.Word() == 0 && c.source.blend.word1 != 1;
  uint8_t& settled = settled_.find(&tile)->second;
  if (clear && settled) return;
  bool unchanged = clear;
  PixelRGBA buf[64];
  uint16_t mask[64];
  for (int cy = 0; cy < kTileCells; ++cy) {
    const int64_t y = Y0 + cy * 8;
    for (int cx = 0; cx < kTileCells; ++cx) {
      const int64_t x = X0 + cx * 8;
      if (clear) {
        if (LeavesUnchanged(tile.At(cx, cy), zero, c.source.blend)) continue;
        unchanged = false;
      }
      if (cx + 1 < kTileCells) PrefetchSource(w, x + 8, y);
      const CellSource src = ReadSource(w, c.source.def, x, y, buf);
      uint16_t opacity = c.source.opacity;
      const uint16_t* m = nullptr;
      if (c.masked) {
        uint16_t cover;
        if (ReadCoverage(bw, c.base.def, x, y, cover, mask))
          opacity = uint16_t((uint32_t(cover) * opacity) >> 14);
        else
          m = mask;
      }
      BlendCell(tile.MutableAt(cx, cy), c.first, src, opacity, m, c.source.blend);
    }
  }
  settled = unchanged;
}

void Composite::End() {
  const Current& c = *current_;
  Step s;
  s.blend = c.source.blend;
  s.opacity = c.source.opacity;
  s.def = c.source.def;
  s.masked = c.masked;
  s.baseCover = c.base.def.a;
  steps_.push_back(s);
  current_.reset();
}

void Composite::ReadRows(int32_t y, int count, int32_t x0, int32_t x1, PixelRGBA* out) const {
  const PixelRGBA def = kZero;
  ReadTileRows(y, count, x0, x1, def, out, size_t(int64_t(x1) - x0), [this](int64_t X, int64_t Y) -> const Tile* {
    auto it = tiles_.find(TileLocate::FromColRow(int(X >> 7), int(Y >> 7)));
    return it != tiles_.end() && it->second->HasCells() ? it->second : nullptr;
  });
}

bool Composite::RowsEmpty(int32_t y0, int32_t y1) const {
  for (int64_t row = int64_t(y0) >> 7; row <= (int64_t(y1) - 1) >> 7; ++row) {
    if (row < kIndexMin || row > kIndexMax) continue;
    // The keys of one row of tiles share their high half.
    const uint32_t high = uint32_t(uint16_t(int16_t(row))) << 16;
    const auto it = tiles_.lower_bound(TileLocate(high));
    if (it != tiles_.end() && (it->first.key & 0xFFFF0000u) == high) return false;
  }
  return true;
}

void Composite::ReleaseAbove(int32_t y) {
  ReleaseTilesAbove(tiles_, y, [this](Tile* t) { settled_.erase(t); });
}

}  // namespace kzm
