// Command-line options and the usage text.
#pragma once
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace cli {

struct CommandOptions {
  std::vector<std::string> files;  // the file arguments, in the order given
  std::optional<std::string> inputPath;
  std::optional<std::string> outputPath;
  bool quiet = false;
  bool force = false;
  bool listing = false;
  bool overwriteAll = false;
  bool compress = true;
  uint32_t depth = 8;  // of PSD samples: -d8, -d16
};

// Fills options from argv[1..argc-1]. False when no file argument is given,
// which can only end in the usage text; how the file arguments are read (a
// srcfile or filter and a dstfile, or a list of sources) is the caller's.
bool ParseArguments(int argc, const char* const* argv, CommandOptions& options);

void PrintUsage(std::FILE* out = stdout);

}  // namespace cli
