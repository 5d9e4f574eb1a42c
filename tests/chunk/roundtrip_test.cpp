// Random trees written plain / compressed / nested-compressed parse back
// identical, and the compressed layout is one zlib stream per outermost
// compressed chunk with one terminating block.
#include "chunk/chunk_values.h"
#include "chunk_test_util.h"

using namespace ct;

namespace {

void RoundTrip(PackMode mode, uint32_t seed, int depth, size_t big) {
  TreeGen gen(seed, mode, big);
  const RefChunk tree = gen.make(depth);
  const Bytes file = WriteFile(tree, seed);
  ASSERT_FALSE(testing::Test::HasFatalFailure());

  RefChunk ref;
  RefStats stats;
  ASSERT_TRUE(RefParse(file, ref, &stats)) << "seed " << seed;
  ExpectSameRef(ref, tree);
  for (const auto& blocks : stats.blocks) {
    ASSERT_FALSE(blocks.empty());
    // Blocks leave when the 512 KiB output buffer is full; only the last
    // one of a stream is shorter.
    for (size_t i = 0; i + 1 < blocks.size(); ++i) EXPECT_EQ(blocks[i], 0x80000u);
    EXPECT_LE(blocks.back(), 0x80000u);
  }
  if (mode == PackMode::Plain) {
    EXPECT_EQ(stats.streams, 0);
  }

  auto parsed = Parse(file);
  ASSERT_TRUE(parsed->ok()) << "seed " << seed;
  ExpectSame(*parsed, tree);
}

// Counts the outermost compressed chunks of a reference tree.
int Streams(const RefChunk& c) {
  if (c.packed) return 1;
  int n = 0;
  for (const RefChunk& k : c.children) n += Streams(k);
  return n;
}

}  // namespace

TEST(ChunkRoundTrip, PlainTrees) {
  for (uint32_t seed = 1; seed <= 40; ++seed) RoundTrip(PackMode::Plain, seed, 3, 0x30000);
}

TEST(ChunkRoundTrip, CompressedChildren) {
  for (uint32_t seed = 100; seed <= 140; ++seed) RoundTrip(PackMode::Children, seed, 3, 0x30000);
}

TEST(ChunkRoundTrip, NestedCompressedChunks) {
  for (uint32_t seed = 200; seed <= 240; ++seed) {
    TreeGen gen(seed, PackMode::Nested, 0x30000);
    const RefChunk tree = gen.make(4);
    RefStats stats;
    RefChunk ref;
    ASSERT_TRUE(RefParse(WriteFile(tree), ref, &stats));
    // However many compressed chunks a subtree holds, it is one stream.
    EXPECT_EQ(stats.streams, Streams(tree)) << "seed " << seed;
    RoundTrip(PackMode::Nested, seed, 4, 0x30000);
  }
}

TEST(ChunkRoundTrip, LargeValuesSpanManyBlocks) {
  // Values of several hundred KiB: many 128 KiB batches and 512 KiB blocks,
  // and 1 MiB read pieces in the reader.
  for (uint32_t seed = 300; seed <= 305; ++seed) RoundTrip(PackMode::Children, seed, 2, 0x300000);
  RoundTrip(PackMode::Nested, 306, 2, 0x300000);
}

TEST(ChunkRoundTrip, SmallCompressedChunkIsOneBlock) {
  RefChunk root;
  root.name = "R";
  RefChunk kid;
  kid.name = "K";
  kid.packed = true;
  RefChunk inner;
  inner.name = "Inner";
  inner.packed = true;
  RefValue v;
  v.name = "noise";
  std::mt19937 rng(5);
  v.data.resize(0x1F000);  // incompressible, just under 128 KiB
  for (auto& b : v.data) b = uint8_t(rng());
  inner.values.push_back(v);
  kid.children.push_back(inner);
  root.children.push_back(kid);
  const Bytes file = WriteFile(root);
  RefStats stats;
  RefChunk ref;
  ASSERT_TRUE(RefParse(file, ref, &stats));
  ASSERT_EQ(stats.streams, 1);
  ASSERT_EQ(stats.blocks[0].size(), 1u);
  auto p = Parse(file);
  ASSERT_TRUE(p->ok());
  ExpectSame(*p, root);
}

TEST(ChunkRoundTrip, PackedRoot) {
  RefChunk root;
  root.name = "VorletBitmapImage";
  root.packed = true;
  RefValue v;
  v.name = "version";
  v.data = {0, 0, 0, 0x10};
  root.values.push_back(v);
  const Bytes file = WriteFile(root);
  EXPECT_EQ(Le32(file.data()), kPacked);
  auto p = Parse(file);
  uint32_t version;
  ASSERT_TRUE(chunk::ReadU32(*p, "version", version));
  EXPECT_EQ(version, 0x10000000u);
}

