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

  bool quiet() const { return quiet_; }
  const std::string& displayName() const { return name_; }
  void SetOutput(std::FILE* out) { out_ = out; }
  std::FILE* output() const { return out_; }

  uint64_t lastPercent = kNoPercent;

 private:
  void Print(uint64_t p, uint64_t phase, uint64_t count);

  bool quiet_;
  std::string name_;
  LineKind kind_;
  std::FILE* out_ = stdout;
};
