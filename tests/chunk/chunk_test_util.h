// Helpers for chunk container tests: a byte builder, an independent
// reference reader of the layout and a random tree generator.
#pragma once
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "chunk/chunk_reader.h"
#include "chunk/chunk_writer.h"
#include "chunk/file_sink.h"

namespace ct {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kMarker = 0xFAEACDA0u;
constexpr uint32_t kPacked = 0xFDEACDA0u;
constexpr uint32_t kBlock = 0xFDEACDA1u;

struct Builder {
  Bytes b;
  Builder& u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
    return *this;
  }
  Builder& raw(const void* p, size_t n) {
    const uint8_t* q = static_cast<const uint8_t*>(p);
    b.insert(b.end(), q, q + n);
    return *this;
  }
  Builder& raw(const Bytes& x) { return raw(x.data(), x.size()); }
  Builder& zeros(size_t n) {
    b.insert(b.end(), n, 0);
    return *this;
  }
  Builder& pad() { return zeros((0 - b.size()) & 3); }
  // u32 L, text, NUL, padding
  Builder& str(const std::string& s) {
    u32(uint32_t(s.size()));
    raw(s.data(), s.size());
    b.push_back(0);
    return pad();
  }
  // A plain value with its name.
  Builder& value(const std::string& name, const Bytes& data) {
    str(name).u32(uint32_t(data.size())).raw(data);
    return pad();
  }
  Builder& endRecord() { return u32(kMarker).u32(0); }
};

inline uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

inline std::unique_ptr<chunk::ChunkSA> Parse(const Bytes& b, chunk::IListener* l = nullptr,
                                              const chunk::ReadLimits& lim = chunk::ReadLimits()) {
  DataSrcMemory src(b.data(), b.size());
  return std::unique_ptr<chunk::ChunkSA>(new chunk::ChunkSA(l, src, lim));
}

inline bool Empty(const chunk::ChunkSA& c) {
  return std::string(c.name()).empty() && c.valueNames().empty() && c.childNames().empty();
}

// zlib level 1 stream of data in one piece.
inline Bytes Deflate(const Bytes& data, int level = 1) {
  uLongf n = compressBound(uLong(data.size()));
  Bytes out(n);
  EXPECT_EQ(compress2(out.data(), &n, data.data(), uLong(data.size()), level), Z_OK);
  out.resize(n);
  return out;
}

// Reference model of a chunk, also used as the generator's tree.
struct RefValue {
  std::string name;
  uint32_t count = 1;
  uint32_t elem = 0;  // 0: plain value
  Bytes data;
};
struct RefChunk {
  std::string name;
  bool packed = false;
  std::vector<RefValue> values;
  std::vector<RefChunk> children;
};

struct RefStats {
  int streams = 0;                     // outermost compressed chunks
  std::vector<std::vector<uint32_t>> blocks;  // data block sizes per stream
};

// Straightforward reader of the layout, written independently of ChunkSA:
// a compressed chunk's blocks are gathered, checked to end in one zero-count
// block, and inflated in one go; the whole block payload must be exactly one
// zlib stream.
class RefReader {
 public:
  RefReader(const uint8_t* p, size_t n, RefStats* stats) : p_(p), n_(n), stats_(stats) {}
  size_t pos() const { return pos_; }

  // false on any deviation from the layout
  bool chunk(RefChunk& out, bool& end, bool inStream) {
    end = false;
    uint32_t m;
    if (!u32(m)) return false;
    if (m == kPacked) {
      if (inStream) return false;
      Bytes z;
      std::vector<uint32_t> sizes;
      for (;;) {
        uint32_t bm, cnt;
        if (!u32(bm) || !u32(cnt) || bm != kBlock) return false;
        if (cnt == 0) break;
        if (cnt > n_ - pos_) return false;
        z.insert(z.end(), p_ + pos_, p_ + pos_ + cnt);
        sizes.push_back(cnt);
        pos_ += (cnt + 3) & ~3u;
        if (pos_ > n_) return false;
      }
      Bytes plain;
      if (!Inflate(z, plain)) return false;
      if (stats_) {
        stats_->streams++;
        stats_->blocks.push_back(sizes);
      }
      RefReader sub(plain.data(), plain.size(), stats_);
      if (!sub.body(out, end, true)) return false;
      out.packed = true;
      return sub.pos() == plain.size();
    }
    if (m != kMarker) return false;
    return body(out, end, inStream);
  }

