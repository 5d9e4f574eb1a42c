// Every colour mode through the built program: a native document with one
// layer per mode converts to PSD with the right keys and a merged image that
// psd-tools, composing the PSD's layers itself, agrees with; and the layer
// keys of a PSD survive PSD -> .yvn -> PSD.
//
// Needs the program (YVN2PSD_EXE) and, for the composition, /usr/bin/python3
// with psd_tools; each test skips with a message when one is missing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "blend/pixel.h"
#include "convert/jobs.h"
#include "kzm/image_context.h"
#include "kzm/pi_folder.h"
#include "kzm/pi_image.h"
#include "kzm/plane.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string Program() {
  const char* exe = std::getenv("YVN2PSD_EXE");
  return exe && access(exe, X_OK) == 0 ? exe : "";
}

std::string Shell(const std::string& cmd, int* status) {
  std::string out;
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) {
    *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int st = pclose(p);
  *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

bool HavePsdTools() {
  int st;
  Shell("/usr/bin/python3 -c 'import numpy, psd_tools.composite'", &st);
  return st == 0;
}

std::string SourceDir() {
  const char* s = std::getenv("YVN_SOURCE_DIR");
  return s ? s : ".";
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/blend_e2e_XXXXXX";
    const char* d = mkdtemp(tmpl);
    path_ = d ? d : "";
  }
  ~TempDir() {
    int st;
    if (!path_.empty()) Shell("rm -rf '" + path_ + "'", &st);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }
  bool ok() const { return !path_.empty(); }

 private:
  std::string path_;
};

Bytes Load(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// ---- PSD layer records, read and written without the program's code ----

uint32_t Be32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}
uint16_t Be16(const Bytes& b, size_t at) { return uint16_t(b[at] << 8 | b[at + 1]); }

struct Record {
  std::string name, key;
};

// Name and blend key of each layer record, bottom layer first; empty on a malformed file.
std::vector<Record> ReadRecords(const Bytes& f) {
  std::vector<Record> out;
  auto need = [&](size_t at, size_t n) { return at + n <= f.size(); };
  size_t at = 26;
  for (int skip = 0; skip < 2; ++skip) {  // colour mode data, image resources
    if (!need(at, 4)) return {};
    at += 4 + Be32(f, at);
  }
  at += 8;  // layer and mask length, layer info length
  if (!need(at, 2)) return {};
  const int count = std::abs(int16_t(Be16(f, at)));
  at += 2;
  for (int i = 0; i < count; ++i) {
    if (!need(at, 18)) return {};
    const int channels = Be16(f, at + 16);
    at += 18 + 6 * size_t(channels);
    if (!need(at, 16) || std::memcmp(&f[at], "8BIM", 4) != 0) return {};
    Record r;
    r.key.assign(reinterpret_cast<const char*>(&f[at + 4]), 4);
    const uint32_t extra = Be32(f, at + 12);
    size_t e = at + 16;
    if (!need(e, extra)) return {};
    e += 4 + Be32(f, e);  // mask data
    e += 4 + Be32(f, e);  // blending ranges
    r.name.assign(reinterpret_cast<const char*>(&f[e + 1]), f[e]);
    out.push_back(r);
    at += 16 + extra;
  }
  return out;
}

void Put16(Bytes& b, uint32_t v) { b.push_back(uint8_t(v >> 8)), b.push_back(uint8_t(v)); }
void Put32(Bytes& b, uint32_t v) { Put16(b, v >> 16), Put16(b, v & 0xFFFF); }

// A PSD with raw channel data: every layer covers the whole w x h canvas,
// layer i with key keys[i] and 8-bit pixels pixel(i, x, y) (straight RGBA).
Bytes RawPsd(uint32_t w, uint32_t h, const std::vector<std::string>& keys,
             uint32_t (*pixel)(size_t layer, uint32_t x, uint32_t y)) {
  Bytes f;
  f.insert(f.end(), {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0});
  Put16(f, 4), Put32(f, h), Put32(f, w), Put16(f, 8), Put16(f, 3);
  Put32(f, 0), Put32(f, 0);
  Bytes info;
  Put16(info, uint32_t(keys.size()));
  for (size_t i = 0; i < keys.size(); ++i) {
    Put32(info, 0), Put32(info, 0), Put32(info, h), Put32(info, w);
    Put16(info, 4);
    for (int16_t id : {int16_t(-1), int16_t(0), int16_t(1), int16_t(2)}) Put16(info, uint16_t(id)), Put32(info, 2 + w * h);
    info.insert(info.end(), {'8', 'B', 'I', 'M'});
    info.insert(info.end(), keys[i].begin(), keys[i].end());
    info.insert(info.end(), {255, 0, 0, 0});
    const std::string name = "layer " + std::to_string(i);
    Bytes pascal{uint8_t(name.size())};
    pascal.insert(pascal.end(), name.begin(), name.end());
    while (pascal.size() % 4) pascal.push_back(0);
    Put32(info, uint32_t(8 + pascal.size()));
    Put32(info, 0), Put32(info, 0);
    info.insert(info.end(), pascal.begin(), pascal.end());
  }
  for (size_t i = 0; i < keys.size(); ++i)
    for (int shift : {24, 0, 8, 16}) {  // transparency, red, green, blue
      Put16(info, 0);
      for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) info.push_back(uint8_t(pixel(i, x, y) >> shift));
    }
  if (info.size() % 2) info.push_back(0);
  Put32(f, uint32_t(info.size() + 8));
  Put32(f, uint32_t(info.size()));
  f.insert(f.end(), info.begin(), info.end());
  Put32(f, 0);  // global mask info
  Put16(f, 0);
  for (int shift : {0, 8, 16, 24})
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = 0; x < w; ++x) f.push_back(uint8_t(pixel(keys.size() - 1, x, y) >> shift));
  return f;
}

