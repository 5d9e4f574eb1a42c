#include "native/native_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "chunk/data_src.h"
#include "chunk/file_sink.h"
#include "kzm/cell.h"
#include "kzm/record_layer.h"
#include "kzm/tile.h"

namespace nt {

Bytes WriteFile(const std::function<void(chunk::ChunkWriter& root)>& fill, int* packedCount, bool* ok) {
  chunk::MemorySink mem;
  int packed = 0;
  chunk::ChunkSink sink([&](chunk::SinkOp op, uint64_t size, const void* data) {
    if (op == chunk::SinkOp::BeginPacked) ++packed;
    return mem.onSink(op, size, data);
  });
  chunk::ChunkWriter& root = sink.beginRoot("VorletBitmapImage");
  fill(root);
  const bool done = root.end();
  if (packedCount) *packedCount = packed;
  if (ok) *ok = done;
  return mem.bytes();
}

std::shared_ptr<chunk::ChunkSA> Parse(const Bytes& bytes) {
  DataSrcMemory src(bytes.data(), bytes.size());
  return std::make_shared<chunk::ChunkSA>(nullptr, src);
}

void PutU32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

void PutString(Bytes& b, const std::string& s) {
  PutU32(b, uint32_t(s.size()));
  b.insert(b.end(), s.begin(), s.end());
  const size_t total = (s.size() + 4) & ~size_t(3);
  b.insert(b.end(), total - s.size(), 0);
}

Bytes StringValueData(const std::string& s) {
  Bytes b;
  PutU32(b, uint32_t(s.size()));
  b.insert(b.end(), s.begin(), s.end());
  b.resize((s.size() + 8) & ~size_t(3), 0);
  return b;
}

bool Contains(const Bytes& hay, const Bytes& needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

PixelRGBA SeedPixel(uint32_t seed) {
  uint32_t x = seed * 2654435761u + 0x9E3779B9u;
  x ^= x >> 15;
  x *= 2246822519u;
  x ^= x >> 13;
  const uint16_t a = uint16_t(x % 16385);
  auto ch = [&](int shift) { return a ? uint16_t(((x >> shift) * 40503u) % (uint32_t(a) + 1)) : uint16_t(0); };
  return PixelRGBA{ch(3), ch(9), ch(17), a};
}

void AddTile(kzm::PiImage& img, int col, int row, const std::function<void(int i, kzm::Cell& c)>& cell) {
  kzm::TileRef t = kzm::TileRef::Adopt(kzm::Tile::Create(kzm::TileLocate::FromColRow(col, row), true));
  for (int i = 0; i < kzm::kTileCellCount; ++i) cell(i, t->MutableCells()[i]);
  img.InsertTile(t.release());
}

namespace {

std::set<uint32_t> TileKeys(const kzm::PiImage& img) {
  std::set<uint32_t> keys;
  for (const auto& e : img.Tiles())
    if (e.second->HasCells()) keys.insert(e.first.key);
  return keys;
}

// The pixel a layer holds at tile-space position (x, y).
PixelRGBA At(const kzm::PiImage& img, int32_t x, int32_t y) {
  const kzm::Tile* t = img.LookupTile(kzm::TileLocate::ForPixel(x, y));
  if (!t || !t->HasCells()) return img.DefaultPixel();
  const PixelRGBA* p = t->At((x & 127) >> 3, (y & 127) >> 3).PixelAt(x & 7, y & 7);
  return p ? *p : img.DefaultPixel();
}

}  // namespace

::testing::AssertionResult SamePixels(const kzm::PiImage& a, const kzm::PiImage& b) {
  if (a.DefaultPixel() != b.DefaultPixel()) return ::testing::AssertionFailure() << "default pixels differ";
  std::set<uint32_t> keys = TileKeys(a);
  const std::set<uint32_t> kb = TileKeys(b);
  keys.insert(kb.begin(), kb.end());
  for (uint32_t key : keys) {
    const kzm::TileLocate loc(key);
    for (int y = 0; y < 128; ++y)
      for (int x = 0; x < 128; ++x) {
        const PixelRGBA pa = At(a, loc.Left() + x, loc.Top() + y), pb = At(b, loc.Left() + x, loc.Top() + y);
        if (pa != pb)
          return ::testing::AssertionFailure()
                 << "pixel (" << loc.Left() + x << ", " << loc.Top() + y << "): " << pa.r << "," << pa.g << ","
                 << pa.b << "," << pa.a << " vs " << pb.r << "," << pb.g << "," << pb.b << "," << pb.a;
      }
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult SameProperties(const kzm::Plane::Impl& a, const kzm::Plane::Impl& b) {
  if (a.Name() != b.Name()) return ::testing::AssertionFailure() << "name " << a.Name() << " vs " << b.Name();
  if (a.Visible() != b.Visible()) return ::testing::AssertionFailure() << "visible";
  if (a.PlaneLock() != b.PlaneLock()) return ::testing::AssertionFailure() << "plane lock";
  if (a.AlphaLock() != b.AlphaLock()) return ::testing::AssertionFailure() << "alpha lock";
  if (a.Opacity() != b.Opacity()) return ::testing::AssertionFailure() << "opacity " << a.Opacity() << " vs " << b.Opacity();
  if (*a.Blend() != *b.Blend())
    return ::testing::AssertionFailure() << "blend " << std::hex << a.Blend()->word0 << "/" << a.Blend()->word1
                                         << " vs " << b.Blend()->word0 << "/" << b.Blend()->word1;
  return ::testing::AssertionSuccess();
}

std::shared_ptr<chunk::ChunkSA> SaveLayerTree(kzm::Plane& plane, bool compress) {
  Bytes bytes = WriteFile([&](chunk::ChunkWriter& root) {
    chunk::ChunkWriter& c = root.beginChild("Plane0000");
    EXPECT_EQ(0, kzm::SaveLayerRecord(plane, c, compress, ProgressFunc(), 0, 1));
    c.end();
  });
  return Parse(bytes);
}

int RoundTripLayer(kzm::Plane& plane, bool compress, std::unique_ptr<kzm::Plane>& out) {
  std::shared_ptr<chunk::ChunkSA> tree = SaveLayerTree(plane, compress);
  std::shared_ptr<const chunk::IChunkBase> c = tree->findChild("Plane0000");
  if (!c) return 99;
  out = kzm::PiImage::Create();
  return kzm::LoadLayerRecord(*out, *c, kzm::LoadOptions());
}

}  // namespace nt
