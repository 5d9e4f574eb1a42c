// The document model where the program relies on it beyond what a
// conversion shows: locks and tile references across threads, uniform and
// compacted tiles, wide cell codes, cells from files and 8-bit rows, the
// thumbnail's size, a load refused for memory, the running composite.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "chunk/chunk_reader.h"
#include "chunk/chunk_writer.h"
#include "base/data_src.h"
#include "kzm/bitmap_blocks.h"
#include "kzm/cell.h"
#include "kzm/composite.h"
#include "kzm/doc_save.h"
#include "kzm/native_reader.h"
#include "kzm/pi_folder.h"
#include "kzm/pi_image.h"
#include "kzm/pix_iterator.h"
#include "kzm/record_layer.h"
#include "kzm/tile.h"
#include "support/reference.h"
#include "support/sinks.h"

namespace {

using namespace kzm;

PixelRGBA Px(uint16_t r, uint16_t g, uint16_t b, uint16_t a) { return PixelRGBA{r, g, b, a}; }

// Adds to `img` a tile of bitmap cells at (col, row), each of which `cell(i, c)` sets.
template <class F>
void AddTile(PiImage& img, int col, int row, F cell) {
  TileRef t = TileRef::Adopt(Tile::Create(TileLocate::FromColRow(col, row), true));
  for (int i = 0; i < kTileCellCount; ++i) cell(i, t->MutableCells()[i]);
  img.InsertTile(t.release());
}

TEST(Model, NodeLocksAndTileReferencesHoldAcrossThreads) {
  auto root = PiFolder::CreateRoot();
  Plane::Impl* f = root->impl();
  long counter = 0;  // guarded by the node lock only
  constexpr int kRounds = 2000;
  Tile* tile = Tile::CreateFilled(TileLocate(), Px(1, 1, 1, 1));
  auto work = [&](int id) {
    for (int i = 0; i < kRounds; ++i) {
      f->Lock();
      f->Lock();  // recursive
      ++counter;
      f->Unlock();
      f->Unlock();
      Plane* c = f->AppendChild(PiImage::Create());
      c->impl()->SetOpacity(uint16_t(id));
      if (i % 3 == 0) f->RemoveChild(c);
      TileRef r = TileRef::Share(tile);
      TileRef copy = r;
    }
  };
  std::thread t1(work, 1), t2(work, 2);
  t1.join();
  t2.join();
  EXPECT_EQ(counter, 2L * kRounds);
  EXPECT_EQ(f->ChildCount(), size_t(2 * kRounds) - 2 * ((kRounds + 2) / 3));
  EXPECT_EQ(tile->Release(), 0) << "every reference taken was given back";
}

TEST(Model, UniformTilesShareOneCellArrayAndCompactionDropsDefaultTiles) {
  // Columns: red fills, red fills, blue fills, red uniform bitmaps (fills
  // after compaction), fills of the default pixel (dropped by compaction).
  auto layer = PiImage::Create();
  PiImage& img = *layer->image();
  const PixelRGBA red = Px(16384, 0, 0, 16384), blue = Px(0, 0, 16384, 16384);
  PixelRGBA solid[64];
  std::fill(solid, solid + 64, red);
  for (int col = 0; col < 5; ++col) {
    TileRef t = TileRef::Adopt(Tile::Create(TileLocate::FromColRow(col, 0), true));
    for (int i = 0; i < kTileCellCount; ++i) {
      Cell& c = t->MutableCells()[i];
      if (col == 3)
        AssignPixels(c, solid);
      else
        SetFill(c, col == 2 ? blue : col == 4 ? PixelRGBA{} : red);
    }
    if (col < 3) t->ShareIfUniform();
    img.InsertTile(t.release());
  }
  auto cells = [&](int col) { return img.LookupTile(TileLocate::FromColRow(col, 0))->Cells(); };
  EXPECT_EQ(cells(0), cells(1));
  EXPECT_NE(cells(0), cells(2));
  EXPECT_NE(cells(0), cells(3));
  img.CompactTiles();
  EXPECT_EQ(cells(3), cells(0));
  EXPECT_EQ(img.LookupTile(TileLocate::FromColRow(4, 0)), nullptr);
  const Rect b = img.Bounds();
  EXPECT_EQ((std::vector<int32_t>{b.left, b.top, b.right, b.bottom}), (std::vector<int32_t>{0, 0, 4 * 128, 128}));
  PixRandIterator read(*layer);
  EXPECT_EQ(read.At(3 * 128 + 5, 7), red);
  EXPECT_EQ(read.At(2 * 128 + 127, 127), blue);
  EXPECT_EQ(read.At(4 * 128, 0), PixelRGBA{});
}

TEST(Model, CellCodesWidenPastThe32768thPaletteColour) {
  // 32768 and 32769 distinct fill colours: the tile table's codes are 16
  // bits up to 32767 entries and 32 bits from 32768.
  for (uint32_t colours : {32767u, 32768u}) {
    auto layer = PiImage::Create();
    PiImage& img = *layer->image();
    for (uint32_t t = 0; t * 256 < colours + 256; ++t)
      AddTile(img, int(t % 100), int(t / 100), [&](int i, Cell& c) {
        const uint32_t k = std::min(t * 256 + uint32_t(i), colours - 1);
        SetFill(c, Px(uint16_t(k & 0x3FFF), uint16_t(k >> 14), 0, 16384));
      });
    ts::MemorySink mem;
    {
      chunk::ChunkSink sink(mem.func());
      chunk::ChunkWriter& root = sink.beginRoot("Plane0000");
      ASSERT_EQ(SaveLayerRecord(*layer, root, false, ProgressFunc(), 0, 1), 0);
      ASSERT_TRUE(root.end());
    }
    DataSrcMemory src(mem.bytes().data(), mem.bytes().size());
    chunk::ChunkSA tree(nullptr, src);
    ASSERT_TRUE(tree.ok());
    chunk::ValueRange r;
    const auto body = tree.findChild("PiImage")->findChild("Body");
    ASSERT_EQ(body->findValue("Tile", r), (colours + 255) / 256 + 1);
    EXPECT_EQ(r.size() / ((colours + 255) / 256 + 1), colours >= 32768 ? 1028u : 516u) << colours;
    auto back = PiImage::Create();
    ASSERT_EQ(LoadLayerRecord(*back, tree, LoadOptions()), 0);
    PixRandIterator read(*back);
    for (uint32_t k = 0; k < colours; k += 97)
      ASSERT_EQ(read.At(int32_t(k % 25600 % 256 % 16 * 8 + (k / 256 % 100) * 128),
                        int32_t(k % 256 / 16 * 8 + (k / 25600) * 128)),
                Px(uint16_t(k & 0x3FFF), uint16_t(k >> 14), 0, 16384))
          << k;
  }
}

// A bitmap cell read from a file holds only valid pixels: alpha up to one,
// colour up to alpha, whatever the file's bytes.
TEST(Model, CellsFromFilesAreClampedAndFromEightBitRowsWidenedExactly) {
  std::mt19937 rng(5);
  for (int round = 0; round < 200; ++round) {
    PixelRGBA px[64], want[64];
    for (int i = 0; i < 64; ++i) {
      auto v = [&] { return uint16_t(rng() % 3 == 0 ? rng() : rng() % 17000); };
      px[i] = PixelRGBA{v(), v(), v(), v()};
      const uint16_t a = std::min<uint16_t>(px[i].a, 16384);
      want[i] = PixelRGBA{std::min(px[i].r, a), std::min(px[i].g, a), std::min(px[i].b, a), a};
    }
    kzm::SanitizeBlock(px);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(px[i], want[i]) << round << " " << i;
  }
  // Cells built from 8-bit rows hold exactly PixelFrom8 of every pixel, for
  // every colour and transparency value in every lane.
  std::vector<uint32_t> words(65536);
  for (uint32_t i = 0; i < 65536; ++i) {
    const uint32_t c = i & 0xFF, a = i >> 8, lane = i % 3;
    words[i] = c << (8 * lane) | ((c * 7 + 3) & 0xFF) << (8 * ((lane + 1) % 3)) | a << 24;
  }
  for (size_t at = 0; at < words.size(); at += 64) {
    kzm::Cell cell;
    kzm::AssignFrom8(cell, words.data() + at, 1, 8);
    for (int i = 0; i < 64; ++i)
      ASSERT_EQ(*cell.PixelAt(i % 8, i / 8), PixelFrom8(words[at + size_t(i)])) << at + size_t(i);
  }
}

TEST(Model, ThumbnailsHalveUntilTheyFitTheLimit) {
  // Sides halved (the step doubled) while one exceeds the limit and both
  // are at least 2; a thin canvas then halves its long side until the
  // pixels fit.
  struct Case {
    Rect bounds;
    int32_t w, h, step;
  } cases[] = {{Rect{0, 0, 100, 50}, 100, 50, 1},
               {Rect{0, 0, 385, 10}, 192, 5, 2},
               {Rect{0, 0, 30000, 30000}, 234, 234, 128},
               {Rect{-5, 7, 300000, 9}, 75001, 1, 4},
               {Rect{0, 0, 1, 200000}, 1, 100000, 2},
               {Rect{0, 0, 0, 9}, 0, 0, 1}};
  for (const Case& c : cases) {
    const ThumbGeometry g = ThumbnailGeometry(c.bounds);
    EXPECT_EQ((std::vector<int32_t>{g.width, g.height, g.step}), (std::vector<int32_t>{c.w, c.h, c.step}))
        << c.bounds.right;
    EXPECT_LE(int64_t(g.width) * g.height, int64_t(kThumbLimit) * kThumbLimit);
  }
}

}  // namespace

