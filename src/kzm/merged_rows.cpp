#include "kzm/merged_rows.h"

#include <algorithm>
#include <cassert>

#include "kzm/pi_folder.h"
#include "kzm/pix_iterator.h"
#include "kzm/plane.h"

namespace kzm {

MergedRowReader::MergedRowReader(Plane& folder) : folder_(folder.folder()) {
  assert(folder_);
  const Plane::Impl& impl = *folder.impl();
  off_ = impl.Offset();
  def_ = impl.DefaultPixel();
  std::vector<uint32_t> keys;
  folder_->ComposeKeys(ProgressFunc(), keys);
  for (uint32_t k : keys) {
    const TileLocate loc(k);
    rows_[loc.Top() >> 7].push_back(loc);
  }
}

MergedRowReader::~MergedRowReader() = default;

// Makes `row` the row of tiles held: composed now unless it is held already.
void MergedRowReader::Hold(int64_t row) {
  if (row == current_) return;
  tiles_.clear();  // the previous row's tiles go
  current_ = row;
  auto it = rows_.find(row);
  if (it == rows_.end()) return;
  for (TileRef& t : folder_->ComposeDetached(it->second)) {
    const int64_t col = t->Locate().Left() >> 7;
    if (t->HasCells()) tiles_[col] = std::move(t);
  }
}

std::shared_ptr<const MergedRowReader::Band> MergedRowReader::Compose(int32_t y0, int32_t y1) {
  auto band = std::make_shared<Band>();
  band->off = off_;
  band->def = def_;
  if (y1 <= y0) return band;
  const int64_t first = (int64_t(y0) + off_.y) >> 7, last = (int64_t(y1) - 1 + off_.y) >> 7;
  // The last band's final row of tiles may be held already.
  for (int64_t row = first; row <= last; ++row) {
    Hold(row);
    band->tiles[row] = tiles_;
  }
  return band;
}

void MergedRowReader::Band::ReadRows(int32_t y, int count, int32_t x0, int32_t x1, PixelRGBA* out) const {
  ReadTileRows(int64_t(y) + off.y, count, int64_t(x0) + off.x, int64_t(x1) + off.x, def, out,
               size_t(std::max<int64_t>(0, int64_t(x1) - x0)), [&](int64_t X, int64_t Y) -> const Tile* {
                 const auto row = tiles.find(Y >> 7);
                 if (row == tiles.end()) return nullptr;
                 const auto it = row->second.find(X >> 7);
                 return it != row->second.end() ? it->second.get() : nullptr;
               });
}

}  // namespace kzm