// ---- The native document with every mode ----

struct ModeKey {
  uint32_t id;
  const char* key;
};
// Each colour mode and the key the PSD must carry for it: the ones without
// a PSD counterpart ("user" has no kernel, "back" no PSD mode) are "norm".
const ModeKey kModes[] = {
    {0, "norm"},  {1, "norm"},  {2, "norm"},  {3, "mul "},  {4, "lddg"},  {5, "fsub"},  {6, "scrn"},
    {7, "over"},  {8, "dkCl"},  {9, "lgCl"},  {10, "hLit"}, {11, "sLit"}, {12, "vLit"}, {13, "lLit"},
    {14, "pLit"}, {15, "div "}, {16, "idiv"}, {17, "lbrn"}, {18, "dark"}, {19, "lite"}, {20, "diff"},
    {21, "smud"}, {50, "hue "}, {51, "sat "}, {52, "colr"}, {53, "lum "},
};

// Modes whose psd-tools composition is not ours, and why:
//  0 user: no kernel, the layer is left out of the merged image; psd-tools draws it as normal.
//  2 back: the destination over the layer; written as "norm", drawn by psd-tools as normal.
//  11 soft light: psd-tools takes sqrt(Cb) for every Cb where the published
//     formula takes ((16Cb - 12)Cb + 4)Cb for Cb <= 1/4 (up to about 15/255 apart).
//  12 vivid light: psd-tools draws an inverted hard mix instead of burn/dodge.
//  18, 19 darken, lighten: ours compare premultiplied channels, psd-tools straight ones.
//  50, 51 hue, saturation: ours darken by scaling (hue) and saturate the
//     unpremultiplied colour, psd-tools clips with ClipColor.
//  52, 53 color, luminance: within about 2.4/255; our unpremultiply adds its
//     rounding constant (up to 63/16384) before SetLum.
bool Coincides(uint32_t id) {
  switch (id) {
    case 0: case 2: case 11: case 12: case 18: case 19: case 50: case 51: case 52: case 53:
      return false;
  }
  return true;
}

constexpr int kWidth = 64, kStrip = 8;

uint32_t Hash(uint32_t x) {
  x ^= x >> 16, x *= 0x7feb352d, x ^= x >> 15, x *= 0x846ca68b, x ^= x >> 16;
  return x;
}

// 8-bit straight RGBA (red in the low byte) with plenty of extremes: opaque
// half the time, sometimes clear; channels often 0, 255 or one half.
uint32_t Pixel8(uint32_t seed) {
  const uint32_t h = Hash(seed), k = h % 16;
  const uint32_t a = k < 8 ? 255 : k == 8 ? 0 : k == 9 ? 1 + h % 20 : 32 + (h >> 8) % 224;
  uint32_t c[3];
  for (int i = 0; i < 3; ++i) {
    const uint32_t g = Hash(seed * 3 + uint32_t(i) + 0x9e3779b9u), m = g % 8;
    c[i] = m == 0 ? 0 : m == 1 ? 255 : m == 2 ? 128 : (g >> 8) % 256;
  }
  return c[0] | c[1] << 8 | c[2] << 16 | a << 24;
}

std::unique_ptr<kzm::Plane> Layer(const std::string& name, uint32_t mode, int top, int height, uint32_t salt) {
  std::unique_ptr<kzm::Plane> layer = kzm::PiImage::Create();
  layer->impl()->SetName(name);
  layer->impl()->SetBlend(kzm::Blend{mode, kzm::Blend::kAlphaModulate});
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < kWidth; ++x)
      layer->impl()->SetPixel(x, top + y, PixelFrom8(Pixel8(salt + uint32_t((y % kStrip) * kWidth + x))),
                              nullptr);
  return layer;
}

class EveryMode : public ::testing::Test {
 protected:
  // The program joins its input folder (none here) in front of the source and
  // drops the source's leading separator, so it is run on names in the folder.
  std::string Convert(const std::string& src, const std::string& dst, int* status) {
    return Shell("cd '" + dir_.path() + "' && '" + exe_ + "' -q -W '" + src + "' '" + dst + "'", status);
  }
  void SetUp() override {
    exe_ = Program();
    if (exe_.empty()) GTEST_SKIP() << "YVN2PSD_EXE does not name the built program";
    ASSERT_TRUE(dir_.ok());
  }
  std::string exe_;
  TempDir dir_;
};

