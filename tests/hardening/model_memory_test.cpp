// Memory of a load follows what the document holds, not what the file
// lists: a layer whose tile table names tens of thousands of tiles that hold
// only the default pixel costs no more than the table itself.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "chunk/chunk_reader.h"
#include "chunk/chunk_writer.h"
#include "chunk/data_src.h"
#include "chunk/file_sink.h"
#include "kzm/doc_load.h"
#include "kzm/image_context.h"
#include "kzm/pi_image.h"
#include "kzm/plane.h"

#include "hardening_util.h"

namespace {

uint64_t PeakMiB() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return uint64_t(u.ru_maxrss) / 1024;
}

TEST(ModelMemory, DefaultTilesOfATableAreNotKept) {
#ifdef YVN_HARD_ASAN
  GTEST_SKIP() << "peak memory is not the program's own under AddressSanitizer";
#endif
  // 40000 tiles (a 25600 x 25600 area) of 256 default cells each: 20 MiB of
  // table, some 400 MiB of cells if they were all kept until the load ends.
  constexpr uint32_t kTiles = 40000;
  chunk::MemorySink mem;
  {
    chunk::ChunkSink sink(mem.func());
    chunk::ChunkWriter& root = sink.beginRoot("VorletBitmapImage");
    root.writeU32("version", 0x10000000);
    root.writeString("tooltype", "VORLET_PAINT");
    chunk::ChunkWriter& plane = root.beginChild("Plane0000");
    chunk::ChunkWriter& rec = plane.beginPackedChild("PiImage");
    rec.writeU32("version", 0x10000000);
    chunk::ChunkWriter& body = rec.beginChild("Body");
    body.beginArray("Fill", 0, 8);
    body.endArray();
    body.beginArray("Bitmap", 0, 512);
    body.endArray();
    body.beginArray("Tile", kTiles, 516);
    std::vector<uint8_t> elem(516, 0xFF);  // codes -1: the default pixel
    for (uint32_t t = 0; t < kTiles; ++t) {
      const uint32_t key = (t / 200) << 16 | (t % 200);
      for (int i = 0; i < 4; ++i) elem[size_t(i)] = uint8_t(key >> (8 * i));
      body.writeElement(elem.data());
    }
    body.endArray();
    body.end();
    rec.end();
    plane.end();
    ASSERT_TRUE(root.end());
  }
  const uint64_t before = PeakMiB();
  DataSrcMemory src(mem.bytes().data(), mem.bytes().size());
  chunk::ChunkSA tree(nullptr, src);
  ASSERT_TRUE(tree.ok());
  std::shared_ptr<kzm::ImageContext> doc;
  ASSERT_EQ(kzm::LoadDocument(0, 0, &tree, ProgressFunc(), doc), 0);
  kzm::Plane* layer = doc->Root()->impl()->ChildAt(0);
  ASSERT_NE(layer, nullptr);
  EXPECT_EQ(layer->image()->Tiles().size(), 0u);
  EXPECT_LT(PeakMiB() - before, 150u) << "file of " << mem.bytes().size() << " bytes";
}

}  // namespace
