#include <gtest/gtest.h>

#include "iio/psd.h"
#include "iio/psd_out.h"
#include "iio/write_stream.h"
#include "iio_test_util.h"

namespace {

using namespace iiotest;

uint32_t Rgba(uint32_t r, uint32_t g, uint32_t b, uint32_t a) { return r | g << 8 | b << 16 | a << 24; }

PsdSpec OneLayer(const LayerSpec& l, uint32_t w = 4, uint32_t h = 4) {
  PsdSpec s;
  s.width = w, s.height = h;
  s.layers.push_back(l);
  return s;
}

LayerSpec Solid(int32_t left, int32_t top, int32_t right, int32_t bottom, uint32_t px,
                const std::string& name = "layer") {
  return RgbaLayer(left, top, right, bottom,
                   std::vector<uint32_t>(size_t(right - left) * size_t(bottom - top), px), name);
}

TEST(PsdReader, HeaderChecks) {
  PsdSpec s;
  Bytes f = BuildPsd(s);
  EXPECT_EQ(ReadBytes(Bytes(f.begin(), f.begin() + 27)).error, iio::kPsdTooShort);
  EXPECT_EQ(ReadBytes(f).error, 0);

  auto refused = [](PsdSpec spec) { return ReadBytes(BuildPsd(spec)).error; };
  PsdSpec gray = s;
  gray.mode = 1, gray.channels = 1;
  EXPECT_EQ(refused(gray), iio::kPsdBadHeader);
  PsdSpec cmyk = s;
  cmyk.mode = 4, cmyk.channels = 4;
  EXPECT_EQ(refused(cmyk), iio::kPsdBadHeader);
  PsdSpec deep = s;
  deep.depth = 16;
  EXPECT_EQ(refused(deep), iio::kPsdBadHeader);
  PsdSpec v2 = s;
  v2.version = 2;
  EXPECT_EQ(refused(v2), iio::kPsdBadHeader);
  PsdSpec wide = s;
  wide.width = 30001;
  EXPECT_EQ(refused(wide), iio::kPsdBadHeader);
  PsdSpec many = s;
  many.channels = 57;
  EXPECT_EQ(refused(many), iio::kPsdBadHeader);
  Bytes sig = f;
  sig[3] = 'X';
  EXPECT_EQ(ReadBytes(sig).error, iio::kPsdBadHeader);

  // Once failed, the reader answers nothing.
  DataSrcMemory src(sig.data(), sig.size());
  iio::Psd psd(src);
  EXPECT_EQ(psd.Open(), 0u);
  EXPECT_EQ(psd.Width(), 0u);
  iio::layer_param_t p;
  EXPECT_FALSE(psd.NextImage(p));
  EXPECT_EQ(psd.ReadRows(1), 0u);
  EXPECT_EQ(psd.RowPointer(0), nullptr);
}

TEST(PsdReader, FileWithoutLayersYieldsTheVisibleMergedImage) {
  for (bool zeroSection : {false, true}) {
    for (uint16_t comp : {0, 1}) {
      PsdSpec s;
      s.width = 3, s.height = 2, s.channels = 4;
      s.zeroLayerSection = zeroSection;
      s.mergedCompression = comp;
      for (uint8_t c = 0; c < 3; ++c)
        for (int i = 0; i < 6; ++i) s.merged.push_back(uint8_t(240 + c + (i == 5 ? 0 : i)));
      for (uint8_t a : {0, 255, 1, 17, 34, 128}) s.merged.push_back(a);
      const ReadResult r = ReadBytes(BuildPsd(s), 1);
      ASSERT_EQ(r.error, 0);
      ASSERT_EQ(r.count, 1u);
      ASSERT_EQ(r.images.size(), 1u);
      const Image& m = r.images[0];
      EXPECT_EQ(m.param.name, "ImgIOPsd_MergedImage");
      EXPECT_EQ(m.param.visible, 1);
      EXPECT_EQ(m.param.Width(), 3);
      // The fourth channel is the transparency, and the colour is taken off
      // the white it is matted on: (s - 255 + a) * 255 / a, rounded, 0 below
      // the white alone; transparent and opaque pixels as stored.
      EXPECT_EQ(m.pixels[0], Rgba(240, 241, 242, 0));
      EXPECT_EQ(m.pixels[1], Rgba(241, 242, 243, 255));
      EXPECT_EQ(m.pixels[2], Rgba(0, 0, 0, 1));
      EXPECT_EQ(m.pixels[3], Rgba(75, 90, 105, 17));
      EXPECT_EQ(m.pixels[4], Rgba(173, 180, 188, 34));
      EXPECT_EQ(m.pixels[5], Rgba(225, 227, 229, 128));
    }
  }
  // Three channels: opaque.
  PsdSpec s;
  s.width = 1, s.height = 1;
  s.merged = {1, 2, 3};
  EXPECT_EQ(ReadBytes(BuildPsd(s)).images.at(0).pixels.at(0), Rgba(1, 2, 3, 255));
}

TEST(PsdReader, LayersThenHiddenMergedImage) {
  PsdSpec s;
  s.width = 4, s.height = 3;
  s.negativeCount = true;
  s.layers.push_back(Solid(0, 0, 2, 2, Rgba(1, 2, 3, 4), "first"));
  s.layers.push_back(Solid(-1, 1, 5, 3, Rgba(5, 6, 7, 8), "second"));
  const Bytes f = BuildPsd(s);
  DataSrcMemory mem(f.data(), f.size());
  iio::Psd psd(mem);
  ASSERT_EQ(psd.Open(), 3u);
  EXPECT_TRUE(psd.MergedTransparency());
  const ReadResult r = ReadBytes(f);
  ASSERT_EQ(r.images.size(), 3u);
  EXPECT_EQ(r.images[0].param.name, "first");
  EXPECT_EQ(r.images[1].param.left, -1);
  EXPECT_EQ(r.images[1].pixels, std::vector<uint32_t>(12, Rgba(5, 6, 7, 8)));
  EXPECT_EQ(r.images[2].param.name, "ImgIOPsd_MergedImage");
  EXPECT_EQ(r.images[2].param.visible, 0);
}

TEST(PsdReader, RecordProperties) {
  LayerSpec l = Solid(0, 0, 1, 1, Rgba(9, 9, 9, 255), "pascal");
  l.key = "diss";
  l.clipping = 1;
  l.opacity = 128;
  l.flags = 8 | 2 | 1;
  std::u16string units = u"L\u00e4yer \u65e5";
  units += char16_t(0xD83D);
  units += char16_t(0xDE00);
  l.blocks.push_back({"luni", Luni(units)});
  l.blocks.push_back({"lspf", Bytes{0x80, 0, 0, 6}});
  const ReadResult r = ReadBytes(BuildPsd(OneLayer(l)));
  ASSERT_EQ(r.error, 0);
  const iio::layer_param_t& p = r.images.at(0).param;
  EXPECT_EQ(p.name, "L\xC3\xA4yer \xE6\x97\xA5\xF0\x9F\x98\x80");
  EXPECT_EQ(p.blend.word0, 18u | 0x30000u);  // "diss" reads as darken; clipped
  EXPECT_EQ(p.blend.word1, 4u);
  EXPECT_EQ(p.opacity, 8225);
  EXPECT_EQ(p.visible, 0);
  EXPECT_EQ(p.alphaLock, 0);  // "lspf" replaces the flag
  EXPECT_EQ(p.planeLock, 1);
  EXPECT_EQ(p.lockPosition, 1);
  EXPECT_EQ(p.lockAll, 1);

  // A "luni" block shorter than its count is ignored.
  LayerSpec shortLuni = Solid(0, 0, 1, 1, 0, "pascal");
  Bytes lu = Luni(u"abc");
  lu.pop_back();
  shortLuni.blocks.push_back({"luni", lu});
  EXPECT_EQ(ReadBytes(BuildPsd(OneLayer(shortLuni))).images.at(0).param.name, "pascal");
}

TEST(PsdReader, EveryOpacityByteSurvivesARoundTrip) {
  for (int op = 0; op < 256; ++op) {
    LayerSpec l = Solid(0, 0, 1, 1, 0);
    l.opacity = uint8_t(op);
    const ReadResult r = ReadBytes(BuildPsd(OneLayer(l, 1, 1)));
    ASSERT_EQ(r.error, 0);
    iio::layer_param_t p = r.images.at(0).param;
    iio::MemoryStream out;
    iio::PsdOut w(out);
    ASSERT_TRUE(w.Begin(1, 1, {p}));
    const Bytes& b = out.Bytes();
    ASSERT_EQ(b.at(26 + 8 + 4 + 4 + 2 + 50), op);
  }
}

TEST(PsdReader, ChannelTableAndMaskRecordLengths) {
  // Channel id 3 (animation data) is skipped over; the others still line up.
  LayerSpec l = Solid(0, 0, 2, 1, Rgba(1, 2, 3, 200));
  ChannelSpec extra;
  extra.id = 3, extra.width = 2, extra.height = 1, extra.pixels = {77, 77};
  l.channels.insert(l.channels.begin() + 1, extra);
  ReadResult r = ReadBytes(BuildPsd(OneLayer(l)));
  ASSERT_EQ(r.error, 0);
  EXPECT_EQ(r.images.at(0).pixels, std::vector<uint32_t>(2, Rgba(1, 2, 3, 200)));

  LayerSpec many = Solid(0, 0, 1, 1, 0);
  while (many.channels.size() < 57) many.channels.push_back(many.channels[0]);
  EXPECT_EQ(ReadBytes(BuildPsd(OneLayer(many))).error, iio::kPsdBadLayers);

  for (size_t len : {20, 24, 28, 36, 40, 48, 56}) {
    LayerSpec m = Solid(0, 0, 1, 1, Rgba(1, 1, 1, 255));
    m.mask = MaskData(0, 0, 1, 1, 255, 0, len);
    r = ReadBytes(BuildPsd(OneLayer(m)));
    EXPECT_EQ(r.error, 0) << len;
    EXPECT_EQ(r.images.at(0).param.maskDefault, 255) << len;
  }
  LayerSpec bad = Solid(0, 0, 1, 1, 0);
  bad.mask = Bytes(19, 0);
  EXPECT_EQ(ReadBytes(BuildPsd(OneLayer(bad))).error, iio::kPsdBadLayers);
}

TEST(PsdReader, UserMaskMultipliesTheTransparency) {
  // Layer 4 x 2 at (0, 0), alpha 200 except one transparent pixel; mask
  // 2 x 3 at (1, -1) sticks out above; default colour 255 outside it.
  std::vector<uint32_t> px(8, Rgba(10, 20, 30, 200));
  px[2] = Rgba(10, 20, 30, 0);
  LayerSpec l = RgbaLayer(0, 0, 4, 2, px, "masked");
  ChannelSpec m;
  m.id = -2, m.width = 2, m.height = 3, m.compression = 0;
  m.pixels = {1, 2, 0, 128, 255, 64};  // rows y = -1, 0, 1
  l.channels.push_back(m);
  l.mask = MaskData(1, -1, 3, 2, 255, 0, 20);
  ReadResult r = ReadBytes(BuildPsd(OneLayer(l)));
  ASSERT_EQ(r.error, 0);
  auto alpha = [&](int i) { return r.images.at(0).pixels.at(size_t(i)) >> 24; };
  EXPECT_EQ(alpha(0), 200u);                     // outside: default 255
  EXPECT_EQ(alpha(1), 0u);                       // mask 0
  EXPECT_EQ(alpha(2), 0u);                       // transparent stays transparent
  EXPECT_EQ(alpha(3), 200u);
  EXPECT_EQ(alpha(5), (200u * 255 + 127) / 255);
  EXPECT_EQ(alpha(6), (200u * 64 + 127) / 255);
  EXPECT_EQ(r.images[0].pixels[5] & 0xFFFFFF, Rgba(10, 20, 30, 0));

  // Default colour 0 hides everything outside the rectangle.
  l.mask = MaskData(1, -1, 3, 2, 0, 0, 20);
  r = ReadBytes(BuildPsd(OneLayer(l)));
  EXPECT_EQ(alpha(0), 0u);
  EXPECT_EQ(alpha(3), 0u);
  EXPECT_EQ(alpha(6), (200u * 64 + 127) / 255);

  // A disabled mask is ignored.
  l.mask = MaskData(1, -1, 3, 2, 0, 2, 20);
  r = ReadBytes(BuildPsd(OneLayer(l)));
  EXPECT_EQ(alpha(0), 200u);
  EXPECT_EQ(alpha(1), 200u);

  // With masks switched off process-wide the mask is ignored too.
  l.mask = MaskData(1, -1, 3, 2, 0, 0, 20);
  iio::SetPsdUserMasks(false);
  r = ReadBytes(BuildPsd(OneLayer(l)));
  iio::SetPsdUserMasks(true);
  EXPECT_EQ(alpha(0), 200u);
}

Bytes Section(uint32_t type, const char* key = nullptr) {
  Bytes b;
  Put32(b, type);
  if (key) {
    PutStr(b, "8BIM");
    PutStr(b, key);
  }
  return b;
}

TEST(PsdReader, GroupsAreFlattenedWithTheirVisibility) {
  PsdSpec s;
  s.width = 2, s.height = 2;
  // File order, bottom to top: end, [end, inner layer, inner group], outer
  // layer, outer group (hidden); then a top-level layer.
  auto marker = [](uint32_t type, uint8_t flags, const char* name, const char* key = nullptr) {
    LayerSpec l;
    ChannelSpec c;
    c.id = 0;
    l.channels.push_back(c);
    l.flags = flags;
    l.pascal = name;
    l.blocks.push_back({"lsct", Section(type, key)});
    return l;
  };
  s.layers.push_back(marker(3, 8 | 16, "</Layer group>"));
  s.layers.push_back(marker(3, 8 | 16, "</Layer group>"));
  s.layers.push_back(Solid(0, 0, 1, 1, 0, "inner"));
  s.layers.push_back(marker(1, 8 | 16, "inner group", "mul "));
  s.layers.push_back(Solid(0, 0, 1, 1, 0, "outer"));
  s.layers.push_back(marker(2, 8 | 16 | 2, "outer group"));
  s.layers.push_back(Solid(0, 0, 1, 1, 0, "top"));
  const ReadResult r = ReadBytes(BuildPsd(s));
  ASSERT_EQ(r.error, 0);
  ASSERT_EQ(r.images.size(), 8u);
  EXPECT_EQ(r.images[2].param.visible, 0);  // inside the hidden group
  EXPECT_EQ(r.images[4].param.visible, 0);
  EXPECT_EQ(r.images[6].param.visible, 1);
  for (int i : {0, 1, 3, 5}) {
    EXPECT_EQ(r.images[size_t(i)].param.pixelsIrrelevant, 1) << i;
    ASSERT_TRUE(r.images[size_t(i)].param.folder) << i;
  }
  EXPECT_EQ(r.images[3].param.folder->sectionType, 1u);
  EXPECT_TRUE(r.images[3].param.folder->hasBlendKey);
  EXPECT_EQ(r.images[3].param.folder->blend.ColorMode(), 3);
  EXPECT_EQ(r.images[5].param.folder->sectionType, 2u);
  EXPECT_FALSE(r.images[5].param.folder->hasBlendKey);
  for (int i : {2, 4, 6}) EXPECT_EQ(r.images[size_t(i)].param.pixelsIrrelevant, 0) << i;
}

TEST(PsdReader, PixelsIrrelevantFlagDropsOnlyEmptyRecords) {
  PsdSpec s;
  s.width = 2, s.height = 2;
  LayerSpec fill = Solid(0, 0, 2, 2, Rgba(1, 2, 3, 255), "fill");
  fill.flags = 8 | 16;  // flagged, but stores rasterised pixels
  LayerSpec adjustment = Solid(0, 0, 0, 0, 0, "curves");
  adjustment.flags = 8 | 16;
  LayerSpec unflagged = Solid(0, 0, 2, 2, 0, "unflagged");
  unflagged.flags = 16;  // bit 4 means nothing without bit 3
  s.layers = {fill, adjustment, unflagged};
  const ReadResult r = ReadBytes(BuildPsd(s));
  ASSERT_EQ(r.error, 0);
  EXPECT_EQ(r.images.at(0).param.pixelsIrrelevant, 0);
  EXPECT_EQ(r.images.at(0).pixels, std::vector<uint32_t>(4, Rgba(1, 2, 3, 255)));
  EXPECT_EQ(r.images.at(1).param.pixelsIrrelevant, 1);
  EXPECT_EQ(r.images.at(2).param.pixelsIrrelevant, 0);
}

TEST(PsdReader, MixedChannelCompressions) {
  LayerSpec l = Solid(0, 0, 3, 2, Rgba(1, 2, 3, 4));
  l.channels[1].compression = 0;
  l.channels[3].compression = 0;
  const ReadResult r = ReadBytes(BuildPsd(OneLayer(l)));
  ASSERT_EQ(r.error, 0);
  EXPECT_EQ(r.images.at(0).pixels, std::vector<uint32_t>(6, Rgba(1, 2, 3, 4)));

  LayerSpec zip = l;
  zip.channels[2].rawData = true;
  zip.channels[2].data = {0, 2, 0x78, 0x9C, 0, 0};
  EXPECT_EQ(ReadBytes(BuildPsd(OneLayer(zip))).error, iio::kPsdBadImage);

  PsdSpec merged;
  merged.mergedCompression = 2;
  EXPECT_EQ(ReadBytes(BuildPsd(merged)).error, iio::kPsdBadImage);
}

TEST(PsdReader, CorruptRowsAndShortData) {
  LayerSpec l = Solid(0, 0, 3, 2, Rgba(1, 2, 3, 4));
  // Green: row counts say 2 and 2, but the second row is a literal of 4.
  l.channels[1].rawData = true;
  l.channels[1].data = {0, 1, 0, 2, 0, 2, 0xFE, 2, 0x03, 2};
  ReadResult r = ReadBytes(BuildPsd(OneLayer(l)), 1);
  EXPECT_EQ(r.error, iio::kPsdBadRow);

  // Channel data declared longer than the file.
  LayerSpec big = Solid(0, 0, 3, 2, 0);
  big.channels[0].overrideLength = true;
  big.channels[0].length = 0xFFFFFFF0u;
  r = ReadBytes(BuildPsd(OneLayer(big)));
  EXPECT_EQ(r.error, iio::kPsdBadImage);

  // Row table pointing past the channel's data.
  LayerSpec table = Solid(0, 0, 3, 2, 0);
  table.channels[2].rawData = true;
  table.channels[2].data = {0, 1, 0x7F, 0xFF, 0, 2, 0xFE, 0, 0xFE, 0};
  EXPECT_EQ(ReadBytes(BuildPsd(OneLayer(table))).error, iio::kPsdBadImage);
}

TEST(PsdReader, RowWindowsAndProgress) {
  std::vector<uint32_t> px;
  for (uint32_t i = 0; i < 5 * 7; ++i) px.push_back(Rgba(i, 0, 0, 255));
  PsdSpec s = OneLayer(RgbaLayer(1, 2, 6, 9, px, "rows"), 8, 10);
  const Bytes f = BuildPsd(s);
  DataSrcMemory src(f.data(), f.size());
  iio::Psd psd(src);
  std::vector<std::array<uint64_t, 4>> calls;
  psd.SetProgress([&](uint64_t a, uint64_t b, uint64_t c, uint64_t d) {
    calls.push_back({a, b, c, d});
    return true;
  });
  ASSERT_EQ(psd.Open(), 2u);
  iio::layer_param_t p;
  ASSERT_TRUE(psd.NextImage(p));
  // Steps count the images from 0.
  EXPECT_EQ(calls.at(0), (std::array<uint64_t, 4>{0, 2, 0, 7}));
  ASSERT_EQ(psd.ReadRows(3), 3u);
  EXPECT_EQ(psd.RowPointer(1), nullptr);  // above the layer
  ASSERT_NE(psd.RowPointer(4), nullptr);
  EXPECT_EQ(psd.RowPointer(4)[2], Rgba(12, 0, 0, 255));
  EXPECT_EQ(psd.RowPointer(5), nullptr);  // not in this window
  ASSERT_EQ(psd.ReadRows(10), 4u);        // what is left
  EXPECT_EQ(psd.RowPointer(4), nullptr);
  EXPECT_EQ(psd.RowPointer(8)[4], Rgba(34, 0, 0, 255));
  EXPECT_EQ(psd.ReadRows(1), 0u);
  EXPECT_EQ(calls.size(), 1u + 7u);
  EXPECT_EQ(calls.back(), (std::array<uint64_t, 4>{0, 2, 6, 7}));

  // A callback that says stop ends the row loop and the image load.
  psd.SetProgress([](uint64_t, uint64_t, uint64_t, uint64_t) { return false; });
  EXPECT_FALSE(psd.NextImage(p));
  EXPECT_EQ(p.name, "ImgIOPsd_MergedImage");
  EXPECT_EQ(psd.ReadRows(4), 0u);
}

}  // namespace
