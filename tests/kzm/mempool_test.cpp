// Block pools: page cutting, free lists, page masking on aligned and
// unaligned chunks.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#ifdef _WIN32
#include <malloc.h>
#endif
#include <cstring>
#include <set>
#include <vector>

#include "kzm/mempool.h"

namespace kzm {
namespace {

// Chunk sources placing the chunk exactly on, or 16 bytes past, a 16 KiB boundary.
#ifdef _WIN32
// The Windows runtime has no aligned_alloc; its aligned blocks need their own free.
void* AllocAligned(size_t n) { return _aligned_malloc(n, 16384); }
void ReleaseAligned(void* p) { _aligned_free(p); }
#else
void* AllocAligned(size_t n) { return std::aligned_alloc(16384, n); }
void ReleaseAligned(void* p) { std::free(p); }
#endif
void* AlignedChunk(size_t n) { return AllocAligned(((n + 16384) / 16384) * 16384); }
void* g_unalignedBase = nullptr;
void* UnalignedChunk(size_t n) {
  g_unalignedBase = AllocAligned(((n + 16 + 16384) / 16384) * 16384);
  return static_cast<uint8_t*>(g_unalignedBase) + 16;
}
void FreeAligned(void* p) { ReleaseAligned(p); }
void FreeUnaligned(void* p) { ReleaseAligned(static_cast<uint8_t*>(p) - 16); }

uintptr_t Addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

TEST(MemPool, ThirtySecondBlockOf512TakesSecondPage) {
  MemPoolAlloc a;
  auto pool = a.CreatePool(512, "");
  std::vector<void*> blocks;
  for (int i = 0; i < 31; ++i) blocks.push_back(MemPoolAlloc::Alloc(pool));
  EXPECT_EQ(pool.pool->pages.size(), 1u);
  const uintptr_t page0 = Addr(blocks[0]) & MemPoolAlloc::kPageMask;
  for (int i = 0; i < 31; ++i) {
    EXPECT_EQ(Addr(blocks[i]) & MemPoolAlloc::kPageMask, page0);
    EXPECT_EQ(Addr(blocks[i]), page0 + 512u * i) << "blocks are handed out in address order";
  }
  EXPECT_EQ(MemPoolAlloc::PageFreeCount(blocks[0]), 0u);
  void* b32 = MemPoolAlloc::Alloc(pool);
  EXPECT_EQ(pool.pool->pages.size(), 2u);
  EXPECT_NE(Addr(b32) & MemPoolAlloc::kPageMask, page0);
  EXPECT_EQ(MemPoolAlloc::PageFreeCount(b32), 30u);
  // The last block ends before the page's free count.
  EXPECT_LE(Addr(blocks[30]) + 512 - page0, MemPoolAlloc::kFreeCountOffset);
}

TEST(MemPool, FreedBlockIsHandedOutAgain) {
  MemPoolAlloc a;
  auto pool = a.CreatePool(32, "");
  void* x = MemPoolAlloc::Alloc(pool);
  void* y = MemPoolAlloc::Alloc(pool);
  EXPECT_EQ(MemPoolAlloc::PageFreeCount(x), 511u - 2);
  MemPoolAlloc::Free(pool, x);
  EXPECT_EQ(MemPoolAlloc::PageFreeCount(x), 511u - 1);
  EXPECT_EQ(MemPoolAlloc::Alloc(pool), x);
  MemPoolAlloc::Free(pool, nullptr);  // ignored
  MemPoolAlloc::Free(pool, y);
  MemPoolAlloc::Free(pool, x);
  EXPECT_EQ(MemPoolAlloc::Alloc(pool), x) << "last freed first";
  EXPECT_EQ(MemPoolAlloc::Alloc(pool), y);
}

TEST(MemPool, BlocksPerPageFollowBlockSize) {
  MemPoolAlloc a;
  const struct { uint32_t size, perPage; } cases[] = {{16, 1023}, {20, 818}, {24, 682}, {32, 511}, {512, 31}, {2056, 7}};
  for (auto c : cases) {
    auto pool = a.CreatePool(c.size, "");
    void* first = MemPoolAlloc::Alloc(pool);
    EXPECT_EQ(MemPoolAlloc::PageFreeCount(first), c.perPage - 1) << c.size;
    for (uint32_t i = 1; i < c.perPage; ++i) MemPoolAlloc::Alloc(pool);
    EXPECT_EQ(pool.pool->pages.size(), 1u) << c.size;
    MemPoolAlloc::Alloc(pool);
    EXPECT_EQ(pool.pool->pages.size(), 2u) << c.size;
  }
}

void CheckChunkPages(MemPoolAlloc::ChunkSource src, unsigned expectPages) {
  MemPoolAlloc a(src);
  auto pool = a.CreatePool(2056, "");
  std::set<uintptr_t> pages;
  // 7 blocks per page: fill exactly the first chunk's pages.
  std::vector<void*> blocks;
  for (unsigned i = 0; i < expectPages * 7; ++i) blocks.push_back(MemPoolAlloc::Alloc(pool));
  EXPECT_EQ(a.ChunkCount(), 1u);
  for (void* b : blocks) pages.insert(Addr(b) & MemPoolAlloc::kPageMask);
  EXPECT_EQ(pages.size(), expectPages);
  for (uintptr_t p : pages) EXPECT_EQ(p % 16384, 0u);
  // Every block's page (found by masking) carries the right free count and
  // lies inside the chunk.
  for (void* b : blocks) EXPECT_EQ(MemPoolAlloc::PageFreeCount(b), 0u);
  MemPoolAlloc::Free(pool, blocks[3]);
  EXPECT_EQ(MemPoolAlloc::PageFreeCount(blocks[4]), 1u);
  EXPECT_EQ(MemPoolAlloc::PageFreeCount(blocks[7]), 0u);
  EXPECT_EQ(MemPoolAlloc::Alloc(pool), blocks[3]);
  // The next page needs a second chunk.
  MemPoolAlloc::Alloc(pool);
  EXPECT_EQ(a.ChunkCount(), 2u);
}

TEST(MemPool, AlignedChunkGivesSixteenPages) { CheckChunkPages({&AlignedChunk, &FreeAligned}, 16); }
TEST(MemPool, UnalignedChunkGivesFifteenPages) { CheckChunkPages({&UnalignedChunk, &FreeUnaligned}, 15); }

// The default source over more chunks than one of its mappings holds: every
// chunk offers 16 pages, and no block, page count or chunk trailer overlaps
// another chunk's (each block keeps the pattern written into it).
TEST(MemPool, DefaultSourceChunksHoldSixteenPagesApart) {
  for (int round = 0; round < 2; ++round) {
    MemPoolAlloc a;
    auto pool = a.CreatePool(512, "");
    const size_t chunks = 130, perChunk = 16 * 31;
    std::vector<uint8_t*> blocks;
    for (size_t i = 0; i < chunks * perChunk; ++i) {
      blocks.push_back(static_cast<uint8_t*>(MemPoolAlloc::Alloc(pool)));
      std::memset(blocks.back(), int(i * 7 % 251), 512);
    }
    EXPECT_EQ(a.ChunkCount(), chunks);
    for (size_t i = 0; i < blocks.size(); ++i) {
      ASSERT_EQ(blocks[i][0], uint8_t(i * 7 % 251)) << i;
      ASSERT_EQ(blocks[i][511], uint8_t(i * 7 % 251)) << i;
      ASSERT_EQ(MemPoolAlloc::PageFreeCount(blocks[i]), 0u) << i;
    }
  }
}

TEST(MemPool, ChunkTrailerCountsPagesLeft) {
  MemPoolAlloc::blksrc_t chunk({&UnalignedChunk, &FreeUnaligned});
  EXPECT_EQ(chunk.PagesTotal(), 15u);
  EXPECT_EQ(chunk.PagesLeft(), 15u);
  void* p0 = chunk.TakePage();
  void* p1 = chunk.TakePage();
  EXPECT_EQ(Addr(p1) - Addr(p0), 16384u);
  EXPECT_EQ(Addr(p0), (Addr(chunk.Raw()) + 16383) & MemPoolAlloc::kPageMask);
  EXPECT_EQ(chunk.PagesLeft(), 13u);
  for (int i = 0; i < 13; ++i) ASSERT_NE(chunk.TakePage(), nullptr);
  EXPECT_EQ(chunk.TakePage(), nullptr);
  // The trailer sits after the pages, inside the allocation.
  EXPECT_LE(Addr(p0) + 15 * 16384, Addr(chunk.Raw()) + 262144);
}

void* FailingChunk(size_t) { throw std::bad_alloc(); }

TEST(MemPool, FailedChunkAllocationLeavesPoolUnchanged) {
  MemPoolAlloc a({&FailingChunk, &FreeAligned});
  auto pool = a.CreatePool(64, "");
  EXPECT_THROW(MemPoolAlloc::Alloc(pool), std::bad_alloc);
  EXPECT_TRUE(pool.pool->pages.empty());
  EXPECT_EQ(pool.pool->head, nullptr);
  EXPECT_EQ(a.ChunkCount(), 0u);
}

TEST(MemPool, ProcessPoolsWorkWithoutStartUp) {
  // No runtime start-up in this test binary's process: the first use creates them.
  void* b = PoolAlloc(PoolId::k512);
  ASSERT_NE(b, nullptr);
  EXPECT_GE(PoolBlocksInUse(PoolId::k512), 1u);
  const size_t used = PoolBlocksInUse(PoolId::k512);
  PoolFree(PoolId::k512, b);
  EXPECT_EQ(PoolBlocksInUse(PoolId::k512), used - 1);
  EXPECT_NE(ProcessAllocator(), nullptr);
}

}  // namespace
}  // namespace kzm