  bool body(RefChunk& out, bool& end, bool inStream) {
    uint32_t len;
    if (!u32(len)) return false;
    if (len == 0) {
      end = true;
      return true;
    }
    if (!name(len, out.name)) return false;
    for (;;) {
      if (!u32(len)) return false;
      if (len == 0) break;
      RefValue v;
      uint32_t s;
      if (!name(len, v.name) || !u32(s)) return false;
      uint64_t bytes = s;
      if (s > 0x80000000u) {
        v.elem = 0u - s;
        if (!u32(v.count)) return false;
        bytes = uint64_t(v.elem) * v.count;
      }
      if (bytes > n_ - pos_) return false;
      v.data.assign(p_ + pos_, p_ + pos_ + bytes);
      pos_ += bytes;
      if (!skip((0 - bytes) & 3)) return false;
      out.values.push_back(std::move(v));
    }
    for (;;) {
      RefChunk c;
      bool e;
      if (!chunk(c, e, inStream)) return false;
      if (e) return true;
      out.children.push_back(std::move(c));
    }
  }

 private:
  static bool Inflate(const Bytes& z, Bytes& out) {
    z_stream s{};
    if (inflateInit(&s) != Z_OK) return false;
    s.next_in = const_cast<Bytef*>(z.data());
    s.avail_in = uInt(z.size());
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
  bool u32(uint32_t& v) {
    if (n_ - pos_ < 4) return false;
    v = Le32(p_ + pos_);
    pos_ += 4;
    return true;
  }
  bool skip(size_t k) {
    if (n_ - pos_ < k) return false;
    pos_ += k;
    return true;
  }
  bool name(uint32_t len, std::string& s) {
    const size_t total = (size_t(len) + 4) & ~size_t(3);
    if (n_ - pos_ < total || p_[pos_ + len] != 0) return false;
    s.assign(reinterpret_cast<const char*>(p_ + pos_), len);
    pos_ += total;
    return true;
  }
  const uint8_t* p_;
  size_t n_;
  size_t pos_ = 0;
  RefStats* stats_;
};

inline bool RefParse(const Bytes& b, RefChunk& root, RefStats* stats = nullptr) {
  RefReader r(b.data(), b.size(), stats);
  bool end;
  return r.chunk(root, end, false) && !end && r.pos() == b.size();
}

// Writes a reference tree through ChunkWriter. Values with elem != 0 go
// through the array calls, a few elements at a time.
inline void WriteTree(chunk::ChunkWriter& w, const RefChunk& c, std::mt19937& rng) {
  for (const RefValue& v : c.values) {
    if (v.elem == 0) {
      ASSERT_TRUE(w.writeValue(v.name.c_str(), v.data.size(), v.data.data()));
      continue;
    }
    ASSERT_TRUE(w.beginArray(v.name.c_str(), v.count, v.elem));
    uint32_t done = 0;
    while (done < v.count) {
      uint32_t n = std::min<uint32_t>(v.count - done, 1 + rng() % 5);
      if (n == 1)
        ASSERT_TRUE(w.writeElement(v.data.data() + size_t(done) * v.elem));
      else
        ASSERT_TRUE(w.writeElements(v.data.data() + size_t(done) * v.elem, n));
      done += n;
    }
    ASSERT_TRUE(w.endArray());
  }
  for (const RefChunk& k : c.children) {
    chunk::ChunkWriter& cw = k.packed ? w.beginPackedChild(k.name.c_str()) : w.beginChild(k.name.c_str());
    WriteTree(cw, k, rng);
    ASSERT_TRUE(cw.end());
  }
}

inline Bytes WriteFile(const RefChunk& root, uint32_t seed = 1) {
  chunk::MemorySink mem;
  chunk::ChunkSink sink(mem.func());
  chunk::ChunkWriter& w = root.packed ? sink.beginPackedRoot(root.name.c_str()) : sink.beginRoot(root.name.c_str());
  std::mt19937 rng(seed);
  WriteTree(w, root, rng);
  EXPECT_TRUE(w.end());
  return mem.bytes();
}

enum class PackMode { Plain, Children, Nested };

// Random tree. Names are unique within a chunk; sizes are mostly small with
// some values crossing the 128 KiB batch and 512 KiB block sizes.
class TreeGen {
 public:
  explicit TreeGen(uint32_t seed, PackMode mode, size_t bigBytes = 0x30000)
      : rng_(seed), mode_(mode), big_(bigBytes) {}

  RefChunk make(int maxDepth) {
    RefChunk root = node("Root", 0, maxDepth);
    root.packed = mode_ == PackMode::Nested && coin(2);
    return root;
  }

