// The chunk container of .yvn files: the golden example, random trees read
// back by the project's reader and an independent one, the compressed
// stream's segments, and byte sources read by position.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <thread>
#include <tuple>

#include "chunk/chunk_reader.h"
#include "chunk/chunk_writer.h"
#include "base/data_src.h"
#include "chunk/file_sink.h"
#include "base/work_pool.h"
#include "support/chunk_ref.h"
#include "support/sinks.h"
#include "support/support.h"

#if !defined(_WIN32)
#include <pthread.h>
#include <sys/mman.h>
#endif

namespace {

using namespace ts::ref;
using chunk::Deflater;

// Random trees: names unique in a chunk, sizes mostly small, some across the
// writer's batches and 512 KiB blocks, compressed chunks (nested too), arrays
// written a few elements at a time.
Chunk MakeTree(std::mt19937& rng, const std::string& name, int depth, bool nestPacked) {
  auto size = [&]() -> size_t {
    const uint32_t r = rng() % 100;
    return r < 10 ? 0 : r < 80 ? 1 + rng() % 40 : r < 97 ? 1 + rng() % 3000 : 0x18000 + rng() % 0x30000;
  };
  auto data = [&](size_t n) {
    Bytes d(n);
    const bool noise = rng() % 2;
    uint8_t v = uint8_t(rng());
    for (size_t i = 0; i < n; ++i) d[i] = v = noise || i % 64 == 0 ? uint8_t(rng()) : v;
    return d;
  };
  Chunk c;
  c.name = name;
  for (int i = 0, nv = int(rng() % 7); i < nv; ++i) {
    Value v;
    v.name = "v" + std::to_string(i) + std::string(rng() % 9, char('a' + i));
    if (rng() % 3 == 0) {
      v.elem = rng() % 8 ? 1 + rng() % 12 : 512;
      v.count = rng() % 6 ? 1 + uint32_t(size() / v.elem) : 0;
      v.data = data(size_t(v.elem) * v.count);
    } else {
      v.data = data(size());
    }
    c.values.push_back(std::move(v));
  }
  for (int i = 0, nc = depth < 3 ? int(rng() % 4) : 0; i < nc; ++i) {
    c.children.push_back(MakeTree(rng, "c" + std::to_string(i) + "_" + std::to_string(rng() % 1000), depth + 1,
                                  nestPacked));
    c.children.back().packed = nestPacked ? rng() % 2 : depth == 0 || rng() % 4 == 0;
  }
  return c;
}

// `inStream`: the tree goes into a compressed root, where compressed
// children join its stream as plain ones.
void WriteTree(chunk::ChunkWriter& w, const Chunk& c, std::mt19937& rng, bool inStream) {
  for (const Value& v : c.values) {
    if (v.elem == 0) {
      ASSERT_TRUE(w.writeValue(v.name.c_str(), v.data.size(), v.data.data()));
      continue;
    }
    ASSERT_TRUE(w.beginArray(v.name.c_str(), v.count, v.elem));
    for (uint32_t done = 0, n; done < v.count; done += n) {
      n = std::min<uint32_t>(v.count - done, 1 + rng() % 5);
      ASSERT_TRUE(w.writeElements(v.data.data() + size_t(done) * v.elem, n));
    }
    ASSERT_TRUE(w.endArray());
  }
  for (const Chunk& k : c.children) {
    chunk::ChunkWriter& cw =
        k.packed && !inStream ? w.beginPackedChild(k.name.c_str()) : w.beginChild(k.name.c_str());
    WriteTree(cw, k, rng, inStream);
    ASSERT_TRUE(cw.end());
  }
}

void ExpectSame(const chunk::IChunkBase& got, const Chunk& want) {
  ASSERT_EQ(std::string(got.name()), want.name);
  ASSERT_EQ(got.valueNames().size(), want.values.size()) << want.name;
  for (const Value& v : want.values) {
    chunk::ValueRange r;
    ASSERT_EQ(got.findValue(v.name.c_str(), r), v.count) << v.name;
    ASSERT_TRUE(Bytes(r.begin, r.end) == v.data) << v.name;
  }
  ASSERT_EQ(got.childNames().size(), want.children.size()) << want.name;
  for (const Chunk& k : want.children) {
    auto child = got.findChild(k.name.c_str());
    ASSERT_TRUE(child) << k.name;
    ExpectSame(*child, k);
  }
}

Bytes DeflateBlocks(const Bytes& data, size_t piece) {
  Bytes file;
  Deflater d([&](const void* p, size_t n) {
    file.insert(file.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
    return true;
  });
  for (size_t at = 0; at < data.size(); at += piece) EXPECT_TRUE(d.write(data.data() + at, std::min(piece, data.size() - at)));
  EXPECT_TRUE(d.finish());
  return file;
}

// A compressed root, as other writers may store one (this program writes
// plain roots): the plain root's bytes after its marker, deflated.
Bytes PackRoot(const Bytes& plain) {
  Bytes file{uint8_t(kPacked), uint8_t(kPacked >> 8), uint8_t(kPacked >> 16), uint8_t(kPacked >> 24)};
  const Bytes blocks = DeflateBlocks(Bytes(plain.begin() + 4, plain.end()), 0x10000);
  file.insert(file.end(), blocks.begin(), blocks.end());
  return file;
}

TEST(ChunkContainer, TheSmallestFileIsTheSixtyBytesOfTheExample) {
  const uint8_t kExample60[60] = {
      0xA0, 0xCD, 0xEA, 0xFA, 0x11, 0, 0, 0, 'V', 'o', 'r', 'l', 'e', 't', 'B', 'i', 't', 'm', 'a', 'p',
      'I', 'm', 'a', 'g', 'e', 0, 0, 0, 0x07, 0, 0, 0, 'v', 'e', 'r', 's', 'i', 'o', 'n', 0,
      0x04, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0xA0, 0xCD, 0xEA, 0xFA, 0, 0, 0, 0};
  ts::MemorySink mem;
  chunk::ChunkSink sink(mem.func());
  chunk::ChunkWriter& root = sink.beginRoot("VorletBitmapImage");
  ASSERT_TRUE(root.writeU32("version", 0x10000000));
  ASSERT_TRUE(root.end());
  ASSERT_EQ(mem.bytes(), Bytes(kExample60, kExample60 + 60));
  DataSrcMemory src(kExample60, 60);
  chunk::ChunkSA parsed(nullptr, src);
  ASSERT_TRUE(parsed.ok());
  chunk::ValueRange r;
  ASSERT_EQ(parsed.findValue("version", r), 1u);
  EXPECT_EQ(Le32(r.begin), 0x10000000u);
}

TEST(ChunkContainer, RandomTreesReadBackByBothReaders) {
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    Chunk tree = MakeTree(rng, "Root", 0, seed % 2);
    tree.packed = seed % 5 == 0;
    ts::MemorySink mem;
    {
      chunk::ChunkSink sink(mem.func());
      chunk::ChunkWriter& w = sink.beginRoot("Root");
      WriteTree(w, tree, rng, tree.packed);
      ASSERT_TRUE(w.end());
    }
    const Bytes file = tree.packed ? PackRoot(mem.bytes()) : mem.bytes();
    RefReader ref(file.data(), file.size());
    Chunk got;
    bool end;
    ASSERT_TRUE(ref.Read(got, end, false) && !end && ref.pos == file.size()) << "the layout, read literally";
    EXPECT_TRUE(got == tree);
    DataSrcMemory src(file.data(), file.size());
    chunk::ChunkSA parsed(nullptr, src);
    ASSERT_TRUE(parsed.ok());
    ExpectSame(parsed, tree);
  }
}

TEST(ChunkContainer, AMisusedWriterOrAFailedSinkFailsTheRoot) {
  for (int k = 0; k < 4; ++k) {
    ts::MemorySink mem;
    int writes = 0;
    chunk::ChunkSink sink([&](chunk::SinkOp op, uint64_t n, const void* p) {
      return (k != 3 || ++writes < 3) && mem.onSink(op, n, p);
    });
    chunk::ChunkWriter& root = sink.beginRoot("Root");
    chunk::ChunkWriter& child = root.beginChild("A");
    if (k == 0) root.writeU32("late", 1);           // a value of a parent with an open child
    child.end();
    if (k == 1) root.writeU32("afterChild", 1);     // a value after a child
    if (k == 2) root.beginArray("a", 2, 4), root.writeElements("xxxx", 1), root.endArray();  // an array short of its count
    root.writeU32("v", 1);
    EXPECT_FALSE(root.end()) << k;
  }
}

// The inflated stream of a block sequence; blocks but the last are full.
Bytes InflateBlocks(const Bytes& file) {
  Bytes z, out;
  size_t at = 0;
  for (uint32_t n; at + 8 <= file.size() && Le32(&file[at]) == kBlock && (n = Le32(&file[at + 4])) != 0;) {
    z.insert(z.end(), file.begin() + long(at + 8), file.begin() + long(at + 8 + n));
    at += 8 + ((n + 3) & ~3u);
    if (at + 8 < file.size()) {
      EXPECT_EQ(n, Deflater::kBlock);
    }
  }
  EXPECT_EQ(at + 8, file.size());
  EXPECT_TRUE(Inflate(z.data(), z.size(), out));
  return out;
}

TEST(ChunkContainer, DeflatedSegmentsAreOneStreamOfTheSameBytesWhereverTheyRun) {
  Bytes data(Deflater::kSegment * 4 + 999);
  std::mt19937 rnd(11);
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    const uint16_t v = uint16_t((i / 50000) % 3 == 0 ? 8192 : 4000 + (i / 64) % 9000 + rnd() % 7);
    data[i] = uint8_t(v), data[i + 1] = uint8_t(v >> 8);
  }
  base::SetWorkThreadLimit(1);
  const Bytes one = DeflateBlocks(data, 4096);
  base::SetWorkThreadLimit(3);
  EXPECT_TRUE(DeflateBlocks(data, Deflater::kSegment * 3) == one) << "other threads and write sizes";
  base::SetWorkThreadLimit(0);
  EXPECT_TRUE(InflateBlocks(one) == data);
  // Runs of one value stay within the 256:1 the reader allows a file.
  const Bytes zeros(Deflater::kSegment * 8, 0);
  const Bytes file = DeflateBlocks(zeros, Deflater::kSegment);
  EXPECT_LT(zeros.size() / file.size(), 240u);
  EXPECT_TRUE(InflateBlocks(file) == zeros);
#if !defined(_WIN32)
  // igzip 2.30 took a hash of a stream's first bytes from the address of its
  // state when a stream started without history: deflate short streams on
  // threads whose stacks lie at 128 places 576 KiB apart.
  std::vector<Bytes> inputs, expect;
  for (uint32_t s = 0; s < 16; ++s) {
    std::mt19937 rng(s);
    Bytes b(s % 8 ? 400 : 5000);
    for (auto& c : b) c = uint8_t('A' + rng() % 16);
    std::copy(b.begin(), b.begin() + 8, b.begin() + 100);
    inputs.push_back(b);
    expect.push_back(DeflateBlocks(b, b.size()));
  }
  constexpr size_t kThreads = 128, kStride = 9 << 16, kStack = 8 << 16;
  char* region = static_cast<char*>(
      mmap(nullptr, kThreads * kStride, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
  ASSERT_NE(region, MAP_FAILED);
  struct Job {
    const std::vector<Bytes>* inputs;
    std::vector<Bytes> outs;
  };
  size_t differ = 0;
  base::SetWorkThreadLimit(1);
  for (size_t t = 0; t < kThreads; ++t) {
    Job job{&inputs, {}};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, region + t * kStride, kStack);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, [](void* p) -> void* {
      Job* j = static_cast<Job*>(p);
      for (const Bytes& in : *j->inputs) j->outs.push_back(DeflateBlocks(in, in.size()));
      return nullptr;
    }, &job), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    for (size_t i = 0; i < inputs.size(); ++i) differ += job.outs[i] != expect[i];
  }
  base::SetWorkThreadLimit(0);
  munmap(region, kThreads * kStride);
  EXPECT_EQ(differ, 0u);
#endif
}

