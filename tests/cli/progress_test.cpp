// Percentages, progress and closing lines of the four jobs, and error lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "cli_test_util.h"
#include "convert/jobs.h"
#include "convert/progress.h"

namespace {

// A FILE* whose bytes the test reads back.
class Capture {
 public:
  Capture() : f_(std::tmpfile()) {}
  ~Capture() { std::fclose(f_); }
  std::FILE* file() const { return f_; }
  std::string Take() {
    std::fflush(f_);
    std::string s;
    std::rewind(f_);
    int c;
    while ((c = std::fgetc(f_)) != EOF) s += static_cast<char>(c);
    std::rewind(f_);
    // Start afresh for the next check.
    if (ftruncate(fileno(f_), 0) != 0) s += "<truncate failed>";
    return s;
  }

 private:
  std::FILE* f_;
};

const uint64_t kMax = ~uint64_t(0);

}  // namespace

TEST(PercentOf, TruncatesAndTreatsAnEmptyTotalAsDone) {
  EXPECT_EQ(PercentOf(0, 0), 100u);
  EXPECT_EQ(PercentOf(5, 0), 100u);
  EXPECT_EQ(PercentOf(0, 3), 0u);
  EXPECT_EQ(PercentOf(1, 3), 33u);
  EXPECT_EQ(PercentOf(2, 3), 66u);
  EXPECT_EQ(PercentOf(199, 200), 99u);
  EXPECT_EQ(PercentOf(3, 3), 100u);
  // An overshoot is shown as done, never as more than 100%.
  EXPECT_EQ(PercentOf(7, 3), 100u);
  // No overflow in done * 100.
  EXPECT_EQ(PercentOf(kMax / 2, kMax), 49u);
  EXPECT_EQ(PercentOf(kMax - 1, kMax), 99u);
  EXPECT_EQ(PercentOf(kMax / 100 + 1, kMax / 50), 50u);
}

TEST(ErrorLines, TextsOfTheCodeTable) {
  Capture out;
  PrintError(out.file(), 1);
  EXPECT_EQ(out.Take(), "\nerror(1):Illigal data format\n");
  PrintError(out.file(), -1);
  EXPECT_EQ(out.Take(), "\nerror(-1):Not found data\n");
  PrintError(out.file(), -2);
  EXPECT_EQ(out.Take(), "\nerror(-2):Feature version\n");
  PrintError(out.file(), -3);
  EXPECT_EQ(out.Take(), "\nerror(-3):Busy BG thread\n");
  PrintError(out.file(), 7);
  EXPECT_EQ(out.Take(), "\nerror(7):Unknown\n");
  PrintError(out.file(), 99);
  EXPECT_EQ(out.Take(), "\nerror(99):Unknown\n");
  PrintError(out.file(), kErrSourceOpen);
  EXPECT_EQ(out.Take(), "\nerror(100):Cannot open source file\n");
}

TEST(ErrorLines, OwnCodesStartAt100AndHaveDistinctTexts) {
  std::set<std::string> texts;
  int own = 0;
  for (int i = 0; i < kErrorTextCount; ++i) {
    const ErrorTextEntry& e = kErrorTexts[i];
    EXPECT_TRUE(texts.insert(e.text).second) << e.text;
    EXPECT_STREQ(ErrorText(e.code), e.text);
    if (e.code >= 100) ++own;
    else EXPECT_GE(e.code, -3);
  }
  EXPECT_EQ(own, 11);
  EXPECT_STREQ(ErrorText(kErrNotPsd), "Not a supported PSD file");
  EXPECT_STREQ(ErrorText(kErrDestinationCreate), "Cannot create destination file");
  EXPECT_STREQ(ErrorText(kErrWrite), "Write failed");
  EXPECT_STREQ(ErrorText(111), "Unknown");
}

TEST(ProgressLine, PrintsOncePerPercentAndClosesAt100) {
  Capture out;
  ProgressLine line(false, "x.psd", LineKind::Write);
  line.SetOutput(out.file());
  line.Show(0, 1, 3);
  line.Show(0, 1, 3);
  line.Show(5, 2, 3);
  EXPECT_EQ(out.Take(), " => writing...   0% 1/3: x.psd\r => writing...   5% 2/3: x.psd\r");
  line.Close(3, 3);
  EXPECT_EQ(out.Take(), " => writing... 100% 3/3: x.psd\r\n");
  // 100 already shown: the closing line is only the line feed.
  line.Reset();
  line.Show(100, 3, 3);
  out.Take();
  line.Close(3, 3);
  EXPECT_EQ(out.Take(), "\n");
}

TEST(ProgressLine, QuietPrintsNothingButErrors) {
  Capture out;
  ProgressLine line(true, "x.psd", LineKind::Read);
  line.SetOutput(out.file());
  line.Show(10, 1, 1);
  line.Close(1, 1);
  line.Error(-3);
  EXPECT_EQ(out.Take(), "\nerror(-3):Busy BG thread\n");
}

