// Snapshots: one record per cell and generation, exact restore of a layer.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "kzm/pi_image.h"
#include "kzm/snapshot.h"

namespace kzm {
namespace {

PixelRGBA Px(uint16_t r, uint16_t g, uint16_t b, uint16_t a) { return PixelRGBA{r, g, b, a}; }

// Every pixel of the area, read one by one through the layer.
std::vector<PixelRGBA> Dump(const Plane& p, const Rect& r) {
  std::vector<PixelRGBA> v;
  for (int y = r.top; y < r.bottom; ++y)
    for (int x = r.left; x < r.right; ++x) v.push_back(*p->PixelAt(x, y));
  return v;
}

std::vector<uint32_t> TileKeys(Plane& p) {
  std::vector<uint32_t> keys;
  p->ForEachTile([&](Tile& t, size_t, size_t) {
    if (t.HasCells()) keys.push_back(t.Locate().key);
    return false;
  });
  return keys;
}

TEST(Snapshot, CellRecordsItselfOncePerGeneration) {
  auto layer = PiImage::Create();
  SavePixelsImpl snap(layer.get(), 7);
  Cell c;
  SetSolidBitmap(c, Px(1, 2, 3, 4));
  EXPECT_TRUE(c.impl()->SnapshotCopy(TileLocate(), 1, 2, snap));
  EXPECT_FALSE(c.impl()->SnapshotCopy(TileLocate(), 1, 2, snap));
  EXPECT_EQ(c.SaveStamp(), 7u);
  EXPECT_EQ(snap.RecordCount(), 1u);
  EXPECT_EQ(snap.Cost(), 38u + 16u);
  EXPECT_EQ(snap.RecordAt(0)->Cost(), 38u);
  TileLocate loc(123);
  EXPECT_EQ(snap.RecordAt(0)->Locate(loc).key, 0u);

  SavePixelsImpl next(layer.get(), 8);
  EXPECT_TRUE(c.impl()->SnapshotMove(TileLocate(), 1, 2, next));
  EXPECT_EQ(c.BitmapPixels(), nullptr) << "the block went to the record";
  const auto* rec = static_cast<const SaveCellImplRGBABitmap*>(next.RecordAt(0));
  EXPECT_EQ(rec->Pixels()[63], Px(1, 2, 3, 4));
}

TEST(Snapshot, LayerWritesRecordEachCellOnce) {
  auto layer = PiImage::Create();
  layer->impl()->FillTile(TileLocate::FromColRow(0, 0), Px(1, 1, 1, 1), nullptr);
  auto snap = layer->impl()->BeginSnapshot(3);
  ASSERT_TRUE(snap);
  layer->impl()->SetPixel(5, 5, Px(2, 2, 2, 2), snap.get());
  layer->impl()->SetPixel(6, 5, Px(3, 3, 3, 3), snap.get());  // same cell
  layer->impl()->SetPixel(9, 5, Px(3, 3, 3, 3), snap.get());  // next cell
  layer->impl()->SetPixel(9, 6, Px(1, 1, 1, 1), snap.get());  // unchanged value: nothing
  EXPECT_EQ(snap->RecordCount(), 2u);
  EXPECT_EQ(snap->Cost(), 2u * 54u);
  // A tile made under the snapshot is recorded as new, not per cell.
  layer->impl()->SetPixel(300, 5, Px(4, 4, 4, 4), snap.get());
  layer->impl()->SetPixel(301, 5, Px(4, 4, 4, 4), snap.get());
  EXPECT_EQ(snap->RecordCount(), 2u);
  ASSERT_EQ(snap->NewTiles().size(), 1u);
  EXPECT_EQ(snap->NewTiles()[0], TileLocate::FromColRow(2, 0));
  EXPECT_EQ(snap->Cost(), 2u * 54u + 20u);
}

TEST(Snapshot, RestorePutsLayerBackExactly) {
  std::mt19937 rng(11);
  auto layer = PiImage::Create();
  PiImage* img = layer->image();
  const Rect area{-256, -128, 384, 256};
  // Initial content: some fills, some bitmaps, a default pixel.
  img->SetDefaultPixel(Px(0, 0, 0, 100), nullptr);
  img->FillTile(TileLocate::FromColRow(0, 0), Px(10, 10, 10, 1000), nullptr);
  img->FillTile(TileLocate::FromColRow(-1, -1), Px(20, 20, 20, 2000), nullptr);
  for (int i = 0; i < 500; ++i)
    img->SetPixel(int(rng() % 640) - 256, int(rng() % 384) - 128,
                  Px(uint16_t(rng() % 100), 0, 0, uint16_t(100 + rng() % 100)), nullptr);
  const auto before = Dump(*layer, area);
  const auto keysBefore = TileKeys(*layer);
  const Rect boundsBefore = img->Bounds();
  const PixelRGBA defBefore = img->DefaultPixel();

  auto snap = img->BeginSnapshot(1);
  for (int i = 0; i < 2000; ++i)
    img->SetPixel(int(rng() % 640) - 256, int(rng() % 384) - 128, Px(0, uint16_t(rng() % 50), 0, 60), snap.get());
  img->SetCellFill(TileLocate::FromColRow(0, 0), 3, 3, Px(5, 5, 5, 5), snap.get());
  img->FillTile(TileLocate::FromColRow(1, 1), Px(7, 7, 7, 7), snap.get());        // existing
  img->FillTile(TileLocate::FromColRow(2, 1), Px(8, 8, 8, 8), snap.get());        // maybe new
  img->RemoveTile(TileLocate::FromColRow(-1, -1), snap.get());
  img->SetPixel(-200, -100, Px(9, 9, 9, 9), snap.get());                          // recreates it
  img->SetDefaultPixel(Px(0, 0, 0, 0), snap.get());
  EXPECT_NE(Dump(*layer, area), before);
  EXPECT_GT(snap->Cost(), 0u);

  snap->Restore();
  EXPECT_EQ(img->DefaultPixel(), defBefore);
  EXPECT_EQ(img->Bounds(), boundsBefore);
  EXPECT_EQ(TileKeys(*layer), keysBefore);
  EXPECT_EQ(Dump(*layer, area), before);
  // Restored tiles count as changed.
  Tile* t = img->LookupTile(TileLocate::FromColRow(-1, -1));
  ASSERT_NE(t, nullptr);
  ASSERT_NE(t->dirty, nullptr);
  EXPECT_TRUE(t->dirty->all);
}

TEST(Snapshot, RestoreRecordGivesStampZeroAndMarksDirty) {
  SaveCellImplRGBAFill rec(TileLocate(), 2, 3, Px(1, 2, 3, 4));
  TileRef t = TileRef::Adopt(Tile::CreateFilled(TileLocate(), Px(0, 0, 0, 0)));
  t->At(2, 3).impl()->SetSaveStamp(9);
  Tile::dirtycells_t d;
  t->dirty = &d;
  rec.Restore(*t);
  EXPECT_EQ(t->At(2, 3).FillValue(), Px(1, 2, 3, 4));
  EXPECT_EQ(t->At(2, 3).SaveStamp(), 0u);
  EXPECT_TRUE(d.IsDirty(2, 3));
  EXPECT_FALSE(d.IsDirty(3, 3));
  t->dirty = nullptr;
}

}  // namespace
}  // namespace kzm
