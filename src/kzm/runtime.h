// Process-wide runtime of the document model, started around a batch.
//
// The model also works without these calls (tests, tools): the block pools
// are then created on first use.
#pragma once

namespace kzm {

// First step: the block allocator with its first pool (512 bytes) and the
// blend kernels' shared tables.
void RuntimeStartup();
// Second step: the remaining pools (32 and 2056 bytes).
void RuntimeStartupPools();
// Releases the allocator with all its pools and pages: every document must
// be gone by then.
void RuntimeShutdown();

}  // namespace kzm
