#include "convert/safe_output.h"

#include <cerrno>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
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

}  // namespace

SafeOutputFile::SafeOutputFile(std::string destination) : destination_(std::move(destination)) {}

SafeOutputFile::~SafeOutputFile() { Discard(); }

#ifdef _WIN32

bool SafeOutputFile::Create() {
  target_ = destination_;
  DWORD attr = GetFileAttributesA(target_.c_str());
  if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY)) return false;
  std::string folder = target_.substr(0, FolderEnd(target_));
  if (folder.empty()) folder = ".";
  char buf[MAX_PATH];
  if (GetTempFileNameA(folder.c_str(), "yvn", 0, buf) == 0) return false;
  path_ = buf;
  return true;
}

bool SafeOutputFile::Commit() {
  if (path_.empty()) return false;
  if (direct_) return committed_ = true;
  if (!MoveFileExA(path_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    Discard();
    return false;
  }
  return committed_ = true;
}

void SafeOutputFile::Discard() {
  if (committed_ || direct_ || path_.empty()) return;
  DeleteFileA(path_.c_str());
  path_.clear();
}

#else

bool SafeOutputFile::Create() {
  if (destination_.empty()) return false;
  target_ = destination_;
  struct stat st;
  // A link to an existing file is followed so that the file is replaced, not the link.
  if (lstat(target_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (realpath(target_.c_str(), resolved)) target_ = resolved;
  }
  const bool exists = stat(target_.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return false;
  if (exists && !S_ISREG(st.st_mode)) {
    direct_ = true;
    path_ = target_;
    return true;
  }

  const size_t folderEnd = FolderEnd(target_);
  const std::string base = target_.substr(folderEnd, kNameKeep);
  const std::string prefix = target_.substr(0, folderEnd) + "." + base + ".tmp" + std::to_string(getpid()) + "-";
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = prefix + std::to_string(counter++);
    // 0666 lets the umask decide, as for any new file; an old file's mode is kept.
    int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    if (exists) fchmod(fd, st.st_mode & 07777);
    close(fd);
    path_ = std::move(candidate);
    return true;
  }
  return false;
}

bool SafeOutputFile::Commit() {
  if (path_.empty()) return false;
  if (direct_) return committed_ = true;
  if (std::rename(path_.c_str(), target_.c_str()) != 0) {
    Discard();
    return false;
  }
  return committed_ = true;
}

void SafeOutputFile::Discard() {
  if (committed_ || direct_ || path_.empty()) return;
  unlink(path_.c_str());
  path_.clear();
}

#endif
