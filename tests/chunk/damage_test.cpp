// Damaged and hostile input: never a crash, hang or over-read (run under the
// sanitizer build), and declared sizes never drive allocation.
#include <cstdio>

#include "alloc_probe.h"
#include "chunk/chunk_values.h"
#include "chunk_test_util.h"

using namespace ct;

namespace {

// A small file with compressed chunks nested inside each other.
Bytes SampleFile(uint32_t seed, size_t big = 0x800) {
  TreeGen gen(seed, PackMode::Nested, big);
  RefChunk tree = gen.make(3);
  if (tree.children.empty()) tree.children.push_back(gen.make(1));
  tree.children[0].packed = true;
  return WriteFile(tree);
}

}  // namespace

TEST(ChunkDamage, EveryPrefixFails) {
  const Bytes file = SampleFile(11);
  ASSERT_TRUE(Parse(file)->ok());
  ASSERT_LT(file.size(), 40000u);
  for (size_t n = 0; n < file.size(); ++n) {
    const Bytes cut(file.begin(), file.begin() + n);
    auto p = Parse(cut);
    ASSERT_FALSE(p->ok()) << n;
    ASSERT_TRUE(Empty(*p)) << n;
  }
}

TEST(ChunkDamage, PrefixesAroundBlockBoundaries) {
  // A compressed chunk over several blocks; cut near every block header.
  RefChunk root;
  root.name = "R";
  RefChunk kid;
  kid.name = "K";
  kid.packed = true;
  RefValue v;
  v.name = "noise";
  std::mt19937 rng(3);
  v.data.resize(0x140000);
  for (auto& x : v.data) x = uint8_t(rng());
  kid.values.push_back(v);
  root.children.push_back(kid);
  const Bytes file = WriteFile(root);
  for (size_t i = 0; i + 8 <= file.size(); i += 4) {
    if (Le32(&file[i]) != kBlock) continue;
    for (size_t n = i > 12 ? i - 12 : 0; n < std::min(file.size(), i + 12); ++n)
      ASSERT_FALSE(Parse(Bytes(file.begin(), file.begin() + n))->ok()) << n;
  }
  ASSERT_TRUE(Parse(file)->ok());
}

TEST(ChunkDamage, RandomByteFlips) {
  std::mt19937 rng(20240607);
  int survived = 0;
  for (uint32_t f = 0; f < 4; ++f) {
    const Bytes file = SampleFile(30 + f);
    for (int i = 0; i < 1000; ++i) {
      Bytes b = file;
      const int flips = 1 + rng() % 3;
      for (int k = 0; k < flips; ++k) {
        const size_t at = rng() % b.size();
        b[at] = rng() % 4 == 0 ? uint8_t(rng()) : uint8_t(b[at] ^ (1u << (rng() % 8)));
      }
      auto p = Parse(b);
      if (p->ok()) {
        ++survived;
        Walk(*p);
      } else {
        ASSERT_TRUE(Empty(*p));
      }
    }
  }
  // Flips inside value data survive; headers and zlib data mostly do not.
  EXPECT_GT(survived, 0);
}

TEST(ChunkDamage, HostileSizeWordsFailBeforeAllocation) {
  // Plain value of 0x80000000 bytes in a tiny file.
  Builder a;
  a.u32(kMarker).str("R").str("v").u32(0x80000000u).zeros(64);
  // Array whose E x N only fits in 64 bits: 0x7FFFFFFF x 0xFFFFFFFF.
  Builder b;
  b.u32(kMarker).str("R").str("v").u32(0x80000001u).u32(0xFFFFFFFFu).zeros(64);
  // E x N that wraps to a small number in 32 bits: 0x10000 x 0x10001.
  Builder c;
  c.u32(kMarker).str("R").str("v").u32(0u - 0x10000u).u32(0x10001u).zeros(0x20000);
  // Huge name and string lengths.
  Builder d;
  d.u32(kMarker).u32(0xFFFFFFF0u).zeros(64);
  Builder e;
  e.u32(kMarker).str("R").u32(0x7FFFFFFFu).zeros(64);
  // A block count beyond the file.
  Builder f;
  f.u32(kPacked).u32(kBlock).u32(0xFFFFFFF0u).zeros(64);
  for (const Bytes* x : {&a.b, &b.b, &c.b, &d.b, &e.b, &f.b}) {
    alloc_probe::Reset();
    auto p = Parse(*x);
    EXPECT_FALSE(p->ok());
    EXPECT_LT(alloc_probe::Largest(), size_t(0x100000));
  }
}

namespace {

// A compressed root declaring a value of `declared` bytes whose stream holds
// only `actual` of them, followed by `junk` raw bytes after the sequence.
Bytes ShortStream(uint32_t declared, size_t actual, size_t junk) {
  Builder body;
  body.str("R").str("v").u32(declared);
  Bytes data(actual);
  for (size_t i = 0; i < actual; ++i) data[i] = uint8_t(i / 1000);
  body.raw(data);
  const Bytes z = Deflate(body.b);
  Builder f;
  f.u32(kPacked).u32(kBlock).u32(uint32_t(z.size())).raw(z).pad().u32(kBlock).u32(0);
  f.zeros(junk);
  return f.b;
}

}  // namespace

