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

int main(int argc, char** argv) { return cli::Main(argc, argv, kExitWhenDone); }