TEST(Model, ALayerRefusedBesideAnotherLoadsOnceThatOneHasGone) {
  // Two layers of 46 tiles of bitmaps (about 480 KiB of tiles, 6 MB inflated
  // each) in a file of about 80 KB that may inflate about 21 MB: with 700 KiB
  // allowed, the second does not fit beside the first, and does alone. A
  // refused load keeps and counts nothing, however often it is tried.
  const PixelRGBA clear[64] = {};
  PixelRGBA marked[64] = {Px(16384, 0, 0, 16384)};
  ts::MemorySink mem;
  {
    chunk::ChunkSink sink(mem.func());
    chunk::ChunkWriter& root = sink.beginRoot("VorletBitmapImage");
    const Rect canvas{0, 0, 46 * 128, 128};
    const ThumbGeometry g = ThumbnailGeometry(canvas);
    SaveDocumentHead(root, g, std::vector<PixelRGBA>(size_t(g.width) * size_t(g.height)), canvas);
    for (int k = 0; k < 2; ++k) {
      auto layer = PiImage::Create();
      for (int col = 0; col < 46; ++col)
        AddTile(*layer->image(), col, 0, [&](int i, Cell& c) { AssignPixels(c, i == 0 ? marked : clear); });
      ASSERT_EQ(SaveLayer(root, *layer->image(), true, ProgressFunc(), uint64_t(k), 2), 0);
    }
    ASSERT_TRUE(root.end());
  }
  DataSrcMemory src(mem.bytes().data(), mem.bytes().size());
  LoadLimits limits;
  limits.memoryBytes = 700 << 10;
  NativeReader reader(src, limits);
  ASSERT_EQ(reader.Open(nullptr, ProgressFunc()), 0);
  ASSERT_EQ(reader.LayerCount(), 2u);
  LoadedLayer first, second;
  ASSERT_EQ(reader.LoadLayer(0, first), 0);
  for (int attempt = 0; attempt < 5; ++attempt) {
    EXPECT_EQ(reader.LoadLayer(1, second), kLoadTooLarge);
    EXPECT_FALSE(second);
  }
  first.Reset();
  ASSERT_EQ(reader.LoadLayer(1, second), 0);
  EXPECT_EQ(PixRandIterator(*second).At(45 * 128, 0), marked[0]);
  EXPECT_EQ(PixRandIterator(*second).At(45 * 128 + 1, 0), PixelRGBA{});
}

