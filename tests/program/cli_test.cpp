// The command line as a user meets it: arguments and keys on standard input;
// the output, exit value and files the program leaves.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "support/psd.h"

namespace ts {
namespace {

const char kUsage[] =
    "\n"
    " yvn2psd - Convert between Vorlet Paint native format(.yvn) and .psd\n"
    "============================================================================\n"
    "                         version 1.0 x64 (c) yvn2psd developers\n"
    " Usage:\n"
    "  1: yvn2psd [-Options] srcfile [dstfile]\n"
    "  2: yvn2psd [-Options] src-filter\n"
    " \n"
    " Options:\n"
    "  -o\"path\": Setting of the output path\n"
    "  -i\"path\": Setting of the input path\n"
    "  -q : Quiet mode\n"
    "  -z0: Not compress .yvn\n"
    "  -W : Overwrite existing file without confirm\n"
    "  -F : Ignore all errors and force executing\n"
    "  -L : Listing processing files\n"
    "  -d16: Write 16-bit .psd\n"
    "  -d8: Write 8-bit .psd (default)\n";
const char kFolderQuestion[] = "Folder is not exists.\nCreate folder? [Y]es / [C]ancel\n";
const char kOverwriteQuestion[] =
    "Destination file is alreay exists.\nOverwrite? [Y]es / [A]ll yes / [S]kip / [C]ancel\n";
const char kJunk[] = "not a painting\n";

class Cli : public ProgramTest {
 protected:
  RunResult Go(const std::vector<std::string>& args, const std::string& input = "") {
    RunOptions o;
    o.input = input;
    return RunProgram(dir.path(), args, o);
  }
  void Junk(const std::string& rel) { WriteFile(P(rel), kJunk); }
  // What -L prints for one source.
  std::string Listed(int i, const std::string& src, const std::string& dst) const {
    return std::to_string(i) + ":" + P(src) + "\n => " + P(dst) + "\n";
  }
  static bool ReadRan(const std::string& out, const std::string& name) {
    return Contains(out, "reading... ") && Contains(out, ": " + name + "\r");
  }
  static void ExpectLines(const std::string& out, const std::vector<std::string>& lines) {
    for (const std::string& line : lines) EXPECT_TRUE(Contains(out, line)) << line << " in " << out;
  }
};

TEST_F(Cli, UnusableCommandLinesPrintTheUsageAndWriteNothing) {
  Junk("a.yvn");
  Junk("b.yvn");
  Junk("c.psd");
  Junk("d.psd");
  Junk("a.txt");
  fs::create_directory(P("dir.yvn"));  // a directory is never a source
  const std::vector<std::vector<std::string>> lines = {
      {},                            // no arguments
      {"-q", "-W"},                  // only options
      {"a.yvn", "c.psd", "n.psd"},   // three file arguments, not all sources of one kind
      {"a.yvn", "b.yvn", "n.yvn"},
      {"a.yvn", "b.yvn", "dir.yvn"},
      {"c.psd", "d.psd", "a.yvn"},
      {"-L", "*"},                   // both kinds
      {"-L", "*.txt"},               // neither kind
      {"-L", "nothing*.yvn"},
      {"-L", "dir.yvn"},
      {"*.yvn", "out.psd"},          // a dstfile with two matches
      {"a.*", "out.psd"},            // ... of any extension
      {"-W", "a.yvn", "B.YVN"},      // a dstfile of the source's own kind
      {"-W", "a.yvn", "dir.yvn"},
      {"-W", "c.psd", "new.Psd"},
  };
  for (const auto& args : lines) {
    const RunResult r = Go(args);
    EXPECT_EQ(r.exit, 255) << ::testing::PrintToString(args);
    EXPECT_EQ(r.out, kUsage) << ::testing::PrintToString(args);
  }
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"a.txt", "a.yvn", "b.yvn", "c.psd", "d.psd", "dir.yvn"}));
  EXPECT_EQ(ReadFile(P("b.yvn")), kJunk);
  // A path that cannot be resolved is named before the usage.
  std::string deep;
  for (int i = 0; i < 2100; ++i) deep += "a/";
  const std::pair<std::vector<std::string>, std::string> paths[] = {{{"-W", "-o" + deep, "c.psd"}, deep},
                                                                    {{"-W", "c.psd", deep + "o.yvn"}, deep + "o.yvn"},
                                                                    {{"-W", "-i" + deep, "c.psd"}, deep},
                                                                    {{deep + "c.psd"}, deep + "c.psd"}};
  for (const auto& [args, path] : paths) {
    const RunResult r = Go(args);
    EXPECT_EQ(r.exit, 255);
    EXPECT_EQ(r.out, "\nerror(110):Unusable path: " + path + "\n" + kUsage) << args[0].substr(0, 3);
  }
  EXPECT_FALSE(fs::exists(P("c.yvn")));
}

