// The program: command line, source list, batch loop.
#pragma once
#include <string>
#include <vector>

#include "cli/options.h"

namespace cli {

struct SourceList {
  std::string folder;                // full folder of the pattern, ending in a separator
  std::vector<std::string> sources;  // folder + name of each .yvn / .psd match, in order
  size_t enumerated = 0;             // every non-directory match, whatever its extension
  bool sawNative = false;
  bool sawPsd = false;
};

// Enumerates JoinPath(inputPath, files[0]); options.files must not be empty.
SourceList BuildSourceList(const CommandOptions& options);

// Exit status of a run in which a source or destination failed with an
// error line.
constexpr int kExitFailed = 1;

// The whole program; main() only forwards to it. 0 when every source was
// converted, listed or skipped by the user's answer; kExitFailed when one
// failed with an error line; -1 when the usage text was printed. A console
// that closes with the program waits for a key first. With exitWhenDone the
// process ends as soon as the batch is over (standard streams flushed),
// leaving the last document and the model's pools to the operating system:
// releasing a large painting cell by cell takes a good part of a second, and
// nothing would use the memory again.
int Main(int argc, const char* const* argv, bool exitWhenDone = false);

}  // namespace cli