TEST(ByteSource, RangesReadOnAnyThreadAfterCloseAndFailWhenTheFileShrinks) {
  Bytes bytes(3 << 20);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 2654435761u >> 24);
  ts::TempDir dir;
  const std::string path = dir / "f";
  ts::WriteFile(path, ts::Str(bytes));
  DataSrcReadFromFile file;
  ASSERT_TRUE(file.open(path.c_str()));
  if (!file.openRange(0, 1)) GTEST_SKIP() << "no positional reads on this platform";
  EXPECT_EQ(file.openRange(bytes.size() - 10, 11), nullptr);
  const std::pair<uint64_t, uint64_t> pieces[] = {{0, 100}, {4, 1 << 20}, {12345, 2 << 20}, {bytes.size() - 7, 7}};
  std::vector<std::shared_ptr<DataSrcBase>> ranges;
  for (const auto& p : pieces) ranges.push_back(file.openRange(p.first, p.second));
  file.close();
  std::remove(path.c_str());  // the ranges hold the file open
  std::vector<std::thread> threads;
  std::vector<int> ok(ranges.size());
  for (size_t i = 0; i < ranges.size(); ++i)
    threads.emplace_back([&, i] {
      const uint8_t* all = ranges[i]->read(pieces[i].second);
      uint8_t extra;
      ok[i] = all && std::equal(all, all + pieces[i].second, bytes.data() + pieces[i].first) &&
              !ranges[i]->readTo(&extra, 1) && ranges[i]->position() == 0;
    });
  for (std::thread& t : threads) t.join();
  for (int k : ok) EXPECT_TRUE(k);
  // A range of a file that shrinks under it fails; what is left reads.
  ts::WriteFile(path, ts::Str(bytes));
  ASSERT_TRUE(file.open(path.c_str()));
  std::shared_ptr<DataSrcBase> range = file.openRange(1000, bytes.size() - 1000);
  ts::WriteFile(path, std::string(5000, 'x'));
  Bytes out(range->size());
  EXPECT_FALSE(range->readTo(out.data(), out.size()));
  EXPECT_TRUE(range->readTo(out.data(), 100));
}

}  // namespace
