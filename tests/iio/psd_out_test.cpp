#include <gtest/gtest.h>

#include <iterator>

#include "blend/modes.h"
#include "blend/pixel.h"
#include "chunk/work_pool.h"
#include "iio/codepage.h"
#include "iio/packbits.h"
#include "iio/psd_out.h"
#include "iio/write_stream.h"
#include "iio_test_util.h"

namespace {

using iio::layer_param_t;
using iiotest::Bytes;
using iiotest::Get16;
using iiotest::Get32;

constexpr size_t kLmiAt = 26 + 4 + 4;  // header, colour mode data, resources

iio::layer_param_t Layer(int32_t l, int32_t t, int32_t r, int32_t b, const std::string& name = "L") {
  layer_param_t p;
  p.left = l, p.top = t, p.right = r, p.bottom = b;
  p.name = name;
  return p;
}

// Writes the layers with every pixel `fill`, and a merged image of `fill`.
Bytes Write(uint32_t w, uint32_t h, const std::vector<layer_param_t>& layers,
            PixelRGBA fill = PixelRGBA{16384, 0, 0, 16384}) {
  iio::MemoryStream out;
  iio::PsdOut psd(out);
  EXPECT_TRUE(psd.Begin(w, h, layers));
  for (const layer_param_t& l : layers) {
    EXPECT_TRUE(psd.BeginLayer(l));
    std::vector<PixelRGBA> row(size_t(l.Width()), fill);
    for (int64_t y = 0; y < l.Height(); ++y) EXPECT_TRUE(psd.WriteRows(row.data(), 1));
    EXPECT_TRUE(psd.EndLayer());
  }
  std::vector<PixelRGBA> row(w, fill);
  for (uint32_t y = 0; y < h; ++y) EXPECT_TRUE(psd.WriteRows(row.data(), 1));
  EXPECT_TRUE(psd.Finish());
  EXPECT_EQ(psd.LastError(), 0);
  return out.Bytes();
}

// Offset of the first layer record.
constexpr size_t kFirstRecord = kLmiAt + 4 + 4 + 2;
// Offsets inside a record with four channels.
constexpr size_t kKey = 16 + 2 + 24 + 4;
constexpr size_t kOpacity = kKey + 4, kClipping = kOpacity + 1, kFlags = kOpacity + 2;
constexpr size_t kExtraLen = kOpacity + 4, kName = kExtraLen + 4 + 8;

TEST(PsdOut, EmptyLayerListWritesAnEightByteSection) {
  const Bytes f = Write(2, 1, {}, PixelRGBA{0, 0, 0, 0});
  const Bytes header = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0, 0, 4,
                        0, 0, 0, 1, 0, 0, 0, 2, 0, 8, 0, 3};
  ASSERT_GE(f.size(), 26u);
  EXPECT_EQ(Bytes(f.begin(), f.begin() + 26), header);
  EXPECT_EQ(Get32(f, 26), 0u);       // colour mode data
  EXPECT_EQ(Get32(f, 30), 0u);       // image resources
  EXPECT_EQ(Get32(f, kLmiAt), 8u);   // layer and mask section
  EXPECT_EQ(Get32(f, kLmiAt + 4), 0u);
  EXPECT_EQ(Get32(f, kLmiAt + 8), 0u);
  // Merged: plain (8 bytes against 16 in PackBits), transparent pixels white.
  const Bytes merged = {0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0};
  EXPECT_EQ(Bytes(f.begin() + kLmiAt + 12, f.end()), merged);
}

