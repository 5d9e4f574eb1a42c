// Tiles: 16 x 16 cells (128 x 128 pixels) under a TileLocate key.
//
// A tile's cell array (256 handles, all null at creation) is one block of the
// 2056-byte pool: a 64-bit element count 256 followed by the handles. A tile
// may also exist without a cell array (a folder tile where no child has
// content).
//
// A tile whose 256 cells are RGBA fills of one value may share one read-only
// cell array with every other such tile of that value, so that flat areas
// cost a tile object each and not 256 cells. Reading is the same for both;
// only tiles with cells of their own are changed (a tile takes a shared
// array once its layer is complete).
//
// Tiles are reference counted (the owning tile map holds one reference);
// Release() of the last reference destroys cells, array and tile.
#pragma once
#include <atomic>
#include <cassert>
#include <cstdint>
#include <map>
#include <mutex>

#include "blend/pixel.h"
#include "kzm/cell.h"
#include "kzm/geometry.h"

namespace kzm {

class Tile {
 public:
  // New tile with reference count 1; `withCells` allocates 256 null handles.
  static Tile* Create(TileLocate loc, bool withCells);
  // New tile whose 256 cells are RGBA fills of `v`.
  static Tile* CreateFilled(TileLocate loc, const PixelRGBA& v);

  int AddRef();   // returns the new count
  int Release();  // returns the new count; 0 means the tile is gone

  TileLocate Locate() const { return loc_; }
  bool HasCells() const { return cells_ != nullptr; }
  // The 256 handles (cell (cx, cy) at cx + 16 * cy), or null without an array.
  const Cell* Cells() const { return cells_; }
  const Cell& At(int cx, int cy) const { return cells_[cx + 16 * cy]; }
  // For changing cells; never of a shared tile.
  Cell* MutableCells() {
    assert(!shared_);
    return cells_;
  }
  Cell& MutableAt(int cx, int cy) { return MutableCells()[cx + 16 * cy]; }
  // Gives the tile a cell array of 256 null handles if it has none.
  void EnsureCells();
  // Destroys every cell and returns the array to its pool (or lets go of
  // the shared one).
  void DestroyCells();

  // Replaces uniform bitmaps by fills; true exactly when all 256 cells equal
  // `background` (so the caller may drop the tile). False without an array.
  // A null cell reads as the layer's default pixel and counts as background
  // (callers pass the default pixel). A tile left with 256 fills of one
  // other value takes the shared array of that value.
  bool Compact(const PixelRGBA& background);
  // Takes the shared array when all 256 cells are RGBA fills of one value.
  void ShareIfUniform();

  // The array shared by the uniform tiles of one value (opaque outside tile.cpp).
  struct Shared;

 private:
  explicit Tile(TileLocate loc) : loc_(loc) {}
  ~Tile();

  Cell* cells_ = nullptr;
  Shared* shared_ = nullptr;
  TileLocate loc_;
  int32_t refs_ = 1;
  std::mutex refMutex_;      // guards refs_
};

// Owning reference to a tile (AddRef on copy, Release on destruction).
class TileRef {
 public:
  TileRef() = default;
  // Adopts one existing reference (no AddRef).
  static TileRef Adopt(Tile* t) { TileRef r; r.t_ = t; return r; }
  // Takes a new reference.
  static TileRef Share(Tile* t) { if (t) t->AddRef(); return Adopt(t); }
  TileRef(const TileRef& o) : t_(o.t_) { if (t_) t_->AddRef(); }
  TileRef(TileRef&& o) noexcept : t_(o.t_) { o.t_ = nullptr; }
  TileRef& operator=(TileRef o) noexcept { std::swap(t_, o.t_); return *this; }
  ~TileRef() { if (t_) t_->Release(); }
  Tile* get() const { return t_; }
  Tile* operator->() const { return t_; }
  Tile& operator*() const { return *t_; }
  Tile* release() { Tile* t = t_; t_ = nullptr; return t; }

 private:
  Tile* t_ = nullptr;
};

// Tile map of a layer or folder: each entry holds one reference.
using TileMap = std::map<TileLocate, Tile*, loccomp_t>;

// Lets go of the tiles wholly above row y (a map read from top to bottom);
// gone(tile) sees each one before its reference goes.
template <typename Gone>
void ReleaseTilesAbove(TileMap& tiles, int64_t y, Gone&& gone) {
  for (auto it = tiles.begin(); it != tiles.end();) {
    if (int64_t(it->first.Top()) + 128 <= y) {
      gone(it->second);
      it->second->Release();
      it = tiles.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace kzm
