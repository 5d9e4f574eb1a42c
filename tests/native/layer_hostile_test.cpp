// Hostile "Body" tables: every inconsistency fails the layer with 1, leaves
// it as it was, and never reads past the tables (checked under the
// sanitizer build); the document goes on with the other layers.
#include <gtest/gtest.h>

#include <cstring>

#include "kzm/doc_load.h"
#include "kzm/image_context.h"
#include "kzm/record_layer.h"
#include "native/native_test_util.h"

namespace {

using nt::Bytes;
using nt::Px;

struct Table {
  uint32_t count;
  uint32_t elemSize;
  Bytes data;  // count * elemSize bytes
};

Table Fill(uint32_t n) {
  Table t{n, 8, Bytes(size_t(n) * 8)};
  for (uint32_t i = 0; i < n; ++i) {
    const PixelRGBA p = Px(uint16_t(i & 0x3FFF), 0, 0, 16384);
    std::memcpy(t.data.data() + size_t(i) * 8, &p, 8);
  }
  return t;
}

Table Bitmaps(uint32_t n) { return Table{n, 512, Bytes(size_t(n) * 512, 0x11)}; }

// Tile elements with the given codes in their first cells, -1 after.
Table Tiles(const std::vector<std::vector<int32_t>>& codes, bool wide) {
  const uint32_t size = wide ? 1028 : 516;
  Table t{uint32_t(codes.size()), size, {}};
  uint32_t col = 0;
  for (const auto& tile : codes) {
    Bytes e(size, 0xFF);
    const uint32_t key = col++;
    std::memcpy(e.data(), &key, 4);
    for (size_t i = 0; i < tile.size(); ++i) {
      if (wide) {
        std::memcpy(e.data() + 4 + 4 * i, &tile[i], 4);
      } else {
        const int16_t c = int16_t(tile[i]);
        std::memcpy(e.data() + 4 + 2 * i, &c, 2);
      }
    }
    t.data.insert(t.data.end(), e.begin(), e.end());
  }
  return t;
}

void WriteTable(chunk::ChunkWriter& w, const char* name, const Table& t) {
  w.beginArray(name, t.count, t.elemSize);
  if (t.count) w.writeElements(t.data.data(), t.count);
  w.endArray();
}

void WriteImageRecord(chunk::ChunkWriter& container, const char* name, const Table* fill, const Table* bitmap,
                      const Table* tiles) {
  chunk::ChunkWriter& rec = container.beginChild("PiImage");
  rec.writeString("tagName", name);
  chunk::ChunkWriter& body = rec.beginChild("Body");
  if (fill) WriteTable(body, "Fill", *fill);
  if (bitmap) WriteTable(body, "Bitmap", *bitmap);
  if (tiles) WriteTable(body, "Tile", *tiles);
  body.end();
  rec.end();
}

int Load(const Table* fill, const Table* bitmap, const Table* tiles, kzm::Plane& layer) {
  auto tree = nt::Parse(nt::WriteFile([&](chunk::ChunkWriter& root) {
    chunk::ChunkWriter& c = root.beginChild("Plane0000");
    WriteImageRecord(c, "hostile", fill, bitmap, tiles);
    c.end();
  }));
  return kzm::LoadLayerRecord(layer, *tree->findChild("Plane0000"), kzm::LoadOptions());
}

struct Case {
  const char* what;
  Table fill, bitmap, tiles;
};

TEST(HostileBody, InconsistentTablesFailTheLayerWithOne) {
  const std::vector<Case> cases = {
      {"palette index equal to P", Fill(2), Bitmaps(0), Tiles({{0, 1, 2}}, false)},
      {"largest 16-bit code with a small palette", Fill(3), Bitmaps(0), Tiles({{32767}}, false)},
      {"index past P in a 32-bit table", Fill(32768), Bitmaps(0), Tiles({{32767, 32768}}, true)},
      {"huge 32-bit index", Fill(32768), Bitmaps(0), Tiles({{0x7FFFFFFF}}, true)},
      {"more -2 codes than bitmaps, across tiles", Fill(0), Bitmaps(1), Tiles({{-2}, {-1, -2}}, false)},
      {"-2 without any bitmap", Fill(0), Bitmaps(0), Tiles({{-1, -1, -2}}, false)},
      {"code -3", Fill(1), Bitmaps(0), Tiles({{0, -3}}, false)},
      {"code -32768", Fill(1), Bitmaps(0), Tiles({{-32768}}, false)},
      {"32-bit INT32_MIN", Fill(32768), Bitmaps(0), Tiles({{INT32_MIN}}, true)},
      {"Fill length not 8 per entry", Table{2, 4, Bytes(8, 0)}, Bitmaps(0), Tiles({{-1}}, false)},
      {"Bitmap length not 512 per entry", Fill(1), Table{2, 256, Bytes(512, 0)}, Tiles({{-2}}, false)},
      {"32-bit tiles with a small palette", Fill(5), Bitmaps(0), Tiles({{0}}, true)},
      {"16-bit tiles with a large palette", Fill(32768), Bitmaps(0), Tiles({{0}}, false)},
      {"Tile elements of another size", Fill(1), Bitmaps(0), Table{2, 258, Bytes(516, 0xFF)}},
  };
  for (const Case& c : cases) {
    auto layer = kzm::PiImage::Create();
    EXPECT_EQ(1, Load(&c.fill, &c.bitmap, &c.tiles, *layer)) << c.what;
    EXPECT_EQ("", layer->impl()->Name()) << c.what;
    EXPECT_EQ(0u, layer->image()->TileCount()) << c.what;
  }
}

TEST(HostileBody, MissingTablesFailTheLayer) {
  const Table fill = Fill(1), bitmap = Bitmaps(0), tiles = Tiles({{0}}, false);
  for (int missing = 0; missing < 3; ++missing) {
    auto layer = kzm::PiImage::Create();
    EXPECT_EQ(1, Load(missing == 0 ? nullptr : &fill, missing == 1 ? nullptr : &bitmap,
                      missing == 2 ? nullptr : &tiles, *layer))
        << missing;
    EXPECT_EQ(0u, layer->image()->TileCount());
  }
}

TEST(HostileBody, ValidEdgeValuesLoad) {
  // The last palette index, exactly B bitmaps used, and fewer -2 codes than
  // bitmaps are all fine.
  const Table fill = Fill(3), bitmap = Bitmaps(3), tiles = Tiles({{2, -2}, {-2, 0, 1}}, false);
  auto layer = kzm::PiImage::Create();
  kzm::LoadOptions keep;
  keep.dropDefaultTiles = 0;
  auto tree = nt::Parse(nt::WriteFile([&](chunk::ChunkWriter& root) {
    chunk::ChunkWriter& c = root.beginChild("Plane0000");
    WriteImageRecord(c, "ok", &fill, &bitmap, &tiles);
    c.end();
  }));
  ASSERT_EQ(0, kzm::LoadLayerRecord(*layer, *tree->findChild("Plane0000"), keep));
  EXPECT_EQ(2u, layer->image()->TileCount());
  EXPECT_EQ(Px(2, 0, 0, 16384), *layer->image()->PixelAt(0, 0));
  // 0x1111 everywhere, clamped to the alpha 0x1111.
  EXPECT_EQ(Px(0x1111, 0x1111, 0x1111, 0x1111), *layer->image()->PixelAt(128, 0));
}

TEST(HostileBody, DocumentKeepsLoadingTheOtherLayers) {
  const Table goodFill = Fill(1), bitmap = Bitmaps(0), goodTiles = Tiles({{0, 0, 0}}, false);
  const Table badTiles = Tiles({{0, 5}}, false);
  auto tree = nt::Parse(nt::WriteFile([&](chunk::ChunkWriter& root) {
    root.writeU32("version", 0x10000000);
    root.writeString("tooltype", "VORLET_PAINT");
    const char* names[] = {"Plane0000", "Plane0001", "Plane0002"};
    for (int i = 0; i < 3; ++i) {
      chunk::ChunkWriter& c = root.beginChild(names[i]);
      WriteImageRecord(c, names[i], &goodFill, &bitmap, i == 1 ? &badTiles : &goodTiles);
      c.end();
    }
  }));
  std::shared_ptr<kzm::ImageContext> doc;
  ASSERT_EQ(0, kzm::LoadDocument(0, 0, tree.get(), ProgressFunc(), doc));
  ASSERT_TRUE(doc);
  kzm::Plane* root = doc->Root();
  ASSERT_EQ(3u, doc->ChildCount(root));
  EXPECT_EQ("Plane0000", doc->ChildAt(root, 0)->impl()->Name());
  EXPECT_EQ("", doc->ChildAt(root, 1)->impl()->Name());
  EXPECT_EQ(0u, doc->ChildAt(root, 1)->impl()->TileCount());
  EXPECT_EQ("Plane0002", doc->ChildAt(root, 2)->impl()->Name());
  EXPECT_EQ(Px(0, 0, 0, 16384), *doc->ChildAt(root, 2)->impl()->PixelAt(16, 0));
}

}  // namespace
