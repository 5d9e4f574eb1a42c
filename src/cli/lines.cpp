#include "cli/lines.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "cli/platform.h"
#include "yvn2psd.h"

#ifdef _WIN32
#include <windows.h>

#include "base/wide_path.h"
#else
#include <unistd.h>
#endif

namespace cli {

void PrintOut(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char small[512];
  std::string text;
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(small, sizeof small, format, args);
  if (n >= int(sizeof small)) {
    text.resize(size_t(n) + 1);
    std::vsnprintf(&text[0], text.size(), format, again);
    text.resize(size_t(n));
  } else if (n > 0) {
    text.assign(small, size_t(n));
  }
  va_end(again);
  va_end(args);
  if (!WriteConsoleText(text)) std::fwrite(text.data(), 1, text.size(), stdout);
}

void PrintError(int32_t code) {
  std::printf("\nerror(%d):%s\n", static_cast<int>(code), yvn2psd_error_text(code));
  std::fflush(stdout);
  EndIfOutputClosed();
}

void PrintPathError(int32_t code, const std::string& path) {
  PrintOut("\nerror(%d):%s: %s\n", static_cast<int>(code), yvn2psd_error_text(code), Printable(path).c_str());
  std::fflush(stdout);
  EndIfOutputClosed();
}

std::string Printable(const std::string& text) {
#ifdef _WIN32
  constexpr bool utf8 = true;
#else
  static const bool utf8 = LocaleCharset().empty();
#endif
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

void EndIfOutputClosed() {
  const int e = errno;  // of the write that failed, when one did
  if (!std::ferror(stdout)) return;
  // Other failures (a full disk behind the output) leave the files being
  // converted unharmed: the run goes on.
  std::clearerr(stdout);
  if (e != EPIPE) return;
  RemovePendingTemporaries();
  std::_Exit(128 + 13);
}

// ---------------------------------------------------------------- temporaries

namespace {

// Fixed storage and atomic states only, nothing a handler could find half-made.
constexpr int kSlots = 8;
constexpr size_t kSlotBytes = 4352;  // a path the system could still open
enum SlotState : int { kFree = 0, kFilling = 1, kReady = 2 };
struct Slot {
  std::atomic<int> state{kFree};
  char path[kSlotBytes];
#ifdef _WIN32
  wchar_t wide[kSlotBytes];  // the path for DeleteFileW, made before a handler needs it
#endif
};
Slot g_slots[kSlots];

}  // namespace

void WatchTemporary(const char* path, bool exists) {
  const size_t n = std::strlen(path);
  if (!exists) {
    for (Slot& s : g_slots)
      if (s.state.load() == kReady && std::strcmp(s.path, path) == 0) s.state.store(kFree);
    return;
  }
  if (n >= kSlotBytes) return;
  for (Slot& s : g_slots) {
    int expected = kFree;
    if (!s.state.compare_exchange_strong(expected, kFilling)) continue;
    std::memcpy(s.path, path, n + 1);
#ifdef _WIN32
    const std::wstring w = base::WidePath(path);
    if (w.size() >= kSlotBytes) {
      s.state.store(kFree);
      return;
    }
    std::wmemcpy(s.wide, w.c_str(), w.size() + 1);
#endif
    s.state.store(kReady);
    return;
  }
}

void RemovePendingTemporaries() {
  for (Slot& s : g_slots) {
    if (s.state.load() != kReady) continue;
#ifdef _WIN32
    DeleteFileW(s.wide);
#else
    unlink(s.path);
#endif
  }
}

// ---------------------------------------------------------------- ProgressLine

ProgressLine::ProgressLine(bool quiet, std::string displayName, LineKind kind)
    : quiet_(quiet), name_(Printable(displayName)), kind_(kind) {}

void ProgressLine::Show(uint64_t p, uint64_t phase, uint64_t count) {
  if (quiet_ || p == lastPercent_) return;
  lastPercent_ = p;
  Print(p, phase, count);
}

void ProgressLine::Close(uint64_t phase, uint64_t count, int32_t status) {
  if (status != 0) PrintError(status);
  if (quiet_) return;
  if (lastPercent_ != 100) {
    lastPercent_ = 100;
    Print(100, phase, count);
  }
  std::fputs("\n", stdout);
  std::fflush(stdout);
  EndIfOutputClosed();
}

void ProgressLine::Print(uint64_t p, uint64_t phase, uint64_t count) {
  const char* format = kind_ == LineKind::Read ? "reading... %3d%% %d/%d: %s\r" : " => writing... %3d%% %d/%d: %s\r";
  PrintOut(format, static_cast<int>(p), static_cast<int>(phase), static_cast<int>(count), name_.c_str());
  // The line ends in "\r", which does not flush a line-buffered terminal.
  std::fflush(stdout);
  EndIfOutputClosed();
}

}  // namespace cli
