// Reader of the chunk container: parses a whole source into an immutable
// tree of named values and named child chunks.
//
//   DataSrcReadFromFile src;
//   if (!src.open(path)) ...;
//   chunk::ReadAllListener listener;            // or your own IListener
//   chunk::ChunkSA root(&listener, src);        // parses everything
//   uint32_t version;
//   if (!chunk::ReadU32(root, "version", version)) ... // see chunk_values.h
//
// A failed parse (damaged or truncated data, a cancel from the listener, a
// resource limit) leaves the root empty: no name, no values, no children,
// so every lookup fails. root.ok() tells the two apart explicitly.
//
// Resource use follows the data: a declared size is checked against what can
// still arrive before anything is allocated for it (the remaining file bytes,
// or for compressed data their largest possible inflated size), and buffers
// inside compressed data grow only as bytes are actually inflated.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/data_src.h"

namespace chunk {

// Bytes of one value; both null for an empty value.
struct ValueRange {
  const uint8_t* begin = nullptr;
  const uint8_t* end = nullptr;
  size_t size() const { return size_t(end - begin); }
};

// findValue's answer for a missing value.
constexpr uint32_t kNoValue = 0xFFFFFFFFu;

class IChunkBase {
 public:
  virtual ~IChunkBase() = default;
  // The chunk name (empty for a failed root).
  virtual const char* name() const = 0;
  // Element count of the value (1 for a plain value, N for an array) and its
  // bytes in out; kNoValue when absent, out untouched. When a name repeats
  // within a chunk the first occurrence wins. The bytes live as long as the
  // chunk.
  virtual uint32_t findValue(const char* name, ValueRange& out) const = 0;
  // The first child of that name, or null. Children may outlive the parent.
  virtual std::shared_ptr<const IChunkBase> findChild(const char* name) const = 0;
  // Distinct value / child names in file order (later duplicates, which no
  // lookup can reach, are not listed).
  virtual const std::vector<std::string>& valueNames() const = 0;
  virtual const std::vector<std::string>& childNames() const = 0;
};

// Bytes inflated by several parses of one file (its records parsed one
// after another), counted together against one limit. Parses that share an
// account must not run at the same time.
struct InflateAccount {
  explicit InflateAccount(uint64_t l) : limit(l) {}
  const uint64_t limit;
  uint64_t used = 0;
};

// Where a chunk lies in its source: a child of the root as ChunkIndex lists
// it. Parsing bytes [offset, offset + size) on their own gives the chunk.
struct ChunkSpan {
  std::string name;
  uint64_t offset = 0;
  uint64_t size = 0;
};

enum class ValuePolicy : uint32_t { SkipAll = 0, ReadAll = 1, AskEach = 2 };

// Bounds of one parse; the defaults accept any file this program writes.
//
// Inflated bytes: every value is kept in memory, so the bytes inflated from
// the compressed chunks of one file are bounded by InflateBudget(file size):
// max(inflateFloor, inflateRatio x file size), at most maxInflatedBytes.
// Compressed chunks are written with zlib level 1, which never expands more
// than about 230:1 (runs of one byte; real pixels far less), so 256 x the
// whole file accepts every file written that way; the floor leaves room for
// small files from writers that compress harder. Deflate itself allows
// 1032:1, so a zlib bomb is refused after at most a quarter of its expansion.
struct ReadLimits {
  static constexpr uint64_t kDefaultInflateRatio = 256;
  static constexpr uint64_t kDefaultInflateFloor = uint64_t(16) << 20;

  // Absolute cap on the inflated bytes of one parse. Exceeding the budget
  // fails the parse (a zlib bomb stops here).
  uint64_t maxInflatedBytes = UINT64_MAX;
  uint64_t inflateRatio = kDefaultInflateRatio;
  uint64_t inflateFloor = kDefaultInflateFloor;
  // Deepest chunk nesting accepted (the root is depth 0); bounds recursion.
  uint32_t maxDepth = 256;
  // Longest chunk or value name accepted.
  uint32_t maxNameLength = 0x10000;
  // When set, the bytes inflated by this parse count against the account's
  // limit (shared with other parses) instead of InflateBudget of the source.
  InflateAccount* account = nullptr;
  // When set, the parse ends where a chunk of this name begins (below the
  // root), successfully: the tree holds what came before it, and
  // ChunkSA::complete() is false. Reads the head of a record without
  // inflating the rest.
  const char* stopBefore = nullptr;

  // Bytes a source of `size` bytes may inflate to.
  uint64_t InflateBudget(uint64_t size) const {
    const uint64_t scaled = inflateRatio != 0 && size > UINT64_MAX / inflateRatio ? UINT64_MAX : size * inflateRatio;
    const uint64_t budget = scaled > inflateFloor ? scaled : inflateFloor;
    return budget < maxInflatedBytes ? budget : maxInflatedBytes;
  }
};

class ChunkReaderState;
class ChunkSA;

// Takes the bytes of one value in place of the tree (see
// IListener::valueSink): in file order, in pieces of any size.
class IValueSink {
 public:
  // False fails the parse.
  virtual bool take(const uint8_t* data, size_t n) = 0;

