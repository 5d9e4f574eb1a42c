#include "convert/progress.h"

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
