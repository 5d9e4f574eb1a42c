#include "cli/app.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>

#include "cli/paths.h"
#include "cli/platform.h"
#include "cli/prompts.h"
#include "convert/jobs.h"
#include "convert/progress.h"
#include "convert/safe_output.h"
#include "kzm/runtime.h"

namespace cli {

namespace {

constexpr const char* kNativeExt = ".YVN";
constexpr const char* kPsdExt = ".PSD";
constexpr const char* kLargePsdExt = ".PSB";

// PSD sources: documents and large documents (version 2).
bool IsPsdExtension(const std::string& e) { return e == kPsdExt || e == kLargePsdExt; }

// An unquoted filter is expanded by a POSIX shell into two positional
// arguments; the second then names a file of the source's own kind, which
// must not be overwritten with the conversion of the first.
bool DestinationOfSourceKind(const std::string& dstArg, const SourceList& list) {
  const std::string e = UpperExtension(dstArg);
  return (list.sawNative && e == kNativeExt) || (list.sawPsd && IsPsdExtension(e));
}

bool Resolvable(const std::string& path) {
  std::string full;
  size_t finalStart;
  return ResolveFullPath(path, full, finalStart);
}

// Whether the source may be converted to d; when not, the reason was printed.
bool DestinationUsable(const std::string& source, const std::string& d) {
  if (!Resolvable(d)) {
    PrintPathError(kErrUnusablePath, d);
    return false;
  }
  // Links followed: a link, a hard link or another spelling of the source
  // must not have the source's own bytes replaced while they are read.
  if (SameFile(source, d)) {
    PrintError(kErrSameFile);
    return false;
  }
  if (ClassifyDestination(d) == DestinationKind::Unusable) {
    PrintError(kErrDestinationCreate);
    return false;
  }
  return true;
}

enum class Outcome { Next, Stop };

// What a batch leaves for the exit status: whether any source or
// destination failed with an error line.
struct BatchState {
  bool failed = false;
  // The document converted last, released before the next source is read.
  std::shared_ptr<const void> last;
};

// Reads one source and writes its conversion.
template <typename Reader, typename Writer, typename MakeWriter>
Outcome Convert(const CommandOptions& options, const std::string& s, BatchState& state, MakeWriter&& makeWriter) {
  Reader reader(options.quiet, s, FileNameOf(s));
  reader.Run();
  // The job has reported a failed read; the write needs a document.
  if (!reader.document()) {
    state.failed = true;
    return options.force ? Outcome::Next : Outcome::Stop;
  }
  Writer writer = makeWriter(reader.document());
  const int code = writer.Run();
  state.last = reader.document();
  if (code != 0) state.failed = true;
  // Out of memory, and a read failure the write found, stop the batch as a
  // failed read does.
  return (code == kErrOutOfMemory || writer.readFailed()) && !options.force ? Outcome::Stop : Outcome::Next;
}

// Lists, or asks about and converts, source i.
Outcome ProcessSource(CommandOptions& options, const SourceList& list, const DestinationSettings& settings, size_t i,
                      BatchState& state) {
  const std::string& s = list.sources[i];
  const bool native = UpperExtension(s) == kNativeExt;
  const std::string d = DestinationFor(settings, s, native ? ".psd" : ".yvn");

  if (options.listing) {
    std::printf("%d:%s\n", static_cast<int>(i), Printable(s).c_str());
    std::printf(" => %s\n", Printable(d).c_str());
    std::fflush(stdout);
    EndIfOutputClosed();
    return Outcome::Next;
  }
  // Every destination of a batch lies in one folder.
  if (i == 0 && Resolvable(d) && ConfirmFolder(DirectoryOf(d), options.overwriteAll) == FolderAnswer::Cancel)
    return Outcome::Stop;
  if (!DestinationUsable(s, d)) {
    state.failed = true;
    return Outcome::Next;
  }
  switch (ConfirmOverwrite(d, options.overwriteAll)) {
    case OverwriteAnswer::Skip:
      return Outcome::Next;
    case OverwriteAnswer::Cancel:
      return Outcome::Stop;
    default:
      break;
  }

  state.last.reset();
  const bool quiet = options.quiet, compress = options.compress;
  const uint32_t depth = options.depth;
  return native ? Convert<KzmLoad, PsdSave>(options, s, state,
                                            [&](const NativeSourcePtr& src) {
                                              return PsdSave(quiet, src, d, FileNameOf(d), depth);
                                            })
                : Convert<PsdLoad, KzmSave>(options, s, state, [&](const PsdSourcePtr& doc) {
                    return KzmSave(quiet, doc, d, FileNameOf(d), compress);
                  });
}

// Leaves the last document converted held in `state`, for the caller to
// release or to leave to the operating system.
void RunBatch(CommandOptions& options, const SourceList& list, const DestinationSettings& settings,
              BatchState& state) {
  for (size_t i = 0; i < list.sources.size(); ++i) {
    try {
      if (ProcessSource(options, list, settings, i, state) == Outcome::Stop) return;
    } catch (const std::bad_alloc&) {
      // An allocation the jobs do not guard (names, lines, the jobs
      // themselves): the source fails as one whose conversion ran out does,
      // its temporary and document gone with the unwinding.
      state.last.reset();
      state.failed = true;
      PrintError(kErrOutOfMemory);
      if (!options.force) return;
    }
  }
}

// A path given on the command line that cannot be resolved would read as
// absent, and the output would go somewhere else: the command line is unusable.
bool ReportUnresolvable(const std::optional<std::string>& path) {
  if (!path || path->empty() || Resolvable(*path)) return false;
  PrintPathError(kErrUnusablePath, *path);
  return true;
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
    } else if (IsPsdExtension(e)) {
      list.sawPsd = true;
    } else {
      continue;
    }
    list.sources.push_back(list.folder + name);
  }
  return list;
}

namespace {

int Run(int argc, const char* const* argv, bool exitWhenDone) {
  CommandOptions options;
  if (!ParseArguments(argc, argv, options) || !options.srcArg) {
    PrintUsage();
    return -1;
  }
  const std::optional<std::string> pattern = JoinPath(options.inputPath.value_or(std::string()), *options.srcArg);
  std::optional<std::string> output;
  if (options.outputPath || options.dstArg)
    output = JoinPath(options.outputPath.value_or(std::string()), options.dstArg.value_or(std::string()));
  if (ReportUnresolvable(options.inputPath) || ReportUnresolvable(options.outputPath) ||
      ReportUnresolvable(options.dstArg) || ReportUnresolvable(output) || ReportUnresolvable(pattern)) {
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

  kzm::Runtime runtime;
  BatchState state;
  RunBatch(options, list, settings, state);
  const int status = state.failed ? kExitFailed : 0;
  if (exitWhenDone) {
    std::fflush(nullptr);
    std::_Exit(status);
  }
  return status;
}

}  // namespace

int Main(int argc, const char* const* argv, bool exitWhenDone) {
  EnsureStandardStreams();
  InstallSignalCleanup(RemovePendingTemporaries);
  try {
    return Run(argc, argv, exitWhenDone);
  } catch (const std::bad_alloc&) {
    // Before the first source (the command line, the list of sources, the
    // runtime's tables): nothing was converted, and the run ends with the
    // error line a conversion would print.
    PrintError(kErrOutOfMemory);
    return kExitFailed;
  }
}

}  // namespace cli
