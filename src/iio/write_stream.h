// A file written through a seekable sink, so that lengths can be patched.
#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/output_file.h"
#include "iio/image_io.h"

namespace iio {

class WriteStream : public ImageDestBase {
 public:
  WriteStream() = default;
  explicit WriteStream(std::string path) : path_(std::move(path)) {}
  ~WriteStream() override;

  // Creates (truncates) the file at the path given, or at the stored path.
  bool Open();
  bool Open(const std::string& path);
  bool IsOpen() const { return file_ != nullptr; }
  const std::string& Path() const { return path_; }

  size_t Write(const void* bytes, size_t count) override;
  uint64_t Size() const override { return size_; }
  uint64_t Tell() const override { return pos_; }
  bool Seek(uint64_t position) override;
  // False when buffered data could not be written.
  bool Close() override;
  // Closes and deletes the file.
  void Discard() override;

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
  std::unique_ptr<base::WriteBehind> behind_;
  uint64_t pos_ = 0, size_ = 0;
  std::vector<char> buffer_;
};

// Bytes kept in memory (tests, benchmarks, callers that want the file's
// bytes before deciding where they go).
class MemoryStream : public ImageDestBase {
 public:
  size_t Write(const void* bytes, size_t count) override;
  uint64_t Size() const override { return bytes_.size(); }
  uint64_t Tell() const override { return pos_; }
  bool Seek(uint64_t position) override;
  bool Close() override { return true; }
  void Discard() override { bytes_.clear(), pos_ = 0; }

  const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  uint64_t pos_ = 0;
};

}  // namespace iio
