#ifdef _WIN32
#include "cli/platform.h"

#include <windows.h>
#include <conio.h>
#include <io.h>

#include <algorithm>
#include <cstdio>

namespace cli {

bool ResolveFullPath(const std::string& path, std::string& full, size_t& finalStart) {
  full.clear();
  finalStart = std::string::npos;
  if (path.empty()) return false;
  char buf[kMaxPathBytes];
  char* filePart = nullptr;
  DWORD n = GetFullPathNameA(path.c_str(), sizeof buf, buf, &filePart);
  if (n == 0 || n >= sizeof buf) return false;
  full.assign(buf, n);
  if (filePart) finalStart = static_cast<size_t>(filePart - buf);
  return true;
}

std::vector<std::string> EnumerateFiles(const std::string& pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA(pattern.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.emplace_back(fd.cFileName);
  } while (FindNextFileA(h, &fd));
  FindClose(h);
  std::sort(names.begin(), names.end());
  return names;
}

bool PathExists(const std::string& path) {
  return !path.empty() && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool PathIsDirectory(const std::string& path) {
  DWORD a = path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateFolderPath(const std::string& folder) {
  if (folder.empty()) return false;
  std::string path;
  for (size_t i = 0; i <= folder.size(); ++i) {
    if (i == folder.size() || IsSeparator(folder[i])) {
      // Skips drive roots such as "C:" and the empty text before a leading separator.
      if (!path.empty() && path.back() != ':' && !PathIsDirectory(path)) CreateDirectoryA(path.c_str(), nullptr);
      if (i < folder.size()) path += '\\';
    } else {
      path += folder[i];
    }
  }
  return PathIsDirectory(folder);
}

int ReadKey() {
  if (_isatty(_fileno(stdin))) return _getch();
  int c = std::getchar();
  return c == EOF ? -1 : c;
}

}  // namespace cli
#endif
