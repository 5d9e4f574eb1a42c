// PSD import: layers land at their document positions in tiles, with their
// properties, and the document keeps the PSD's canvas.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>

#include "chunk/data_src.h"
#include "convert/import_psd.h"
#include "convert/jobs.h"
#include "iio/iio_test_util.h"
#include "iio/psd.h"
#include "kzm/model.h"
#include "kzm/runtime.h"

namespace {

using iiotest::Bytes;

class Runtime : public ::testing::Environment {
 public:
  void SetUp() override {
    kzm::RuntimeStartup();
    kzm::RuntimeStartupPools();
  }
  void TearDown() override { kzm::RuntimeShutdown(); }
};
const auto* const kRuntime = ::testing::AddGlobalTestEnvironment(new Runtime);

std::vector<uint32_t> RandomPixels(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint32_t> px(n);
  for (auto& p : px) {
    const uint32_t kind = rng() % 4;
    if (kind == 0) p = rng() & 0x00FFFFFF;  // transparent with colour bytes
    else if (kind == 1) p = 0xFF336699;     // runs of one colour
    else p = rng();
  }
  return px;
}

struct Imported {
  int32_t code = -1;
  std::shared_ptr<kzm::ImageContext> doc;
};

Imported Import(const Bytes& psd) {
  DataSrcMemory src(psd.data(), psd.size());
  iio::Psd reader(src);
  Imported r;
  r.code = ImportPsd(0, 0, reader, ProgressFunc(), r.doc);
  return r;
}

// Every pixel of the layer inside `area` equals the widened source pixel, or
// the zero pixel outside the source rectangle.
void ExpectLayerPixels(const kzm::Plane* layer, const iiotest::LayerSpec& spec, const std::vector<uint32_t>& px,
                       const kzm::Rect& area) {
  const int32_t w = spec.right - spec.left;
  for (int32_t y = area.top; y < area.bottom; ++y) {
    for (int32_t x = area.left; x < area.right; ++x) {
      PixelRGBA want{};
      if (x >= spec.left && x < spec.right && y >= spec.top && y < spec.bottom)
        want = PixelFrom8(px[size_t(y - spec.top) * w + (x - spec.left)]);
      const PixelRGBA got = *layer->impl()->PixelAt(x, y);
      ASSERT_EQ(got, want) << "at " << x << "," << y;
    }
  }
}

TEST(ImportPsd, LayersLandAtTheirDocumentPositions) {
  iiotest::PsdSpec spec;
  spec.width = 300, spec.height = 200;
  // Off the tile grid, partly left of and above the canvas, and past its edge.
  const std::vector<std::array<int32_t, 4>> rects = {
      {200, 50, 333, 181}, {-5, -13, 141, 130}, {0, 0, 300, 200}, {7, 129, 8, 130}};
  std::vector<std::vector<uint32_t>> pixels;
  for (size_t i = 0; i < rects.size(); ++i) {
    const auto& r = rects[i];
    pixels.push_back(RandomPixels(size_t(r[2] - r[0]) * (r[3] - r[1]), uint32_t(i + 1)));
    spec.layers.push_back(iiotest::RgbaLayer(r[0], r[1], r[2], r[3], pixels.back(), "L" + std::to_string(i)));
  }
  spec.negativeCount = true;
  const Imported r = Import(iiotest::BuildPsd(spec));
  ASSERT_EQ(r.code, 0);
  ASSERT_TRUE(r.doc);
  kzm::Plane* root = r.doc->Root();
  EXPECT_EQ(root->impl()->Bounds(), (kzm::Rect{0, 0, 300, 200}));
  ASSERT_EQ(r.doc->ChildCount(root), rects.size() + 1);
  for (size_t i = 0; i < rects.size(); ++i) {
    const kzm::Plane* layer = r.doc->ChildAt(root, int(i));
    EXPECT_EQ(layer->impl()->Name(), "L" + std::to_string(i));
    EXPECT_EQ(layer->impl()->Offset(), (kzm::Point{0, 0}));
    const auto& s = spec.layers[i];
    ExpectLayerPixels(layer, s, pixels[i], kzm::Rect{s.left - 9, s.top - 9, s.right + 9, s.bottom + 9});
    // Bounds cover the layer's pixels in whole tiles.
    const kzm::Rect b = layer->impl()->Bounds();
    EXPECT_EQ(b.left % 128, 0);
    EXPECT_EQ(b.top % 128, 0);
  }
  const kzm::Plane* merged = r.doc->ChildAt(root, int(rects.size()));
  EXPECT_EQ(merged->impl()->Name(), "ImgIOPsd_MergedImage");
  EXPECT_EQ(merged->impl()->Visible(), 0);
}

TEST(ImportPsd, UniformAndTransparentAreasCostNoBitmaps) {
  iiotest::PsdSpec spec;
  spec.width = 256, spec.height = 256;
  std::vector<uint32_t> px(256 * 256, 0u);
  for (int y = 128; y < 256; ++y)
    for (int x = 0; x < 256; ++x) px[size_t(y) * 256 + x] = 0xFF0000FF;  // opaque red lower half
  px[size_t(200) * 256 + 3] = 0xFF00FF00;                                  // one green pixel
  spec.layers.push_back(iiotest::RgbaLayer(0, 0, 256, 256, px, "half"));
  const Imported r = Import(iiotest::BuildPsd(spec));
  ASSERT_EQ(r.code, 0);
  const kzm::PiImage* img = r.doc->ChildAt(r.doc->Root(), 0)->image();
  // The transparent upper tiles are not stored at all.
  EXPECT_EQ(img->TileCount(), 2u);
  size_t bitmaps = 0;
  for (const auto& [loc, tile] : img->Tiles())
    for (int i = 0; i < kzm::kTileCellCount; ++i) bitmaps += tile->Cells()[i].Kind() == kzm::Cell::kRGBABitmap;
  EXPECT_EQ(bitmaps, 1u);
}

TEST(ImportPsd, PropertiesAndLocks) {
  iiotest::PsdSpec spec;
  spec.width = 16, spec.height = 16;
  std::vector<uint32_t> px(16 * 16, 0xFF808080);
  auto layer = iiotest::RgbaLayer(0, 0, 16, 16, px, "locked");
  layer.flags = 8 | 2;  // hidden
  layer.key = "mul ";
  layer.opacity = 128;
  Bytes lspf;
  iiotest::Put32(lspf, 0x80000000u);  // lock all
  layer.blocks.push_back({"lspf", lspf});
  spec.layers.push_back(layer);
  const Imported r = Import(iiotest::BuildPsd(spec));
  ASSERT_EQ(r.code, 0);
  const kzm::Plane::Impl* p = r.doc->ChildAt(r.doc->Root(), 0)->impl();
  EXPECT_EQ(p->Visible(), 0);
  EXPECT_EQ(p->PlaneLock(), 1);
  EXPECT_EQ(p->AlphaLock(), 1);
  EXPECT_EQ(p->Blend()->ColorMode(), 3);
  EXPECT_EQ(p->Opacity(), 8225);
}

TEST(ImportPsd, FileWithoutLayersGivesOneVisibleMergedLayer) {
  iiotest::PsdSpec spec;
  spec.width = 3, spec.height = 2;
  spec.merged = Bytes(3 * 2 * 3, 200);
  const Imported r = Import(iiotest::BuildPsd(spec));
  ASSERT_EQ(r.code, 0);
  ASSERT_EQ(r.doc->ChildCount(r.doc->Root()), 1u);
  const kzm::Plane* only = r.doc->ChildAt(r.doc->Root(), 0);
  EXPECT_EQ(only->impl()->Visible(), 1);
  EXPECT_EQ(only->impl()->Name(), "ImgIOPsd_MergedImage");
  EXPECT_EQ(*only->impl()->PixelAt(2, 1), PixelFrom8(0xFFC8C8C8));
  EXPECT_EQ(r.doc->Root()->impl()->Bounds(), (kzm::Rect{0, 0, 3, 2}));
}

// A file whose top layer holds the merged image already (its name, and
// hidden or the only layer) does not get the merged image again: that layer
// stays as it was. Any other top layer does.
TEST(ImportPsd, MergedImageIsNotAddedOverALayerHoldingIt) {
  struct Case {
    std::vector<std::pair<std::string, bool>> layers;  // name, visible; bottom first
    size_t want;                                       // layers of the document
  };
  const Case cases[] = {
      {{{"a", true}, {"ImgIOPsd_MergedImage", false}}, 2},
      {{{"ImgIOPsd_MergedImage", true}}, 1},
      {{{"ImgIOPsd_MergedImage", false}}, 1},
      {{{"a", true}, {"ImgIOPsd_MergedImage", true}}, 3},
      {{{"ImgIOPsd_MergedImage", false}, {"a", true}}, 3},
      {{{"a", true}, {"ImgIOPsd_MergedImage ", false}}, 3},
  };
  for (const Case& c : cases) {
    iiotest::PsdSpec spec;
    spec.width = 4, spec.height = 2, spec.channels = 4, spec.negativeCount = true;
    spec.merged = Bytes(4 * 4 * 2, 0x40);  // differs from every layer
    for (size_t i = 0; i < c.layers.size(); ++i) {
      auto l = iiotest::RgbaLayer(0, 0, 4, 2, std::vector<uint32_t>(8, 0xFF102030u + uint32_t(i)), c.layers[i].first);
      l.flags = c.layers[i].second ? 8 : 8 | 2;
      spec.layers.push_back(l);
    }
    const Imported r = Import(iiotest::BuildPsd(spec));
    ASSERT_EQ(r.code, 0);
    const kzm::Plane* root = r.doc->Root();
    ASSERT_EQ(r.doc->ChildCount(root), c.want) << c.layers.back().first << " over " << c.layers.size() - 1;
    for (size_t i = 0; i < c.layers.size(); ++i) {
      const kzm::Plane::Impl* p = r.doc->ChildAt(root, int(i))->impl();
      EXPECT_EQ(p->Name(), c.layers[i].first);
      EXPECT_EQ(p->Visible(), c.layers[i].second ? 1 : 0);
      EXPECT_EQ(*p->PixelAt(3, 1), PixelFrom8(0xFF102030u + uint32_t(i)));
    }
  }
}

TEST(ImportPsd, RefusedOrTruncatedFilesGiveNoDocument) {
  iiotest::PsdSpec spec;
  spec.width = 40, spec.height = 40;
  spec.layers.push_back(iiotest::RgbaLayer(0, 0, 40, 40, RandomPixels(1600, 9), "x"));
  Bytes psd = iiotest::BuildPsd(spec);
  for (size_t cut : {size_t(10), psd.size() / 2, psd.size() - 3}) {
    const Imported r = Import(Bytes(psd.begin(), psd.begin() + long(cut)));
    EXPECT_NE(r.code, 0) << cut;
    EXPECT_FALSE(r.doc) << cut;
  }
}

// Readers take the fourth channel of a PSD without layers for an extra
// channel: a document with nothing to write as a layer (a hidden "*" working
// layer, layers inside a folder) gets one layer holding the merged image, and
// the file shows its transparency in psd-tools and ImageMagick. Imported
// again, that layer is the document's only one.
TEST(PsdSave, DocumentWithoutLayersToWriteGetsOneHoldingTheMergedImage) {
  constexpr int32_t w = 40, h = 30;
  auto pixel = [](int32_t x, int32_t y) -> uint32_t {
    if (x < 8 || y < 5) return 0;  // transparent margin
    return uint32_t(x * 6) | uint32_t(y * 8) << 8 | 0x500000u | uint32_t(16 + (x * 7 + y * 3) % 240) << 24;
  };
  auto doc = kzm::ImageContextImpl::Create(kzm::PiFolder::CreateRoot());
  doc->Root()->folder()->SetFixedBounds(kzm::Rect{0, 0, w, h});
  std::unique_ptr<kzm::Plane> folder = kzm::PiFolder::Create();
  std::unique_ptr<kzm::Plane> inside = kzm::PiImage::Create();
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) inside->impl()->SetPixel(x, y, PixelFrom8(pixel(x, y)), nullptr);
  folder->impl()->AppendChild(std::move(inside));
  std::unique_ptr<kzm::Plane> guide = kzm::PiImage::Create();
  guide->impl()->SetName("*guide");
  guide->impl()->SetVisible(0);
  guide->impl()->SetPixel(1, 1, PixelFrom8(0xFF0000FFu), nullptr);
  doc->Root()->impl()->AppendChild(std::move(folder));
  doc->Root()->impl()->AppendChild(std::move(guide));

