// Memory of a load follows what the document holds, not what the file
// lists: a layer whose tile table names tens of thousands of tiles that hold
// only the default pixel costs no more than the table itself. And small
// files that declare large documents convert within a bounded time and
// memory, or are refused before they take them.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "chunk/chunk_reader.h"
#include "chunk/chunk_writer.h"
#include "chunk/data_src.h"
#include "chunk/file_sink.h"

#include <cstdio>
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

// A native file of `layers` equal layers of tiles on a grid (`step` tiles
// apart), each tile one fill code: 0 and 1 alternate from tile to tile, or,
// with `mixedCells`, from cell to cell. `canvas` is the fixed canvas (none
// when empty).
struct Declared {
  int32_t canvas[4];
  int layers;
  int tiles;  // per side
  int step;
  bool mixedCells;
};

void WriteDeclared(const std::string& path, const Declared& d) {
  chunk::FileSink file;
  ASSERT_TRUE(file.open(path.c_str()));
  chunk::ChunkSink sink(file.func());
  chunk::ChunkWriter& root = sink.beginRoot("VorletBitmapImage");
  root.writeU32("version", 0x10000000);
  root.writeString("tooltype", "VORLET_PAINT");
  if (d.canvas[2] > d.canvas[0]) {
    chunk::ChunkWriter& r = root.beginChild("Root");
    chunk::ChunkWriter& f = r.beginChild("PiFolder");
    f.writeU32("version", 0x10000000);
    f.writeValue("FixBound", sizeof d.canvas, d.canvas);
    f.end();
    r.end();
  }
  std::vector<uint8_t> elem(516);
  for (int layer = 0; layer < d.layers; ++layer) {
    char name[16];
    std::snprintf(name, sizeof name, "Plane%04x", layer);
    chunk::ChunkWriter& plane = root.beginChild(name);
    chunk::ChunkWriter& rec = plane.beginPackedChild("PiImage");
    rec.writeU32("version", 0x10000000);
    chunk::ChunkWriter& body = rec.beginChild("Body");
    const uint16_t palette[2][4] = {{0, 0, 16384, 16384}, {16384, 0, 0, 16384}};
    body.beginArray("Fill", 2, 8);
    body.writeElements(palette, 2);
    body.endArray();
    body.beginArray("Bitmap", 0, 512);
    body.endArray();
    body.beginArray("Tile", uint32_t(d.tiles * d.tiles), 516);
    for (int y = 0; y < d.tiles; ++y)
      for (int x = 0; x < d.tiles; ++x) {
        const uint32_t key = uint32_t(y * d.step) << 16 | uint32_t(x * d.step);
        for (int i = 0; i < 4; ++i) elem[size_t(i)] = uint8_t(key >> (8 * i));
        for (int i = 0; i < 256; ++i) elem[size_t(4 + 2 * i)] = uint8_t(d.mixedCells ? (i + i / 16) & 1 : (x + y) & 1);
        body.writeElement(elem.data());
      }
    body.endArray();
    body.end();
    rec.end();
    plane.end();
  }
  ASSERT_TRUE(root.end());
  ASSERT_TRUE(file.close());
}

TEST(DeclaredSize, SmallFilesConvertWithinBoundsOrAreRefusedAtOnce) {
  struct Case {
    const char* name;
    Declared d;
    const char* error;  // null: converted
  };
  constexpr int32_t kSide = 234 * 128;  // the largest PSD canvas of whole tiles
  const Case cases[] = {
      // Flat layers: fills of one colour per tile share their cells.
      {"flat", {{0, 0, 8192, 8192}, 4, 64, 1, false}, nullptr},
      // 54,756 tiles of cells in two colours: gigabytes of cells.
      {"mixed", {{0, 0, kSide, kSide}, 1, 234, 1, true}, "\nerror(107):Too large\n"},
      // 64 layers of two tiles in opposite corners: tens of billions of pixels to write.
      {"sparse", {{0, 0, kSide, kSide}, 64, 2, 233, false}, "\nerror(107):Too large\n"},
      // Canvases a PSD cannot hold, and that nothing here converts.
      {"wide", {{0, 0, 40000, 1000}, 1, 1, 1, false}, "\nerror(108):Too large for PSD\n"},
      {"huge", {{0, 0, 310000, 1000}, 1, 1, 1, false}, "\nerror(107):Too large\n"},
      // No fixed canvas: the layers' tiles span 32,768 pixels.
      {"unfixed", {{0, 0, 0, 0}, 1, 2, 255, false}, "\nerror(108):Too large for PSD\n"},
  };
  const std::string dir = hard::MakeTempDir();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string src = dir + "/" + c.name + ".yvn";
    WriteDeclared(src, c.d);
    ASSERT_LT(hard::ReadFile(src).size(), size_t(1) << 20);
    const hard::Run r = hard::RunProgram(dir, {"-q", "-W", src, dir + "/out.psd"}, 0, 60);
    ASSERT_TRUE(r.finished) << r.out;
    EXPECT_EQ(r.exitValue, 0);
    if (c.error) {
      EXPECT_EQ(r.out, c.error);
      EXPECT_LT(r.seconds, 5.0);
    } else {
      EXPECT_EQ(r.out, "");
      EXPECT_TRUE(hard::ReadsBack(dir + "/out.psd"));
    }
#ifndef YVN_HARD_ASAN
    EXPECT_LT(r.seconds, 30.0);
    // Shared cells: the flat layers take a few MiB, where 256 cells a tile took 170.
    EXPECT_LT(r.peakKiB, c.error ? (uint64_t(1) << 20) : uint64_t(120) << 10);
#endif
    std::remove((dir + "/out.psd").c_str());
  }
  hard::RemoveTree(dir);
}

}  // namespace
