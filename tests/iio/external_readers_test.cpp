// Files written by iio::PsdOut, opened by two independent readers
// (psd-tools and ImageMagick) and read back through iio::Psd.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "blend/modes.h"
#include "iio/codepage.h"
#include "iio/psd.h"
#include "iio/psd_out.h"
#include "iio/write_stream.h"
#include "iio_test_util.h"

namespace {

using namespace iiotest;

struct Doc {
  uint32_t width = 8, height = 6;
  std::vector<iio::layer_param_t> layers;
  std::vector<std::vector<PixelRGBA>> pixels;  // layers, then merged
};

iio::layer_param_t L(int32_t l, int32_t t, int32_t r, int32_t b, const std::string& name, uint32_t mode) {
  iio::layer_param_t p;
  p.left = l, p.top = t, p.right = r, p.bottom = b;
  p.name = name;
  p.blend.word0 = mode;
  return p;
}

Doc MakeDoc() {
  Doc d;
  std::string longName;
  for (int i = 0; i < 140; ++i) longName += "\xC3\xA9";  // 280 bytes
  d.layers.push_back(L(0, 0, 6, 4, "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", 1));
  d.layers.push_back(L(-3, 2, 5, 7, longName, 3));
  d.layers[1].opacity = 8192;
  d.layers[1].visible = 0;
  d.layers[1].alphaLock = 1;
  d.layers.push_back(L(4, 1, 9, 6, "Ebene 3", 6 | kzm::Blend::clip_dsta | kzm::Blend::lockdonly));
  d.layers[2].opacity = 12000;
  d.layers[2].planeLock = 1;
  d.layers[2].lockAll = 1;
  d.layers.push_back(L(1, 1, 3, 3, "sub", 5));
  d.layers[3].lockPosition = 1;
  d.layers.push_back(L(0, 0, 8, 6, "flat", 1));  // smaller in PackBits than plain
  // One small layer for every other colour mode of the table.
  int rows = 0;
  const blend::ColorModeRow* table = blend::ColorModeTable(&rows);
  for (int i = 0; i < rows; ++i) {
    const uint32_t mode = table[i].id;
    if (mode == 1 || mode == 3 || mode == 5 || mode == 6) continue;
    d.layers.push_back(L(int32_t(mode % 5), 2, int32_t(mode % 5) + 2, 3, "mode " + std::to_string(mode), mode));
  }
  uint32_t seed = 1;
  auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 8) & 0xFFFF; };
  for (const auto& l : d.layers) {
    std::vector<PixelRGBA> px(size_t(l.Width() * l.Height()), PixelRGBA{4000, 2000, 1000, 12000});
    for (auto& p : px) {
      if (l.name == "flat") break;
      const uint16_t a = uint16_t(next() % 4 == 0 ? 0 : next() % 16385);
      auto c = [&] { return a ? uint16_t(next() % (a + 1u)) : uint16_t(next() % 500); };
      p = PixelRGBA{c(), c(), c(), a};
    }
    d.pixels.push_back(px);
  }
  std::vector<PixelRGBA> merged(size_t(d.width) * d.height);
  for (auto& p : merged) {
    const uint16_t a = uint16_t(next() % 3 ? next() % 16385 : 16384);
    p = PixelRGBA{uint16_t(next() % (a + 1u)), uint16_t(a / 3), 0, a};
  }
  d.pixels.push_back(merged);
  return d;
}

bool WriteDoc(const Doc& d, const std::string& path) {
  iio::WriteStream s(path);
  if (!s.Open()) return false;
  iio::PsdOut psd(s);
  bool ok = psd.Begin(d.width, d.height, d.layers);
  for (size_t i = 0; i < d.layers.size(); ++i) {
    ok = ok && psd.BeginLayer(d.layers[i]);
    for (int64_t y = 0; y < d.layers[i].Height(); ++y)
      ok = ok && psd.WriteRows(d.pixels[i].data() + size_t(y * d.layers[i].Width()), 1);
    ok = ok && psd.EndLayer();
  }
  ok = ok && psd.WriteRows(d.pixels.back().data(), d.height) && psd.Finish();
  return s.Close() && ok;
}

std::vector<uint8_t> Bytes8(const std::vector<PixelRGBA>& px) {
  std::vector<uint8_t> out(px.size() * 4);
  for (size_t i = 0; i < px.size(); ++i) iio::PsdOut::ToBytes(px[i], &out[4 * i]);
  return out;
}

// The pixels of RGBA bytes passed through f.
std::vector<uint8_t> PerPixel(std::vector<uint8_t> b, uint32_t (*f)(uint32_t)) {
  for (size_t k = 0; k + 3 < b.size(); k += 4) {
    const uint32_t v = f(b[k] | b[k + 1] << 8 | b[k + 2] << 16 | uint32_t(b[k + 3]) << 24);
    for (int c = 0; c < 4; ++c) b[k + size_t(c)] = uint8_t(v >> (8 * c));
  }
  return b;
}

