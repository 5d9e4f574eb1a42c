// The program as a user meets it: run in a temporary folder with arguments
// and keys on standard input; standard output and the exit value checked.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>
#include <vector>

#include "cli_test_util.h"

using clitest::ReadFile;
using clitest::TempDir;
using clitest::WriteFile;
namespace fs = std::filesystem;

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
    "  -L : Listing processing files\n";

const char kFolderQuestion[] = "Folder is not exists.\nCreate folder? [Y]es / [C]ancel\n";
const char kOverwriteQuestion[] =
    "Destination file is alreay exists.\nOverwrite? [Y]es / [A]ll yes / [S]kip / [C]ancel\n";

// Bytes that are neither a native file nor a PSD.
const char kJunk[] = "not a painting\n";

struct Result {
  int exitValue = -1000;
  std::string out;
};

std::string Exe() {
  const char* e = std::getenv("YVN2PSD_EXE");
  return e ? e : "";
}

// Runs the program in cwd with input as its whole standard input.
Result RunProgram(const std::string& cwd, const std::vector<std::string>& args, const std::string& input = "") {
  TempDir io;  // kept apart from cwd so that the files never match a filter
  WriteFile(io / "in", input);
  const std::string outPath = io / "out";
  const std::string exe = Exe();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(exe.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    int in = open((io / "in").c_str(), O_RDONLY);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || chdir(cwd.c_str()) != 0) _exit(120);
    execv(exe.c_str(), argv.data());
    _exit(121);
  }
  Result r;
  if (pid < 0) return r;
  int status = 0;
  // A prompt that ignores the end of its input would wait forever.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "the program did not finish";
      return r;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  r.out = ReadFile(outPath);
  r.exitValue = WIFEXITED(status) ? WEXITSTATUS(status) : -2000 - WTERMSIG(status);
  return r;
}

const int kUsageExit = 255;  // -1 as a process exit value

bool Contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Exe().empty()) GTEST_SKIP() << "YVN2PSD_EXE is not set";
  }
  Result Go(const std::vector<std::string>& args, const std::string& input = "") { return RunProgram(dir.path(), args, input); }
  std::string P(const std::string& rel) const { return dir / rel; }
  void Junk(const std::string& rel) { WriteFile(P(rel), kJunk); }
  // The closing read line of a source that could not be opened.
  static std::string ReadClose(const std::string& name) { return "reading... 100% 2/2: " + name + "\r\n"; }
  // Some read line of the source was printed: its read job ran.
  static bool ReadRan(const std::string& out, const std::string& name) {
    return Contains(out, "reading... ") && Contains(out, ": " + name + "\r");
  }

  TempDir dir;
};

}  // namespace

// ------------------------------------------------------------ usage text

TEST_F(Program, NoArgumentsPrintsTheUsage) {
  Result r = Go({});
  EXPECT_EQ(r.exitValue, kUsageExit);
  EXPECT_EQ(r.out, kUsage);
}

TEST_F(Program, OnlyOptionsPrintTheUsage) {
  Junk("a.yvn");
  Result r = Go({"-q", "-W"});
  EXPECT_EQ(r.exitValue, kUsageExit);
  EXPECT_EQ(r.out, kUsage);
}

TEST_F(Program, ThreePositionalsPrintTheUsage) {
  Junk("a.yvn");
  Junk("b.psd");
  Result r = Go({"a.yvn", "b.psd", "c.psd"});
  EXPECT_EQ(r.exitValue, kUsageExit);
  EXPECT_EQ(r.out, kUsage);
  EXPECT_FALSE(fs::exists(P("c.psd")));
}

TEST_F(Program, BothKindsInOneBatchPrintTheUsage) {
  Junk("x.yvn");
  Junk("y.psd");
  for (const char* filter : {"*", "?.*"}) {
    Result r = Go({"-L", filter});
    EXPECT_EQ(r.exitValue, kUsageExit) << filter;
    EXPECT_EQ(r.out, kUsage) << filter;
  }
}

TEST_F(Program, NeitherKindPrintsTheUsage) {
  Junk("x.txt");
  Junk("noext");
  fs::create_directory(P("d.yvn"));  // a directory is never a source
  for (const char* filter : {"*.txt", "*", "nothing*.yvn", "d.yvn", "noext"}) {
    Result r = Go({"-L", filter});
    EXPECT_EQ(r.exitValue, kUsageExit) << filter;
    EXPECT_EQ(r.out, kUsage) << filter;
  }
}

