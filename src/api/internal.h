// What the C entry points share: the calling thread's error slot, the
// options as the conversion takes them, and the guard that keeps every
// C++ failure inside the library.
#pragma once
#include <cstdint>
#include <exception>
#include <new>
#include <string>

#include "convert/errors.h"
#include "convert/jobs.h"
#include "yvn2psd.h"

namespace api {

// Records a failure in the calling thread's slot and returns its code.
int Fail(int code, const std::string& detail = std::string());

// The caller's options, or the defaults for null; fields past the size the
// caller's struct has keep their defaults.
yvn2psd_options OptionsOf(const yvn2psd_options* options);
ConversionSettings SettingsOf(const yvn2psd_options& options);
// Checks the values the conversion takes: 0 or a failure's code.
int CheckOptions(const yvn2psd_options& options);

// Runs a C entry point's body: a C++ exception never crosses the door.
template <typename Fn>
int Guard(Fn&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return Fail(kErrOutOfMemory);
  } catch (const std::exception& e) {
    return Fail(kErrBadState, e.what());
  } catch (...) {
    return Fail(kErrBadState);
  }
}

// The source format a path names by its extension: .yvn is native,
// anything else PSD.
bool NativeByExtension(const std::string& path);
// The format found from leading bytes: "8BPS" is PSD, anything else native.
bool NativeByBytes(const uint8_t* head, size_t n);

// The public blend enumeration and the document's colour mode ids, both
// ways: YVN2PSD_BLEND_OTHER for a mode without a public value, -1 for a
// value that is not one.
int BlendOfMode(uint8_t mode);
int ModeOfBlend(int blend);

}  // namespace api