 private:
  bool coin(int n) { return rng_() % n == 0; }
  Bytes data(size_t n) {
    Bytes d(n);
    // Half compressible (runs), half noise.
    const bool noise = coin(2);
    uint8_t v = uint8_t(rng_());
    for (size_t i = 0; i < n; ++i) {
      if (noise || i % 64 == 0) v = uint8_t(rng_());
      d[i] = v;
    }
    return d;
  }
  size_t size() {
    const uint32_t r = rng_() % 100;
    if (r < 10) return 0;
    if (r < 80) return 1 + rng_() % 40;
    if (r < 97) return 1 + rng_() % 3000;
    return big_ / 2 + rng_() % big_;
  }
  RefChunk node(const std::string& name, int depth, int maxDepth) {
    RefChunk c;
    c.name = name;
    const int nv = rng_() % 7;
    for (int i = 0; i < nv; ++i) {
      RefValue v;
      v.name = "v" + std::to_string(i) + std::string(rng_() % 9, char('a' + i));
      if (coin(3)) {
        v.elem = 1 + rng_() % 12;
        if (coin(8)) v.elem = 512;
        v.count = coin(6) ? 0 : 1 + uint32_t(size() / v.elem);
        v.data = data(size_t(v.elem) * v.count);
      } else {
        v.data = data(size());
      }
      c.values.push_back(std::move(v));
    }
    if (depth < maxDepth) {
      const int nc = rng_() % 4;
      for (int i = 0; i < nc; ++i) {
        RefChunk k = node("c" + std::to_string(i) + "_" + std::to_string(rng_() % 1000), depth + 1, maxDepth);
        if (mode_ == PackMode::Children) k.packed = depth == 0 || coin(4);
        if (mode_ == PackMode::Nested) k.packed = coin(2);
        c.children.push_back(std::move(k));
      }
    }
    return c;
  }
  std::mt19937 rng_;
  PackMode mode_;
  size_t big_;
};

// The parsed tree equals the reference, value by value, child by child.
inline void ExpectSame(const chunk::IChunkBase& got, const RefChunk& want, const std::string& path = "") {
  const std::string here = path + "/" + want.name;
  ASSERT_EQ(std::string(got.name()), want.name) << here;
  ASSERT_EQ(got.valueNames().size(), want.values.size()) << here;
  for (size_t i = 0; i < want.values.size(); ++i) {
    const RefValue& v = want.values[i];
    ASSERT_EQ(got.valueNames()[i], v.name) << here;
    chunk::ValueRange r;
    ASSERT_EQ(got.findValue(v.name.c_str(), r), v.count) << here << ":" << v.name;
    ASSERT_EQ(r.size(), v.data.size()) << here << ":" << v.name;
    if (v.data.empty()) {
      EXPECT_EQ(r.begin, nullptr);
    } else {
      ASSERT_EQ(std::memcmp(r.begin, v.data.data(), v.data.size()), 0) << here << ":" << v.name;
    }
  }
  ASSERT_EQ(got.childNames().size(), want.children.size()) << here;
  for (size_t i = 0; i < want.children.size(); ++i) {
    ASSERT_EQ(got.childNames()[i], want.children[i].name) << here;
    auto k = got.findChild(want.children[i].name.c_str());
    ASSERT_TRUE(k) << here;
    ExpectSame(*k, want.children[i], here);
  }
}

// Compares two reference trees (the writer's input and RefReader's output).
inline void ExpectSameRef(const RefChunk& got, const RefChunk& want) {
  ASSERT_EQ(got.name, want.name);
  ASSERT_EQ(got.values.size(), want.values.size()) << want.name;
  for (size_t i = 0; i < want.values.size(); ++i) {
    EXPECT_EQ(got.values[i].name, want.values[i].name);
    EXPECT_EQ(got.values[i].elem, want.values[i].elem);
    EXPECT_EQ(got.values[i].count, want.values[i].count);
    EXPECT_TRUE(got.values[i].data == want.values[i].data) << want.values[i].name;
  }
  ASSERT_EQ(got.children.size(), want.children.size()) << want.name;
  for (size_t i = 0; i < want.children.size(); ++i) ExpectSameRef(got.children[i], want.children[i]);
}

// Reads every byte of every value, so sanitizers see any bad range.
inline size_t Walk(const chunk::IChunkBase& c, int depth = 0) {
  size_t sum = std::strlen(c.name());
  for (const std::string& n : c.valueNames()) {
    chunk::ValueRange r;
    const uint32_t count = c.findValue(n.c_str(), r);
    EXPECT_NE(count, chunk::kNoValue);
    for (const uint8_t* p = r.begin; p != r.end; ++p) sum += *p;
  }
  for (const std::string& n : c.childNames()) {
    auto k = c.findChild(n.c_str());
    EXPECT_TRUE(k);
    if (k) sum += Walk(*k, depth + 1);
  }
  return sum;
}

}  // namespace ct
