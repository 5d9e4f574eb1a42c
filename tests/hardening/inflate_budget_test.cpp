// The bytes one parse may inflate follow the file size: what zlib level 1
// (the level every writer of the format uses) produces always fits, a zlib
// bomb is refused after a bounded amount of work and memory.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "chunk/chunk_reader.h"
#include "chunk/chunk_writer.h"
#include "chunk/data_src.h"
#include "chunk/file_sink.h"
#include "kzm/doc_load.h"
#include "kzm/image_context.h"

namespace {

using Bytes = std::vector<uint8_t>;

void U32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
void Str(Bytes& b, const std::string& s) {
  U32(b, uint32_t(s.size()));
  b.insert(b.end(), s.begin(), s.end());
  b.resize(b.size() + ((s.size() + 4) & ~size_t(3)) - s.size(), 0);
}

// The decompressed body of a chunk "bomb" holding `values` values of 1 MiB
// of zeros each (named v0, v1, ...), without the leading chunk marker.
Bytes BombBody(int values) {
  Bytes b;
  Str(b, "bomb");
  for (int i = 0; i < values; ++i) {
    Str(b, "v" + std::to_string(i));
    U32(b, 0x100000);
    b.resize(b.size() + 0x100000, 0);
  }
  U32(b, 0);
  U32(b, 0xFAEACDA0u);
  U32(b, 0);
  return b;
}

// A plain root "VorletBitmapImage" with a version and one compressed child
// whose zlib stream (at `level`) is cut into 512 KiB blocks.
Bytes FileWith(const Bytes& body, int level) {
  uLongf n = compressBound(uLong(body.size()));
  Bytes z(n);
  EXPECT_EQ(compress2(z.data(), &n, body.data(), uLong(body.size()), level), Z_OK);
  z.resize(n);
  Bytes f;
  U32(f, 0xFAEACDA0u);
  Str(f, "VorletBitmapImage");
  Str(f, "version");
  U32(f, 4);
  U32(f, 0x10000000);
  U32(f, 0);
  U32(f, 0xFDEACDA0u);
  for (size_t at = 0; at < z.size(); at += 0x80000) {
    const size_t take = std::min<size_t>(0x80000, z.size() - at);
    U32(f, 0xFDEACDA1u);
    U32(f, uint32_t(take));
    f.insert(f.end(), z.begin() + long(at), z.begin() + long(at + take));
    f.resize((f.size() + 3) & ~size_t(3), 0);
  }
  U32(f, 0xFDEACDA1u);
  U32(f, 0);
  U32(f, 0xFAEACDA0u);
  U32(f, 0);
  return f;
}

TEST(InflateBudget, FollowsTheFileSize) {
  chunk::ReadLimits lim;
  EXPECT_EQ(lim.InflateBudget(0), chunk::ReadLimits::kDefaultInflateFloor);
  EXPECT_EQ(lim.InflateBudget(1000), chunk::ReadLimits::kDefaultInflateFloor);
  EXPECT_EQ(lim.InflateBudget(uint64_t(1) << 20), uint64_t(256) << 20);
  EXPECT_EQ(lim.InflateBudget(UINT64_MAX / 2), UINT64_MAX);
  lim.maxInflatedBytes = 1000;
  EXPECT_EQ(lim.InflateBudget(uint64_t(1) << 30), 1000u);
}

TEST(InflateBudget, LevelOneOutputOfAnyShapeFits) {
  // Zeros are deflate's best case; level 1 turns 40 MiB of them into about
  // 180 KiB, well inside 256 times that.
  const Bytes body = BombBody(40);
  const Bytes f = FileWith(body, 1);
  DataSrcMemory src(f.data(), f.size());
  chunk::ChunkSA root(nullptr, src);
  ASSERT_TRUE(root.ok()) << f.size() << " bytes inflating to " << body.size();
  EXPECT_EQ(root.inflatedBytes(), body.size());
  ASSERT_NE(root.findChild("bomb"), nullptr);
  EXPECT_EQ(root.findChild("bomb")->valueNames().size(), 40u);

  // Also through the writer's own sink.
  chunk::MemorySink mem;
  {
    chunk::ChunkSink sink(mem.func());
    chunk::ChunkWriter& w = sink.beginRoot("VorletBitmapImage");
    chunk::ChunkWriter& p = w.beginPackedChild("bomb");
    const Bytes zeros(0x100000, 0);
    for (int i = 0; i < 40; ++i) p.writeValue(("v" + std::to_string(i)).c_str(), zeros.size(), zeros.data());
    p.end();
    ASSERT_TRUE(w.end());
  }
  DataSrcMemory src2(mem.bytes().data(), mem.bytes().size());
  chunk::ChunkSA root2(nullptr, src2);
  EXPECT_TRUE(root2.ok()) << mem.bytes().size() << " bytes";
}

TEST(InflateBudget, BombIsRefusedAtTheBudget) {
  // Level 9 reaches about 1030:1: 40 MiB from some 40 KiB, while the budget
  // of so small a file is the 16 MiB floor.
  const Bytes f = FileWith(BombBody(40), 9);
  ASSERT_LT(f.size(), size_t(48000));
  DataSrcMemory src(f.data(), f.size());
  chunk::ChunkSA root(nullptr, src);
  EXPECT_FALSE(root.ok());
  EXPECT_TRUE(root.childNames().empty());
  const uint64_t budget = chunk::ReadLimits().InflateBudget(f.size());
  EXPECT_GT(root.inflatedBytes(), budget - 0x200000);
  EXPECT_LE(root.inflatedBytes(), budget + 1);

  // The document load sees an empty root: "Illigal data format".
  std::shared_ptr<kzm::ImageContext> doc;
  EXPECT_EQ(kzm::LoadDocument(0, 0, &root, ProgressFunc(), doc), 1);
  EXPECT_EQ(doc, nullptr);

  // A caller that lifts the floor reads it.
  chunk::ReadLimits lim;
  lim.inflateFloor = uint64_t(1) << 30;
  chunk::ChunkSA all(nullptr, src, lim);
  EXPECT_TRUE(all.ok());
}

TEST(InflateBudget, DeclaredValueBeyondTheBudgetFailsBeforeInflating) {
  // One value declared at 200 MiB in a file of a few hundred KiB: refused at
  // its size word, long before 200 MiB could be inflated.
  Bytes body;
  Str(body, "big");
  Str(body, "v");
  U32(body, 200u << 20);
  body.resize(body.size() + (4u << 20), 0);
  const Bytes f = FileWith(body, 9);
  DataSrcMemory src(f.data(), f.size());
  chunk::ChunkSA root(nullptr, src);
  EXPECT_FALSE(root.ok());
  EXPECT_LT(root.inflatedBytes(), uint64_t(1) << 20);
}

}  // namespace