namespace {

// Root "R" holding a compressed child "P" whose zlib stream is cut so that
// its last block carries only the final `tail` bytes, then a plain child "Q".
Bytes SplitTrailerFile(size_t tail, bool terminate = true) {
  chunk::MemorySink mem;
  {
    chunk::ChunkSink sink(mem.func());
    chunk::ChunkWriter& p = sink.beginRoot("P");
    Bytes data(3000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * i >> 5);
    p.writeValue("data", data.size(), data.data());
    p.end();
  }
  const Bytes body(mem.bytes().begin() + 4, mem.bytes().end());
  const Bytes z = Deflate(body);
  Builder b;
  b.u32(kMarker).str("R").u32(0);
  b.u32(kPacked);
  const size_t cut = z.size() - tail;
  b.u32(kBlock).u32(uint32_t(cut)).raw(z.data(), cut).pad();
  b.u32(kBlock).u32(uint32_t(tail)).raw(z.data() + cut, tail).pad();
  if (terminate) b.u32(kBlock).u32(0);
  b.u32(kMarker).str("Q").value("q", {9, 9, 9, 9}).u32(0).endRecord();
  b.endRecord();
  return b.b;
}

}  // namespace

TEST(ChunkRoundTrip, ScopeCloseConsumesBlocksThroughTerminator) {
  // The decompressed bytes of "P" are complete before its last block is
  // read; the reader must still consume that block and the terminator so
  // that "Q" is read from the right position.
  for (size_t tail = 1; tail <= 12; ++tail) {
    auto p = Parse(SplitTrailerFile(tail));
    ASSERT_TRUE(p->ok()) << tail;
    EXPECT_EQ(p->childNames(), (std::vector<std::string>{"P", "Q"}));
    uint32_t q;
    EXPECT_TRUE(chunk::ReadU32(*p->findChild("Q"), "q", q));
    chunk::ValueRange r;
    EXPECT_EQ(p->findChild("P")->findValue("data", r), 1u);
    EXPECT_EQ(r.size(), 3000u);
  }
  // Without its terminating block the sequence is damaged.
  EXPECT_FALSE(Parse(SplitTrailerFile(4, false))->ok());
}

TEST(ChunkRoundTrip, ListenerFiltersAndProgress) {
  TreeGen gen(77, PackMode::Children, 0x300000);
  RefChunk tree = gen.make(2);
  RefValue big;
  big.name = "big";
  big.data.assign(0x280000, 3);  // read in three 1 MiB pieces
  tree.values.push_back(big);
  const Bytes file = WriteFile(tree);

  struct L : chunk::IListener {
    int progress = 0, childrenEnd = 0;
    uint64_t lastPos = 0, total = 0;
    bool cancelAt = false;
    int cancelAfter = -1;
    bool onProgress(uint32_t, uint64_t pos, uint64_t tot) override {
      EXPECT_LE(pos, tot);
      lastPos = pos;
      total = tot;
      ++progress;
      return cancelAfter >= 0 && progress > cancelAfter;
    }
    chunk::ValuePolicy valuePolicy(uint32_t depth) override {
      return depth == 0 ? chunk::ValuePolicy::AskEach : chunk::ValuePolicy::SkipAll;
    }
    bool wantValue(uint32_t, const char* name) override { return std::string(name) == "big"; }
    bool wantChildren(uint32_t depth, const char*) override { return depth == 0; }
    void onChildrenEnd(uint32_t) override { ++childrenEnd; }
  } l;
  auto p = Parse(file, &l);
  ASSERT_TRUE(p->ok());
  EXPECT_EQ(p->valueNames(), std::vector<std::string>{"big"});
  EXPECT_EQ(p->childNames().size(), tree.children.size());
  for (const auto& n : p->childNames()) {
    auto k = p->findChild(n.c_str());
    EXPECT_TRUE(k->valueNames().empty());
    EXPECT_TRUE(k->childNames().empty());
  }
  EXPECT_EQ(l.childrenEnd, 1);
  EXPECT_EQ(l.total, file.size());
  EXPECT_GT(l.progress, 3);

  // A cancel at any point fails the parse.
  for (int at : {0, 1, 2, l.progress - 1}) {
    L c;
    c.cancelAfter = at;
    EXPECT_TRUE(Empty(*Parse(file, &c))) << at;
  }
}

TEST(ChunkRoundTrip, CompressedChunkInSkippedSubtreeIsNotInflated) {
  Builder b;
  b.u32(kMarker).str("R").u32(0);
  b.u32(kMarker).str("skipme").u32(0);
  b.u32(kPacked).u32(kBlock).u32(8).raw("notzlib!", 8).u32(kBlock).u32(0);
  b.endRecord();
  b.u32(kMarker).str("keep").u32(0).endRecord();
  b.endRecord();
  struct L : chunk::ReadAllListener {
    bool wantChildren(uint32_t, const char* name) override { return std::string(name) != "skipme"; }
  } l;
  auto p = Parse(b.b, &l);
  ASSERT_TRUE(p->ok());
  EXPECT_EQ(p->childNames(), (std::vector<std::string>{"skipme", "keep"}));
  // Reading everything has to inflate it, and the garbage fails the parse.
  EXPECT_FALSE(Parse(b.b)->ok());
}
