// Records the largest single allocation made through operator new, so tests
// can show that declared sizes do not drive allocation.
#pragma once
#include <cstddef>

namespace alloc_probe {
void Reset();
size_t Largest();
}  // namespace alloc_probe