TEST_F(Program, DstFileWithTwoMatchesPrintsTheUsage) {
  Junk("a.yvn");
  Junk("b.yvn");
  Result r = Go({"*.yvn", "out.psd"});
  EXPECT_EQ(r.exitValue, kUsageExit);
  EXPECT_EQ(r.out, kUsage);

  fs::remove(P("b.yvn"));
  r = Go({"-L", "*.yvn", "out.psd"});
  EXPECT_EQ(r.exitValue, 0);
  EXPECT_EQ(r.out, "0:" + P("a.yvn") + "\n => " + P("out.psd") + "\n");
}

TEST_F(Program, DstFileCountsMatchesOfEveryExtension) {
  Junk("a.yvn");
  Junk("a.txt");
  Result r = Go({"a.*", "out.psd"});
  EXPECT_EQ(r.exitValue, kUsageExit);
  EXPECT_EQ(r.out, kUsage);
  // Without a dstfile the text file is simply not a source.
  r = Go({"-L", "a.*"});
  EXPECT_EQ(r.out, "0:" + P("a.yvn") + "\n => " + P("a.psd") + "\n");
}

TEST_F(Program, DestinationOfTheSourcesOwnKindPrintsTheUsage) {
  // What an unquoted *.yvn expands to with two files.
  Junk("a.yvn");
  Junk("b.yvn");
  Junk("c.psd");
  Junk("d.psd");
  for (std::vector<std::string> args : {std::vector<std::string>{"a.yvn", "b.yvn"}, {"-W", "a.yvn", "B.YVN"},
                                        {"c.psd", "d.psd"}, {"-W", "c.psd", "new.Psd"}}) {
    Result r = Go(args);
    EXPECT_EQ(r.exitValue, kUsageExit) << args[1];
    EXPECT_EQ(r.out, kUsage);
  }
  EXPECT_EQ(ReadFile(P("b.yvn")), kJunk);
  EXPECT_EQ(ReadFile(P("d.psd")), kJunk);
  EXPECT_FALSE(fs::exists(P("new.Psd")));

  // The other kind is what a conversion makes.
  Result r = Go({"-L", "a.yvn", "x.psd"});
  EXPECT_EQ(r.out, "0:" + P("a.yvn") + "\n => " + P("x.psd") + "\n");
}

// ------------------------------------------------------------ listing

TEST_F(Program, ListingShowsSourcesAndDestinationsInByteOrder) {
  Junk("b.yvn");
  Junk("A.YVN");
  Junk("c.Yvn");
  Junk("skip.txt");
  fs::create_directory(P("dir.yvn"));
  Junk("a.psd");  // an existing destination: no question when listing
  Result r = Go({"-L", "-ofresh", "*.yvn"});
  EXPECT_EQ(r.exitValue, 0);
  EXPECT_EQ(r.out, "0:" + P("A.YVN") + "\n => " + P("fresh/A.psd") + "\n" +  //
                       "1:" + P("b.yvn") + "\n => " + P("fresh/b.psd") + "\n" +  //
                       "2:" + P("c.Yvn") + "\n => " + P("fresh/c.psd") + "\n");
  EXPECT_FALSE(fs::exists(P("fresh")));
}

// ------------------------------------------------------------ destinations

TEST_F(Program, OutputPathTakesTheSourceNames) {
  Junk("in/x.psd");
  Junk("in/y.PSD");
  Result r = Go({"-L", "-oout", "in/*.psd"});
  EXPECT_EQ(r.out, "0:" + P("in/x.psd") + "\n => " + P("out/x.yvn") + "\n" +  //
                       "1:" + P("in/y.PSD") + "\n => " + P("out/y.yvn") + "\n");
}

TEST_F(Program, DstFileIsRelativeToTheCurrentFolder) {
  Junk("in/a.yvn");
  EXPECT_EQ(Go({"-L", "in/a.yvn", "sub/b.psd"}).out, "0:" + P("in/a.yvn") + "\n => " + P("sub/b.psd") + "\n");
  // A bare name lands in the source's folder, whatever its extension.
  EXPECT_EQ(Go({"-L", "in/a.yvn", "b.txt"}).out, "0:" + P("in/a.yvn") + "\n => " + P("in/b.txt") + "\n");
  EXPECT_EQ(Go({"-L", "-o" + P("o"), "in\\a.yvn", "b.psd"}).out,
            "0:" + P("in/a.yvn") + "\n => " + P("o/b.psd") + "\n");
}