TEST(PsdOut, RecordFieldsAndSectionLengths) {
  std::vector<layer_param_t> layers{Layer(0, 0, 2, 2, "abc"), Layer(-1, 1, 3, 2, "abcd"),
                                    Layer(0, 0, 0, 0, "")};
  const Bytes f = Write(4, 3, layers);
  EXPECT_EQ(Get16(f, kLmiAt + 8), 0xFFFDu);  // three layers, count -3
  const uint32_t lmi = Get32(f, kLmiAt), li = Get32(f, kLmiAt + 4);
  EXPECT_EQ(li % 2, 0u);
  // After the layer info: global mask length 0 and an empty "Patt" block.
  const size_t after = kLmiAt + 8 + li;
  EXPECT_EQ(Get32(f, after), 0u);
  EXPECT_EQ(std::string(f.begin() + long(after) + 4, f.begin() + long(after) + 12), "8BIMPatt");
  EXPECT_EQ(Get32(f, after + 12), 0u);
  EXPECT_EQ(lmi, li + 4 + 4 + 12);

  // First record: bounds top, left, bottom, right; channels 0, 1, 2, -1.
  size_t r = kFirstRecord;
  EXPECT_EQ(Get32(f, r), 0u);
  EXPECT_EQ(Get32(f, r + 12), 2u);
  EXPECT_EQ(Get16(f, r + 16), 4u);
  const uint16_t ids[4] = {0, 1, 2, 0xFFFF};
  for (int c = 0; c < 4; ++c) {
    EXPECT_EQ(Get16(f, r + 18 + 6 * c), ids[c]);
    // Compression and 2 x 2 plain bytes: PackBits would take 4 + 4.
    EXPECT_EQ(Get32(f, r + 20 + 6 * c), 2u + 4u);
  }
  EXPECT_EQ(std::string(f.begin() + long(r + kKey - 4), f.begin() + long(r + kKey + 4)), "8BIMnorm");
  // Name "abc": 1 + 3 = 4 bytes, no padding; then "luni" follows at once.
  EXPECT_EQ(f[r + kName], 3);
  EXPECT_EQ(std::string(f.begin() + long(r + kName + 1), f.begin() + long(r + kName + 4)), "abc");
  EXPECT_EQ(std::string(f.begin() + long(r + kName + 4), f.begin() + long(r + kName + 12)), "8BIMluni");
  // "luni": length 4 + 8 (three units padded to 8 bytes), count 3.
  EXPECT_EQ(Get32(f, r + kName + 12), 12u);
  EXPECT_EQ(Get32(f, r + kName + 16), 3u);
  EXPECT_EQ(Get16(f, r + kName + 20), uint16_t('a'));
  EXPECT_EQ(Get16(f, r + kName + 26), 0u);
  const size_t lspf = r + kName + 28;
  EXPECT_EQ(std::string(f.begin() + long(lspf), f.begin() + long(lspf) + 8), "8BIMlspf");
  EXPECT_EQ(Get32(f, lspf + 8), 4u);
  EXPECT_EQ(Get32(f, lspf + 12), 0u);
  EXPECT_EQ(Get32(f, r + kExtraLen), uint32_t(lspf + 16 - (r + kExtraLen + 4)));

  // Second record: name "abcd" is followed by three zero bytes.
  r = lspf + 16;
  EXPECT_EQ(int32_t(Get32(f, r + 4)), -1);
  EXPECT_EQ(f[r + kName], 4);
  EXPECT_EQ(Bytes(f.begin() + long(r + kName + 5), f.begin() + long(r + kName + 8)), (Bytes{0, 0, 0}));
  EXPECT_EQ(std::string(f.begin() + long(r + kName + 8), f.begin() + long(r + kName + 16)), "8BIMluni");
}

// The record bytes of one layer written alone.
Bytes RecordOf(const layer_param_t& l) {
  const Bytes f = Write(4, 4, {l});
  return Bytes(f.begin() + kFirstRecord, f.end());
}

TEST(PsdOut, OpacityClippingAndFlagBytes) {
  layer_param_t l = Layer(0, 0, 1, 1);
  const std::pair<uint16_t, uint8_t> opacities[] = {{16384, 255}, {8192, 127}, {0, 0}, {8225, 128}};
  for (const auto& o : opacities) {
    l.opacity = o.first;
    EXPECT_EQ(RecordOf(l)[kOpacity], o.second) << o.first;
  }
  l.opacity = 16384;

  l.blend.word0 = 3 | kzm::Blend::clip_dsta;
  EXPECT_EQ(RecordOf(l)[kClipping], 0);
  l.blend.word0 = 3 | kzm::Blend::clip_dsta | kzm::Blend::lockdonly;
  Bytes rec = RecordOf(l);
  EXPECT_EQ(rec[kClipping], 1);
  EXPECT_EQ(std::string(rec.begin() + kKey, rec.begin() + kKey + 4), "mul ");

  // Every mode writes the key of the table; those without a kernel "norm".
  int rows = 0;
  const blend::ColorModeRow* table = blend::ColorModeTable(&rows);
  for (int i = 0; i < rows; ++i) {
    l.blend.word0 = table[i].id;
    rec = RecordOf(l);
    EXPECT_EQ(std::string(rec.begin() + kKey, rec.begin() + kKey + 4),
              table[i].hasKernel ? table[i].psdWrite : "norm")
        << table[i].name;
  }
  l.blend.word0 = 1;

  EXPECT_EQ(RecordOf(l)[kFlags], 8);
  l.visible = 0;
  l.alphaLock = 1;
  EXPECT_EQ(RecordOf(l)[kFlags], 11);

  l.planeLock = 1, l.lockPosition = 1, l.lockAll = 1;
  rec = RecordOf(l);
  const size_t lspf = kName + 4 + 8 + 4 + 4 + 4;  // name "L", "luni" with one unit
  EXPECT_EQ(std::string(rec.begin() + long(lspf), rec.begin() + long(lspf) + 8), "8BIMlspf");
  EXPECT_EQ(Get32(rec, lspf + 12), 0x80000007u);
}

