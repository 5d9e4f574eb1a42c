// Byte sources read by the native and PSD readers.
#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
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

// Bytes held by the caller (tests, fuzzers); nothing is copied.
class DataSrcMemory : public DataSrcBase {
 public:
  DataSrcMemory(const uint8_t* data, size_t n) : data_(data), size_(n) {}
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
