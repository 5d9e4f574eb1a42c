#include "kzm/runtime.h"

#include "blend/kernels.h"
#include "kzm/mempool.h"

namespace kzm {

void RuntimeStartup() {
  CreateProcessPools({PoolId::k512});
  // The kernels' shared tables are built here, before any thread blends.
  blend::InitBlendTables();
}

void RuntimeStartupPools() {
  CreateProcessPools({PoolId::k32, PoolId::k2056});
}

void RuntimeShutdown() {
  DestroyProcessPools();
}

}  // namespace kzm