uint8_t OpacityByte(const iio::layer_param_t& l) { return uint8_t((uint32_t(l.opacity) * 255) >> 14); }

class WrittenPsd : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir();
    path_ = dir_ + "/written.psd";
    doc_ = MakeDoc();
    ASSERT_TRUE(WriteDoc(doc_, path_));
  }
  void TearDown() override {
    int st;
    RunCommand("rm -rf '" + dir_ + "'", &st);
  }
  std::string dir_, path_;
  Doc doc_;
};

TEST_F(WrittenPsd, ReadsBackThroughOurReader) {
  DataSrcReadFromFile src;
  ASSERT_TRUE(src.open(path_.c_str()));
  const ReadResult r = ReadAll(src, 3);
  ASSERT_EQ(r.error, 0);
  ASSERT_EQ(r.images.size(), doc_.layers.size() + 1);
  for (size_t i = 0; i < r.images.size(); ++i) {
    const bool merged = i == doc_.layers.size();
    const auto want = merged ? PerPixel(Bytes8(doc_.pixels[i]), ThroughMatte) : Bytes8(doc_.pixels[i]);
    ASSERT_EQ(r.images[i].pixels.size() * 4, want.size());
    EXPECT_EQ(0, std::memcmp(r.images[i].pixels.data(), want.data(), want.size())) << i;
    if (i == doc_.layers.size()) break;
    const auto& p = r.images[i].param;
    const auto& l = doc_.layers[i];
    EXPECT_EQ(p.name, l.name);
    EXPECT_EQ(p.visible, l.visible);
    EXPECT_EQ(OpacityByte(p), OpacityByte(l));
    const uint8_t mode = blend::ColorModeForPsdKey(blend::PsdKeyForColorMode(l.blend.ColorMode()));
    EXPECT_EQ(p.blend.word0, mode | l.blend.Flags());
    EXPECT_EQ(p.alphaLock, l.alphaLock);
    EXPECT_EQ(p.planeLock, l.planeLock);
    EXPECT_EQ(p.lockPosition, l.lockPosition);
    EXPECT_EQ(p.lockAll, l.lockAll);
  }
}

TEST_F(WrittenPsd, OpensInPsdTools) {
  if (!HavePsdTools()) GTEST_SKIP() << "python3-psd-tools is not installed for /usr/bin/python3";
  int status;
  const std::string out = RunCommand("/usr/bin/python3 '" + SourceDir() + "/tests/iio/iio_psd_dump.py' '" +
                                         path_ + "' '" + dir_ + "' 2>&1",
                                     &status);
  ASSERT_EQ(status, 0) << out;
  std::istringstream in(out);
  std::string line;
  size_t i = 0;
  int merged = 0;
  std::set<std::string> compressions;
  while (std::getline(in, line)) {
    std::istringstream s(line);
    std::string kind, idx, tok;
    s >> kind;
    if (kind == "canvas") {
      uint32_t w, h, c;
      s >> w >> h >> c;
      EXPECT_EQ(w, doc_.width);
      EXPECT_EQ(h, doc_.height);
      EXPECT_EQ(c, 4u);
    }
    if (kind == "stored") {
      // The merged image's channels as psd-tools decodes them: matted on white.
      std::string file;
      s >> tok >> file;
      compressions.insert(tok);
      EXPECT_EQ(LoadFile(file), PerPixel(Bytes8(doc_.pixels.back()), MatteOnWhite));
      ++merged;
    }
    if (kind != "record") continue;
    ASSERT_LT(i, doc_.layers.size());
    std::map<std::string, std::string> rec;
    s >> idx;
    while (s >> tok) rec[tok.substr(0, tok.find('='))] = tok.substr(tok.find('=') + 1);
    const auto& l = doc_.layers[i];
    SCOPED_TRACE(l.name);
    EXPECT_EQ(FromHex(rec["name"]), l.name);
    EXPECT_EQ(std::stoi(rec["left"]), l.left);
    EXPECT_EQ(std::stoi(rec["top"]), l.top);
    EXPECT_EQ(std::stoi(rec["right"]), l.right);
    EXPECT_EQ(std::stoi(rec["bottom"]), l.bottom);
    EXPECT_EQ(std::stoi(rec["opacity"]), OpacityByte(l));
    EXPECT_EQ(std::stoi(rec["flags"]), 8 | (l.visible ? 0 : 2) | (l.alphaLock ? 1 : 0));
    EXPECT_EQ(std::stoi(rec["clipping"]), (l.blend.word0 & 0x30000) == 0x30000 ? 1 : 0);
    EXPECT_EQ(FromHex(rec["blend"]), std::string(blend::PsdKeyForColorMode(l.blend.ColorMode()), 4));
    EXPECT_EQ(std::stoll(rec["lspf"]), (l.alphaLock ? 1 : 0) | (l.planeLock ? 2 : 0) |
                                           (l.lockPosition ? 4 : 0) | (l.lockAll ? 0x80000000ll : 0));
    ASSERT_NE(rec["pix"], "-");
    const Bytes got = LoadFile(rec["pix"]);
    EXPECT_EQ(got, Bytes8(doc_.pixels[i]));
    std::istringstream comp(rec["comp"]);
    while (std::getline(comp, tok, ',')) compressions.insert(tok);
    ++i;
  }
  EXPECT_EQ(i, doc_.layers.size());
  EXPECT_EQ(merged, 1);
  // Channels stored plain and PackBits-compressed were both decoded.
  EXPECT_EQ(compressions, (std::set<std::string>{"0", "1"}));
}

