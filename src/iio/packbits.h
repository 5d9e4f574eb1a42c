// PackBits run-length coding of one channel row, as PSD stores it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace iio {

// Largest encoded size of an n-byte row: the bytes, and one header per 128
// of them (literals of 128; every run of three or more saves at least one
// byte, which pays for the header of the literal after it).
inline size_t PackBitsBound(size_t n) { return n + (n + 127) / 128; }

// Encodes a row into out, which has room for PackBitsBound(n) bytes; returns
// the encoded size. Three or more equal bytes form a run; runs and literals
// never exceed 128 bytes. Bytes of out past the encoded size may be changed.
size_t PackBitsEncodeTo(const uint8_t* row, size_t n, uint8_t* out);

// Appends the encoded row to out.
void PackBitsEncode(const uint8_t* row, size_t n, std::vector<uint8_t>& out);

// Decodes one row. True only when the source is used up and the destination
// exactly filled; never writes outside [dst, dstEnd) nor reads outside
// [src, srcEnd).
bool PackBitsDecode(uint8_t* dst, uint8_t* dstEnd, const uint8_t* src, const uint8_t* srcEnd);

}  // namespace iio
