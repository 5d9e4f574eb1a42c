// The merged image of a flat document, composed a layer at a time.
//
// Composing a folder blends its visible layers, bottom to top, onto each of
// its cells; every cell sees the same sequence of blends whether the layers
// come one after another or all at once. So a composite that takes each
// visible layer as it passes, and is read when the last has passed, holds
// exactly the folder's merged image, while only the layer in hand (and a
// clip base still needed) is held beside it.
//
//   kzm::Composite merged(canvas);
//   if (someVisibleDefaultShows) merged.CoverCanvas();
//   for each visible layer:
//     std::vector<Tile*> tiles = merged.Begin(layer, props, maskBase);
//     ParallelFor(tiles.size(), [&](size_t k) { merged.BlendTile(*tiles[k]); });
//     merged.End();
//   merged.ReadRows(y, count, x0, x1, out);
//
// Layers sit at offset 0 in the folder's tile space (as documents read from
// files do).
#pragma once
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "blend/pixel.h"
#include "kzm/geometry.h"
#include "kzm/record_layer.h"
#include "kzm/tile.h"

namespace kzm {

class PiImage;

class Composite {
 public:
  explicit Composite(const Rect& canvas);
  ~Composite();
  Composite(const Composite&) = delete;
  Composite& operator=(const Composite&) = delete;

  // For each layer, the layer whose coverage masks it when it is composed
  // (visible layers only, in order: a layer with "lockdonly" blends masked
  // by its clip base, the last visible layer before it without "clip_dsta"),
  // else -1.
  static std::vector<int> MaskBases(const std::vector<ImageProperties>& layers);

  // Every tile of the canvas takes part from the start: needed when a
  // visible layer's default pixel is not transparent, which shows
  // everywhere. Call before the first layer.
  void CoverCanvas();

  // Starts blending a visible layer (null: one without tiles) with the
  // properties `props`; `maskBase` is the layer MaskBases names, held until
  // End. Returns the tiles to blend, each once, with BlendTile: tiles the
  // layer has content in are added (holding what the layers before gave
  // them).
  std::vector<Tile*> Begin(const PiImage* layer, const ImageProperties& props, const PiImage* maskBase,
                           const ImageProperties* maskBaseProps);
  // Blends the layer onto one tile of Begin's list; tiles may be blended on
  // different threads at once.
  void BlendTile(Tile& tile) const;
  void End();

  // Pixels [x0, x1) of rows [y, y + count) of the merged image, back to
  // back. May be called from several threads at once.
  void ReadRows(int32_t y, int count, int32_t x0, int32_t x1, PixelRGBA* out) const;
  // Whether rows [y0, y1) meet no tile (they read as transparent).
  bool RowsEmpty(int32_t y0, int32_t y1) const;
  // Lets go of the tiles wholly above row y.
  void ReleaseAbove(int32_t y);

 private:
  struct Step;  // one layer blended, as a layer without tiles gives it
  Tile* NewTile(TileLocate loc) const;
  void Add(TileLocate loc);

  Rect canvas_;
  TileMap tiles_;
  // Per tile: every cell is one a transparent source leaves as it is (see
  // BlendTile). Entries are made with the tiles; blending only writes them.
  mutable std::unordered_map<const Tile*, uint8_t> settled_;
  std::vector<Step> steps_;
  struct Current;
  std::unique_ptr<Current> current_;
};

}  // namespace kzm
