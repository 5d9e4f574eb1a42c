#include "kzm/runtime.h"

// Placeholder until the model's allocator and main context land.
namespace kzm {
void RuntimeStartup() {}
void RuntimeStartupPools() {}
void RuntimeShutdown() {}
}  // namespace kzm
