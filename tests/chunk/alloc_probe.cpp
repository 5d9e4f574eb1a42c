#include "alloc_probe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<size_t> gLargest{0};

void* Take(size_t n) {
  size_t cur = gLargest.load(std::memory_order_relaxed);
  while (n > cur && !gLargest.compare_exchange_weak(cur, n, std::memory_order_relaxed)) {
  }
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

namespace alloc_probe {
void Reset() { gLargest = 0; }
size_t Largest() { return gLargest; }
}  // namespace alloc_probe

void* operator new(size_t n) { return Take(n); }
void* operator new[](size_t n) { return Take(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