TEST(PsdOut, LongNamesAreCutOnACharacterBoundary) {
  if (!iio::SystemCharset().empty())
    GTEST_SKIP() << "system character set is " << iio::SystemCharset()
                 << ", not UTF-8 (other character sets: Codepage tests)";
  // 300 bytes: one ASCII byte then two-byte characters, so byte 254 is the
  // second byte of a character.
  std::string name = "x";
  while (name.size() < 300) name += "\xC3\xA9";
  name.resize(299);
  const Bytes rec = RecordOf(Layer(0, 0, 1, 1, name));
  const uint8_t n = rec[kName];
  EXPECT_EQ(n, 255);
  EXPECT_EQ(std::string(rec.begin() + kName + 1, rec.begin() + kName + 1 + n), name.substr(0, n));

  std::string even;
  while (even.size() < 300) even += "\xC3\xA9";
  const Bytes rec2 = RecordOf(Layer(0, 0, 1, 1, even));
  EXPECT_EQ(rec2[kName], 254);  // 255 would split the 128th character
  // (1 + 254) is not a multiple of 4: one zero byte of padding.
  EXPECT_EQ(rec2[kName + 1 + 254], 0);
  EXPECT_EQ(std::string(rec2.begin() + kName + 256, rec2.begin() + kName + 264), "8BIMluni");
  // The full name is kept in "luni": 150 units.
  EXPECT_EQ(Get32(rec2, kName + 268), 150u);
}

// The planar channel bytes of the merged image at the end of a file.
Bytes MergedPlanes(const Bytes& f, uint32_t w, uint32_t h) {
  const size_t at = kLmiAt + 4 + Get32(f, kLmiAt);
  const size_t n = size_t(w) * h;
  if (Get16(f, at) == 0) return Bytes(f.begin() + long(at) + 2, f.end());
  Bytes out(4 * n);
  size_t src = at + 2 + 8 * size_t(h);
  for (size_t row = 0; row < 4 * size_t(h); ++row) {
    const size_t count = Get16(f, at + 2 + 2 * row);
    EXPECT_TRUE(iio::PackBitsDecode(&out[row * w], &out[row * w] + w, &f[src], &f[src] + count));
    src += count;
  }
  return out;
}

TEST(PsdOut, TransparentPixelsAreZeroInLayersAndWhiteInTheMergedImage) {
  const Bytes f = Write(1, 1, {Layer(0, 0, 1, 1)}, PixelRGBA{9000, 700, 16384, 0});
  EXPECT_EQ(MergedPlanes(f, 1, 1), (Bytes{255, 255, 255, 0}));
  const iiotest::ReadResult r = iiotest::ReadBytes(f);
  ASSERT_EQ(r.images.size(), 2u);
  EXPECT_EQ(r.images[0].pixels, std::vector<uint32_t>{0u});
  uint8_t px[4];
  iio::PsdOut::ToBytes(PixelRGBA{1, 2, 3, 0}, px);
  EXPECT_EQ(px[0] | px[1] | px[2] | px[3], 0);
}

