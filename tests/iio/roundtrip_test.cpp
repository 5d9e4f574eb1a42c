#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <random>

#include "chunk/work_pool.h"

#include "iio/psd.h"
#include "iio/psd_out.h"
#include "iio/write_stream.h"
#include "iio_test_util.h"

namespace {

using namespace iiotest;

struct Written {
  std::vector<iio::layer_param_t> layers;
  std::vector<std::vector<PixelRGBA>> pixels;  // per layer, then the merged image last
  uint32_t width = 0, height = 0;
};

PixelRGBA RandomPixel(std::mt19937& rng, int style) {
  const uint16_t a = style == 0 ? 16384 : style == 1 ? 0 : uint16_t(rng() % 16385);
  auto c = [&] { return a ? uint16_t(rng() % (a + 1u)) : uint16_t(rng() % 3); };
  return PixelRGBA{c(), c(), c(), a};
}

Written MakeDocument(std::mt19937& rng, uint32_t w, uint32_t h, int layers) {
  Written d;
  d.width = w, d.height = h;
  const char* names[] = {"Ebene 1", "caf\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC", "", "x\xF0\x9F\x98\x80y"};
  for (int i = 0; i < layers; ++i) {
    iio::layer_param_t p;
    p.left = int32_t(rng() % (w + 20)) - 10;
    p.top = int32_t(rng() % (h + 20)) - 10;
    p.right = p.left + int32_t(rng() % (w + 5));
    p.bottom = p.top + int32_t(rng() % (h + 5));
    p.name = names[i % 5];
    p.visible = rng() % 2;
    p.alphaLock = rng() % 2;
    p.planeLock = rng() % 2;
    p.lockPosition = rng() % 2;
    p.lockAll = rng() % 2;
    p.opacity = uint16_t(rng() % 16385);
    static const uint8_t modes[] = {1, 3, 4, 5, 6, 7, 18, 19, 20, 21, 50, 51, 52, 53};
    p.blend.word0 = modes[rng() % 14] | ((rng() % 2) ? 0x30000u : 0u);
    d.layers.push_back(p);
    std::vector<PixelRGBA> px(size_t(p.Width() * p.Height()));
    const int style = int(rng() % 3);
    for (auto& q : px) q = (rng() % 4 == 0) ? PixelRGBA{0, 0, 0, 0} : RandomPixel(rng, style);
    d.pixels.push_back(px);
  }
  std::vector<PixelRGBA> merged(size_t(w) * h);
  for (auto& q : merged) q = RandomPixel(rng, 2);
  d.pixels.push_back(merged);
  return d;
}

// The document written with rows handed over as pixels (step 0: a row per
// call, the merged image in two calls), or as sources read on the pool in
// calls of `step` rows (the merged image's first rows as pixels).
Bytes WriteDocument(const Written& d, uint32_t step = 0) {
  iio::MemoryStream out;
  iio::PsdOut psd(out);
  EXPECT_TRUE(psd.Begin(d.width, d.height, d.layers));
  for (size_t i = 0; i < d.layers.size(); ++i) {
    EXPECT_TRUE(psd.BeginLayer(d.layers[i]));
    const size_t w = size_t(d.layers[i].Width());
    const PixelRGBA* px = d.pixels[i].data();
    const int64_t h = d.layers[i].Height();
    const iio::PsdOut::RowSource rows = [px, w](uint32_t y, uint32_t n, PixelRGBA* o) {
      std::copy(px + y * w, px + (y + n) * w, o);
    };
    for (int64_t y = 0; y < h; y += step ? step : 1) {
      if (step)
        EXPECT_TRUE(psd.WriteRowsFrom(uint32_t(std::min<int64_t>(step, h - y)), rows));
      else
        EXPECT_TRUE(psd.WriteRows(px + size_t(y) * w, 1));
    }
    EXPECT_TRUE(psd.EndLayer());
  }
  const PixelRGBA* merged = d.pixels.back().data();
  const size_t w = d.width;
  const uint32_t first = step ? std::min(d.height, 3u) : d.height / 2;
  EXPECT_TRUE(psd.WriteRows(merged, first));
  if (step)
    EXPECT_TRUE(psd.WriteRowsFrom(d.height - first, [merged, w](uint32_t y, uint32_t n, PixelRGBA* o) {
      std::copy(merged + y * w, merged + (y + n) * w, o);
    }));
  else
    EXPECT_TRUE(psd.WriteRows(merged + size_t(first) * w, d.height - first));
  EXPECT_TRUE(psd.Finish());
  return out.Bytes();
}

TEST(PsdRoundTrip, RowSourcesWriteTheSameBytes) {
  std::mt19937 rng(78);
  for (int iter = 0; iter < 12; ++iter) {
    const Written d = MakeDocument(rng, 1 + rng() % 700, 1 + rng() % 300, 1 + int(rng() % 4));
    const Bytes want = WriteDocument(d);
    for (uint32_t step : {1u, 7u, 128u, 1000u}) {
      for (unsigned threads : {1u, 3u}) {
        chunk::SetWorkThreadLimit(threads);
        EXPECT_EQ(WriteDocument(d, step), want) << "iteration " << iter << ", step " << step;
        chunk::SetWorkThreadLimit(0);
      }
    }
  }
}

uint32_t Expected(const PixelRGBA& p) {
  uint8_t b[4];
  iio::PsdOut::ToBytes(p, b);
  return b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24;
}

// The row conversion against the per-pixel one for every alpha value (also
// those above one, which no well-formed pixel has) with colours around the
// clamp to alpha, at every position within the groups of pixels converted
// (and matted) together, and with runs of repeated pixels.
TEST(PsdRoundTrip, EveryAlphaConvertsAsThePixelAlone) {
  std::mt19937 rng(79);
  Written d;
  d.width = 4099, d.height = 72;
  std::vector<PixelRGBA> px(size_t(d.width) * d.height);
  for (size_t i = 0; i < px.size(); ++i) {
    const uint16_t a = uint16_t(i * 7 % 65536);
    const uint16_t al = std::min<uint16_t>(a, 16384);
    const uint16_t near[] = {0, uint16_t(al - 1), al, uint16_t(al + 1), 65535, uint16_t(rng() % (al + 1u))};
    auto c = [&] { return near[rng() % 6]; };
    px[i] = i % 5 == 0 && i > 0 ? px[i - 1] : PixelRGBA{c(), c(), c(), a};
  }
  d.pixels.push_back(px);
  for (uint32_t step : {0u, 8u}) {
    const ReadResult r = ReadBytes(WriteDocument(d, step), 8);
    ASSERT_EQ(r.error, 0);
    ASSERT_EQ(r.images.size(), 1u);
    ASSERT_EQ(r.images[0].pixels.size(), px.size());
    for (size_t k = 0; k < px.size(); ++k)
      ASSERT_EQ(r.images[0].pixels[k], ThroughMatte(Expected(px[k]))) << "pixel " << k << " step " << step;
  }
}

// Channels of several megabytes: layer data is kept in pieces and written
// while the next layer is encoded; the bytes must not depend on either.
TEST(PsdRoundTrip, ChannelsLargerThanAPieceWriteTheSameBytes) {
  std::mt19937 rng(80);
  Written d;
  d.width = 1900, d.height = 700;
  for (int i = 0; i < 3; ++i) {
    iio::layer_param_t p;
    p.left = -3 * i, p.top = i, p.right = 1900 - i, p.bottom = 700;
    p.name = "L";
    d.layers.push_back(p);
    std::vector<PixelRGBA> px(size_t(p.Width() * p.Height()));
    for (auto& q : px) q = RandomPixel(rng, 2);
    d.pixels.push_back(px);
  }
  std::vector<PixelRGBA> merged(size_t(d.width) * d.height);
  for (auto& q : merged) q = RandomPixel(rng, 2);
  d.pixels.push_back(merged);

  const Bytes want = WriteDocument(d);
  ASSERT_GT(want.size(), size_t(4) * 4 * (1 << 20));
  for (unsigned threads : {1u, 2u, 3u}) {
    chunk::SetWorkThreadLimit(threads);
    EXPECT_EQ(WriteDocument(d, 128), want) << threads << " threads";
    chunk::SetWorkThreadLimit(0);
  }
  const ReadResult r = ReadBytes(want);
  ASSERT_EQ(r.error, 0);
  ASSERT_EQ(r.images.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    ASSERT_EQ(r.images[i].pixels.size(), d.pixels[i].size());
    for (size_t k = 0; k < d.pixels[i].size(); ++k) {
      const uint32_t want = i < 3 ? Expected(d.pixels[i][k]) : ThroughMatte(Expected(d.pixels[i][k]));
      ASSERT_EQ(r.images[i].pixels[k], want) << "image " << i << " pixel " << k;
    }
  }
}

// A disk slower than the encoder: the writer waits for the layer being
// written rather than holding the next one whole, and writes the same bytes.
TEST(PsdRoundTrip, SlowStreamHoldsAboutOneLayer) {
  class SlowStream : public iio::MemoryStream {
   public:
    size_t Write(const void* bytes, size_t count) override {
      if (count >= 4096) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      return MemoryStream::Write(bytes, count);
    }
  };
  std::mt19937 rng(81);
  Written d;
  d.width = 2600, d.height = 1400;
  for (int i = 0; i < 4; ++i) {
    iio::layer_param_t p;
    p.left = 0, p.top = 0, p.right = 2600, p.bottom = 1400;
    d.layers.push_back(p);
    std::vector<PixelRGBA> px(size_t(p.Width() * p.Height()));
    for (auto& q : px) q = RandomPixel(rng, 2);
    d.pixels.push_back(px);
  }
  d.pixels.push_back(d.pixels.back());
  const Bytes want = WriteDocument(d);

  chunk::SetWorkThreadLimit(2);
  SlowStream out;
  size_t held = 0;
  {
    iio::PsdOut psd(out);
    ASSERT_TRUE(psd.Begin(d.width, d.height, d.layers));
    const size_t w = d.width;
    for (size_t i = 0; i <= d.layers.size(); ++i) {
      const PixelRGBA* px = d.pixels[i].data();
      if (i < d.layers.size()) {
        ASSERT_TRUE(psd.BeginLayer(d.layers[i]));
      }
      for (uint32_t y = 0; y < d.height; y += 64)
        ASSERT_TRUE(psd.WriteRowsFrom(std::min(64u, d.height - y), [px, w](uint32_t r, uint32_t n, PixelRGBA* o) {
          std::copy(px + r * w, px + (r + n) * w, o);
        }));
      if (i < d.layers.size()) {
        ASSERT_TRUE(psd.EndLayer());
      }
    }
    ASSERT_TRUE(psd.Finish());
    held = psd.EncodedBufferBytes();
  }
  chunk::SetWorkThreadLimit(0);
  EXPECT_EQ(out.Bytes(), want);
  // A layer's channels are about 4 x 3.7 MB here: one layer's pieces, the
  // eight the next may take ahead, and the one each channel has open.
  // Without the limit the encoder runs a whole layer ahead.
  const size_t layer = (want.size() - 2 * 4 * 2 * d.height) / (d.layers.size() + 1);
  EXPECT_LE(held, layer + (size_t(8 + 4) << 20)) << "layer " << layer << ", held " << held;
}

TEST(PsdRoundTrip, WrittenFilesReadBackUnchanged) {
  std::mt19937 rng(77);
  for (int iter = 0; iter < 40; ++iter) {
    const Written d = MakeDocument(rng, 1 + rng() % 60, 1 + rng() % 40, int(rng() % 6));
    const Bytes f = WriteDocument(d);
    const ReadResult r = ReadBytes(f, 1 + rng() % 16);
    ASSERT_EQ(r.error, 0);
    ASSERT_EQ(r.images.size(), d.layers.size() + 1);
    for (size_t i = 0; i <= d.layers.size(); ++i) {
      const iio::layer_param_t& got = r.images[i].param;
      if (i < d.layers.size()) {
        const iio::layer_param_t& want = d.layers[i];
        EXPECT_EQ(got.name, want.name);
        EXPECT_EQ(got.left, want.left);
        EXPECT_EQ(got.top, want.top);
        if (want.Width() * want.Height() == 0) {
          EXPECT_EQ(got.Width() * got.Height(), 0);  // empty rectangles read as 0 x 0
        } else {
          EXPECT_EQ(got.Width(), want.Width());
          EXPECT_EQ(got.Height(), want.Height());
        }
        EXPECT_EQ(got.visible, want.visible);
        EXPECT_EQ(got.alphaLock, want.alphaLock);
        EXPECT_EQ(got.planeLock, want.planeLock);
        EXPECT_EQ(got.lockPosition, want.lockPosition);
        EXPECT_EQ(got.lockAll, want.lockAll);
        EXPECT_EQ(got.blend, want.blend);
        // Opacity comes back as the smallest value giving the same byte.
        EXPECT_EQ((uint32_t(got.opacity) * 255) >> 14, (uint32_t(want.opacity) * 255) >> 14);
        EXPECT_EQ(got.pixelsIrrelevant, 0);
      } else {
        EXPECT_EQ(got.visible, d.layers.empty() ? 1 : 0);
      }
      const auto& src = d.pixels[i];
      if (got.Width() * got.Height() == 0) continue;
      ASSERT_EQ(r.images[i].pixels.size(), src.size());
      const bool merged = i == d.layers.size();
      for (size_t k = 0; k < src.size(); ++k)
        ASSERT_EQ(r.images[i].pixels[k], merged ? ThroughMatte(Expected(src[k])) : Expected(src[k]))
            << "image " << i << " pixel " << k;
    }
    // Writing what was read gives the same file again.
    Written again;
    again.width = r.width, again.height = r.height;
    for (size_t i = 0; i < r.images.size(); ++i) {
      if (i + 1 < r.images.size()) again.layers.push_back(r.images[i].param);
      std::vector<PixelRGBA> px;
      for (uint32_t v : r.images[i].pixels) px.push_back(PixelFrom8(v));
      again.pixels.push_back(px);
    }
    const Bytes f2 = WriteDocument(again);
    const ReadResult r2 = ReadBytes(f2);
    ASSERT_EQ(r2.images.size(), r.images.size());
    for (size_t i = 0; i < r.images.size(); ++i) {
      EXPECT_EQ(r2.images[i].param.opacity, r.images[i].param.opacity);
      EXPECT_EQ(r2.images[i].param.name, r.images[i].param.name);
    }
  }
}

TEST(PsdRoundTrip, ReadsFromAFileSource) {
  std::mt19937 rng(5);
  const Written d = MakeDocument(rng, 300, 200, 3);
  const Bytes f = WriteDocument(d);
  const std::string dir = MakeTempDir();
  const std::string path = dir + "/doc.psd";
  ASSERT_TRUE(SaveFile(path, f));
  DataSrcReadFromFile src;
  ASSERT_TRUE(src.open(path.c_str()));
  const ReadResult fromFile = ReadAll(src, 128);
  const ReadResult fromMemory = ReadBytes(f, 7);
  ASSERT_EQ(fromFile.error, 0);
  ASSERT_EQ(fromFile.images.size(), fromMemory.images.size());
  for (size_t i = 0; i < fromFile.images.size(); ++i)
    EXPECT_EQ(fromFile.images[i].pixels, fromMemory.images[i].pixels);
  src.close();
  std::remove(path.c_str());
  std::remove(dir.c_str());
}

}  // namespace
