// Sinks that turn the chunk writer's byte stream into file bytes, deflating
// compressed chunks into block sequences. Use with ChunkSink (chunk_writer.h):
//   chunk::ChunkSink sink(fileSink.func());
#pragma once
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "chunk/chunk_writer.h"

namespace chunk {

// Opens a file for writing from its start, as fopen(path, "wb") does, but
// truncates only a file that holds bytes: truncating an empty file (the
// fresh temporary an output is written to) makes some file systems flush
// the whole file when it is closed, which costs a large file a good part of
// a second for no gain.
std::FILE* OpenOutputFile(const char* path);

// Starts writing a file's bytes to its disk while later ones are still being
// produced: a thread asks the kernel to write back each completed stretch.
// Replacing an existing file by renaming a new one over it otherwise waits
// (on ext4) until the whole new file has been written out, a good part of a
// second for a large output; with the data already on its way the rename
// only waits for the rest. The threads producing the bytes never wait for the
// disk. Files under 16 MiB start no thread; where the system offers no such
// request (Windows), nothing happens. The file must stay open until the
// object is gone.
class WriteBehind {
 public:
  explicit WriteBehind(std::FILE* file);
  ~WriteBehind();
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;

  // Bytes [0, end) have been handed to the file (not necessarily flushed
  // from its buffer). Called by one thread at a time.
  void Wrote(uint64_t end);

 private:
  void Run();

  int fd_ = -1;
  uint64_t next_;  // the end that wakes the thread next
  std::mutex mutex_;
  std::condition_variable wake_;
  uint64_t end_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

// One zlib stream emitted as blocks of at most 0x80000 bytes, each
// kPackedBlockMarker, u32 B, B bytes, padding; finish() adds the zero-count
// terminating block. Every block but the last carries exactly 0x80000 bytes.
//
// The input is cut into segments of kSegment bytes that are deflated on the
// work pool (chunk/work_pool.h) as independent raw deflate pieces, each but
// the last ending in a full flush, and joined in order under one zlib header
// and one Adler-32 of the whole input: a single standard zlib stream. The
// cuts depend on the byte count only, so the output does not depend on the
// number of threads. Segments are deflated at level 1 with ISA-L's igzip
// where the build has it (each with the 32 KiB before it as history; a
// stream's first 4 KiB with zlib), else with zlib (level 1, memory level 8,
// default strategy); a segment that would shrink more than
// kMaxSegmentRatio:1 is deflated with zlib instead, whose level 1 stays near
// 230:1, so every file keeps within the reader's inflate bound
// (chunk/chunk_reader.h).
class Deflater {
 public:
  using RawWrite = std::function<bool(const void* data, size_t size)>;
  static constexpr size_t kSegment = 0x100000;
  static constexpr size_t kBlock = 0x80000;
  static constexpr size_t kMaxSegmentRatio = 200;

  explicit Deflater(RawWrite raw);
  ~Deflater();
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  bool ok() const { return ok_; }
  bool write(const void* data, size_t size);
  bool finish();

  // Which deflate implementation segments use ("isa-l" or "zlib").
  static const char* Engine();

 private:
  struct Segment;
  void submit(bool last);
  bool drainOne();
  bool put(const uint8_t* data, size_t n);
  bool emit(size_t n);

  RawWrite raw_;
  std::vector<uint8_t> in_;
  std::vector<uint8_t> tail_;  // the last bytes submitted: the next segment's history
  std::deque<std::unique_ptr<Segment>> pending_;
  std::vector<std::unique_ptr<Segment>> spare_;
  size_t maxPending_ = 2;
  std::unique_ptr<uint8_t[]> out_;
  size_t outUsed_ = 0;
  uint32_t adler_ = 1;
  bool ok_ = true;
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
  uint64_t written_ = 0;
  std::unique_ptr<WriteBehind> behind_;
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
