#include "cli/prompts.h"

#include <cctype>
#include <cstdio>

#include "cli/paths.h"
#include "cli/platform.h"
#include "cli/lines.h"

namespace cli {

namespace {

int NextUpperKey(const KeyReader& readKey) {
  std::fflush(stdout);
  EndIfOutputClosed();
  const int key = readKey();
  return key < 0 ? -1 : std::toupper(key);
}

}  // namespace

FolderAnswer ConfirmFolder(const std::string& folder, bool overwriteAll, const KeyReader& readKey) {
  if (PathIsDirectory(folder)) return FolderAnswer::Create;
  if (!overwriteAll) {
    PrintOut("%s\n", Printable(folder).c_str());
    std::printf("Folder is not exists.\nCreate folder? [Y]es / [C]ancel\n");
    for (;;) {
      const int key = NextUpperKey(readKey);
      if (key == 'C' || key < 0) return FolderAnswer::Cancel;
      if (key == 'Y') break;
    }
  }
  // A failure here shows later as a destination that cannot be created.
  CreateFolderPath(folder);
  return FolderAnswer::Create;
}

FolderAnswer ConfirmFolder(const std::string& folder, bool overwriteAll) {
  return ConfirmFolder(folder, overwriteAll, ReadKey);
}

OverwriteAnswer ConfirmOverwrite(const std::string& destination, bool& overwriteAll, const KeyReader& readKey) {
  // Whatever the directory entry holds is asked about (a dangling link
  // too); an unusable one is the batch's to report, not to ask about.
  if (!IsReplaceableEntry(destination) || overwriteAll) return OverwriteAnswer::Yes;
  PrintOut("%s\n", Printable(destination).c_str());
  std::printf("Destination file is alreay exists.\nOverwrite? [Y]es / [A]ll yes / [S]kip / [C]ancel\n");
  for (;;) {
    switch (NextUpperKey(readKey)) {
      case 'Y':
        return OverwriteAnswer::Yes;
      case 'A':
        overwriteAll = true;
        return OverwriteAnswer::All;
      case 'S':
        return OverwriteAnswer::Skip;
      case 'C':
      case -1:
        return OverwriteAnswer::Cancel;
      default:
        break;
    }
  }
}

OverwriteAnswer ConfirmOverwrite(const std::string& destination, bool& overwriteAll) {
  return ConfirmOverwrite(destination, overwriteAll, ReadKey);
}

}  // namespace cli
