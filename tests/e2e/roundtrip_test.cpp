// PSD -> .yvn -> PSD through the built program, checked against the original
// as the project's reader interprets it (user masks applied, layers of hidden
// groups hidden): canvas, names, visibility, opacity, blend, rectangles and
// every pixel through the 8 -> 16 -> 8-bit mapping.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "e2e_util.h"

namespace e2e {
namespace {

const char kMergedName[] = "ImgIOPsd_MergedImage";

class E2eRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Exe().empty()) GTEST_SKIP() << "YVN2PSD_EXE is not set";
  }
  TempDir dir;
};

// The layers a PSD written from the document must hold, bottom to top: every
// image the reader served (the merged image became a layer too), less hidden
// layers whose name starts with "*".
std::vector<const Image*> ExpectedLayers(const PsdFile& orig) {
  std::vector<const Image*> out;
  for (const Image& img : orig.images)
    if (!(!img.p.name.empty() && img.p.name[0] == '*' && !img.p.visible)) out.push_back(&img);
  return out;
}

// Compares one written layer with the original image it came from.
void CheckLayer(const Image& orig, const Image& fin) {
  EXPECT_EQ(fin.p.name, orig.p.name);
  EXPECT_EQ(fin.p.visible, orig.p.visible);
  EXPECT_EQ(fin.p.opacity, orig.p.opacity);  // the reader's byte mapping is one to one
  EXPECT_EQ(fin.p.blend.ColorMode(), orig.p.blend.ColorMode());
  EXPECT_EQ(fin.p.blend.Flags(), orig.p.blend.Flags());
  // "Lock all" becomes both locks of the layer.
  EXPECT_EQ(fin.p.alphaLock, orig.p.alphaLock || orig.p.lockAll);
  EXPECT_EQ(fin.p.planeLock, orig.p.planeLock || orig.p.lockAll);

  int32_t l, t, r, b;
  AlphaBounds(orig, &l, &t, &r, &b);
  const bool tight = l == orig.p.left && t == orig.p.top && r == orig.p.right && b == orig.p.bottom;
  if (l == r) {
    EXPECT_TRUE(fin.Width() == 0 || fin.Height() == 0) << "a layer without pixels has an empty rectangle";
  } else {
    // The written rectangle is the smallest one around the pixels; for a
    // tight original that is the original's own rectangle.
    EXPECT_EQ(fin.p.left, l);
    EXPECT_EQ(fin.p.top, t);
    EXPECT_EQ(fin.p.right, r);
    EXPECT_EQ(fin.p.bottom, b);
    if (tight) {
      EXPECT_TRUE(fin.p.left == orig.p.left && fin.p.top == orig.p.top && fin.p.right == orig.p.right &&
                  fin.p.bottom == orig.p.bottom);
    }
  }

  const int64_t x0 = std::min<int64_t>(orig.p.left, fin.p.left), x1 = std::max<int64_t>(orig.p.right, fin.p.right);
  const int64_t y0 = std::min<int64_t>(orig.p.top, fin.p.top), y1 = std::max<int64_t>(orig.p.bottom, fin.p.bottom);
  int bad = 0;
  for (int64_t y = y0; y < y1; ++y) {
    for (int64_t x = x0; x < x1; ++x) {
      const uint32_t want = Through16(orig.At(x, y)), got = fin.At(x, y);
      if (want != got && ++bad <= 3)
        ADD_FAILURE() << "pixel (" << x << ", " << y << "): original " << std::hex << orig.At(x, y) << " expected "
                      << want << " got " << got;
    }
  }
  EXPECT_EQ(bad, 0);
}

void CheckRoundTrip(const std::string& origPath, const std::string& finalPath) {
  const PsdFile orig = ReadPsd(origPath);
  ASSERT_TRUE(orig.ok) << "the original is not readable: " << orig.error;
  const PsdFile fin = ReadPsd(finalPath);
  ASSERT_TRUE(fin.ok) << "the written PSD is not readable: " << fin.error;
  EXPECT_EQ(fin.width, orig.width);
  EXPECT_EQ(fin.height, orig.height);

  const std::vector<const Image*> want = ExpectedLayers(orig);
  ASSERT_EQ(fin.images.size(), want.size() + 1) << "the written layers and the merged image";
  ASSERT_FALSE(want.empty());
  // The original's merged image is the top layer, named for it, hidden when
  // the file had layers (a file without layers has just that one, visible).
  EXPECT_EQ(fin.images[want.size() - 1].p.name, kMergedName);
  EXPECT_EQ(fin.images[want.size() - 1].p.visible, orig.images.size() > 1 ? 0 : 1);
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE("layer " + std::to_string(i) + " \"" + want[i]->p.name + "\"");
    CheckLayer(*want[i], fin.images[i]);
  }
  const Image& merged = fin.images.back();
  EXPECT_EQ(merged.p.left, 0);
  EXPECT_EQ(merged.p.top, 0);
  EXPECT_EQ(merged.p.right, int32_t(orig.width));
  EXPECT_EQ(merged.p.bottom, int32_t(orig.height));
}

