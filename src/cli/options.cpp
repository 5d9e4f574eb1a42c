#include "cli/options.h"

#include <cstring>

namespace cli {

bool ParseArguments(int argc, const char* const* argv, CommandOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] == '-') {
      if (arg[1] == '\0') continue;
      switch (arg[1]) {
        case 'F':
          options.force = true;
          break;
        case 'L':
          options.listing = true;
          break;
        case 'W':
          options.overwriteAll = true;
          break;
        case 'q':
          options.quiet = true;
          break;
        case 'i':
          options.inputPath = std::string(arg + 2);
          break;
        case 'o':
          options.outputPath = std::string(arg + 2);
          break;
        case 'z':
          if (arg[2] == '0') options.compress = false;
          break;
        case 'd':
          if (std::strcmp(arg + 2, "16") == 0) options.depth = 16;
          if (std::strcmp(arg + 2, "8") == 0) options.depth = 8;
          break;
        default:
          break;
      }
    } else {
      options.files.emplace_back(arg);
    }
  }
  return !options.files.empty();
}

void PrintUsage(std::FILE* out) {
  std::fprintf(out, "\n");
  std::fprintf(out, " yvn2psd - Convert between Vorlet Paint native format(.yvn) and .psd\n");
  std::fprintf(out, "============================================================================\n");
  std::fprintf(out, "                         version 1.0 x64 (c) yvn2psd developers\n");
  std::fprintf(out, " Usage:\n");
  std::fprintf(out, "  1: yvn2psd [-Options] srcfile [dstfile]\n");
  std::fprintf(out, "  2: yvn2psd [-Options] src-filter\n");
  std::fprintf(out, " \n");
  std::fprintf(out, " Options:\n");
  std::fprintf(out, "  -o\"path\": Setting of the output path\n");
  std::fprintf(out, "  -i\"path\": Setting of the input path\n");
  std::fprintf(out, "  -q : Quiet mode\n");
  std::fprintf(out, "  -z0: Not compress .yvn\n");
  std::fprintf(out, "  -W : Overwrite existing file without confirm\n");
  std::fprintf(out, "  -F : Ignore all errors and force executing\n");
  std::fprintf(out, "  -L : Listing processing files\n");
  std::fprintf(out, "  -d16: Write 16-bit .psd\n");
  std::fprintf(out, "  -d8: Write 8-bit .psd (default)\n");
}

}  // namespace cli
