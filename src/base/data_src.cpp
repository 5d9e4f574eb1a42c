#include "base/data_src.h"

#include <sys/stat.h>
#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <algorithm>
#include <cstring>

#include "base/output_file.h"
#include "base/wide_path.h"

DataSrcReadFromFile::~DataSrcReadFromFile() { close(); }

void DataSrcReadFromFile::close() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
  shared_.reset();
  size_ = pos_ = 0;
}

bool DataSrcReadFromFile::open(const char* path) {
  close();
#if defined(_WIN32)
  std::FILE* f = _wfopen(base::WidePath(path).c_str(), L"rb");
  if (!f) return false;
  struct _stat64 st;
  if (_fstat64(_fileno(f), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
    std::fclose(f);
    return false;
  }
#else
  // Opened without waiting, so that a FIFO or device among the sources
  // cannot block the batch; only regular files are read.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return false;
  }
  std::FILE* f = fdopen(fd, "rb");
  if (!f) {
    ::close(fd);
    return false;
  }
#endif
  file_ = f;
  size_ = uint64_t(st.st_size);
  return true;
}

void DataSrcReadFromFile::rewind() {
  pos_ = 0;
  if (file_) base::SeekFile(file_, 0);
}

bool DataSrcReadFromFile::skip(uint64_t n) {
  if (n > remaining()) return false;
  if (!file_ || !base::SeekFile(file_, pos_ + n)) return false;
  pos_ += n;
  return true;
}

bool DataSrcReadFromFile::fill(uint8_t* dst, uint64_t n) {
  if (!file_ || n > remaining() || std::fread(dst, 1, size_t(n), file_) != n) {
    rewind();
    return false;
  }
  pos_ += n;
  return true;
}

bool DataSrcReadFromFile::readInto(std::vector<uint8_t>& buf, uint64_t n) {
  if (n > remaining()) {
    rewind();
    return false;
  }
  buf.resize(size_t(n));
  return fill(buf.data(), n);
}

const uint8_t* DataSrcReadFromFile::read(uint64_t n) {
  if (n > remaining()) {
    rewind();
    return nullptr;
  }
  // Grown only for bytes that exist in the file, so a declared size can
  // never make this allocate more than the file holds.
  if (buf_.size() < n) buf_.resize(std::max<uint64_t>(n + 16384, 0x10000));
  return fill(buf_.data(), n) ? buf_.data() : nullptr;
}

bool DataSrcReadFromFile::readTo(void* dst, uint64_t n) {
  return fill(static_cast<uint8_t*>(dst), n);
}

bool DataSrcMemory::skip(uint64_t n) {
  if (n > remaining()) return false;
  pos_ += n;
  return true;
}

bool DataSrcMemory::readInto(std::vector<uint8_t>& buf, uint64_t n) {
  if (n > remaining()) {
    rewind();
    return false;
  }
  buf.assign(data_ + pos_, data_ + pos_ + n);
  pos_ += n;
  return true;
}

const uint8_t* DataSrcMemory::read(uint64_t n) {
  if (n > remaining()) {
    rewind();
    return nullptr;
  }
  const uint8_t* p = data_ + pos_;
  pos_ += n;
  return p;
}

bool DataSrcMemory::readTo(void* dst, uint64_t n) {
  if (n > remaining()) {
    rewind();
    return false;
  }
  if (n) std::memcpy(dst, data_ + pos_, size_t(n));
  pos_ += n;
  return true;
}

std::shared_ptr<DataSrcBase> DataSrcMemory::openRange(uint64_t start, uint64_t n) {
  if (start > size_ || n > size_ - start) return nullptr;
  return std::make_shared<DataSrcMemory>(data_ + start, size_t(n));
}

// ---------------------------------------------------------------- DataSrcFunction

namespace {
#if defined(__EMSCRIPTEN__)
// The web build's sources keep large blocks of the file themselves
// (web/lib/core.js): small blocks copy less.
constexpr size_t kBlockBytes = size_t(64) << 10;
#else
constexpr size_t kBlockBytes = size_t(256) << 10;
#endif
}  // namespace

bool DataSrcFunction::Shared::ReadExactly(uint64_t offset, uint8_t* dst, uint64_t n) {
  std::lock_guard<std::mutex> lock(mutex);
  for (uint64_t done = 0; done < n;) {
    const size_t want = size_t(std::min<uint64_t>(n - done, uint64_t(1) << 30));
    const int64_t got = readAt(offset + done, dst + done, want);
    if (got <= 0 || uint64_t(got) > want) return false;
    done += uint64_t(got);
  }
  return true;
}

DataSrcFunction::DataSrcFunction(ReadAt readAt, uint64_t size) : shared_(std::make_shared<Shared>()), size_(size) {
  shared_->readAt = std::move(readAt);
}

DataSrcFunction::DataSrcFunction(std::shared_ptr<Shared> shared, uint64_t start, uint64_t size)
    : shared_(std::move(shared)), start_(start), size_(size) {}

DataSrcFunction::~DataSrcFunction() = default;

bool DataSrcFunction::skip(uint64_t n) {
  if (n > remaining()) return false;
  pos_ += n;
  return true;
}

