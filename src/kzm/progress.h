// The progress callback shared by the loaders, savers and jobs:
// (step, steps, done, total) -> bool. An empty callable means no progress is wanted.
#pragma once
#include <cstdint>
#include <functional>

using ProgressFunc = std::function<bool(uint64_t step, uint64_t steps, uint64_t done, uint64_t total)>;
