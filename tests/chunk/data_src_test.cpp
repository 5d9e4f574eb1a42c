// Ranges of a file source: the bytes the file holds there, readable on other
// threads and after the file source is closed; refused outside the file, and
// failing (not crashing) when the file shrinks under them.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "chunk/data_src.h"

namespace {

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 131 + (i >> 8));
  return b;
}

std::string WriteFile(const char* name, const std::vector<uint8_t>& bytes) {
  const std::string path = testing::TempDir() + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  EXPECT_NE(f, nullptr);
  if (f) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  return path;
}

}  // namespace

TEST(DataSrcRange, ReadsItsBytesOnAnyThreadAfterClose) {
  const std::vector<uint8_t> bytes = Pattern(3 << 20);
  const std::string path = WriteFile("data_src_range.bin", bytes);
  DataSrcReadFromFile file;
  ASSERT_TRUE(file.open(path.c_str()));
  if (!file.openRange(0, 1)) GTEST_SKIP() << "no positional reads on this platform";
  EXPECT_EQ(file.openRange(bytes.size() - 10, 11), nullptr);
  EXPECT_EQ(file.openRange(bytes.size() + 1, 0), nullptr);
  ASSERT_NE(file.openRange(bytes.size(), 0), nullptr);

  struct Piece {
    uint64_t start, size;
  };
  const std::vector<Piece> pieces = {{0, 100}, {4, 1 << 20}, {12345, 2 << 20}, {bytes.size() - 7, 7}};
  std::vector<std::shared_ptr<DataSrcBase>> ranges;
  for (const Piece& p : pieces) ranges.push_back(file.openRange(p.start, p.size));
  file.close();
  std::remove(path.c_str());  // the ranges hold the file open

  std::vector<std::thread> threads;
  std::vector<int> ok(pieces.size(), 0);
  for (size_t i = 0; i < pieces.size(); ++i)
    threads.emplace_back([&, i] {
      DataSrcBase& r = *ranges[i];
      const uint8_t* want = bytes.data() + pieces[i].start;
      const uint64_t n = pieces[i].size;
      bool good = r.size() == n && r.remaining() == n;
      // A read of everything, then skip + read, then readTo past the end.
      const uint8_t* all = r.read(n);
      good = good && all && std::equal(all, all + n, want) && r.remaining() == 0;
      r.rewind();
      good = good && r.skip(n / 2);
      std::vector<uint8_t> rest;
      good = good && r.readInto(rest, n - n / 2) && std::equal(rest.begin(), rest.end(), want + n / 2);
      uint8_t extra;
      good = good && !r.readTo(&extra, 1) && r.position() == 0 && !r.skip(n + 1);
      ok[i] = good;
    });
  for (std::thread& t : threads) t.join();
  for (size_t i = 0; i < pieces.size(); ++i) EXPECT_TRUE(ok[i]) << "piece " << i;
}

TEST(DataSrcRange, FailsWhenTheFileShrinks) {
  const std::vector<uint8_t> bytes = Pattern(1 << 20);
  const std::string path = WriteFile("data_src_shrink.bin", bytes);
  DataSrcReadFromFile file;
  ASSERT_TRUE(file.open(path.c_str()));
  std::shared_ptr<DataSrcBase> range = file.openRange(1000, bytes.size() - 1000);
  if (!range) GTEST_SKIP() << "no positional reads on this platform";
  WriteFile("data_src_shrink.bin", Pattern(5000));  // rewritten shorter in place
  std::vector<uint8_t> out(range->size());
  EXPECT_FALSE(range->readTo(out.data(), out.size()));
  EXPECT_EQ(range->position(), 0u);
  uint8_t head[100];
  EXPECT_TRUE(range->readTo(head, sizeof head));  // what is still there reads
  std::remove(path.c_str());
}
