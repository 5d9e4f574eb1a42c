// Raster layer: a sparse map of tiles in locate order.
//
// Positions without a tile read as the default pixel. Loaders build tiles
// directly: Tile::Create(loc, true), fill its 256 cells with
// SetFill/AssignPixels/AssignFrom8 (kzm/cell.h), then InsertTile, which also
// grows the tile bounds.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "kzm/plane.h"

namespace kzm {

// 16-byte geometry record handed in at creation and copied to clones; the
// loaders seed it with their two 32-bit geometry values.
struct ImageGeometry {
  int32_t v0 = 0, v1 = 0, v2 = 0, v3 = 0;
};

class PiImage final : public PiAdapter {
 public:
  // A new empty raster layer behind a new handle.
  static std::unique_ptr<Plane> Create(const ImageGeometry& geometry = {}, const PixelRGBA& defPixel = {},
                                       const Rect& bounds = {});

  PiImage(const ImageGeometry& geometry, const PixelRGBA& defPixel, const Rect& bounds);
  ~PiImage() override;

  int Kind() const override { return 1; }
  const ImageGeometry& Geometry() const { return geometry_; }

  // ---- tiles ----
  Tile* LookupTile(TileLocate loc) const override;
  bool ForEachTile(const TileVisitor& visit) override;
  bool HasContentIn(const Rect& r) const override;
  // Direct access to the ordered tile map (each entry holds one reference).
  const TileMap& Tiles() const { return tiles_; }

  // Puts a tile into the map (adopting its reference; a tile already under
  // that locate is released) and grows the bounds by the tile's square.
  void InsertTile(Tile* tile);
  // Compacts every tile against the default pixel, drops tiles that hold only
  // the default pixel and recomputes the bounds from the tiles kept.
  void CompactTiles();
  // Bounds = union of the squares of the tiles that hold cells (empty if none).
  void RecomputeBounds();

  const PixelRGBA& DefaultPixel() const override { return defPixel_; }
  // Drops the tile (its cells first).
  void RemoveTile(TileLocate loc);
  // Lets go of the tiles wholly above row y, for a layer read once from top
  // to bottom that gives its memory back as it goes. Bounds() keeps its value.
  void ReleaseTilesAbove(int64_t y);

  Rect Bounds() const override { return bounds_; }

 private:
  ImageGeometry geometry_;
  Rect bounds_;
  PixelRGBA defPixel_;
  TileMap tiles_;
};

}  // namespace kzm
