// Layer tree: images, folders, properties, swapping, cloning, merged tiles,
// the pixel iterator and what memory the content costs.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "kzm/mempool.h"
#include "kzm/pi_folder.h"
#include "kzm/pi_image.h"
#include "kzm/pix_iterator.h"

namespace kzm {
namespace {

PixelRGBA Px(uint16_t r, uint16_t g, uint16_t b, uint16_t a) { return PixelRGBA{r, g, b, a}; }

struct CountingObserver : IPlaneObserver {
  std::vector<Plane*> seen;
  void OnPlaneChanged(Plane* p, const TileLocate*) override { seen.push_back(p); }
};

TEST(PiImage, DefaultsAndProperties) {
  auto p = PiImage::Create();
  Plane::Impl* i = p->impl();
  EXPECT_EQ(p->Kind(), 1);
  EXPECT_EQ(i->Name(), "");
  EXPECT_EQ(i->Visible(), 1);
  EXPECT_EQ(i->PlaneLock(), 0);
  EXPECT_EQ(i->AlphaLock(), 0);
  EXPECT_EQ(i->Opacity(), 16384);
  EXPECT_EQ(i->Blend()->word0, 1u);
  EXPECT_EQ(i->Blend()->word1, 4u);
  EXPECT_EQ(i->Offset(), (Point{0, 0}));
  EXPECT_EQ(i->Placement(), (Placement{0, 1, 1}));
  EXPECT_TRUE(i->Bounds().IsEmpty());
  EXPECT_EQ(i->Owner(), p.get());
  i->SetName("Ebene \xC3\xBC");
  EXPECT_EQ(i->Name(), "Ebene \xC3\xBC");
  Blend b;
  b.word0 = 5 | Blend::clip_dsta;
  i->SetBlend(b);
  EXPECT_EQ(*i->Blend(), b);
  EXPECT_EQ(p->adapter()->BlendHistory().size(), 1u);
}

TEST(PiImage, ReadingWithoutTileGivesDefaultPixel) {
  auto p = PiImage::Create({}, Px(1, 2, 3, 4));
  EXPECT_EQ(*p->impl()->PixelAt(1000, -5000), Px(1, 2, 3, 4));
  EXPECT_EQ(p->impl()->TileCount(), 0u);
  Tile* t = p->impl()->FindTile(TileLocate::FromColRow(3, 3), false);
  ASSERT_NE(t, nullptr);
  EXPECT_FALSE(t->HasCells()) << "the shared empty tile";
  EXPECT_EQ(t, p->impl()->FindTile(TileLocate::FromColRow(-7, 1), false));
  EXPECT_EQ(p->impl()->LookupTile(TileLocate::FromColRow(3, 3)), nullptr);
  // Positions beyond what tile keys can address never alias other tiles.
  p->impl()->SetPixel(int32_t(1) << 23, 0, Px(9, 9, 9, 9), nullptr);
  EXPECT_EQ(p->impl()->TileCount(), 0u);
  EXPECT_EQ(*p->impl()->PixelAt(int32_t(1) << 23, 0), Px(1, 2, 3, 4));
}

TEST(PiImage, SetPixelWithOffsetTilesAndBounds) {
  auto p = PiImage::Create();
  PiImage* img = p->image();
  img->SetOffset(Point{-200, 10});
  img->SetPixel(199, -11, Px(5, 5, 5, 5), nullptr);  // tile space (-1, -1)
  ASSERT_EQ(img->TileCount(), 1u);
  Tile* t = img->LookupTile(TileLocate::FromColRow(-1, -1));
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->At(15, 15).Kind(), Cell::kRGBABitmap);
  EXPECT_EQ(*t->At(15, 15).PixelAt(7, 7), Px(5, 5, 5, 5));
  EXPECT_EQ(t->At(0, 0).Kind(), Cell::kRGBAFill) << "untouched cells stay fills";
  ASSERT_NE(t->dirty, nullptr);
  EXPECT_TRUE(t->dirty->IsDirty(15, 15));
  EXPECT_FALSE(t->dirty->IsDirty(14, 15));
  EXPECT_EQ(*img->PixelAt(199, -11), Px(5, 5, 5, 5));
  EXPECT_EQ(img->Bounds(), (Rect{-128, -128, 0, 0}));
  img->SetPixel(200 + 300, -10 + 5, Px(1, 1, 1, 1), nullptr);  // tile (2, 0)
  EXPECT_EQ(img->Bounds(), (Rect{-128, -128, 384, 128}));
  img->UnionBounds(Rect{0, 0, 10, 10});
  EXPECT_EQ(img->Bounds(), (Rect{-128, -128, 384, 128})) << "a rectangle inside changes nothing";
}

TEST(PiImage, FillTileRemoveTileAndCompaction) {
  auto p = PiImage::Create();
  PiImage* img = p->image();
  const TileLocate a = TileLocate::FromColRow(0, 0), b = TileLocate::FromColRow(1, 0);
  img->FillTile(a, Px(1, 1, 1, 1), nullptr);
  EXPECT_EQ(img->TileCount(), 1u);
  img->FillTile(a, Px(0, 0, 0, 0), nullptr);  // the default pixel: the tile goes
  EXPECT_EQ(img->TileCount(), 0u);
  ASSERT_EQ(img->GetDirtyHolder()->map->count(a), 1u);
  EXPECT_TRUE(img->GetDirtyHolder()->map->at(a).all);

  // CompactTiles: a tile whose bitmaps hold only the default pixel is dropped,
  // the bounds follow the tiles kept.
  img->FillTile(a, Px(1, 1, 1, 1), nullptr);
  img->FillTile(b, Px(1, 1, 1, 1), nullptr);
  for (int y = 0; y < 128; ++y)
    for (int x = 0; x < 128; ++x) img->SetPixel(x, y, Px(0, 0, 0, 0), nullptr);
  img->SetPixel(130, 5, Px(2, 2, 2, 2), nullptr);
  EXPECT_EQ(img->LookupTile(a)->At(0, 0).Kind(), Cell::kRGBABitmap);
  img->CompactTiles();
  EXPECT_EQ(img->TileCount(), 1u);
  EXPECT_EQ(img->LookupTile(a), nullptr);
  EXPECT_EQ(img->Bounds(), (Rect{128, 0, 256, 128}));
  EXPECT_EQ(img->LookupTile(b)->At(0, 0).Kind(), Cell::kRGBABitmap);
  EXPECT_EQ(img->LookupTile(b)->At(1, 0).Kind(), Cell::kRGBAFill);
}

TEST(PiImage, MemoryFollowsContent) {
  const size_t c32 = PoolBlocksInUse(PoolId::k32), c512 = PoolBlocksInUse(PoolId::k512),
               c2056 = PoolBlocksInUse(PoolId::k2056);
  {
    auto p = PiImage::Create();
    PiImage* img = p->image();
    // An untouched area costs nothing.
    for (int i = 0; i < 1000; ++i) (void)img->PixelAt(i * 97, i * 13);
    EXPECT_EQ(PoolBlocksInUse(PoolId::k32), c32);
    EXPECT_EQ(PoolBlocksInUse(PoolId::k2056), c2056);
    // A uniform 8 x 8 area costs one fill cell.
    for (int y = 8; y < 16; ++y)
      for (int x = 16; x < 24; ++x) img->SetPixel(x, y, Px(3, 3, 3, 3), nullptr);
    img->CompactTiles();
    EXPECT_EQ(PoolBlocksInUse(PoolId::k512), c512) << "no bitmap block left";
    EXPECT_EQ(PoolBlocksInUse(PoolId::k32), c32 + 256);
    EXPECT_EQ(PoolBlocksInUse(PoolId::k2056), c2056 + 1);
    EXPECT_EQ(img->LookupTile(TileLocate())->At(2, 1).FillValue(), Px(3, 3, 3, 3));
  }
  EXPECT_EQ(PoolBlocksInUse(PoolId::k32), c32);
  EXPECT_EQ(PoolBlocksInUse(PoolId::k512), c512);
  EXPECT_EQ(PoolBlocksInUse(PoolId::k2056), c2056);
}

TEST(PiImage, CloneCopiesCellsCloneEmptyKeepsFrame) {
  auto p = PiImage::Create(ImageGeometry{1, 2, 3, 4}, Px(0, 0, 0, 7));
  PiImage* img = p->image();
  img->SetName("src");
  img->SetOpacity(1234);
  img->SetVisible(0);
  img->SetOffset(Point{3, 4});
  for (int i = 0; i < 50; ++i) img->SetPixel(i * 7, i * 3, Px(uint16_t(i), 0, 0, 100), nullptr);
  auto c = img->Clone();
  PiImage* ci = c->image();
  ASSERT_NE(ci, nullptr);
  EXPECT_EQ(ci->Name(), "src");
  EXPECT_EQ(ci->Opacity(), 1234);
  EXPECT_EQ(ci->Visible(), 0);
  EXPECT_EQ(ci->Geometry(), (ImageGeometry{1, 2, 3, 4}));
  EXPECT_EQ(ci->TileCount(), img->TileCount());
  for (int y = -10; y < 200; ++y)
    for (int x = -10; x < 400; x += 3) ASSERT_EQ(*ci->PixelAt(x, y), *img->PixelAt(x, y));
  img->SetPixel(0, 0, Px(9, 9, 9, 9), nullptr);
  EXPECT_NE(*ci->PixelAt(0, 0), Px(9, 9, 9, 9)) << "independent cells";

  auto e = img->CloneEmpty();
  PiImage* ei = e->image();
  EXPECT_EQ(ei->TileCount(), 0u);
  EXPECT_EQ(ei->DefaultPixel(), Px(0, 0, 0, 7));
  EXPECT_EQ(ei->Bounds(), img->Bounds());
  EXPECT_EQ(ei->Geometry(), (ImageGeometry{1, 2, 3, 4}));
  EXPECT_EQ(ei->Name(), "src");
  EXPECT_EQ(ei->Offset(), (Point{0, 0})) << "the empty clone is re-based by its user";
}

TEST(Plane, SwapMovesContentKeepsOwnerParentObservers) {
  auto root = PiFolder::CreateRoot();
  Plane* a = root->impl()->AppendChild(PiImage::Create());
  a->impl()->SetName("placeholder");
  CountingObserver obs;
  a->impl()->AddObserver(&obs);

  auto tmp = PiImage::Create();
  tmp->impl()->SetName("loaded");
  tmp->impl()->SetPixel(1, 1, Px(1, 1, 1, 1), nullptr);
  Plane::Impl* loadedImpl = tmp->impl();
  Plane::Impl* placeholderImpl = a->impl();

  a->impl()->Swap(a);  // with its own handle: nothing
  EXPECT_EQ(a->impl(), placeholderImpl);

  a->impl()->Swap(tmp.get());
  EXPECT_EQ(a->impl(), loadedImpl);
  EXPECT_EQ(tmp->impl(), placeholderImpl);
  EXPECT_EQ(a->impl()->Name(), "loaded");
  EXPECT_EQ(*a->impl()->PixelAt(1, 1), Px(1, 1, 1, 1));
  EXPECT_EQ(a->impl()->Owner(), a);
  EXPECT_EQ(a->impl()->Parent(), root.get());
  EXPECT_EQ(tmp->impl()->Owner(), tmp.get());
  EXPECT_EQ(tmp->impl()->Parent(), nullptr);
  a->impl()->NotifyChanged();
  ASSERT_EQ(obs.seen.size(), 1u);
  EXPECT_EQ(obs.seen[0], a);
  EXPECT_TRUE(tmp->adapter()->Observers().empty());
  EXPECT_EQ(root->impl()->ChildAt(0), a);
  tmp.reset();  // destroys the placeholder implementation
  EXPECT_EQ(a->impl()->Name(), "loaded");
}

TEST(PiFolder, ChildrenOrderAndLookup) {
  auto root = PiFolder::CreateRoot();
  Plane::Impl* f = root->impl();
  EXPECT_EQ(root->Kind(), 3);
  Plane* a = f->AppendChild(PiImage::Create());
  Plane* b = f->AppendChild(PiImage::Create());
  Plane* c = f->PrependChild(PiImage::Create());
  Plane* d = f->InsertChildBefore(b, PiImage::Create());
  Plane* e = f->InsertChildBefore(nullptr, PiImage::Create());  // at the end
  ASSERT_EQ(f->ChildCount(), 5u);
  const Plane* want[] = {c, a, d, b, e};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(f->ChildAt(i), want[i]);
  EXPECT_EQ(f->ChildAt(5), nullptr);
  EXPECT_EQ(f->ChildAt(-1), nullptr);
  EXPECT_EQ(a->impl()->Parent(), root.get());
  auto removed = f->RemoveChild(a);
  ASSERT_EQ(removed.get(), a);
  EXPECT_EQ(a->impl()->Parent(), nullptr);
  EXPECT_EQ(f->RemoveChild(a), nullptr);
  EXPECT_TRUE(f->DeleteChild(d));
  EXPECT_EQ(f->ChildCount(), 3u);
  f->DeleteAllChildren();
  EXPECT_EQ(f->ChildCount(), 0u);
}

TEST(PiFolder, VisibilityNeedsAVisibleChild) {
  auto root = PiFolder::CreateRoot();
  EXPECT_FALSE(root->impl()->IsVisibleEffective()) << "an empty folder shows nothing";
  Plane* a = root->impl()->AppendChild(PiImage::Create());
  EXPECT_TRUE(root->impl()->IsVisibleEffective());
  a->impl()->SetVisible(0);
  EXPECT_FALSE(root->impl()->IsVisibleEffective());
  a->impl()->SetVisible(1);
  root->impl()->SetVisible(0);
  EXPECT_FALSE(root->impl()->IsVisibleEffective());
}

TEST(PiFolder, BoundsAreUnionOfChildrenInFolderCoordinates) {
  auto root = PiFolder::CreateRoot();
  PiFolder* f = root->folder();
  EXPECT_TRUE(f->Bounds().IsEmpty());
  Plane* a = f->AppendChild(PiImage::Create());
  a->impl()->SetPixel(0, 0, Px(1, 1, 1, 1), nullptr);  // tile (0,0)
  Plane* b = f->AppendChild(PiImage::Create());
  b->impl()->SetOffset(Point{-200, -50});
  b->impl()->SetPixel(200, 50, Px(1, 1, 1, 1), nullptr);  // tile space (0,0): folder (200,50)
  b->impl()->SetVisible(0);                               // hidden ones count
  f->AppendChild(PiImage::Create());                      // empty: ignored
  EXPECT_EQ(f->Bounds(), (Rect{0, 0, 328, 178}));
  f->SetFixedBounds(Rect{0, 0, 10, 10});
  EXPECT_EQ(f->Bounds(), (Rect{0, 0, 10, 10}));
  f->ClearFixedBounds();
  EXPECT_EQ(f->Bounds(), (Rect{0, 0, 328, 178}));
}

TEST(PiFolder, MergedTilesAndTakeMergedTiles) {
  auto tmp = PiFolder::Create();
  PiFolder* f = tmp->folder();
  Plane* child = f->AppendChild(PiImage::Create());
  child->impl()->SetPixel(5, 5, Px(1, 1, 1, 1), nullptr);
  // A locate where no child has content yields a tile without cells.
  Tile* none = f->FindTile(TileLocate::FromColRow(4, 4), false);
  ASSERT_NE(none, nullptr);
  EXPECT_FALSE(none->HasCells());
  Tile* some = f->FindTile(TileLocate::FromColRow(0, 0), false);
  EXPECT_TRUE(some->HasCells());
  EXPECT_EQ(f->FindTile(TileLocate::FromColRow(0, 0), false), some);
  EXPECT_EQ(f->TileCount(), 2u);
  // Fill the merged tile as a merge would.
  for (int i = 0; i < 256; ++i) SetFill(some->MutableCells()[i], Px(2, 2, 2, 2));

  auto target = PiImage::Create();
  target->impl()->SetOffset(Point{0, 0});
  f->SetName("merged");
  ASSERT_TRUE(target->impl()->TakeMergedTiles(tmp.get()));
  EXPECT_EQ(target->impl()->TileCount(), 1u) << "only tiles with cells move";
  EXPECT_EQ(f->TileCount(), 1u);
  EXPECT_EQ(*target->impl()->PixelAt(100, 100), Px(2, 2, 2, 2));
  EXPECT_EQ(target->impl()->Name(), "merged");
  // Taking again (the image now holds tiles) or from an image changes nothing.
  EXPECT_FALSE(target->impl()->TakeMergedTiles(tmp.get()));
  auto other = PiImage::Create();
  EXPECT_FALSE(other->impl()->TakeMergedTiles(target.get()));
  EXPECT_EQ(other->impl()->TileCount(), 0u);
}

TEST(PiFolder, ChildChangedDropsMergedTilesAndNotifiesUpwards) {
  auto root = PiFolder::CreateRoot();
  Plane* sub = root->impl()->AppendChild(PiFolder::Create());
  Plane* img = sub->impl()->AppendChild(PiImage::Create());
  img->impl()->SetPixel(1, 1, Px(1, 1, 1, 1), nullptr);
  CountingObserver rootObs, subObs;
  root->impl()->AddObserver(&rootObs);
  sub->impl()->AddObserver(&subObs);
  sub->impl()->FindTile(TileLocate(), false);
  root->impl()->FindTile(TileLocate(), false);
  EXPECT_TRUE(root->impl()->LookupTile(TileLocate())->HasCells()) << "content found through the sub-folder";
  const uint32_t epoch = sub->folder()->Epoch();
  img->impl()->NotifyChanged();
  EXPECT_EQ(sub->folder()->Epoch(), epoch + 1);
  EXPECT_EQ(sub->impl()->TileCount(), 0u);
  EXPECT_EQ(root->impl()->TileCount(), 0u);
  ASSERT_EQ(subObs.seen.size(), 1u);
  EXPECT_EQ(subObs.seen[0], sub);
  ASSERT_EQ(rootObs.seen.size(), 1u);
  EXPECT_EQ(rootObs.seen[0], root.get());
}

TEST(PixRandIterator, MatchesPixelAtAndReadsRows) {
  std::mt19937 rng(5);
  auto p = PiImage::Create({}, Px(0, 0, 0, 321));
  PiImage* img = p->image();
  img->SetOffset(Point{37, -5});
  for (int i = 0; i < 3000; ++i)
    img->SetPixel(int(rng() % 600) - 300, int(rng() % 300) - 150, Px(uint16_t(rng() % 64), 1, 2, 64), nullptr);
  img->FillTile(TileLocate::FromColRow(1, 0), Px(5, 5, 5, 5), nullptr);
  PixRandIterator it(*p);
  for (int i = 0; i < 5000; ++i) {
    const int x = int(rng() % 800) - 400, y = int(rng() % 400) - 200;
    ASSERT_EQ(it.At(x, y), *img->PixelAt(x, y)) << x << "," << y;
  }
  std::vector<PixelRGBA> row(700);
  for (int y = -160; y < 160; y += 7) {
    const int x0 = -350 + (y & 15), x1 = x0 + 650;
    it.ReadRow(y, x0, x1, row.data());
    for (int x = x0; x < x1; ++x) ASSERT_EQ(row[x - x0], *img->PixelAt(x, y)) << x << "," << y;
  }
  // Several rows at once: any start within a row of cells, across rows of
  // cells and tiles, the same pixels as row by row.
  std::vector<PixelRGBA> rows(650 * 20);
  for (int y = -150; y < 140; y += 13) {
    const int n = 1 + (y & 15) % 20, x0 = -341 + (y & 7);
    it.ReadRows(y, n, x0, x0 + 650, rows.data());
    for (int r = 0; r < n; ++r)
      for (int x = x0; x < x0 + 650; ++x)
        ASSERT_EQ(rows[size_t(r) * 650 + size_t(x - x0)], *img->PixelAt(x, y + r)) << x << "," << y + r;
  }
  it.ReadRows((int32_t(1) << 22) - 3, 6, 0, 4, rows.data());  // past the edge of tile space
  EXPECT_EQ(rows[5 * 4 + 3], Px(0, 0, 0, 321));
  // Rows far outside tile space read as the default pixel.
  it.ReadRow(int32_t(1) << 30, 0, 4, row.data());
  EXPECT_EQ(row[3], Px(0, 0, 0, 321));
  it.ReadRow(0, (int32_t(1) << 22) - 40, (int32_t(1) << 22) + 2, row.data());
  EXPECT_EQ(row[41], Px(0, 0, 0, 321));
}

}  // namespace
}  // namespace kzm