TEST_F(EveryMode, NativeDocumentConvertsWithTheKeysAndPsdToolsComposesLikeUs) {
  const int n = int(std::size(kModes));
  {
    auto doc = kzm::ImageContextImpl::Create(kzm::PiFolder::CreateRoot());
    doc->Root()->folder()->SetFixedBounds(kzm::Rect{0, 0, kWidth, n * kStrip});
    // The base spans every strip, with the same pixels in each; layer i
    // covers strip i only, so every mode meets the same pairs.
    doc->Root()->impl()->AppendChild(Layer("base", 1, 0, n * kStrip, 0));
    for (int i = 0; i < n; ++i)
      doc->Root()->impl()->AppendChild(
          Layer("mode " + std::to_string(kModes[i].id), kModes[i].id, i * kStrip, kStrip, 1u << 20));
    KzmSave save(true, doc, dir_ / "modes.yvn", "modes.yvn", true);
    ASSERT_EQ(save.Run(), 0);
  }
  int st;
  const std::string out = Convert("modes.yvn", "modes.psd", &st);
  ASSERT_EQ(st, 0) << out;
  const std::vector<Record> records = ReadRecords(Load(dir_ / "modes.psd"));
  ASSERT_EQ(records.size(), size_t(n + 1)) << out;
  EXPECT_EQ(records[0].key, "norm");
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(records[size_t(i + 1)].name, "mode " + std::to_string(kModes[i].id));
    EXPECT_EQ(records[size_t(i + 1)].key, kModes[i].key) << "mode " << kModes[i].id;
  }

  if (!HavePsdTools()) GTEST_SKIP() << "python3-psd-tools (with numpy) is not installed for /usr/bin/python3";
  const std::string report = Shell("/usr/bin/python3 '" + SourceDir() + "/tests/blend/blend_psd_compose.py' '" +
                                     (dir_ / "modes.psd") + "' " + std::to_string(kStrip),
                                 &st);
  ASSERT_EQ(st, 0) << report;
  std::istringstream in(report);
  std::string line;
  int strips = 0;
  while (std::getline(in, line)) {
    std::istringstream s(line);
    std::string word, keyHex;
    int k;
    double premul, alpha, straight;
    if (!(s >> word >> k >> keyHex >> premul >> alpha >> straight) || word != "strip") continue;
    ASSERT_LT(k, n);
    ++strips;
    const uint32_t id = kModes[k].id;
    RecordProperty("mode_" + std::to_string(id), std::to_string(premul) + " " + std::to_string(alpha) + " " +
                                                      std::to_string(straight));
    if (!Coincides(id)) continue;
    EXPECT_LE(premul, 2.0) << "mode " << id << " premultiplied colour, in 1/255";
    EXPECT_LE(alpha, 2.0) << "mode " << id << " alpha, in 1/255";
    EXPECT_LE(straight, 2.0) << "mode " << id << " straight colour where both alphas >= 1/2, in 1/255";
  }
  EXPECT_EQ(strips, n) << report;
}

uint32_t RoundTripPixel(size_t layer, uint32_t x, uint32_t y) { return Pixel8(uint32_t(layer * 64 + y * 8 + x)); }

TEST_F(EveryMode, PsdKeysSurviveTheRoundTripThroughNative) {
  // The 24 keys with a native mode come back; "diss" becomes darken, "hMix"
  // and "fdiv" (no native mode) become normal.
  const std::vector<std::string> in = {"norm", "mul ", "lddg", "fsub", "scrn", "over", "dkCl",
                                       "lgCl", "hLit", "sLit", "vLit", "lLit", "pLit", "div ",
                                       "idiv", "lbrn", "dark", "lite", "diff", "smud", "hue ",
                                       "sat ", "colr", "lum ", "diss", "hMix", "fdiv"};
  std::vector<std::string> want(in.begin(), in.begin() + 24);
  want.insert(want.end(), {"dark", "norm", "norm"});
  const Bytes psd = RawPsd(8, 8, in, RoundTripPixel);
  {
    std::ofstream f(dir_ / "in.psd", std::ios::binary);
    f.write(reinterpret_cast<const char*>(psd.data()), std::streamsize(psd.size()));
  }
  ASSERT_EQ(ReadRecords(psd).size(), in.size()) << "the test's own file";
  int st;
  std::string out = Convert("in.psd", "mid.yvn", &st);
  ASSERT_EQ(st, 0) << out;
  out = Convert("mid.yvn", "out.psd", &st);
  ASSERT_EQ(st, 0) << out;
  const std::vector<Record> records = ReadRecords(Load(dir_ / "out.psd"));
  // The PSD's merged image comes back as one more layer on top.
  ASSERT_GE(records.size(), in.size()) << out;
  for (size_t i = 0; i < in.size(); ++i) {
    EXPECT_EQ(records[i].name, "layer " + std::to_string(i));
    EXPECT_EQ(records[i].key, want[i]) << "read as \"" << in[i] << "\"";
  }
}

}  // namespace
