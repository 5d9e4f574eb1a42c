#include "base/output_file.h"

#include "base/wide_path.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace base {

bool SeekFile(std::FILE* f, uint64_t pos) {
#if defined(_WIN32)
  return _fseeki64(f, int64_t(pos), SEEK_SET) == 0;
#else
  return fseeko(f, off_t(pos), SEEK_SET) == 0;
#endif
}

std::FILE* OpenOutputFile(const char* path) {
#if defined(_WIN32)
  return _wfopen(WidePath(path).c_str(), L"wb");
#else
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || (S_ISREG(st.st_mode) && st.st_size != 0 && ftruncate(fd, 0) != 0)) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* f = fdopen(fd, "wb");
  if (!f) ::close(fd);
  return f;
#endif
}

std::FILE* OpenFile(const char* path, const char* mode) {
#if defined(_WIN32)
  return _wfopen(WidePath(path).c_str(), WidePath(mode).c_str());
#else
  return std::fopen(path, mode);
#endif
}

namespace {
// Write-back requests begin past the head (whose length fields writers
// patch) and stay behind the end by more than a stdio buffer.
#if defined(__linux__)
constexpr uint64_t kBehindHead = uint64_t(1) << 20;
constexpr uint64_t kBehindLag = uint64_t(2) << 20;
#endif
constexpr uint64_t kBehindStep = uint64_t(8) << 20;
constexpr uint64_t kBehindStart = uint64_t(16) << 20;
}  // namespace

WriteBehind::WriteBehind(std::FILE* file) : next_(kBehindStart) {
#if defined(__linux__)
  fd_ = file ? fileno(file) : -1;
#else
  (void)file;
#endif
}

WriteBehind::~WriteBehind() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void WriteBehind::Wrote(uint64_t end) {
  if (fd_ < 0 || end < next_) return;
  next_ = end + kBehindStep;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    end_ = end;
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread([this] { Run(); });
      } catch (...) {  // no thread: the file is written back later, as usual
        fd_ = -1;
        return;
      }
    }
  }
  wake_.notify_one();
}

void WriteBehind::Run() {
#if defined(__linux__)
  uint64_t done = kBehindHead;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stop_ || end_ >= done + kBehindLag + kBehindStep; });
    if (stop_) return;
    const uint64_t to = end_ - kBehindLag;
    lock.unlock();
    // A request only; its failure changes nothing for the file.
    sync_file_range(fd_, off_t(done), off_t(to - done), SYNC_FILE_RANGE_WRITE);
    lock.lock();
    done = to;
  }
#endif
}

}  // namespace base
