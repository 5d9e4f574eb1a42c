// Streaming writer of the chunk container. A chunk is opened, its values are
// written, then its children, then it is ended; nothing is seeked back.
//
// Opening a file (see file_sink.h):
//
//   chunk::FileSink file;
//   if (!file.open(path)) ...;                  // "wb"
//   chunk::ChunkSink sink(file.func());
//   chunk::ChunkWriter& root = sink.beginRoot("VorletBitmapImage");
//   root.writeU32("version", 0x10000000);
//   chunk::ChunkWriter& plane = root.beginChild("Plane0000");
//   chunk::ChunkWriter& img = plane.beginPackedChild("PiImage");  // compressed
//   ... img.end(); plane.end();
//   bool ok = root.end();                       // false after any failure
//   ok = file.close() && ok;                    // close reports flush errors
//
// Writers are owned by their sink and stay valid until it is destroyed. Only
// one child of a writer is open at a time and must be ended before its
// parent writes anything else; values come before children and an array
// must be complete before the next item. Any failure, including a misuse of
// that order, clears the writer's ok flag and the sink's; later operations
// on that writer do nothing and return false, and every end() on the sink
// then returns false, so the root's end() reports the whole file.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace chunk {

enum class SinkOp : uint32_t { Write = 0, BeginPacked = 1, EndPacked = 2 };

// Receives the bytes of one file. Write: size bytes at data. BeginPacked /
// EndPacked (size 0, data null) bracket the bytes of one outermost compressed
// chunk, which the sink turns into one zlib stream in blocks.
using SinkFunc = std::function<bool(SinkOp op, uint64_t size, const void* data)>;

class ChunkWriter;

class ChunkSink {
 public:
  explicit ChunkSink(SinkFunc func);
  ~ChunkSink();
  ChunkSink(const ChunkSink&) = delete;
  ChunkSink& operator=(const ChunkSink&) = delete;

  // The root chunk: kChunkMarker and the name. Call once per file.
  ChunkWriter& beginRoot(const char* name);

 private:
  friend class ChunkWriter;
  ChunkWriter& make(ChunkWriter* parent, bool packed);
  bool send(SinkOp op, uint64_t size, const void* data);

  SinkFunc func_;
  std::vector<std::unique_ptr<ChunkWriter>> writers_;
  uint32_t nesting_ = 0;
  bool ok_ = true;
  bool rootBegun_ = false;
};

class ChunkWriter {
 public:
  // A plain value of size bytes (size <= 0x80000000). name must be non-empty.
  bool writeValue(const char* name, uint64_t size, const void* data);
  // An array of count elements of elemSize bytes (1 ... 0x7FFFFFFF); exactly
  // count elements must follow before endArray.
  bool beginArray(const char* name, uint32_t count, uint32_t elemSize);
  // n consecutive elements (n * elemSize bytes).
  bool writeElements(const void* data, uint32_t n);
  bool endArray();

  // The child is owned by the sink. On a failed writer the child comes back
  // failed as well.
  ChunkWriter& beginChild(const char* name);
  // A compressed child; inside an already compressed chunk it simply joins
  // the same zlib stream.
  ChunkWriter& beginPackedChild(const char* name);
  // Closes the chunk; true when this writer and its sink never failed.
  bool end();

  bool writeU32(const char* name, uint32_t value);
  bool writeBool(const char* name, bool value);  // 4-byte word 0 or 1
  // u32 L, the text, zero bytes up to (L + 8) & ~3 data bytes.
  bool writeString(const char* name, const char* text);
  bool writeString(const char* name, const std::string& text);

  bool ok() const { return ok_ && sink_->ok_; }

 private:
  friend class ChunkSink;
  ChunkWriter(ChunkSink* sink, ChunkWriter* parent) : sink_(sink), parent_(parent) {}

  bool usable() const;            // ok, not ended, no open child
  bool canWriteValue() const;     // usable, values section open, no array
  bool fail();
  bool put(const void* data, uint64_t size);
  bool putU32(uint32_t v);
  bool putString(const char* s, size_t len);
  bool pad(uint64_t n);
  bool closeValues();
  ChunkWriter& openChild(const char* name, bool packed);

  ChunkSink* sink_;
  ChunkWriter* parent_;
  ChunkWriter* openChild_ = nullptr;
  bool ok_ = true;
  bool packed_ = false;
  bool ended_ = false;
  uint32_t values_ = 0;
  uint32_t children_ = 0;  // 0 while the values section is open
  bool arrayOpen_ = false;
  uint32_t arrayElemSize_ = 0;
  uint32_t arrayCount_ = 0;
  uint32_t arrayWritten_ = 0;
};

}  // namespace chunk
