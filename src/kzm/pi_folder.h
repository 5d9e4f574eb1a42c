// Folder node: an ordered list of owned child planes (first = bottom) and a
// map of merged tiles of its own.
//
// Bounds(): the fixed bounds when set, else the union of the non-empty bounds
// of all children (hidden ones included), each moved by minus the child's
// offset into folder coordinates; empty when no child has any.
//
// Merged tiles are created on request (FindTile, MergedTilesNow) and their
// content computed for the asker. ChildChanged drops every merged tile so the
// next request or Compose rebuilds it from the children.
//
// Coordinates: the merged tile at tile-space X holds the composition at
// folder position X - offset, where every child reads its own tile space at
// that position plus the child's offset. A folder's offset
// thus moves where its merged tiles are stored, not what they show, and its
// Bounds() are folder positions.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "blend/kernels.h"
#include "kzm/main_context.h"
#include "kzm/plane.h"
#include "kzm/tile.h"

namespace kzm {

class BGThread;

class PiFolder final : public PiAdapter {
 public:
  // A new empty folder behind a new handle / as a shared document root.
  static std::unique_ptr<Plane> Create();
  static std::shared_ptr<Plane> CreateRoot();

  PiFolder();
  // Destroys the merged tiles and the children.
  ~PiFolder() override;

  int Kind() const override { return 3; }
  // Its own visible flag and at least one effectively visible child.
  bool IsVisibleEffective() const override;

  // ---- children ----
  size_t ChildCount() const override;
  Plane* ChildAt(int64_t index) const override;
  std::unique_ptr<Plane> RemoveChild(Plane* child) override;
  Plane* AppendChild(std::unique_ptr<Plane> child) override;
  const std::vector<Plane*>& Children() const { return children_; }

  // ---- bounds ----
  Rect Bounds() const override;
  Rect ComputedBounds() const;
  // SetBounds/UnionBounds are not used on folders: their bounds are derived.
  void SetFixedBounds(const Rect& r) { fixedBounds_ = r; }
  void ClearFixedBounds() { fixedBounds_.reset(); }
  const std::optional<Rect>& FixedBounds() const { return fixedBounds_; }

  // ---- merged tiles ----
  // Under the lock: the merged tile for `loc`, created on first request as a
  // tile without cells where no child has content, else with 256 empty cells;
  // with `compute` its content is brought up to date (on the main thread
  // only).
  Tile* FindTile(TileLocate loc, bool compute) override;
  Tile* LookupTile(TileLocate loc) const override;
  size_t TileCount() const override;
  bool ForEachTile(const TileVisitor& visit) override;
  bool HasContentIn(const Rect& r) const override;
  const TileMap& MergedTiles() const { return tiles_; }
  // Puts a tile into the merged map (adopting its reference), replacing any.
  void InsertMergedTile(Tile* tile);
  // Removes the merged tile under `loc` from the map; ownership of its
  // reference goes to the caller (null when absent).
  Tile* DetachMergedTile(TileLocate loc);
  void ClearMergedTiles();

  void ChildChanged(Plane* child) override;

  // ---- composition (kzm/compose.cpp) ----
  // Visible children (and the attached plane) with their settings, as the
  // merge of one tile reads them; opaque outside compose.cpp.
  struct ComposePlan;

  // Brings the merged tiles up to date from the visible children: child
  // folders are composed first, then every tile that a visible child (or the
  // attached plane) holds is recomposed, plus every tile of Bounds() when a
  // visible child's default pixel is not the zero pixel. `progress` gets
  // (0, 2, child index, child count) per child and (1, 2, tile index, tile
  // count) per tile; false from it cancels. True when every tile was
  // composed; false when cancelled or a child folder's compose failed.
  bool Compose(const ProgressFunc& progress) override;
  // The first half of Compose: child folders composed and `keys` set to the
  // tiles Compose recomposes, in locate order; false when cancelled.
  bool ComposeKeys(const ProgressFunc& progress, std::vector<uint32_t>& keys);
  // New tiles at `locs`, merged exactly as Compose merges them (child
  // folders must be composed already), on the work pool; the caller owns
  // them and the folder keeps nothing. For reading a composition once.
  std::vector<TileRef> ComposeDetached(const std::vector<TileLocate>& locs);
  // A further plane composed over the children, without a clip base; the
  // folder owns it. Null removes it.
  void SetAttachedPlane(std::unique_ptr<Plane> plane);
  Plane* AttachedPlane() const;
  // Under the lock: the merged tile for `loc` (created as FindTile does),
  // its content computed on the calling thread whatever thread that is when
  // it is not current. A parent merging on demand reads child folders
  // through this.
  Tile* MergedTileNow(TileLocate loc);
  // MergedTileNow for several locates, the contents computed on the work
  // pool (the same tiles and contents as one call per locate).
  void MergedTilesNow(const std::vector<TileLocate>& locs);
  // Cells of a tile: bit cy * 16 + cx.
  using CellMask = std::array<uint64_t, 4>;
  // MergedTilesNow, except that of a new tile for which `cellsOf` gives a
  // mask only those cells are merged (the others stay empty): for tiles the
  // caller detaches right after reading pixels of those cells.
  void MergedTilesNow(const std::vector<TileLocate>& locs,
                      const std::function<const CellMask*(TileLocate)>& cellsOf);

  // No folder has a worker queue; doc_save.cpp still asks.
  BGThread* Worker() const { return nullptr; }

 private:
  // The merged tile for `loc`, created without computing when missing.
  Tile* FindOrCreateTile(TileLocate loc);
  // Under the lock. `lazy`: child folder tiles are computed as they are read;
  // otherwise child folders are taken as already composed.
  std::shared_ptr<const ComposePlan> MakePlan(bool lazy) const;
  // Merges the planned sources into `tile` (its cells only; of them, only
  // those in `cells` when given).
  static void ComposeTileWith(const ComposePlan& plan, Tile& tile, const CellMask* cells = nullptr);
  // Brings a merged tile's content up to date (the merge of the children).
  void ComputeTile(Tile& tile);

  std::vector<Plane*> children_;  // owned
  std::unique_ptr<Plane> attached_;
  std::optional<Rect> fixedBounds_;
  TileMap tiles_;
  std::atomic<bool> closing_{false};  // cancels a composition (compose.cpp)
};

}  // namespace kzm
