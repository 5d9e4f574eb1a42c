// Rows of a folder's composition, read top to bottom without holding it.
//
//   kzm::MergedRowReader merged(*root);
//   for (y = top; y < bottom; y = y1) {
//     y1 = ...;
//     merged.Compose(y, y1)->ReadRows(y, y1 - y, left, right, rows);
//   }
//
// Reads exactly what PixRandIterator over the folder reads after
// PiFolder::Compose, but the merged tiles are composed one row of tiles at a
// time (on the work pool) and let go when the reader moves on, so a large
// canvas's merged image never sits in memory whole. The folder's own merged
// tiles are neither read nor changed.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "blend/pixel.h"
#include "kzm/geometry.h"
#include "kzm/tile.h"

namespace kzm {

class Plane;
class PiFolder;

class MergedRowReader {
 public:
  // `folder` must be a folder.
  explicit MergedRowReader(Plane& folder);
  ~MergedRowReader();
  MergedRowReader(const MergedRowReader&) = delete;
  MergedRowReader& operator=(const MergedRowReader&) = delete;

  // Rows of the composition held for reading from any thread, for as long
  // as the band lives.
  class Band {
   public:
    // Pixels [x0, x1) of rows [y, y + count) of the band, back to back.
    void ReadRows(int32_t y, int count, int32_t x0, int32_t x1, PixelRGBA* out) const;

   private:
    friend class MergedRowReader;
    Point off{0, 0};
    PixelRGBA def{0, 0, 0, 0};
    std::map<int64_t, std::map<int64_t, TileRef>> tiles;  // by tile row, then column
  };
  // Rows [y0, y1), composed now; bands in increasing order, not overlapping
  // (except within one row of tiles).
  std::shared_ptr<const Band> Compose(int32_t y0, int32_t y1);

 private:
  void Hold(int64_t row);

  PiFolder* folder_;
  Point off_{0, 0};
  PixelRGBA def_{0, 0, 0, 0};
  std::map<int64_t, std::vector<TileLocate>> rows_;  // tiles Compose makes, by tile row
  int64_t current_ = INT64_MIN;                      // tile row held
  std::map<int64_t, TileRef> tiles_;                 // its tiles by column
};

}  // namespace kzm
