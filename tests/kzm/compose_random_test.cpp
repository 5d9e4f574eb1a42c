// Folder composition against a per-pixel evaluation of random layer stacks:
// blend modes with and without kernels, alpha modes, opacities, hidden
// layers, clip and lockdonly flags, default pixels, offsets off the cell grid
// (negative ones too), sparse tiles at negative locates, nested folders.
#include <gtest/gtest.h>

#include <sstream>

#include "compose_test_util.h"
#include "kzm/pix_iterator.h"

namespace kzm {
namespace {

using namespace composetest;

std::string Describe(const Plane::Impl& f) {
  std::ostringstream s;
  for (size_t i = 0; i < f.ChildCount(); ++i) {
    const Plane::Impl* c = f.ChildAt(int64_t(i))->impl();
    s << (c->Kind() == 3 ? "folder" : "image") << " mode " << std::hex << c->Blend()->word0 << "/"
      << c->Blend()->word1 << std::dec << " op " << c->Opacity() << " vis " << int(c->Visible()) << " off "
      << c->Offset().x << "," << c->Offset().y << " def a " << c->DefaultPixel().a << "\n";
    if (c->Kind() == 3) s << "  [" << Describe(*c) << "  ]\n";
  }
  return s.str();
}

std::string Str(const PixelRGBA& p) {
  std::ostringstream s;
  s << "(" << p.r << "," << p.g << "," << p.b << "," << p.a << ")";
  return s.str();
}

// Compares the root's merged pixels with the reference over `area`.
::testing::AssertionResult MatchesReference(Plane& root, const Rect& area, Reference& ref) {
  PixRandIterator merged(root);
  for (int32_t y = area.top; y < area.bottom; ++y)
    for (int32_t x = area.left; x < area.right; ++x) {
      const PixelRGBA want = ref.At(*root.impl(), x, y);
      const PixelRGBA got = merged.At(x, y);
      if (got != want)
        return ::testing::AssertionFailure() << "at " << x << "," << y << " merged " << Str(got) << " reference "
                                             << Str(want) << "\n" << Describe(*root.impl());
    }
  return ::testing::AssertionSuccess();
}

Rect Grown(const Rect& r, int32_t by) { return Rect{r.left - by, r.top - by, r.right + by, r.bottom + by}; }

std::set<uint32_t> TilesWithCells(const PiFolder& f) {
  std::set<uint32_t> s;
  for (auto& e : f.MergedTiles())
    if (e.second->HasCells()) s.insert(e.first.key);
  return s;
}

TEST(ComposeRandom, MergedPixelsEqualPerPixelEvaluation) {
  int nested = 0, paper = 0;
  for (uint32_t seed = 1; seed <= 24; ++seed) {
    std::mt19937 rng(seed);
    Stack s = RandomStack(rng);
    Plane& root = *s.root;
    ASSERT_TRUE(root.impl()->Compose(ProgressFunc())) << seed;
    Reference ref;
    EXPECT_EQ(TilesWithCells(*root.folder()), ref.MergedTiles(*root.folder()))
        << "seed " << seed << ": the tiles merged are exactly those the children report";
    ASSERT_TRUE(MatchesReference(root, Grown(root.impl()->Bounds(), 40), ref)) << "seed " << seed;
    for (size_t i = 0; i < root.impl()->ChildCount(); ++i) {
      const Plane::Impl* c = root.impl()->ChildAt(int64_t(i))->impl();
      nested += c->Kind() == 3;
      paper += c->DefaultPixel().Word() != 0;
    }
  }
  EXPECT_GT(nested, 3) << "the stacks include nested folders";
  EXPECT_GT(paper, 3) << "the stacks include layers whose default pixel shows";
}

TEST(ComposeRandom, TilesMergedOnRequestEqualComposition) {
  int checked = 0;
  for (uint32_t seed = 101; seed <= 116; ++seed) {
    std::mt19937 rng(seed);
    Stack s = RandomStack(rng);
    // Merging on request covers a nested folder's paper beyond its bounds;
    // Compose stops at them. Compare where both agree.
    if (s.nestedPaper) continue;
    Plane& root = *s.root;
    const Rect area = root.impl()->Bounds();
    if (area.IsEmpty()) continue;
    for (int32_t row = area.top >> 7; row <= (area.bottom - 1) >> 7; ++row)
      for (int32_t col = area.left >> 7; col <= (area.right - 1) >> 7; ++col)
        root.impl()->FindTile(TileLocate::FromColRow(col, row), true);
    Reference ref;
    ASSERT_TRUE(MatchesReference(root, area, ref)) << "seed " << seed;
    ++checked;
  }
  EXPECT_GT(checked, 6);
}

TEST(ComposeRandom, CellAlignedAndWideOffsets) {
  // Offsets of whole cells and whole tiles take the paths without gathering;
  // wide offsets put the sources' tiles far from the folder's.
  for (uint32_t seed = 201; seed <= 210; ++seed) {
    std::mt19937 rng(seed);
    StackOptions o;
    o.offsetRange = seed % 2 ? 256 : 24;
    o.nested = seed % 3 == 0;
    Stack s = RandomStack(rng, o);
    for (size_t i = 0; i < s.root->impl()->ChildCount(); ++i) {
      Plane::Impl* c = s.root->impl()->ChildAt(int64_t(i))->impl();
      if (c->Kind() == 1 && seed % 2 == 0) c->SetOffset(Point{c->Offset().x & ~7, c->Offset().y & ~7});
    }
    ASSERT_TRUE(s.root->impl()->Compose(ProgressFunc()));
    Reference ref;
    ASSERT_TRUE(MatchesReference(*s.root, Grown(s.root->impl()->Bounds(), 8), ref)) << "seed " << seed;
  }
}

}  // namespace
}  // namespace kzm
