#include "convert/progress.h"

const ErrorTextEntry kErrorTexts[] = {
    {kErrIllegalFormat, "Illigal data format"},
    {kErrNotFound, "Not found data"},
    {kErrFeatureVersion, "Feature version"},
    {kErrBusyBgThread, "Busy BG thread"},
    {kErrSourceOpen, "Cannot open source file"},
    {kErrNotPsd, "Not a supported PSD file"},
    {kErrDestinationCreate, "Cannot create destination file"},
    {kErrWrite, "Write failed"},
    {kErrEmptyCanvas, "Empty canvas"},
    {kErrNoDocument, "No document read"},
};
const int kErrorTextCount = sizeof kErrorTexts / sizeof kErrorTexts[0];

const char* ErrorText(int32_t code) {
  for (const ErrorTextEntry& e : kErrorTexts)
    if (e.code == code) return e.text;
  return "Unknown";
}

uint64_t PercentOf(uint64_t done, uint64_t total) {
  // Past the end would print more than 100%; a caller's overshoot is shown as done.
  if (total == 0 || done >= total) return 100;
  if (done <= ~uint64_t(0) / 100) return done * 100 / total;
  // done * 100 would overflow 64 bits.
#ifdef __SIZEOF_INT128__
  return static_cast<uint64_t>(static_cast<unsigned __int128>(done) * 100 / total);
#else
  return static_cast<uint64_t>(static_cast<long double>(done) * 100 / total);
#endif
}

void PrintError(int32_t code) { PrintError(stdout, code); }

void PrintError(std::FILE* out, int32_t code) {
  std::fprintf(out, "\nerror(%d):%s\n", static_cast<int>(code), ErrorText(code));
  std::fflush(out);
}

ProgressLine::ProgressLine(bool quiet, std::string displayName, LineKind kind)
    : quiet_(quiet), name_(std::move(displayName)), kind_(kind) {}

void ProgressLine::Show(uint64_t p, uint64_t phase, uint64_t count) {
  if (quiet_ || p == lastPercent) return;
  lastPercent = p;
  Print(p, phase, count);
}

void ProgressLine::Close(uint64_t phase, uint64_t count) {
  if (quiet_) return;
  if (lastPercent != 100) {
    lastPercent = 100;
    Print(100, phase, count);
  }
  std::fputs("\n", out_);
  std::fflush(out_);
}

void ProgressLine::Print(uint64_t p, uint64_t phase, uint64_t count) {
  const char* format = kind_ == LineKind::Read ? "reading... %3d%% %d/%d: %s\r" : " => writing... %3d%% %d/%d: %s\r";
  std::fprintf(out_, format, static_cast<int>(p), static_cast<int>(phase), static_cast<int>(count), name_.c_str());
  // The line ends in "\r", which does not flush a line-buffered terminal.
  std::fflush(out_);
}
