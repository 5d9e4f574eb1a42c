// Path arithmetic, full-path resolution, wildcard enumeration and the
// destination rule.
#include <gtest/gtest.h>

#include "cli/paths.h"
#include "cli/platform.h"
#include "cli_test_util.h"

using namespace cli;
using clitest::ScopedCwd;
using clitest::TempDir;
using clitest::WriteFile;

TEST(JoinPath, CollapsesSeparatorsAtTheSeam) {
  EXPECT_EQ(JoinPath("/out/", "a.psd"), "/out/a.psd");
  EXPECT_EQ(JoinPath("/out\\", "\\a.psd"), "/out/a.psd");
  EXPECT_EQ(JoinPath("out//", "//sub/a"), "out/sub/a");
  // With no folder the name is kept whole: an absolute path stays absolute.
  EXPECT_EQ(JoinPath("", "\\x\\*.yvn"), "\\x\\*.yvn");
  EXPECT_EQ(JoinPath("", "/abs/a.yvn"), "/abs/a.yvn");
  EXPECT_EQ(JoinPath("/out", ""), "/out/");
  EXPECT_EQ(JoinPath("", ""), "");
  // A folder of separators only is the root.
  EXPECT_EQ(JoinPath("///", "a"), std::string(1, cli::kPathSeparator) + "a");
}

TEST(UpperExtension, ScansBackToTheSecondCharacter) {
  EXPECT_EQ(UpperExtension("a.yvn"), ".YVN");
  EXPECT_EQ(UpperExtension("pic.Psd"), ".PSD");
  EXPECT_EQ(UpperExtension("a.b.yvn"), ".YVN");
  EXPECT_EQ(UpperExtension(".psd"), "");
  EXPECT_EQ(UpperExtension("dir.x\\file"), "");
  EXPECT_EQ(UpperExtension("dir.x/file"), "");
  EXPECT_EQ(UpperExtension("noext"), "");
  EXPECT_EQ(UpperExtension("a."), ".");
  EXPECT_EQ(UpperExtension(""), "");
  EXPECT_EQ(UpperExtension("/x/.yvn"), ".YVN");
}

TEST(ReplaceExtension, ReplacesTheLastExtensionOfTheFinalComponent) {
  EXPECT_EQ(ReplaceExtension("C:\\in\\a.yvn", ".psd"), "C:\\in\\a.psd");
  EXPECT_EQ(ReplaceExtension("/in/a.yvn", ".psd"), "/in/a.psd");
  EXPECT_EQ(ReplaceExtension("a", ".psd"), "a.psd");
  EXPECT_EQ(ReplaceExtension("a.b.yvn", ".psd"), "a.b.psd");
  EXPECT_EQ(ReplaceExtension(".yvn", ".psd"), ".yvn.psd");
  EXPECT_EQ(ReplaceExtension("/in.d/a", ".psd"), "/in.d/a.psd");
  EXPECT_EQ(ReplaceExtension("", ".psd"), ".psd");
}

TEST(ResolveFullPath, FoldsDotsLexicallyAgainstTheCurrentFolder) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  std::string full;
  size_t fin;
  ASSERT_TRUE(ResolveFullPath("a.yvn", full, fin));
  EXPECT_EQ(full, dir / "a.yvn");
  EXPECT_EQ(full.substr(fin), "a.yvn");

  // Nothing needs to exist; ".." of a folder that does not exist still folds.
  ASSERT_TRUE(ResolveFullPath("no/such/../x/./b.psd", full, fin));
  EXPECT_EQ(full, dir / "no/x/b.psd");
  EXPECT_EQ(full.substr(fin), "b.psd");

  ASSERT_TRUE(ResolveFullPath("sub\\b.psd", full, fin));
  EXPECT_EQ(full, dir / "sub/b.psd");

  ASSERT_TRUE(ResolveFullPath("out/", full, fin));
  EXPECT_EQ(full, dir / "out/");
  EXPECT_EQ(fin, std::string::npos);

  ASSERT_TRUE(ResolveFullPath("/x//y/../../..", full, fin));
  EXPECT_EQ(full, "/");
  EXPECT_EQ(fin, std::string::npos);

  ASSERT_TRUE(ResolveFullPath("/x/y/.", full, fin));
  EXPECT_EQ(full, "/x/y");
  EXPECT_EQ(full.substr(fin), "y");

  EXPECT_FALSE(ResolveFullPath("", full, fin));
}

