// The sink that turns the chunk writer's byte stream into file bytes,
// deflating compressed chunks into block sequences. Use with ChunkSink
// (chunk_writer.h):
//   chunk::ChunkSink sink(fileSink.func());
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>

#include "base/deflate_stream.h"
#include "base/output_file.h"
#include "chunk/chunk_writer.h"

namespace chunk {

// A compressed chunk's bytes as the file stores them: one zlib stream
// (base/deflate_stream.h) emitted as blocks of at most 0x80000 bytes, each
// kPackedBlockMarker, u32 B, B bytes, padding; finish() adds the zero-count
// terminating block. Every block but the last carries exactly 0x80000 bytes.
class Deflater {
 public:
  using RawWrite = std::function<bool(const void* data, size_t size)>;
  static constexpr size_t kSegment = base::DeflateStream::kSegment;
  static constexpr size_t kBlock = 0x80000;

  explicit Deflater(RawWrite raw);
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  bool ok() const { return ok_ && stream_.ok(); }
  bool write(const void* data, size_t size) { return ok_ && stream_.write(data, size); }
  bool finish();

 private:
  bool put(const uint8_t* data, size_t n);
  bool emit(size_t n);

  RawWrite raw_;
  std::unique_ptr<uint8_t[]> out_;
  size_t outUsed_ = 0;
  bool ok_ = true;
  base::DeflateStream stream_;  // last: sends to put()
};

// Writes through a caller's function (bytes in memory, a caller's stream).
class RawSink {
 public:
  explicit RawSink(Deflater::RawWrite raw) : raw_(std::move(raw)) {}
  RawSink(const RawSink&) = delete;
  RawSink& operator=(const RawSink&) = delete;

  // The callback for ChunkSink, bound to this object.
  SinkFunc func();
  // True when every byte was taken and no compressed chunk is left open.
  bool finished() const { return ok_ && !deflater_; }

 private:
  Deflater::RawWrite raw_;
  std::unique_ptr<Deflater> deflater_;
  bool ok_ = true;
};

// Writes to a file opened "wb".
class FileSink {
 public:
  FileSink();
  ~FileSink();
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;

  bool open(const char* path);
  // Flushes and closes; true when every byte reached the file. The partly
  // written file is left for the caller to remove.
  bool close();

  // The callback for ChunkSink, bound to this object.
  SinkFunc func();

 private:
  bool onSink(SinkOp op, uint64_t size, const void* data);
  bool raw(const void* data, size_t size);

  std::FILE* file_ = nullptr;
  uint64_t written_ = 0;
  std::unique_ptr<base::WriteBehind> behind_;
  Deflater::RawWrite raw_;
  std::unique_ptr<Deflater> deflater_;
  bool ok_ = true;
};

}  // namespace chunk
