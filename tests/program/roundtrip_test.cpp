// PSD -> .yvn -> PSD through the built program on real files and generated
// paintings: the project's reader agrees with psd-tools, what comes back is
// what went in, written files (large documents too) open in psd-tools and
// ImageMagick as written, and the bytes do not depend on the thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "blend/modes.h"
#include "support/psd.h"

namespace ts {
namespace {

const char kMergedName[] = "ImgIOPsd_MergedImage";

std::string Key(const iio::PsdBlendKey& key) { return std::string(key.data(), 4); }

// The key a record's key comes back as: the key of the mode it reads as.
std::string KeyThroughTheTable(const iio::PsdBlendKey& key) {
  return std::string(blend::PsdKeyForColorMode(blend::ColorModeForPsdKey(key.data())), 4);
}

std::string Hex(const std::string& s) {
  std::string h;
  char b[3];
  for (unsigned char c : s) std::snprintf(b, sizeof b, "%02x", c), h += b;
  return h.empty() ? "-" : h;
}

class RoundTrip : public ProgramTest {
 protected:
  // Runs the program quietly; every conversion here must succeed silently.
  void Convert(const std::vector<std::string>& args, const std::vector<std::string>& prefix = {}) {
    RunOptions o;
    o.prefix = prefix;
    const RunResult r = RunProgram(dir.path(), args, o);
    EXPECT_EQ(r.exit, 0);
    EXPECT_EQ(r.out, "") << ::testing::PrintToString(args);
  }
  PsdFile Read(const std::string& rel) const { return ReadPsd(ReadFile(dir / rel)); }
};

// Merged images of two readings agree within one 8-bit step where the
// transparency is 16 (of 255) or more.
void ExpectNearWhereShown(const std::vector<uint32_t>& ours, const std::vector<uint32_t>& theirs) {
  ASSERT_EQ(theirs.size(), ours.size());
  for (size_t i = 0; i < ours.size(); ++i)
    for (int c = 0; c < 32 && ours[i] >> 24 >= 16; c += 8)
      ASSERT_LE(std::abs(int(ours[i] >> c & 0xFF) - int(theirs[i] >> c & 0xFF)), 1) << i;
}

// The model pixel of a reading at a canvas position: 8 bits widened, 16 through PixelFrom16.
PixelRGBA ModelAt(const Image& img, int64_t x, int64_t y) {
  if (x < img.p.left || y < img.p.top || x >= img.p.right || y >= img.p.bottom) return PixelRGBA{};
  const size_t i = size_t((y - img.p.top) * img.p.Width() + (x - img.p.left));
  return img.px16.empty() ? Widen8(img.px[i]) : PixelFrom16(img.px16[i]);
}

// Every layer the reader served comes back, bottom to top, working layers
// left out, the source's merged image as a layer named for it, then the new
// merged image: each with its properties, over the smallest rectangle
// around its pixels, its pixels through the 8 -> 16 -> 8-bit mapping or, in
// a 16-bit file, inside the canvas, the model pixels themselves.
void ExpectSameLayers(const PsdFile& orig, const PsdFile& fin) {
  ASSERT_EQ(orig.error, 0);
  ASSERT_EQ(fin.error, 0);
  EXPECT_EQ(fin.width, orig.width);
  EXPECT_EQ(fin.height, orig.height);
  std::vector<const Image*> want;  // hidden "*..." working layers stay out
  for (const Image& img : orig.images)
    if (img.p.name.empty() || img.p.name[0] != '*' || img.p.visible) want.push_back(&img);
  ASSERT_EQ(fin.images.size(), want.size() + 1);
  EXPECT_EQ(fin.images[want.size() - 1].p.name, kMergedName);
  EXPECT_EQ(fin.images[want.size() - 1].p.visible, orig.images.size() > 1 ? 0 : 1);
  const bool wide = !fin.images.back().px16.empty();
  for (size_t i = 0; i < want.size(); ++i) {
    const Image &o = *want[i], &f = fin.images[i];
    SCOPED_TRACE("layer " + std::to_string(i) + " " + o.p.name);
    if (i + 1 < want.size()) {
      EXPECT_EQ(f.p.name, o.p.name);
    }
    EXPECT_EQ(f.p.visible, o.p.visible);
    EXPECT_EQ(f.p.opacity, o.p.opacity);
    EXPECT_EQ(Key(f.p.blendKey), KeyThroughTheTable(o.p.blendKey));
    EXPECT_EQ(f.p.clipping, o.p.clipping ? 1 : 0);
    EXPECT_EQ(f.p.lockTransparency, o.p.lockTransparency || o.p.lockAll);
    EXPECT_EQ(f.p.lockPixels, o.p.lockPixels || o.p.lockAll);
    EXPECT_EQ(f.p.lockPosition, 0);
    EXPECT_EQ(f.p.lockAll, 0);
    int64_t l = INT64_MAX, t = INT64_MAX, r = INT64_MIN, b = INT64_MIN;
    for (int64_t y = o.p.top; y < o.p.bottom; ++y)
      for (int64_t x = o.p.left; x < o.p.right; ++x)
        if (ModelAt(o, x, y).a)
          l = std::min(l, x), t = std::min(t, y), r = std::max(r, x + 1), b = std::max(b, y + 1);
    if (l <= r) {
      EXPECT_EQ((std::vector<int64_t>{f.p.left, f.p.top, f.p.right, f.p.bottom}),
                (std::vector<int64_t>{l, t, r, b}));
    }
    l = std::min(o.p.left, f.p.left), t = std::min(o.p.top, f.p.top);
    r = std::max(o.p.right, f.p.right), b = std::max(o.p.bottom, f.p.bottom);
    if (wide) {
      l = std::max<int64_t>(l, 0), t = std::max<int64_t>(t, 0);
      r = std::min<int64_t>(r, fin.width), b = std::min<int64_t>(b, fin.height);
    }
    int bad = 0;
    for (int64_t y = t; y < b; ++y)
      for (int64_t x = l; x < r; ++x)
        if ((wide ? ModelAt(o, x, y) != ModelAt(f, x, y) : Through16(o.At(x, y)) != f.At(x, y)) && ++bad <= 3)
          ADD_FAILURE() << "pixel (" << x << ", " << y << "): " << std::hex << o.At(x, y) << " came back as "
                        << f.At(x, y);
  }
}

// psd-tools and ImageMagick read a 16-bit file the program wrote as the
// program does: the layers' samples exactly, the merged image within a step.
void ExpectSixteenBitReadEverywhere(const std::string& path, bool psdTools = true) {
  const PsdFile ours = ReadPsd(ReadFile(path));
  ASSERT_EQ(ours.error, 0);
  const Image& merged = ours.images.back();
  ASSERT_FALSE(merged.px16.empty()) << path;
  if (psdTools && HavePsdTools()) {
    const std::map<int, std::vector<uint16_t>> ref = VariantReference(path);
    ASSERT_TRUE(ref.count(-1)) << path;
    ASSERT_EQ(ref.at(-1).size(), merged.px16.size() * 4);
    for (size_t i = 0; i < merged.px16.size(); ++i)
      for (int c = 0; c < 4 && merged.px16[i] >> 48 >= 16 * 257; ++c)
        ASSERT_LE(std::abs(int(merged.Sample16(i, c)) - int(ref.at(-1)[4 * i + size_t(c)])), 257) << i;
    ExpectLayersAsPsdToolsReadsThem(path, ours);
  }
  ExpectNearWhereShown(merged.px, ImageMagickMerged(path));
}

// Our reading of a file, record by record and pixel by pixel, against psd-tools'.
void ExpectSameAsPsdTools(const std::string& path) {
  const PsdFile ours = ReadPsd(ReadFile(path));
  const PsdToolsFile ref = PsdTools(path);
  ASSERT_TRUE(ref.ok);
  ASSERT_EQ(ours.error, 0);
  EXPECT_EQ(ours.width, ref.width);
  EXPECT_EQ(ours.height, ref.height);
  size_t next = 0;  // our images skip group markers
  for (const PsdToolsFile::Record& rec : ref.records) {
    auto field = [&](const char* k) { return rec.fields.count(k) ? rec.fields.at(k) : ""; };
    if (field("section") != "0") continue;
    ASSERT_LT(next, ours.images.size());
    const Image& img = ours.images[next++];
    SCOPED_TRACE(img.p.name);
    EXPECT_EQ(Hex(img.p.name), field("name"));
    EXPECT_EQ(img.p.opacity, std::stoul(field("opacity")));
    EXPECT_EQ(img.p.visible ? "1" : "0", field("visible"));  // layers of hidden groups are hidden
    std::string key = field("key") + "    ";
    std::replace(key.begin(), key.end(), '_', ' ');
    EXPECT_EQ(Key(img.p.blendKey), key.substr(0, 4));
    EXPECT_EQ(std::to_string(img.p.clipping), field("clipping"));
    char rect[64];
    std::snprintf(rect, sizeof rect, "%d,%d,%d,%d", img.p.left, img.p.top, img.p.right, img.p.bottom);
    EXPECT_EQ(rect, field("rect"));
    if (rec.px.empty()) continue;
    ASSERT_EQ(rec.px.size(), img.px.size());
    for (size_t i = 0; i < img.px.size(); ++i) {
      ASSERT_EQ(img.px[i], rec.px[i]) << "pixel " << i;
    }
  }
  // The merged image, where psd-tools reads one: ours takes the matte off alike.
  if (!ref.topil.empty()) ExpectNearWhereShown(ours.images.back().px, ref.topil);
}

TEST_F(RoundTrip, RealFilesAgreeWithPsdToolsAndComeBackThroughTheNativeFormat) {
  const std::vector<std::string> files = CorpusFiles("ACCEPT");
  if (files.empty()) GTEST_SKIP() << "PSD corpus not found (YVN_PSD_CORPUS)";
  for (const std::string& path : files) {
    const std::string name = fs::path(path).filename().string();
    SCOPED_TRACE(name);
    if (HavePsdTools() && name != "oov_rgb8bit+1ch.psd")  // psd-tools takes its fourth channel for a selection
      ExpectSameAsPsdTools(path);
    fs::copy_file(path, dir / name);
    Convert({"-q", "-W", name, "a.yvn"});
    Convert({"-q", "-W", "a.yvn", "back.psd"});
    ExpectSameLayers(ReadPsd(ReadFile(path)), Read("back.psd"));
    Convert({"-q", "-W", "-d16", "a.yvn", "back16.psd"});
    const PsdFile back16 = Read("back16.psd");
    ExpectSameLayers(ReadPsd(ReadFile(path)), back16);
    // psd-tools (a second a file to start) reads the 16-bit files of the other cases.
    ExpectSixteenBitReadEverywhere(dir / "back16.psd", false);
    // Another cycle adds no second merged-image layer: the same layers and
    // size (colours below alpha 8 may move by a step each cycle).
    Convert({"-q", "-W", "back.psd", "b.yvn"});
    Convert({"-q", "-W", "b.yvn", "again.psd"});
    EXPECT_EQ(Read("again.psd").layerRecords, Read("back.psd").layerRecords);
    const double a = double(fs::file_size(dir / "back.psd")), b = double(fs::file_size(dir / "again.psd"));
    EXPECT_NEAR(b, a, a / 100);
  }
}

// The corpus files marked refused (for their version, depth, colour mode or
// ZIP channels) read as independent readers read them and convert silently.
TEST_F(RoundTrip, VariantFilesAgreeWithIndependentReadersAndConvert) {
  const std::vector<std::string> files = CorpusFiles("REFUSE");
  if (files.empty()) GTEST_SKIP() << "PSD corpus not found (YVN_PSD_CORPUS)";
  for (const std::string& path : files) {
    const std::string name = fs::path(path).filename().string();
    SCOPED_TRACE(name);
    const PsdFile ours = ReadPsd(ReadFile(path));
    ASSERT_EQ(ours.error, 0);
    if (HavePsdTools()) {
      const std::map<int, std::vector<uint16_t>> ref = VariantReference(path);
      ASSERT_TRUE(ref.count(-1));
      // The merged image, then the layers of RGB files without masks or
      // groups in record order: every one the independent reader finds is
      // read (16- and 32-bit files may keep theirs in "Lr16"/"Lr32" blocks).
      int worst = 0;
      size_t next = 0;
      for (const auto& [index, samples] : ref) {
        ASSERT_LT(next + (index >= 0), ours.images.size());
        const Image& img = index < 0 ? ours.images.back() : ours.images[next++];
        ASSERT_EQ(img.px.size() * 4, samples.size()) << img.p.name;
        for (size_t i = 0; i < samples.size(); ++i)
          worst = std::max(worst, std::abs(int(img.Sample16(i / 4, int(i % 4))) - int(samples[i])));
      }
      // None where both sides decode the same samples; CMYK and Lab go through colour
      // transforms of their own, the reference's rounded to 8 bits: one 8-bit step (measured: 123, 126).
      EXPECT_LE(worst, Contains(name, "cmyk") || Contains(name, "lab") ? 257 : 0);
    }
    // Through the native format and back: files read in 8 bits come back
    // exactly, as 8-bit RGB files do.
    const std::string src = "v" + fs::path(path).extension().string();
    fs::copy_file(path, dir / src, fs::copy_options::overwrite_existing);
    Convert({"-q", "-W", src, "v.yvn"});
    Convert({"-q", "-W", "v.yvn", "v_back.psd"});
    const PsdFile back = Read("v_back.psd");
    if (ours.images.back().px16.empty()) {
      ExpectSameLayers(ours, back);
    } else {
      EXPECT_EQ(back.images.size(), ours.images.size() + 1);
    }
    // In 16 bits every pixel comes back, whatever the source's depth.
    Convert({"-q", "-W", "-d16", "v.yvn", "v_back16.psd"});
    ExpectSameLayers(ours, Read("v_back16.psd"));
    ExpectSixteenBitReadEverywhere(dir / "v_back16.psd");
  }
}

// Where two files first differ, for a readable failure.
std::string FirstDifference(const std::string& a, const std::string& b) {
  const size_t at = size_t(std::mismatch(a.begin(), a.begin() + long(std::min(a.size(), b.size())), b.begin()).first -
                           a.begin());
  return a == b ? "" : "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size()) + ", first difference at " +
                           std::to_string(at);
}

// The written bytes of both directions are pinned by committed cases: each
// folder of tests/data/golden holds an input and what the program writes
// from it (.yvn uncompressed, whose bytes do not depend on the deflater).
TEST_F(RoundTrip, GoldenCasesWriteTheirExpectedBytes) {
  int cases = 0;
  for (const auto& e : fs::directory_iterator(DataDir() + "/golden")) {
    const std::string c = e.path().string();
    SCOPED_TRACE(e.path().filename().string());
    // Pascal names go through the locale's character set: "C" is UTF-8.
    const std::vector<std::string> locale = {"env", "LC_ALL=C"};
    if (fs::exists(c + "/input.psd")) {
      Convert({"-q", "-W", "-z0", c + "/input.psd", dir / "out.yvn"}, locale);
      EXPECT_EQ(FirstDifference(ReadFile(dir / "out.yvn"), ReadFile(c + "/expected.yvn")), "");
    }
    const std::string yvn = fs::exists(c + "/input.yvn") ? c + "/input.yvn" : c + "/expected.yvn";
    Convert({"-q", "-W", yvn, dir / "out.psd"}, locale);
    EXPECT_EQ(FirstDifference(ReadFile(dir / "out.psd"), ReadFile(c + "/expected.psd")), "");
    // The 16-bit file holds the pixels the expected 8-bit one narrows.
    Convert({"-q", "-W", "-d16", yvn, dir / "out16.psd"}, locale);
    const PsdFile wide = Read("out16.psd"), narrow = ReadPsd(ReadFile(c + "/expected.psd"));
    ASSERT_EQ(wide.images.size(), narrow.images.size());
    for (size_t i = 0; i + 1 < wide.images.size(); ++i) {
      const Image &w = wide.images[i], &n = narrow.images[i];
      ASSERT_EQ((std::vector<int32_t>{w.p.left, w.p.top, w.p.right, w.p.bottom}),
                (std::vector<int32_t>{n.p.left, n.p.top, n.p.right, n.p.bottom}));
      for (size_t k = 0; k < w.px16.size(); ++k) ASSERT_EQ(Narrow8(PixelFrom16(w.px16[k])), n.px[k]) << i << " " << k;
    }
    ExpectSixteenBitReadEverywhere(dir / "out16.psd");
    ++cases;
  }
  EXPECT_GE(cases, 2);
}

TEST_F(RoundTrip, GeneratedPaintingComesBackAndReadsTheSameEverywhere) {
  WriteFile(dir / "paint.psd", PaintingPsd());
  if (HavePsdTools()) ExpectSameAsPsdTools(dir / "paint.psd");
  Convert({"-q", "paint.psd"});
  Convert({"-q", "-z0", "paint.psd", "plain.yvn"});
  EXPECT_GT(fs::file_size(dir / "plain.yvn"), fs::file_size(dir / "paint.yvn"));
  Convert({"-q", "paint.yvn", "back.psd"});
  const PsdFile orig = Read("paint.psd"), fin = Read("back.psd");
  ExpectSameLayers(orig, fin);
  // The layer with a transparent border shrank to its pixels (the mask clears more).
  EXPECT_EQ(fin.images[2].p.left, 14);
  EXPECT_EQ(fin.images[2].p.top, 11);
  // A shown group inside a hidden one hides its layers.
  EXPECT_EQ(orig.images[3].p.name, "shown in a hidden group");
  EXPECT_EQ(orig.images[3].p.visible, 0);
  Convert({"-q", "-d16", "paint.yvn", "back16.psd"});
  const PsdFile back16 = Read("back16.psd");
  ExpectSameLayers(orig, back16);
  ExpectSixteenBitReadEverywhere(dir / "back16.psd");
  // The 16-bit file reads back to the same samples.
  Convert({"-q", "back16.psd", "b16.yvn"});
  Convert({"-q", "-d16", "b16.yvn", "again16.psd"});
  const PsdFile again = Read("again16.psd");
  ASSERT_GE(again.images.size(), back16.images.size());
  for (size_t i = 0; i + 1 < back16.images.size(); ++i) {
    EXPECT_TRUE(again.images[i].px16 == back16.images[i].px16) << i;
  }
  // What the program wrote reads the same in psd-tools and ImageMagick.
  if (HavePsdTools()) ExpectSameAsPsdTools(dir / "back.psd");
  ExpectNearWhereShown(fin.images.back().px, ImageMagickMerged(dir / "back.psd"));
}

// A canvas, or a layer, wider or taller than a version-1 file holds (30,000
// pixels) gives a large document, in either depth, and the largest canvas it
// holds a version-1 file. The layer comes back whole, psd-tools reads it as
// the program does, ImageMagick opens the file (past its default size
// limit), and the merged image shows the layer.
TEST_F(RoundTrip, LargeCanvasesAndLayersAreWrittenAsLargeDocuments) {
  // Blue with red marks, the first column green, the last half transparent.
  auto layer = [](int32_t l, int32_t t, int32_t r, int32_t b) {
    const int64_t w = int64_t(r) - l, h = int64_t(b) - t;
    std::vector<uint32_t> px;
    for (int64_t i = 0; i < w * h; ++i) {
      const int64_t x = i % w, y = i / w;
      px.push_back(x == 0 ? Rgba(0, 255, 0, 255)
                   : x == w - 1 ? Rgba(90, 80, 70, 100)
                   : (x + y) % 4999 < 2 ? Rgba(200, 30, 10, 255)
                                        : Rgba(20, 40, 180, 255));
    }
    return RgbaLayer(l, t, r, b, px, "wide");
  };
  struct Case {
    std::string name, source;
    char version;
  };
  std::vector<Case> cases;
  PsdSpec s;
  for (const auto& [w, h] : std::vector<std::pair<uint32_t, uint32_t>>{{30000, 2}, {2, 30000}}) {
    s.width = w, s.height = h;
    s.layers = {layer(int32_t(w) - 2, int32_t(h) - 2, int32_t(w), int32_t(h))};
    cases.push_back({"corner.psd", BuildPsd(s), 1});
  }
  s.width = 64, s.height = 4;
  s.layers = {layer(-40000, 1, 8, 3)};
  cases.push_back({"left.psd", BuildPsd(s), 2});
  s.layers = {layer(1, -2, 3, 40002)};
  cases.push_back({"tall.psd", BuildPsd(s), 2});
  // Past 65,536 pixels: over what a version-1 record may say at all.
  s.version = 2;
  s.layers = {layer(60, 0, 80068, 2)};
  s.layers[0].channels[0].compression = 0;  // raw beside PackBits channels
  cases.push_back({"right.psb", BuildPsd(s), 2});
  s.width = 40000, s.height = 2;
  s.layers = {layer(39998, 0, 40000, 2)};
  cases.push_back({"canvas.psb", BuildPsd(s), 2});
  WriteFile(dir / "policy.xml",
            "<policymap><policy domain=\"resource\" name=\"width\" value=\"1MP\"/>"
            "<policy domain=\"resource\" name=\"height\" value=\"1MP\"/></policymap>");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(dir / c.name, c.source);
    Convert({"-q", "-W", c.name, "a.yvn"});
    const PsdFile orig = ReadPsd(c.source);
    for (const char* depth : {"-d8", "-d16"}) {
      Convert({"-q", "-W", depth, "a.yvn", "back.psd"});
      const std::string bytes = ReadFile(dir / "back.psd");
      EXPECT_EQ(bytes.substr(0, 6), std::string("8BPS\0", 5) + c.version);
      const PsdFile fin = ReadPsd(bytes);
      ExpectSameLayers(orig, fin);
      EXPECT_EQ(fin.images[0].px16.empty(), depth[2] == '8');
      if (HavePsdTools()) ExpectLayersAsPsdToolsReadsThem(dir / "back.psd", fin);
      const std::string size = std::to_string(fin.width) + "x" + std::to_string(fin.height);
      const std::string im =
          Shell("MAGICK_CONFIGURE_PATH=" + dir.path() + " identify-im6.q16 " + P("back.psd") + " 2>&1");
      EXPECT_TRUE(Contains(im, "PSD " + size + " " + size + "+0+0 " + (depth + 2) + "-bit")) << im;
      for (uint32_t i = 0; i < fin.width * fin.height && depth[2] == '8'; ++i) {
        const uint32_t x = i % fin.width, y = i / fin.width, shown = MatteOnWhite(orig.images[0].At(x, y));
        ASSERT_EQ(fin.images.back().At(x, y), Unmatte(shown)) << x << " " << y;
      }
    }
  }
}

// 256 layers: every opacity byte, the keys in turn, and over all of them
// every 8-bit value with every alpha in each channel, which comes back where
// its alpha leaves steps enough.
TEST_F(RoundTrip, EveryModeKeyOpacityAndEightBitValueComesBackAsTheTableSays) {
  std::vector<std::string> keys = {"fdiv", "hMix", "pass", "diss", "xxxx"};  // read as normal or darken
  for (int id = 0; id < 256; ++id) {
    if (!blend::ColorModeName(uint8_t(id))) continue;
    const std::string k(blend::PsdKeyForColorMode(uint8_t(id)), 4);
    if (std::find(keys.begin(), keys.end(), k) == keys.end()) keys.push_back(k);
  }
  PsdSpec s;
  s.width = s.height = 16;
  std::vector<std::vector<uint32_t>> px(256);
  for (uint32_t i = 0; i < 256; ++i) {
    const std::string& k = keys[i % keys.size()];
    for (uint32_t j = 0; j < 256; ++j) px[i].push_back(Rgba(j, j * 7 & 0xFF, j * 13 & 0xFF, (i + j) & 0xFF));
    s.layers.push_back(RgbaLayer(0, 0, 16, 16, px[i], k));
    s.layers.back().key = k;
    s.layers.back().opacity = uint8_t(i);
  }
  WriteFile(dir / "keys.psd", BuildPsd(s));
  Convert({"-q", "keys.psd"});
  Convert({"-q", "keys.yvn", "back.psd"});
  const PsdToolsFile ref = HavePsdTools() ? PsdTools(dir / "back.psd") : PsdToolsFile();
  const PsdFile fin = Read("back.psd");
  ASSERT_EQ(fin.images.size(), 256u + 2);
  for (size_t i = 0; i < 256; ++i) {
    const std::string& k = keys[i % keys.size()];
    const uint8_t mode = blend::ColorModeForPsdKey(k.c_str());
    EXPECT_EQ(Key(fin.images[i].p.blendKey), std::string(blend::PsdKeyForColorMode(mode), 4)) << k;
    EXPECT_EQ(fin.images[i].p.opacity, i);
    for (uint32_t j = 0; j < 256; ++j) {
      const uint32_t got = fin.images[i].At(j % 16, j / 16), a = px[i][j] >> 24;
      ASSERT_EQ(got >> 24, a) << i << " " << j;
      if (a >= 8 || a == 0) {
        ASSERT_EQ(got, a ? px[i][j] : 0u) << i << " " << j;
      }
    }
    if (!ref.ok) continue;
    std::string written = blend::PsdKeyForColorMode(mode);
    std::replace(written.begin(), written.end(), ' ', '_');
    EXPECT_EQ(ref.records.at(i).fields.at("key"), written) << k;
    EXPECT_EQ(ref.records.at(i).fields.at("opacity"), std::to_string(i));
  }
}

TEST_F(RoundTrip, ADocumentWithoutLayersToWriteKeepsItsTransparency) {
  // Only a hidden working layer: the PSD holds one layer, the merged image,
  // so that readers take its fourth channel for transparency.
  fs::copy_file(DataDir() + "/native/working-layer-only.yvn", dir / "w.yvn");
  Convert({"-q", "w.yvn"});
  const PsdFile f = Read("w.psd");
  ASSERT_EQ(f.images.size(), 2u);
  EXPECT_EQ(f.images[0].p.name, kMergedName);
  EXPECT_EQ(f.images[0].p.visible, 1);
  for (const Image& img : f.images)
    for (uint32_t p : img.px) ASSERT_EQ(p >> 24, 0u);
  if (HavePsdTools()) {
    const PsdToolsFile ref = PsdTools(dir / "w.psd");
    ASSERT_EQ(ref.records.size(), 1u);
    ASSERT_EQ(ref.topil.size(), 256u);
    for (uint32_t p : ref.topil) ASSERT_EQ(p >> 24, 0u);
  }
  const std::vector<uint32_t> magick = ImageMagickMerged(dir / "w.psd");
  EXPECT_EQ(magick.size(), 256u);
  for (uint32_t p : magick) ASSERT_EQ(p >> 24, 0u);
}

// Same bytes whatever the number of threads: one core against all of them,
// for each pipeline, on inputs large enough to be cut into many pieces.
class ThreadCount : public RoundTrip, public ::testing::WithParamInterface<bool> {};

TEST_P(ThreadCount, SameBytesOnOneCoreAsOnAll) {
  if (Shell("command -v taskset").empty()) GTEST_SKIP() << "taskset is not installed";
  std::vector<uint32_t> noise(768 * 768);
  uint32_t seed = 7;
  for (uint32_t& p : noise) p = (seed = seed * 1103515245u + 12345u) >> 4 | 0x40000000u;
  PsdSpec s;
  s.width = s.height = 768;
  for (int k = 0; k < 3; ++k) s.layers.push_back(RgbaLayer(k * 20, 0, 768 + k * 20, 768, noise, "n"));
  WriteFile(dir / "n.psd", BuildPsd(s));
  const bool toNative = GetParam();
  if (!toNative) Convert({"-q", "n.psd"});
  const std::string src = toNative ? "n.psd" : "n.yvn", ext = toNative ? ".yvn" : ".psd";
  Convert({"-q", src, "one" + ext}, {"taskset", "-c", "0"});
  Convert({"-q", src, "all" + ext});
  EXPECT_TRUE(ReadFile(dir / ("one" + ext)) == ReadFile(dir / ("all" + ext)));
}

INSTANTIATE_TEST_SUITE_P(Pipelines, ThreadCount, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "PsdToNative" : "NativeToPsd"; });

}  // namespace
}  // namespace ts
