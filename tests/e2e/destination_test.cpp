// What may stand at a destination, and what a source may be: links are
// replaced and never written through, nothing replaces the source, special
// files are refused without being opened, paths that cannot be resolved end
// the command line, and names cannot drive the terminal.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <thread>

#include "e2e_util.h"

namespace e2e {
namespace {

const char kSourceOpen[] = "\nerror(100):Cannot open source file\n";
const char kCannotCreate[] = "\nerror(102):Cannot create destination file\n";
const char kSameFile[] = "\nerror(109):Destination is the source\n";
const char kOverwriteQuestion[] =
    "Destination file is alreay exists.\nOverwrite? [Y]es / [A]ll yes / [S]kip / [C]ancel\n";
const char kUsageStart[] = "\n yvn2psd - Convert between";
const char kVictim[] = "a file the destination's link points to\n";

std::string Psd(uint32_t tag) {
  LayerSpec l;
  l.name = "layer";
  l.right = l.bottom = 8;
  for (int i = 0; i < 64; ++i) l.px.push_back(Rgba(tag * 30, uint32_t(i * 4), 90, 255));
  return BuildPsd(8, 8, {l});
}

class E2eDestination : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Exe().empty()) GTEST_SKIP() << "YVN2PSD_EXE is not set";
    WriteFile(P("a.psd"), Psd(1));
    ASSERT_EQ(Go({"-q", "a.psd"}).out, "");  // a.yvn
  }
  RunResult Go(const std::vector<std::string>& args, const std::string& input = "") {
    return RunProgram(dir.path(), args, input);
  }
  std::string P(const std::string& rel) const { return dir / rel; }
  bool IsLink(const std::string& rel) const { return fs::is_symlink(fs::symlink_status(P(rel))); }
  TempDir dir;
};

TEST_F(E2eDestination, ALinkIsReplacedAndWhatItPointsToIsNeverWritten) {
  WriteFile(P("elsewhere/victim"), kVictim);
  for (const char* src : {"a.yvn", "a.psd"}) {
    SCOPED_TRACE(src);
    fs::create_symlink(P("elsewhere/victim"), P("out"));
    EXPECT_EQ(Go({"-q", "-W", src, "out"}).out, "");
    EXPECT_EQ(ReadFile(P("elsewhere/victim")), kVictim);
    EXPECT_FALSE(IsLink("out"));
    EXPECT_NE(ReadFile(P("out")).size(), 0u);
    fs::remove(P("out"));
  }
}

TEST_F(E2eDestination, ADanglingLinkIsAskedAboutLikeAFile) {
  fs::create_symlink(P("nowhere"), P("a.psd.out"));
  RunResult r = Go({"a.yvn", "a.psd.out"});  // end of input: Cancel
  EXPECT_TRUE(Contains(r.out, P("a.psd.out") + "\n" + kOverwriteQuestion)) << r.out;
  EXPECT_TRUE(IsLink("a.psd.out"));
  r = Go({"-q", "a.yvn", "a.psd.out"}, "y");
  EXPECT_FALSE(IsLink("a.psd.out"));
  EXPECT_FALSE(fs::exists(P("nowhere")));
  EXPECT_TRUE(ReadPsd(P("a.psd.out")).ok);
}

TEST_F(E2eDestination, TheSourceItselfIsNeverTheDestination) {
  const std::string psd = ReadFile(P("a.psd")), yvn = ReadFile(P("a.yvn"));
  // A link to the source, in both directions; a hard link; a spelling through "..".
  fs::create_symlink(P("a.yvn"), P("to-native.psd"));
  fs::create_symlink(P("a.psd"), P("to-psd.yvn"));
  fs::create_hard_link(P("a.psd"), P("hard.yvn"));
  fs::create_directory(P("sub"));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-q", "-W", "a.yvn", "to-native.psd"}, {"-q", "-W", "a.psd", "to-psd.yvn"},
        {"-q", "-W", "a.psd", "hard.yvn"}, {"-q", "-W", "a.psd", "sub/../hard.yvn"}}) {
    SCOPED_TRACE(args[3]);
    EXPECT_EQ(Go(args).out, kSameFile);
    EXPECT_EQ(ReadFile(P("a.psd")), psd);
    EXPECT_EQ(ReadFile(P("a.yvn")), yvn);
  }
  EXPECT_TRUE(IsLink("to-native.psd"));
}

