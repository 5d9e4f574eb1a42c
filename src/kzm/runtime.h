// Process-wide runtime of the document model, started around a batch.
#pragma once

namespace kzm {

// First step: the block allocator with its first pools, then the main
// context recording the calling thread as the main thread.
void RuntimeStartup();
// Second step: the remaining pools.
void RuntimeStartupPools();
// Releases the main context, then the allocator with all its pools.
void RuntimeShutdown();

}  // namespace kzm