TEST(ChunkDamage, CompressedDeclaredSizesAreBoundedByWhatCanArrive) {
  // 1 GiB declared, a few KiB of compressed bytes: no 1032:1 expansion can
  // deliver it, so it fails at once.
  const Bytes huge = ShortStream(0x40000000u, 0x100000, 0);
  alloc_probe::Reset();
  EXPECT_FALSE(Parse(huge)->ok());
  EXPECT_LT(alloc_probe::Largest(), size_t(0x100000));

  // 256 MiB declared with 1 MiB of raw bytes behind it (so the size bound
  // alone would allow it), only 3 MiB actually inflated: buffers grow with
  // the inflated bytes and never toward the declared size.
  const Bytes shortOne = ShortStream(0x10000000u, 0x300000, 0x100000);
  alloc_probe::Reset();
  EXPECT_FALSE(Parse(shortOne)->ok());
  EXPECT_LE(alloc_probe::Largest(), size_t(0x400000));
}

TEST(ChunkDamage, InflatedBytesCanBeCapped) {
  Builder body;
  body.str("R").str("v").u32(0x1000000).zeros(0x1000000).u32(0).endRecord();
  const Bytes z = Deflate(body.b);
  Builder f;
  f.u32(kPacked).u32(kBlock).u32(uint32_t(z.size())).raw(z).pad().u32(kBlock).u32(0);
  auto full = Parse(f.b);
  ASSERT_TRUE(full->ok());
  EXPECT_EQ(full->inflatedBytes(), body.b.size());
  chunk::ReadLimits lim;
  lim.maxInflatedBytes = 0x800000;
  alloc_probe::Reset();
  EXPECT_FALSE(Parse(f.b, nullptr, lim)->ok());
  EXPECT_LE(alloc_probe::Largest(), size_t(0x800000));
}

TEST(ChunkDamage, NestingDepthIsBounded) {
  Builder b;
  for (int i = 0; i < 1000; ++i) b.u32(kMarker).str("n").u32(0);
  for (int i = 0; i < 1000; ++i) b.endRecord();
  EXPECT_FALSE(Parse(b.b)->ok());
  chunk::ReadLimits lim;
  lim.maxDepth = 1000;
  EXPECT_TRUE(Parse(b.b, nullptr, lim)->ok());
}

TEST(ChunkDamage, StreamErrorsFail) {
  const Bytes body = Builder().str("R").u32(0).endRecord().b;
  Bytes z = Deflate(body);
  auto file = [](const Bytes& zz) {
    Builder f;
    f.u32(kPacked).u32(kBlock).u32(uint32_t(zz.size())).raw(zz).pad().u32(kBlock).u32(0);
    return f.b;
  };
  ASSERT_TRUE(Parse(file(z))->ok());
  Bytes badAdler = z;
  badAdler.back() ^= 1;
  EXPECT_FALSE(Parse(file(badAdler))->ok());
  Bytes badHeader = z;
  badHeader[0] = 0x79;
  EXPECT_FALSE(Parse(file(badHeader))->ok());
  // A second block carrying data after the stream end is passed over, as
  // long as the sequence is terminated.
  Builder g;
  g.u32(kPacked).u32(kBlock).u32(uint32_t(z.size())).raw(z).pad();
  g.u32(kBlock).u32(4).u32(0xDEADBEEF).u32(kBlock).u32(0);
  EXPECT_TRUE(Parse(g.b)->ok());
  // A block header without the block marker.
  Builder h;
  h.u32(kPacked).u32(kMarker).u32(uint32_t(z.size())).raw(z).pad().u32(kBlock).u32(0);
  EXPECT_FALSE(Parse(h.b)->ok());
  // Stream truncated: the terminating block arrives while bytes are needed.
  Builder t;
  t.u32(kPacked).u32(kBlock).u32(uint32_t(z.size() - 6)).raw(z.data(), z.size() - 6).pad().u32(kBlock).u32(0);
  EXPECT_FALSE(Parse(t.b)->ok());
}

TEST(ChunkDamage, PositionsBeyondFourGiB) {
  // A sparse file with two skipped 2 GiB values before the one that is kept;
  // 32-bit offsets would land in the wrong place.
  const std::string path = testing::TempDir() + "chunk_sparse_4g.yvn";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_TRUE(f);
  Builder head;
  head.u32(kMarker).str("R").str("pad1").u32(0x80000000u);
  ASSERT_EQ(std::fwrite(head.b.data(), 1, head.b.size(), f), head.b.size());
  uint64_t pos = head.b.size() + 0x80000000ull;
  Builder mid;
  mid.str("pad2").u32(0x80000000u);
  if (fseeko(f, off_t(pos), SEEK_SET) != 0 || std::fwrite(mid.b.data(), 1, mid.b.size(), f) != mid.b.size()) {
    std::fclose(f);
    std::remove(path.c_str());
    GTEST_SKIP() << "no room for a sparse 4 GiB file";
  }
  pos += mid.b.size() + 0x80000000ull;
  Builder tail;
  tail.value("tail", {0x78, 0x56, 0x34, 0x12}).u32(0).endRecord();
  ASSERT_EQ(fseeko(f, off_t(pos), SEEK_SET), 0);
  ASSERT_EQ(std::fwrite(tail.b.data(), 1, tail.b.size(), f), tail.b.size());
  ASSERT_EQ(std::fclose(f), 0);

  struct L : chunk::ReadAllListener {
    chunk::ValuePolicy valuePolicy(uint32_t) override { return chunk::ValuePolicy::AskEach; }
    bool wantValue(uint32_t, const char* n) override { return std::string(n) == "tail"; }
  } l;
  DataSrcReadFromFile src;
  ASSERT_TRUE(src.open(path.c_str()));
  EXPECT_GT(src.size(), 0x100000000ull);
  chunk::ChunkSA root(&l, src);
  std::remove(path.c_str());
  uint32_t v = 0;
  ASSERT_TRUE(chunk::ReadU32(root, "tail", v));
  EXPECT_EQ(v, 0x12345678u);
}
