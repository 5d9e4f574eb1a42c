// PackBits run-length coding of one channel row, as PSD stores it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace iio {

// Largest encoded size of an n-byte row: one header per 128 literal bytes.
inline size_t PackBitsBound(size_t n) { return n + (n + 127) / 128; }

// Appends the encoded row to out. Two equal bytes already form a run; runs
// and literals never exceed 128 bytes.
void PackBitsEncode(const uint8_t* row, size_t n, std::vector<uint8_t>& out);

// Decodes one row. True only when the source is used up and the destination
// exactly filled; never writes outside [dst, dstEnd) nor reads outside
// [src, srcEnd).
bool PackBitsDecode(uint8_t* dst, uint8_t* dstEnd, const uint8_t* src, const uint8_t* srcEnd);

}  // namespace iio
