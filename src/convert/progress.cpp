#include "convert/progress.h"

#include <cerrno>
#include <cstdlib>

#include "convert/safe_output.h"
#include "iio/codepage.h"

namespace {

struct ErrorTextEntry {
  int32_t code;
  const char* text;
};

// Every code with its text, in the order of errors.h.
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
    {kErrOutOfMemory, "Out of memory"},
    {kErrTooLarge, "Too large"},
    {kErrTooLargeForPsd, "Too large for PSD"},
    {kErrSameFile, "Destination is the source"},
    {kErrUnusablePath, "Unusable path"},
    {kErrCancelled, "Cancelled"},
    {kErrExists, "Destination exists"},
    {kErrInvalidArgument, "Invalid argument"},
    {kErrOutOfRange, "Index out of range"},
    {kErrBufferTooSmall, "Buffer too small"},
    {kErrBadState, "Call out of order"},
};

}  // namespace

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
  EndIfOutputClosed(out);
}

void PrintPathError(int32_t code, const std::string& path) {
  std::printf("\nerror(%d):%s: %s\n", static_cast<int>(code), ErrorText(code), Printable(path).c_str());
  std::fflush(stdout);
  EndIfOutputClosed(stdout);
}

std::string Printable(const std::string& text) {
  static const bool utf8 = iio::SystemCharset().empty();
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const uint8_t c = uint8_t(text[i]);
    size_t n = c < 0x20 || c == 0x7F ? 1 : 0;
    // U+0080-U+009F: C2 80 to C2 9F.
    if (!n && utf8 && c == 0xC2 && i + 1 < text.size() && (uint8_t(text[i + 1]) & 0xE0) == 0x80) n = 2;
    if (!n) {
      out += char(c);
      continue;
    }
    for (size_t k = 0; k < n; ++k) {
      static const char kHex[] = "0123456789ABCDEF";
      const uint8_t b = uint8_t(text[i + k]);
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
    i += n - 1;
  }
  return out;
}

void EndIfOutputClosed(std::FILE* out) {
  const int e = errno;  // of the write that failed, when one did
  if (!std::ferror(out)) return;
  // Other failures (a full disk behind the output) leave the files being
  // converted unharmed: the run goes on.
  std::clearerr(out);
  if (e != EPIPE) return;
  RemovePendingTemporaries();
  std::_Exit(128 + 13);
}

ProgressLine::ProgressLine(bool quiet, std::string displayName, LineKind kind)
    : quiet_(quiet), name_(Printable(displayName)), kind_(kind) {}

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
  EndIfOutputClosed(out_);
}

void ProgressLine::Print(uint64_t p, uint64_t phase, uint64_t count) {
  const char* format = kind_ == LineKind::Read ? "reading... %3d%% %d/%d: %s\r" : " => writing... %3d%% %d/%d: %s\r";
  std::fprintf(out_, format, static_cast<int>(p), static_cast<int>(phase), static_cast<int>(count), name_.c_str());
  // The line ends in "\r", which does not flush a line-buffered terminal.
  std::fflush(out_);
  EndIfOutputClosed(out_);
}
