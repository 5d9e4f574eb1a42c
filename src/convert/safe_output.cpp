#include "convert/safe_output.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>

#include "base/wide_path.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The temporary name keeps a recognisable prefix of the destination's name
// without pushing a long name past the file system's limit.
constexpr size_t kNameKeep = 64;

size_t FolderEnd(const std::string& path) {
#ifdef _WIN32
  const size_t sep = path.find_last_of("\\/:");
#else
  const size_t sep = path.find_last_of('/');
#endif
  return sep == std::string::npos ? 0 : sep + 1;
}

void RemoveFile(const char* path) {
#ifdef _WIN32
  DeleteFileW(base::WidePath(path).c_str());
#else
  unlink(path);
#endif
}

}  // namespace

SafeOutputFile::SafeOutputFile(std::string destination, TemporaryWatch watch)
    : destination_(std::move(destination)), watch_(std::move(watch)) {}

SafeOutputFile::~SafeOutputFile() { Discard(); }

void SafeOutputFile::Discard() {
  if (committed_ || direct_ || path_.empty()) return;
  RemoveFile(path_.c_str());
  Watch(path_, false);
  path_.clear();
}

#ifdef _WIN32

DestinationKind ClassifyDestination(const std::string& path) {
  const DWORD attr = GetFileAttributesW(base::WidePath(path).c_str());
  if (attr == INVALID_FILE_ATTRIBUTES) return DestinationKind::Missing;
  return (attr & FILE_ATTRIBUTE_DIRECTORY) ? DestinationKind::Unusable : DestinationKind::File;
}

bool SameFile(const std::string& a, const std::string& b) {
  auto identify = [](const std::string& p, BY_HANDLE_FILE_INFORMATION& info) {
    HANDLE h = CreateFileW(base::WidePath(p).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    return ok;
  };
  BY_HANDLE_FILE_INFORMATION x, y;
  return identify(a, x) && identify(b, y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
         x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

bool SafeOutputFile::Create() {
  if (ClassifyDestination(destination_) == DestinationKind::Unusable) return false;
  std::string folder = destination_.substr(0, FolderEnd(destination_));
  if (folder.empty()) folder = ".";
  wchar_t buf[MAX_PATH];
  if (GetTempFileNameW(base::WidePath(folder).c_str(), L"yvn", 0, buf) == 0) return false;
  path_ = base::Utf8Path(buf);
  Watch(path_, true);
  return true;
}

bool SafeOutputFile::Commit() {
  if (path_.empty()) return false;
  if (direct_) return committed_ = true;
  const std::wstring from = base::WidePath(path_);
  HANDLE h = CreateFileW(from.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  const bool flushed = h != INVALID_HANDLE_VALUE && FlushFileBuffers(h);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  if (!flushed || !MoveFileExW(from.c_str(), base::WidePath(destination_).c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    Discard();
    return false;
  }
  Watch(path_, false);
  return committed_ = true;
}

#else

DestinationKind ClassifyDestination(const std::string& path) {
  struct stat st;
  if (path.empty()) return DestinationKind::Unusable;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? DestinationKind::Missing : DestinationKind::Unusable;
  if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) return DestinationKind::File;
  if (S_ISCHR(st.st_mode)) return DestinationKind::Device;
  return DestinationKind::Unusable;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat x, y;
  return stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

bool SafeOutputFile::Create() {
  struct stat st;
  const DestinationKind kind = ClassifyDestination(destination_);
  if (kind == DestinationKind::Unusable) return false;
  if (kind == DestinationKind::Device) {
    direct_ = true;
    path_ = destination_;
    return true;
  }
  // The entry itself: a link keeps nothing of what it points to.
  const bool keep = kind == DestinationKind::File && lstat(destination_.c_str(), &st) == 0 && S_ISREG(st.st_mode);

  const size_t folderEnd = FolderEnd(destination_);
  const std::string base = destination_.substr(folderEnd, kNameKeep);
  const std::string prefix =
      destination_.substr(0, folderEnd) + "." + base + ".tmp" + std::to_string(getpid()) + "-";
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = prefix + std::to_string(counter++);
    // Told before it exists, so that no signal can leave it behind.
    Watch(candidate, true);
    // 0666 lets the umask decide, as for any new file; an old file's mode is kept.
    const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      const int e = errno;
      Watch(candidate, false);
      if (e == EEXIST) continue;
      return false;
    }
    if (keep) {
      // Owner first: a change of owner clears set-id bits, which the mode then restores.
      if (fchown(fd, st.st_uid, st.st_gid) != 0) {
        // Not permitted for another user's file unless root: the new file keeps ours.
      }
      fchmod(fd, st.st_mode & 07777);
    }
    close(fd);
    path_ = std::move(candidate);
    return true;
  }
  return false;
}

bool SafeOutputFile::Commit() {
  if (path_.empty()) return false;
  if (direct_) return committed_ = true;
  // On disk before it replaces the old file, so that a crash leaves one or the other whole.
  const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  const bool flushed = fd >= 0 && (fsync(fd) == 0 || errno == EINVAL);
  if (fd >= 0) close(fd);
  if (!flushed || std::rename(path_.c_str(), destination_.c_str()) != 0) {
    Discard();
    return false;
  }
  Watch(path_, false);
  committed_ = true;
  // The rename itself is on disk once the folder is.
  const size_t folderEnd = FolderEnd(destination_);
  const std::string folder = folderEnd ? destination_.substr(0, folderEnd) : std::string(".");
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

#endif
