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
  ~WriteStream() override;

  // Creates (truncates) the file at `path`.
  bool Open(const std::string& path);

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

}  // namespace iio