// The PSD written from a PSD, converted to .yvn and back once more: the
// layer that holds the first file's merged image is not added again, so the
// layers and the file size stay (within 1 %).
void CheckSecondCycle(const TempDir& dir, const std::string& firstPsd) {
  const std::string stem = firstPsd.substr(0, firstPsd.rfind('.'));
  ASSERT_EQ(RunProgram(dir.path(), {"-q", firstPsd, stem + ".2.yvn"}).out, "");
  ASSERT_EQ(RunProgram(dir.path(), {"-q", stem + ".2.yvn", stem + ".2.psd"}).out, "");
  const PsdFile first = ReadPsd(dir / firstPsd), second = ReadPsd(dir / (stem + ".2.psd"));
  ASSERT_TRUE(first.ok && second.ok);
  EXPECT_EQ(second.layerRecords, first.layerRecords);
  const double a = double(fs::file_size(dir / firstPsd)), b = double(fs::file_size(dir / (stem + ".2.psd")));
  EXPECT_NEAR(b, a, a / 100) << "file size";
}

// (name, expect) of every row of the corpus manifest.
std::vector<std::pair<std::string, std::string>> Manifest(const std::string& corpus) {
  std::vector<std::pair<std::string, std::string>> rows;
  std::ifstream in(corpus + "/MANIFEST.tsv");
  std::string line;
  if (!std::getline(in, line)) return rows;
  auto split = [](const std::string& s) {
    std::vector<std::string> cells;
    std::stringstream ss(s);
    std::string cell;
    while (std::getline(ss, cell, '\t')) cells.push_back(cell);
    return cells;
  };
  const std::vector<std::string> head = split(line);
  size_t nameCol = head.size(), expectCol = head.size();
  for (size_t i = 0; i < head.size(); ++i) {
    if (head[i] == "name") nameCol = i;
    if (head[i] == "expect") expectCol = i;
  }
  while (std::getline(in, line)) {
    const std::vector<std::string> cells = split(line);
    if (nameCol < cells.size() && expectCol < cells.size()) rows.emplace_back(cells[nameCol], cells[expectCol]);
  }
  return rows;
}

TEST_F(E2eRoundTrip, EveryAcceptedCorpusFileComesBackThroughTheNativeFormat) {
  const std::string corpus = CorpusDir();
  if (corpus.empty() || !fs::exists(corpus + "/MANIFEST.tsv"))
    GTEST_SKIP() << "PSD corpus not found (YVN_PSD_CORPUS=" << corpus << ")";
  int done = 0;
  for (const auto& [name, expect] : Manifest(corpus)) {
    if (expect != "ACCEPT") continue;
    SCOPED_TRACE(name);
    fs::copy_file(corpus + "/" + name, dir / name);
    const std::string stem = name.substr(0, name.rfind('.'));
    RunResult r = RunProgram(dir.path(), {"-q", name});
    EXPECT_EQ(r.exitValue, 0);
    EXPECT_EQ(r.out, "");
    ASSERT_TRUE(fs::exists(dir / (stem + ".yvn")));
    r = RunProgram(dir.path(), {"-q", stem + ".yvn", stem + ".back.psd"});
    EXPECT_EQ(r.exitValue, 0);
    EXPECT_EQ(r.out, "");
    CheckRoundTrip(corpus + "/" + name, dir / (stem + ".back.psd"));
    CheckSecondCycle(dir, stem + ".back.psd");
    ++done;
  }
  EXPECT_GE(done, 10) << "fewer accepted files than the corpus holds";
}

TEST_F(E2eRoundTrip, RefusedCorpusFilesGiveAnErrorLineAndNoFile) {
  const std::string corpus = CorpusDir();
  if (corpus.empty() || !fs::exists(corpus + "/MANIFEST.tsv"))
    GTEST_SKIP() << "PSD corpus not found (YVN_PSD_CORPUS=" << corpus << ")";
  std::vector<std::string> refused;
  for (const auto& [name, expect] : Manifest(corpus))
    if (expect.rfind("REFUSE", 0) == 0 && UpperExt(name) == ".PSD") refused.push_back(name);
  if (refused.empty()) GTEST_SKIP() << "no refused PSD in the corpus";
  for (const std::string& name : refused) fs::copy_file(corpus + "/" + name, dir / name);
  const RunResult r = RunProgram(dir.path(), {"-q", "-F", "*.psd"});
  EXPECT_EQ(r.exitValue, 0);
  std::string lines;
  for (size_t i = 0; i < refused.size(); ++i) lines += "\nerror(101):Not a supported PSD file\n";
  EXPECT_EQ(r.out, lines);
  for (const std::string& name : refused) EXPECT_FALSE(fs::exists(dir / (name.substr(0, name.rfind('.')) + ".yvn")));
}

