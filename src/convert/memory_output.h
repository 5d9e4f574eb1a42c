// A converted file written into memory: one growing buffer that the caller
// takes over when the file is complete (std::free releases it), so that the
// bytes are never copied out.
#pragma once
#include <cstddef>
#include <cstdint>

#include "iio/image_io.h"

class MemoryOutput final : public iio::ImageDestBase {
 public:
  MemoryOutput() = default;
  ~MemoryOutput() override;

  size_t Write(const void* bytes, size_t count) override;
  uint64_t Size() const override { return size_; }
  uint64_t Tell() const override { return pos_; }
  bool Seek(uint64_t position) override;
  bool Close() override { return !failed_; }
  // Empties the buffer (its memory is kept for the next write).
  void Discard() override;

  // Whether every write was taken (none failed for want of memory).
  bool ok() const { return !failed_; }
  // Hands the bytes over: the caller frees them with std::free. The output
  // is empty afterwards. Null for an empty output.
  void* Release(size_t* size);

 private:
  bool Reserve(uint64_t bytes);

  uint8_t* data_ = nullptr;
  size_t capacity_ = 0;
  uint64_t size_ = 0, pos_ = 0;
  bool failed_ = false;
};
