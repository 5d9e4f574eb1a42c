#include "cli/app.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>

#include "cli/lines.h"
#include "cli/paths.h"
#include "cli/platform.h"
#include "cli/prompts.h"
#include "yvn2psd.h"

namespace cli {

namespace {

constexpr const char* kNativeExt = ".YVN";
constexpr const char* kPsdExt = ".PSD";
constexpr const char* kLargePsdExt = ".PSB";

// PSD sources: documents and large documents (version 2).
bool IsPsdExtension(const std::string& e) { return e == kPsdExt || e == kLargePsdExt; }

// The source kind of a name: its extension, ".PSB" counted as ".PSD"; empty
// for any other.
std::string SourceKind(const std::string& name) {
  const std::string e = UpperExtension(name);
  if (e == kNativeExt) return e;
  return IsPsdExtension(e) ? kPsdExt : std::string();
}

// Two or more file arguments each naming an existing file of one source
// kind (files dropped on the program, an unquoted filter expanded by a
// shell) are a list of sources, each taken as given behind -i.
bool IsSourceList(const CommandOptions& options) {
  if (options.files.size() < 2) return false;
  const std::string kind = SourceKind(options.files[0]);
  if (kind.empty()) return false;
  for (const std::string& f : options.files)
    if (SourceKind(f) != kind || !IsNonFolderEntry(JoinPath(options.inputPath.value_or(std::string()), f)))
      return false;
  return true;
}

// A dstfile of the source's own kind would hold the other format under the
// source's extension, and is more likely a source meant for a list that did
// not exist: the command line is refused.
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
    PrintPathError(YVN2PSD_ERR_UNUSABLE_PATH, d);
    return false;
  }
  if (const int code = yvn2psd_check_destination(source.c_str(), d.c_str())) {
    PrintError(code);
    return false;
  }
  return true;
}

enum class Outcome { Next, Stop };

// Whether any source or destination of the batch failed with an error line.
struct BatchState {
  bool failed = false;
};

// The lines of one conversion: a reading line for the source and a
// writing line for the destination, driven by the library's progress.
class ConversionLines {
 public:
  ConversionLines(bool quiet, const std::string& source, const std::string& destination)
      : read_(quiet, FileNameOf(source), LineKind::Read), write_(quiet, FileNameOf(destination), LineKind::Write) {}

  static int OnProgress(void* user, const yvn2psd_progress* p) {
    auto* self = static_cast<ConversionLines*>(user);
    ProgressLine& line = p->stage == YVN2PSD_STAGE_READ ? self->read_ : self->write_;
    if (p->finished) {
      self->stageEnded_ = true;
      line.Close(p->phase, p->phases, p->status);
    } else
      line.Show(p->percent, p->phase, p->phases);
    return 0;
  }
  static void OnTemporary(void*, const char* path, int exists) { WatchTemporary(path, exists != 0); }

  // Whether a stage ended, and so printed its error line.
  bool stageEnded() const { return stageEnded_; }

 private:
  ProgressLine read_, write_;
  bool stageEnded_ = false;
};

// A source that cannot be read (it is missing, damaged or not of its kind),
// that is too large, or whose conversion ran out of memory: the batch stops
// there unless forced. A destination's failure lets it go on.
bool SourceFailure(int code) {
  return code < 100 || code == YVN2PSD_ERR_SOURCE_OPEN || code == YVN2PSD_ERR_NOT_PSD ||
         code == YVN2PSD_ERR_NO_DOCUMENT || code == YVN2PSD_ERR_OUT_OF_MEMORY || code == YVN2PSD_ERR_TOO_LARGE;
}

// Converts source s to d through the library, printing its lines.
Outcome Convert(const CommandOptions& options, const std::string& s, const std::string& d, BatchState& state) {
  ConversionLines lines(options.quiet, s, d);
  yvn2psd_options o;
  yvn2psd_options_init(&o);
  o.compress = options.compress ? 1 : 0;
  o.psd_depth = int(options.depth);
  o.overwrite = 1;  // the questions have been asked
  static const std::string charset = LocaleCharset();
  o.psd_name_charset = charset.c_str();
  o.source_format = UpperExtension(s) == kNativeExt ? YVN2PSD_FORMAT_YVN : YVN2PSD_FORMAT_PSD;
  o.progress = &ConversionLines::OnProgress;
  o.progress_user = &lines;
  o.temporary = &ConversionLines::OnTemporary;
  const int code = yvn2psd_convert_file(s.c_str(), d.c_str(), &o);
  if (code == 0) return Outcome::Next;
  state.failed = true;
  // A failure before any stage (the library's own checks of the paths).
  if (!lines.stageEnded()) PrintError(code);
  // A source that cannot be read, is damaged or too large, or a lack of
  // memory, ends the batch unless forced; a destination's failure does not.
  return SourceFailure(code) && !options.force ? Outcome::Stop : Outcome::Next;
}