const uint8_t* DataSrcFunction::BlockAt(uint64_t at, size_t& size) {
  Block* oldest = &blocks_[0];
  for (Block& b : blocks_) {
    if (b.at == at && !b.bytes.empty()) {
      b.used = ++clock_;
      size = b.bytes.size();
      return b.bytes.data();
    }
    if (b.used < oldest->used) oldest = &b;
  }
  // Bytes are grown only as far as the source holds them.
  oldest->bytes.resize(size_t(std::min<uint64_t>(kBlockBytes, size_ - at)));
  if (!shared_->ReadExactly(start_ + at, oldest->bytes.data(), oldest->bytes.size())) {
    oldest->bytes.clear();
    return nullptr;
  }
  oldest->at = at;
  oldest->used = ++clock_;
  size = oldest->bytes.size();
  return oldest->bytes.data();
}

bool DataSrcFunction::fill(uint8_t* dst, uint64_t n) {
  if (n > remaining()) {
    rewind();
    return false;
  }
  if (n == 0) return true;  // an empty read may come with no buffer
  if (n >= 2 * kBlockBytes) {
    if (!shared_->ReadExactly(start_ + pos_, dst, n)) {
      rewind();
      return false;
    }
    pos_ += n;
    return true;
  }
  for (uint64_t done = 0; done < n;) {
    const uint64_t at = (pos_ + done) & ~uint64_t(kBlockBytes - 1);
    size_t size = 0;
    const uint8_t* block = BlockAt(at, size);
    const uint64_t from = pos_ + done - at;
    if (!block || from >= size) {
      rewind();
      return false;
    }
    const size_t take = size_t(std::min<uint64_t>(n - done, size - from));
    std::memcpy(dst + done, block + from, take);
    done += take;
  }
  pos_ += n;
  return true;
}

bool DataSrcFunction::readInto(std::vector<uint8_t>& buf, uint64_t n) {
  if (n > remaining()) {
    rewind();
    return false;
  }
  buf.resize(size_t(n));
  return fill(buf.data(), n);
}

const uint8_t* DataSrcFunction::read(uint64_t n) {
  if (n > remaining()) {
    rewind();
    return nullptr;
  }
  if (buf_.size() < n) buf_.resize(size_t(n));
  return fill(buf_.data(), n) ? buf_.data() : nullptr;
}

bool DataSrcFunction::readTo(void* dst, uint64_t n) { return fill(static_cast<uint8_t*>(dst), n); }

std::shared_ptr<DataSrcBase> DataSrcFunction::openRange(uint64_t start, uint64_t n) {
  if (start > size_ || n > size_ - start) return nullptr;
  return std::shared_ptr<DataSrcBase>(new DataSrcFunction(shared_, start_ + start, n));
}

#if defined(_WIN32)

struct DataSrcReadFromFile::SharedFd {};

std::shared_ptr<DataSrcBase> DataSrcReadFromFile::openRange(uint64_t, uint64_t) { return nullptr; }

#else

struct DataSrcReadFromFile::SharedFd {
  explicit SharedFd(int f) : fd(f) {}
  ~SharedFd() { ::close(fd); }
  SharedFd(const SharedFd&) = delete;
  SharedFd& operator=(const SharedFd&) = delete;
  const int fd;
};

// Bytes [start, start + size) of a file, read with pread: ranges of one
// descriptor can be read on different threads at once.
class DataSrcReadFromFile::Range final : public DataSrcBase {
 public:
  Range(std::shared_ptr<SharedFd> fd, uint64_t start, uint64_t size) : fd_(std::move(fd)), start_(start), size_(size) {}
  uint64_t size() const override { return size_; }
  uint64_t remaining() const override { return size_ - pos_; }
  void rewind() override { pos_ = 0; }
  bool skip(uint64_t n) override {
    if (n > remaining()) return false;
    pos_ += n;
    return true;
  }
  bool readInto(std::vector<uint8_t>& buf, uint64_t n) override {
    if (n > remaining()) {
      rewind();
      return false;
    }
    buf.resize(size_t(n));
    return readTo(buf.data(), n);
  }
  const uint8_t* read(uint64_t n) override {
    if (n > remaining()) {
      rewind();
      return nullptr;
    }
    if (buf_.size() < n) buf_.resize(size_t(n));
    return readTo(buf_.data(), n) ? buf_.data() : nullptr;
  }
  bool readTo(void* dst, uint64_t n) override {
    if (n > remaining()) {
      rewind();
      return false;
    }
    auto* out = static_cast<uint8_t*>(dst);
    for (uint64_t done = 0; done < n;) {
      const size_t want = size_t(std::min<uint64_t>(n - done, uint64_t(1) << 30));
      const ssize_t got = pread(fd_->fd, out + done, want, off_t(start_ + pos_ + done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {  // a read error, or the file shrank since the range was handed out
        rewind();
        return false;
      }
      done += uint64_t(got);
    }
    pos_ += n;
    return true;
  }

 private:
  std::shared_ptr<SharedFd> fd_;
  const uint64_t start_, size_;
  uint64_t pos_ = 0;
  std::vector<uint8_t> buf_;
};

std::shared_ptr<DataSrcBase> DataSrcReadFromFile::openRange(uint64_t start, uint64_t n) {
  if (!file_ || start > size_ || n > size_ - start) return nullptr;
  if (!shared_) {
    const int fd = dup(fileno(file_));
    if (fd < 0) return nullptr;
    shared_ = std::make_shared<SharedFd>(fd);
  }
  return std::make_shared<Range>(shared_, start, n);
}

#endif
