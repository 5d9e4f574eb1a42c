// What the program prints: progress lines ("...\r"), closing lines, error
// lines and names made safe for a terminal; and the temporary files that a
// signal or a closed output must not leave behind.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

namespace cli {

// printf to standard output, through WriteConsoleText where that applies:
// for every line that may hold a name.
void PrintOut(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "\nerror(%d):%s\n"; printed whatever the quiet setting.
void PrintError(int32_t code);
// "\nerror(%d):%s: PATH\n", the path shown as Printable shows it.
void PrintPathError(int32_t code, const std::string& path);

// A path or name as it may be shown on a terminal: bytes 0x00-0x1F and 0x7F,
// and in a UTF-8 locale the C1 controls U+0080-U+009F, become \xHH (each
// byte), so that no name can drive the terminal. Everything else is kept.
// Names are UTF-8 on Windows.
std::string Printable(const std::string& text);

// Ends the run when standard output has been closed by its reader (a write
// to it failed with a broken pipe): temporaries are removed and the process
// exits as SIGPIPE would end it, 128 + 13. Call after writing to stdout.
void EndIfOutputClosed();

// The temporary files being written, kept in fixed storage so that a
// signal handler can remove them: Watch is the conversion's temporary
// callback; RemovePendingTemporaries is async-signal-safe.
void WatchTemporary(const char* path, bool exists);
void RemovePendingTemporaries();

enum class LineKind { Read, Write };

// The self-overwriting line of one stage of a conversion.
class ProgressLine {
 public:
  ProgressLine(bool quiet, std::string displayName, LineKind kind);

  // Prints the line for p unless quiet or p was the last one printed.
  void Show(uint64_t p, uint64_t phase, uint64_t count);
  // The stage's end: its error line when it failed, then (unless quiet) the
  // line at 100% unless already shown, and "\n".
  void Close(uint64_t phase, uint64_t count, int32_t status);

 private:
  void Print(uint64_t p, uint64_t phase, uint64_t count);

  static constexpr uint64_t kNoPercent = ~uint64_t(0);
  bool quiet_;
  std::string name_;
  LineKind kind_;
  uint64_t lastPercent_ = kNoPercent;
};

}  // namespace cli
