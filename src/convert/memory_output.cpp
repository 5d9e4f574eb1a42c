#include "convert/memory_output.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

MemoryOutput::~MemoryOutput() { std::free(data_); }

bool MemoryOutput::Reserve(uint64_t bytes) {
  if (bytes <= capacity_) return true;
  if (bytes > SIZE_MAX / 2) return false;
  // Doubling keeps the copies of a growing file to about its size in all;
  // realloc often extends in place, and large blocks are remapped.
  const size_t want = std::max<size_t>(size_t(bytes), std::max<size_t>(capacity_ * 2, size_t(1) << 16));
  void* grown = std::realloc(data_, want);
  if (!grown) return false;
  data_ = static_cast<uint8_t*>(grown);
  capacity_ = want;
  return true;
}

size_t MemoryOutput::Write(const void* bytes, size_t count) {
  if (failed_ || count == 0) return failed_ ? 0 : count;
  if (pos_ + count < pos_ || !Reserve(pos_ + count)) {
    failed_ = true;
    return 0;
  }
  // A seek past the end leaves a gap, as a file reads zeros there.
  if (pos_ > size_) std::memset(data_ + size_, 0, size_t(pos_ - size_));
  std::memcpy(data_ + pos_, bytes, count);
  pos_ += count;
  size_ = std::max(size_, pos_);
  return count;
}

bool MemoryOutput::Seek(uint64_t position) {
  if (failed_) return false;
  pos_ = position;
  return true;
}

void MemoryOutput::Discard() {
  size_ = pos_ = 0;
  failed_ = false;
}

void* MemoryOutput::Release(size_t* size) {
  if (size) *size = size_t(size_);
  void* out = size_ ? data_ : nullptr;
  if (out) {
    // Give back what the doubling reserved beyond the file.
    if (void* fitted = std::realloc(data_, size_t(size_))) out = fitted;
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  capacity_ = 0;
  size_ = pos_ = 0;
  return out;
}
