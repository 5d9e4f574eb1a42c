// The merged image of a PSD written from a native file made by the program
// equals the stack composed pixel by pixel in the test, with the blend entry
// points applied bottom to top over a transparent start.
#include <gtest/gtest.h>

#include "blend/kernels.h"
#include "e2e_util.h"

namespace e2e {
namespace {

class E2eCompose : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Exe().empty()) GTEST_SKIP() << "YVN2PSD_EXE is not set";
  }
  TempDir dir;
};

// Normal layers with partial opacity and soft alpha, one multiply and one
// screen layer, a layer sticking out of the canvas and two hidden layers.
std::vector<LayerSpec> Stack(uint32_t w, uint32_t h) {
  uint32_t seed = 99;
  auto rnd = [&]() { return (seed = seed * 1664525u + 1013904223u) >> 24; };
  auto fill = [&](LayerSpec& s, auto pixel) {
    for (int32_t y = s.top; y < s.bottom; ++y)
      for (int32_t x = s.left; x < s.right; ++x) s.px.push_back(pixel(x, y));
  };
  std::vector<LayerSpec> v(6);
  v[0].name = "ground";
  v[0].right = int32_t(w), v[0].bottom = int32_t(h);
  fill(v[0], [&](int32_t x, int32_t y) { return Rgba(x * 5, y * 7, 90, 255); });
  v[1].name = "glaze";
  v[1].left = 5, v[1].top = 3, v[1].right = 30, v[1].bottom = 25;
  v[1].opacity = 128;
  fill(v[1], [&](int32_t, int32_t) { return Rgba(rnd(), rnd(), rnd(), rnd()); });
  v[2].name = "shadow";
  v[2].left = -7, v[2].top = 10, v[2].right = 20, v[2].bottom = int32_t(h) + 9;
  v[2].opacity = 200;
  v[2].key = "mul ";
  fill(v[2], [&](int32_t x, int32_t) { return Rgba(120, 80, rnd(), uint32_t(x + 7) * 9); });
  v[3].name = "light";
  v[3].left = 12, v[3].top = 0, v[3].right = int32_t(w), v[3].bottom = 14;
  v[3].opacity = 90;
  v[3].key = "scrn";
  fill(v[3], [&](int32_t, int32_t) { return Rgba(255, 230, rnd(), 60 + rnd() % 100); });
  v[4].name = "off";
  v[4].right = 9, v[4].bottom = 9;
  v[4].visible = false;
  fill(v[4], [&](int32_t, int32_t) { return Rgba(255, 0, 0, 255); });
  v[5].name = "top";
  v[5].left = 20, v[5].top = 15, v[5].right = 36, v[5].bottom = 29;
  v[5].opacity = 230;
  fill(v[5], [&](int32_t x, int32_t y) { return (x + y) % 4 ? Rgba(10, 200, 30, 180) : 0u; });
  return v;
}

TEST_F(E2eCompose, MergedImageOfANativeFileEqualsTheComposedStack) {
  const uint32_t w = 40, h = 30;
  WriteFile(dir / "stack.psd", BuildPsd(w, h, Stack(w, h)));
  RunResult r = RunProgram(dir.path(), {"-q", "stack.psd"});
  ASSERT_EQ(r.out, "");
  r = RunProgram(dir.path(), {"-q", "stack.yvn", "merged.psd"});
  ASSERT_EQ(r.out, "");

  // What the document holds comes from the reader's view of the source.
  const PsdFile src = ReadPsd(dir / "stack.psd");
  const PsdFile fin = ReadPsd(dir / "merged.psd");
  ASSERT_TRUE(src.ok);
  ASSERT_TRUE(fin.ok);
  const Image& merged = fin.images.back();
  ASSERT_EQ(merged.Width(), int64_t(w));
  ASSERT_EQ(merged.Height(), int64_t(h));

  int bad = 0;
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      PixelRGBA acc{0, 0, 0, 0};
      for (const Image& layer : src.images) {
        if (!layer.p.visible) continue;  // the source's own merged image is hidden
        const PixelRGBA px = Widen8(layer.At(x, y));
        blend::BlendPixels(&acc, &acc + 1, &px, layer.p.opacity, layer.p.blend);
      }
      const uint32_t want = Narrow8(acc), got = merged.At(x, y);
      if (want != got && ++bad <= 5)
        ADD_FAILURE() << "merged pixel (" << x << ", " << y << "): expected " << std::hex << want << " got " << got;
    }
  }
  EXPECT_EQ(bad, 0);
}

}  // namespace
}  // namespace e2e