// A small deterministic painting: layers partly outside the canvas, with
// transparent borders, soft alpha, names in other scripts, hidden and
// "*"-named layers, several blend modes and opacities.
std::vector<LayerSpec> PaintingLayers() {
  uint32_t seed = 12345;
  auto rnd = [&]() { return (seed = seed * 1103515245u + 12345u) >> 16 & 0xFF; };
  auto layer = [&](std::string name, int32_t l, int32_t t, int32_t r, int32_t b) {
    LayerSpec s;
    s.name = std::move(name);
    s.left = l, s.top = t, s.right = r, s.bottom = b;
    return s;
  };
  std::vector<LayerSpec> v;
  LayerSpec paper = layer("Paper", 0, 0, 48, 40);
  for (int i = 0; i < 48 * 40; ++i) paper.px.push_back(Rgba(240 + rnd() % 16, 236, 228, 255));
  v.push_back(paper);
  // Soft alpha everywhere, including the lowest values where colour is coarse.
  LayerSpec wash = layer("Wash \xE6\xB0\xB4\xE5\xBD\xA9", -6, 5, 30, 33);  // partly left of the canvas
  for (int i = 0; i < 36 * 28; ++i) wash.px.push_back(Rgba(rnd(), rnd(), rnd(), i % 7 == 0 ? i % 4 : rnd()));
  wash.opacity = 153;
  wash.key = "mul ";
  v.push_back(wash);
  // A transparent border around the pixels: not tight.
  LayerSpec ink = layer("Ink \xC3\xA9t\xC3\xA9", 10, 8, 40, 38);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 30; ++x)
      ink.px.push_back(x >= 4 && x < 25 && y >= 3 && y < 28 && (x + y) % 3 ? Rgba(20, 30, rnd(), 255) : Rgba(9, 9, 9, 0));
  ink.key = "scrn";
  ink.opacity = 77;
  v.push_back(ink);
  LayerSpec hidden = layer("hidden sketch", 30, -5, 55, 20);  // past the right and top edges
  for (int i = 0; i < 25 * 25; ++i) hidden.px.push_back(Rgba(rnd(), 0, 200, 128 + rnd() % 128));
  hidden.visible = false;
  hidden.key = "over";
  v.push_back(hidden);
  LayerSpec work = layer("*guide", 0, 0, 8, 8);  // hidden working layer: not written back
  for (int i = 0; i < 64; ++i) work.px.push_back(Rgba(255, 0, 0, 255));
  work.visible = false;
  v.push_back(work);
  LayerSpec shown = layer("*shown", 2, 2, 6, 6);  // visible: written back
  for (int i = 0; i < 16; ++i) shown.px.push_back(Rgba(0, 255, 0, 200));
  shown.key = "lbrn";
  v.push_back(shown);
  return v;
}

TEST_F(E2eRoundTrip, GeneratedPaintingComesBack) {
  WriteFile(dir / "paint.psd", BuildPsd(48, 40, PaintingLayers()));
  RunResult r = RunProgram(dir.path(), {"-q", "paint.psd"});
  EXPECT_EQ(r.out, "");
  r = RunProgram(dir.path(), {"-q", "paint.yvn", "back.psd"});
  EXPECT_EQ(r.out, "");
  CheckRoundTrip(dir / "paint.psd", dir / "back.psd");
  CheckSecondCycle(dir, "back.psd");
  const PsdFile fin = ReadPsd(dir / "back.psd");
  ASSERT_TRUE(fin.ok);
  std::vector<std::string> names;
  for (const Image& img : fin.images) names.push_back(img.p.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Paper", "Wash \xE6\xB0\xB4\xE5\xBD\xA9", "Ink \xC3\xA9t\xC3\xA9",
                                             "hidden sketch", "*shown", kMergedName, kMergedName}));
  // The non-tight layer shrank to its pixels.
  EXPECT_EQ(fin.images[2].p.left, 14);
  EXPECT_EQ(fin.images[2].p.top, 11);
  EXPECT_EQ(fin.images[2].p.right, 35);
  EXPECT_EQ(fin.images[2].p.bottom, 36);
}

TEST_F(E2eRoundTrip, UncompressedNativeFileHoldsTheSamePainting) {
  WriteFile(dir / "paint.psd", BuildPsd(48, 40, PaintingLayers()));
  ASSERT_EQ(RunProgram(dir.path(), {"-q", "-z0", "paint.psd", "plain.yvn"}).out, "");
  ASSERT_EQ(RunProgram(dir.path(), {"-q", "paint.psd", "packed.yvn"}).out, "");
  EXPECT_GT(fs::file_size(dir / "plain.yvn"), fs::file_size(dir / "packed.yvn"));
  ASSERT_EQ(RunProgram(dir.path(), {"-q", "plain.yvn", "back.psd"}).out, "");
  CheckRoundTrip(dir / "paint.psd", dir / "back.psd");
}

}  // namespace
}  // namespace e2e
