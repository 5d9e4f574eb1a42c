#ifndef _WIN32
#include "cli/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstring>
#include <strings.h>

namespace cli {

namespace {

void SplitInto(const std::string& path, std::vector<std::string>& parts) {
  size_t i = 0;
  while (i < path.size()) {
    size_t j = i;
    while (j < path.size() && !IsSeparator(path[j])) ++j;
    std::string part = path.substr(i, j - i);
    if (part.empty() || part == ".") {
      // nothing to add
    } else if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      parts.push_back(std::move(part));
    }
    i = j + 1;
  }
}

bool CurrentFolder(std::string& out) {
  std::vector<char> buf(kMaxPathBytes);
  while (!getcwd(buf.data(), buf.size())) {
    if (errno != ERANGE || buf.size() > (1u << 20)) return false;
    buf.resize(buf.size() * 2);
  }
  out = buf.data();
  return true;
}

}  // namespace

bool ResolveFullPath(const std::string& path, std::string& full, size_t& finalStart) {
  full.clear();
  finalStart = std::string::npos;
  if (path.empty()) return false;
  std::vector<std::string> parts;
  if (!IsSeparator(path[0])) {
    std::string cwd;
    if (!CurrentFolder(cwd)) return false;
    SplitInto(cwd, parts);
  }
  SplitInto(path, parts);

  std::string result = "/";
  size_t last = std::string::npos;
  for (size_t k = 0; k < parts.size(); ++k) {
    if (k) result += '/';
    last = result.size();
    result += parts[k];
  }
  // A trailing separator (or a bare root) leaves no final component; "x/."
  // and "x/.." keep the folder they name as their final component.
  if (IsSeparator(path.back()) || parts.empty()) {
    if (result.back() != '/') result += '/';
    last = std::string::npos;
  }
  if (result.size() + 1 > kMaxPathBytes) return false;
  full = std::move(result);
  finalStart = last;
  return true;
}

std::vector<std::string> EnumerateFiles(const std::string& pattern) {
  std::vector<std::string> names;
  std::string full;
  size_t finalStart;
  if (!ResolveFullPath(pattern, full, finalStart) || finalStart == std::string::npos) return names;
  const std::string folder = full.substr(0, finalStart);
  const std::string wanted = full.substr(finalStart);

  DIR* dir = opendir(folder.c_str());
  if (!dir) return names;
  while (dirent* e = readdir(dir)) {
    const char* name = e->d_name;
    // A name that equals the pattern is a match even when it holds bracket
    // characters that fnmatch would read as a set.
    if (fnmatch(wanted.c_str(), name, FNM_CASEFOLD) != 0 && strcasecmp(wanted.c_str(), name) != 0) continue;
    struct stat st;
    // A dangling link is no directory: it is listed and fails when opened.
    if (stat((folder + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    names.emplace_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

bool PathIsDirectory(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsNonFolderEntry(const std::string& path) {
  struct stat st;
  if (path.empty() || lstat(path.c_str(), &st) != 0) return false;
  return stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode);
}

bool IsReplaceableEntry(const std::string& path) {
  struct stat st;
  return !path.empty() && lstat(path.c_str(), &st) == 0 &&
         (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode) || S_ISCHR(st.st_mode));
}

bool CreateFolderPath(const std::string& folder) {
  if (folder.empty()) return false;
  std::string path;
  for (size_t i = 0; i <= folder.size(); ++i) {
    if (i == folder.size() || IsSeparator(folder[i])) {
      if (!path.empty() && !PathIsDirectory(path)) {
        if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return false;
      }
      if (i < folder.size()) path += '/';
    } else {
      path += folder[i];
    }
  }
  return PathIsDirectory(path);
}

namespace {

// The console's settings while a key is read raw, for a signal handler to put back.
termios g_savedTerminal;
volatile sig_atomic_t g_terminalRaw = 0;
void (*g_cleanup)() = nullptr;

void OnTerminatingSignal(int sig) {
  if (g_terminalRaw) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
  if (g_cleanup) g_cleanup();
  _exit(128 + sig);
}

}  // namespace

int ReadKey() {
  unsigned char c = 0;
  if (!isatty(STDIN_FILENO)) {
    ssize_t n;
    do {
      n = read(STDIN_FILENO, &c, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1 ? c : -1;
  }
  termios saved;
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return -1;
  termios raw = saved;
  // Signals are read as keys so that the terminal is restored before Ctrl-C acts.
  raw.c_lflag &= ~(ICANON | ECHO | ISIG);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  g_savedTerminal = saved;
  g_terminalRaw = 1;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  ssize_t n;
  do {
    n = read(STDIN_FILENO, &c, 1);
  } while (n < 0 && errno == EINTR);
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  g_terminalRaw = 0;
  if (n != 1) return -1;
  if (c == saved.c_cc[VINTR]) {
    raise(SIGINT);
    return -1;
  }
  if (c == saved.c_cc[VEOF]) return -1;
  return c;
}

// A terminal takes the bytes of names as the file system holds them.
bool WriteConsoleText(const std::string&) { return false; }

// A terminal window belongs to its shell, which outlives the program.
bool ConsoleIsOwn() { return false; }

void EnsureStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one.
    if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) < 0) _exit(125);
  }
}

void InstallSignalCleanup(void (*cleanup)()) {
  g_cleanup = cleanup;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    struct sigaction old;
    // A signal the caller ignores (nohup, a background job) stays ignored;
    // an ignored SIGPIPE shows as a failed write instead.
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnTerminatingSignal;
    sigfillset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
  }
}

std::string LocaleCharset() {
  // A function-local static is initialised once, also when threads race to it.
  static const std::string charset = [] {
    std::setlocale(LC_CTYPE, "");
    const char* cs = nl_langinfo(CODESET);
    std::string name = cs ? cs : "";
    std::string upper;
    for (char c : name)
      if (c != '-' && c != '_') upper += char(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    // A plain ASCII locale cannot hold names at all: treat it as UTF-8.
    if (upper.empty() || upper == "ANSIX3.41968" || upper == "ASCII" || upper == "USASCII" || upper == "UTF8")
      return std::string();
    return name;
  }();
  return charset;
}

}  // namespace cli
#endif
