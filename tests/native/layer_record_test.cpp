// Layer records: round trips of every property and pixel, the palette
// stream, the code width switch and the written layout.
#include <gtest/gtest.h>

#include <cstring>

#include "blend/modes.h"
#include "chunk/chunk_values.h"
#include "kzm/cell.h"
#include "kzm/pi_folder.h"
#include "kzm/record_layer.h"
#include "native/native_test_util.h"

namespace {

using nt::Bytes;
using nt::Px;

class LayerRoundTrip : public ::testing::TestWithParam<bool> {};

void ExpectRoundTrip(kzm::Plane& layer, bool compress) {
  std::unique_ptr<kzm::Plane> back;
  ASSERT_EQ(0, nt::RoundTripLayer(layer, compress, back));
  EXPECT_TRUE(nt::SameProperties(*layer.impl(), *back->impl()));
  EXPECT_TRUE(nt::SamePixels(*layer.image(), *back->image()));
}

TEST_P(LayerRoundTrip, FillOnlyLayerWithProperties) {
  auto layer = kzm::PiImage::Create();
  kzm::PiImage& img = *layer->image();
  for (int t = 0; t < 5; ++t)
    nt::AddTile(img, t, t / 2, [&](int i, kzm::Cell& c) {
      // Runs of equal colours, returns to recent and to older colours.
      kzm::SetFill(c, nt::SeedPixel(uint32_t((i / 7) % 9 + t * 3)));
    });
  img.SetName("Ebene 1");
  img.SetVisible(0);
  img.SetOpacity(1234);
  img.SetPlaneLock(1);
  img.SetAlphaLock(1);
  img.SetBlend(kzm::Blend{0x38000 | 21, 16});
  ExpectRoundTrip(*layer, GetParam());
}

TEST_P(LayerRoundTrip, BitmapHeavyLayer) {
  auto layer = kzm::PiImage::Create();
  kzm::PiImage& img = *layer->image();
  uint32_t seed = 1;
  for (int t = 0; t < 6; ++t)
    nt::AddTile(img, t % 3, t / 3, [&](int i, kzm::Cell& c) {
      if (i % 17 == 3) {
        kzm::SetFill(c, nt::SeedPixel(seed++));
        return;
      }
      PixelRGBA px[64];
      for (auto& p : px) p = nt::SeedPixel(seed++);
      kzm::AssignPixels(c, px);
    });
  ExpectRoundTrip(*layer, GetParam());
}

TEST_P(LayerRoundTrip, NonZeroDefaultPixelAndNegativeLocates) {
  const PixelRGBA def = Px(100, 200, 300, 400);
  auto layer = kzm::PiImage::Create({}, def);
  kzm::PiImage& img = *layer->image();
  const int places[][2] = {{-1, -1}, {-32768, 5}, {32767, -2}, {0, -32768}, {3, 0}};
  int n = 0;
  for (auto& pl : places) {
    ++n;
    nt::AddTile(img, pl[0], pl[1], [&](int i, kzm::Cell& c) {
      if (i % 3 == 0) return;  // no cell: reads as the default pixel
      if (i % 3 == 1) {
        kzm::SetFill(c, i % 2 ? def : nt::SeedPixel(uint32_t(i * n)));
        return;
      }
      PixelRGBA px[64];
      for (int k = 0; k < 64; ++k) px[k] = k % 5 ? def : nt::SeedPixel(uint32_t(k + i * 64 + n));
      kzm::AssignPixels(c, px);
    });
  }
  std::unique_ptr<kzm::Plane> back;
  ASSERT_EQ(0, nt::RoundTripLayer(*layer, GetParam(), back));
  EXPECT_EQ(def, back->image()->DefaultPixel());
  EXPECT_TRUE(nt::SamePixels(img, *back->image()));
  EXPECT_EQ(5u, back->image()->TileCount());
  // Pixel (-1, -1) lies in the tile at (-1, -1).
  EXPECT_EQ(*img.PixelAt(-1, -1), *back->image()->PixelAt(-1, -1));
}

TEST_P(LayerRoundTrip, Utf8NameAndEveryBlendName) {
  int colourCount = 0, alphaCount = 0;
  const blend::ColorModeRow* colours = blend::ColorModeTable(&colourCount);
  const blend::AlphaModeRow* alphas = blend::AlphaModeTable(&alphaCount);
  for (int c = 0; c < colourCount; ++c) {
    auto layer = kzm::PiImage::Create();
    layer->impl()->SetName("\xE3\x83\xAC\xE3\x82\xA4\xE3\x83\xA4\xE3\x83\xBC \xC3\xB1 \xE2\x9C\x93 #" + std::to_string(c));
    layer->impl()->SetBlend(kzm::Blend{colours[c].id | (c % 2 ? 0x8000u : 0x30000u), alphas[c % alphaCount].id});
    nt::AddTile(*layer->image(), 0, 0, [&](int, kzm::Cell& cell) { kzm::SetFill(cell, Px(1, 2, 3, 4)); });
    ExpectRoundTrip(*layer, GetParam());
  }
}

TEST_P(LayerRoundTrip, PalettePast32768Entries) {
  auto layer = kzm::PiImage::Create();
  kzm::PiImage& img = *layer->image();
  uint32_t k = 0;
  for (int t = 0; t < 130; ++t)
    nt::AddTile(img, t % 12, t / 12, [&](int, kzm::Cell& c) {
      ++k;
      kzm::SetFill(c, Px(uint16_t(k & 0x3FFF), 0, uint16_t(k >> 14), 16384));
    });
  auto tree = nt::SaveLayerTree(*layer, GetParam());
  auto body = tree->findChild("Plane0000")->findChild("PiImage")->findChild("Body");
  ASSERT_TRUE(body);
  chunk::ArrayView tiles;
  ASSERT_TRUE(chunk::ReadArray(*body, "Tile", 1028, tiles));
  EXPECT_EQ(130u, tiles.count);
  ExpectRoundTrip(*layer, GetParam());
}

INSTANTIATE_TEST_SUITE_P(PlainAndCompressed, LayerRoundTrip, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Compressed" : "Plain"; });

// ---------------------------------------------------------------------------
// Layout.

std::shared_ptr<const chunk::IChunkBase> BodyOf(const std::shared_ptr<chunk::ChunkSA>& tree) {
  return tree->findChild("Plane0000")->findChild("PiImage")->findChild("Body");
}

std::vector<int32_t> Codes(const chunk::ArrayView& tiles, uint32_t tile, bool wide) {
  std::vector<int32_t> out;
  const uint8_t* p = tiles.begin + size_t(tile) * (wide ? 1028 : 516) + 4;
  for (int i = 0; i < 256; ++i) {
    if (wide) {
      int32_t v;
      std::memcpy(&v, p + 4 * i, 4);
      out.push_back(v);
    } else {
      int16_t v;
      std::memcpy(&v, p + 2 * i, 2);
      out.push_back(v);
    }
  }
  return out;
}

TEST(LayerLayout, DefaultOnlyLayerWritesEmptyTablesAndAllMinusOne) {
  const PixelRGBA def = Px(5, 6, 7, 8);
  auto layer = kzm::PiImage::Create({}, def);
  nt::AddTile(*layer->image(), 2, -3, [&](int i, kzm::Cell& c) {
    if (i % 2) kzm::SetFill(c, def);  // the rest stay null
  });
  const Bytes file = nt::WriteFile([&](chunk::ChunkWriter& root) {
    chunk::ChunkWriter& c = root.beginChild("Plane0000");
    kzm::SaveLayerRecord(*layer, c, false, ProgressFunc(), 0, 1);
    c.end();
  });
  Bytes expect;
  nt::PutU32(expect, 0xFAEACDA0);
  nt::PutString(expect, "Body");
  nt::PutString(expect, "Fill");
  nt::PutU32(expect, uint32_t(-8));
  nt::PutU32(expect, 0);
  nt::PutString(expect, "Bitmap");
  nt::PutU32(expect, uint32_t(-512));
  nt::PutU32(expect, 0);
  nt::PutString(expect, "Tile");
  nt::PutU32(expect, uint32_t(-516));
  nt::PutU32(expect, 1);
  nt::PutU32(expect, 0xFFFD0002);  // row -3, column 2
  for (int i = 0; i < 256; ++i) expect.push_back(0xFF), expect.push_back(0xFF);
  nt::PutU32(expect, 0);  // end of values
  nt::PutU32(expect, 0xFAEACDA0);
  nt::PutU32(expect, 0);
  EXPECT_TRUE(nt::Contains(file, expect));
}

TEST(LayerLayout, FiveColoursThenTheFirstAddsItTwice) {
  const PixelRGBA c[5] = {Px(1, 1, 1, 10), Px(2, 2, 2, 20), Px(3, 3, 3, 30), Px(4, 4, 4, 40), Px(5, 5, 5, 50)};
  auto layer = kzm::PiImage::Create();
  // Cells: c1 c1 c2 c3 c4 c5 c1 c5 c2, then the default pixel.
  const int order[] = {0, 0, 1, 2, 3, 4, 0, 4, 1};
  nt::AddTile(*layer->image(), 0, 0, [&](int i, kzm::Cell& cell) {
    kzm::SetFill(cell, i < 9 ? c[order[i]] : Px(0, 0, 0, 0));
  });
  auto tree = nt::SaveLayerTree(*layer, false);
  auto body = BodyOf(tree);
  chunk::ArrayView fill, tiles;
  ASSERT_TRUE(chunk::ReadArray(*body, "Fill", 8, fill));
  // c2 at the end has left the ring of the last four (c3 c4 c5 c1): added again.
  ASSERT_EQ(7u, fill.count);
  const PixelRGBA expectFill[7] = {c[0], c[1], c[2], c[3], c[4], c[0], c[1]};
  EXPECT_EQ(0, std::memcmp(expectFill, fill.begin, sizeof expectFill));
  ASSERT_TRUE(chunk::ReadArray(*body, "Tile", 516, tiles));
  const std::vector<int32_t> codes = Codes(tiles, 0, false);
  const int32_t expectCodes[] = {0, 0, 1, 2, 3, 4, 5, 4, 6};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(expectCodes[i], codes[size_t(i)]) << i;
  for (int i = 9; i < 256; ++i) EXPECT_EQ(-1, codes[size_t(i)]) << i;
}

// A layer of n distinct fill colours, one per cell.
std::unique_ptr<kzm::Plane> DistinctFills(uint32_t n) {
  auto layer = kzm::PiImage::Create();
  uint32_t k = 0;
  for (int t = 0; k < n; ++t)
    nt::AddTile(*layer->image(), t, 0, [&](int, kzm::Cell& c) {
      if (k < n) kzm::SetFill(c, Px(uint16_t(1 + (k & 0x3FFF)), 0, uint16_t(k >> 14), 16384)), ++k;
    });
  return layer;
}

TEST(LayerLayout, CodeWidthSwitchesAt32768PaletteEntries) {
  {
    auto layer = DistinctFills(32767);
    auto body = BodyOf(nt::SaveLayerTree(*layer, false));
    chunk::ArrayView fill, tiles;
    ASSERT_TRUE(chunk::ReadArray(*body, "Fill", 8, fill));
    EXPECT_EQ(32767u, fill.count);
    ASSERT_TRUE(chunk::ReadArray(*body, "Tile", 516, tiles));
    EXPECT_EQ(128u, tiles.count);
    EXPECT_EQ(32766, Codes(tiles, 127, false)[254]);
    EXPECT_EQ(-1, Codes(tiles, 127, false)[255]);
  }
  {
    auto layer = DistinctFills(32768);
    auto body = BodyOf(nt::SaveLayerTree(*layer, false));
    chunk::ArrayView tiles;
    ASSERT_TRUE(chunk::ReadArray(*body, "Tile", 1028, tiles));
    EXPECT_EQ(128u, tiles.count);
    EXPECT_EQ(0, Codes(tiles, 0, true)[0]);
    EXPECT_EQ(32767, Codes(tiles, 127, true)[255]);
  }
}

TEST(LayerLayout, BitmapsInTileAndCellOrderAndTilesWithoutCellsSkipped) {
  auto layer = kzm::PiImage::Create();
  kzm::PiImage& img = *layer->image();
  img.InsertTile(kzm::Tile::Create(kzm::TileLocate::FromColRow(0, 0), false));  // no cell array
  // Locate order is unsigned: (-1, 0) is 0x0000FFFF, (0, 1) 0x00010000, (0, -1) 0xFFFF0000.
  uint16_t tag = 0;
  for (auto cr : {std::pair<int, int>{0, -1}, {-1, 0}, {0, 1}})
    nt::AddTile(img, cr.first, cr.second, [&](int i, kzm::Cell& c) {
      if (i != 5 && i != 200) return;
      PixelRGBA px[64];
      for (auto& p : px) p = Px(0, 0, 0, 0);
      px[0] = Px(0, 0, 0, ++tag);
      kzm::AssignPixels(c, px);
    });
  // Tags were given in insertion order: (0,-1) 1,2; (-1,0) 3,4; (0,1) 5,6.
  auto body = BodyOf(nt::SaveLayerTree(*layer, false));
  chunk::ArrayView bitmap, tiles;
  ASSERT_TRUE(chunk::ReadArray(*body, "Bitmap", 512, bitmap));
  ASSERT_TRUE(chunk::ReadArray(*body, "Tile", 516, tiles));
  ASSERT_EQ(6u, bitmap.count);
  ASSERT_EQ(3u, tiles.count);
  const uint16_t expectTags[] = {3, 4, 5, 6, 1, 2};
  for (int b = 0; b < 6; ++b) {
    uint16_t a;
    std::memcpy(&a, bitmap.begin + 512 * b + 6, 2);
    EXPECT_EQ(expectTags[b], a) << b;
  }
  const uint32_t expectKeys[] = {0x0000FFFF, 0x00010000, 0xFFFF0000};
  for (int t = 0; t < 3; ++t) {
    uint32_t key;
    std::memcpy(&key, tiles.begin + 516 * t, 4);
    EXPECT_EQ(expectKeys[t], key);
    EXPECT_EQ(-2, Codes(tiles, uint32_t(t), false)[5]);
    EXPECT_EQ(-2, Codes(tiles, uint32_t(t), false)[200]);
  }
}

TEST(LayerLayout, PropertyValuesInOrderAndUnnamedLayerHasNoTagName) {
  auto layer = kzm::PiImage::Create();
  auto tree = nt::SaveLayerTree(*layer, true);
  auto rec = tree->findChild("Plane0000")->findChild("PiImage");
  ASSERT_TRUE(rec);
  EXPECT_EQ((std::vector<std::string>{"version", "LocalVisible", "SrcOpacity", "DefPixel", "LocalPlaneLock",
                                      "LocalAlphaLock"}),
            rec->valueNames());
  EXPECT_EQ((std::vector<std::string>{"Blend", "Body"}), rec->childNames());
  layer->impl()->SetName("x");
  tree = nt::SaveLayerTree(*layer, false);
  rec = tree->findChild("Plane0000")->findChild("PiImage");
  EXPECT_EQ("tagName", rec->valueNames().at(1));
}

TEST(LayerLayout, CompressFlagMakesEachImageRecordAPackedChunk) {
  auto layer = kzm::PiImage::Create();
  for (bool compress : {false, true}) {
    int packed = -1;
    nt::WriteFile(
        [&](chunk::ChunkWriter& root) {
          for (const char* name : {"Plane0000", "Plane0001"}) {
            chunk::ChunkWriter& c = root.beginChild(name);
            kzm::SaveLayerRecord(*layer, c, compress, ProgressFunc(), 0, 2);
            c.end();
          }
        },
        &packed);
    EXPECT_EQ(compress ? 2 : 0, packed);
  }
}

TEST(LayerRecord, ProgressCalls) {
  auto layer = kzm::PiImage::Create();
  for (int t = 0; t < 3; ++t) nt::AddTile(*layer->image(), t, 0, [](int, kzm::Cell& c) { kzm::SetFill(c, Px(1, 1, 1, 1)); });
  std::vector<std::vector<uint64_t>> calls;
  nt::WriteFile([&](chunk::ChunkWriter& root) {
    chunk::ChunkWriter& c = root.beginChild("Plane0002");
    kzm::SaveLayerRecord(*layer, c, true,
                         [&](uint64_t a, uint64_t b, uint64_t d, uint64_t t) {
                           calls.push_back({a, b, d, t});
                           return true;
                         },
                         2, 5);
    c.end();
  });
  const std::vector<std::vector<uint64_t>> expect = {
      {2, 5, 0, 100}, {2, 5, 1, 3}, {2, 5, 2, 3}, {2, 5, 3, 3}, {2, 5, 100, 100}};
  EXPECT_EQ(expect, calls);
}

TEST(LayerRecord, TilesOfOnlyTheDefaultPixelAreDroppedWhenAsked) {
  const PixelRGBA def = Px(9, 9, 9, 9);
  auto layer = kzm::PiImage::Create({}, def);
  nt::AddTile(*layer->image(), 0, 0, [&](int, kzm::Cell& c) { kzm::SetFill(c, def); });
  nt::AddTile(*layer->image(), 1, 0, [&](int i, kzm::Cell& c) {
    PixelRGBA px[64];
    for (auto& p : px) p = i == 7 ? Px(1, 2, 3, 4) : def;
    kzm::AssignPixels(c, px);  // uniform bitmaps except cell 7's colour
  });
  auto tree = nt::SaveLayerTree(*layer, false);
  auto c = tree->findChild("Plane0000");
  auto kept = kzm::PiImage::Create();
  kzm::LoadOptions keep;
  keep.dropDefaultTiles = 0;
  ASSERT_EQ(0, kzm::LoadLayerRecord(*kept, *c, keep));
  EXPECT_EQ(2u, kept->image()->TileCount());
  EXPECT_TRUE(kept->image()->Tiles().begin()->second->At(0, 0).IsFill());
  EXPECT_TRUE(kept->image()->LookupTile(kzm::TileLocate::FromColRow(1, 0))->At(0, 0).IsBitmap());

  auto dropped = kzm::PiImage::Create();
  ASSERT_EQ(0, kzm::LoadLayerRecord(*dropped, *c, kzm::LoadOptions()));
  EXPECT_EQ(1u, dropped->image()->TileCount());
  EXPECT_EQ((kzm::Rect{128, 0, 256, 128}), dropped->image()->Bounds());
  // Uniform bitmaps came back as fills.
  EXPECT_TRUE(dropped->image()->LookupTile(kzm::TileLocate::FromColRow(1, 0))->At(0, 0).IsFill());
  EXPECT_TRUE(nt::SamePixels(*layer->image(), *dropped->image()));
}

TEST(LayerRecord, LoadKeepsHandleParentAndGeometry) {
  auto folder = kzm::PiFolder::Create();
  kzm::Plane* slot = folder->impl()->AppendChild(kzm::PiImage::Create(kzm::ImageGeometry{7, 8, 0, 0}));
  auto src = kzm::PiImage::Create();
  src->impl()->SetName("moved in");
  nt::AddTile(*src->image(), 0, 0, [](int, kzm::Cell& c) { kzm::SetFill(c, Px(1, 1, 1, 1)); });
  auto tree = nt::SaveLayerTree(*src, false);
  ASSERT_EQ(0, kzm::LoadLayerRecord(*slot, *tree->findChild("Plane0000"), kzm::LoadOptions()));
  EXPECT_EQ(slot, folder->impl()->ChildAt(0));
  EXPECT_EQ(slot, slot->impl()->Owner());
  EXPECT_EQ(folder.get(), slot->impl()->Parent());
  EXPECT_EQ("moved in", slot->impl()->Name());
  EXPECT_EQ((kzm::ImageGeometry{7, 8, 0, 0}), slot->image()->Geometry());
  EXPECT_EQ(1u, slot->image()->TileCount());
}

// A "PiImage" record with hand-written values and children.
std::shared_ptr<chunk::ChunkSA> HandMadeImage(const std::function<void(chunk::ChunkWriter& rec)>& fill) {
  return nt::Parse(nt::WriteFile([&](chunk::ChunkWriter& root) {
    chunk::ChunkWriter& c = root.beginChild("Plane0000");
    chunk::ChunkWriter& rec = c.beginChild("PiImage");
    fill(rec);
    rec.end();
    c.end();
  }));
}

void EmptyBody(chunk::ChunkWriter& rec) {
  chunk::ChunkWriter& body = rec.beginChild("Body");
  body.beginArray("Fill", 0, 8);
  body.endArray();
  body.beginArray("Bitmap", 0, 512);
  body.endArray();
  body.beginArray("Tile", 0, 516);
  body.endArray();
  body.end();
}

TEST(LayerRecord, AbsentValuesTakeDefaults) {
  auto tree = HandMadeImage([](chunk::ChunkWriter& rec) {
    rec.writeU32("version", 0x10000000);
    rec.writeValue("tagName", 3, "abc");  // not a string: ignored
    EmptyBody(rec);
  });
  auto layer = kzm::PiImage::Create();
  layer->impl()->SetName("old");
  ASSERT_EQ(0, kzm::LoadLayerRecord(*layer, *tree->findChild("Plane0000"), kzm::LoadOptions()));
  kzm::Plane::Impl& l = *layer->impl();
  EXPECT_EQ("", l.Name());
  EXPECT_EQ(1, l.Visible());
  EXPECT_EQ(16384, l.Opacity());
  EXPECT_EQ(0, l.PlaneLock());
  EXPECT_EQ(0, l.AlphaLock());
  EXPECT_EQ((kzm::Blend{1, 4}), *l.Blend());
  EXPECT_EQ(Px(0, 0, 0, 0), l.DefaultPixel());
}

TEST(LayerRecord, NewerBlendRecordLeavesNormalModulate) {
  auto tree = HandMadeImage([](chunk::ChunkWriter& rec) {
    chunk::ChunkWriter& b = rec.beginChild("Blend");
    b.writeU32("version", 0x10000001);
    b.writeString("TypeColorEmbShader", "mul");
    b.writeString("TypeAlphaEmbShader", "lerp");
    b.end();
    EmptyBody(rec);
  });
  auto layer = kzm::PiImage::Create();
  ASSERT_EQ(0, kzm::LoadLayerRecord(*layer, *tree->findChild("Plane0000"), kzm::LoadOptions()));
  EXPECT_EQ((kzm::Blend{1, 4}), *layer->impl()->Blend());
}

TEST(LayerRecord, UnknownBlendNameFailsTheLayer) {
  auto tree = HandMadeImage([](chunk::ChunkWriter& rec) {
    rec.writeString("tagName", "bad blend");
    chunk::ChunkWriter& b = rec.beginChild("Blend");
    b.writeU32("version", 0x10000000);
    b.writeString("TypeColorEmbShader", "multiply");
    b.writeString("TypeAlphaEmbShader", "modulate");
    b.end();
    EmptyBody(rec);
  });
  auto layer = kzm::PiImage::Create();
  EXPECT_EQ(1, kzm::LoadLayerRecord(*layer, *tree->findChild("Plane0000"), kzm::LoadOptions()));
  EXPECT_EQ("", layer->impl()->Name());
}

TEST(LayerRecord, MissingRecordOrBody) {
  auto noBody = HandMadeImage([](chunk::ChunkWriter& rec) { rec.writeString("tagName", "n"); });
  auto layer = kzm::PiImage::Create();
  EXPECT_EQ(-1, kzm::LoadLayerRecord(*layer, *noBody->findChild("Plane0000"), kzm::LoadOptions()));
  EXPECT_EQ("", layer->impl()->Name());
  auto empty = nt::Parse(nt::WriteFile([](chunk::ChunkWriter& root) { root.beginChild("Plane0000").end(); }));
  EXPECT_EQ(-1, kzm::LoadLayerRecord(*layer, *empty->findChild("Plane0000"), kzm::LoadOptions()));
}

TEST(LayerRecord, InvalidStoredPixelsAreClamped) {
  auto tree = HandMadeImage([](chunk::ChunkWriter& rec) {
    rec.writeU32("SrcOpacity", 40000);
    const PixelRGBA def = Px(900, 10, 10, 500);
    rec.writeValue("DefPixel", 8, &def);
    chunk::ChunkWriter& body = rec.beginChild("Body");
    const PixelRGBA fill[2] = {Px(20000, 5, 5, 17000), Px(30, 40, 50, 35)};
    body.beginArray("Fill", 2, 8);
    body.writeElements(fill, 2);
    body.endArray();
    PixelRGBA bm[64];
    for (int k = 0; k < 64; ++k) bm[k] = Px(uint16_t(k * 300), 1, 65535, uint16_t(k * 400));
    body.beginArray("Bitmap", 1, 512);
    body.writeElement(bm);
    body.endArray();
    uint8_t elem[516] = {};
    for (int i = 0; i < 256; ++i) {
      const int16_t code = i == 0 ? 0 : i == 1 ? 1 : i == 2 ? -2 : -1;
      std::memcpy(elem + 4 + 2 * i, &code, 2);
    }
    body.beginArray("Tile", 1, 516);
    body.writeElement(elem);
    body.endArray();
    body.end();
  });
  auto layer = kzm::PiImage::Create();
  kzm::LoadOptions keep;
  keep.dropDefaultTiles = 0;
  ASSERT_EQ(0, kzm::LoadLayerRecord(*layer, *tree->findChild("Plane0000"), keep));
  kzm::PiImage& img = *layer->image();
  EXPECT_EQ(16384, img.Opacity());
  EXPECT_EQ(Px(500, 10, 10, 500), img.DefaultPixel());
  EXPECT_EQ(Px(16384, 5, 5, 16384), *img.PixelAt(0, 0));
  EXPECT_EQ(Px(30, 35, 35, 35), *img.PixelAt(8, 0));
  for (int k = 0; k < 64; ++k) {
    const uint16_t a = uint16_t(std::min(k * 400, 16384));
    const PixelRGBA expect = Px(uint16_t(std::min(k * 300, int(a))), uint16_t(std::min(1, int(a))), a, a);
    EXPECT_EQ(expect, *img.PixelAt(16 + k % 8, k / 8)) << k;
  }
  EXPECT_EQ(Px(500, 10, 10, 500), *img.PixelAt(24, 0));
}

// ---------------------------------------------------------------------------
// Folders.

std::shared_ptr<chunk::ChunkSA> FolderRecord(const std::function<void(chunk::ChunkWriter&)>& fill) {
  return nt::Parse(nt::WriteFile([&](chunk::ChunkWriter& root) {
    chunk::ChunkWriter& c = root.beginChild("Root");
    chunk::ChunkWriter& rec = c.beginChild("PiFolder");
    fill(rec);
    rec.end();
    c.end();
  }));
}

TEST(FolderRecord, FixedBoundRoundTripAndAbsence) {
  auto folder = kzm::PiFolder::Create();
  folder->folder()->SetFixedBounds(kzm::Rect{-5, -6, 1000, 300});
  auto tree = nt::Parse(nt::WriteFile([&](chunk::ChunkWriter& root) {
    chunk::ChunkWriter& c = root.beginChild("Root");
    EXPECT_EQ(0, kzm::SaveLayerRecord(*folder, c, true, ProgressFunc(), 0, 0));
    c.end();
  }));
  auto rec = tree->findChild("Root")->findChild("PiFolder");
  ASSERT_TRUE(rec);
  EXPECT_EQ((std::vector<std::string>{"version", "FixBound"}), rec->valueNames());
  auto back = kzm::PiFolder::Create();
  ASSERT_EQ(0, kzm::LoadLayerRecord(*back, *tree->findChild("Root"), kzm::LoadOptions()));
  ASSERT_TRUE(back->folder()->FixedBounds().has_value());
  EXPECT_EQ((kzm::Rect{-5, -6, 1000, 300}), *back->folder()->FixedBounds());

  // Without a fixed bound nothing but the version is written, and loading
  // clears a bound the folder had.
  auto plain = kzm::PiFolder::Create();
  tree = nt::Parse(nt::WriteFile([&](chunk::ChunkWriter& root) {
    chunk::ChunkWriter& c = root.beginChild("Root");
    kzm::SaveLayerRecord(*plain, c, false, ProgressFunc(), 0, 0);
    c.end();
  }));
  EXPECT_EQ(std::vector<std::string>{"version"}, tree->findChild("Root")->findChild("PiFolder")->valueNames());
  ASSERT_EQ(0, kzm::LoadLayerRecord(*back, *tree->findChild("Root"), kzm::LoadOptions()));
  EXPECT_FALSE(back->folder()->FixedBounds().has_value());
}

TEST(FolderRecord, EmptyOrMissingBounds) {
  auto folder = kzm::PiFolder::Create();
  folder->folder()->SetFixedBounds(kzm::Rect{0, 0, 5, 5});
  const int32_t zeroWidth[4] = {10, 10, 10, 20};
  auto tree = FolderRecord([&](chunk::ChunkWriter& w) { w.writeValue("FixBound", 16, zeroWidth); });
  ASSERT_EQ(0, kzm::LoadFolderRecord(*folder->folder(), *tree->findChild("Root")));
  EXPECT_FALSE(folder->folder()->FixedBounds().has_value());

  // Extreme values whose width overflows 32 bits are no bound either.
  const int32_t wrap[4] = {INT32_MAX, 0, INT32_MIN, 10};
  tree = FolderRecord([&](chunk::ChunkWriter& w) { w.writeValue("FixBound", 16, wrap); });
  folder->folder()->SetFixedBounds(kzm::Rect{0, 0, 5, 5});
  ASSERT_EQ(0, kzm::LoadFolderRecord(*folder->folder(), *tree->findChild("Root")));
  EXPECT_FALSE(folder->folder()->FixedBounds().has_value());

  auto none = nt::Parse(nt::WriteFile([](chunk::ChunkWriter& root) { root.beginChild("Root").end(); }));
  EXPECT_EQ(-1, kzm::LoadFolderRecord(*folder->folder(), *none->findChild("Root")));
}

}  // namespace
