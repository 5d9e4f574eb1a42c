// Versions, errors, options, memory and the blend-mode table of the door.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "api/internal.h"
#include "base/work_pool.h"
#include "blend/modes.h"

namespace api {

namespace {

struct ErrorSlot {
  int code = 0;
  std::string message;
};
thread_local ErrorSlot t_error;

}  // namespace

int Fail(int code, const std::string& detail) {
  ErrorSlot& e = t_error;
  e.code = code;
  try {
    e.message = ErrorText(code);
    if (!detail.empty()) e.message += ": " + detail;
  } catch (...) {
    e.message.clear();  // the code alone, without memory for its text
  }
  return code;
}

yvn2psd_options OptionsOf(const yvn2psd_options* given) {
  yvn2psd_options o;
  yvn2psd_options_init(&o);
  if (given && given->size >= sizeof(size_t)) {
    // A caller built against an older header passes a shorter struct.
    const size_t n = given->size < sizeof o ? given->size : sizeof o;
    std::memcpy(&o, given, n);
    o.size = sizeof o;
  }
  return o;
}

int CheckOptions(const yvn2psd_options& o) {
  if (o.psd_depth != 8 && o.psd_depth != 16) return Fail(kErrInvalidArgument, "psd_depth must be 8 or 16");
  if (o.source_format < YVN2PSD_FORMAT_AUTO || o.source_format > YVN2PSD_FORMAT_PSD)
    return Fail(kErrInvalidArgument, "unknown source_format");
  return 0;
}

ConversionSettings SettingsOf(const yvn2psd_options& o) {
  ConversionSettings s;
  s.compress = o.compress != 0;
  s.depth = uint32_t(o.psd_depth);
  s.nameCharset = o.psd_name_charset ? o.psd_name_charset : "";
  return s;
}

bool NativeByExtension(const std::string& path) {
  const size_t dot = path.find_last_of('.');
  const size_t sep = path.find_last_of("/\\");
  if (dot == std::string::npos || dot == 0 || (sep != std::string::npos && dot < sep + 2)) return false;
  std::string e = path.substr(dot);
  for (char& c : e) c = char(std::toupper(uint8_t(c)));
  return e == ".YVN";
}

bool NativeByBytes(const uint8_t* head, size_t n) { return !(n >= 4 && std::memcmp(head, "8BPS", 4) == 0); }

}  // namespace api

extern "C" {

int yvn2psd_version(void) { return YVN2PSD_VERSION_NUMBER; }

#define YVN2PSD_TEXT_(x) #x
#define YVN2PSD_TEXT(x) YVN2PSD_TEXT_(x)
const char* yvn2psd_version_string(void) {
  return YVN2PSD_TEXT(YVN2PSD_VERSION_MAJOR) "." YVN2PSD_TEXT(YVN2PSD_VERSION_MINOR) "." YVN2PSD_TEXT(
      YVN2PSD_VERSION_PATCH);
}

const char* yvn2psd_error_text(int code) { return ErrorText(code); }

int yvn2psd_last_error(void) { return api::t_error.code; }

const char* yvn2psd_last_error_message(void) {
  const api::ErrorSlot& e = api::t_error;
  return e.code == 0 ? "" : e.message.empty() ? ErrorText(e.code) : e.message.c_str();
}

void yvn2psd_options_init(yvn2psd_options* o) {
  if (!o) return;
  std::memset(o, 0, sizeof *o);
  o->size = sizeof *o;
  o->compress = 1;
  o->psd_depth = 8;
}

void yvn2psd_set_threads(unsigned threads) { base::SetWorkThreadLimit(threads); }

void yvn2psd_free(void* data) { std::free(data); }

}  // extern "C"

// ---------------------------------------------------------------- blend modes

namespace {

// The public enumeration's values in order, as the document's colour mode
// ids: the table is the mapping both ways.
const uint8_t kModeOfBlend[] = {1,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13,
                                14, 15, 16, 17, 18, 19, 20, 21, 50, 51, 52, 53};
constexpr int kBlendCount = int(sizeof kModeOfBlend);

}  // namespace

namespace api {

int BlendOfMode(uint8_t mode) {
  for (int b = 0; b < kBlendCount; ++b)
    if (kModeOfBlend[b] == mode) return b;
  return YVN2PSD_BLEND_OTHER;
}

int ModeOfBlend(int blend) { return blend >= 0 && blend < kBlendCount ? kModeOfBlend[blend] : -1; }

}  // namespace api

extern "C" {

const char* yvn2psd_blend_psd_key(int blend) {
  const int mode = api::ModeOfBlend(blend);
  return mode < 0 ? "norm" : blend::PsdKeyForColorMode(uint8_t(mode));
}

int yvn2psd_blend_from_psd_key(const char* key) {
  if (!key || std::strlen(key) < 4) return YVN2PSD_BLEND_NORMAL;
  return api::BlendOfMode(blend::ColorModeForPsdKey(key));
}

}  // extern "C"
