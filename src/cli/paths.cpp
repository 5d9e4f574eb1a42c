#include "cli/paths.h"

#include <cctype>

#include "cli/platform.h"

namespace cli {

std::string JoinPath(std::string folder, std::string name) {
  // With nothing in front, the name stays as given: a leading separator is
  // what makes a path absolute, and dropping it would name another file.
  if (folder.empty()) return name;
  while (!folder.empty() && IsSeparator(folder.back())) folder.pop_back();
  size_t lead = 0;
  while (lead < name.size() && IsSeparator(name[lead])) ++lead;
  name.erase(0, lead);
  // A folder of separators only is the root.
  return folder + kPathSeparator + name;
}

std::string DirectoryOf(const std::string& path) {
  std::string full;
  size_t finalStart;
  if (!ResolveFullPath(path, full, finalStart)) return std::string();
  return finalStart == std::string::npos ? full : full.substr(0, finalStart);
}

std::string FileNameOf(const std::string& path) {
  std::string full;
  size_t finalStart;
  if (!ResolveFullPath(path, full, finalStart) || finalStart == std::string::npos) return std::string();
  return full.substr(finalStart);
}

std::string UpperExtension(const std::string& name) {
  std::string collected;
  for (size_t i = name.size(); i-- > 1;) {
    const char c = name[i];
    if (c == '.') return "." + collected;
    if (IsSeparator(c)) break;
    collected.insert(collected.begin(), static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  return std::string();
}

std::string ReplaceExtension(const std::string& path, const std::string& extension) {
  if (path.empty()) return extension;
  for (size_t i = path.size(); i-- > 1;) {
    const char c = path[i];
    if (IsSeparator(c)) break;
    if (c == '.') return path.substr(0, i) + extension;
  }
  return path + extension;
}

void ComputeDestinationSettings(const std::optional<std::string>& outputPath,
                                const std::optional<std::string>& dstFile, DestinationSettings& settings) {
  const std::string joined = JoinPath(outputPath.value_or(std::string()), dstFile.value_or(std::string()));
  settings.outputName = FileNameOf(joined);
  settings.outputFolder = settings.outputName != joined ? DirectoryOf(joined) : std::string();
}

std::string DestinationFor(const DestinationSettings& settings, const std::string& source,
                           const std::string& extension) {
  if (!settings.outputName.empty()) {
    const std::string& folder = settings.outputFolder.empty() ? settings.sourceFolder : settings.outputFolder;
    return folder + settings.outputName;
  }
  if (!settings.outputFolder.empty()) return settings.outputFolder + ReplaceExtension(FileNameOf(source), extension);
  return ReplaceExtension(source, extension);
}

}  // namespace cli
