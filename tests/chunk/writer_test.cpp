// Writer failures: misuse of the writing order and sink errors are reported
// by end() instead of producing a damaged file that looks fine.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "chunk_test_util.h"

using namespace ct;

namespace {

struct Fixture {
  chunk::MemorySink mem;
  chunk::ChunkSink sink{mem.func()};
  chunk::ChunkWriter& root = sink.beginRoot("R");
};

}  // namespace

TEST(ChunkWriter, ValueAfterChildFails) {
  Fixture f;
  chunk::ChunkWriter& k = f.root.beginChild("K");
  EXPECT_TRUE(k.end());
  EXPECT_FALSE(f.root.writeU32("late", 1));
  EXPECT_FALSE(f.root.end());
  EXPECT_FALSE(f.sink.ok());
}

TEST(ChunkWriter, ArrayMustBeComplete) {
  {
    Fixture f;
    ASSERT_TRUE(f.root.beginArray("a", 2, 4));
    EXPECT_TRUE(f.root.writeElement("abcd"));
    EXPECT_FALSE(f.root.endArray());
    EXPECT_FALSE(f.root.end());
  }
  {
    Fixture f;
    ASSERT_TRUE(f.root.beginArray("a", 1, 4));
    EXPECT_TRUE(f.root.writeElement("abcd"));
    EXPECT_FALSE(f.root.writeElement("abcd"));  // one more than declared
    EXPECT_FALSE(f.root.end());
  }
  {
    Fixture f;
    ASSERT_TRUE(f.root.beginArray("a", 1, 4));
    EXPECT_FALSE(f.root.writeU32("v", 1));  // array still open
  }
  {
    Fixture f;
    EXPECT_FALSE(f.root.writeElement("abcd"));  // no array
  }
  {
    Fixture f;
    EXPECT_FALSE(f.root.beginArray("a", 1, 0));
  }
  {
    Fixture f;
    EXPECT_FALSE(f.root.beginArray("a", 1, 0x80000000u));  // would read as a plain size
  }
}

TEST(ChunkWriter, NamesAndSizes) {
  {
    Fixture f;
    EXPECT_FALSE(f.root.writeU32("", 1));  // an empty name ends the values
    EXPECT_FALSE(f.root.end());
  }
  {
    Fixture f;
    chunk::ChunkWriter& k = f.root.beginChild("");
    EXPECT_FALSE(k.ok());
    EXPECT_FALSE(f.root.end());
  }
  {
    Fixture f;
    static const uint8_t x = 0;
    EXPECT_FALSE(f.root.writeValue("big", 0x80000001ull, &x));
  }
}

TEST(ChunkWriter, ParentWaitsForOpenChild) {
  Fixture f;
  chunk::ChunkWriter& a = f.root.beginChild("A");
  EXPECT_FALSE(f.root.beginChild("B").ok());  // A still open
  EXPECT_FALSE(a.end());
  EXPECT_FALSE(f.root.end());
}

TEST(ChunkWriter, DoubleEndAndWritesAfterEnd) {
  Fixture f;
  chunk::ChunkWriter& a = f.root.beginChild("A");
  EXPECT_TRUE(a.end());
  EXPECT_FALSE(a.end());
  EXPECT_FALSE(a.writeU32("x", 1));
  EXPECT_FALSE(f.root.end());
}

TEST(ChunkWriter, SinkFailureReachesTheRoot) {
  int writes = 0;
  chunk::MemorySink mem;
  chunk::ChunkSink sink([&](chunk::SinkOp op, uint64_t size, const void* data) {
    if (op == chunk::SinkOp::Write && ++writes == 6) return false;
    return mem.onSink(op, size, data);
  });
  chunk::ChunkWriter& root = sink.beginRoot("R");
  chunk::ChunkWriter& k = root.beginPackedChild("K");
  for (int i = 0; i < 5; ++i) k.writeU32(("v" + std::to_string(i)).c_str(), i);
  EXPECT_FALSE(k.ok());
  EXPECT_FALSE(k.end());
  // The root itself never saw a failed call, but the file is broken.
  EXPECT_FALSE(root.end());
}

