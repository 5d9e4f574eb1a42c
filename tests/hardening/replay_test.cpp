// Every committed seed and every input that once made a fuzz harness fail
// (fuzz/regressions/<harness>/) goes through that harness again, in the
// normal and in the sanitizer build.
#include <dirent.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_util.h"

namespace {

using Harness = int (*)(const uint8_t*, size_t);

std::string SourceDir() {
  const char* s = std::getenv("YVN_SOURCE_DIR");
  return s ? s : "";
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') out.push_back(dir + "/" + e->d_name);
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

void Replay(const std::string& name, Harness run, size_t minSeeds) {
  const std::string root = SourceDir();
  ASSERT_FALSE(root.empty()) << "YVN_SOURCE_DIR is not set";
  const std::vector<std::string> seeds = FilesIn(root + "/fuzz/corpus/" + name);
  EXPECT_GE(seeds.size(), minSeeds) << "seed corpus of " << name << " is missing";
  std::vector<std::string> files = seeds;
  for (const std::string& f : FilesIn(root + "/fuzz/regressions/" + name)) files.push_back(f);
  for (const std::string& path : files) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    try {
      run(bytes.data(), bytes.size());
    } catch (const fuzz::CheckFailed& e) {
      ADD_FAILURE() << path << ": " << e.what();
    }
  }
}

TEST(FuzzReplay, ChunkContainer) { Replay("chunk", fuzz::Chunk, 5); }
TEST(FuzzReplay, DocumentLoad) { Replay("doc", fuzz::Doc, 3); }
TEST(FuzzReplay, PsdImport) { Replay("psd", fuzz::Psd, 5); }
TEST(FuzzReplay, PackBits) { Replay("packbits", fuzz::PackBits, 3); }

}  // namespace
