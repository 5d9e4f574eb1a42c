#include "cli/app.h"

// Sanitizer builds release everything, so that leak checking covers the
// whole run.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kExitWhenDone = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kExitWhenDone = false;
#else
constexpr bool kExitWhenDone = true;
#endif
#else
constexpr bool kExitWhenDone = true;
#endif

#ifdef _WIN32
#include <string>
#include <vector>

#include "base/wide_path.h"

// The arguments as UTF-16 (the program is linked with -municode), held as
// UTF-8: a name outside the ANSI code page arrives whole.
int wmain(int argc, wchar_t** wargv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(base::Utf8Path(wargv[i]));
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  return cli::Main(argc, argv.data(), kExitWhenDone);
}
#else
int main(int argc, char** argv) { return cli::Main(argc, argv, kExitWhenDone); }
#endif
