#ifdef _WIN32
#include "cli/platform.h"

#include <windows.h>
#include <conio.h>
#include <io.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "base/wide_path.h"

namespace cli {

// Every path goes to the system through its wide-character calls, converted
// from UTF-8 at the call, so that any name Windows allows is reached whatever
// the ANSI code page.
bool ResolveFullPath(const std::string& path, std::string& full, size_t& finalStart) {
  full.clear();
  finalStart = std::string::npos;
  if (path.empty()) return false;
  const std::wstring wide = base::WidePath(path);
  wchar_t buf[kMaxPathBytes];
  wchar_t* filePart = nullptr;
  const DWORD n = GetFullPathNameW(wide.c_str(), kMaxPathBytes, buf, &filePart);
  if (n == 0 || n >= kMaxPathBytes) return false;
  std::string result = base::Utf8Path(buf, n);
  if (result.size() + 1 > kMaxPathBytes) return false;
  if (filePart) finalStart = base::Utf8Path(buf, size_t(filePart - buf)).size();
  full = std::move(result);
  return true;
}

namespace {

std::wstring UpperWide(std::wstring w) {
  if (!w.empty()) CharUpperBuffW(&w[0], DWORD(w.size()));
  return w;
}

// '*' and '?' only, so that a name matches here exactly when it matches on
// POSIX: FindFirstFile alone would also match 8.3 short names ("*.psd" finds
// "a.psdx" through "A~1.PSD") and reads "*.*" and a trailing '?' its own way.
bool WildMatch(const std::wstring& pat, const std::wstring& name) {
  size_t p = 0, n = 0, starP = std::wstring::npos, starN = 0;
  while (n < name.size()) {
    if (p < pat.size() && (pat[p] == L'?' || pat[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pat.size() && pat[p] == L'*') {
      starP = p++;
      starN = n;
    } else if (starP != std::wstring::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pat.size() && pat[p] == L'*') ++p;
  return p == pat.size();
}

}  // namespace

std::vector<std::string> EnumerateFiles(const std::string& pattern) {
  std::vector<std::string> names;
  std::string full;
  size_t finalStart;
  if (!ResolveFullPath(pattern, full, finalStart) || finalStart == std::string::npos) return names;
  const std::wstring wanted = UpperWide(base::WidePath(full.substr(finalStart)));
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(base::WidePath(full.substr(0, finalStart) + "*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const std::wstring name = UpperWide(fd.cFileName);
    if (name == wanted || WildMatch(wanted, name)) names.push_back(base::Utf8Path(fd.cFileName));
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

DWORD Attributes(const std::string& path) {
  return path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(base::WidePath(path).c_str());
}

}  // namespace

bool PathIsDirectory(const std::string& path) {
  const DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsNonFolderEntry(const std::string& path) {
  const DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateFolderPath(const std::string& folder) {
  if (folder.empty()) return false;
  std::string path;
  for (size_t i = 0; i <= folder.size(); ++i) {
    if (i == folder.size() || IsSeparator(folder[i])) {
      // Skips drive roots such as "C:" and the empty text before a leading separator.
      if (!path.empty() && path.back() != ':' && !PathIsDirectory(path))
        CreateDirectoryW(base::WidePath(path).c_str(), nullptr);
      if (i < folder.size()) path += '\\';
    } else {
      path += folder[i];
    }
  }
  return PathIsDirectory(folder);
}

int ReadKey() {
  if (!_isatty(_fileno(stdin))) {
    unsigned char c;
    return _read(_fileno(stdin), &c, 1) == 1 ? c : -1;
  }
  const int c = _getch();
  // Arrow and function keys arrive as a prefix and a code; the code alone
  // could read as an answer (Delete is 0xE0 'S').
  if (c == 0 || c == 0xE0) {
    _getch();
    return 0;
  }
  // Ctrl-C is read as a key while _getch waits: act on it as the console would.
  if (c == 3) {
    std::raise(SIGINT);
    return -1;
  }
  if (c == 26) return -1;  // Ctrl-Z ends console input.
  return c;
}

namespace {

// Standard output when it is a console, else null.
HANDLE ConsoleOutput() {
  static const HANDLE console = [] {
    const HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode;
    return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) ? h : HANDLE(nullptr);
  }();
  return console;
}

}  // namespace

bool WriteConsoleText(const std::string& text) {
  const HANDLE h = ConsoleOutput();
  if (!h) return false;
  // What stdio holds comes first.
  std::fflush(stdout);
  const std::wstring w = base::WidePath(text);
  DWORD written;
  WriteConsoleW(h, w.data(), DWORD(w.size()), &written, nullptr);
  return true;
}

bool ConsoleIsOwn() {
  if (const char* forced = std::getenv("YVN2PSD_CONSOLE_OWNED")) return std::strcmp(forced, "1") == 0;
  // A console without a window (Wine's in a terminal) closes nothing.
  DWORD ids[2], mode;
  return GetConsoleProcessList(ids, 2) == 1 && GetConsoleWindow() && ConsoleOutput() &&
         GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode);
}

void EnsureStandardStreams() {}

namespace {

void (*g_cleanup)() = nullptr;

void OnTerminatingSignal(int sig) {
  if (g_cleanup) g_cleanup();
  _exit(128 + sig);
}

}  // namespace

void InstallSignalCleanup(void (*cleanup)()) {
  g_cleanup = cleanup;
  for (int sig : {SIGINT, SIGTERM, SIGBREAK}) std::signal(sig, OnTerminatingSignal);
}

bool IsReplaceableEntry(const std::string& path) { return IsNonFolderEntry(path); }

std::string LocaleCharset() { return GetACP() == CP_UTF8 ? std::string() : "ACP"; }

}  // namespace cli
#endif
