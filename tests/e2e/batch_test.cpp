// Batches over a folder with a quoted filter, and the progress lines of real
// conversions.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "e2e_util.h"

namespace e2e {
namespace {

class E2eBatch : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Exe().empty()) GTEST_SKIP() << "YVN2PSD_EXE is not set";
  }
  std::string P(const std::string& rel) const { return dir / rel; }
  TempDir dir;
};

// A PSD of `layers` layers whose colours depend on `tag`.
std::string TaggedPsd(uint32_t tag, int layers, uint32_t w = 20, uint32_t h = 12) {
  std::vector<LayerSpec> v;
  for (int k = 0; k < layers; ++k) {
    LayerSpec l;
    l.name = "layer " + std::to_string(k);
    l.left = k, l.top = k, l.right = int32_t(w) - k, l.bottom = int32_t(h);
    for (int32_t y = l.top; y < l.bottom; ++y)
      for (int32_t x = l.left; x < l.right; ++x) l.px.push_back(Rgba(tag * 40, uint32_t(x * 11), uint32_t(y * 19), 255 - k * 60));
    v.push_back(l);
  }
  return BuildPsd(w, h, v);
}

TEST_F(E2eBatch, QuotedFilterConvertsAFolderIntoAnotherAndBack) {
  for (uint32_t i = 1; i <= 3; ++i) WriteFile(P("in/p" + std::to_string(i) + ".psd"), TaggedPsd(i, int(i)));
  WriteFile(P("in/notes.txt"), "not a painting");
  fs::create_directory(P("in/folder.psd"));  // a directory is never a source

  // The filter reaches the program unexpanded, as a quoted one does from a shell.
  RunResult r = RunProgram(dir.path(), {"-q", "-W", "-oout", "in/*.psd"});
  EXPECT_EQ(r.exitValue, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(Listing(P("out")), (std::vector<std::string>{"p1.yvn", "p2.yvn", "p3.yvn"}));

  r = RunProgram(dir.path(), {"-q", "-W", "-oback", "out/*.yvn"});
  EXPECT_EQ(r.exitValue, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(Listing(P("back")), (std::vector<std::string>{"p1.psd", "p2.psd", "p3.psd"}));
  for (int i = 1; i <= 3; ++i) {
    SCOPED_TRACE(i);
    const PsdFile orig = ReadPsd(P("in/p" + std::to_string(i) + ".psd"));
    const PsdFile fin = ReadPsd(P("back/p" + std::to_string(i) + ".psd"));
    ASSERT_TRUE(fin.ok);
    // Each layer, then the source's merged image, then the new merged image.
    ASSERT_EQ(fin.images.size(), size_t(i) + 2);
    for (int k = 0; k < i; ++k) {
      EXPECT_EQ(fin.images[size_t(k)].p.name, "layer " + std::to_string(k));
      const Image& o = orig.images[size_t(k)];
      for (int32_t y = 0; y < 12; ++y)
        for (int32_t x = 0; x < 20; ++x) ASSERT_EQ(fin.images[size_t(k)].At(x, y), Through16(o.At(x, y)));
    }
  }
  // The inputs are untouched and nothing else appeared beside them.
  EXPECT_EQ(Listing(P("in")), (std::vector<std::string>{"folder.psd", "notes.txt", "p1.psd", "p2.psd", "p3.psd"}));
}

TEST_F(E2eBatch, InputPathAndListing) {
  for (uint32_t i = 1; i <= 2; ++i) WriteFile(P("in/q" + std::to_string(i) + ".psd"), TaggedPsd(i, 1));
  RunResult r = RunProgram(dir.path(), {"-L", "-iin", "-oout", "*.psd"});
  EXPECT_EQ(r.out, "0:" + P("in/q1.psd") + "\n => " + P("out/q1.yvn") + "\n1:" + P("in/q2.psd") + "\n => " +
                       P("out/q2.yvn") + "\n");
  EXPECT_FALSE(fs::exists(P("out")));
  r = RunProgram(dir.path(), {"-q", "-iin", "-oout", "*.psd"}, "y");  // the new folder is confirmed
  EXPECT_EQ(r.out, P("out") + "/\nFolder is not exists.\nCreate folder? [Y]es / [C]ancel\n");
  EXPECT_EQ(Listing(P("out")), (std::vector<std::string>{"q1.yvn", "q2.yvn"}));
}

TEST_F(E2eBatch, AbsolutePathsNameTheFilesTheySay) {
  TempDir elsewhere;  // the current folder is another one
  WriteFile(P("in/a.psd"), TaggedPsd(1, 2));
  RunResult r = RunProgram(elsewhere.path(), {"-q", P("in/a.psd"), P("made/b.yvn")}, "y");
  EXPECT_EQ(r.out, P("made") + "/\nFolder is not exists.\nCreate folder? [Y]es / [C]ancel\n");
  EXPECT_TRUE(fs::is_regular_file(P("made/b.yvn")));
  r = RunProgram(elsewhere.path(), {"-q", "-W", P("made/*.yvn")});
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(ReadPsd(P("made/b.psd")).ok);
  EXPECT_EQ(Listing(elsewhere.path()), std::vector<std::string>{});
}

struct Line {
  std::string kind;  // "reading" or "writing"
  int percent, phase, count;
  std::string name;
};

// Digits at p, moved past; -1 when there are none.
int Number(const std::string& s, size_t& p) {
  const size_t start = p;
  while (p < s.size() && s[p] >= '0' && s[p] <= '9') ++p;
  return p == start || p - start > 9 ? -1 : std::stoi(s.substr(start, p - start));
}

// One progress line: "reading... N% P/C: name" or " => writing... N% P/C: name"
// (spaces may precede N).
bool ParseProgress(const std::string& s, Line& l) {
  size_t p;
  if (s.rfind("reading... ", 0) == 0)
    l.kind = "reading", p = 11;
  else if (s.rfind(" => writing... ", 0) == 0)
    l.kind = "writing", p = 15;
  else
    return false;
  while (p < s.size() && s[p] == ' ') ++p;
  if ((l.percent = Number(s, p)) < 0 || s.compare(p, 2, "% ") != 0) return false;
  p += 2;
  if ((l.phase = Number(s, p)) < 0 || s.compare(p, 1, "/") != 0) return false;
  p += 1;
  if ((l.count = Number(s, p)) < 0 || s.compare(p, 2, ": ") != 0) return false;
  l.name = s.substr(p + 2);
  return true;
}

// The progress lines of one run, in order.
std::vector<Line> ProgressLines(const std::string& out) {
  std::vector<Line> lines;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find_first_of("\r\n", start);
    if (end == std::string::npos) end = out.size();
    Line l;
    if (ParseProgress(out.substr(start, end - start), l)) lines.push_back(l);
    start = end + 1;
  }
  return lines;
}

TEST_F(E2eBatch, ProgressPhasesCountFromOneAndNeverPassTheCount) {
  WriteFile(P("p.psd"), TaggedPsd(1, 3, 64, 200));
  const RunResult r = RunProgram(dir.path(), {"p.psd"});
  ASSERT_EQ(r.exitValue, 0);
  // Four images (three layers and the merged image) read, then five root
  // children of the document written.
  std::map<std::string, std::set<int>> phases;
  std::map<std::string, std::set<int>> counts;
  for (const Line& l : ProgressLines(r.out)) {
    phases[l.kind].insert(l.phase);
    counts[l.kind].insert(l.count);
    EXPECT_LE(l.percent, 100);
    EXPECT_EQ(l.name, l.kind == "reading" ? "p.psd" : "p.yvn");
  }
  EXPECT_EQ(phases["reading"], (std::set<int>{1, 2, 3, 4}));
  EXPECT_EQ(counts["reading"], std::set<int>{4});
  EXPECT_EQ(phases["writing"], (std::set<int>{1, 2, 3, 4}));
  EXPECT_EQ(counts["writing"], std::set<int>{4});
  EXPECT_TRUE(Contains(r.out, "reading... 100% 4/4: p.psd\r\n"));
  EXPECT_TRUE(Contains(r.out, " => writing... 100% 4/4: p.yvn\r\n"));

  // The other way: two phases of reading, layers and the merged image written.
  const RunResult back = RunProgram(dir.path(), {"p.yvn", "back.psd"});
  for (const Line& l : ProgressLines(back.out)) {
    if (l.kind == "reading") {
      EXPECT_EQ(l.count, 2);
    } else {
      EXPECT_EQ(l.count, 5);
      EXPECT_GE(l.phase, 1);
      EXPECT_LE(l.phase, 5);
    }
  }
  EXPECT_TRUE(Contains(back.out, "reading... 100% 2/2: p.yvn\r\n"));
  EXPECT_TRUE(Contains(back.out, " => writing... 100% 5/5: back.psd\r\n"));
}

}  // namespace
}  // namespace e2e