TEST_F(Program, DstFileEndingInASeparatorIsAnOutputFolder) {
  Junk("in/a.yvn");
  EXPECT_EQ(Go({"-L", "in/a.yvn", "outdir/"}).out, "0:" + P("in/a.yvn") + "\n => " + P("outdir/a.psd") + "\n");
}

TEST_F(Program, InputPathGoesInFrontOfAnAbsoluteSource) {
  // -i<dir>/in with the source <dir>/x/a.yvn names <dir>/in<dir>/x/a.yvn.
  const std::string nested = P("in") + P("x/a.yvn");
  Junk("x/a.yvn");
  WriteFile(nested, kJunk);
  Result r = Go({"-L", "-i" + P("in"), P("x/a.yvn")});
  EXPECT_EQ(r.out, "0:" + nested + "\n => " + nested.substr(0, nested.size() - 4) + ".psd\n");
  // Relative input path and filter.
  r = Go({"-L", "-ix", "*.yvn"});
  EXPECT_EQ(r.out, "0:" + P("x/a.yvn") + "\n => " + P("x/a.psd") + "\n");
}

// ------------------------------------------------------------ prompts

TEST_F(Program, OverwriteYesInAnyCaseAfterIgnoredKeys) {
  for (const char* keys : {"Y", "y", "q1 \nzY", "\x1b[Ay"}) {
    Junk("a.yvn");
    Junk("a.psd");
    Result r = Go({"a.yvn"}, keys);
    EXPECT_EQ(r.exitValue, 0);
    const std::string asked = P("a.psd") + "\n" + kOverwriteQuestion;
    ASSERT_EQ(r.out.substr(0, asked.size()), asked) << keys;
    EXPECT_TRUE(ReadRan(r.out, "a.yvn")) << keys;
  }
}

TEST_F(Program, OverwriteSkipGoesToTheNextSource) {
  Junk("a.yvn");
  Junk("a.psd");
  Junk("b.yvn");
  Result r = Go({"*.yvn"}, "s");
  EXPECT_EQ(r.exitValue, 0);
  EXPECT_EQ(r.out.substr(0, r.out.find(kOverwriteQuestion)), P("a.psd") + "\n");
  EXPECT_FALSE(ReadRan(r.out, "a.yvn"));
  EXPECT_TRUE(ReadRan(r.out, "b.yvn"));
  EXPECT_EQ(ReadFile(P("a.psd")), kJunk);
}

TEST_F(Program, OverwriteCancelOrEndOfInputEndsTheBatch) {
  Junk("a.yvn");
  Junk("a.psd");
  Junk("b.yvn");
  for (const char* keys : {"C", "xc", ""}) {
    Result r = Go({"-F", "*.yvn"}, keys);
    EXPECT_EQ(r.exitValue, 0);
    EXPECT_EQ(r.out, P("a.psd") + "\n" + kOverwriteQuestion) << keys;
  }
  EXPECT_EQ(ReadFile(P("a.psd")), kJunk);
}

TEST_F(Program, OverwriteAllAsksOnce) {
  Junk("a.yvn");
  Junk("a.psd");
  Junk("b.yvn");
  Junk("b.psd");
  Result r = Go({"-F", "*.yvn"}, "a");
  EXPECT_EQ(r.exitValue, 0);
  const std::string asked = P("a.psd") + "\n" + kOverwriteQuestion;
  EXPECT_EQ(r.out.substr(0, asked.size()), asked);
  EXPECT_EQ(r.out.find(kOverwriteQuestion, asked.size()), std::string::npos);
  EXPECT_TRUE(ReadRan(r.out, "a.yvn"));
  EXPECT_TRUE(ReadRan(r.out, "b.yvn"));
}

TEST_F(Program, UpperCaseWOverwritesWithoutAskingLowerCaseDoesNot) {
  Junk("a.yvn");
  Junk("a.psd");
  Result r = Go({"-W", "a.yvn"});
  EXPECT_FALSE(Contains(r.out, kOverwriteQuestion));
  EXPECT_TRUE(ReadRan(r.out, "a.yvn"));
  r = Go({"-w", "a.yvn"}, "C");
  EXPECT_EQ(r.out, P("a.psd") + "\n" + kOverwriteQuestion);
}

TEST_F(Program, DestinationThatIsADirectoryIsNotAskedAbout) {
  Junk("a.yvn");
  fs::create_directory(P("a.psd"));
  Result r = Go({"a.yvn"});
  EXPECT_FALSE(Contains(r.out, kOverwriteQuestion));
  EXPECT_TRUE(fs::is_directory(P("a.psd")));
}