TEST(ChunkWriter, FileSinkReportsDiskErrors) {
  chunk::FileSink bad;
  EXPECT_FALSE(bad.open("/nonexistent-dir/x.yvn"));
  chunk::FileSink full;
  if (!full.open("/dev/full")) GTEST_SKIP() << "/dev/full not available";
  chunk::ChunkSink sink(full.func());
  chunk::ChunkWriter& root = sink.beginRoot("R");
  chunk::ChunkWriter& k = root.beginPackedChild("K");
  Bytes data(0x300000, 1);
  k.writeValue("d", data.size(), data.data());
  k.end();
  bool ok = root.end();
  ok = full.close() && ok;
  EXPECT_FALSE(ok);
}

TEST(ChunkWriter, UnfinishedCompressedChunkFailsClose) {
  const std::string path = testing::TempDir() + "chunk_unfinished.yvn";
  chunk::FileSink file;
  ASSERT_TRUE(file.open(path.c_str()));
  chunk::ChunkSink sink(file.func());
  chunk::ChunkWriter& root = sink.beginRoot("R");
  root.beginPackedChild("K").writeU32("v", 1);
  EXPECT_FALSE(file.close());
  std::remove(path.c_str());
}

// Output files are opened without truncating an empty file; one that holds
// bytes is still emptied first, and a missing one created.
TEST(ChunkWriter, OutputFileStartsEmpty) {
  const std::string path = testing::TempDir() + "chunk_output_file.bin";
  std::remove(path.c_str());
  for (const char* text : {"a longer first content", "short", ""}) {
    std::FILE* f = chunk::OpenOutputFile(path.c_str());
    ASSERT_NE(f, nullptr);
    std::fputs(text, f);
    ASSERT_EQ(std::fclose(f), 0);
    f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char back[64] = {};
    const size_t n = std::fread(back, 1, sizeof back, f);
    std::fclose(f);
    EXPECT_EQ(std::string(back, n), text);
  }
  EXPECT_EQ(chunk::OpenOutputFile("/nonexistent-dir/x.bin"), nullptr);
  std::remove(path.c_str());
}

// Write-back requested behind the writer changes nothing in the file: pieces
// of every size, past the size that starts the thread, with bytes near the
// head and in the middle rewritten after write-back has begun.
TEST(ChunkWriter, WriteBehindLeavesTheBytesAsWritten) {
  const std::string path = testing::TempDir() + "chunk_write_behind.bin";
  std::vector<uint8_t> want(size_t(40) << 20);
  uint32_t x = 12345;
  for (uint8_t& b : want) b = uint8_t((x = x * 1103515245u + 12345u) >> 24);
  std::FILE* f = chunk::OpenOutputFile(path.c_str());
  ASSERT_NE(f, nullptr);
  {
    chunk::WriteBehind behind(f);
    size_t at = 0, piece = 1;
    while (at < want.size()) {
      const size_t n = std::min(piece, want.size() - at);
      ASSERT_EQ(std::fwrite(want.data() + at, 1, n, f), n);
      at += n;
      behind.Wrote(at);
      piece = piece * 3 % 3000001 + 1;
    }
    for (size_t patch : {size_t(8), size_t(20) << 20}) {
      want[patch] ^= 0xFF;
      ASSERT_EQ(fseek(f, long(patch), SEEK_SET), 0);
      ASSERT_EQ(std::fwrite(&want[patch], 1, 1, f), 1u);
    }
  }
  ASSERT_EQ(std::fclose(f), 0);
  f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::vector<uint8_t> got(want.size() + 1);
  const size_t n = std::fread(got.data(), 1, got.size(), f);
  std::fclose(f);
  got.resize(n);
  EXPECT_TRUE(got == want);
  std::remove(path.c_str());
}
