// The two console questions of a batch: create a missing output folder, and
// overwrite an existing destination.
#pragma once
#include <functional>
#include <string>

namespace cli {

enum class FolderAnswer { Create, Cancel };
enum class OverwriteAnswer { Yes, All, Skip, Cancel };

// Next key, or -1 at the end of input (which answers Cancel).
using KeyReader = std::function<int()>;

// Asks only when folder is not an existing directory and overwriteAll is
// clear; creates the folder (with its parents) on Create.
FolderAnswer ConfirmFolder(const std::string& folder, bool overwriteAll, const KeyReader& readKey);
FolderAnswer ConfirmFolder(const std::string& folder, bool overwriteAll);

// Asks only when something that may be replaced is at the destination (a
// file, a link, a device) and overwriteAll is clear; the answer All sets
// overwriteAll.
OverwriteAnswer ConfirmOverwrite(const std::string& destination, bool& overwriteAll, const KeyReader& readKey);
OverwriteAnswer ConfirmOverwrite(const std::string& destination, bool& overwriteAll);

}  // namespace cli
