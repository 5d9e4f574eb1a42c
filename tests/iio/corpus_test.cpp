// Real PSD files from other programs, read through iio::Psd and compared
// with an independent reader (psd-tools) and the corpus's reference images.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>

#include "blend/modes.h"
#include "iio/psd.h"
#include "iio/psd_out.h"
#include "iio/write_stream.h"
#include "iio_test_util.h"

namespace {

using namespace iiotest;

struct Entry {
  std::string file, expect;
  int layers = 0;
};

std::vector<Entry> Manifest(const std::string& dir) {
  std::vector<Entry> out;
  const Bytes text = LoadFile(dir + "/MANIFEST.tsv");
  std::istringstream in(std::string(text.begin(), text.end()));
  std::string line;
  std::vector<std::string> head;
  auto split = [](const std::string& l) {
    std::vector<std::string> cols;
    std::string cell;
    std::istringstream s(l);
    while (std::getline(s, cell, '\t')) cols.push_back(cell);
    return cols;
  };
  std::getline(in, line);
  head = split(line);
  auto col = [&](const char* name) {
    for (size_t i = 0; i < head.size(); ++i)
      if (head[i] == name) return i;
    ADD_FAILURE() << "no column " << name;
    return size_t(0);
  };
  const size_t cName = col("name"), cExpect = col("expect"), cLayers = col("layers");
  while (std::getline(in, line)) {
    const auto cols = split(line);
    if (cols.size() <= std::max({cName, cExpect, cLayers})) continue;
    out.push_back({cols[cName], cols[cExpect], std::atoi(cols[cLayers].c_str())});
  }
  return out;
}

// What psd-tools found in one file.
struct Reference {
  bool readable = false;
  std::string merged;  // raw RGBA file: the corpus's rendering of the stored merged image
  std::string topil;   // raw RGBA file: psd-tools' reading of the merged image (matte taken off)
  std::vector<std::map<std::string, std::string>> records;
};

std::map<std::string, Reference> DumpAll(const std::string& dir, const std::vector<Entry>& files,
                                         const std::string& out) {
  std::string cmd = "/usr/bin/python3 '" + SourceDir() + "/tests/iio/iio_psd_dump.py' --batch '" + out +
                    "' '" + dir + "/expected'";
  for (const Entry& e : files) cmd += " '" + dir + "/" + e.file + "'";
  int status;
  const std::string text = RunCommand(cmd + " 2>/dev/null", &status);
  EXPECT_EQ(status, 0) << "the reference dump failed";
  std::map<std::string, Reference> refs;
  std::istringstream in(text);
  std::string line;
  Reference* cur = nullptr;
  while (std::getline(in, line)) {
    std::istringstream s(line);
    std::string kind;
    s >> kind;
    if (kind == "file") {
      std::string name;
      s >> name;
      cur = &refs[name];
    } else if (!cur) {
      continue;
    } else if (kind == "merged") {
      s >> cur->merged;
    } else if (kind == "topil") {
      s >> cur->topil;
    } else if (kind == "canvas") {
      cur->readable = true;
    } else if (kind == "record") {
      std::map<std::string, std::string> rec;
      std::string tok;
      s >> tok;  // index
      while (s >> tok) {
        const size_t eq = tok.find('=');
        if (eq != std::string::npos) rec[tok.substr(0, eq)] = tok.substr(eq + 1);
      }
      cur->records.push_back(rec);
    }
  }
  return refs;
}

std::vector<uint32_t> RawRgba(const std::string& path) {
  const Bytes b = LoadFile(path);
  std::vector<uint32_t> px(b.size() / 4);
  for (size_t i = 0; i < px.size(); ++i)
    px[i] = b[4 * i] | b[4 * i + 1] << 8 | b[4 * i + 2] << 16 | uint32_t(b[4 * i + 3]) << 24;
  return px;
}

// A stored merged-image pixel with its colour taken off the white it is
// matted on: (s - 255 + a) * 255 / a rounded, 0 below the white alone;
// transparent and opaque pixels as stored.
uint32_t Unmatted(uint32_t stored) {
  const long a = long(stored >> 24);
  if (a == 0 || a == 255) return stored;
  uint32_t out = uint32_t(a) << 24;
  for (int c = 0; c < 3; ++c) {
    const long s = long(stored >> (8 * c) & 0xFF);
    out |= uint32_t(std::max(0L, std::lround(double(s - 255 + a) * 255.0 / double(a)))) << (8 * c);
  }
  return out;
}

// Pixels of `got` whose transparency differs from `want`'s, or whose colour
// differs by more than 1 where the transparency is 16 or more.
size_t MatteMismatches(const std::vector<uint32_t>& got, const std::vector<uint32_t>& want) {
  if (got.size() != want.size()) return std::max<size_t>(1, got.size());
  size_t bad = 0;
  for (size_t k = 0; k < got.size(); ++k) {
    bool ok = got[k] >> 24 == want[k] >> 24;
    for (int c = 0; c < 3 && ok && got[k] >> 24 >= 16; ++c)
      ok = std::abs(int(got[k] >> (8 * c) & 0xFF) - int(want[k] >> (8 * c) & 0xFF)) <= 1;
    bad += !ok;
  }
  return bad;
}

bool PartlyTransparent(const std::vector<uint32_t>& px) {
  for (uint32_t p : px)
    if (p >> 24 != 0 && p >> 24 != 255) return true;
  return false;
}

int RefusedCode(const std::string& expect) {
  if (expect.rfind("REFUSE(", 0) != 0) return -1;
  return std::atoi(expect.c_str() + 7);
}

TEST(PsdCorpus, RefusableFilesAreRefusedWithTheirCode) {
  const std::string dir = CorpusDir();
  if (dir.empty()) GTEST_SKIP() << "PSD corpus not found (set YVN_PSD_CORPUS)";
  int refused = 0;
  for (const Entry& e : Manifest(dir)) {
    const int code = RefusedCode(e.expect);
    if (code < 0) continue;
    ++refused;
    DataSrcReadFromFile src;
    ASSERT_TRUE(src.open((dir + "/" + e.file).c_str())) << e.file;
    const ReadResult r = ReadAll(src);
    EXPECT_EQ(r.error, code) << e.file;
  }
  EXPECT_GT(refused, 0);
}

TEST(PsdCorpus, AcceptableFilesAgreeWithAnIndependentReader) {
  const std::string dir = CorpusDir();
  if (dir.empty()) GTEST_SKIP() << "PSD corpus not found (set YVN_PSD_CORPUS)";
  std::vector<Entry> accepted;
  for (const Entry& e : Manifest(dir))
    if (e.expect == "ACCEPT") accepted.push_back(e);
  ASSERT_FALSE(accepted.empty());

  // Our own reading comes first: it must work without the reference reader.
  std::map<std::string, ReadResult> ours;
  for (const Entry& e : accepted) {
    DataSrcReadFromFile src;
    ASSERT_TRUE(src.open((dir + "/" + e.file).c_str())) << e.file;
    ReadResult r = ReadAll(src, 16);
    EXPECT_EQ(r.error, 0) << e.file;
    EXPECT_EQ(r.count, uint32_t(e.layers) + 1) << e.file;
    EXPECT_EQ(r.images.size(), r.count) << e.file;
    if (!r.images.empty()) {
      const Image& merged = r.images.back();
      EXPECT_EQ(merged.param.visible, e.layers == 0 ? 1 : 0) << e.file;
      EXPECT_EQ(merged.param.name, "ImgIOPsd_MergedImage") << e.file;
    }
    ours[e.file.substr(0, e.file.rfind('.'))] = std::move(r);
  }

  if (!HavePsdTools())
    GTEST_SKIP() << "python3-psd-tools is not installed for /usr/bin/python3: "
                    "compared nothing beyond our own reading";
  const std::string out = MakeTempDir();
  const auto refs = DumpAll(dir, accepted, out);
  int layersCompared = 0, pixelsCompared = 0;
  for (const auto& item : ours) {
    const std::string& name = item.first;
    const ReadResult& r = item.second;
    SCOPED_TRACE(name);
    auto it = refs.find(name);
    ASSERT_NE(it, refs.end());
    const Reference& ref = it->second;
    if (!ref.merged.empty() && !r.images.empty()) {
      std::vector<uint32_t> want = RawRgba(ref.merged);
      for (uint32_t& p : want) p = Unmatted(p);
      EXPECT_EQ(r.images.back().pixels, want) << "merged image";
      ++pixelsCompared;
    }
    if (!ref.readable) continue;  // e.g. a layer section of length 0
    ASSERT_EQ(ref.records.size() + 1, r.images.size());
    for (size_t i = 0; i < ref.records.size(); ++i) {
      SCOPED_TRACE("record " + std::to_string(i));
      auto rec = ref.records[i];
      const iio::layer_param_t& p = r.images[i].param;
      const int section = std::stoi(rec["section"]);
      const int flags = std::stoi(rec["flags"]);
      const long long lspf = std::stoll(rec["lspf"]);
      const int op = std::stoi(rec["opacity"]);
      EXPECT_EQ(p.name, FromHex(rec["name"]));
      EXPECT_EQ(p.opacity, (op * 16384 + 254) / 255);
      const std::string key = FromHex(rec["blend"]);
      ASSERT_EQ(key.size(), 4u);
      EXPECT_EQ(p.blend.ColorMode(), blend::ColorModeForPsdKey(key.c_str())) << key;
      EXPECT_EQ(p.blend.Flags(), std::stoi(rec["clipping"]) ? 0x30000u : 0u);
      EXPECT_EQ(p.alphaLock, lspf >= 0 ? (lspf & 1) : (flags & 1));
      EXPECT_EQ(p.planeLock, lspf >= 0 ? (lspf >> 1) & 1 : 0);
      EXPECT_EQ(p.lockAll, lspf >= 0 ? (lspf >> 31) & 1 : 0);
      const bool empty = std::stoi(rec["right"]) <= std::stoi(rec["left"]) ||
                         std::stoi(rec["bottom"]) <= std::stoi(rec["top"]);
      const bool dropped = section != 0 || (empty && (flags & 24) == 24);
      EXPECT_EQ(p.pixelsIrrelevant, dropped ? 1 : 0);
      if (section != 0) continue;
      EXPECT_EQ(p.visible, std::stoi(rec["visible"]));
      if (!empty) {
        EXPECT_EQ(p.left, std::stoi(rec["left"]));
        EXPECT_EQ(p.top, std::stoi(rec["top"]));
        EXPECT_EQ(p.right, std::stoi(rec["right"]));
        EXPECT_EQ(p.bottom, std::stoi(rec["bottom"]));
      }
      ++layersCompared;
      if (rec["pix"] != "-") {
        const std::vector<uint32_t> want = RawRgba(rec["pix"]);
        const std::vector<uint32_t>& got = r.images[i].pixels;
        ASSERT_EQ(got.size(), want.size());
        size_t bad = 0, first = 0;
        for (size_t k = 0; k < got.size(); ++k)
          if (got[k] != want[k] && bad++ == 0) first = k;
        EXPECT_EQ(bad, 0u) << "first difference at pixel " << first << ": " << std::hex << got[first]
                           << " vs " << want[first];
        ++pixelsCompared;
      }
    }
  }
  std::printf("compared %d layer records and %d images\n", layersCompared, pixelsCompared);
  EXPECT_GT(layersCompared, 50);
  EXPECT_GT(pixelsCompared, 30);
  int st;
  RunCommand("rm -rf '" + out + "'", &st);
}

// Partly transparent merged images, stored matted on white: read, they agree
// with psd-tools' reading of them; written again (from what was read), the
// file reads the same in psd-tools. Within 1/255 where the transparency is
// 16 or more, where 8-bit rounding leaves a few values between readers.
TEST(PsdCorpus, MergedImagesMattedOnWhiteReadAndWriteAsPsdToolsReadsThem) {
  const std::string dir = CorpusDir();
  if (dir.empty()) GTEST_SKIP() << "PSD corpus not found (set YVN_PSD_CORPUS)";
  if (!HavePsdTools()) GTEST_SKIP() << "python3-psd-tools is not installed for /usr/bin/python3";
  const std::string out = MakeTempDir();
  std::vector<Entry> files;
  std::map<std::string, std::vector<uint32_t>> ours;
  for (const Entry& e : Manifest(dir)) {
    if (e.expect != "ACCEPT") continue;
    const ReadResult r = ReadBytes(LoadFile(dir + "/" + e.file));
    if (r.error || r.images.empty() || !PartlyTransparent(r.images.back().pixels)) continue;
    const std::string name = e.file.substr(0, e.file.rfind('.'));
    ours[name] = r.images.back().pixels;
    files.push_back(e);
    // The merged image written again, without layers.
    iio::WriteStream s(out + "/" + e.file);
    ASSERT_TRUE(s.Open());
    iio::PsdOut psd(s);
    std::vector<PixelRGBA> px;
    for (uint32_t p : ours[name]) px.push_back(PixelFrom8(p));
    ASSERT_TRUE(psd.Begin(r.width, r.height, {}) && psd.WriteRows(px.data(), r.height) && psd.Finish());
    ASSERT_TRUE(s.Close());
  }
  const auto refs = DumpAll(dir, files, out + "/orig");
  const auto again = DumpAll(out, files, out + "/written");
  int compared = 0;
  for (const auto& [name, pixels] : ours) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(refs.count(name) && again.count(name));
    ASSERT_FALSE(refs.at(name).topil.empty());
    const std::vector<uint32_t> theirs = RawRgba(refs.at(name).topil);
    ASSERT_EQ(theirs.size(), pixels.size());
    bool sameAlpha = true;
    for (size_t k = 0; k < pixels.size(); ++k) sameAlpha = sameAlpha && pixels[k] >> 24 == theirs[k] >> 24;
    if (!sameAlpha) continue;  // psd-tools takes the fourth channel for a saved selection
    EXPECT_EQ(MatteMismatches(pixels, theirs), 0u) << "read";
    EXPECT_EQ(MatteMismatches(RawRgba(again.at(name).topil), theirs), 0u) << "written";
    ++compared;
  }
  std::printf("compared %d partly transparent merged images\n", compared);
  EXPECT_GE(compared, 3);
  int st;
  RunCommand("rm -rf '" + out + "'", &st);
}

}  // namespace
