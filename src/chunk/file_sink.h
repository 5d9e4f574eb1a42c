// Sinks that turn the chunk writer's byte stream into file bytes, deflating
// compressed chunks into block sequences. Use with ChunkSink (chunk_writer.h):
//   chunk::ChunkSink sink(fileSink.func());
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "chunk/chunk_writer.h"

namespace chunk {

// One zlib stream (level 1, Z_DEFLATED, window bits 15, memory level 8,
// default strategy) emitted as blocks of at most 0x80000 bytes, each
// kPackedBlockMarker, u32 B, B bytes, padding; finish() adds the zero-count
// terminating block. Input is gathered into 128 KiB batches.
class Deflater {
 public:
  using RawWrite = std::function<bool(const void* data, size_t size)>;
  static constexpr size_t kBatch = 0x20000;
  static constexpr size_t kBlock = 0x80000;

  explicit Deflater(RawWrite raw);
  ~Deflater();
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  bool ok() const { return ok_; }
  bool write(const void* data, size_t size);
  bool finish();

 private:
  bool run(int flush);
  bool emit();

  RawWrite raw_;
  struct Stream;
  std::unique_ptr<Stream> z_;
  std::vector<uint8_t> in_;
  std::unique_ptr<uint8_t[]> out_;
  bool ok_ = false;
  bool finished_ = false;
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
  bool isOpen() const { return file_ != nullptr; }
  const std::string& path() const { return path_; }

  // The callback for ChunkSink, bound to this object.
  SinkFunc func();
  bool onSink(SinkOp op, uint64_t size, const void* data);

 private:
  bool raw(const void* data, size_t size);

  std::FILE* file_ = nullptr;
  std::string path_;
  Deflater::RawWrite raw_;
  std::unique_ptr<Deflater> deflater_;
  bool ok_ = true;
};

// Writes into a byte vector, with the same compression as FileSink.
class MemorySink {
 public:
  MemorySink();
  MemorySink(const MemorySink&) = delete;
  MemorySink& operator=(const MemorySink&) = delete;
  SinkFunc func();
  bool onSink(SinkOp op, uint64_t size, const void* data);
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  Deflater::RawWrite raw_;
  std::unique_ptr<Deflater> deflater_;
};

}  // namespace chunk
