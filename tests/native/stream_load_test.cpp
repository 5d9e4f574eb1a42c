// Loading while reading (LoadDocumentFromSource) against the plain load of a
// parsed tree (LoadDocument): the same document, the same result code and the
// same progress calls, for ordinary files and for files arranged oddly.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "chunk/data_src.h"
#include "chunk/work_pool.h"
#include "kzm/cell.h"
#include "kzm/doc_load.h"
#include "kzm/image_context.h"
#include "kzm/pi_image.h"
#include "kzm/record_layer.h"
#include "native/native_test_util.h"

namespace {

using nt::Bytes;
using nt::Px;
using Calls = std::vector<std::vector<uint64_t>>;
using Fill = std::function<void(chunk::ChunkWriter&)>;

ProgressFunc Recorder(Calls& calls) {
  return [&calls](uint64_t a, uint64_t b, uint64_t c, uint64_t d) {
    calls.push_back({a, b, c, d});
    return true;
  };
}

void Header(chunk::ChunkWriter& root, const char* tool = "VORLET_PAINT") {
  root.writeU32("version", 0x10000000);
  root.writeString("tooltype", tool);
}

// A layer of a few tiles: noisy bitmaps, fills, default cells; pixels out of
// range where `wild` (alpha above 16384, colour above alpha).
std::unique_ptr<kzm::Plane> MakeLayer(uint32_t seed, bool wild = false) {
  std::mt19937 rng(seed);
  auto layer = kzm::PiImage::Create();
  layer->impl()->SetName("layer " + std::to_string(seed));
  layer->impl()->SetOpacity(uint16_t(1000 + seed));
  const int tiles = 1 + int(rng() % 4);
  for (int t = 0; t < tiles; ++t) {
    nt::AddTile(*layer->image(), t, int(seed % 3), [&](int i, kzm::Cell& c) {
      switch ((i + int(rng() % 5)) % 4) {
        case 0: {
          PixelRGBA px[64];
          for (PixelRGBA& p : px) p = nt::SeedPixel(rng());
          if (wild) px[i % 64] = Px(20000, 3, 30000, 17000);
          kzm::AssignPixels(c, px);
          break;
        }
        case 1:
          kzm::SetFill(c, nt::SeedPixel(rng() % 3));
          break;
        case 2:
          kzm::SetFill(c, Px(0, 0, 0, 0));
          break;
        default:
          kzm::SetSolidBitmap(c, nt::SeedPixel(7));  // uniform bitmap: compacted on load
          break;
      }
    });
  }
  return layer;
}

void Plane(chunk::ChunkWriter& root, const std::string& name, uint32_t seed, bool packed, bool wild = false) {
  std::unique_ptr<kzm::Plane> layer = MakeLayer(seed, wild);
  chunk::ChunkWriter& c = root.beginChild(name.c_str());
  kzm::SaveLayerRecord(*layer, c, packed, ProgressFunc(), 0, 1);
  c.end();
}

struct Loaded {
  int code = 0;
  std::shared_ptr<kzm::ImageContext> doc;
  Calls calls;
};

Loaded ByTree(const Bytes& file) {
  Loaded r;
  auto tree = nt::Parse(file);
  r.code = kzm::LoadDocument(0, 0, tree.get(), Recorder(r.calls), r.doc);
  return r;
}

Loaded Streamed(const Bytes& file) {
  Loaded r;
  DataSrcMemory src(file.data(), file.size());
  r.code = kzm::LoadDocumentFromSource(0, 0, src, nullptr, Recorder(r.calls), r.doc);
  return r;
}

void ExpectSame(const Loaded& a, const Loaded& b) {
  EXPECT_EQ(a.code, b.code);
  EXPECT_EQ(a.calls, b.calls);
  ASSERT_EQ(bool(a.doc), bool(b.doc));
  if (!a.doc) return;
  const size_t n = a.doc->ChildCount(a.doc->Root());
  ASSERT_EQ(n, b.doc->ChildCount(b.doc->Root()));
  for (size_t i = 0; i < n; ++i) {
    kzm::Plane* x = a.doc->ChildAt(a.doc->Root(), int(i));
    kzm::Plane* y = b.doc->ChildAt(b.doc->Root(), int(i));
    EXPECT_TRUE(nt::SameProperties(*x->impl(), *y->impl())) << "layer " << i;
    EXPECT_TRUE(nt::SamePixels(*x->image(), *y->image())) << "layer " << i;
    EXPECT_EQ(x->image()->TileCount(), y->image()->TileCount()) << "layer " << i;
  }
}

void ExpectSameLoad(const Fill& fill) {
  const Bytes file = nt::WriteFile(fill);
  ExpectSame(ByTree(file), Streamed(file));
}

// A "Body" written by hand: `bitmaps` arrays of the given counts (the first
// is the one that counts), one tile whose first `codes` cells are bitmaps.
void HandBody(chunk::ChunkWriter& plane, const std::vector<uint32_t>& bitmaps, int codes) {
  chunk::ChunkWriter& rec = plane.beginChild("PiImage");
  rec.writeU32("version", 0x10000000);
  chunk::ChunkWriter& body = rec.beginChild("Body");
  body.beginArray("Fill", 0, 8);
  body.endArray();
  uint32_t seed = 1;
  for (uint32_t count : bitmaps) {
    body.beginArray("Bitmap", count, 512);
    for (uint32_t k = 0; k < count; ++k) {
      PixelRGBA px[64];
      for (PixelRGBA& p : px) p = nt::SeedPixel(seed++);
      body.writeElement(px);
    }
    body.endArray();
  }
  body.beginArray("Tile", 1, 516);
  uint8_t elem[516] = {};
  for (int i = 0; i < 256; ++i) {
    const int16_t code = i < codes ? -2 : -1;
    elem[4 + 2 * i] = uint8_t(code);
    elem[5 + 2 * i] = uint8_t(uint16_t(code) >> 8);
  }
  body.writeElement(elem);
  body.endArray();
  body.end();
  rec.end();
}

class ThreadLimit {
 public:
  explicit ThreadLimit(unsigned n) { chunk::SetWorkThreadLimit(n); }
  ~ThreadLimit() { chunk::SetWorkThreadLimit(0); }
};

}  // namespace

