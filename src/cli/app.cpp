#include "cli/app.h"

#include <cstdio>
#include <cstdlib>

#include "cli/paths.h"
#include "cli/platform.h"
#include "cli/prompts.h"
#include "convert/jobs.h"
#include "kzm/runtime.h"

namespace cli {

namespace {

constexpr const char* kNativeExt = ".YVN";
constexpr const char* kPsdExt = ".PSD";

// The model's runtime lives exactly as long as the batch.
class RuntimeSession {
 public:
  RuntimeSession() {
    kzm::RuntimeStartup();
    kzm::RuntimeStartupPools();
  }
  ~RuntimeSession() { kzm::RuntimeShutdown(); }
  RuntimeSession(const RuntimeSession&) = delete;
  RuntimeSession& operator=(const RuntimeSession&) = delete;
};

// An unquoted filter is expanded by a POSIX shell into two positional
// arguments; the second then names a file of the source's own kind, which
// must not be overwritten with the conversion of the first.
bool DestinationOfSourceKind(const std::string& dstArg, const SourceList& list) {
  const std::string e = UpperExtension(dstArg);
  return (list.sawNative && e == kNativeExt) || (list.sawPsd && e == kPsdExt);
}

// Returns the last document converted, still held: released before the next
// source is read, or by the caller.
DocumentPtr RunBatch(CommandOptions& options, const SourceList& list, const DestinationSettings& settings) {
  DocumentPtr last;
  for (size_t i = 0; i < list.sources.size(); ++i) {
    const std::string& s = list.sources[i];
    const bool native = UpperExtension(s) == kNativeExt;
    const std::string d = DestinationFor(settings, s, native ? ".psd" : ".yvn");

    if (options.listing) {
      std::printf("%d:%s\n", static_cast<int>(i), s.c_str());
      std::printf(" => %s\n", d.c_str());
      continue;
    }
    // Every destination of a batch lies in one folder.
    if (i == 0 && ConfirmFolder(DirectoryOf(d), options.overwriteAll) == FolderAnswer::Cancel) return last;
    switch (ConfirmOverwrite(d, options.overwriteAll)) {
      case OverwriteAnswer::Skip:
        continue;
      case OverwriteAnswer::Cancel:
        return last;
      default:
        break;
    }

    last.reset();
    if (native) {
      KzmLoad reader(options.quiet, s, FileNameOf(s));
      reader.Run();
      if (!reader.document()) {
        // The job has reported it; the write needs a document.
        if (!options.force) return last;
        continue;
      }
      PsdSave writer(options.quiet, reader.document(), d, FileNameOf(d));
      writer.Run();
      last = reader.document();
    } else {
      PsdLoad reader(options.quiet, s, FileNameOf(s));
      reader.Run();
      if (!reader.document()) {
        if (!options.force) return last;
        continue;
      }
      KzmSave writer(options.quiet, reader.document(), d, FileNameOf(d), options.compress);
      writer.Run();
      last = reader.document();
    }
  }
  return last;
}

}  // namespace

SourceList BuildSourceList(const CommandOptions& options) {
  SourceList list;
  const std::string pattern = JoinPath(options.inputPath.value_or(std::string()), *options.srcArg);
  const std::vector<std::string> names = EnumerateFiles(pattern);
  list.enumerated = names.size();
  list.folder = DirectoryOf(pattern);
  for (const std::string& name : names) {
    const std::string e = UpperExtension(name);
    if (e == kNativeExt) {
      list.sawNative = true;
    } else if (e == kPsdExt) {
      list.sawPsd = true;
    } else {
      continue;
    }
    list.sources.push_back(list.folder + name);
  }
  return list;
}

int Main(int argc, const char* const* argv, bool exitWhenDone) {
  CommandOptions options;
  if (!ParseArguments(argc, argv, options) || !options.srcArg) {
    PrintUsage();
    return -1;
  }
  const SourceList list = BuildSourceList(options);
  if (list.sawNative == list.sawPsd || (options.dstArg && list.enumerated >= 2) ||
      (options.dstArg && DestinationOfSourceKind(*options.dstArg, list))) {
    PrintUsage();
    return -1;
  }
  DestinationSettings settings;
  settings.sourceFolder = list.folder;
  ComputeDestinationSettings(options.outputPath, options.dstArg, settings);

  RuntimeSession runtime;
  const DocumentPtr last = RunBatch(options, list, settings);
  if (exitWhenDone) {
    std::fflush(nullptr);
    std::_Exit(0);
  }
  return 0;
}

}  // namespace cli