TEST(Model, TheRunningCompositeEqualsTheStackEvaluatedPixelByPixel) {
  // Layers over a canvas of 3 x 2 tiles, each with content in a rectangle
  // of its own, so that most layers have no tile where others have content.
  // There a transparent source leaves the merged pixels as they are, except
  // under "lerp", which fades them by its opacity.
  const int32_t W = 384, H = 256;
  uint32_t seed = 7;
  auto next = [&] { return seed = seed * 1664525u + 1013904223u, seed >> 8; };
  auto pixel = [&] {
    const uint16_t a = uint16_t(next() % 4 == 0 ? 0 : 1 + next() % 16384);
    return Px(uint16_t(next() % (a + 1u)), uint16_t(next() % (a + 1u)), uint16_t(next() % (a + 1u)), a);
  };
  const uint8_t modes[] = {1, 2, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
  const uint32_t alphas[] = {1, 2, 4, 8, 16};
  std::vector<std::unique_ptr<Plane>> layers;
  std::vector<ImageProperties> props;
  std::vector<Rect> rects;
  for (int k = 0; k < 14; ++k) {
    ImageProperties p;
    p.blend.word0 = modes[next() % 14] | (next() % 5 == 0 ? Blend::lock_a___ : 0);
    p.blend.word1 = k % 3 == 1 ? 1 : alphas[next() % 5];
    if (p.blend.word1 == 1) p.blend.word0 = Blend::kModeNormal;
    p.opacity = uint16_t(k % 2 && p.blend.word1 != 1 ? 16384 : 4000 + next() % 12000);
    const int32_t l = int32_t(next() % 40) * 8, t = int32_t(next() % 28) * 8;
    const Rect r{l, t, std::min(W, l + 64), std::min(H, t + 40)};
    auto layer = PiImage::Create();
    for (int32_t ty = r.top >> 7; ty <= (r.bottom - 1) >> 7; ++ty)
      for (int32_t tx = r.left >> 7; tx <= (r.right - 1) >> 7; ++tx)
        AddTile(*layer->image(), tx, ty, [&](int i, Cell& c) {
          const int32_t x = tx * 128 + i % 16 * 8, y = ty * 128 + i / 16 * 8;
          if (x < r.left || x >= r.right || y < r.top || y >= r.bottom) return;
          PixelRGBA px[64];
          for (PixelRGBA& q : px) q = pixel();
          AssignPixels(c, px);
        });
    layers.push_back(std::move(layer));
    props.push_back(p);
    rects.push_back(r);
  }
  Composite merged(Rect{0, 0, W, H});
  for (size_t k = 0; k < layers.size(); ++k) {
    for (Tile* t : merged.Begin(layers[k]->image(), props[k], nullptr, nullptr)) merged.BlendTile(*t);
    merged.End();
  }
  std::vector<PixelRGBA> got(size_t(W) * size_t(H));
  merged.ReadRows(0, H, 0, W, got.data());
  int bad = 0;
  for (int32_t y = 0; y < H; ++y)
    for (int32_t x = 0; x < W; ++x) {
      PixelRGBA want{0, 0, 0, 0};
      for (size_t k = 0; k < layers.size(); ++k)
        want = blendref::Blend(want, PixRandIterator(*layers[k]).At(x, y), props[k].opacity, props[k].blend.word0,
                               props[k].blend.word1);
      const PixelRGBA& g = got[size_t(y) * size_t(W) + size_t(x)];
      if (g != want && ++bad <= 5) ADD_FAILURE() << "(" << x << ", " << y << ")";
    }
  EXPECT_EQ(bad, 0);
}