// The merged image's colour is stored matted on white, c * a / 255 + 255 - a
// rounded, and read back as (s - 255 + a) * 255 / a rounded; layer colour is
// stored as it is. Every transparency value, with colours at the ends and
// in between.
TEST(PsdOut, MergedImageIsMattedOnWhiteLayersAreNot) {
  const uint32_t w = 256, colours[] = {0xC8FF1E, 0x000000, 0xFE8001, 0xFFFFFF};
  const uint32_t h = uint32_t(std::size(colours));
  std::vector<PixelRGBA> px;
  for (uint32_t c : colours)
    for (uint32_t a = 0; a < w; ++a) px.push_back(PixelFrom8(c | a << 24));
  const layer_param_t l = Layer(0, 0, int32_t(w), int32_t(h));
  iio::MemoryStream out;
  {
    iio::PsdOut psd(out);
    ASSERT_TRUE(psd.Begin(w, h, {l}));
    ASSERT_TRUE(psd.BeginLayer(l));
    ASSERT_TRUE(psd.WriteRows(px.data(), h));
    ASSERT_TRUE(psd.EndLayer());
    ASSERT_TRUE(psd.WriteRows(px.data(), h));
    ASSERT_TRUE(psd.Finish());
  }
  const Bytes f = out.Bytes();
  const Bytes planes = MergedPlanes(f, w, h);
  ASSERT_EQ(planes.size(), 4u * w * h);
  const iiotest::ReadResult r = iiotest::ReadBytes(f);
  ASSERT_EQ(r.images.size(), 2u);
  for (size_t i = 0; i < px.size(); ++i) {
    uint8_t b[4];
    iio::PsdOut::ToBytes(px[i], b);
    const uint32_t layer = r.images[0].pixels[i], merged = r.images[1].pixels[i];
    ASSERT_EQ(layer, uint32_t(b[0] | b[1] << 8 | b[2] << 16 | b[3] << 24)) << i;
    const int a = b[3];
    ASSERT_EQ(planes[3 * w * h + i], a);
    ASSERT_EQ(merged, iiotest::ThroughMatte(layer)) << i;
    const uint32_t stored = iiotest::MatteOnWhite(layer);
    for (int c = 0; c < 3; ++c) {
      ASSERT_EQ(planes[c * w * h + i], stored >> (8 * c) & 0xFF) << "pixel " << i << " channel " << c;
      // The way through the matte loses at most half a step of a.
      if (a >= 16) {
        ASSERT_LE(std::abs(int(merged >> (8 * c) & 0xFF) - b[c]), 8) << "pixel " << i << " channel " << c;
      }
    }
  }
}

TEST(PsdOut, EightBitValuesSurviveTheModelAndBack) {
  uint8_t px[4];
  // Every transparency byte comes back; at full coverage every colour too.
  for (uint32_t a = 1; a < 256; ++a) {
    iio::PsdOut::ToBytes(PixelFrom8(0x00000000u | (a << 24)), px);
    EXPECT_EQ(px[3], a);
  }
  for (uint32_t c = 0; c < 256; ++c) {
    iio::PsdOut::ToBytes(PixelFrom8(c | (c << 8) | (c << 16) | 0xFF000000u), px);
    EXPECT_EQ(px[0], c);
    EXPECT_EQ(px[2], c);
  }
  // Colour equal to alpha is white at any coverage.
  for (uint32_t a = 1; a <= 16384; ++a) {
    iio::PsdOut::ToBytes(PixelRGBA{uint16_t(a), uint16_t(a), 0, uint16_t(a)}, px);
    ASSERT_EQ(px[0], 255) << a;
    ASSERT_EQ(px[2], 0) << a;
  }
  // Out-of-range input is clamped rather than wrapped.
  iio::PsdOut::ToBytes(PixelRGBA{65535, 65535, 65535, 65535}, px);
  EXPECT_EQ(px[0], 255);
  EXPECT_EQ(px[3], 255);
}

TEST(PsdOut, CallsOutOfOrderAndWrongRowCountsFail) {
  {
    iio::MemoryStream out;
    iio::PsdOut psd(out);
    EXPECT_FALSE(psd.Begin(0, 5, {}));
    EXPECT_NE(psd.LastError(), 0);
  }
  {
    iio::MemoryStream out;
    iio::PsdOut psd(out);
    ASSERT_TRUE(psd.Begin(2, 2, {Layer(0, 0, 2, 2)}));
    EXPECT_FALSE(psd.Finish());  // layer still to write
    EXPECT_EQ(psd.LastError(), iio::kPsdOutOrder);
  }
  {
    iio::MemoryStream out;
    iio::PsdOut psd(out);
    const layer_param_t l = Layer(0, 0, 2, 2);
    ASSERT_TRUE(psd.Begin(2, 2, {l}));
    ASSERT_TRUE(psd.BeginLayer(l));
    std::vector<PixelRGBA> rows(6);
    EXPECT_FALSE(psd.WriteRows(rows.data(), 3));  // one row too many
    EXPECT_FALSE(psd.EndLayer());
  }
  {
    iio::MemoryStream out;
    iio::PsdOut psd(out);
    const layer_param_t l = Layer(0, 0, 2, 2);
    ASSERT_TRUE(psd.Begin(2, 2, {l}));
    ASSERT_TRUE(psd.BeginLayer(l));
    std::vector<PixelRGBA> rows(2);
    ASSERT_TRUE(psd.WriteRows(rows.data(), 1));
    EXPECT_FALSE(psd.EndLayer());  // one row short
  }
  {
    iio::WriteStream closed;  // never opened: every write is refused
    iio::PsdOut psd(closed);
    EXPECT_FALSE(psd.Begin(2, 2, {}));
    EXPECT_EQ(psd.LastError(), iio::kPsdOutStream);
  }
}

