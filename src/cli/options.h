// Command-line options and the usage text.
#pragma once
#include <cstdio>
#include <optional>
#include <string>

namespace cli {

struct CommandOptions {
  std::optional<std::string> srcArg;
  std::optional<std::string> dstArg;
  std::optional<std::string> inputPath;
  std::optional<std::string> outputPath;
  bool quiet = false;
  bool force = false;
  bool listing = false;
  bool overwriteAll = false;
  bool compress = true;
  uint32_t depth = 8;  // of PSD samples: -d8, -d16
};

// Fills options from argv[1..argc-1]. False when the command line can only
// end in the usage text: no arguments, or a third positional argument (which
// also discards the first two). A missing source is the caller's check.
bool ParseArguments(int argc, const char* const* argv, CommandOptions& options);

void PrintUsage(std::FILE* out = stdout);

}  // namespace cli
