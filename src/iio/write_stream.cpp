#include "iio/write_stream.h"

#include <cstdio>

#include "base/output_file.h"
#include "base/wide_path.h"

namespace iio {

WriteStream::~WriteStream() { Close(); }

bool WriteStream::Open(const std::string& path) {
  Close();
  path_ = path;
  file_ = base::OpenOutputFile(path_.c_str());
  if (!file_) return false;
  behind_.reset(new base::WriteBehind(file_));
  buffer_.resize(1 << 20);
  std::setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size());
  pos_ = size_ = 0;
  return true;
}

size_t WriteStream::Write(const void* bytes, size_t count) {
  if (!file_) return 0;
  const size_t n = std::fwrite(bytes, 1, count, file_);
  pos_ += n;
  if (pos_ >= size_) {
    size_ = pos_;
    behind_->Wrote(size_);
  }
  return n;
}

bool WriteStream::Seek(uint64_t position) {
  if (!file_ || !base::SeekFile(file_, position)) return false;
  pos_ = position;
  if (pos_ > size_) size_ = pos_;
  return true;
}

bool WriteStream::Close() {
  if (!file_) return true;
  behind_.reset();
  const bool ok = std::fclose(file_) == 0;
  file_ = nullptr;
  return ok;
}

void WriteStream::Discard() {
  Close();
#ifdef _WIN32
  if (!path_.empty()) _wremove(base::WidePath(path_).c_str());
#else
  if (!path_.empty()) std::remove(path_.c_str());
#endif
}

}  // namespace iio