  const std::string dir = iiotest::MakeTempDir(), path = dir + "/flat.psd";
  ASSERT_EQ(PsdSave(true, doc, path, "flat.psd").Run(), 0);
  std::vector<uint32_t> want;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) want.push_back(iiotest::ThroughMatte(pixel(x, y)));

  const Bytes file = iiotest::LoadFile(path);
  const iiotest::ReadResult r = iiotest::ReadBytes(file);
  ASSERT_EQ(r.error, 0);
  ASSERT_EQ(r.images.size(), 2u);
  const iio::layer_param_t& layer = r.images[0].param;
  EXPECT_EQ(layer.name, "ImgIOPsd_MergedImage");
  EXPECT_EQ(layer.visible, 1);
  EXPECT_EQ(layer.left, 0);
  EXPECT_EQ(layer.top, 0);
  EXPECT_EQ(layer.right, w);
  EXPECT_EQ(layer.bottom, h);
  for (int32_t i = 0; i < w * h; ++i) {
    ASSERT_EQ(r.images[0].pixels[size_t(i)], pixel(i % w, i / w)) << i;
    ASSERT_EQ(r.images[1].pixels[size_t(i)], want[size_t(i)]) << i;
  }

  // The merged image as two independent readers show it.
  auto check = [&](const std::string& rgbaFile, const char* reader) {
    const Bytes got = iiotest::LoadFile(rgbaFile);
    ASSERT_EQ(got.size(), want.size() * 4) << reader;
    for (size_t i = 0; i < want.size(); ++i) {
      ASSERT_EQ(got[4 * i + 3], want[i] >> 24) << reader << " pixel " << i;
      for (size_t c = 0; c < 3 && (want[i] >> 24) >= 16; ++c)
        ASSERT_NEAR(got[4 * i + c], want[i] >> (8 * c) & 0xFF, 1) << reader << " pixel " << i;
    }
  };
  int status;
  if (iiotest::HavePsdTools()) {
    const std::string out = iiotest::RunCommand("/usr/bin/python3 '" + iiotest::SourceDir() +
                                                    "/tests/iio/iio_psd_dump.py' '" + path + "' '" + dir + "'",
                                                &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find("topil " + dir + "/topil.rgba"), std::string::npos) << out;
    check(dir + "/topil.rgba", "psd-tools");
  }
  iiotest::RunCommand("convert-im6.q16 '" + path + "[0]' -depth 8 'rgba:" + dir + "/im.rgba' 2>&1", &status);
  if (status == 0) check(dir + "/im.rgba", "ImageMagick");

  const Imported again = Import(file);
  ASSERT_EQ(again.code, 0);
  ASSERT_EQ(again.doc->ChildCount(again.doc->Root()), 1u);
  EXPECT_EQ(again.doc->ChildAt(again.doc->Root(), 0)->impl()->Name(), "ImgIOPsd_MergedImage");
  EXPECT_EQ(again.doc->ChildAt(again.doc->Root(), 0)->impl()->Visible(), 1);
  iiotest::RunCommand("rm -rf '" + dir + "'", &status);
}

