// Operating-system services of the front end: full paths, directory
// enumeration, folder creation and single-key console input. One
// implementation per platform (platform_posix.cpp, platform_win32.cpp).
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace cli {

#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// Full paths are formed in a buffer of this size, terminating NUL included.
constexpr size_t kMaxPathBytes = 3200;

// Both kinds count when a path is taken apart, whatever the platform joins with.
inline bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Resolves path against the current folder without touching the file system
// beyond asking for the current folder: "." and ".." are folded lexically,
// links are not followed and the path need not exist. finalStart is the
// index where the final component begins, or npos when the full path ends in
// a separator. False for an empty path or a result that does not fit
// kMaxPathBytes.
bool ResolveFullPath(const std::string& path, std::string& full, size_t& finalStart);

// Bare names of the non-directory entries of the pattern's folder whose name
// matches the pattern's final component (wildcards * and ?, case-insensitive),
// sorted by byte value. Empty when the folder cannot be read.
std::vector<std::string> EnumerateFiles(const std::string& pattern);

bool PathIsDirectory(const std::string& path);

// Whether path names a directory entry that is not a folder, links followed
// to tell (a dangling link counts): what a filter's matches are.
bool IsNonFolderEntry(const std::string& path);

// Whether the directory entry itself (links not followed) is one a
// conversion would replace: a file, a link (a dangling one too) or a
// character device.
bool IsReplaceableEntry(const std::string& path);

// Creates the folder and every missing parent; folder ends in a separator.
bool CreateFolderPath(const std::string& folder);

// One key from the console without echo; -1 at the end of input.
int ReadKey();

// Writes UTF-8 text to standard output as UTF-16 when that is a Windows
// console, so that names outside its code page show as they are; false
// where the bytes are to be written as they are (POSIX, pipes, files).
bool WriteConsoleText(const std::string& text);

// Whether the console will close with the program (Windows: the process is
// the only one attached to a console with a window, which standard input and
// output are, as when Explorer starts it for files dropped on it); never on
// POSIX. The environment variable YVN2PSD_CONSOLE_OWNED, 1 or 0, decides
// instead: a hook for tests, which must not wait for a key at a real console.
bool ConsoleIsOwn();

// The character set of the user's locale for names in PSD files and on the
// terminal: on POSIX the locale's (LC_CTYPE taken from the environment, once),
// a plain ASCII locale counting as UTF-8; on Windows the ANSI code page
// ("ACP"). Empty means UTF-8.
std::string LocaleCharset();

// Standard input, output and error open (on /dev/null where the caller
// closed them), so that no file the program opens takes their place.
void EnsureStandardStreams();

// On an interrupt, termination, hang-up or broken pipe (POSIX; interrupt,
// termination and break on Windows), unless the caller ignored that signal:
// the console is restored, cleanup() runs and the process exits with
// 128 + the signal number. cleanup must be async-signal-safe.
void InstallSignalCleanup(void (*cleanup)());

}  // namespace cli
