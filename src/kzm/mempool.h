// Fixed-size block pools for the model's many small objects (cells, 512-byte
// pixel blocks, tile cell arrays).
//
// A MemPoolAlloc owns chunks of 0x40010 bytes, each cut into 16 KiB pages
// aligned on 16384 (16 pages when the allocation is aligned, as it is placed,
// 15 otherwise). A pool takes whole pages and hands out their blocks in
// order, freed blocks first; blocks fill the first 16376 bytes of a page.
// Pages are never returned before the allocator is destroyed.
//
// Process-wide pools: the runtime (kzm/runtime.h) creates them with its first
// reference and releases them with its last. Code that holds no reference
// (tests of other subsystems, fuzzers, tools) still works: the first
// PoolAlloc of a pool that does not exist yet creates the process-wide
// allocator and every missing pool.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace kzm {

class MemPoolAlloc {
 public:
  static constexpr size_t kPageSize = 16384;
  static constexpr size_t kPagesPerChunk = 16;
  static constexpr size_t kChunkBytes = 0x40010;      // 16 pages plus the trailer
  static constexpr size_t kPageBlockBytes = 16376;     // bytes of a page cut into blocks
  static constexpr uintptr_t kPageMask = ~uintptr_t(kPageSize - 1);

  // One chunk: the raw allocation; at byte offset 262144 lie the address of the
  // next page to hand out (64-bit) and the number of pages left (32-bit). The
  // constructor throws std::bad_alloc when no memory is left.
  struct blksrc_t {
    blksrc_t();
    ~blksrc_t();
    blksrc_t(const blksrc_t&) = delete;
    blksrc_t& operator=(const blksrc_t&) = delete;

    void* TakePage();        // null when exhausted

   private:
    uint8_t* raw_;
  };

  struct Pool {
    MemPoolAlloc* alloc = nullptr;
    void* head = nullptr;            // free list; a free block's first 8 bytes link to the next
    uint8_t* next = nullptr;         // the newest page's blocks not handed out yet: [next, end)
    uint8_t* end = nullptr;
    uint32_t blockSize = 0;
  };

  // (allocator, pool record), as kept in the process-wide pool variables.
  struct PoolHandle {
    MemPoolAlloc* alloc = nullptr;
    Pool* pool = nullptr;
  };

  MemPoolAlloc() = default;
  ~MemPoolAlloc();  // releases every chunk; blocks still in use become invalid
  MemPoolAlloc(const MemPoolAlloc&) = delete;
  MemPoolAlloc& operator=(const MemPoolAlloc&) = delete;

  // Block sizes must be at least 8 (the free-list link) and at most 16376.
  PoolHandle CreatePool(uint32_t blockSize);
  // One block of the pool's size. Takes the (recursive) allocator lock itself,
  // so callers may but need not hold it. Throws std::bad_alloc when a new
  // chunk cannot be allocated; the pool is then unchanged.
  static void* Alloc(PoolHandle h);
  // Puts a block back (null is ignored).
  static void Free(PoolHandle h, void* block);
  // One 16 KiB page, from the last chunk or a new one.
  void* TakePage();

  std::recursive_mutex& Mutex() { return mutex_; }

 private:
  std::recursive_mutex mutex_;
  std::vector<std::unique_ptr<Pool>> pools_;
  std::vector<std::shared_ptr<blksrc_t>> chunks_;
};

// The process-wide pools.
enum class PoolId : int { k32 = 0, k512, k2056, kCount };

// A thread running parallel work (base::InParallelWork) takes and returns
// blocks through a small cache of its own; other calls use the pool directly.
void* PoolAlloc(PoolId id);
void PoolFree(PoolId id, void* block);

// Runtime plumbing (used by kzm/runtime.cpp): create the process-wide
// allocator if missing plus the listed pools if missing; release everything.
void CreateProcessPools(std::initializer_list<PoolId> ids);
void DestroyProcessPools();

// Class-level operator new/delete for objects that live in a pool block.
#define KZM_POOLED(POOL_ID)                                                            \
  static void* operator new(size_t n) {                                                \
    (void)n;                                                                           \
    return ::kzm::PoolAlloc(POOL_ID);                                                  \
  }                                                                                    \
  static void operator delete(void* p) { ::kzm::PoolFree(POOL_ID, p); }

}  // namespace kzm
