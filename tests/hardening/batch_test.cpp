// A batch over a folder of good and hostile files with "-F": every good
// file converts exactly as it does alone, every hostile one gets an error
// line and no destination, and the run ends normally.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <functional>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "chunk/chunk_writer.h"
#include "chunk/file_sink.h"
#include "hardening_util.h"

namespace {

using hard::Bytes;

struct Entry {
  std::string base;  // file name without extension; no name is part of another
  bool good;
  Bytes bytes;
};

void PutBe32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
}
uint32_t Be32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

Bytes Junk(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (uint8_t& x : b) x = uint8_t(rng());
  return b;
}

// A native file from the chunk writer with the given root values and one
// child chunk filled by `child`.
Bytes Native(uint32_t version, const char* tool, const std::function<void(chunk::ChunkWriter&)>& child) {
  chunk::MemorySink mem;
  chunk::ChunkSink sink(mem.func());
  chunk::ChunkWriter& root = sink.beginRoot("VorletBitmapImage");
  root.writeU32("version", version);
  root.writeString("tooltype", tool);
  if (child) child(root);
  root.end();
  return mem.bytes();
}

// Level-9 zeros inside a compressed plane: some 40 KiB that would inflate to
// 40 MiB, far past what so small a file may inflate to.
Bytes Bomb() {
  Bytes f = Native(0x10000000, "VORLET_PAINT", nullptr);
  f.resize(f.size() - 8);  // reopen the root: drop its end record
  Bytes body;
  auto u32 = [](Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
  };
  auto str = [&](Bytes& b, const std::string& s) {
    u32(b, uint32_t(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    b.resize(b.size() + ((s.size() + 4) & ~size_t(3)) - s.size(), 0);
  };
  str(body, "Plane0000");
  str(body, "zeros");
  u32(body, 40u << 20);
  body.resize(body.size() + (40u << 20), 0);
  u32(body, 0);
  u32(body, 0xFAEACDA0u);
  u32(body, 0);
  uLongf n = compressBound(uLong(body.size()));
  Bytes z(n);
  compress2(z.data(), &n, body.data(), uLong(body.size()), 9);
  z.resize(n);
  u32(f, 0xFDEACDA0u);
  u32(f, 0xFDEACDA1u);
  u32(f, uint32_t(z.size()));
  f.insert(f.end(), z.begin(), z.end());
  f.resize((f.size() + 3) & ~size_t(3), 0);
  u32(f, 0xFDEACDA1u);
  u32(f, 0);
  u32(f, 0xFAEACDA0u);
  u32(f, 0);
  return f;
}

// Offset of the first layer record's first channel length in a PSD written
// by the program (no colour data, no resources).
size_t FirstChannelLength(const Bytes& psd) {
  size_t p = 26;
  p += 4 + Be32(psd, p);
  p += 4 + Be32(psd, p);
  return p + 4 + 4 + 2 + 16 + 2 + 2;
}

// The stretch of output where each file's lines and its error line can be:
// from after the last mention of the file before it to the first mention of
// the file after it (a read that fails before its first progress line
// prints the error line first; one that fails after it, last).
std::vector<std::string> Windows(const std::string& out, const std::vector<Entry>& files) {
  std::vector<std::string> win(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    size_t from = 0, to = out.size();
    if (i > 0) {
      const size_t at = out.rfind(files[i - 1].base);
      if (at != std::string::npos) from = at + files[i - 1].base.size();
    }
    if (i + 1 < files.size()) to = std::min(to, out.find(files[i + 1].base));
    if (out.find(files[i].base) != std::string::npos && from < to) win[i] = out.substr(from, to - from);
  }
  return win;
}

size_t Count(const std::string& s, const std::string& part) {
  size_t n = 0;
  for (size_t at = s.find(part); at != std::string::npos; at = s.find(part, at + 1)) ++n;
  return n;
}

void RunBatch(const std::vector<Entry>& files, const std::string& from, const std::string& to) {
  const std::string dir = hard::MakeTempDir();
  ASSERT_FALSE(dir.empty());
  const std::string in = dir + "/in", out = dir + "/out", solo = dir + "/solo";
  for (const std::string& d : {in, out, solo}) ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
  for (const Entry& e : files) ASSERT_TRUE(hard::WriteFile(in + "/" + e.base + from, e.bytes));

  const hard::Run r = hard::RunProgram(in, {"-W", "-F", "-o" + out, "*" + from}, 0, 300);
  ASSERT_TRUE(r.finished) << r.out;
  EXPECT_EQ(r.exitValue, 0);
  // Files are taken in name order.
  const std::vector<std::string> seg = Windows(r.out, files);
  size_t hostile = 0;
  for (const Entry& e : files) hostile += !e.good;
  EXPECT_EQ(Count(r.out, "\nerror("), hostile) << r.out;
  for (size_t i = 0; i < files.size(); ++i) {
    const Entry& e = files[i];
    const std::string dst = out + "/" + e.base + to;
    ASSERT_FALSE(seg[i].empty()) << e.base << " is not mentioned in\n" << r.out;
    if (e.good) {
      // Alone, in a fresh run, it gives the same bytes.
      const hard::Run alone = hard::RunProgram(in, {"-W", e.base + from, solo + "/" + e.base + to}, 0, 120);
      ASSERT_TRUE(alone.finished && alone.exitValue == 0) << alone.out;
      const Bytes expect = hard::ReadFile(solo + "/" + e.base + to);
      ASSERT_FALSE(expect.empty()) << alone.out;
      EXPECT_TRUE(hard::ReadFile(dst) == expect) << e.base << " differs from its conversion alone";
    } else {
      EXPECT_NE(seg[i].find("\nerror("), std::string::npos) << e.base << " not reported:\n" << seg[i];
      EXPECT_TRUE(hard::ReadFile(dst).empty()) << e.base << " left a destination";
    }
  }
  for (const std::string& d : {in, out, solo}) hard::RemoveTree(d);
  hard::RemoveTree(dir);
}

TEST(HostileBatch, PsdFolder) {
  if (hard::ProgramPath().empty()) GTEST_SKIP() << "YVN2PSD_EXE is not set";
  const Bytes good1 = hard::GoodPsd(200, 150, 3, 21), good2 = hard::GoodPsd(90, 300, 2, 22),
              good3 = hard::GoodPsd(129, 129, 1, 23);
  Bytes wide = good2, huge = good2, channel = good1, depth = good3;
  PutBe32(wide, 18, 30001);                      // width
  PutBe32(huge, 14, 30000), PutBe32(huge, 18, 30000);  // both sides, data for 90 x 300
  PutBe32(channel, FirstChannelLength(channel), 0xFFFFFFF0u);
  depth[23] = 16;
  const std::vector<Entry> files = {
      {"a_good", true, good1},
      {"b_empty", false, {}},
      {"c_good", true, good2},
      {"d_junk", false, Junk(3000, 1)},
      {"e_cut", false, Bytes(good1.begin(), good1.begin() + long(good1.size() * 3 / 5))},
      {"f_wide", false, wide},
      {"g_good", true, good3},
      {"h_huge", false, huge},
      {"i_channel", false, channel},
      {"j_depth", false, depth},
      {"k_native", false, Native(0x10000000, "VORLET_PAINT", nullptr)},
      {"l_good", true, good1},
  };
  RunBatch(files, ".psd", ".yvn");
}

TEST(HostileBatch, NativeFolder) {
  if (hard::ProgramPath().empty()) GTEST_SKIP() << "YVN2PSD_EXE is not set";
  // Good native files: PSDs converted by the program's own jobs.
  const std::string tmp = hard::MakeTempDir();
  std::vector<Bytes> good;
  for (uint32_t seed : {31u, 32u, 33u}) {
    hard::WriteFile(tmp + "/g.psd", hard::GoodPsd(120 + seed, 100, 2, seed));
    ASSERT_EQ(hard::ConvertInProcess(tmp + "/g.psd", tmp + "/g.yvn", seed != 32).saveResult, 0);
    good.push_back(hard::ReadFile(tmp + "/g.yvn"));
  }
  hard::RemoveTree(tmp);
  Bytes deep;
  {
    chunk::MemorySink mem;
    chunk::ChunkSink sink(mem.func());
    std::vector<chunk::ChunkWriter*> open{&sink.beginRoot("VorletBitmapImage")};
    open.back()->writeU32("version", 0x10000000);
    open.back()->writeString("tooltype", "VORLET_PAINT");
    for (int i = 0; i < 2000; ++i) open.push_back(&open.back()->beginChild("n"));
    while (!open.empty()) open.back()->end(), open.pop_back();
    deep = mem.bytes();
  }
  const std::vector<Entry> files = {
      {"a_good", true, good[0]},
      {"b_empty", false, {}},
      {"c_bomb", false, Bomb()},
      {"d_good", true, good[1]},
      {"e_cut", false, Bytes(good[0].begin(), good[0].begin() + long(good[0].size() / 2))},
      {"f_old", false, Native(0x0FFFFFFF, "VORLET_PAINT", nullptr)},
      {"g_tool", false, Native(0x10000000, "OTHER_TOOL", nullptr)},
      {"h_junk", false, Junk(5000, 2)},
      {"i_deep", false, deep},
      {"j_psd", false, hard::GoodPsd(20, 20, 1, 3)},
      {"k_good", true, good[2]},
  };
  RunBatch(files, ".yvn", ".psd");
}

}  // namespace
