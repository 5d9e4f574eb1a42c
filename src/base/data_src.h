// Byte sources read by the native and PSD readers.
#pragma once
#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class DataSrcBase {
 public:
  virtual ~DataSrcBase() = default;
  virtual uint64_t size() const = 0;
  virtual uint64_t remaining() const = 0;
  virtual void rewind() = 0;
  // False when n is more than what remains; otherwise moves past n bytes.
  virtual bool skip(uint64_t n) = 0;
  // Reads n bytes into buf (resized to n). On failure rewinds and returns false.
  virtual bool readInto(std::vector<uint8_t>& buf, uint64_t n) = 0;
  // Reads n bytes; the pointer stays valid until the next read. On failure
  // rewinds and returns null.
  virtual const uint8_t* read(uint64_t n) = 0;
  // Reads n bytes straight into caller memory. On failure rewinds and
  // returns false.
  virtual bool readTo(void* dst, uint64_t n) = 0;

  // An independent source over bytes [start, start + n) of this one, which
  // another thread may read while this one goes on; null where this source
  // cannot give one (the caller then copies the bytes).
  virtual std::shared_ptr<DataSrcBase> openRange(uint64_t start, uint64_t n) {
    (void)start, (void)n;
    return nullptr;
  }
  uint64_t position() const { return size() - remaining(); }
  // Absolute position from the start.
  bool seek(uint64_t pos) {
    rewind();
    return skip(pos);
  }
};

// A file opened for reading; 64-bit positions throughout.
class DataSrcReadFromFile : public DataSrcBase {
 public:
  DataSrcReadFromFile() = default;
  ~DataSrcReadFromFile() override;
  DataSrcReadFromFile(const DataSrcReadFromFile&) = delete;
  DataSrcReadFromFile& operator=(const DataSrcReadFromFile&) = delete;

  // Closes any open file, opens path for reading and takes its size. False
  // for anything but a regular file (a link to one is followed), without
  // waiting on a FIFO or device.
  bool open(const char* path);
  void close();

  uint64_t size() const override { return size_; }
  uint64_t remaining() const override { return size_ - pos_; }
  void rewind() override;
  bool skip(uint64_t n) override;
  bool readInto(std::vector<uint8_t>& buf, uint64_t n) override;
  const uint8_t* read(uint64_t n) override;
  bool readTo(void* dst, uint64_t n) override;
  // Ranges read the file by position (POSIX only; elsewhere null) through a
  // descriptor of their own, so they stay readable after close().
  std::shared_ptr<DataSrcBase> openRange(uint64_t start, uint64_t n) override;

 private:
  struct SharedFd;
  class Range;
  bool fill(uint8_t* dst, uint64_t n);

  std::FILE* file_ = nullptr;
  std::shared_ptr<SharedFd> shared_;
  uint64_t size_ = 0;
  uint64_t pos_ = 0;
  std::vector<uint8_t> buf_;
};

// Bytes held by the caller; nothing is copied.
class DataSrcMemory : public DataSrcBase {
 public:
  DataSrcMemory(const uint8_t* data, size_t n) : data_(data), size_(n) {}
  // A view of the same bytes, which must outlive it.
  std::shared_ptr<DataSrcBase> openRange(uint64_t start, uint64_t n) override;
  uint64_t size() const override { return size_; }
  uint64_t remaining() const override { return size_ - pos_; }
  void rewind() override { pos_ = 0; }
  bool skip(uint64_t n) override;
  bool readInto(std::vector<uint8_t>& buf, uint64_t n) override;
  const uint8_t* read(uint64_t n) override;
  bool readTo(void* dst, uint64_t n) override;

 private:
  const uint8_t* data_;
  uint64_t size_;
  uint64_t pos_ = 0;
};

// Bytes read through a caller's function, by position: readAt(offset, dst,
// n) copies up to n bytes from offset and returns how many (fewer only at
// the end), or -1 on failure. Reads go through a few aligned blocks kept
// by last use, so that a source whose every call is costly (a browser's
// file) is asked for large pieces, also by a reader that takes a row of each
// of several channels in turn. Ranges read through the same function under
// one lock: the function is called by one thread at a time.
class DataSrcFunction : public DataSrcBase {
 public:
  using ReadAt = std::function<int64_t(uint64_t offset, void* dst, size_t n)>;
  DataSrcFunction(ReadAt readAt, uint64_t size);
  ~DataSrcFunction() override;

  uint64_t size() const override { return size_; }
  uint64_t remaining() const override { return size_ - pos_; }
  void rewind() override { pos_ = 0; }
  bool skip(uint64_t n) override;
  bool readInto(std::vector<uint8_t>& buf, uint64_t n) override;
  const uint8_t* read(uint64_t n) override;
  bool readTo(void* dst, uint64_t n) override;
  std::shared_ptr<DataSrcBase> openRange(uint64_t start, uint64_t n) override;

 private:
  struct Shared {
    ReadAt readAt;
    std::mutex mutex;
    // Exactly n bytes at offset, or false.
    bool ReadExactly(uint64_t offset, uint8_t* dst, uint64_t n);
  };
  DataSrcFunction(std::shared_ptr<Shared> shared, uint64_t start, uint64_t size);
  bool fill(uint8_t* dst, uint64_t n);

  std::shared_ptr<Shared> shared_;
  uint64_t start_ = 0, size_ = 0, pos_ = 0;
  struct Block {
    uint64_t at = 0;  // of this source
    uint64_t used = 0;
    std::vector<uint8_t> bytes;
  };
  // The block of this source's bytes that starts at `at` (aligned), read
  // when it is not among those kept; null when the read fails.
  const uint8_t* BlockAt(uint64_t at, size_t& size);
  std::array<Block, 8> blocks_;
  uint64_t clock_ = 0;
  std::vector<uint8_t> buf_;
};