// A stream that loses one write: the first one to reach past `limit` bytes is
// refused, later ones are taken again.
class LossyStream : public iio::MemoryStream {
 public:
  explicit LossyStream(size_t limit) : limit_(limit) {}
  size_t Write(const void* bytes, size_t count) override {
    if (!lost_ && Tell() + count > limit_) {
      lost_ = true;
      return 0;
    }
    return MemoryStream::Write(bytes, count);
  }

 private:
  size_t limit_;
  bool lost_ = false;
};

// Wherever the stream gives out (in the records, in a layer's channel data,
// which is written while the next layer is encoded, or in the merged image),
// a call fails with the stream error, every later one fails too, and Finish
// never reports success.
TEST(PsdOut, StreamFailingAnywhereFailsTheFile) {
  const std::vector<layer_param_t> layers{Layer(0, 0, 300, 200), Layer(5, 5, 290, 180), Layer(0, 0, 300, 200)};
  const size_t full = Write(300, 200, layers).size();
  for (unsigned threads : {1u, 2u}) {
    chunk::SetWorkThreadLimit(threads);
    for (size_t limit = 40; limit < full; limit += full / 37) {
      LossyStream out(limit);
      iio::PsdOut psd(out);
      bool failed = !psd.Begin(300, 200, layers);
      auto step = [&](bool ok) {
        if (failed) {
          EXPECT_FALSE(ok) << "a call succeeded after a failure, limit " << limit;
        }
        failed = failed || !ok;
      };
      std::vector<PixelRGBA> row(300, PixelRGBA{9000, 4000, 100, 16384});
      for (const layer_param_t& l : layers) {
        step(psd.BeginLayer(l));
        for (int64_t y = 0; y < l.Height(); ++y) step(psd.WriteRows(row.data(), 1));
        step(psd.EndLayer());
      }
      for (int y = 0; y < 200; ++y) step(psd.WriteRows(row.data(), 1));
      step(psd.Finish());
      EXPECT_TRUE(failed) << "limit " << limit;
      EXPECT_EQ(psd.LastError(), iio::kPsdOutStream) << "limit " << limit;
    }
    chunk::SetWorkThreadLimit(0);
  }
}

TEST(PsdOut, WriteStreamPatchesAndDiscards) {
  const std::string dir = iiotest::MakeTempDir();
  const std::string path = dir + "/out.psd";
  {
    iio::WriteStream s(path);
    ASSERT_TRUE(s.Open());
    iio::PsdOut psd(s);
    const Bytes expect = Write(3, 2, {Layer(1, 0, 3, 2)});
    ASSERT_TRUE(psd.Begin(3, 2, {Layer(1, 0, 3, 2)}));
    ASSERT_TRUE(psd.BeginLayer(Layer(1, 0, 3, 2)));
    std::vector<PixelRGBA> row(3, PixelRGBA{16384, 0, 0, 16384});
    ASSERT_TRUE(psd.WriteRows(row.data(), 1));
    ASSERT_TRUE(psd.WriteRows(row.data(), 1));
    ASSERT_TRUE(psd.EndLayer());
    ASSERT_TRUE(psd.WriteRows(row.data(), 1));
    ASSERT_TRUE(psd.WriteRows(row.data(), 1));
    ASSERT_TRUE(psd.Finish());
    EXPECT_EQ(s.Size(), expect.size());
    ASSERT_TRUE(s.Close());
    EXPECT_EQ(iiotest::LoadFile(path), expect);
  }
  {
    iio::WriteStream s(path);
    ASSERT_TRUE(s.Open());
    s.Write("xyz", 3);
    s.Discard();
    EXPECT_TRUE(iiotest::LoadFile(path).empty());
    FILE* f = std::fopen(path.c_str(), "rb");
    EXPECT_EQ(f, nullptr);
    if (f) std::fclose(f);
  }
  std::remove(dir.c_str());
}

}  // namespace