TEST_F(E2eDestination, SpecialFilesAreNeverOpenedAndTheBatchGoesOn) {
  WriteFile(P("b.psd"), Psd(2));
  ASSERT_EQ(mkfifo(P("a.yvn.fifo").c_str(), 0600), 0);
  // A FIFO or socket destination, asked for by name; then by a batch.
  RunResult r = Go({"-q", "-W", "a.psd", "a.yvn.fifo"});
  EXPECT_EQ(r.out, kCannotCreate);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sockPath = P("s.yvn");
  ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
  sockPath.copy(addr.sun_path, sockPath.size());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  r = Go({"-q", "-W", "a.psd", "s.yvn"});
  EXPECT_EQ(r.out, kCannotCreate);
  close(sock);
  fs::remove(P("a.yvn"));
  ASSERT_EQ(mkfifo(P("a.yvn").c_str(), 0600), 0);
  r = Go({"-q", "-W", "*.psd"});
  EXPECT_EQ(r.out, kCannotCreate);
  EXPECT_TRUE(fs::is_fifo(P("a.yvn")));
  EXPECT_TRUE(fs::is_regular_file(P("b.yvn")));
  // A character device is written to directly.
  EXPECT_EQ(Go({"-q", "-W", "b.psd", "/dev/null"}).out, "");
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST_F(E2eDestination, OnlyRegularFilesAreSources) {
  WriteFile(P("c.psd"), Psd(3));
  ASSERT_EQ(mkfifo(P("b.psd").c_str(), 0600), 0);
  // Without -F the batch stops at the FIFO; with it the FIFO is skipped.
  RunResult r = Go({"-q", "-W", "*.psd"});
  EXPECT_EQ(r.out, kSourceOpen);
  EXPECT_FALSE(fs::exists(P("c.yvn")));
  r = Go({"-q", "-W", "-F", "*.psd"});
  EXPECT_EQ(r.out, kSourceOpen);
  EXPECT_TRUE(fs::is_regular_file(P("c.yvn")));
}

TEST_F(E2eDestination, OwnerGroupAndModeOfAReplacedFileAreKept) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
  WriteFile(P("a.psd.out"), "old");
  ASSERT_EQ(chown(P("a.psd.out").c_str(), 4242, 4343), 0);
  ASSERT_EQ(chmod(P("a.psd.out").c_str(), 0640), 0);
  EXPECT_EQ(Go({"-q", "-W", "a.yvn", "a.psd.out"}).out, "");
  struct stat st;
  ASSERT_EQ(stat(P("a.psd.out").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4242u);
  EXPECT_EQ(st.st_gid, 4343u);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_TRUE(ReadPsd(P("a.psd.out")).ok);
}

TEST_F(E2eDestination, APathThatCannotBeResolvedEndsTheCommandLine) {
  std::string deep;
  for (int i = 0; i < 2100; ++i) deep += "a/";
  const std::string before = ReadFile(P("a.yvn"));
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-W", "-o" + deep, "a.psd"},
                                                {"-W", "a.psd", deep + "out.yvn"},
                                                {"-W", "-i" + deep, "a.psd"}}) {
    SCOPED_TRACE(args[1].substr(0, 3));
    const RunResult r = Go(args);
    EXPECT_EQ(r.exitValue, 255);
    ASSERT_EQ(r.out.compare(0, 26, "\nerror(110):Unusable path:"), 0) << r.out.substr(0, 80);
    EXPECT_TRUE(Contains(r.out, "a/a/a/")) << "the line names the path";
    EXPECT_TRUE(Contains(r.out, kUsageStart));
  }
  EXPECT_EQ(ReadFile(P("a.yvn")), before);
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"a.psd", "a.yvn"}));
}

TEST_F(E2eDestination, ControlCharactersInNamesAreShownEscaped) {
  const std::string name = "e\x1b[2J\n\xc2\x9b.psd";  // ESC, newline, and U+009B in UTF-8
  const std::string shown = "e\\x1B[2J\\x0A\\xC2\\x9B.psd";
  WriteFile(P(name), Psd(4));
  RunResult r = Go({"-L", "e*.psd"});
  EXPECT_EQ(r.out, "0:" + dir.path() + "/" + shown + "\n => " + dir.path() + "/e\\x1B[2J\\x0A\\xC2\\x9B.yvn\n");
  r = Go({"e*.psd"});
  EXPECT_TRUE(Contains(r.out, ": " + shown + "\r")) << r.out;
  EXPECT_FALSE(Contains(r.out, "\x1b"));
  EXPECT_TRUE(fs::is_regular_file(P("e\x1b[2J\n\xc2\x9b.yvn")));
  r = Go({"e*.psd"});  // the destination exists now: the question shows it escaped too
  EXPECT_TRUE(Contains(r.out, "\\x1B[2J\\x0A\\xC2\\x9B.yvn\n" + std::string(kOverwriteQuestion))) << r.out;
}

TEST_F(E2eDestination, ProcessesSideBySideGiveTheSameBytesAndLeaveNothingBehind) {
  for (int i = 0; i < 8; ++i) WriteFile(P("in/p" + std::to_string(i) + ".psd"), Psd(uint32_t(i)));
  ASSERT_EQ(Go({"-q", "-W", "-oref", "in/*.psd"}).out, "");
  std::vector<std::thread> runs;
  std::vector<RunResult> results(12);
  for (int i = 0; i < 8; ++i)
    runs.emplace_back([&, i] { results[size_t(i)] = Go({"-q", "-W", "-oout", "in/p" + std::to_string(i) + ".psd"}); });
  // Four onto one destination: whichever finishes last, a whole file.
  for (int i = 8; i < 12; ++i) runs.emplace_back([&, i] { results[size_t(i)] = Go({"-q", "-W", "in/p0.psd", P("same.yvn")}); });
  for (std::thread& t : runs) t.join();
  for (const RunResult& r : results) EXPECT_EQ(r.out, "");
  EXPECT_EQ(Listing(P("out")), Listing(P("ref")));
  for (const std::string& n : Listing(P("ref"))) EXPECT_TRUE(ReadFile(P("out/" + n)) == ReadFile(P("ref/" + n))) << n;
  EXPECT_TRUE(ReadFile(P("same.yvn")) == ReadFile(P("ref/p0.yvn")));
  for (const std::string& n : Listing(dir.path())) EXPECT_EQ(n.find(".tmp"), std::string::npos) << n;
}

}  // namespace
}  // namespace e2e
