// The output file a conversion writes: opened without needless truncation,
// and written back to its disk while later bytes are still being produced.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>

namespace base {

// Moves a stdio file to an absolute 64-bit position.
bool SeekFile(std::FILE* f, uint64_t pos);

// Opens a file for writing from its start, as fopen(path, "wb") does, but
// truncates only a file that holds bytes: truncating an empty file (the
// fresh temporary an output is written to) makes some file systems flush
// the whole file when it is closed, which costs a large file a good part of
// a second for no gain.
std::FILE* OpenOutputFile(const char* path);

// fopen(path, mode) for a UTF-8 path, which on Windows goes through the
// wide-character call so that any name the system allows opens.
std::FILE* OpenFile(const char* path, const char* mode);

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

}  // namespace base
