#include "kzm/mempool.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iterator>
#if defined(_WIN32)
#include <malloc.h>
#else
#include <sys/mman.h>
#endif
#include <map>
#include <stdexcept>

#include "base/work_pool.h"

namespace kzm {

namespace {

constexpr size_t kTrailerOffset = MemPoolAlloc::kPageSize * MemPoolAlloc::kPagesPerChunk;  // 262144

// Chunks are placed on a page boundary, so that all 16 of their pages are
// usable (a plain malloc block starts just past one and yields 15).
#if defined(_WIN32)
void* AllocateChunk() {
  void* p = _aligned_malloc(MemPoolAlloc::kChunkBytes, MemPoolAlloc::kPageSize);
  if (!p) throw std::bad_alloc();
  return p;
}
void ReleaseChunk(void* p) { _aligned_free(p); }
#elif defined(__EMSCRIPTEN__)
// WebAssembly has no mappings: an emulated one is a heap block made and
// zeroed by a call out of the module, which a threaded module makes on its
// main thread only. Chunks come from the heap directly.
void* AllocateChunk() {
  void* p = nullptr;
  if (posix_memalign(&p, MemPoolAlloc::kPageSize, MemPoolAlloc::kChunkBytes) != 0) throw std::bad_alloc();
  return p;
}
void ReleaseChunk(void* p) { std::free(p); }
#else
// Chunks are cut from large mappings, 17 pages apart: the trailer past a
// chunk's 16 pages opens the 17th, of which only the first 4 KiB is ever
// touched. Aligned heap blocks of this size leave the heap's headers and
// padding between them, which costs about twice that.
class ChunkSlabs {
 public:
  static ChunkSlabs& Get() {
    static ChunkSlabs* slabs = new ChunkSlabs;  // outlives every allocator
    return *slabs;
  }
  void* Allocate() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_ || open_->used == kPerSlab) {
      void* m = mmap(nullptr, kSlabBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (m == MAP_FAILED) throw std::bad_alloc();
      const uintptr_t base = reinterpret_cast<uintptr_t>(m);
      open_ = &slabs_[base];
      open_->first = (base + MemPoolAlloc::kPageSize - 1) & MemPoolAlloc::kPageMask;
    }
    void* p = reinterpret_cast<void*>(open_->first + open_->used * kStride);
    ++open_->used;
    ++open_->live;
    return p;
  }
  void Release(void* p) {
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::prev(slabs_.upper_bound(a));  // the slab holding p
    if (--it->second.live == 0) {
      if (open_ == &it->second) open_ = nullptr;
      munmap(reinterpret_cast<void*>(it->first), kSlabBytes);
      slabs_.erase(it);
    }
  }

 private:
  static constexpr size_t kStride = 17 * MemPoolAlloc::kPageSize;
  static constexpr size_t kPerSlab = 60;
  static constexpr size_t kSlabBytes = kPerSlab * kStride + MemPoolAlloc::kPageSize;  // room to align
  struct Slab {
    uintptr_t first = 0;  // first chunk, on a page boundary
    size_t used = 0, live = 0;
  };
  std::mutex mutex_;
  std::map<uintptr_t, Slab> slabs_;  // by mapping address
  Slab* open_ = nullptr;             // the slab chunks are cut from
};

void* AllocateChunk() { return ChunkSlabs::Get().Allocate(); }
void ReleaseChunk(void* p) { ChunkSlabs::Get().Release(p); }
#endif

// A free block's first 8 bytes link to the next one (copied, so that no
// block size needs pointer alignment).
void* NextOf(const void* block) {
  void* next;
  std::memcpy(&next, block, sizeof next);
  return next;
}
void SetNext(void* block, void* next) { std::memcpy(block, &next, sizeof next); }

}  // namespace

// ---- chunk ----

MemPoolAlloc::blksrc_t::blksrc_t() : raw_(static_cast<uint8_t*>(AllocateChunk())) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(raw_);
  const uintptr_t first = (a + kPageSize - 1) & kPageMask;
  uint64_t next = first;
  uint32_t left = first == a ? uint32_t(kPagesPerChunk) : uint32_t(kPagesPerChunk - 1);
  std::memcpy(raw_ + kTrailerOffset, &next, 8);
  std::memcpy(raw_ + kTrailerOffset + 8, &left, 4);
}

