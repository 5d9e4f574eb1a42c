// Typed reads of values from a parsed chunk tree. Each returns false (and
// leaves out untouched) unless the value is present in exactly the expected
// form, so a caller can apply its default on false.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "chunk/chunk_reader.h"

namespace chunk {

// A value's element count and bytes; count 0 has null pointers.
struct ArrayView {
  uint32_t count = 0;
  const uint8_t* begin = nullptr;
  const uint8_t* end = nullptr;
  size_t bytes() const { return size_t(end - begin); }
};

// Count 1 and exactly 4 bytes (little-endian).
bool ReadU32(const IChunkBase& c, const char* name, uint32_t& out);
// Count 1 and 4 bytes; any non-zero word is true.
bool ReadBool(const IChunkBase& c, const char* name, bool& out);
// Count 1; data = u32 L, L text bytes, at least one zero byte (L + 4 < size
// is required). The text ends at L or at an earlier zero byte.
bool ReadString(const IChunkBase& c, const char* name, std::string& out);
// Count 1 and exactly size bytes (fixed records: rectangles, colours, pixels).
bool ReadBytes(const IChunkBase& c, const char* name, void* out, size_t size);
// Any present value, whatever its count.
bool FindArray(const IChunkBase& c, const char* name, ArrayView& out);
// Present and its byte length is exactly count * elemSize (64-bit product).
bool ReadArray(const IChunkBase& c, const char* name, uint32_t elemSize, ArrayView& out);

}  // namespace chunk
