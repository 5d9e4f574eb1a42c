// Cell snapshots: records of cells taken before they change, so a layer can be
// put back exactly (undo). A cell records itself at most once per snapshot
// generation (its save stamp then equals the generation).
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "blend/pixel.h"
#include "kzm/geometry.h"
#include "kzm/mempool.h"

namespace kzm {

class Tile;
class Plane;

class ISaveCell {
 public:
  virtual ~ISaveCell() = default;
  // Writes the tile locate to `out` and returns it.
  virtual TileLocate Locate(TileLocate& out) const = 0;
  // Marks the cell dirty (unless the tile's record is all-dirty) and puts a
  // copy of the recorded content (stamp 0) in place of the tile's cell.
  virtual void Restore(Tile& tile) const = 0;
  // Bytes a record adds to its snapshot besides 16 bytes of list overhead.
  virtual uint32_t Cost() const { return 38; }
};

class SaveCellImplBase : public ISaveCell {
 public:
  SaveCellImplBase(TileLocate loc, int cx, int cy) : loc_(loc), cx_(cx), cy_(cy) {}
  TileLocate Locate(TileLocate& out) const override { return out = loc_; }
  int CellX() const { return cx_; }
  int CellY() const { return cy_; }

 protected:
  TileLocate loc_;
  int32_t cx_, cy_;
};

class SaveCellImplRGBABitmap final : public SaveCellImplBase {
 public:
  // Takes ownership of a 512-byte pool block of 64 pixels.
  SaveCellImplRGBABitmap(TileLocate loc, int cx, int cy, PixelRGBA* block);
  ~SaveCellImplRGBABitmap() override;
  KZM_POOLED(PoolId::k32)
  void Restore(Tile& tile) const override;
  const PixelRGBA* Pixels() const { return px_; }

 private:
  PixelRGBA* px_;
};

class SaveCellImplRGBAFill final : public SaveCellImplBase {
 public:
  SaveCellImplRGBAFill(TileLocate loc, int cx, int cy, const PixelRGBA& v);
  KZM_POOLED(PoolId::k32)
  void Restore(Tile& tile) const override;
  const PixelRGBA& Value() const { return v_; }

 private:
  PixelRGBA v_;
};

class ISavePixels {
 public:
  virtual ~ISavePixels() = default;
  // Puts the layer back as it was when the snapshot began.
  virtual void Restore() = 0;
  // Running byte count of what the snapshot holds.
  virtual uint64_t Cost() const = 0;
};

// Snapshot of one image layer (PiImage::BeginSnapshot).
class SavePixelsImpl final : public ISavePixels {
 public:
  // `layer` is the handle of the image; bounds and default pixel are taken now.
  SavePixelsImpl(Plane* layer, uint32_t generation);
  ~SavePixelsImpl() override;

  void Restore() override;
  uint64_t Cost() const override { return bytes_; }

  uint32_t Generation() const { return generation_; }
  void AddRecord(ISaveCell* rec);        // takes ownership; adds Cost() + 16
  void AddNewTile(TileLocate loc);       // adds 20
  size_t RecordCount() const { return records_.size(); }
  const ISaveCell* RecordAt(size_t i) const { return records_[i]; }
  const std::vector<TileLocate>& NewTiles() const { return newTiles_; }
  const Rect& RecordedBounds() const { return bounds_; }
  const PixelRGBA& RecordedDefaultPixel() const { return defPixel_; }

 private:
  Plane* layer_;
  Rect bounds_;
  PixelRGBA defPixel_;
  std::vector<TileLocate> newTiles_;
  std::vector<ISaveCell*> records_;
  uint32_t generation_;
  uint64_t bytes_ = 0;
};

}  // namespace kzm