MemPoolAlloc::blksrc_t::~blksrc_t() { ReleaseChunk(raw_); }

void* MemPoolAlloc::blksrc_t::TakePage() {
  uint64_t next;
  uint32_t left;
  std::memcpy(&next, raw_ + kTrailerOffset, 8);
  std::memcpy(&left, raw_ + kTrailerOffset + 8, 4);
  if (left == 0) return nullptr;
  void* page = reinterpret_cast<void*>(uintptr_t(next));
  next += kPageSize;
  --left;
  std::memcpy(raw_ + kTrailerOffset, &next, 8);
  std::memcpy(raw_ + kTrailerOffset + 8, &left, 4);
  return page;
}

// ---- allocator ----

MemPoolAlloc::~MemPoolAlloc() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  pools_.clear();
  chunks_.clear();
}

MemPoolAlloc::PoolHandle MemPoolAlloc::CreatePool(uint32_t blockSize) {
  if (blockSize < sizeof(void*) || blockSize > kPageBlockBytes) throw std::invalid_argument("bad pool block size");
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto pool = std::make_unique<Pool>();
  pool->alloc = this;
  pool->blockSize = blockSize;
  pools_.push_back(std::move(pool));
  return PoolHandle{this, pools_.back().get()};
}

void* MemPoolAlloc::TakePage() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!chunks_.empty()) {
    if (void* p = chunks_.back()->TakePage()) return p;
  }
  auto chunk = std::make_shared<blksrc_t>();  // may throw: nothing changed yet
  chunks_.push_back(chunk);
  return chunk->TakePage();
}

