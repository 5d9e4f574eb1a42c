// Byte layout constants of the chunk container (".yvn" files).
//
// All integers are 32-bit little-endian and every item is padded with zero
// bytes to a multiple of 4.
//   String : u32 L, L bytes, one 0 byte, padding     (4 + ((L + 4) & ~3) bytes)
//   Chunk  : kChunkMarker, name String (L >= 1), values, u32 0, children,
//            end record (kChunkMarker, u32 0)
//   Value  : name String (L >= 1), u32 S, data, padding.
//            S <= 0x80000000: S data bytes, element count 1.
//            S >  0x80000000: element size E = -S, then u32 count N, E * N bytes.
//   Packed : kPackedChunkMarker in the raw file, then the chunk minus its
//            leading marker as one zlib stream cut into blocks
//            (kPackedBlockMarker, u32 B, B bytes, padding), closed by a
//            block with B = 0.
#pragma once
#include "base/byte_order.h"
#include <cstdint>

namespace chunk {

constexpr uint32_t kChunkMarker = 0xFAEACDA0u;
constexpr uint32_t kPackedChunkMarker = 0xFDEACDA0u;
constexpr uint32_t kPackedBlockMarker = 0xFDEACDA1u;

// A size word above this is the negated element size of an array value.
constexpr uint32_t kMaxPlainValueSize = 0x80000000u;

// Zero bytes that follow n bytes of data.
constexpr uint32_t PadOf(uint64_t n) { return uint32_t((0 - n) & 3u); }
// Bytes a String of length l occupies, length word included.
constexpr uint64_t StringBytes(uint64_t l) { return 4 + ((l + 4) & ~uint64_t(3)); }

using base::LoadLe32;
using base::StoreLe32;

}  // namespace chunk