TEST(StreamLoad, SameDocumentAsTheTreeLoad) {
  for (bool packed : {false, true}) {
    ExpectSameLoad([&](chunk::ChunkWriter& root) {
      Header(root);
      for (uint32_t i = 0; i < 6; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "Plane%04x", i);
        Plane(root, name, 10 + i, packed);
      }
    });
  }
}

TEST(StreamLoad, StoredPixelsOutOfRangeAreClampedAlike) {
  ExpectSameLoad([](chunk::ChunkWriter& root) {
    Header(root);
    Plane(root, "Plane0000", 3, true, true);
    Plane(root, "Plane0001", 4, false, true);
  });
}

TEST(StreamLoad, OddArrangementsLoadAlike) {
  const std::vector<std::pair<const char*, Fill>> cases = {
      {"repeated plane name: the first counts",
       [](chunk::ChunkWriter& r) {
         Header(r);
         Plane(r, "Plane0000", 1, true);
         Plane(r, "Plane0000", 2, true);
         Plane(r, "Plane0001", 3, false);
       }},
      {"planes out of order and a gap",
       [](chunk::ChunkWriter& r) {
         Header(r);
         Plane(r, "Plane0001", 1, true);
         Plane(r, "Plane0000", 2, false);
         Plane(r, "Plane0003", 3, true);
       }},
      {"names that only look like planes",
       [](chunk::ChunkWriter& r) {
         Header(r);
         Plane(r, "Plane0000", 1, true);
         Plane(r, "Plane00001", 2, true);
         Plane(r, "Plane000A", 3, true);
         Plane(r, "Plane0001", 4, true);
       }},
      {"an Edit child after the planes: the two-layer form",
       [](chunk::ChunkWriter& r) {
         Header(r);
         Plane(r, "Plane0000", 1, true);
         Plane(r, "Image", 2, true);
         Plane(r, "Edit", 3, false);
       }},
      {"memo tool with planes",
       [](chunk::ChunkWriter& r) {
         Header(r, "VORLET_MEMO");
         Plane(r, "Plane0000", 1, true);
         Plane(r, "Image", 2, true);
       }},
      {"old version",
       [](chunk::ChunkWriter& r) {
         r.writeU32("version", 5);
         r.writeString("tooltype", "VORLET_PAINT");
         Plane(r, "Plane0000", 1, true);
       }},
      {"a repeated Bitmap array: the first counts",
       [](chunk::ChunkWriter& r) {
         Header(r);
         chunk::ChunkWriter& p = r.beginChild("Plane0000");
         HandBody(p, {3, 5}, 3);
         p.end();
       }},
      {"more bitmap codes than bitmaps: the layer fails",
       [](chunk::ChunkWriter& r) {
         Header(r);
         chunk::ChunkWriter& p = r.beginChild("Plane0000");
         HandBody(p, {2}, 3);
         p.end();
         Plane(r, "Plane0001", 5, true);
       }},
      {"a compressed and a plain record of one name: the first counts",
       [](chunk::ChunkWriter& r) {
         Header(r);
         chunk::ChunkWriter& p = r.beginChild("Plane0000");
         kzm::SaveLayerRecord(*MakeLayer(1), p, true, ProgressFunc(), 0, 1);
         kzm::SaveLayerRecord(*MakeLayer(2), p, false, ProgressFunc(), 0, 1);
         p.end();
         chunk::ChunkWriter& q = r.beginChild("Plane0001");
         kzm::SaveLayerRecord(*MakeLayer(3), q, false, ProgressFunc(), 0, 1);
         kzm::SaveLayerRecord(*MakeLayer(4), q, true, ProgressFunc(), 0, 1);
         kzm::SaveLayerRecord(*MakeLayer(5), q, true, ProgressFunc(), 0, 1);
         q.end();
       }},
      {"two Body chunks",
       [](chunk::ChunkWriter& r) {
         Header(r);
         chunk::ChunkWriter& p = r.beginChild("Plane0000");
         chunk::ChunkWriter& rec = p.beginPackedChild("PiImage");
         rec.writeU32("version", 0x10000000);
         for (uint32_t count : {4u, 6u}) {
           chunk::ChunkWriter& body = rec.beginChild("Body");
           body.beginArray("Fill", 0, 8);
           body.endArray();
           body.beginArray("Bitmap", count, 512);
           for (uint32_t k = 0; k < count; ++k) {
             PixelRGBA px[64];
             for (PixelRGBA& q : px) q = nt::SeedPixel(k + count);
             body.writeElement(px);
           }
           body.endArray();
           body.beginArray("Tile", 1, 516);
           uint8_t elem[516] = {};
           for (int i = 0; i < 256; ++i) {
             const int16_t code = i < int(count) ? -2 : -1;
             elem[4 + 2 * i] = uint8_t(code);
             elem[5 + 2 * i] = uint8_t(uint16_t(code) >> 8);
           }
           body.writeElement(elem);
           body.endArray();
           body.end();
         }
         rec.end();
         p.end();
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    ExpectSameLoad(c.second);
  }
}

TEST(StreamLoad, DamagedFilesFailAlike) {
  const Bytes file = nt::WriteFile([](chunk::ChunkWriter& r) {
    Header(r);
    for (uint32_t i = 0; i < 4; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "Plane%04x", i);
      Plane(r, name, 20 + i, i % 2 == 0);
    }
  });
  for (size_t cut : {file.size() / 3, file.size() / 2, file.size() - 9}) {
    SCOPED_TRACE(cut);
    const Bytes head(file.begin(), file.begin() + long(cut));
    const Loaded streamed = Streamed(head);
    ExpectSame(ByTree(head), streamed);
    EXPECT_NE(streamed.code, 0);
  }
  Bytes flipped = file;
  flipped[flipped.size() / 2] ^= 0x5A;
  ExpectSame(ByTree(flipped), Streamed(flipped));
}

// Compressed layer records are inflated apart from the file's parse; damage in
// one whose layer is never used (a repeated name) still fails the load.
TEST(StreamLoad, DamageInAnUnusedCompressedRecordFailsAlike) {
  auto fill = [](int planes) {
    return [planes](chunk::ChunkWriter& r) {
      Header(r);
      for (int i = 0; i < planes; ++i) Plane(r, "Plane0000", uint32_t(30 + i), true);
    };
  };
  const Bytes one = nt::WriteFile(fill(1));
  Bytes two = nt::WriteFile(fill(2));
  ASSERT_EQ(Streamed(two).code, 0);
  // The middle of the second plane: inside its compressed blocks.
  two[one.size() - 8 + (two.size() - one.size()) / 2] ^= 0x5A;
  const Loaded streamed = Streamed(two);
  ExpectSame(ByTree(two), streamed);
  EXPECT_NE(streamed.code, 0);
}

TEST(StreamLoad, SameDocumentWhateverTheThreadCount) {
  const Bytes file = nt::WriteFile([](chunk::ChunkWriter& r) {
    Header(r);
    for (uint32_t i = 0; i < 8; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "Plane%04x", i);
      Plane(r, name, 40 + i, true);
    }
  });
  Loaded one, three;
  {
    ThreadLimit limit(1);
    one = Streamed(file);
  }
  {
    ThreadLimit limit(3);
    three = Streamed(file);
  }
  ExpectSame(one, three);
  ExpectSame(one, ByTree(file));
}