namespace {

// The allocator lock is held briefly (a few instructions, or a block cache
// refill), but threads building cells take it very often: trying a while
// before blocking keeps them off the futex (sleeping and waking cost far
// more than the wait; a paint-like import went from 16,000 context switches
// to under 1,000).
class SpinLockGuard {
 public:
  explicit SpinLockGuard(std::recursive_mutex& m) : m_(m) {
    for (int i = 0; i < 2000; ++i) {
      if (m_.try_lock()) return;
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
    m_.lock();
  }
  ~SpinLockGuard() { m_.unlock(); }
  SpinLockGuard(const SpinLockGuard&) = delete;
  SpinLockGuard& operator=(const SpinLockGuard&) = delete;

 private:
  std::recursive_mutex& m_;
};

}  // namespace

void* MemPoolAlloc::Alloc(PoolHandle h) {
  MemPoolAlloc* a = h.alloc;
  Pool* pool = h.pool;
  SpinLockGuard lock(a->mutex_);
  void* block;
  if (pool->head) {
    block = pool->head;
    pool->head = NextOf(block);
  } else {
    // A new page's blocks are handed out in order, not linked into the free
    // list first: linking wrote to every block of a cold page while holding
    // the lock other threads were waiting for.
    if (pool->next == pool->end) {
      pool->next = static_cast<uint8_t*>(a->TakePage());  // may throw: the pool is unchanged
      pool->end = pool->next + kPageBlockBytes / pool->blockSize * pool->blockSize;
    }
    block = pool->next;
    pool->next += pool->blockSize;
  }
  return block;
}

void MemPoolAlloc::Free(PoolHandle h, void* block) {
  if (!block) return;
  SpinLockGuard lock(h.alloc->mutex_);
  SetNext(block, h.pool->head);
  h.pool->head = block;
}

// ---- process-wide pools ----

namespace {

constexpr uint32_t kSizes[int(PoolId::kCount)] = {32, 512, 2056};

std::mutex g_setupMutex;
// Changes whenever the process-wide pools are destroyed: a thread's
// block cache of an earlier generation holds blocks of memory that is gone, and is dropped.
std::atomic<uint64_t> g_generation{1};

std::atomic<MemPoolAlloc*> g_alloc{nullptr};
std::atomic<MemPoolAlloc::Pool*> g_pools[int(PoolId::kCount)];

MemPoolAlloc::Pool* EnsurePool(PoolId id) {
  MemPoolAlloc::Pool* p = g_pools[int(id)].load(std::memory_order_acquire);
  if (p) return p;
  CreateProcessPools({PoolId::k32, PoolId::k512, PoolId::k2056});
  return g_pools[int(id)].load(std::memory_order_acquire);
}

}  // namespace

void CreateProcessPools(std::initializer_list<PoolId> ids) {
  std::lock_guard<std::mutex> lock(g_setupMutex);
  MemPoolAlloc* a = g_alloc.load(std::memory_order_acquire);
  if (!a) {
    a = new MemPoolAlloc();
    g_alloc.store(a, std::memory_order_release);
  }
  for (PoolId id : ids) {
    if (g_pools[int(id)].load(std::memory_order_acquire)) continue;
    g_pools[int(id)].store(a->CreatePool(kSizes[int(id)]).pool, std::memory_order_release);
  }
}

void DestroyProcessPools() {
  std::lock_guard<std::mutex> lock(g_setupMutex);
  g_generation.fetch_add(1, std::memory_order_acq_rel);
  for (auto& p : g_pools) p.store(nullptr, std::memory_order_release);
  delete g_alloc.exchange(nullptr, std::memory_order_acq_rel);
}

namespace {

// Threads doing parallel work build cells side by side; taking the allocator
// lock for every block kept them waiting on each other most of the time. So
// while a thread runs parallel work it keeps a few free blocks of every pool
// and takes or gives back kCacheBatch at a time under one lock. Outside
// parallel work a thread goes straight to the pools.
constexpr uint32_t kCacheBatch = 32;

struct WorkerCache {
  uint64_t generation = 0;
  void* head[int(PoolId::kCount)] = {};
  uint32_t count[int(PoolId::kCount)] = {};
};
thread_local WorkerCache t_cache;

WorkerCache& CurrentCache() {
  WorkerCache& c = t_cache;
  const uint64_t g = g_generation.load(std::memory_order_acquire);
  if (c.generation != g) {
    c = WorkerCache();
    c.generation = g;
  }
  return c;
}

}  // namespace

void* PoolAlloc(PoolId id) {
  MemPoolAlloc::Pool* p = EnsurePool(id);
  const MemPoolAlloc::PoolHandle h{p->alloc, p};
  if (!base::InParallelWork()) return MemPoolAlloc::Alloc(h);
  WorkerCache& c = CurrentCache();
  const int i = int(id);
  if (!c.head[i]) {
    // Blocks are taken under the lock and linked into the cache after it:
    // they are cold memory.
    void* taken[kCacheBatch];
    uint32_t n = 0;
    auto keep = [&] {
      for (uint32_t k = 0; k < n; ++k) {
        SetNext(taken[k], c.head[i]);
        c.head[i] = taken[k];
      }
      c.count[i] += n;
    };
    try {
      SpinLockGuard lock(p->alloc->Mutex());
      for (; n < kCacheBatch; ++n) taken[n] = MemPoolAlloc::Alloc(h);
    } catch (...) {
      keep();  // the blocks taken so far stay cached
      throw;
    }
    keep();
  }
  void* b = c.head[i];
  c.head[i] = NextOf(b);
  --c.count[i];
  return b;
}

void PoolFree(PoolId id, void* block) {
  if (!block) return;
  MemPoolAlloc::Pool* p = g_pools[int(id)].load(std::memory_order_acquire);
  if (!p) return;  // the pools are gone (after shut-down): nothing to give back to
  const MemPoolAlloc::PoolHandle h{p->alloc, p};
  if (!base::InParallelWork()) return MemPoolAlloc::Free(h, block);
  WorkerCache& c = CurrentCache();
  const int i = int(id);
  SetNext(block, c.head[i]);
  c.head[i] = block;
  if (++c.count[i] < 2 * kCacheBatch) return;
  SpinLockGuard lock(p->alloc->Mutex());
  for (uint32_t k = 0; k < kCacheBatch; ++k) {
    void* b = c.head[i];
    c.head[i] = NextOf(b);
    --c.count[i];
    MemPoolAlloc::Free(h, b);
  }
}

}  // namespace kzm