TEST(KzmLoadProgress, ParseAndDocumentPhasesShareOneLine) {
  Capture out;
  KzmLoad job(false, "/nowhere/a.yvn", "a.yvn");
  job.SetOutput(out.file());
  KzmLoad::CSAListener listener(&job);
  chunk::ChunkSA::IListener& l = listener;
  EXPECT_FALSE(l.onProgress(0, 0, 200));
  EXPECT_FALSE(l.onProgress(3, 1, 200));  // still 0%
  EXPECT_FALSE(l.onProgress(1, 100, 200));
  EXPECT_FALSE(l.onProgress(0, 0, 0));  // empty source: 100%
  EXPECT_EQ(out.Take(), "reading...   0% 1/2: a.yvn\rreading...  50% 1/2: a.yvn\rreading... 100% 1/2: a.yvn\r");
  EXPECT_EQ(l.valuePolicy(0), chunk::ValuePolicy::ReadAll);
  EXPECT_TRUE(l.wantValue(2, "x"));
  EXPECT_TRUE(l.wantChildren(1, "Root"));

  // The document phase: 0% differs from the 100% the parse left.
  EXPECT_TRUE(job.OnProgress(1, 2, 0, 2));
  EXPECT_TRUE(job.OnProgress(1, 2, 0, 2));
  EXPECT_TRUE(job.OnProgress(1, 2, 1, 2));
  EXPECT_EQ(out.Take(), "reading...   0% 2/2: a.yvn\rreading...  50% 2/2: a.yvn\r");
  EXPECT_EQ(job.lastPercent(), 50u);
}

TEST(KzmLoadProgress, UnreadableSourceReportsAndClosesAt2Of2) {
  clitest::TempDir dir;
  std::filesystem::create_symlink(dir / "missing", dir / "a.yvn");
  Capture out;
  KzmLoad job(false, dir / "a.yvn", "a.yvn");
  job.SetOutput(out.file());
  job.Run();
  EXPECT_FALSE(job.document());
  EXPECT_EQ(out.Take(), "\nerror(100):Cannot open source file\nreading... 100% 2/2: a.yvn\r\n");

  KzmLoad quiet(true, dir / "a.yvn", "a.yvn");
  quiet.SetOutput(out.file());
  quiet.Run();
  EXPECT_EQ(out.Take(), "\nerror(100):Cannot open source file\n");
}

TEST(KzmLoadProgress, QuietListenerPrintsNothing) {
  Capture out;
  KzmLoad job(true, "a.yvn", "a.yvn");
  job.SetOutput(out.file());
  KzmLoad::CSAListener listener(&job);
  EXPECT_FALSE(listener.onProgress(0, 10, 100));
  EXPECT_TRUE(job.OnProgress(1, 2, 1, 2));
  EXPECT_EQ(out.Take(), "");
}

TEST(PsdLoadProgress, PhasesFollowTheImagesAndNeverPassTheCount) {
  Capture out;
  PsdLoad job(false, "/nowhere/p.psd", "p.psd");
  job.SetOutput(out.file());
  EXPECT_TRUE(job.OnProgress(0, 3, 0, 10));
  EXPECT_TRUE(job.OnProgress(1, 3, 0, 10));
  EXPECT_TRUE(job.OnProgress(1, 3, 9, 10));
  EXPECT_TRUE(job.OnProgress(3, 3, 0, 10));
  // The second call repeats 0% and prints nothing.
  EXPECT_EQ(out.Take(),
            "reading...   0% 1/3: p.psd\r"
            "reading...  90% 2/3: p.psd\r"
            "reading...   0% 3/3: p.psd\r");
  EXPECT_EQ(job.lastSteps(), 3u);
}

TEST(PsdLoadProgress, WithoutProgressCallsTheClosingLineIs1Of1) {
  clitest::TempDir dir;
  Capture out;
  PsdLoad job(false, dir / "p.psd", "p.psd");
  job.SetOutput(out.file());
  job.Run();
  EXPECT_FALSE(job.document());
  EXPECT_EQ(out.Take(), "\nerror(100):Cannot open source file\nreading... 100% 1/1: p.psd\r\n");
}

TEST(SaveProgress, WriteLinesCountPhasesFromOne) {
  Capture out;
  KzmSave kzm(false, nullptr, "/nowhere/b.yvn", "b.yvn", false);
  kzm.SetOutput(out.file());
  EXPECT_FALSE(kzm.compress());
  EXPECT_TRUE(kzm.OnProgress(0, 2, 0, 100));
  EXPECT_TRUE(kzm.OnProgress(0, 2, 37, 100));
  EXPECT_TRUE(kzm.OnProgress(1, 2, 37, 100));  // same percentage, next phase: not printed
  EXPECT_TRUE(kzm.OnProgress(1, 2, 100, 100));
  EXPECT_EQ(out.Take(),
            " => writing...   0% 1/2: b.yvn\r => writing...  37% 1/2: b.yvn\r => writing... 100% 2/2: b.yvn\r");

  // Rows y of a rectangle [top, bottom) of child k of n = 2: phase k + 1 of n + 1.
  PsdSave psd(false, nullptr, "/nowhere/b.psd", "b.psd");
  psd.SetOutput(out.file());
  const int top = 10, bottom = 14;
  for (int y = top; y < bottom; ++y) psd.OnProgress(1, 3, y - top, bottom - top);
  EXPECT_EQ(out.Take(),
            " => writing...   0% 2/3: b.psd\r => writing...  25% 2/3: b.psd\r"
            " => writing...  50% 2/3: b.psd\r => writing...  75% 2/3: b.psd\r");
}

TEST(SaveProgress, WriteJobWithoutDocumentReportsAndCreatesNothing) {
  clitest::TempDir dir;
  Capture out;
  PsdSave psd(false, nullptr, dir / "b.psd", "b.psd");
  psd.SetOutput(out.file());
  psd.Run();
  EXPECT_EQ(out.Take(), "\nerror(105):No document read\n => writing... 100% 1/1: b.psd\r\n");
  KzmSave kzm(true, nullptr, dir / "b.yvn", "b.yvn", true);
  kzm.SetOutput(out.file());
  kzm.Run();
  EXPECT_EQ(out.Take(), "\nerror(105):No document read\n");
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}
