// Damaged and hostile PSDs: refused with a code or read partially, never a
// crash, a hang or an allocation that the file's bytes do not justify.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>

#include "iio/psd.h"
#include "iio/psd_out.h"
#include "iio/write_stream.h"
#include "iio_test_util.h"

// Largest single allocation while tracking is on.
static std::atomic<bool> g_track{false};
static std::atomic<size_t> g_largest{0};

static void* Allocate(size_t n) {
  if (g_track) {
    size_t prev = g_largest;
    while (n > prev && !g_largest.compare_exchange_weak(prev, n)) {
    }
  }
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new(size_t n) { return Allocate(n); }
void* operator new[](size_t n) { return Allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

using namespace iiotest;

// Reads the bytes and checks the outcome and the largest allocation: a few
// hundred times the file (PackBits expands at most 64 times per channel, and
// rows become 32-bit pixels) plus fixed buffers.
ReadResult ReadHostile(const Bytes& f, uint32_t window = 128) {
  g_largest = 0;
  g_track = true;
  ReadResult r = ReadBytes(f, window);
  g_track = false;
  const size_t limit = (size_t(1) << 20) + 600 * f.size();
  EXPECT_LE(g_largest.load(), limit) << "file of " << f.size() << " bytes";
  if (r.error == 0) {
    EXPECT_EQ(r.images.size(), r.count);
  }
  return r;
}

Bytes SmallDocument() {
  iio::MemoryStream out;
  iio::PsdOut psd(out);
  std::vector<iio::layer_param_t> layers(2);
  layers[0].left = -1, layers[0].top = 0, layers[0].right = 5, layers[0].bottom = 3, layers[0].name = "a";
  layers[1].left = 2, layers[1].top = 1, layers[1].right = 4, layers[1].bottom = 4, layers[1].name = "\xC3\xA9";
  EXPECT_TRUE(psd.Begin(4, 4, layers));
  for (const auto& l : layers) {
    psd.BeginLayer(l);
    for (int64_t y = 0; y < l.Height(); ++y) {
      std::vector<PixelRGBA> row(size_t(l.Width()));
      for (size_t x = 0; x < row.size(); ++x) row[x] = PixelRGBA{uint16_t(x * 999), 3, 0, uint16_t(16384 - x)};
      psd.WriteRows(row.data(), 1);
    }
    psd.EndLayer();
  }
  std::vector<PixelRGBA> row(16, PixelRGBA{5, 6, 7, 16384});
  psd.WriteRows(row.data(), 4);
  EXPECT_TRUE(psd.Finish());
  return out.Bytes();
}

TEST(PsdHostile, EveryTruncationOfAWrittenFile) {
  const Bytes f = SmallDocument();
  ASSERT_EQ(ReadHostile(f).error, 0);
  for (size_t n = 0; n < f.size(); ++n) {
    const ReadResult r = ReadHostile(Bytes(f.begin(), f.begin() + long(n)));
    ASSERT_NE(r.error, 0) << "cut at " << n;
    if (n < 28) {
      EXPECT_EQ(r.error, iio::kPsdTooShort);
    }
  }
}

// Offsets where sections begin and end, found by walking the lengths.
std::vector<size_t> SectionBoundaries(const Bytes& f) {
  std::vector<size_t> b{0, 26};
  size_t at = 26;
  for (int i = 0; i < 3 && at + 4 <= f.size(); ++i) {
    const size_t len = Get32(f, at);
    b.push_back(at + 4);
    if (i == 2 && len >= 4 && at + 8 <= f.size()) {
      const size_t li = Get32(f, at + 4);
      b.push_back(at + 8);
      b.push_back(at + 10);
      b.push_back(at + 8 + li);
    }
    at += 4 + len;
    b.push_back(at);
  }
  b.push_back(at + 2);
  b.push_back(f.size());
  return b;
}

TEST(PsdHostile, CorpusFilesCutAtSectionBoundariesAndFlipped) {
  const std::string dir = CorpusDir();
  if (dir.empty()) GTEST_SKIP() << "PSD corpus not found (set YVN_PSD_CORPUS)";
  const char* files[] = {"pt_layer_mask_data.psd", "papi_Groups_8bit.psd", "prb_blendmodes.psd",
                         "ag_layer-mask_src.psd",  "oov_rgb8bit+1ch.psd",  "cf_odd-length-pascal-string.psd",
                         "pil_rgba.psd",           "ag_lantern_src.psd",   "papi_Compression_RAW_8bit.psd",
                         "pt_16bit5x5.psd",        "pil_negative_top_left_layer.psd", "papi_UnicodeLayerNames.psd"};
  std::mt19937 rng(2024);
  for (const char* name : files) {
    SCOPED_TRACE(name);
    const Bytes f = LoadFile(dir + "/" + name);
    ASSERT_FALSE(f.empty());
    std::vector<size_t> cuts = SectionBoundaries(f);
    for (int i = 0; i < 60; ++i) cuts.push_back(rng() % f.size());
    for (size_t c : SectionBoundaries(f))
      for (int d = -2; d <= 2; ++d) cuts.push_back(size_t(std::max<long>(0, long(c) + d)));
    for (size_t c : cuts) {
      if (c >= f.size()) continue;
      ReadHostile(Bytes(f.begin(), f.begin() + long(c)));
    }
    for (int i = 0; i < 60; ++i) {
      Bytes m = f;
      const int flips = 1 + int(rng() % 8);
      for (int k = 0; k < flips; ++k) {
        // Flips land anywhere, but half of them in the first kilobytes
        // where the lengths and the layer records are.
        const size_t at = rng() % 2 ? rng() % m.size() : rng() % std::min<size_t>(m.size(), 4096);
        m[at] = uint8_t(rng() % 3 == 0 ? 0xFF : rng());
      }
      ReadHostile(m, 1 + rng() % 64);
    }
  }
}

LayerSpec Plain(int32_t w, int32_t h) {
  return RgbaLayer(0, 0, w, h, std::vector<uint32_t>(size_t(w) * size_t(h), 0x80402010u), "p");
}

PsdSpec With(const LayerSpec& l) {
  PsdSpec s;
  s.width = 8, s.height = 8;
  s.layers.push_back(l);
  return s;
}

TEST(PsdHostile, AbsurdLengthsAndCounts) {
  // Channel lengths far beyond the file, alone and summed over 56 channels.
  LayerSpec l = Plain(4, 4);
  l.channels[0].overrideLength = true;
  l.channels[0].length = 0xFFFFFFFFu;
  EXPECT_EQ(ReadHostile(BuildPsd(With(l))).error, iio::kPsdBadImage);
  LayerSpec wide = Plain(4, 4);
  while (wide.channels.size() < 56) wide.channels.push_back(wide.channels[0]);
  for (auto& c : wide.channels) c.overrideLength = true, c.length = 0x7FFFFFFFu;
  EXPECT_EQ(ReadHostile(BuildPsd(With(wide))).error, iio::kPsdBadImage);

  // A layer count far above the records present.
  Bytes f = BuildPsd(With(Plain(2, 2)));
  const size_t countAt = 26 + 8 + 4 + 4;
  f[countAt] = 0x7F, f[countAt + 1] = 0xFF;
  EXPECT_EQ(ReadHostile(f).error, iio::kPsdBadLayers);

  // Section lengths beyond the file.
  for (size_t at : {size_t(26), size_t(30), size_t(34), size_t(38)}) {
    Bytes g = BuildPsd(With(Plain(2, 2)));
    g[at] = 0xFF, g[at + 1] = 0xFF, g[at + 2] = 0xFF, g[at + 3] = 0xF0;
    EXPECT_NE(ReadHostile(g).error, 0) << at;
  }

  // Huge rectangles: refused, or served only as far as rows are stored.
  LayerSpec huge = Plain(1, 1);
  huge.right = 0x7FFFFFF0, huge.bottom = 0x7FFFFFF0;
  EXPECT_EQ(ReadHostile(BuildPsd(With(huge))).error, iio::kPsdBadLayers);
  LayerSpec big = Plain(1, 1);
  big.right = 60000, big.bottom = 60000;  // declared but without its rows
  EXPECT_EQ(ReadHostile(BuildPsd(With(big))).error, iio::kPsdBadImage);
  LayerSpec masked = Plain(2, 2);
  masked.mask = MaskData(-0x40000000, -0x40000000, 0x40000000, 0x40000000, 255, 0, 20);
  EXPECT_EQ(ReadHostile(BuildPsd(With(masked))).error, iio::kPsdBadLayers);

  // A "luni" count and block lengths beyond their data.
  LayerSpec named = Plain(1, 1);
  Bytes luni;
  Put32(luni, 0x7FFFFFFF);
  named.blocks.push_back({"luni", luni});
  ReadResult r = ReadHostile(BuildPsd(With(named)));
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(r.images.at(0).param.name, "p");
  Bytes g = BuildPsd(With(named));
  const size_t lu = std::string(g.begin(), g.end()).find("luni");
  ASSERT_NE(lu, std::string::npos);
  g[lu + 4] = 0x7F;
  EXPECT_EQ(ReadHostile(g).error, iio::kPsdBadLayers);

  // A merged image whose row table claims more than the file holds.
  Bytes tiny = BuildPsd(PsdSpec());
  tiny[14] = 0, tiny[15] = 0, tiny[16] = 0x75, tiny[17] = 0x30;  // height 30000
  tiny[18] = 0, tiny[19] = 0, tiny[20] = 0x75, tiny[21] = 0x30;  // width 30000
  EXPECT_EQ(ReadHostile(tiny).error, iio::kPsdBadImage);
}

TEST(PsdHostile, PackBitsRowsThatOverrun) {
  // Width 4; each case replaces the red channel's data.
  const std::vector<Bytes> rows = {
      {0x7F, 1, 2, 3, 4},            // literal of 128 declared, 4 present
      {0x81, 9},                     // run of 128 into a row of 4
      {0xFD, 9, 0xFD, 9},            // 4 + 4 into 4
      {0x01, 1, 2, 0xFE},            // run header at the end
      {0x80, 0x80},                  // nothing at all
  };
  for (const Bytes& row : rows) {
    LayerSpec l = Plain(4, 2);
    ChannelSpec& red = l.channels[0];
    red.rawData = true;
    red.data.clear();
    Put16(red.data, 1);
    Put16(red.data, 2);  // first row fine
    Put16(red.data, uint16_t(row.size()));
    red.data.insert(red.data.end(), {0xFD, 7});
    red.data.insert(red.data.end(), row.begin(), row.end());
    const ReadResult r = ReadHostile(BuildPsd(With(l)), 1);
    EXPECT_EQ(r.error, iio::kPsdBadRow);
    ASSERT_EQ(r.images.size(), 1u);
    EXPECT_EQ(r.images[0].pixels.size(), 4u);  // the first row came through
  }

  // The merged image's rows too.
  PsdSpec s;
  s.width = 4, s.height = 1, s.channels = 3;
  Bytes f = BuildPsd(s);
  // Replace the last row (blue) "FD 00" with a run that is too long.
  f[f.size() - 2] = 0xFC;
  const ReadResult r = ReadHostile(f);
  EXPECT_EQ(r.error, iio::kPsdBadRow);
}

}  // namespace