TEST(NormalizeLayerOffsets, RebasesAnOffsetLayerToDocumentPositions) {
  std::unique_ptr<kzm::Plane> folder = kzm::PiFolder::Create();
  std::unique_ptr<kzm::Plane> layer = kzm::PiImage::Create();
  std::mt19937 rng(5);
  std::vector<std::pair<kzm::Point, PixelRGBA>> painted;
  for (int i = 0; i < 300; ++i) {
    const int32_t x = int32_t(rng() % 150), y = int32_t(rng() % 150);
    const uint16_t a = uint16_t(rng() % 16385);
    const PixelRGBA p{uint16_t(rng() % (a + 1u)), uint16_t(rng() % (a + 1u)), uint16_t(a / 2), a};
    layer->impl()->SetPixel(x, y, p, nullptr);
  }
  layer->impl()->SetOffset(kzm::Point{-37, 21});
  layer->impl()->SetName("moved");
  layer->impl()->SetOpacity(5000);
  kzm::Blend b;
  b.word0 = 3;
  layer->impl()->SetBlend(b);
  std::unique_ptr<kzm::Plane> original = layer->impl()->Clone();
  original->impl()->SetOffset(kzm::Point{-37, 21});
  folder->impl()->AppendChild(std::move(layer));

  folder = NormalizeLayerOffsets(std::move(folder));
  ASSERT_EQ(folder->impl()->ChildCount(), 1u);
  const kzm::Plane* rebased = folder->impl()->ChildAt(0);
  EXPECT_EQ(rebased->impl()->Offset(), (kzm::Point{0, 0}));
  EXPECT_EQ(rebased->impl()->Name(), "moved");
  EXPECT_EQ(rebased->impl()->Opacity(), 5000);
  EXPECT_EQ(rebased->impl()->Blend()->word0, 3u);
  for (int32_t y = -40; y < 200; ++y)
    for (int32_t x = -40; x < 200; ++x)
      ASSERT_EQ(*rebased->impl()->PixelAt(x, y), *original->impl()->PixelAt(x, y)) << x << "," << y;
}

}  // namespace