TEST_F(Cli, ListingNamesEachSourceAndItsDestination) {
  Junk("b.yvn");
  Junk("A.YVN");
  Junk("c.Yvn");
  Junk("skip.txt");
  Junk(".yvn");   // a dot-file: a name without an extension, no source
  Junk("a.psd");  // an existing destination: no question when listing
  Junk("in/x.psd");
  Junk("in/y.PSD");
  // Byte order, any letter case, into an output folder that is not created.
  EXPECT_EQ(Go({"-L", "-ofresh", "*.yvn"}).out,
            Listed(0, "A.YVN", "fresh/A.psd") + Listed(1, "b.yvn", "fresh/b.psd") + Listed(2, "c.Yvn", "fresh/c.psd"));
  EXPECT_FALSE(fs::exists(P("fresh")));
  EXPECT_EQ(Go({"-L", "-oout", "in/*.psd"}).out, Listed(0, "in/x.psd", "out/x.yvn") + Listed(1, "in/y.PSD", "out/y.yvn"));
  // A single match takes a dstfile: relative to the current folder, a bare name
  // beside the source, a trailing separator ("\" too) an output folder.
  EXPECT_EQ(Go({"-L", "in/x.psd", "sub/b.yvn"}).out, Listed(0, "in/x.psd", "sub/b.yvn"));
  EXPECT_EQ(Go({"-L", "in/x.psd", "b.txt"}).out, Listed(0, "in/x.psd", "in/b.txt"));
  EXPECT_EQ(Go({"-L", "in\\x.psd", "outdir/"}).out, Listed(0, "in/x.psd", "outdir/x.yvn"));
  EXPECT_EQ(Go({"-L", "-o" + P("o"), "in/x.psd", "b.yvn"}).out, Listed(0, "in/x.psd", "o/b.yvn"));
  EXPECT_EQ(Go({"-L", "x*.psd", "one.yvn"}).exit, 255);  // no match here, and a dstfile
  EXPECT_EQ(Go({"-L", "in/x.*", "one.yvn"}).out, Listed(0, "in/x.psd", "in/one.yvn"));
  // -i goes in front of the source, an absolute one too.
  WriteFile(P("in") + P("in/x.psd"), kJunk);
  EXPECT_EQ(Go({"-L", "-i" + P("in"), P("in/x.psd")}).out,
            "0:" + P("in") + P("in/x.psd") + "\n => " + P("in") + P("in/x.yvn") + "\n");
  EXPECT_EQ(Go({"-L", "-iin", "?.psd"}).out, Listed(0, "in/x.psd", "in/x.yvn") + Listed(1, "in/y.PSD", "in/y.yvn"));
}

