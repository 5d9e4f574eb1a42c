#include "kzm/runtime.h"

#include <mutex>

#include "base/work_pool.h"
#include "blend/kernels.h"
#include "kzm/mempool.h"

namespace kzm {

namespace {
std::mutex g_runtimeMutex;
unsigned g_references = 0;
}  // namespace

Runtime::Runtime() {
  std::lock_guard<std::mutex> lock(g_runtimeMutex);
  if (g_references++ > 0) return;
  CreateProcessPools({PoolId::k32, PoolId::k512, PoolId::k2056});
  // The kernels' shared tables are built here, before any thread blends.
  blend::InitBlendTables();
  base::RetainWorkPool();
}

Runtime::~Runtime() {
  std::lock_guard<std::mutex> lock(g_runtimeMutex);
  if (--g_references > 0) return;
  // Every document is gone: no block is in use, and no pool work runs.
  base::ReleaseWorkPool();
  DestroyProcessPools();
}

}  // namespace kzm
