// Composition on the work pool and the merged image read row by row: the
// same tiles whatever the number of threads, cancellation as before, and
// MergedRowReader giving exactly what a composed root gives.
#include <gtest/gtest.h>

#include <vector>

#include "chunk/work_pool.h"
#include "compose_test_util.h"
#include "kzm/merged_rows.h"
#include "kzm/pix_iterator.h"

namespace kzm {
namespace {

using namespace composetest;

class ThreadLimit {
 public:
  explicit ThreadLimit(unsigned n) { chunk::SetWorkThreadLimit(n); }
  ~ThreadLimit() { chunk::SetWorkThreadLimit(0); }
};

// Every merged tile's cells as pixels, by locate.
std::map<uint32_t, std::vector<PixelRGBA>> MergedPixels(const PiFolder& f) {
  std::map<uint32_t, std::vector<PixelRGBA>> out;
  for (auto& e : f.MergedTiles()) {
    std::vector<PixelRGBA>& px = out[e.first.key];
    if (!e.second->HasCells()) continue;
    for (int i = 0; i < kTileCellCount; ++i) {
      const Cell& c = e.second->Cells()[i];
      for (int k = 0; k < 64; ++k) {
        const PixelRGBA* p = c.PixelAt(k % 8, k / 8);
        px.push_back(p ? *p : Px(1, 2, 3, 4));
      }
    }
  }
  return out;
}

Rect Grown(const Rect& r, int32_t by) { return Rect{r.left - by, r.top - by, r.right + by, r.bottom + by}; }

}  // namespace

TEST(ComposeParallel, SameTilesWhateverTheThreadCount) {
  for (uint32_t seed = 301; seed <= 312; ++seed) {
    std::map<uint32_t, std::vector<PixelRGBA>> one, three;
    {
      ThreadLimit l(1);
      std::mt19937 rng(seed);
      Stack s = RandomStack(rng);
      ASSERT_TRUE(s.root->impl()->Compose(ProgressFunc()));
      one = MergedPixels(*s.root->folder());
    }
    {
      ThreadLimit l(3);
      std::mt19937 rng(seed);
      Stack s = RandomStack(rng);
      ASSERT_TRUE(s.root->impl()->Compose(ProgressFunc()));
      three = MergedPixels(*s.root->folder());
    }
    EXPECT_EQ(one, three) << "seed " << seed;
  }
}

TEST(ComposeParallel, CancelStopsBeforeTheRefusedTile) {
  ThreadLimit l(3);
  for (uint32_t seed = 321; seed <= 326; ++seed) {
    std::mt19937 rng(seed);
    StackOptions o;
    o.nested = false;  // a child folder would report its own tiles
    Stack s = RandomStack(rng, o);
    PiFolder& f = *s.root->folder();
    std::vector<uint32_t> keys;
    ASSERT_TRUE(f.ComposeKeys(ProgressFunc(), keys));
    if (keys.size() < 3) continue;
    const uint64_t stopAt = keys.size() / 2;
    std::vector<uint64_t> seen;
    const bool done = f.Compose([&](uint64_t phase, uint64_t, uint64_t i, uint64_t) {
      if (phase != 1) return true;
      seen.push_back(i);
      return i != stopAt;
    });
    EXPECT_FALSE(done);
    ASSERT_EQ(seen.size(), stopAt + 1) << "one call per tile, in order, up to the refused one";
    for (uint64_t i = 0; i <= stopAt; ++i) EXPECT_EQ(seen[i], i);
    // The tiles before the refused one are merged, the others are not there.
    size_t merged = 0;
    for (auto& e : f.MergedTiles()) merged += e.second->HasCells();
    EXPECT_EQ(merged, stopAt) << "seed " << seed;
  }
}

TEST(ComposeParallel, TilesMergedOnRequestTogetherAsOneByOne) {
  ThreadLimit l(3);
  for (uint32_t seed = 351; seed <= 362; ++seed) {
    std::map<uint32_t, std::vector<PixelRGBA>> single, together;
    for (int pass = 0; pass < 2; ++pass) {
      std::mt19937 rng(seed);
      Stack s = RandomStack(rng);
      PiFolder& f = *s.root->folder();
      const Rect area = Grown(f.Bounds(), 130);
      if (area.IsEmpty()) break;
      std::vector<TileLocate> locs;
      for (int32_t row = area.top >> 7; row <= (area.bottom - 1) >> 7; ++row)
        for (int32_t col = area.left >> 7; col <= (area.right - 1) >> 7; ++col)
          locs.push_back(TileLocate::FromColRow(col, row));
      if (pass == 0) {
        for (TileLocate loc : locs) f.MergedTileNow(loc);
        single = MergedPixels(f);
      } else {
        f.MergedTilesNow(locs);
        f.MergedTilesNow(locs);  // computed already: nothing changes
        together = MergedPixels(f);
      }
    }
    EXPECT_EQ(single, together) << "seed " << seed;
  }
}

TEST(ComposeParallel, RowReaderReadsWhatTheComposedRootHolds) {
  int checked = 0;
  for (uint32_t seed = 331; seed <= 346; ++seed) {
    const Rect area = [&] {
      std::mt19937 rng(seed);
      Stack s = RandomStack(rng);
      return Grown(s.root->impl()->Bounds(), 140);
    }();
    if (area.IsEmpty()) continue;
    std::vector<PixelRGBA> want, got;
    const size_t w = size_t(area.right - area.left);
    std::vector<PixelRGBA> row(w);
    {
      std::mt19937 rng(seed);
      Stack s = RandomStack(rng);
      ASSERT_TRUE(s.root->impl()->Compose(ProgressFunc()));
      PixRandIterator it(*s.root);
      for (int32_t y = area.top; y < area.bottom; ++y) {
        it.ReadRow(y, area.left, area.right, row.data());
        want.insert(want.end(), row.begin(), row.end());
      }
    }
    {
      std::mt19937 rng(seed);
      Stack s = RandomStack(rng);
      MergedRowReader reader(*s.root);
      for (int32_t y = area.top; y < area.bottom; ++y) {
        reader.ReadRow(y, area.left, area.right, row.data());
        got.insert(got.end(), row.begin(), row.end());
      }
      EXPECT_EQ(s.root->folder()->TileCount(), 0u) << "the reader keeps no merged tiles in the folder";
    }
    ASSERT_EQ(want, got) << "seed " << seed;
    // Bands of rows (not aligned to tiles, some within one row of tiles),
    // read from another thread while later bands are composed.
    got.clear();
    {
      std::mt19937 rng(seed);
      Stack s = RandomStack(rng);
      MergedRowReader reader(*s.root);
      std::vector<std::shared_ptr<const MergedRowReader::Band>> bands;
      std::vector<std::pair<int32_t, int32_t>> spans;
      for (int32_t y = area.top, step = 37; y < area.bottom; y += step, step = step == 37 ? 200 : 37) {
        const int32_t y1 = std::min(area.bottom, y + step);
        bands.push_back(reader.Compose(y, y1));
        spans.emplace_back(y, y1);
      }
      std::vector<PixelRGBA> read(size_t(area.bottom - area.top) * w);
      chunk::ParallelFor(bands.size(), [&](size_t i) {
        // Groups of 1 to 11 rows, across rows of cells and of tiles.
        for (int32_t y = spans[i].first, n = 1; y < spans[i].second; y += n, n = n % 11 + 1) {
          n = std::min(n, spans[i].second - y);
          bands[i]->ReadRows(y, n, area.left, area.right, read.data() + size_t(y - area.top) * w);
        }
      });
      got = read;
      EXPECT_EQ(s.root->folder()->TileCount(), 0u);
    }
    ASSERT_EQ(want, got) << "bands, seed " << seed;
    ++checked;
  }
  EXPECT_GT(checked, 8);
}

}  // namespace kzm
