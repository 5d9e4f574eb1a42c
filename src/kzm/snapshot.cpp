#include "kzm/snapshot.h"

#include <cstring>

#include "kzm/cell.h"
#include "kzm/plane.h"
#include "kzm/tile.h"

namespace kzm {

static_assert(sizeof(SaveCellImplRGBABitmap) <= 32, "cell records live in the 32-byte pool");
static_assert(sizeof(SaveCellImplRGBAFill) <= 32, "cell records live in the 32-byte pool");

namespace {

// Marks the cell dirty and empties it so the record's copy starts with stamp 0.
Cell& PrepareRestore(Tile& tile, int cx, int cy) {
  tile.EnsureCells();
  tile.MarkDirty(cx, cy);
  Cell& c = tile.MutableAt(cx, cy);
  c.Reset();
  return c;
}

}  // namespace

SaveCellImplRGBABitmap::SaveCellImplRGBABitmap(TileLocate loc, int cx, int cy, PixelRGBA* block)
    : SaveCellImplBase(loc, cx, cy), px_(block) {}
SaveCellImplRGBABitmap::~SaveCellImplRGBABitmap() { PoolFree(PoolId::k512, px_); }
void SaveCellImplRGBABitmap::Restore(Tile& tile) const {
  Cell& c = PrepareRestore(tile, cx_, cy_);
  AssignPixels(c, px_);
}

SaveCellImplRGBAFill::SaveCellImplRGBAFill(TileLocate loc, int cx, int cy, const PixelRGBA& v)
    : SaveCellImplBase(loc, cx, cy), v_(v) {}
void SaveCellImplRGBAFill::Restore(Tile& tile) const {
  Cell& c = PrepareRestore(tile, cx_, cy_);
  SetFill(c, v_);
}

// ---------------------------------------------------------------------------

SavePixelsImpl::SavePixelsImpl(Plane* layer, uint32_t generation) : layer_(layer), generation_(generation) {
  if (layer_ && layer_->impl()) {
    bounds_ = layer_->impl()->Bounds();
    defPixel_ = layer_->impl()->DefaultPixel();
  } else {
    defPixel_ = PixelRGBA{0, 0, 0, 0};
  }
}

SavePixelsImpl::~SavePixelsImpl() {
  for (ISaveCell* r : records_) delete r;
}

void SavePixelsImpl::AddRecord(ISaveCell* rec) {
  std::unique_ptr<ISaveCell> owned(rec);
  records_.push_back(rec);
  owned.release();
  bytes_ += rec->Cost() + 16;
}

void SavePixelsImpl::AddNewTile(TileLocate loc) {
  newTiles_.push_back(loc);
  bytes_ += 20;
}

void SavePixelsImpl::Restore() {
  if (!layer_ || !layer_->impl()) return;
  Plane::Impl* l = layer_->impl();
  if (l->DefaultPixel() != defPixel_) l->SetDefaultPixel(defPixel_, nullptr);
  for (TileLocate loc : newTiles_) l->RemoveTile(loc, nullptr);
  for (const ISaveCell* rec : records_) {
    TileLocate loc;
    rec->Locate(loc);
    l->EditTile(loc, [rec](Tile& t) { rec->Restore(t); });
  }
  l->SetBounds(bounds_);
}

}  // namespace kzm
