// Folder composition: exact copies, clip base rules, lockdonly masks,
// cancellation and progress, which tiles are merged, fill cells kept, tiles
// merged on request (main thread, other threads, a worker), ComposeRoot.
#include <gtest/gtest.h>

#include <thread>
#include <tuple>
#include <vector>

#include "compose_test_util.h"
#include "kzm/compose.h"
#include "kzm/image_context.h"
#include "kzm/main_context.h"
#include "kzm/pix_iterator.h"

namespace kzm {
namespace {

using namespace composetest;

PixelRGBA Opaque(std::mt19937& rng) {
  auto ch = [&] { return uint16_t(rng() % 16385); };
  const uint16_t r = ch(), g = ch(), b = ch();
  return Px(r, g, b, 16384);
}

// Every merged pixel of `area`, row by row.
std::vector<PixelRGBA> ReadAll(const Plane& p, const Rect& area) {
  std::vector<PixelRGBA> out(size_t(area.Width()) * size_t(area.Height()));
  PixRandIterator it(p);
  for (int32_t y = area.top; y < area.bottom; ++y)
    it.ReadRow(y, area.left, area.right, out.data() + size_t(y - area.top) * size_t(area.Width()));
  return out;
}

std::set<std::pair<int, int>> MergedColRows(const PiFolder& f) {
  std::set<std::pair<int, int>> s;
  for (auto& e : f.MergedTiles())
    if (e.second->HasCells()) s.insert({e.first.Col(), e.first.Row()});
  return s;
}

// An image whose tile (0, 0) holds bitmaps with an alpha ramp and some fills.
std::unique_ptr<Plane> RampImage(uint16_t r, uint16_t g, uint16_t b, int phase) {
  std::unique_ptr<Plane> h = PiImage::Create();
  Tile* t = Tile::Create(TileLocate(), true);
  for (int i = 0; i < kTileCellCount; ++i) {
    if ((i + phase) % 5 == 0) {
      SetFill(t->MutableCells()[i], Px(r / 2, g / 2, b / 2, 8192));
      continue;
    }
    PixelRGBA px[64];
    for (int k = 0; k < 64; ++k) {
      const uint32_t a = uint32_t((k * 37 + i * 11 + phase * 101) % 16385);
      px[k] = Px(uint16_t((r * a) >> 14), uint16_t((g * a) >> 14), uint16_t((b * a) >> 14), uint16_t(a));
    }
    AssignPixels(t->MutableCells()[i], px);
  }
  h->image()->InsertTile(t);
  return h;
}

void SetBlendWord(Plane* p, uint32_t word0, uint32_t word1 = 4) {
  Blend b;
  b.word0 = word0;
  b.word1 = word1;
  p->impl()->SetBlend(b);
}

// ---------------------------------------------------------------------------

TEST(Compose, SingleOpaqueNormalLayerIsCopiedExactly) {
  std::mt19937 rng(3);
  auto root = PiFolder::CreateRoot();
  std::unique_ptr<Plane> layer = PiImage::Create();
  for (TileLocate loc : {TileLocate::FromColRow(0, 0), TileLocate::FromColRow(-1, 2)}) {
    Tile* t = Tile::Create(loc, true);
    for (int i = 0; i < kTileCellCount; ++i) {
      if (i % 3 == 0) {
        SetFill(t->MutableCells()[i], Opaque(rng));
      } else {
        PixelRGBA px[64];
        for (PixelRGBA& p : px) p = Opaque(rng);
        AssignPixels(t->MutableCells()[i], px);
      }
    }
    layer->image()->InsertTile(t);
  }
  PiImage* img = root->impl()->AppendChild(std::move(layer))->image();
  ASSERT_TRUE(root->impl()->Compose(ProgressFunc()));
  PiFolder& f = *root->folder();
  ASSERT_EQ(f.MergedTiles().size(), 2u);
  for (auto& e : img->Tiles()) {
    const Tile* m = f.LookupTile(e.first);
    ASSERT_TRUE(m && m->HasCells());
    for (int i = 0; i < kTileCellCount; ++i) {
      const Cell& src = e.second->Cells()[i];
      const Cell& dst = m->Cells()[i];
      ASSERT_EQ(dst.Kind(), src.Kind()) << i;
      for (int k = 0; k < 64; ++k) ASSERT_EQ(*dst.PixelAt(k % 8, k / 8), *src.PixelAt(k % 8, k / 8)) << i;
    }
  }
}

TEST(Compose, HiddenChildNeitherContributesNorBecomesClipBase) {
  auto build = [](int hidden) {  // 0: hidden, 1: visible, 2: absent
    auto root = PiFolder::CreateRoot();
    root->impl()->AppendChild(RampImage(16384, 4000, 0, 0));
    if (hidden != 2) {
      Plane* b = root->impl()->AppendChild(RampImage(0, 16384, 9000, 2));
      b->impl()->SetVisible(hidden == 1);
    }
    Plane* c = root->impl()->AppendChild(RampImage(3000, 3000, 16384, 4));
    SetBlendWord(c, 3 | Blend::clip_dsta | Blend::lockdonly);
    EXPECT_TRUE(root->impl()->Compose(ProgressFunc()));
    return ReadAll(*root, Rect{0, 0, 128, 128});
  };
  const std::vector<PixelRGBA> hidden = build(0), absent = build(2), visible = build(1);
  EXPECT_EQ(hidden, absent);
  EXPECT_NE(hidden, visible) << "the child would matter when visible";
}

TEST(Compose, ClipDstaChildKeepsTheClipBase) {
  auto root = PiFolder::CreateRoot();
  Plane* a = root->impl()->AppendChild(RampImage(16384, 8000, 0, 0));
  Plane* b = root->impl()->AppendChild(RampImage(0, 16384, 0, 1));
  SetBlendWord(b, 1 | Blend::clip_dsta);
  b->impl()->SetOpacity(12000);
  Plane* c = root->impl()->AppendChild(RampImage(2000, 0, 16384, 2));
  SetBlendWord(c, 6 | Blend::clip_dsta | Blend::lockdonly);
  Plane* d = root->impl()->AppendChild(RampImage(9000, 9000, 9000, 3));
  SetBlendWord(d, 20);
  Plane* e = root->impl()->AppendChild(RampImage(16384, 0, 16384, 4));
  SetBlendWord(e, 1 | Blend::clip_dsta | Blend::lockdonly);
  e->impl()->SetOpacity(10000);
  ASSERT_TRUE(root->impl()->Compose(ProgressFunc()));
  PixRandIterator merged(*root);
  for (int32_t y = 0; y < 128; ++y)
    for (int32_t x = 0; x < 128; ++x) {
      const PixelRGBA pa = *a->impl()->PixelAt(x, y), pb = *b->impl()->PixelAt(x, y);
      const PixelRGBA pc = *c->impl()->PixelAt(x, y), pd = *d->impl()->PixelAt(x, y);
      const PixelRGBA pe = *e->impl()->PixelAt(x, y);
      PixelRGBA want = blendref::Blend(Px(0, 0, 0, 0), pa, 16384, 1, 4);
      want = blendref::Blend(want, pb, 12000, b->impl()->Blend()->word0, 4);
      // b clips and so keeps a as the clip base: c is masked by a's alpha.
      want = blendref::Blend(want, pc, pa.a, c->impl()->Blend()->word0, 4);
      want = blendref::Blend(want, pd, 16384, 20, 4);
      // d has no clip flag and becomes the clip base of e.
      want = blendref::Blend(want, pe, (uint32_t(pd.a) * 10000) >> 14, e->impl()->Blend()->word0, 4);
      ASSERT_EQ(merged.At(x, y), want) << x << "," << y;
    }
}

TEST(Compose, LockdonlyMaskFromGrayAndUniformCellsOfTheClipBase) {
  auto root = PiFolder::CreateRoot();
  // The base: gray bitmap, gray fill, RGBA fill and missing cells (default
  // pixel) in tile (0, 0); gray cells show as the default pixel but mask by
  // their values.
  const PixelRGBA def = Px(100, 200, 300, 6000);
  std::unique_ptr<Plane> baseLayer = PiImage::Create({}, def);
  Tile* t = Tile::Create(TileLocate(), true);
  uint16_t gray[64];
  for (int k = 0; k < 64; ++k) gray[k] = uint16_t(k * 250);
  for (int i = 0; i < kTileCellCount; ++i) {
    switch (i % 4) {
      case 0: AssignGray(t->MutableCells()[i], gray); break;
      case 1: SetGrayFill(t->MutableCells()[i], 9000); break;
      case 2: SetFill(t->MutableCells()[i], Px(4000, 4000, 0, 12000)); break;
      default: break;
    }
  }
  baseLayer->image()->InsertTile(t);
  Plane* base = root->impl()->AppendChild(std::move(baseLayer));
  // Offset off the cell grid: the mask is gathered across four base cells.
  Plane* top = root->impl()->AppendChild(RampImage(0, 16384, 16384, 1));
  top->impl()->SetOffset(Point{3, -5});
  SetBlendWord(top, 5 | Blend::clip_dsta | Blend::lockdonly);
  top->impl()->SetOpacity(15000);
  ASSERT_TRUE(root->impl()->Compose(ProgressFunc()));
  PixRandIterator merged(*root);
  for (int32_t y = 0; y < 128; ++y)
    for (int32_t x = 0; x < 128; ++x) {
      const int i = (x >> 3) + 16 * (y >> 3), k = (x & 7) + 8 * (y & 7);
      const uint16_t cover = i % 4 == 0 ? gray[k] : i % 4 == 1 ? 9000 : i % 4 == 2 ? 12000 : def.a;
      PixelRGBA want = blendref::Blend(Px(0, 0, 0, 0), *base->impl()->PixelAt(x, y), 16384, 1, 4);
      want = blendref::Blend(want, *top->impl()->PixelAt(x, y), (uint32_t(cover) * 15000) >> 14,
                             top->impl()->Blend()->word0, 4);
      ASSERT_EQ(merged.At(x, y), want) << x << "," << y;
    }
}

TEST(Compose, TransparentSourcesOverColourWithoutAlpha) {
  // Pixels with alpha 0 but colour (as damaged files may hold) are cleared
  // by a transparent source in the kernels; the merge must not skip them.
  std::mt19937 rng(9);
  auto root = PiFolder::CreateRoot();
  std::unique_ptr<Plane> a = PiImage::Create();
  Tile* t = Tile::Create(TileLocate(), true);
  for (int i = 0; i < kTileCellCount; ++i) {
    PixelRGBA px[64];
    for (PixelRGBA& p : px) p = rng() % 2 ? Px(uint16_t(1 + rng() % 9000), 0, 7, 0) : RandomPixel(rng);
    AssignPixels(t->MutableCells()[i], px);
  }
  a->image()->InsertTile(t);
  root->impl()->AppendChild(std::move(a));
  root->impl()->AppendChild(PiImage::Create());  // empty, normal
  Plane* lerp = root->impl()->AppendChild(PiImage::Create());
  SetBlendWord(lerp, 1, 1);
  lerp->impl()->SetOpacity(9000);
  ASSERT_TRUE(root->impl()->Compose(ProgressFunc()));
  Reference ref;
  PixRandIterator it(*root);
  for (int32_t y = 0; y < 128; ++y)
    for (int32_t x = 0; x < 128; ++x) ASSERT_EQ(it.At(x, y), ref.At(*root->impl(), x, y)) << x << "," << y;
}

// ---------------------------------------------------------------------------
// Progress and cancellation.

using Call = std::tuple<uint64_t, uint64_t, uint64_t, uint64_t>;

TEST(Compose, ProgressCountsChildrenThenTiles) {
  auto root = PiFolder::CreateRoot();
  root->impl()->AppendChild(RampImage(1, 2, 3, 0));
  Plane* hidden = root->impl()->AppendChild(RampImage(1, 2, 3, 0));
  hidden->impl()->SetVisible(0);
  Plane* sub = root->impl()->AppendChild(PiFolder::Create());
  sub->impl()->AppendChild(RampImage(1, 2, 3, 0))->impl()->SetOffset(Point{-128, 0});
  sub->impl()->AppendChild(PiImage::Create());
  std::unique_ptr<Plane> extra = PiImage::Create();
  extra->impl()->SetPixel(200, 5, Px(1, 1, 1, 1), nullptr);
  root->folder()->SetAttachedPlane(std::move(extra));
  std::vector<Call> calls;
  ASSERT_TRUE(root->impl()->Compose([&](uint64_t a, uint64_t b, uint64_t c, uint64_t d) {
    calls.emplace_back(a, b, c, d);
    return true;
  }));
  // Tiles: (0, 0) from the first child, (1, 0) from the folder's child and
  // (1, 0) again from the attached plane.
  const std::vector<Call> want = {{0, 2, 0, 4}, {0, 2, 1, 4}, {0, 2, 2, 4}, {0, 2, 0, 2}, {0, 2, 1, 2},
                                  {1, 2, 0, 1}, {0, 2, 3, 4}, {1, 2, 0, 2}, {1, 2, 1, 2}};
  EXPECT_EQ(calls, want);

  // Cancelled inside the nested folder: everything stops there.
  root->folder()->ClearMergedTiles();
  calls.clear();
  EXPECT_FALSE(root->impl()->Compose([&](uint64_t a, uint64_t b, uint64_t c, uint64_t d) {
    calls.emplace_back(a, b, c, d);
    return !(a == 0 && c == 1 && d == 2);
  }));
  EXPECT_EQ(calls, std::vector<Call>(want.begin(), want.begin() + 5));
  EXPECT_TRUE(root->folder()->MergedTiles().empty());
}

TEST(Compose, CancellingLeavesTheFolderTilesUnchanged) {
  std::mt19937 rng(77);
  StackOptions o;
  o.nested = false;
  o.minLayers = 4;
  Stack s = RandomStack(rng, o);
  for (size_t i = 0; i < s.root->impl()->ChildCount(); ++i) {
    Plane::Impl* c = s.root->impl()->ChildAt(int64_t(i))->impl();
    c->SetVisible(1);
    c->SetBlend(Blend());
    c->SetOpacity(16384);
  }
  Plane::Impl* top = s.root->impl()->ChildAt(int64_t(s.root->impl()->ChildCount() - 1))->impl();
  top->SetOffset(Point{0, 0});
  for (int y = -200; y < 200; y += 50) top->SetPixel(0, y, Px(0, 0, 0, 0), nullptr);
  PiFolder& f = *s.root->folder();
  ASSERT_TRUE(f.Compose(ProgressFunc()));
  const Rect area = f.Bounds();
  const std::vector<PixelRGBA> before = ReadAll(*s.root, area);
  const size_t tiles = f.MergedTiles().size();
  ASSERT_GE(tiles, 3u);

  // Paint the top layer without telling the folder, then cancel.
  for (int y = -200; y < 200; y += 50) top->SetPixel(0, y, Px(16384, 0, 0, 16384), nullptr);
  auto cancelAt = [](uint64_t phase, uint64_t index) {
    return [phase, index](uint64_t p, uint64_t, uint64_t i, uint64_t) { return !(p == phase && i == index); };
  };
  EXPECT_FALSE(f.Compose(cancelAt(0, 1)));
  EXPECT_EQ(ReadAll(*s.root, area), before);
  EXPECT_FALSE(f.Compose(cancelAt(0, 0)));
  EXPECT_EQ(ReadAll(*s.root, area), before);
  EXPECT_EQ(f.MergedTiles().size(), tiles);

  // Cancelling among the tiles keeps the tiles merged so far.
  EXPECT_FALSE(f.Compose(cancelAt(1, 1)));
  const std::vector<PixelRGBA> partly = ReadAll(*s.root, area);
  ASSERT_TRUE(f.Compose(ProgressFunc()));
  const std::vector<PixelRGBA> after = ReadAll(*s.root, area);
  EXPECT_NE(after, before);
  EXPECT_NE(partly, before);
  EXPECT_NE(partly, after);
  Reference ref;
  PixRandIterator merged(*s.root);
  for (int32_t y = area.top; y < area.bottom; ++y)
    for (int32_t x = area.left; x < area.right; ++x) ASSERT_EQ(merged.At(x, y), ref.At(*s.root->impl(), x, y));
}

TEST(Compose, ComposeRootReturnsTheLowByte) {
  auto ctx = ImageContextImpl::Create(PiFolder::CreateRoot());
  ctx->Root()->impl()->AppendChild(RampImage(1, 2, 3, 0));
  EXPECT_EQ(ComposeRoot(*ctx, ProgressFunc()), 1);
  EXPECT_EQ(ComposeRoot(*ctx, [](uint64_t, uint64_t, uint64_t, uint64_t) { return false; }), 0);
  int calls = 0;
  EXPECT_EQ(ComposeRoot(*ctx, [&](uint64_t, uint64_t, uint64_t, uint64_t) { return ++calls > 0; }), 1);
  EXPECT_EQ(calls, 2);
}

// ---------------------------------------------------------------------------
// Which tiles are merged and how they are stored.

TEST(Compose, OnlyTheTilesChildrenHoldAreMerged) {
  auto root = PiFolder::CreateRoot();
  PiFolder& f = *root->folder();
  std::unique_ptr<Plane> a = PiImage::Create();
  a->impl()->SetPixel(5, 5, Px(100, 100, 100, 16384), nullptr);        // tile (0, 0)
  a->impl()->SetPixel(-200, -70, Px(100, 0, 100, 16384), nullptr);    // tile (-2, -1)
  a->impl()->SetOffset(Point{13, -5});
  root->impl()->AppendChild(std::move(a));
  Plane* hidden = root->impl()->AppendChild(PiImage::Create({}, Px(1, 1, 1, 1)));
  hidden->impl()->SetPixel(700, 700, Px(5, 5, 5, 5), nullptr);
  hidden->impl()->SetVisible(0);
  // A merged tile elsewhere, made before: not the children's, not touched.
  Tile* old = Tile::CreateFilled(TileLocate::FromColRow(7, 7), Px(9, 9, 9, 9));
  f.InsertMergedTile(old);

  ASSERT_TRUE(f.Compose(ProgressFunc()));
  // Tile (0, 0) of the child covers folder positions [-13, 115) x [5, 133);
  // tile (-2, -1) covers [-269, -141) x [-123, 5).
  const std::set<std::pair<int, int>> reported = {{-1, 0}, {0, 0}, {-1, 1}, {0, 1},
                                                  {-3, -1}, {-2, -1}, {-3, 0}, {-2, 0}};
  std::set<std::pair<int, int>> want = reported;
  want.insert({7, 7});
  EXPECT_EQ(MergedColRows(f), want);
  EXPECT_EQ(f.LookupTile(TileLocate::FromColRow(7, 7)), old);
  EXPECT_EQ(old->At(3, 3).FillValue(), Px(9, 9, 9, 9));

  // A visible layer whose default pixel shows: all tiles of the bounds (of
  // every child, hidden ones included, so the hidden one goes first).
  ASSERT_TRUE(root->impl()->DeleteChild(hidden));
  Plane* paper = root->impl()->PrependChild(PiImage::Create({}, Px(16384, 16384, 16384, 16384)));
  ASSERT_TRUE(f.Compose(ProgressFunc()));
  EXPECT_EQ(f.Bounds(), (Rect{-269, -123, 115, 133}));
  want.clear();
  for (int row = -1; row <= 1; ++row)
    for (int col = -3; col <= 0; ++col) want.insert({col, row});
  EXPECT_EQ(MergedColRows(f), want) << "ChildChanged dropped the old tile";
  const Tile* only = f.LookupTile(TileLocate::FromColRow(-1, -1));
  ASSERT_TRUE(only && only->HasCells());
  for (int i = 0; i < kTileCellCount; ++i) {
    ASSERT_EQ(only->Cells()[i].Kind(), Cell::kRGBAFill);
    ASSERT_EQ(only->Cells()[i].FillValue(), Px(16384, 16384, 16384, 16384));
  }
  // Hiding the paper again: back to the reported tiles.
  paper->impl()->SetVisible(0);
  f.ChildChanged(nullptr);
  ASSERT_TRUE(f.Compose(ProgressFunc()));
  EXPECT_EQ(MergedColRows(f), reported);
}

TEST(Compose, UniformSourcesKeepFillCells) {
  auto root = PiFolder::CreateRoot();
  PiFolder& f = *root->folder();
  std::unique_ptr<Plane> a = PiImage::Create();
  Tile* t = Tile::Create(TileLocate(), true);
  for (int i = 0; i < kTileCellCount; ++i)
    if (i % 7) SetFill(t->MutableCells()[i], Px(uint16_t(i * 40), 0, uint16_t(i * 20), 16384));
  a->image()->InsertTile(t);
  root->impl()->AppendChild(std::move(a));
  // Off the cell grid, all fills of its default pixel: every read area is uniform.
  const PixelRGBA c = Px(3000, 6000, 1000, 9000);
  std::unique_ptr<Plane> b = PiImage::Create({}, c);
  Tile* u = Tile::Create(TileLocate(), true);
  for (int i = 0; i < kTileCellCount; ++i)
    if (i % 3) SetFill(u->MutableCells()[i], c);
  b->image()->InsertTile(u);
  b->impl()->SetOffset(Point{3, 5});
  SetBlendWord(b.get(), 3);
  b->impl()->SetOpacity(9000);
  Plane* bp = root->impl()->AppendChild(std::move(b));
  // A lockdonly layer over a uniform clip base blends unmasked.
  Plane* m = root->impl()->AppendChild(PiImage::Create({}, Px(0, 0, 0, 16384)));
  SetBlendWord(m, 1 | Blend::clip_dsta | Blend::lockdonly);

  ASSERT_TRUE(f.Compose(ProgressFunc()));
  const Tile* merged = f.LookupTile(TileLocate());
  ASSERT_TRUE(merged && merged->HasCells());
  for (int i = 0; i < kTileCellCount; ++i) EXPECT_EQ(merged->Cells()[i].Kind(), Cell::kRGBAFill) << i;

  // One bitmap cell of b: the four folder cells it overlaps become bitmaps.
  // b's cell (5, 5) holds its positions [40, 48) x [40, 48), that is folder
  // positions [37, 45) x [35, 43): folder cells 4 and 5 in both directions.
  PixelRGBA px[64];
  for (int k = 0; k < 64; ++k) px[k] = k % 2 ? c : Px(0, 0, 0, 0);
  AssignPixels(bp->image()->LookupTile(TileLocate())->MutableAt(5, 5), px);
  f.ChildChanged(nullptr);
  ASSERT_TRUE(f.Compose(ProgressFunc()));
  merged = f.LookupTile(TileLocate());
  for (int cy = 0; cy < 16; ++cy)
    for (int cx = 0; cx < 16; ++cx) {
      const bool touched = (cx == 4 || cx == 5) && (cy == 4 || cy == 5);
      EXPECT_EQ(merged->At(cx, cy).Kind(), touched ? Cell::kRGBABitmap : Cell::kRGBAFill) << cx << "," << cy;
    }
  Reference ref;
  PixRandIterator it(*root);
  for (int32_t y = 0; y < 128; ++y)
    for (int32_t x = 0; x < 128; ++x) ASSERT_EQ(it.At(x, y), ref.At(*root->impl(), x, y)) << x << "," << y;
}

TEST(Compose, OffsetsAtTheEdgesOfTileSpace) {
  // Tile keys stop at column 32767: a source read beyond it has nothing
  // there (no wrap to column -32768).
  auto root = PiFolder::CreateRoot();
  std::unique_ptr<Plane> a = PiImage::Create({}, Px(0, 0, 0, 0));
  a->image()->InsertTile(Tile::CreateFilled(TileLocate::FromColRow(32767, 0), Px(100, 0, 0, 16384)));
  a->image()->InsertTile(Tile::CreateFilled(TileLocate::FromColRow(-32768, 0), Px(0, 100, 0, 16384)));
  a->impl()->SetOffset(Point{32767 * 128 + 60, 0});
  root->impl()->AppendChild(std::move(a));
  ASSERT_TRUE(root->impl()->Compose(ProgressFunc()));
  PixRandIterator it(*root);
  EXPECT_EQ(it.At(-60, 3), Px(100, 0, 0, 16384));
  EXPECT_EQ(it.At(67, 3), Px(100, 0, 0, 16384));
  EXPECT_EQ(it.At(68, 3), Px(0, 0, 0, 0));
  EXPECT_EQ(it.At(-61, 3), Px(0, 0, 0, 0));
  Reference ref;
  for (int32_t x = -300; x < 300; ++x) ASSERT_EQ(it.At(x, 3), ref.At(*root->impl(), x, 3)) << x;
}

TEST(Compose, AttachedPlaneGoesOverTheChildren) {
  for (uint32_t seed = 31; seed <= 36; ++seed) {
    std::mt19937 rng(seed);
    Stack s = RandomStack(rng);
    std::unique_ptr<Plane> extra = RandomImage(rng, StackOptions());
    RandomProperties(rng, *extra->impl());
    extra->impl()->SetVisible(1);
    s.root->folder()->SetAttachedPlane(std::move(extra));
    ASSERT_TRUE(s.root->impl()->Compose(ProgressFunc()));
    Reference ref;
    const Rect area = s.root->impl()->Bounds();
    PixRandIterator it(*s.root);
    for (int32_t y = area.top - 8; y < area.bottom + 8; ++y)
      for (int32_t x = area.left - 8; x < area.right + 8; ++x)
        ASSERT_EQ(it.At(x, y), ref.At(*s.root->impl(), x, y)) << seed << " at " << x << "," << y;
  }
}

// ---------------------------------------------------------------------------
// Folder tiles merged on request.

std::shared_ptr<Plane> NestedDoc() {
  auto root = PiFolder::CreateRoot();
  root->impl()->AppendChild(RampImage(16384, 0, 0, 0))->impl()->SetOffset(Point{-7, 3});
  Plane* sub = root->impl()->AppendChild(PiFolder::Create());
  sub->impl()->AppendChild(RampImage(0, 16384, 0, 1))->impl()->SetOffset(Point{20, -9});
  Plane* m = sub->impl()->AppendChild(RampImage(0, 0, 16384, 2));
  SetBlendWord(m, 7);
  SetBlendWord(sub, 6);
  sub->impl()->SetOpacity(11000);
  return root;
}

TEST(FolderTiles, MergedAtOnceOnTheMainThread) {
  auto composed = NestedDoc();
  ASSERT_TRUE(composed->impl()->Compose(ProgressFunc()));
  auto asked = NestedDoc();
  Tile* t = asked->impl()->FindTile(TileLocate(), true);
  ASSERT_TRUE(t->HasCells());
  EXPECT_EQ(t->genComputed, t->genRequested);
  EXPECT_EQ(ReadAll(*asked, Rect{0, 0, 128, 128}), ReadAll(*composed, Rect{0, 0, 128, 128}));
  // Asked again: nothing to do, same tile.
  EXPECT_EQ(asked->impl()->FindTile(TileLocate(), true), t);
  // A locate where no child has content has no cells.
  EXPECT_FALSE(asked->impl()->FindTile(TileLocate::FromColRow(5, 5), true)->HasCells());
}

TEST(FolderTiles, OtherThreadWithoutWorkerGetsNoContent) {
  MainContext::CreateInstance();
  {
    auto root = NestedDoc();
    Tile* t = nullptr;
    std::thread([&] { t = root->impl()->FindTile(TileLocate(), true); }).join();
    ASSERT_TRUE(t && t->HasCells());
    EXPECT_EQ(t->genComputed, 0u);
    EXPECT_EQ(t->genInProgress, -1);
    for (int i = 0; i < kTileCellCount; ++i) EXPECT_TRUE(t->Cells()[i].IsNull()) << i;
    // The nested folder was not merged either.
    const Tile* sub = root->impl()->ChildAt(1)->impl()->LookupTile(TileLocate());
    EXPECT_TRUE(sub == nullptr || sub->genComputed == 0u);
  }
  MainContext::DestroyInstance();
}

TEST(FolderTiles, WorkerMergesWithNestedFolders) {
  MainContext::CreateInstance();
  {
    auto composed = NestedDoc();
    ASSERT_TRUE(composed->impl()->Compose(ProgressFunc()));
    auto root = NestedDoc();
    BGThread queue;
    root->folder()->AttachWorker(&queue);
    for (int col = -1; col <= 0; ++col)
      for (int row = -1; row <= 1; ++row) root->impl()->FindTile(TileLocate::FromColRow(col, row), true);
    size_t ran = 0;
    std::thread([&] { ran = queue.RunAll(); }).join();
    EXPECT_GT(ran, 0u);
    EXPECT_EQ(MainContext::Instance()->DrainMain(), ran);
    const Rect area{-128, -128, 128, 256};
    EXPECT_EQ(ReadAll(*root, area), ReadAll(*composed, area));
    root->folder()->AttachWorker(nullptr);
  }
  MainContext::DestroyInstance();
}

}  // namespace
}  // namespace kzm
