#include "kzm/merged_rows.h"

#include <algorithm>

#include "kzm/pi_folder.h"
#include "kzm/pix_iterator.h"
#include "kzm/plane.h"

namespace kzm {

namespace {
// Tile space that tile keys can address (as PixRandIterator bounds it).
constexpr int64_t kSpaceMin = -(int64_t(1) << 22);
constexpr int64_t kSpaceMax = int64_t(1) << 22;
}  // namespace

MergedRowReader::MergedRowReader(Plane& folder) : folder_(folder.folder()) {
  Plane::Impl& impl = *folder.impl();
  if (!folder_ || folder_->TileCount() != 0) {
    impl.Compose(ProgressFunc());
    kept_.reset(new PixRandIterator(impl));
    return;
  }
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

const Tile* MergedRowReader::TileAt(int64_t col, int64_t row) {
  if (row != current_) {
    tiles_.clear();  // the previous row's tiles go
    current_ = row;
    auto it = rows_.find(row);
    if (it != rows_.end()) {
      std::vector<TileRef> made = folder_->ComposeDetached(it->second);
      for (TileRef& t : made) {
        const int64_t col = t->Locate().Left() >> 7;
        tiles_[col] = std::move(t);
      }
    }
  }
  auto it = tiles_.find(col);
  return it != tiles_.end() && it->second->HasCells() ? it->second.get() : nullptr;
}

void MergedRowReader::ReadRow(int32_t y, int32_t x0, int32_t x1, PixelRGBA* out) {
  if (kept_) return kept_->ReadRow(y, x0, x1, out);
  if (x1 <= x0) return;
  const int64_t Y = int64_t(y) + off_.y;
  int64_t X = int64_t(x0) + off_.x;
  const int64_t Xend = int64_t(x1) + off_.x;
  if (Y < kSpaceMin || Y >= kSpaceMax) {
    std::fill(out, out + (x1 - x0), def_);
    return;
  }
  const int cy = int(Y & 127) >> 3, py = int(Y & 7);
  while (X < Xend) {
    if (X < kSpaceMin || X >= kSpaceMax) {
      const int64_t stop = X < kSpaceMin ? std::min(Xend, kSpaceMin) : Xend;
      std::fill(out, out + (stop - X), def_);
      out += stop - X;
      X = stop;
      continue;
    }
    const int64_t tileEnd = std::min(Xend, (X & ~int64_t(127)) + 128);
    const Tile* t = TileAt(X >> 7, Y >> 7);
    if (!t) {
      std::fill(out, out + (tileEnd - X), def_);
      out += tileEnd - X;
      X = tileEnd;
      continue;
    }
    while (X < tileEnd) {
      const int64_t cellEnd = std::min(tileEnd, (X & ~int64_t(7)) + 8);
      const int n = int(cellEnd - X);
      const Cell& c = t->At(int(X & 127) >> 3, cy);
      switch (c.Kind()) {
        case Cell::kRGBAFill:
          std::fill(out, out + n, c.FillValue());
          break;
        case Cell::kRGBABitmap: {
          const PixelRGBA* px = c.BitmapPixels();
          if (px)
            std::copy(px + 8 * py + int(X & 7), px + 8 * py + int(X & 7) + n, out);
          else
            std::fill(out, out + n, def_);
          break;
        }
        default:
          std::fill(out, out + n, def_);
          break;
      }
      out += n;
      X = cellEnd;
    }
  }
}

}  // namespace kzm
