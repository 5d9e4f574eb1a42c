// Tile keys, ordering, compaction, dirty records, tile building from 8-bit rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "kzm/mempool.h"
#include "kzm/tile.h"

namespace kzm {
namespace {

PixelRGBA Px(uint16_t r, uint16_t g, uint16_t b, uint16_t a) { return PixelRGBA{r, g, b, a}; }

TEST(TileLocate, NegativePixelMapsToNegativeTile) {
  const int32_t X = -1, Y = -1;
  const TileLocate l = TileLocate::ForPixel(X, Y);
  EXPECT_EQ(l.Col(), -1);
  EXPECT_EQ(l.Row(), -1);
  EXPECT_EQ(l.key, 0xFFFFFFFFu);
  EXPECT_EQ((X & 127) >> 3, 15);
  EXPECT_EQ((Y & 127) >> 3, 15);
  EXPECT_EQ(X & 7, 7);
  EXPECT_EQ(Y & 7, 7);
  EXPECT_TRUE(loccomp_t()(TileLocate::FromColRow(0, 0), l)) << "(-1,-1) sorts after (0,0)";
  EXPECT_EQ(Rect::OfTile(l), (Rect{-128, -128, 0, 0}));
}

TEST(TileLocate, KeyLayoutAndOrder) {
  EXPECT_EQ(TileLocate::FromColRow(3, 2).key, 0x00020003u);
  EXPECT_EQ(TileLocate::FromColRow(-2, 1).key, 0x0001FFFEu);
  EXPECT_EQ(TileLocate::ForPixel(-129, 128), TileLocate::FromColRow(-2, 1));
  EXPECT_EQ(TileLocate::FromColRow(-32768, 32767).Col(), -32768);
  // Rows ascending, then columns; negatives after non-negatives.
  std::vector<TileLocate> v = {TileLocate::FromColRow(0, -1), TileLocate::FromColRow(-1, 0),
                               TileLocate::FromColRow(5, 1),  TileLocate::FromColRow(1, 0),
                               TileLocate::FromColRow(0, 1),  TileLocate::FromColRow(0, 0)};
  std::sort(v.begin(), v.end(), loccomp_t());
  const std::vector<std::pair<int, int>> want = {{0, 0}, {1, 0}, {-1, 0}, {0, 1}, {5, 1}, {0, -1}};
  for (size_t i = 0; i < v.size(); ++i) {
    EXPECT_EQ(v[i].Col(), want[i].first) << i;
    EXPECT_EQ(v[i].Row(), want[i].second) << i;
  }
}

TEST(Tile, CellArrayAndRefCount) {
  const size_t arrays = PoolBlocksInUse(PoolId::k2056);
  Tile* t = Tile::Create(TileLocate::FromColRow(1, 2), true);
  EXPECT_EQ(PoolBlocksInUse(PoolId::k2056), arrays + 1);
  ASSERT_TRUE(t->HasCells());
  for (int i = 0; i < 256; ++i) EXPECT_TRUE(t->Cells()[i].IsNull());
  EXPECT_EQ(*reinterpret_cast<const uint64_t*>(reinterpret_cast<const uint8_t*>(t->Cells()) - 8), 256u);
  EXPECT_EQ(&t->At(3, 2), t->Cells() + 3 + 16 * 2);
  EXPECT_EQ(t->AddRef(), 2);
  EXPECT_EQ(t->Release(), 1);
  EXPECT_EQ(t->Release(), 0);
  EXPECT_EQ(PoolBlocksInUse(PoolId::k2056), arrays);

  Tile* e = Tile::Create(TileLocate(), false);
  EXPECT_FALSE(e->HasCells());
  EXPECT_FALSE(e->Compact(Px(0, 0, 0, 0))) << "no array: not droppable";
  e->Release();
}

TEST(Tile, CompactTurnsUniformBitmapsIntoFillsAndReportsDroppable) {
  const PixelRGBA bg = Px(0, 0, 0, 0), red = Px(16384, 0, 0, 16384);
  TileRef t = TileRef::Adopt(Tile::Create(TileLocate(), true));
  for (int i = 0; i < 256; ++i) SetSolidBitmap(t->MutableCells()[i], bg);
  SetSolidBitmap(t->MutableAt(4, 4), red);
  t->At(4, 4).impl()->SetSaveStamp(5);
  EXPECT_FALSE(t->Compact(bg));
  for (int i = 0; i < 256; ++i) ASSERT_EQ(t->Cells()[i].Kind(), Cell::kRGBAFill) << i;
  EXPECT_EQ(t->At(4, 4).FillValue(), red);
  EXPECT_EQ(t->At(4, 4).SaveStamp(), 5u);
  SetFill(t->MutableAt(4, 4), bg);
  EXPECT_TRUE(t->Compact(bg));

  // One differing pixel anywhere keeps the tile and its bitmap.
  t->MutableAt(15, 15).SetPixel(7, 7, red);
  EXPECT_FALSE(t->Compact(bg));
  EXPECT_EQ(t->At(15, 15).Kind(), Cell::kRGBABitmap);

  // Gray cells compare with the background's alpha.
  TileRef g = TileRef::Adopt(Tile::Create(TileLocate(), true));
  uint16_t v[64];
  std::fill(v, v + 64, uint16_t(16384));
  for (int i = 0; i < 256; ++i) AssignGray(g->MutableCells()[i], v);
  EXPECT_TRUE(g->Compact(red));
  EXPECT_EQ(g->At(0, 0).Kind(), Cell::kGrayFill);
}

TEST(Tile, DirtyRecordMasks) {
  Tile::dirtycells_t d;
  d.Mark(0, 3);
  d.Mark(15, 3);
  EXPECT_EQ(d.rows[3], 0x8001);
  EXPECT_TRUE(d.IsDirty(15, 3));
  EXPECT_FALSE(d.IsDirty(1, 3));
  d.all = true;
  d.Mark(2, 2);
  EXPECT_EQ(d.rows[2], 0) << "rows are not kept while all-dirty";
  EXPECT_TRUE(d.IsDirty(2, 2));
}

TEST(Tile, BuildFrom8FullAndEdgeTiles) {
  std::mt19937 rng(3);
  const int W = 200, H = 150;
  std::vector<uint32_t> src(W * H);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      src[x + W * y] = (y < 40 && x < 64) ? 0xFF0000FFu : uint32_t(rng()) | 0x80000000u;
  const PixelRGBA def = Px(0, 0, 0, 0);
  // Full tile (0, 0) and edge tile at column 128 (72 wide) of the second tile row (22 high).
  TileRef full = TileRef::Adopt(BuildTileFrom8(TileLocate::FromColRow(0, 0), src.data(), W, 128, 128, def));
  TileRef edge = TileRef::Adopt(BuildTileFrom8(TileLocate::FromColRow(1, 1), src.data() + 128 + W * 128, W, 72, 22, def));
  for (int y = 0; y < 128; ++y)
    for (int x = 0; x < 128; ++x)
      ASSERT_EQ(*full->At(x >> 3, y >> 3).PixelAt(x & 7, y & 7), PixelFrom8(src[x + W * y])) << x << "," << y;
  EXPECT_EQ(full->At(0, 0).Kind(), Cell::kRGBAFill) << "uniform imported cell";
  EXPECT_EQ(full->At(7, 4).Kind(), Cell::kRGBAFill);
  EXPECT_EQ(full->At(8, 0).Kind(), Cell::kRGBABitmap);
  for (int y = 0; y < 128; ++y)
    for (int x = 0; x < 128; ++x) {
      const PixelRGBA want = (x < 72 && y < 22) ? PixelFrom8(src[(128 + x) + W * (128 + y)]) : def;
      ASSERT_EQ(*edge->At(x >> 3, y >> 3).PixelAt(x & 7, y & 7), want) << x << "," << y;
    }
  EXPECT_EQ(edge->At(15, 15).Kind(), Cell::kRGBAFill);
}

}  // namespace
}  // namespace kzm