TEST(ResolveFullPath, DoesNotFollowLinks) {
  TempDir dir;
  std::filesystem::create_directories(dir / "real/deep");
  std::filesystem::create_directory_symlink(dir / "real/deep", dir / "link");
  std::string full;
  size_t fin;
  // Lexically link/.. is the temporary folder; through the link it would be real/.
  ASSERT_TRUE(ResolveFullPath(dir / "link/../a.yvn", full, fin));
  EXPECT_EQ(full, dir / "a.yvn");
}

TEST(ResolveFullPath, FailsWhenTheFullPathDoesNotFitTheBuffer) {
  std::string full;
  size_t fin;
  const std::string fits = "/" + std::string(kMaxPathBytes - 2, 'x');  // plus NUL: exactly the buffer
  ASSERT_TRUE(ResolveFullPath(fits, full, fin));
  EXPECT_EQ(full, fits);
  EXPECT_FALSE(ResolveFullPath(fits + "y", full, fin));
  EXPECT_EQ(DirectoryOf(fits + "y"), "");
  EXPECT_EQ(FileNameOf(fits + "y"), "");
  // Folding can bring a long text back under the limit.
  EXPECT_TRUE(ResolveFullPath(fits + "y/..", full, fin));
}

TEST(DirectoryAndFileName, SplitTheFullPath) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  EXPECT_EQ(DirectoryOf("a.yvn"), dir.path() + "/");
  EXPECT_EQ(FileNameOf("a.yvn"), "a.yvn");
  EXPECT_EQ(DirectoryOf("in\\*.psd"), dir / "in/");
  EXPECT_EQ(FileNameOf("in\\*.psd"), "*.psd");
  EXPECT_EQ(DirectoryOf("out/"), dir / "out/");
  EXPECT_EQ(FileNameOf("out/"), "");
  EXPECT_EQ(DirectoryOf(""), "");
  EXPECT_EQ(FileNameOf(""), "");
}

class Enumerate : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"b.yvn", "A.yvn", "c.txt", "e[1].yvn", "noext"}) WriteFile(dir / name, "x");
    std::filesystem::create_directory(dir / "d.yvn");
    std::filesystem::create_symlink(dir / "missing", dir / "f.yvn");
    std::filesystem::create_directory_symlink(dir / "d.yvn", dir / "g.yvn");
  }
  TempDir dir;
};

TEST_F(Enumerate, MatchesTheFinalComponentWithoutDirectoriesInByteOrder) {
  using V = std::vector<std::string>;
  // Directories (also through a link) are left out; a dangling link is a file.
  EXPECT_EQ(EnumerateFiles(dir / "*.yvn"), (V{"A.yvn", "b.yvn", "e[1].yvn", "f.yvn"}));
  EXPECT_EQ(EnumerateFiles(dir / "*.YVN"), (V{"A.yvn", "b.yvn", "e[1].yvn", "f.yvn"}));
  EXPECT_EQ(EnumerateFiles(dir / "?.yvn"), (V{"A.yvn", "b.yvn", "f.yvn"}));
  EXPECT_EQ(EnumerateFiles(dir / "a.YVN"), (V{"A.yvn"}));
  EXPECT_EQ(EnumerateFiles(dir / "*"), (V{"A.yvn", "b.yvn", "c.txt", "e[1].yvn", "f.yvn", "noext"}));
  EXPECT_EQ(EnumerateFiles(dir / "d.yvn"), V{});
}

TEST_F(Enumerate, ANameWithBracketsMatchesItself) {
  EXPECT_EQ(EnumerateFiles(dir / "e[1].yvn"), std::vector<std::string>{"e[1].yvn"});
}

