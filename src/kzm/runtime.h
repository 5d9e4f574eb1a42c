// The document model's runtime: the block pools, the blend kernels' tables
// and the work pool's threads, shared by every conversion and document of
// the process.
//
// Each user holds a reference (Runtime) for as long as it holds anything of
// the model; the first reference sets the runtime up, the last one releases
// every pool page and stops the work pool's threads. References may be taken
// and dropped on any threads. The model also works without one (tests,
// tools): the pools are then created on first use and live until the
// process ends.
#pragma once

namespace kzm {

class Runtime {
 public:
  Runtime();
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;
};

}  // namespace kzm