TEST_F(WrittenPsd, OpensInImageMagick) {
  int status;
  RunCommand("identify-im6.q16 -version >/dev/null 2>&1", &status);
  if (status != 0) GTEST_SKIP() << "ImageMagick (identify-im6.q16) is not installed";
  const std::string info = RunCommand(
      "identify-im6.q16 -format '%[label]|%[psd:layer.invisible]|%[psd:layer.opacity]|%[compose]|%X|%Y|%w|%h\\n' '" +
          path_ + "' 2>/dev/null",
      &status);
  ASSERT_EQ(status, 0);
  RunCommand("convert-im6.q16 '" + path_ + "' +adjoin -depth 8 'rgba:" + dir_ + "/frame%d.rgba' 2>/dev/null",
             &status);
  ASSERT_EQ(status, 0);

  std::vector<std::vector<std::string>> frames;
  std::istringstream in(info);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::istringstream s(line);
    std::string cell;
    while (std::getline(s, cell, '|')) f.push_back(cell);
    frames.push_back(f);
  }
  // Frame 0 is the merged image, then one frame per layer.
  ASSERT_EQ(frames.size(), doc_.layers.size() + 1);
  {
    // ImageMagick takes the merged image's colour off the white it is matted
    // on as we do, but for its own rounding.
    const Bytes got = LoadFile(dir_ + "/frame0.rgba"), want = PerPixel(Bytes8(doc_.pixels.back()), ThroughMatte);
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < want.size(); k += 4) {
      ASSERT_EQ(got[k + 3], want[k + 3]) << k;
      for (size_t c = 0; c < 3 && want[k + 3]; ++c) ASSERT_NEAR(got[k + c], want[k + c], 1) << k;
    }
  }

  const std::map<std::string, std::string> compose = {
      {"norm", "Over"},       {"mul ", "Multiply"},  {"scrn", "Screen"},     {"over", "Overlay"},
      {"dark", "Darken"},     {"lite", "Lighten"},   {"diff", "Difference"}, {"smud", "Exclusion"},
      {"lddg", "LinearDodge"}, {"hue ", "Hue"},      {"sat ", "Saturate"},   {"colr", "Colorize"},
      {"lum ", "Luminize"},   {"fsub", "Over"},      {"hLit", "HardLight"},  {"sLit", "SoftLight"},
      {"vLit", "VividLight"}, {"lLit", "LinearLight"}, {"pLit", "PinLight"}, {"div ", "ColorDodge"},
      {"idiv", "ColorBurn"},  {"lbrn", "LinearBurn"}};
  const bool utf8System = iio::SystemCharset().empty();
  for (size_t i = 0; i < doc_.layers.size(); ++i) {
    const auto& l = doc_.layers[i];
    const auto& f = frames[i + 1];
    SCOPED_TRACE(l.name);
    ASSERT_EQ(f.size(), 8u);
    if (utf8System) {
      EXPECT_EQ(f[0], l.name.substr(0, iio::CharsetPrefix(l.name, 255, "")));
    }
    EXPECT_EQ(f[1], l.visible ? "" : "true");
    EXPECT_EQ(std::stoi(f[2]), OpacityByte(l) * 257);
    const std::string key(blend::PsdKeyForColorMode(l.blend.ColorMode()), 4);
    // Keys ImageMagick has no operator for are not checked.
    if (!l.visible) {
      EXPECT_EQ(f[3], "None");
    } else if (compose.count(key)) {
      EXPECT_EQ(f[3], compose.at(key)) << key;
    }
    EXPECT_EQ(std::stoi(f[4]), l.left);
    EXPECT_EQ(std::stoi(f[5]), l.top);
    EXPECT_EQ(std::stoi(f[6]), l.Width());
    EXPECT_EQ(std::stoi(f[7]), l.Height());
    // ImageMagick folds the layer opacity into the transparency.
    const Bytes got = LoadFile(dir_ + "/frame" + std::to_string(i + 1) + ".rgba");
    const Bytes want = Bytes8(doc_.pixels[i]);
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < want.size(); k += 4) {
      ASSERT_EQ(got[k], want[k]) << k;
      ASSERT_EQ(got[k + 1], want[k + 1]) << k;
      ASSERT_EQ(got[k + 2], want[k + 2]) << k;
      const int a = want[k + 3] * OpacityByte(l);
      ASSERT_NEAR(got[k + 3], (a + 127) / 255, 1) << k;
    }
  }
}

}  // namespace
