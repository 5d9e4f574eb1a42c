// Path arithmetic and the rule that turns a source path into a destination.
#pragma once
#include <optional>
#include <string>

namespace cli {

// folder + separator + name, with separators at the seam collapsed to one;
// name unchanged when folder is empty.
std::string JoinPath(std::string folder, std::string name);
// Full-path folder of path, ending in a separator; empty when it cannot be resolved.
std::string DirectoryOf(const std::string& path);
// Final component of the full path; empty when there is none or it cannot be resolved.
std::string FileNameOf(const std::string& path);
// ".EXT" in upper case, or empty; a leading dot alone does not start an extension.
std::string UpperExtension(const std::string& name);
std::string ReplaceExtension(const std::string& path, const std::string& extension);

struct DestinationSettings {
  std::string sourceFolder;  // folder of the source pattern, ending in a separator
  std::string outputFolder;  // from -o and/or dstfile; empty when neither names one
  std::string outputName;    // from dstfile; empty when there is none
};

// Fills outputFolder and outputName; sourceFolder is the caller's.
void ComputeDestinationSettings(const std::optional<std::string>& outputPath,
                                const std::optional<std::string>& dstFile,
                                DestinationSettings& settings);

std::string DestinationFor(const DestinationSettings& settings, const std::string& source,
                           const std::string& extension);

}  // namespace cli