TEST_F(Cli, FilesOfOneSourceKindAreAListConvertedInTheOrderGiven) {
  WriteFile(P("in/b.psd"), NoisePsd(1, 6, 4, 1));
  WriteFile(P("a.psd"), NoisePsd(1, 6, 4, 2));
  WriteFile(P("c.psb"), NoisePsd(1, 6, 4, 3));
  Junk("bad.psd");
  // Each beside its own source, or into -o; behind -i each is taken as given.
  EXPECT_EQ(Go({"-L", "in/b.psd", "a.psd", "c.psb"}).out,
            Listed(0, "in/b.psd", "in/b.yvn") + Listed(1, "a.psd", "a.yvn") + Listed(2, "c.psb", "c.yvn"));
  EXPECT_EQ(Go({"-L", "-oout", "a.psd", "in/b.psd"}).out, Listed(0, "a.psd", "out/a.yvn") + Listed(1, "in/b.psd", "out/b.yvn"));
  EXPECT_EQ(Go({"-L", "-iin", "b.psd", "../a.psd"}).out, Listed(0, "in/b.psd", "in/b.yvn") + Listed(1, "a.psd", "a.yvn"));
  EXPECT_FALSE(fs::exists(P("out")));
  // What a shell makes of an unquoted *.psd: every file converted, one folder question.
  RunResult r = Go({"-q", "-onew", "a.psd", "c.psb", "in/b.psd"}, "y");
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(r.out, P("new") + "/\n" + kFolderQuestion);
  EXPECT_EQ(Listing(P("new")), (std::vector<std::string>{"a.yvn", "b.yvn", "c.yvn"}));
  // A source that fails stops the list unless forced.
  r = Go({"-q", "-W", "bad.psd", "c.psb"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_FALSE(fs::exists(P("c.yvn")));
  r = Go({"-q", "-F", "-W", "bad.psd", "c.psb"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(ReadFile(P("c.yvn")), ReadFile(P("new/c.yvn")));
  // A second argument that is no existing source of the first one's kind is a dstfile.
  EXPECT_EQ(Go({"-L", "a.psd", "c.yvn"}).out, Listed(0, "a.psd", "c.yvn"));
  EXPECT_EQ(Go({"-L", "c.yvn", "c.psb"}).out, Listed(0, "c.yvn", "c.psb"));
}

TEST_F(Cli, OverwriteQuestionTakesOneKeyInEitherCase) {
  const std::string asked = P("a.psd") + "\n" + kOverwriteQuestion;
  // Yes, after ignored keys.
  for (const char* keys : {"Y", "y", "q1 \nzY", "\x1b[Ay"}) {
    Junk("a.yvn");
    Junk("a.psd");
    const RunResult r = Go({"a.yvn"}, keys);
    EXPECT_EQ(r.out.substr(0, asked.size()), asked) << keys;
    EXPECT_TRUE(ReadRan(r.out, "a.yvn")) << keys;
  }
  Junk("b.yvn");
  // Skip goes to the next source.
  RunResult r = Go({"*.yvn"}, "s");
  EXPECT_EQ(r.out.substr(0, asked.size()), asked);
  EXPECT_FALSE(ReadRan(r.out, "a.yvn"));
  EXPECT_TRUE(ReadRan(r.out, "b.yvn"));
  EXPECT_EQ(ReadFile(P("a.psd")), kJunk);
  // Cancel, or the end of input, ends the batch.
  for (const char* keys : {"C", "xc", ""}) EXPECT_EQ(Go({"-F", "*.yvn"}, keys).out, asked) << keys;
  // All asks once; -W never; -w is no option.
  Junk("b.psd");
  r = Go({"-F", "*.yvn"}, "a");
  EXPECT_EQ(r.out.find(kOverwriteQuestion, asked.size()), std::string::npos);
  EXPECT_TRUE(ReadRan(r.out, "a.yvn") && ReadRan(r.out, "b.yvn"));
  EXPECT_FALSE(Contains(Go({"-W", "a.yvn"}).out, kOverwriteQuestion));
  EXPECT_EQ(Go({"-w", "a.yvn"}, "C").out, asked);
  // A dangling link is asked about like a file; a directory is not asked about.
  fs::create_symlink(P("nowhere"), P("l.psd"));
  EXPECT_EQ(Go({"a.yvn", "l.psd"}).out, P("l.psd") + "\n" + kOverwriteQuestion);
  fs::create_directory(P("d.psd"));
  EXPECT_FALSE(Contains(Go({"a.yvn", "d.psd"}).out, kOverwriteQuestion));
}

TEST_F(Cli, MissingOutputFolderIsAskedForOnce) {
  Junk("a.yvn");
  Junk("b.yvn");
  const std::string asked = P("new/deeper") + "/\n" + kFolderQuestion;
  RunResult r = Go({"-F", "-onew/deeper", "*.yvn"}, "xy");
  EXPECT_EQ(r.out.substr(0, asked.size()), asked);
  EXPECT_EQ(r.out.find(kFolderQuestion, asked.size()), std::string::npos);
  EXPECT_TRUE(fs::is_directory(P("new/deeper")));
  EXPECT_TRUE(ReadRan(r.out, "b.yvn"));
  for (const char* keys : {"c", "nC", ""}) {
    EXPECT_EQ(Go({"-oother", "a.yvn"}, keys).out, P("other") + "/\n" + kFolderQuestion) << keys;
    EXPECT_FALSE(fs::exists(P("other")));
  }
  EXPECT_FALSE(Contains(Go({"-W", "-oother", "a.yvn"}).out, kFolderQuestion));
  EXPECT_TRUE(fs::is_directory(P("other")));
}

// The phases a line kind shows, in order, each once.
std::vector<int> PhasesShown(const std::string& out, const std::string& kind) {
  std::vector<int> phases;
  for (size_t at = 0; (at = out.find(kind, at)) != std::string::npos; ++at) {
    const int phase = std::stoi(out.substr(out.find("% ", at) + 2));
    if (phases.empty() || phases.back() != phase) phases.push_back(phase);
  }
  return phases;
}

TEST_F(Cli, ProgressLinesCountPhasesAndCloseAtAHundred) {
  PsdSpec s;
  s.width = 300, s.height = 300;
  for (int k = 0; k < 3; ++k) s.layers.push_back(RgbaLayer(0, 0, 300, 300, std::vector<uint32_t>(90000, Rgba(9, 9, 9, 200)), "l"));
  WriteFile(P("p.psd"), BuildPsd(s));
  RunResult r = Go({"p.psd"});
  const std::string first = r.out;
  // Reading a PSD: one phase per image; writing a .yvn: one per layer.
  ExpectLines(r.out, {"reading...   0% 1/4: p.psd\r", "reading... 100% 4/4: p.psd\r\n",
                      " => writing...   0% 1/4: p.yvn\r", " => writing... 100% 4/4: p.yvn\r\n"});
  // Reading a .yvn: parse then document; writing a PSD: one phase per layer and the merged image.
  r = Go({"p.yvn", "q.psd"});
  ExpectLines(r.out, {"reading...   0% 1/2: p.yvn\r", "reading... 100% 2/2: p.yvn\r\n",
                      " => writing... 100% 5/5: q.psd\r\n"});
  // Each kind of line only moves forward; a read shows 100% only once done,
  // in its last phase (a row short is 99%).
  for (const std::string& out : {first, r.out}) {
    for (const std::string kind : {"reading... ", " => writing... "}) {
      const std::vector<int> phases = PhasesShown(out, kind);
      EXPECT_TRUE(std::is_sorted(phases.begin(), phases.end())) << out;
      const size_t done = out.find(kind + "100% ") + kind.size() + 5;
      const std::string last = std::to_string(phases.back());
      if (kind[0] == 'r') {
        EXPECT_EQ(out.substr(done, out.find(':', done) - done), last + "/" + last) << out;
      }
    }
  }
}

TEST_F(Cli, ImagesWithoutRowsShowTheirPhaseWhenThePercentageChanges) {
  // Images: a 64-row layer, a group's closing marker, an empty layer, a
  // 32-row layer in the group, its opening marker, a 64-row layer, merged.
  PsdSpec s;
  s.width = 64, s.height = 64;
  s.layers.push_back(RgbaLayer(0, 0, 64, 64, std::vector<uint32_t>(64 * 64, Rgba(200, 40, 30, 255)), "bg"));
  s.layers.push_back(GroupEnd());
  s.layers.push_back(RgbaLayer(0, 0, 0, 0, {}, "empty"));
  s.layers.push_back(RgbaLayer(0, 0, 32, 32, std::vector<uint32_t>(32 * 32, Rgba(0, 0, 250, 128)), "in"));
  s.layers.push_back(GroupStart("group", false));
  s.layers.push_back(RgbaLayer(0, 0, 64, 64, std::vector<uint32_t>(64 * 64, Rgba(9, 9, 9, 60)), "top"));
  WriteFile(P("e.psd"), BuildPsd(s));
  // A line whenever the percentage changes: a marker after a finished layer
  // shows its 0%, the empty layer after it nothing, the next layer its first row.
  RunResult r = Go({"e.psd"});
  EXPECT_EQ(PhasesShown(r.out, "reading... "), (std::vector<int>{1, 2, 4, 5, 6, 7})) << r.out;
  ExpectLines(r.out, {"reading...   0% 2/7: e.psd\r", "reading...   0% 5/7: e.psd\r",
                      "reading...   1% 6/7: e.psd\r"});
  EXPECT_EQ(PhasesShown(r.out, " => writing... "), (std::vector<int>{1, 2, 3, 4, 5})) << r.out;
  // Back to PSD, the empty layer (2/6) shows its 0% after the finished first one.
  r = Go({"e.yvn", "back.psd"});
  EXPECT_EQ(PhasesShown(r.out, " => writing... "), (std::vector<int>{1, 2, 3, 4, 5, 6})) << r.out;
  ExpectLines(r.out, {" => writing...   0% 2/6: back.psd\r", " => writing...   3% 3/6: back.psd\r",
                      " => writing...   0% 4/6: back.psd\r"});
  // The top layer holds the merged image: the last image, not read, shows only in the closing line.
  r = Go({"back.psd", "again.yvn"});
  EXPECT_EQ(PhasesShown(r.out, "reading... "), (std::vector<int>{1, 2, 3, 4, 5, 6})) << r.out;
}

TEST_F(Cli, ExitStatusSaysWhetherEverySourceWasConvertedListedOrSkipped) {
  for (const char* n : {"a.psd", "c.psd"}) WriteFile(P(n), NoisePsd(1, 6, 4, 4));
  // A destination that cannot be written fails the run, the batch going on.
  fs::create_directory(P("out"));
  fs::create_directory(P("out/a.yvn"));
  RunResult r = Go({"-q", "-W", "-oout", "*.psd"});
  EXPECT_EQ(r.out, "\nerror(102):Cannot create destination file\n");
  EXPECT_EQ(r.exit, 1);
  EXPECT_TRUE(fs::exists(P("out/c.yvn")));
  // Listed, converted, or skipped by the user's own answer: 0.
  EXPECT_EQ(Go({"-L", "*.psd"}).exit, 0);
  r = Go({"-q", "-W", "*.psd"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(r.out, "");
  for (const char* keys : {"ss", "c", ""}) {
    r = Go({"-q", "*.psd"}, keys);
    EXPECT_EQ(r.exit, 0) << keys;
    EXPECT_TRUE(Contains(r.out, kOverwriteQuestion)) << keys;
  }
  r = Go({"-q", "-onew", "*.psd"}, "c");
  EXPECT_EQ(r.exit, 0);
  EXPECT_TRUE(Contains(r.out, kFolderQuestion));
  // A batch of the other kind converts every file.
  EXPECT_EQ(Go({"-q", "-oout", "*.yvn"}).exit, 0);
  EXPECT_EQ(Listing(P("out")), (std::vector<std::string>{"a.psd", "a.yvn", "c.psd", "c.yvn"}));
}

TEST_F(Cli, FailedSourcesStopTheBatchUnlessForced) {
  fs::create_symlink(P("missing"), P("a.yvn"));
  Junk("b.yvn");
  Junk("c.psd");
  const std::string failed = "\nerror(100):Cannot open source file\nreading... 100% 2/2: a.yvn\r\n";
  for (const char* f : {"-f", "-Q"}) EXPECT_EQ(Go({f, "*.yvn"}).out, failed) << f;  // not options
  RunResult r = Go({"-Fxyz", "*.yvn"});
  EXPECT_EQ(r.out.substr(0, failed.size()), failed);
  EXPECT_TRUE(ReadRan(r.out, "b.yvn"));
  EXPECT_TRUE(Contains(r.out, "\nerror(1):Illigal data format\n"));
  // Neither gave a document: nothing written, no temporary left.
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"a.yvn", "b.yvn", "c.psd"}));
  EXPECT_EQ(Go({"c.psd"}).out, "\nerror(101):Not a supported PSD file\nreading... 100% 1/1: c.psd\r\n");
  EXPECT_EQ(Go({"-q", "a.yvn"}).out, "\nerror(100):Cannot open source file\n");
}

TEST_F(Cli, NamesAreShownWithTheirControlCharactersEscaped) {
  const std::string name = "e \x1b[2J\n\xc2\x9b";  // a space (kept), ESC, newline, U+009B in UTF-8
  const std::string shown = "e \\x1B[2J\\x0A\\xC2\\x9B";
  WriteFile(P(name + ".psd"), NoisePsd(1, 6, 4, 4));
  EXPECT_EQ(Go({"-L", "e*.psd"}).out, "0:" + P(shown + ".psd") + "\n => " + P(shown + ".yvn") + "\n");
  RunResult r = Go({"e*.psd"});
  EXPECT_TRUE(Contains(r.out, ": " + shown + ".psd\r")) << r.out;
  EXPECT_FALSE(Contains(r.out, "\x1b"));
  EXPECT_TRUE(fs::is_regular_file(P(name + ".yvn")));
  r = Go({"e*.psd"});
  EXPECT_EQ(r.out, P(shown + ".yvn") + "\n" + kOverwriteQuestion);
}

}  // namespace
}  // namespace ts