TEST_F(Program, MissingFolderIsCreatedOnYes) {
  Junk("a.yvn");
  Junk("b.yvn");
  Result r = Go({"-F", "-onew/deeper", "*.yvn"}, "xy");
  EXPECT_EQ(r.exitValue, 0);
  const std::string asked = P("new/deeper") + "/\n" + kFolderQuestion;
  EXPECT_EQ(r.out.substr(0, asked.size()), asked);
  // Asked once for the batch.
  EXPECT_EQ(r.out.find(kFolderQuestion, asked.size()), std::string::npos);
  EXPECT_TRUE(fs::is_directory(P("new/deeper")));
  EXPECT_TRUE(ReadRan(r.out, "a.yvn"));
  EXPECT_TRUE(ReadRan(r.out, "b.yvn"));
}

TEST_F(Program, MissingFolderCancelOrEndOfInputCreatesNothing) {
  Junk("a.yvn");
  for (const char* keys : {"c", "nC", ""}) {
    Result r = Go({"-onew", "a.yvn"}, keys);
    EXPECT_EQ(r.exitValue, 0);
    EXPECT_EQ(r.out, P("new") + "/\n" + kFolderQuestion) << keys;
    EXPECT_FALSE(fs::exists(P("new")));
  }
}

TEST_F(Program, OverwriteAllOptionCreatesTheFolderSilently) {
  Junk("a.yvn");
  Result r = Go({"-W", "-onew", "a.yvn"});
  EXPECT_FALSE(Contains(r.out, kFolderQuestion));
  EXPECT_TRUE(fs::is_directory(P("new")));
}

// ------------------------------------------------------------ errors, -F, quiet

TEST_F(Program, UnreadableSourceStopsTheBatchWithoutForce) {
  fs::create_symlink(P("missing"), P("a.yvn"));
  Junk("b.yvn");
  const std::string failed = "\nerror(100):Cannot open source file\n" + ReadClose("a.yvn");
  for (const char* f : {"-f", "-Q"}) {
    Result r = Go({f, "*.yvn"});
    EXPECT_EQ(r.exitValue, 0);
    EXPECT_EQ(r.out, failed) << f;
  }
  EXPECT_FALSE(fs::exists(P("a.psd")));
  EXPECT_FALSE(fs::exists(P("b.psd")));
}

TEST_F(Program, ForceGoesOnAfterASourceWithoutDocument) {
  fs::create_symlink(P("missing"), P("a.yvn"));
  Junk("b.yvn");
  for (const char* f : {"-F", "-Fxyz"}) {
    Result r = Go({f, "*.yvn"});
    EXPECT_EQ(r.exitValue, 0);
    const std::string failed = "\nerror(100):Cannot open source file\n" + ReadClose("a.yvn");
    EXPECT_EQ(r.out.substr(0, failed.size()), failed) << f;
    EXPECT_TRUE(ReadRan(r.out, "b.yvn")) << f;
    // Neither source gave a document: nothing is written, no temporary is left.
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.yvn", "b.yvn"}));
  }
}

TEST_F(Program, UnreadablePsdSourceClosesAt1Of1) {
  fs::create_symlink(P("missing"), P("p.psd"));
  Result r = Go({"p.psd"});
  EXPECT_EQ(r.exitValue, 0);
  EXPECT_EQ(r.out, "\nerror(100):Cannot open source file\nreading... 100% 1/1: p.psd\r\n");
}

TEST_F(Program, SourceThatIsNoPaintingIsReported) {
  Junk("a.yvn");
  Junk("b.psd");
  for (const char* src : {"a.yvn", "b.psd"}) {
    Result r = Go({src});
    EXPECT_EQ(r.exitValue, 0);
    EXPECT_TRUE(Contains(r.out, "\nerror(")) << src << ": " << r.out;
  }
  EXPECT_FALSE(fs::exists(P("a.psd")));
  EXPECT_FALSE(fs::exists(P("b.yvn")));
}

TEST_F(Program, QuietPrintsOnlyErrorLines) {
  fs::create_symlink(P("missing"), P("a.yvn"));
  Result r = Go({"-q", "a.yvn"});
  EXPECT_EQ(r.exitValue, 0);
  EXPECT_EQ(r.out, "\nerror(100):Cannot open source file\n");
  Junk("b.yvn");
  r = Go({"-q", "b.yvn"});
  EXPECT_FALSE(Contains(r.out, "reading"));
  EXPECT_FALSE(Contains(r.out, "\r"));
}