TEST_F(Enumerate, MissingFolderOrNoFinalComponentGivesNothing) {
  EXPECT_TRUE(EnumerateFiles(dir / "nowhere/*.yvn").empty());
  EXPECT_TRUE(EnumerateFiles(dir / "d.yvn/").empty());
  EXPECT_TRUE(EnumerateFiles("").empty());
}

TEST_F(Enumerate, RelativePatternUsesTheCurrentFolderAndBackslashes) {
  std::filesystem::create_directory(dir / "in");
  WriteFile(dir / "in/z.psd", "x");
  ScopedCwd cwd(dir.path());
  EXPECT_EQ(EnumerateFiles("in\\*.psd"), std::vector<std::string>{"z.psd"});
}

TEST(CreateFolderPath, CreatesEveryMissingParent) {
  TempDir dir;
  EXPECT_TRUE(CreateFolderPath(dir / "a/b\\c/"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "a/b/c"));
  EXPECT_TRUE(CreateFolderPath(dir / "a/"));  // already there
  WriteFile(dir / "file", "x");
  EXPECT_FALSE(CreateFolderPath(dir / "file/sub/"));
}

class Destination : public ::testing::Test {
 protected:
  DestinationSettings Settings(std::optional<std::string> out, std::optional<std::string> dst) {
    DestinationSettings s;
    s.sourceFolder = "/src/";
    ComputeDestinationSettings(out, dst, s);
    return s;
  }
  TempDir dir;
  ScopedCwd cwd{dir.path()};
};

TEST_F(Destination, NextToTheSourceByDefault) {
  auto s = Settings(std::nullopt, std::nullopt);
  EXPECT_EQ(s.outputFolder, "");
  EXPECT_EQ(s.outputName, "");
  EXPECT_EQ(DestinationFor(s, "/src/a.yvn", ".psd"), "/src/a.psd");
  EXPECT_EQ(DestinationFor(s, "/src/p.PSD", ".yvn"), "/src/p.yvn");
}

TEST_F(Destination, OutputPathGetsTheSourceNameWithTheNewExtension) {
  auto s = Settings(std::string("/out"), std::nullopt);
  EXPECT_EQ(s.outputFolder, "/out/");
  EXPECT_EQ(s.outputName, "");
  EXPECT_EQ(DestinationFor(s, "/src/a.b.yvn", ".psd"), "/out/a.b.psd");
  // A relative output path is relative to the current folder.
  EXPECT_EQ(DestinationFor(Settings(std::string("out"), std::nullopt), "/src/a.yvn", ".psd"), dir / "out/a.psd");
}

TEST_F(Destination, BareDstFileLandsInTheSourceFolderUnchanged) {
  auto s = Settings(std::nullopt, std::string("b.txt"));
  EXPECT_EQ(s.outputFolder, "");
  EXPECT_EQ(s.outputName, "b.txt");
  EXPECT_EQ(DestinationFor(s, "/src/a.yvn", ".psd"), "/src/b.txt");
}

TEST_F(Destination, DstFileWithAFolderIsRelativeToTheCurrentFolder) {
  auto s = Settings(std::nullopt, std::string("sub\\b.psd"));
  EXPECT_EQ(s.outputFolder, dir / "sub/");
  EXPECT_EQ(s.outputName, "b.psd");
  EXPECT_EQ(DestinationFor(s, "/src/a.yvn", ".psd"), dir / "sub/b.psd");
}

TEST_F(Destination, OutputPathAndDstFileCombine) {
  auto s = Settings(std::string("/out"), std::string("b.psd"));
  EXPECT_EQ(DestinationFor(s, "/src/a.yvn", ".psd"), "/out/b.psd");
}

TEST_F(Destination, DstFileEndingInASeparatorActsAsOutputPath) {
  auto s = Settings(std::nullopt, std::string("o/"));
  EXPECT_EQ(s.outputFolder, dir / "o/");
  EXPECT_EQ(s.outputName, "");
  EXPECT_EQ(DestinationFor(s, "/src/a.yvn", ".psd"), dir / "o/a.psd");
}
