#include "chunk/chunk_values.h"

#include <cstring>

#include "chunk/chunk_format.h"

namespace chunk {

namespace {
bool Plain(const IChunkBase& c, const char* name, size_t size, ValueRange& r) {
  return c.findValue(name, r) == 1 && r.size() == size;
}
}  // namespace

bool ReadU32(const IChunkBase& c, const char* name, uint32_t& out) {
  ValueRange r;
  if (!Plain(c, name, 4, r)) return false;
  out = LoadLe32(r.begin);
  return true;
}

bool ReadBool(const IChunkBase& c, const char* name, bool& out) {
  uint32_t v;
  if (!ReadU32(c, name, v)) return false;
  out = v != 0;
  return true;
}

bool ReadString(const IChunkBase& c, const char* name, std::string& out) {
  ValueRange r;
  if (c.findValue(name, r) != 1 || r.size() < 5) return false;
  const uint64_t len = LoadLe32(r.begin);
  if (len + 4 >= r.size()) return false;
  const char* text = reinterpret_cast<const char*>(r.begin + 4);
  const void* nul = std::memchr(text, 0, size_t(len));
  out.assign(text, nul ? static_cast<const char*>(nul) - text : size_t(len));
  return true;
}

bool ReadBytes(const IChunkBase& c, const char* name, void* out, size_t size) {
  ValueRange r;
  if (!Plain(c, name, size, r)) return false;
  if (size) std::memcpy(out, r.begin, size);
  return true;
}

bool FindArray(const IChunkBase& c, const char* name, ArrayView& out) {
  ValueRange r;
  const uint32_t n = c.findValue(name, r);
  if (n == kNoValue) return false;
  out.count = n;
  out.begin = r.begin;
  out.end = r.end;
  return true;
}

bool ReadArray(const IChunkBase& c, const char* name, uint32_t elemSize, ArrayView& out) {
  ArrayView v;
  if (!FindArray(c, name, v) || uint64_t(v.count) * elemSize != v.bytes()) return false;
  out = v;
  return true;
}

}  // namespace chunk
