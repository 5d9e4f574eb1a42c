// An independent reader of the chunk container of .yvn files, written from
// its layout, and the trees it reads.
#pragma once
#include <zlib.h>

#include <cstdint>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace ts::ref {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kMarker = 0xFAEACDA0u, kPacked = 0xFDEACDA0u, kBlock = 0xFDEACDA1u;

inline uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

inline bool Inflate(const uint8_t* z, size_t n, Bytes& out) {
  z_stream s{};
  if (inflateInit(&s) != Z_OK) return false;
  s.next_in = const_cast<Bytef*>(z);
  s.avail_in = uInt(n);
  int ret;
  do {
    out.resize(out.size() + 0x10000);
    s.next_out = out.data() + out.size() - 0x10000;
    s.avail_out = 0x10000;
    ret = inflate(&s, Z_NO_FLUSH);
    out.resize(out.size() - s.avail_out);
  } while (ret == Z_OK);
  inflateEnd(&s);
  return ret == Z_STREAM_END && s.avail_in == 0;
}

// A chunk as the tests build and as the independent reader finds it.
struct Value {
  std::string name;
  uint32_t count = 1, elem = 0;  // elem 0: a plain value
  Bytes data;
  bool operator==(const Value& o) const {
    return std::tie(name, count, elem, data) == std::tie(o.name, o.count, o.elem, o.data);
  }
};
struct Chunk {
  std::string name;
  bool packed = false;  // as written; not compared
  std::vector<Value> values;
  std::vector<Chunk> children;
  bool operator==(const Chunk& o) const {
    return std::tie(name, values, children) == std::tie(o.name, o.values, o.children);
  }
};

// The layout read literally: little-endian words, names of u32 length, NUL
// and padding to four, values, then children up to an end record; a
// compressed chunk's blocks joined and inflated as one zlib stream.
// With `cuts`, it keeps where each chunk, name, value and end record
// begins and ends, and each block of a compressed chunk and its middle.
class RefReader {
 public:
  RefReader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  size_t pos = 0;
  std::set<size_t>* cuts = nullptr;

  bool Read(Chunk& out, bool& end, bool inStream) {
    uint32_t m, cnt;
    Cut(pos);
    if (!U32(m)) return false;
    if (m == kPacked) {
      if (inStream) return false;
      Bytes z, plain;
      for (;;) {
        Cut(pos);
        if (!U32(m) || m != kBlock || !U32(cnt)) return false;
        Cut(pos);
        if (cnt == 0) break;
        if (cnt > n_ - pos) return false;
        z.insert(z.end(), p_ + pos, p_ + pos + cnt);
        pos += (cnt + 3) & ~3u;
        Cut(pos - cnt / 2);
        if (pos > n_) return false;
      }
      if (!Inflate(z.data(), z.size(), plain)) return false;
      RefReader sub(plain.data(), plain.size());
      out.packed = true;
      return sub.Body(out, end, true) && sub.pos == plain.size();
    }
    return m == kMarker && Body(out, end, inStream);
  }
  bool Body(Chunk& out, bool& end, bool inStream) {
    uint32_t len, s;
    end = false;
    if (!U32(len)) return false;
    Cut(pos);
    if (len == 0) return end = true;
    if (!Name(len, out.name)) return false;
    while (Cut(pos), U32(len) && len != 0) {
      Value v;
      if (!Name(len, v.name)) return false;
      Cut(pos);
      if (!U32(s)) return false;
      uint64_t bytes = s;
      if (s > 0x80000000u) {
        v.elem = 0u - s;
        if (!U32(v.count)) return false;
        bytes = uint64_t(v.elem) * v.count;
      }
      Cut(pos);
      if (bytes > n_ - pos || ((0 - bytes) & 3) > n_ - pos - bytes) return false;
      v.data.assign(p_ + pos, p_ + pos + bytes);
      pos += bytes + ((0 - bytes) & 3);
      out.values.push_back(std::move(v));
    }
    if (len != 0) return false;
    Cut(pos);
    for (;;) {
      Chunk c;
      bool e;
      if (!Read(c, e, inStream)) return false;
      if (e) return true;
      out.children.push_back(std::move(c));
    }
  }

 private:
  void Cut(size_t at) {
    if (cuts) cuts->insert(at);
  }
  bool U32(uint32_t& v) {
    if (n_ - pos < 4) return false;
    v = Le32(p_ + pos);
    pos += 4;
    return true;
  }
  bool Name(uint32_t len, std::string& s) {
    const size_t total = (size_t(len) + 4) & ~size_t(3);
    if (n_ - pos < total || p_[pos + len] != 0) return false;
    s.assign(reinterpret_cast<const char*>(p_ + pos), len);
    pos += total;
    return true;
  }
  const uint8_t* p_;
  size_t n_;
};

}  // namespace ts::ref
