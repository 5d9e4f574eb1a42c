// Destinations are replaced only by complete files.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "cli_test_util.h"
#include "convert/safe_output.h"

using clitest::ReadFile;
using clitest::TempDir;
using clitest::WriteFile;
namespace fs = std::filesystem;

namespace {

size_t EntryCount(const std::string& dir) {
  size_t n = 0;
  for (auto& e : fs::directory_iterator(dir)) {
    (void)e;
    ++n;
  }
  return n;
}

bool WriteAll(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

TEST(SafeOutputFile, NewDestinationAppearsOnlyOnCommit) {
  TempDir dir;
  const std::string dest = dir / "out.psd";
  SafeOutputFile out(dest);
  ASSERT_TRUE(out.Create());
  EXPECT_NE(out.path(), dest);
  EXPECT_EQ(fs::path(out.path()).parent_path(), fs::path(dir.path()));
  ASSERT_TRUE(WriteAll(out.path(), "new"));
  EXPECT_FALSE(fs::exists(dest));
  ASSERT_TRUE(out.Commit());
  EXPECT_EQ(ReadFile(dest), "new");
  EXPECT_EQ(EntryCount(dir.path()), 1u);
}

TEST(SafeOutputFile, FailedWriteLeavesTheOldDestinationAndNoTemporary) {
  TempDir dir;
  const std::string dest = dir / "out.psd";
  WriteFile(dest, "old");
  {
    SafeOutputFile out(dest);
    ASSERT_TRUE(out.Create());
    ASSERT_TRUE(WriteAll(out.path(), "partial"));
    // Not committed: the destructor discards.
  }
  EXPECT_EQ(ReadFile(dest), "old");
  EXPECT_EQ(EntryCount(dir.path()), 1u);

  SafeOutputFile out(dest);
  ASSERT_TRUE(out.Create());
  out.Discard();
  EXPECT_EQ(EntryCount(dir.path()), 1u);
  EXPECT_FALSE(out.Commit());
  EXPECT_EQ(ReadFile(dest), "old");
}

TEST(SafeOutputFile, FailedRenameKeepsTheDestination) {
  TempDir dir;
  const std::string dest = dir / "out.psd";
  WriteFile(dest, "old");
  SafeOutputFile out(dest);
  ASSERT_TRUE(out.Create());
  fs::remove(out.path());  // the rename has nothing to move
  EXPECT_FALSE(out.Commit());
  EXPECT_EQ(ReadFile(dest), "old");
}

TEST(SafeOutputFile, OverwriteKeepsTheOldPermissions) {
  TempDir dir;
  const std::string dest = dir / "out.yvn";
  WriteFile(dest, "old");
  ASSERT_EQ(chmod(dest.c_str(), 0640), 0);
  SafeOutputFile out(dest);
  ASSERT_TRUE(out.Create());
  ASSERT_TRUE(WriteAll(out.path(), "new"));
  ASSERT_TRUE(out.Commit());
  struct stat st;
  ASSERT_EQ(stat(dest.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(SafeOutputFile, DirectoryOrMissingFolderCannotBeCreated) {
  TempDir dir;
  fs::create_directory(dir / "d.psd");
  SafeOutputFile a(dir / "d.psd");
  EXPECT_FALSE(a.Create());
  SafeOutputFile b(dir / "missing/x.psd");
  EXPECT_FALSE(b.Create());
  SafeOutputFile c("");
  EXPECT_FALSE(c.Create());
  EXPECT_EQ(EntryCount(dir.path()), 1u);
}

TEST(SafeOutputFile, ALinkedDestinationIsReplacedAndItsTargetNeverWritten) {
  TempDir dir;
  WriteFile(dir / "real/target.psd", "old");
  fs::permissions(dir / "real/target.psd", fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink(dir / "real/target.psd", dir / "link.psd");
  fs::create_symlink(dir / "nowhere", dir / "dangling.psd");
  for (const char* name : {"link.psd", "dangling.psd"}) {
    SafeOutputFile out(dir / name);
    ASSERT_TRUE(out.Create());
    ASSERT_TRUE(WriteAll(out.path(), "new"));
    ASSERT_TRUE(out.Commit());
    EXPECT_FALSE(fs::is_symlink(dir / name));
    EXPECT_EQ(ReadFile(dir / name), "new");
  }
  EXPECT_EQ(ReadFile(dir / "real/target.psd"), "old");
  EXPECT_FALSE(fs::exists(dir / "nowhere"));
  // A new file, not one with the permissions of what the link pointed to.
  const mode_t mask = umask(0);
  umask(mask);
  struct stat st;
  ASSERT_EQ(stat((dir / "link.psd").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask);
}

TEST(SafeOutputFile, ADeviceIsWrittenDirectly) {
  SafeOutputFile out("/dev/null");
  ASSERT_TRUE(out.Create());
  EXPECT_EQ(out.path(), "/dev/null");
  EXPECT_TRUE(WriteAll(out.path(), "bytes"));
  EXPECT_TRUE(out.Commit());
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST(SafeOutputFile, LongNamesStillGetATemporary) {
  TempDir dir;
  const std::string dest = dir / (std::string(250, 'n') + ".psd");
  SafeOutputFile out(dest);
  ASSERT_TRUE(out.Create());
  ASSERT_TRUE(WriteAll(out.path(), "x"));
  ASSERT_TRUE(out.Commit());
  EXPECT_EQ(ReadFile(dest), "x");
}