 protected:
  ~IValueSink() = default;
};

class ChunkSA : public IChunkBase {
 public:
  // Consulted during the parse, on the calling thread.
  class IListener {
   public:
    // Progress over the raw source; true cancels (the parse fails).
    virtual bool onProgress(uint32_t depth, uint64_t position, uint64_t total) = 0;
    // Asked once per chunk after its name: which of its values to keep.
    virtual ValuePolicy valuePolicy(uint32_t depth) = 0;
    // Asked per value under ValuePolicy::AskEach.
    virtual bool wantValue(uint32_t depth, const char* name) = 0;
    // Asked after a chunk's values: parse and keep its children?
    virtual bool wantChildren(uint32_t depth, const char* chunkName) = 0;
    // The end record of a chunk whose children were wanted has been read.
    virtual void onChildrenEnd(uint32_t depth) = 0;
    // Asked before the bytes of a value the tree would keep are read, for an
    // array value (elemSize, count > 0) of `chunk` (whose name is set). A sink
    // returned here gets the bytes instead of the tree, which then lists the
    // value with its count but no bytes (findValue gives an empty range).
    // Null keeps them as usual. The sink must live until the parse ends.
    virtual IValueSink* valueSink(uint32_t depth, const ChunkSA& chunk, const char* name, uint64_t elemSize,
                                  uint64_t count) {
      (void)depth, (void)chunk, (void)name, (void)elemSize, (void)count;
      return nullptr;
    }

   protected:
    ~IListener() = default;
  };

  // Parses the whole source from its current start (the source is rewound).
  // listener may be null: everything is kept and nothing cancels. The source
  // must outlive the constructor only; the tree owns copies of all bytes.
  ChunkSA(IListener* listener, DataSrcBase& src, const ReadLimits& limits = ReadLimits());
  ~ChunkSA() override;
  ChunkSA(const ChunkSA&) = delete;
  ChunkSA& operator=(const ChunkSA&) = delete;

  const char* name() const override { return name_.c_str(); }
  uint32_t findValue(const char* name, ValueRange& out) const override;
  std::shared_ptr<const IChunkBase> findChild(const char* name) const override;
  const std::vector<std::string>& valueNames() const override { return valueNames_; }
  const std::vector<std::string>& childNames() const override { return childNames_; }

  // Root: the parse succeeded. Children of a successful parse are always ok.
  bool ok() const { return ok_; }
  // Root: the parse read the whole chunk (it did not stop early).
  bool complete() const { return complete_; }
  // Root: bytes inflated during the parse (for limits and diagnostics).
  uint64_t inflatedBytes() const { return inflated_; }
  // The sink that took the bytes of a value (IListener::valueSink), or null.
  IValueSink* valueSinkOf(const char* name) const;

 private:
  friend class ChunkReaderState;
  friend class ChunkIndex;
  ChunkSA();
  void clear();

  struct Value {
    uint32_t count;
    ValueRange range;
    IValueSink* sink;
  };
  std::string name_;
  std::map<std::string, Value> values_;
  std::vector<std::string> valueNames_;
  std::vector<std::unique_ptr<uint8_t[]>> storage_;  // owns every value's bytes
  std::map<std::string, std::shared_ptr<const ChunkSA>> children_;
  std::vector<std::string> childNames_;
  bool ok_ = true;
  bool complete_ = true;
  uint64_t inflated_ = 0;
};

using IListener = ChunkSA::IListener;

// The root of a source with its children listed by place instead of parsed:
// their structure is walked (compressed children block by block, never
// inflated), so that each can be parsed on its own later, in any order.
//
//   chunk::ChunkIndex index(&listener, src);
//   for (const chunk::ChunkSpan& c : index.children()) ...
//
// A compressed root cannot be walked: ok() is false and packedRoot() true.
class ChunkIndex {
 public:
  ChunkIndex(IListener* listener, DataSrcBase& src, const ReadLimits& limits = ReadLimits());
  ~ChunkIndex();

  bool ok() const { return ok_; }
  bool packedRoot() const { return packedRoot_; }
  // The root's name and values; no children.
  const ChunkSA& root() const { return *root_; }
  // Every child in file order, repeated names included.
  const std::vector<ChunkSpan>& children() const { return children_; }

 private:
  friend class ChunkReaderState;
  std::unique_ptr<ChunkSA> root_;
  std::vector<ChunkSpan> children_;
  bool ok_ = false;
  bool packedRoot_ = false;
};

// Keeps every value and child, never cancels, reports nothing.
class ReadAllListener : public ChunkSA::IListener {
 public:
  bool onProgress(uint32_t, uint64_t, uint64_t) override { return false; }
  ValuePolicy valuePolicy(uint32_t) override { return ValuePolicy::ReadAll; }
  bool wantValue(uint32_t, const char*) override { return true; }
  bool wantChildren(uint32_t, const char*) override { return true; }
  void onChildrenEnd(uint32_t) override {}
};

}  // namespace chunk