// Lists, or asks about and converts, source i.
Outcome ProcessSource(CommandOptions& options, const SourceList& list, const DestinationSettings& settings, size_t i,
                      BatchState& state) {
  const std::string& s = list.sources[i];
  const bool native = UpperExtension(s) == kNativeExt;
  const std::string d = DestinationFor(settings, s, native ? ".psd" : ".yvn");

  if (options.listing) {
    PrintOut("%d:%s\n", static_cast<int>(i), Printable(s).c_str());
    PrintOut(" => %s\n", Printable(d).c_str());
    std::fflush(stdout);
    EndIfOutputClosed();
    return Outcome::Next;
  }
  // Asked once: with -o every destination lies in that folder, and without
  // it a list's destinations lie beside sources that exist.
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
  return Convert(options, s, d, state);
}

void RunBatch(CommandOptions& options, const SourceList& list, const DestinationSettings& settings,
              BatchState& state) {
  for (size_t i = 0; i < list.sources.size(); ++i) {
    try {
      if (ProcessSource(options, list, settings, i, state) == Outcome::Stop) return;
    } catch (const std::bad_alloc&) {
      // An allocation of the program's own (names, lines): the source fails
      // as one whose conversion ran out does.
      state.failed = true;
      PrintError(YVN2PSD_ERR_OUT_OF_MEMORY);
      if (!options.force) return;
    }
  }
}

// A path given on the command line that cannot be resolved would read as
// absent, and the output would go somewhere else: the command line is unusable.
bool ReportUnresolvable(const std::optional<std::string>& path) {
  if (!path || path->empty() || Resolvable(*path)) return false;
  PrintPathError(YVN2PSD_ERR_UNUSABLE_PATH, *path);
  return true;
}

}  // namespace

SourceList BuildSourceList(const CommandOptions& options) {
  SourceList list;
  const std::string pattern = JoinPath(options.inputPath.value_or(std::string()), options.files.at(0));
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

// Every file argument, resolved, in the order given; IsSourceList holds.
SourceList ListedSources(const CommandOptions& options) {
  SourceList list;
  for (const std::string& f : options.files) {
    std::string full;
    size_t finalStart;
    if (!ResolveFullPath(JoinPath(options.inputPath.value_or(std::string()), f), full, finalStart)) continue;
    (UpperExtension(full) == kNativeExt ? list.sawNative : list.sawPsd) = true;
    list.sources.push_back(full);
  }
  list.enumerated = list.sources.size();
  return list;
}

int Run(int argc, const char* const* argv) {
  CommandOptions options;
  if (!ParseArguments(argc, argv, options)) {
    PrintUsage();
    return -1;
  }
  const bool sourceList = IsSourceList(options);
  if (!sourceList && options.files.size() > 2) {
    PrintUsage();
    return -1;
  }
  std::optional<std::string> dstArg;
  if (!sourceList && options.files.size() == 2) dstArg = options.files[1];
  const std::string input = options.inputPath.value_or(std::string());
  std::optional<std::string> output;
  if (options.outputPath || dstArg)
    output = JoinPath(options.outputPath.value_or(std::string()), dstArg.value_or(std::string()));
  bool unusable = ReportUnresolvable(options.inputPath) || ReportUnresolvable(options.outputPath) ||
                  ReportUnresolvable(dstArg) || ReportUnresolvable(output);
  for (size_t k = 0; k < (sourceList ? options.files.size() : 1) && !unusable; ++k)
    unusable = ReportUnresolvable(JoinPath(input, options.files[k]));
  if (unusable) {
    PrintUsage();
    return -1;
  }
  const SourceList list = sourceList ? ListedSources(options) : BuildSourceList(options);
  if (list.sawNative == list.sawPsd || (dstArg && list.enumerated >= 2) ||
      (dstArg && DestinationOfSourceKind(*dstArg, list))) {
    PrintUsage();
    return -1;
  }
  DestinationSettings settings;
  settings.sourceFolder = list.folder;
  ComputeDestinationSettings(options.outputPath, dstArg, settings);

  BatchState state;
  RunBatch(options, list, settings, state);
  return state.failed ? kExitFailed : 0;
}

int RunCatchingMemory(int argc, const char* const* argv) {
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    // Before the first source (the command line, the list of sources, the
    // runtime's tables): nothing was converted, and the run ends with the
    // error line a conversion would print.
    PrintError(YVN2PSD_ERR_OUT_OF_MEMORY);
    return kExitFailed;
  }
}

}  // namespace

int Main(int argc, const char* const* argv, bool exitWhenDone) {
  EnsureStandardStreams();
  InstallSignalCleanup(RemovePendingTemporaries);
  const int status = RunCatchingMemory(argc, argv);
  // A console that closes with the program would take every line with it.
  if (ConsoleIsOwn()) {
    std::printf("Press any key to close");
    std::fflush(stdout);
    ReadKey();
    std::printf("\n");
  }
  if (exitWhenDone) {
    std::fflush(nullptr);
    std::_Exit(status);
  }
  return status;
}

}  // namespace cli
