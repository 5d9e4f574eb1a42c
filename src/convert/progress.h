// Progress lines ("...\r"), closing lines and error lines of the jobs.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#include "convert/errors.h"

// done * 100 / total, truncated; 100 when total is 0 or done has reached total.
uint64_t PercentOf(uint64_t done, uint64_t total);

// "\nerror(%d):%s\n"; printed whatever the quiet setting.
void PrintError(int32_t code);
void PrintError(std::FILE* out, int32_t code);
// "\nerror(%d):%s: PATH\n", the path shown as Printable shows it.
void PrintPathError(int32_t code, const std::string& path);

// A path or name as it may be shown on a terminal: bytes 0x00-0x1F and 0x7F,
// and in a UTF-8 locale the C1 controls U+0080-U+009F, become \xHH (each
// byte), so that no name can drive the terminal. Everything else is kept.
std::string Printable(const std::string& text);

// Ends the run when standard output has been closed by its reader (a write
// to it failed with a broken pipe): temporaries are removed and the process
// exits as SIGPIPE would end it, 128 + 13. Call after writing to stdout.
void EndIfOutputClosed(std::FILE* out = stdout);

enum class LineKind { Read, Write };

// The self-overwriting line of one job.
class ProgressLine {
 public:
  static constexpr uint64_t kNoPercent = ~uint64_t(0);

  ProgressLine(bool quiet, std::string displayName, LineKind kind);

  // Run starts: nothing printed yet.
  void Reset() { lastPercent = kNoPercent; }
  // Prints the line for p unless quiet or p was the last one printed.
  void Show(uint64_t p, uint64_t phase, uint64_t count);
  // Closing line: 100% unless already shown, then "\n"; nothing when quiet.
  void Close(uint64_t phase, uint64_t count);
  void Error(int32_t code) { PrintError(out_, code); }

  void SetOutput(std::FILE* out) { out_ = out; }

  uint64_t lastPercent = kNoPercent;

 private:
  void Print(uint64_t p, uint64_t phase, uint64_t count);

  bool quiet_;
  std::string name_;
  LineKind kind_;
  std::FILE* out_ = stdout;
};
