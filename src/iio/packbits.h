// PackBits run-length coding of one channel row, as PSD stores it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace iio {

// Largest encoded size of an n-byte row. Since two equal bytes already make
// a run, "a b b" repeated costs a literal and a run per three bytes: 4/3.
inline size_t PackBitsBound(size_t n) { return n + n / 3 + 2; }

// Encodes a row into out, which has room for PackBitsBound(n) bytes; returns
// the encoded size. Two equal bytes already form a run; runs and literals
// never exceed 128 bytes. Bytes of out past the encoded size may be changed.
size_t PackBitsEncodeTo(const uint8_t* row, size_t n, uint8_t* out);

// Appends the encoded row to out.
void PackBitsEncode(const uint8_t* row, size_t n, std::vector<uint8_t>& out);

// Decodes one row. True only when the source is used up and the destination
// exactly filled; never writes outside [dst, dstEnd) nor reads outside
// [src, srcEnd).
bool PackBitsDecode(uint8_t* dst, uint8_t* dstEnd, const uint8_t* src, const uint8_t* srcEnd);

}  // namespace iio
