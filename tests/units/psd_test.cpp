// The PSD reader and writer: failures and what they say, rows decoded by
// the caller, ZIP channels, 16-bit pixels, and layer names in charsets.
#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <thread>
#include <vector>

#include "base/data_src.h"
#include "blend/pixel.h"
#include "chunk/chunk_writer.h"
#include "iio/psd_zip.h"
#include "iio/codepage.h"
#include "iio/psd.h"
#include "iio/psd_color.h"
#include "iio/psd_out.h"
#include "kzm/cell.h"
#include "kzm/doc_save.h"
#include "kzm/pi_image.h"
#include "kzm/tile.h"
#include "support/psd.h"
#include "support/sinks.h"

namespace {

using iio::layer_param_t;

layer_param_t Layer(int32_t l, int32_t t, int32_t r, int32_t b) {
  layer_param_t p;
  p.left = l, p.top = t, p.right = r, p.bottom = b;
  p.name = "layer";
  return p;
}

// Wherever the stream gives out (records, channel data, a rectangle filled
// in later, the merged image), a call fails with the stream error, and every
// later one and Finish too.
TEST(PsdWriter, AStreamFailingAnywhereFailsTheFile) {
  const std::vector<layer_param_t> layers{Layer(0, 0, 300, 200), Layer(5, 5, 290, 180), Layer(0, 0, 300, 200)};
  std::vector<PixelRGBA> row(300);
  for (size_t x = 0; x < row.size(); ++x) row[x] = PixelRGBA{uint16_t(x * 50), 4000, 100, 16384};
  size_t full = 0;
  for (size_t limit = 40; full == 0 || limit < full; limit += full ? full / 37 : 0) {
    ts::ShortStream out(full ? limit : SIZE_MAX, true);
    iio::PsdOut psd(out, "");
    bool failed = !psd.Begin(300, 200, std::vector<layer_param_t>(layers.size(), Layer(0, 0, 0, 0)));
    auto step = [&](bool ok) {
      if (failed) {
        EXPECT_FALSE(ok) << "a call succeeded after a failure, limit " << limit;
      }
      failed = failed || !ok;
    };
    iio::PsdRows rows;
    auto put = [&](size_t width, int64_t count, bool matte) {
      iio::EncodePsdRows(row.data(), width, 1, matte, rows);
      for (int64_t y = 0; y < count; ++y) step(psd.AddRows(rows));
    };
    for (const layer_param_t& l : layers) {
      step(psd.BeginLayer(l.left, l.top, l.right, l.bottom));
      put(size_t(l.Width()), l.Height(), false);
      step(psd.EndLayer());
    }
    put(300, 200, true);
    step(psd.Finish());
    if (full == 0) {  // the first pass measures the whole file
      ASSERT_FALSE(failed);
      full = out.Bytes().size();
      continue;
    }
    EXPECT_TRUE(failed) << "limit " << limit;
    EXPECT_EQ(psd.LastError(), iio::kPsdOutStream) << "limit " << limit;
    const std::string& detail = psd.LastErrorDetail();
    const size_t tail = std::min(detail.size(), out.Refused().size());
    EXPECT_EQ(detail.substr(detail.size() - tail), out.Refused()) << limit;
  }
}

// A failure names where the writer was and what was wrong; a call out of
// order or a row count that does not add up fails with it.
TEST(PsdWriter, AFailureSaysWhereAndWhat) {
  std::vector<PixelRGBA> row(300);
  iio::PsdRows rows;
  iio::EncodePsdRows(row.data(), 20, 1, false, rows);
  const std::vector<layer_param_t> two(2, Layer(0, 0, 0, 0));
  for (int given : {0, 1}) {
    ts::MemoryStream out;
    iio::PsdOut psd(out, "");
    ASSERT_TRUE(psd.Begin(30, 10, two) && psd.BeginLayer(2, 2, 22, 7));
    ASSERT_TRUE(given == 0 || psd.AddRows(rows));
    EXPECT_FALSE(psd.EndLayer());
    EXPECT_EQ(psd.LastError(), iio::kPsdOutOrder);
    EXPECT_EQ(psd.LastErrorDetail(), "layer 0: ended after " + std::to_string(given) + " rows of 5");
  }
  ts::MemoryStream out;
  iio::PsdOut psd(out, "");
  EXPECT_FALSE(psd.Begin(30, 10, {Layer(0, 0, 0, 0)}, iio::PsdOutFormat{12, false}));
  EXPECT_EQ(psd.LastErrorDetail(), "header: a depth of 12 bits (8 or 16)");
  ts::MemoryStream out2;
  iio::PsdOut psd2(out2, "");
  ASSERT_TRUE(psd2.Begin(30, 10, two));
  ASSERT_TRUE(psd2.BeginLayer(0, 0, 20, 1) && psd2.AddRows(rows) && psd2.EndLayer());
  EXPECT_FALSE(psd2.BeginLayer(0, 0, 70000, 1));
  EXPECT_EQ(psd2.LastErrorDetail(), "layer 1: a rectangle of 70000 x 1 pixels (at most 65536 a side)");
  EXPECT_EQ(psd2.LastError(), iio::kPsdOutOrder);
}

// What a reader hands out for the first layer: rows, progress, the error it ends with.
struct LayerRows {
  std::vector<uint32_t> px;
  std::vector<uint64_t> progress;
  int32_t error = -1;
  std::string detail;
};

// Reads the layer in windows of 16 rows: with ReadRows, or decoded by the
// caller in batches of 8 rows, each on a thread of its own, and then taken.
LayerRows ReadFirstLayer(const std::string& bytes, bool byCaller) {
  DataSrcMemory src(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  iio::Psd psd(src, "");
  LayerRows r;
  psd.SetProgress([&](uint64_t, uint64_t, uint64_t done, uint64_t) {
    r.progress.push_back(done);
    return true;
  });
  layer_param_t p;
  EXPECT_TRUE(psd.Open() > 0 && psd.NextImage(p));
  const uint32_t w = uint32_t(p.Width()), h = uint32_t(p.Height());
  EXPECT_FALSE(psd.RowsDecodable(h - 4, 8));
  for (uint32_t row = 0; row < h;) {
    const uint32_t n = std::min(16u, h - row);
    std::vector<uint32_t> px(size_t(n) * w);
    if (byCaller) {
      EXPECT_TRUE(psd.RowsDecodable(row, n));
      uint32_t decoded[2] = {};
      std::vector<std::thread> batches;
      for (uint32_t b = 0; 8 * b < n; ++b)
        batches.emplace_back([&, b] {
          decoded[b] = psd.DecodeRows(row + 8 * b, std::min(8u, n - 8 * b), px.data() + size_t(8 * b) * w);
        });
      for (std::thread& t : batches) t.join();
      if (psd.TakeRows(n, decoded[0] < std::min(8u, n) ? decoded[0] : decoded[0] + decoded[1]) != n) break;
    } else {
      if (psd.ReadRows(n) != n) break;
      for (uint32_t i = 0; i < n; ++i)
        std::copy_n(psd.RowPointer(int32_t(p.top + row + i)), w, px.data() + size_t(i) * w);
    }
    r.px.insert(r.px.end(), px.begin(), px.end());
    row += n;
  }
  r.error = psd.ErrorCode();
  r.detail = psd.ErrorDetail();
  return r;
}

// Rows decoded by the caller on any threads are the rows ReadRows hands out
// (raw and PackBits channels, a user mask over part of the layer); a row
// that does not decode ends the read there, after its progress, alike.
TEST(PsdReader, RowsDecodedByTheCallerAreTheRowsReadInOrder) {
  const uint32_t w = 20, h = 40;
  std::vector<uint32_t> rgba(w * h);
  for (uint32_t i = 0; i < rgba.size(); ++i) rgba[i] = ts::Rgba(i % 7 * 30, i / 3 % 256, 90, 100 + i % 5 * 30);
  for (int bad : {-1, 0, 13, 15, 39}) {
    ts::PsdSpec spec;
    spec.width = 30, spec.height = 50;
    ts::LayerSpec layer = ts::RgbaLayer(3, 2, 3 + int32_t(w), 2 + int32_t(h), rgba, "L");
    layer.channels[0].compression = 0;
    ts::ChannelSpec mask;
    mask.id = -2, mask.width = 13, mask.height = 25;
    for (uint32_t i = 0; i < mask.width * mask.height; ++i) mask.pixels.push_back(uint8_t(i * 37));
    layer.channels.push_back(mask);
    layer.mask = ts::MaskData(5, 10, 18, 35, 0x40, 0);
    if (bad >= 0) {
      // A green row of plausible length that decodes to one byte.
      ts::ChannelSpec& g = layer.channels[1];
      std::string data("\0\1", 2);
      for (uint32_t y = 0; y < h; ++y) data += std::string("\0\2", 2);
      for (uint32_t y = 0; y < h; ++y) data += int(y) == bad ? std::string("\0\7", 2) : std::string("\xED\x11", 2);
      g.rawData = true;
      g.data = ts::ToBytes(data);
    }
    spec.layers = {layer};
    const std::string bytes = ts::BuildPsd(spec);
    const LayerRows inOrder = ReadFirstLayer(bytes, false), byCaller = ReadFirstLayer(bytes, true);
    EXPECT_EQ(byCaller.px, inOrder.px) << bad;
    EXPECT_EQ(byCaller.progress, inOrder.progress) << bad;
    EXPECT_EQ(byCaller.error, inOrder.error) << bad;
    EXPECT_EQ(inOrder.error, bad < 0 ? iio::kPsdOk : iio::kPsdBadRow) << bad;
    EXPECT_EQ(byCaller.detail, inOrder.detail) << bad;
    EXPECT_EQ(inOrder.detail,
              bad < 0 ? "" : "layer 0: channel 1: PackBits row " + std::to_string(bad) + " of 2 bytes does not decode to 20 bytes");
    EXPECT_EQ(inOrder.px.size(), bad < 0 ? size_t(w * h) : size_t(bad / 16 * 16 * w)) << bad;
    if (bad >= 0) {
      EXPECT_EQ(inOrder.progress.back(), uint64_t(bad)) << bad;
    }
  }
}

// Each failure of a damaged file names the section, record, layer or
// channel and what was wrong there.
TEST(PsdReader, AFailureSaysWhereAndWhat) {
  auto detail = [](const std::string& bytes) {
    DataSrcMemory src(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    iio::Psd psd(src, "");
    for (uint32_t k = 0, n = psd.Open(); k < n; ++k) {
      layer_param_t p;
      if (!psd.NextImage(p)) break;
      if (psd.ReadRows(uint32_t(p.Height())) < p.Height()) break;
    }
    EXPECT_NE(psd.ErrorCode(), 0);
    return psd.ErrorDetail();
  };
  const std::string hostile = ts::DataDir() + "/hostile/";
  const std::map<std::string, std::string> want = {
      {"psd-colour-data-length-beyond-file.psd", "colour mode data: 4294967280 bytes, past the file's end (258 bytes left)"},
      {"psd-resources-length-beyond-file.psd", "image resources: 4294967280 bytes, past the file's end (254 bytes left)"},
      {"psd-layer-count-32767.psd", "layer record 1 of 32767: a rectangle of 16843009 x 0 (at most 65536 a side)"},
      {"psd-mask-rectangle-of-2-gib.psd", "layer record 0 of 1: a mask rectangle of 2147483648 x 2147483648 (at most 65536 a side)"},
      {"psd-channel-length-beyond-file.psd", "layer 0: channel data of 4294967325 bytes, past the file's end (174 bytes left)"},
      {"psd-rectangle-60000-without-rows.psd", "layer 0: channel 0: raw data of 8 bytes for 3600000000 bytes of rows"},
      {"psd-packbits-overrun-0.psd", "layer 0: channel 0: PackBits row 0 of 5 bytes does not decode to 4 bytes"},
      {"psd-merged-30000-square-of-8-bytes.psd", "merged image: the file ends before its rows (10 bytes left)"},
  };
  for (const auto& [name, text] : want) EXPECT_EQ(detail(ts::ReadFile(hostile + name)), text) << name;
  ts::PsdSpec spec;
  std::string bytes = ts::BuildPsd(spec);
  EXPECT_EQ(detail(bytes.substr(0, 20)), "header: the file's 20 bytes cannot hold one");
  bytes[5] = 3;
  EXPECT_EQ(detail(bytes), "header: version 3");
  // A row that a pass over a few rows cannot read says why; the reader goes on.
  bytes = ts::ReadFile(hostile + "psd-packbits-overrun-1.psd");
  DataSrcMemory src(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  iio::Psd psd(src, "");
  layer_param_t p;
  ASSERT_TRUE(psd.Open() > 0 && psd.NextImage(p));
  std::vector<uint32_t> row(size_t(p.Width()));
  std::string why;
  EXPECT_FALSE(psd.RowAt(0, row.data(), &why));
  EXPECT_EQ(why, "layer 0: channel 0: PackBits row 0 of 2 bytes does not decode to 4 bytes");
  EXPECT_EQ(psd.ErrorCode(), 0);
}

std::vector<uint8_t> Deflate(const std::vector<uint8_t>& raw) {
  uLongf n = compressBound(uLong(raw.size()));
  std::vector<uint8_t> z(n);
  EXPECT_EQ(compress(z.data(), &n, raw.data(), uLong(raw.size())), Z_OK);
  z.resize(n);
  return z;
}

// Prediction written out per depth: differences of bytes (8), of big-endian
// words (16), of the bytes of a row laid out as byte planes (32).
std::vector<uint8_t> Predict(const std::vector<uint8_t>& raw, uint32_t w, uint32_t h, uint32_t depth) {
  const size_t rb = size_t(w) * depth / 8;
  std::vector<uint8_t> out(raw.size());
  for (size_t y = 0; y < h; ++y) {
    const uint8_t* r = &raw[y * rb];
    uint8_t* o = &out[y * rb];
    if (depth == 16) {
      for (size_t x = w; x-- > 0;) {
        const unsigned v = unsigned(r[2 * x] << 8 | r[2 * x + 1]), p = x ? unsigned(r[2 * x - 2] << 8 | r[2 * x - 1]) : 0;
        o[2 * x] = uint8_t((v - p) >> 8), o[2 * x + 1] = uint8_t(v - p);
      }
      continue;
    }
    std::vector<uint8_t> planes(rb);
    for (size_t x = 0; x < rb; ++x) planes[x] = depth == 32 ? r[4 * (x % w) + x / w] : r[x];
    for (size_t x = 0; x < rb; ++x) o[x] = uint8_t(planes[x] - (x ? planes[x - 1] : 0));
  }
  return out;
}

// CMYK without a profile: R = (1 - C)(1 - K) on ink amounts, with PSD's
// inverted samples (255: no ink), so R is the product of the stored C and K.
TEST(PsdColor, CmykWithoutAProfileIsTheInkFormula) {
  iio::PsdColor color;
  ASSERT_TRUE(color.Init(iio::kPsdCMYK, 8, nullptr, 0, nullptr, 0));
  ASSERT_FALSE(color.Managed());
  std::vector<uint8_t> c, m, y, k, a;
  for (int i = 0; i < 256; ++i) {
    c.push_back(uint8_t(i)), m.push_back(uint8_t(255 - i)), y.push_back(uint8_t(i * 7));
    k.push_back(uint8_t(i * 13 + 40)), a.push_back(uint8_t(i * 3));
  }
  const uint8_t* planes[4] = {c.data(), m.data(), y.data(), k.data()};
  iio::PsdColor::Scratch scratch;
  std::vector<uint64_t> out(256);
  color.ConvertRow(planes, a.data(), 256, scratch, out.data());
  for (int i = 0; i < 256; ++i) {
    const double kk = k[size_t(i)] / 255.0;
    const double want[3] = {c[size_t(i)] / 255.0 * kk, m[size_t(i)] / 255.0 * kk, y[size_t(i)] / 255.0 * kk};
    for (int ch = 0; ch < 3; ++ch)
      EXPECT_NEAR(double(out[size_t(i)] >> (16 * ch) & 0xFFFF), want[ch] * 65535, 0.51) << i << " " << ch;
    EXPECT_EQ(out[size_t(i)] >> 48, uint64_t(a[size_t(i)]) * 257) << i;
  }
}

// ZIP channels with and without prediction at every depth decode to their
// samples, also from a copy taken midway; a stream cut short or longer than
// its rows fails.
TEST(PsdZip, StreamsDecodeToTheirSamplesAtEveryDepth) {
  const uint32_t w = 13, h = 7;
  for (uint32_t depth : {1u, 8u, 16u, 32u}) {
    const uint64_t rb = iio::PsdRowBytes(w, depth);
    std::vector<uint8_t> raw(size_t(rb) * h);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(i * 73 + (i >> 3) * 11);
    for (bool prediction : {false, true}) {
      if (depth == 1 && prediction) continue;
      SCOPED_TRACE(std::to_string(depth) + (prediction ? " predicted" : ""));
      const std::vector<uint8_t> z = Deflate(prediction ? Predict(raw, w, h, depth) : raw);
      std::vector<uint8_t> out(raw.size() + 1);
      EXPECT_TRUE(iio::DecodePsdZip(z.data(), z.size(), w, h, depth, prediction, out.data(), out.size()));
      EXPECT_TRUE(std::equal(raw.begin(), raw.end(), out.begin()));
      EXPECT_FALSE(iio::DecodePsdZip(z.data(), z.size() - 3, w, h, depth, prediction, out.data(), out.size()));
      EXPECT_FALSE(iio::DecodePsdZip(z.data(), z.size(), w, h - 1, depth, prediction, out.data(), out.size()));
      iio::PsdZipRows rows(z.data(), z.size(), w, h, depth, prediction);
      ASSERT_TRUE(rows.SkipRows(3));
      std::unique_ptr<iio::PsdZipRows> copy = rows.Fork();
      ASSERT_TRUE(copy);
      std::vector<uint8_t> a(size_t(rb) * 4), b(a.size());
      ASSERT_TRUE(rows.ReadRows(a.data(), 4) && copy->ReadRows(b.data(), 4));
      EXPECT_TRUE(a == b && std::equal(a.begin(), a.end(), raw.begin() + long(3 * rb)));
      EXPECT_TRUE(rows.Finish());
    }
  }
}

// A merged image stored as one ZIP stream over its channels, with and
// without prediction, in 8 and 16 bits, reads as the same rows stored raw.
TEST(PsdReader, AZipMergedImageReadsAsItsRawRows) {
  const uint32_t w = 19, h = 11, channels = 4;
  for (uint16_t depth : {8, 16}) {
    SCOPED_TRACE(depth);
    ts::PsdSpec spec;
    spec.width = w, spec.height = h, spec.depth = depth, spec.mergedCompression = 0;
    const std::string file = ts::BuildPsd(spec);
    const size_t rowBytes = size_t(w) * depth / 8, rawMerged = size_t(w) * h * channels;
    // Every sample differs from its neighbours; the transparency is soft.
    std::vector<uint8_t> planes(rowBytes * h * channels);
    for (size_t i = 0; i < planes.size(); ++i) planes[i] = uint8_t(i * 29 + (i / rowBytes) * 7 + 40);
    const std::string head = file.substr(0, file.size() - 2 - rawMerged);
    auto merged = [&](uint16_t compression, const std::vector<uint8_t>& data) {
      const ts::PsdFile f = ts::ReadPsd(head + std::string("\0", 1) + char(compression) + ts::Str(data));
      EXPECT_EQ(f.error, 0) << compression;
      return f.images.empty() ? ts::Image() : f.images.back();
    };
    const ts::Image raw = merged(0, planes);
    ASSERT_EQ(raw.px.size(), size_t(w) * h);
    EXPECT_EQ(raw.px16.empty(), depth == 8);
    const std::vector<uint8_t> predicted = Deflate(Predict(planes, w, h * channels, depth));
    for (const ts::Image& img : {merged(2, Deflate(planes)), merged(3, predicted)}) {
      EXPECT_EQ(img.px, raw.px);
      EXPECT_EQ(img.px16, raw.px16);
    }
    // Rows asked for out of order: the stream starts again for an earlier one.
    const std::string bytes = head + std::string("\0\3", 2) + ts::Str(predicted);
    DataSrcMemory src(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    iio::Psd psd(src, "");
    layer_param_t p;
    ASSERT_TRUE(psd.Open() == 1 && psd.NextImage(p));
    for (uint32_t row : {h - 1, 0u, 6u, 5u}) {
      std::vector<uint32_t> px(w);
      std::vector<uint64_t> px16(w);
      ASSERT_TRUE(depth == 8 ? psd.RowAt(row, px.data()) : psd.RowAt(row, px16.data())) << row;
      if (depth == 8) {
        EXPECT_TRUE(std::equal(px.begin(), px.end(), raw.px.begin() + row * w)) << row;
      } else {
        EXPECT_TRUE(std::equal(px16.begin(), px16.end(), raw.px16.begin() + row * w)) << row;
      }
    }
  }
}

// Grayscale layers and merged image keep their transparency, the merged one off its white.
TEST(PsdReader, GrayscaleLayersAndMergedImageKeepTheirTransparency) {
  const uint32_t w = 16, h = 3;
  ts::PsdSpec spec;
  spec.width = w, spec.height = h, spec.mode = 1, spec.channels = 2, spec.matteMerged = false;
  std::vector<uint32_t> rgba;
  for (uint32_t i = 0; i < w * h; ++i) {
    rgba.push_back(ts::Rgba(i * 17 % 256, 0, 0, 255 - i * 5));
    spec.merged.push_back(ts::Rgba(i * 13 % 256, 255 - i * 5, 0, 0));  // gray, then transparency
  }
  spec.layers = {ts::RgbaLayer(0, 0, int32_t(w), int32_t(h), rgba, "gray")};
  auto& channels = spec.layers[0].channels;
  channels.erase(channels.begin() + 1, channels.begin() + 3);  // gray and transparency
  channels[1].compression = 0;
  const ts::PsdFile f = ts::ReadPsd(ts::BuildPsd(spec));
  ASSERT_EQ(f.error, 0);
  ASSERT_EQ(f.images.size(), 2u);
  for (uint32_t i = 0; i < w * h; ++i) {
    ASSERT_EQ(f.images[0].px[i], uint32_t(i * 17 % 256) * 0x010101u | (255 - i * 5) << 24) << i;
    const uint32_t g = i * 13 % 256, a = 255 - i * 5;
    ASSERT_EQ(f.images[1].px[i], ts::Unmatte(g * 0x010101u | a << 24)) << i;
  }
}

// Straight 16-bit pixels reach the model rounded to the nearest step: alpha
// to round(a * 16384 / 65535), colour to round(c * alpha / 65535). The
// writer's samples map back to every valid model pixel; values outside the
// valid range come back clamped to it.
TEST(Pixel16, MapsToTheNearestModelValueAndBack) {
  for (uint32_t a = 0; a <= 65535; a += 13) {
    const uint32_t c = (a * 7919u) & 0xFFFF;
    const PixelRGBA p = PixelFrom16(iio::Pack16(c, 65535 - c, a, a));
    const double al = std::round(a * 16384.0 / 65535);
    ASSERT_EQ(p.a, al) << a;
    ASSERT_EQ(p.r, std::round(c * al / 65535)) << a;
    ASSERT_EQ(p.g, std::round((65535 - c) * al / 65535)) << a;
    ASSERT_LE(p.b, p.a);
  }
  for (uint32_t a = 0; a <= 16384; ++a)
    for (uint32_t c = 0; c <= a; c = c < 8 || a < 512 || c + 70 > a ? c + 1 : c + 61) {
      const PixelRGBA p{uint16_t(c), uint16_t(a - c), uint16_t(c / 3), uint16_t(a)};
      ASSERT_EQ(PixelFrom16(PixelTo16(p)), p) << c << " " << a;
    }
  EXPECT_EQ(PixelFrom16(PixelTo16(PixelRGBA{900, 5, 0, 800})), (PixelRGBA{800, 5, 0, 800}));
  EXPECT_EQ(PixelFrom16(PixelTo16(PixelRGBA{20000, 0, 0, 20000})), (PixelRGBA{16384, 0, 0, 16384}));
}

// Each depth and version reads back as written: layer pixels exactly (in 16
// bits the model pixel, in 8 its narrowing), the merged image's opaque ones
// too. A packed row of more than 65,535 bytes (a layer wider than the
// canvas) fits only a large document's row counts: a version-1 file stores
// its channel plain, and psd-tools reads it as written.
TEST(PsdWriter, EveryDepthAndVersionReadsBackAsWritten) {
  const uint32_t w = 33000, h = 3, canvas = 30000;
  std::vector<PixelRGBA> px(size_t(w) * h);
  uint32_t seed = 99;
  for (uint32_t x = 0; x < w; ++x) {
    seed = seed * 1103515245u + 12345u;
    const uint16_t a = x % 5 ? uint16_t((seed >> 8) % 16385) : x % 2 ? 16384 : 0;
    px[x] = PixelRGBA{uint16_t((seed >> 3) % (a + 1u)), uint16_t(a / 3), uint16_t(x % (a + 1u)), a};
    px[w + x] = x < w / 2 ? PixelRGBA{1000, 2000, 3000, 8000} : PixelRGBA{};
    px[2 * w + x] = PixelRGBA{16384, 0, 5, 16384};
  }
  for (uint32_t depth : {8u, 16u})
    for (bool large : {false, true}) {
      SCOPED_TRACE(std::to_string(depth) + (large ? " large" : ""));
      ts::MemoryStream out;
      iio::PsdOut psd(out, "");
      iio::PsdOutFormat format;
      format.depth = depth, format.large = large;
      ASSERT_TRUE(psd.Begin(canvas, h, {Layer(0, 0, 0, 0), Layer(0, 0, 0, 0)}, format));
      iio::PsdRows rows;
      auto put = [&](const PixelRGBA* from, size_t width, uint32_t count, bool matte) {
        (depth == 16 ? iio::EncodePsdRows16 : iio::EncodePsdRows)(from, width, count, matte, rows);
        return psd.AddRows(rows);
      };
      ASSERT_TRUE(psd.BeginLayer(0, 0, int32_t(w), int32_t(h)));
      ASSERT_TRUE(put(px.data(), w, 1, false) && put(px.data() + w, w, 2, false) && psd.EndLayer());
      ASSERT_TRUE(psd.BeginLayer(-7, 1, 9, 3) && put(px.data() + w + 100, 16, 1, false) &&
                  put(px.data() + 2 * w, 16, 1, false) && psd.EndLayer());
      for (uint32_t y = 0; y < h; ++y) ASSERT_TRUE(put(px.data() + y * w, canvas, 1, true));
      ASSERT_TRUE(psd.Finish());
      const std::string bytes(out.Bytes().begin(), out.Bytes().end());
      EXPECT_EQ(bytes[5], large ? 2 : 1);
      EXPECT_EQ(bytes[23], char(depth));
      const ts::PsdFile f = ts::ReadPsd(bytes);
      ASSERT_EQ(f.error, 0);
      ASSERT_EQ(f.images.size(), 3u);
      auto expect = [&](const ts::Image& img, const PixelRGBA* from, size_t width, bool opaqueOnly) {
        ASSERT_EQ(img.px.size(), size_t(img.p.Width() * img.p.Height()));
        for (size_t i = 0; i < img.px.size(); ++i) {
          const PixelRGBA& p = from[i / size_t(img.p.Width()) * width + i % size_t(img.p.Width())];
          if (opaqueOnly && p.a != 16384) continue;
          if (depth == 16) {
            ASSERT_EQ(PixelFrom16(img.px16[i]), p) << i;
          } else {
            ASSERT_EQ(img.px[i], ts::Narrow8(p)) << i;
          }
        }
      };
      expect(f.images[0], px.data(), w, false);
      expect(f.images[1], px.data() + w + 100, w - 100, false);
      expect(f.images[2], px.data(), w, true);
      if (depth == 16 && !large && ts::HavePsdTools()) {
        ts::TempDir dir;
        ts::WriteFile(dir / "plain.psd", bytes);
        ts::ExpectLayersAsPsdToolsReadsThem(dir / "plain.psd", f);
      }
    }
}

// A native document on a 64 x 64 canvas with one layer of red pixels at `xs` in row 0.
std::string NativeWithPixelsAt(const std::vector<int32_t>& xs) {
  ts::MemorySink mem;
  chunk::ChunkSink sink(mem.func());
  chunk::ChunkWriter& root = sink.beginRoot("VorletBitmapImage");
  const kzm::Rect canvas{0, 0, 64, 64};
  const kzm::ThumbGeometry g = kzm::ThumbnailGeometry(canvas);
  kzm::SaveDocumentHead(root, g, std::vector<PixelRGBA>(size_t(g.width) * size_t(g.height)), canvas);
  auto layer = kzm::PiImage::Create();
  const PixelRGBA clear[64] = {};
  for (int32_t x : xs) {
    PixelRGBA cell[64] = {};
    cell[x & 7] = PixelRGBA{16384, 0, 0, 16384};
    const int at = (x & 127) >> 3;  // the cell, in the tile's top row
    kzm::TileRef t = kzm::TileRef::Adopt(kzm::Tile::Create(kzm::TileLocate::ForPixel(x, 0), true));
    for (int i = 0; i < kzm::kTileCellCount; ++i) kzm::AssignPixels(t->MutableCells()[i], i == at ? cell : clear);
    layer->image()->InsertTile(t.release());
  }
  EXPECT_EQ(kzm::SaveLayer(root, *layer->image(), true, ProgressFunc(), 0, 1), 0);
  EXPECT_TRUE(root.end());
  return std::string(mem.bytes().begin(), mem.bytes().end());
}

// A layer may pass the canvas up to a large document's side (300,000): one
// that wide is written with its end pixels in place, a wider one refused as
// too large, not as a failed write, leaving nothing behind.
TEST(PsdExport, ALayerWiderThanALargeDocumentHoldsIsRefusedAsTooLarge) {
  if (ts::Exe().empty()) GTEST_SKIP() << "YVN2PSD_EXE is not set";
  ts::TempDir dir;
  ts::WriteFile(dir / "widest.yvn", NativeWithPixelsAt({-150000, 149999}));
  ts::RunResult r = ts::RunProgram(dir.path(), {"-q", "widest.yvn"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(r.out, "");
  const ts::PsdFile f = ts::ReadPsd(ts::ReadFile(dir / "widest.psd"));
  ASSERT_EQ(f.error, 0);
  ASSERT_EQ(f.images.size(), 2u);
  const layer_param_t& p = f.images[0].p;
  EXPECT_EQ((std::vector<int32_t>{p.left, p.top, p.right, p.bottom}), (std::vector<int32_t>{-150000, 0, 150000, 1}));
  EXPECT_EQ(f.images[0].At(-150000, 0), ts::Rgba(255, 0, 0, 255));
  EXPECT_EQ(f.images[0].At(149999, 0), ts::Rgba(255, 0, 0, 255));
  EXPECT_EQ(f.images[0].At(0, 0), 0u);

  ts::WriteFile(dir / "wider.yvn", NativeWithPixelsAt({-150000, 150000}));
  r = ts::RunProgram(dir.path(), {"-q", "wider.yvn"});
  EXPECT_NE(r.exit, 0);
  EXPECT_EQ(r.out, "\nerror(107):Too large\n");
  EXPECT_FALSE(ts::fs::exists(dir / "wider.psd"));
}

// A layer named `name` in `charset`, its "luni" block renamed so that readers pass over it.
std::string WithPascalNameOnly(const std::string& name, const std::string& charset) {
  ts::MemoryStream out;
  iio::PsdOut psd(out, charset);
  layer_param_t p = Layer(0, 0, 0, 0);
  p.name = name;
  iio::PsdRows rows;
  const PixelRGBA px[2] = {};
  EXPECT_TRUE(psd.Begin(2, 1, {p}) && psd.BeginLayer(0, 0, 0, 0) && psd.EndLayer());
  iio::EncodePsdRows(px, 2, 1, true, rows);
  EXPECT_TRUE(psd.AddRows(rows) && psd.Finish());
  std::string bytes(out.Bytes().begin(), out.Bytes().end());
  const size_t at = bytes.find("8BIMluni");
  EXPECT_NE(at, std::string::npos);
  if (at != std::string::npos) bytes[at + 7] = 'x';
  return bytes;
}

std::string FirstLayerName(const std::string& bytes, const std::string& charset) {
  DataSrcMemory src(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  iio::Psd psd(src, charset);
  layer_param_t p;
  EXPECT_TRUE(psd.Open() > 0 && psd.NextImage(p));
  return p.name;
}

// Pascal names are in the charset writer and reader are given ("": UTF-8), whatever the locale.
TEST(LayerNames, PascalNamesAreInTheCharsetGiven) {
  const std::string cafe = "caf\xC3\xA9", latin1 = WithPascalNameOnly(cafe, "ISO-8859-1");
  EXPECT_NE(latin1.find("\x04" "caf\xE9"), std::string::npos);
  EXPECT_EQ(FirstLayerName(latin1, "ISO-8859-1"), cafe);
  EXPECT_EQ(FirstLayerName(latin1, ""), "caf?");
  const std::string utf8 = WithPascalNameOnly(cafe, "");
  EXPECT_NE(utf8.find("\x05" "caf\xC3\xA9"), std::string::npos);
  EXPECT_EQ(FirstLayerName(utf8, "UTF-8"), cafe);
  EXPECT_EQ(FirstLayerName(utf8, "ISO-8859-1"), "caf\xC3\x83\xC2\xA9");
  // Shift JIS: two bytes a character, the name cut before one past 255 bytes.
  std::string kana;
  for (int i = 0; i < 130; ++i) kana += "\xE3\x81\x82";
  const std::string sjis = WithPascalNameOnly(kana, "SHIFT_JIS");
  EXPECT_NE(sjis.find("\xFE\x82\xA0\x82\xA0"), std::string::npos);
  EXPECT_EQ(FirstLayerName(sjis, "SHIFT_JIS"), kana.substr(0, 127 * 3));
}

TEST(LayerNames, ConvertBetweenUtf8AndCharsetsWithoutSplittingACharacter) {
  using iio::CharsetPrefix;
  using iio::CharsetToUtf8;
  using iio::Utf8ToCharset;
  EXPECT_EQ(CharsetToUtf8("a\xFF" "b\xC3", "UTF-8"), "a?b?");
  EXPECT_EQ(Utf8ToCharset("\xED\xA0\x80x", ""), "???x");  // an encoded surrogate
  EXPECT_EQ(Utf8ToCharset("caf\xC3\xA9", "ISO-8859-1"), "caf\xE9");
  EXPECT_EQ(CharsetToUtf8("caf\xE9", "ISO-8859-1"), "caf\xC3\xA9");
  EXPECT_EQ(Utf8ToCharset("a\xE6\x97\xA5" "b", "ISO-8859-1"), "a?b");
  EXPECT_EQ(Utf8ToCharset("\xE3\x81\x82", "SHIFT_JIS"), "\x82\xA0");
  EXPECT_EQ(CharsetToUtf8("\x82\xA0", "SHIFT_JIS"), "\xE3\x81\x82");
  // 255 bytes would end inside a character.
  std::string u = "x";
  for (int i = 0; i < 150; ++i) u += "\xC3\xA9";
  EXPECT_EQ(CharsetPrefix(u, 255, ""), 255u);
  EXPECT_EQ(CharsetPrefix(u.substr(1), 255, ""), 254u);
  EXPECT_EQ(CharsetPrefix("\xF0\x9F\x98\x80" "ab", 3, ""), 0u);
  std::string sj;
  for (int i = 0; i < 130; ++i) sj += "\x83\x41";  // a trail byte that looks like 'A'
  EXPECT_EQ(CharsetPrefix(sj, 255, "SHIFT_JIS"), 254u);
  // UTF-16 keeps surrogate pairs whole; malformed input becomes U+FFFD.
  EXPECT_EQ(iio::Utf8ToUtf16("A\xF0\x9F\x98\x80" "B", 2), (std::u16string{u'A'}));
  EXPECT_EQ(iio::Utf8ToUtf16("A\xF0\x9F\x98\x80", 3), (std::u16string{u'A', 0xD83D, 0xDE00}));
  EXPECT_EQ(iio::Utf8ToUtf16("a\xFF" "b", 10), (std::u16string{u'a', 0xFFFD, u'b'}));
  const std::u16string units{u'x', 0xD83D, 0xDE00, 0xDC00, u'y'};
  EXPECT_EQ(iio::Utf16ToUtf8(units.data(), units.size()), "x\xF0\x9F\x98\x80\xEF\xBF\xBDy");
}

}  // namespace
