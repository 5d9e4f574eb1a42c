// Percentages of the progress a conversion reports.
#pragma once
#include <cstdint>

#include "convert/errors.h"

// done * 100 / total, truncated; 100 when total is 0 or done has reached total.
uint64_t PercentOf(uint64_t done, uint64_t total);
