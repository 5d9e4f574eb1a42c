// The writer from C++: a .yvn written from a PSD's own rows is byte for
// byte the .yvn the program writes from that PSD.
#include <gtest/gtest.h>

#include <cstring>

#include "support/psd.h"
#include "yvn2psd.h"

namespace ts {
namespace {

// Transparent pixels of several colours, a clipped multiply layer at half
// opacity, hidden, off-canvas, empty and locked layers, a Unicode name.
std::string Painting() {
  PsdSpec s;
  s.width = 150, s.height = 140;
  std::vector<uint32_t> noise(140 * 130), stripes(60 * 50), off(40 * 40);
  uint32_t seed = 7;
  for (uint32_t& p : noise) p = (seed = seed * 1103515245u + 12345u) >> 3;
  for (size_t i = 0; i < stripes.size(); ++i) stripes[i] = i % 60 < 20 ? Rgba(200, 10, 10, 255) : Rgba(9, 9, 9, 0);
  for (size_t i = 0; i < off.size(); ++i) off[i] = Rgba(uint32_t(i % 256), 90, 40, uint32_t(i % 7 * 40));
  s.layers.push_back(RgbaLayer(5, 5, 145, 135, noise, "noise"));
  s.layers.push_back(RgbaLayer(30, 40, 90, 90, stripes, "clipped \xe6\xb0\xb4"));
  s.layers.back().key = "mul ", s.layers.back().clipping = 1, s.layers.back().opacity = 128;
  s.layers.push_back(RgbaLayer(-20, 120, 20, 160, off, "off the canvas"));
  s.layers.push_back(RgbaLayer(0, 0, 0, 0, {}, "empty"));
  s.layers.push_back(RgbaLayer(60, 10, 120, 60, stripes, "hidden"));
  s.layers.back().flags = 8 | 2;
  s.layers.push_back(RgbaLayer(100, 100, 140, 140, off, "locked"));
  s.layers.back().flags = 8 | 1;
  s.layers.back().key = "scrn";
  s.merged = noise;
  s.merged.resize(150 * 140, Rgba(1, 2, 3, 200));
  return BuildPsd(s);
}

TEST(Writer, EightBitRowsOfAPsdGiveTheProgramsYvn) {
  if (Exe().empty()) GTEST_SKIP() << "YVN2PSD_EXE is not set";
  TempDir dir;
  const std::string psd = Painting();
  WriteFile(dir / "p.psd", psd);
  const PsdFile read = ReadPsd(psd);
  ASSERT_EQ(read.error, 0);
  for (int compress = 0; compress <= 1; ++compress) {
    SCOPED_TRACE(compress);
    ASSERT_EQ(RunProgram(dir.path(), {"-q", "-W", compress ? "-z1" : "-z0", "p.psd", "p.yvn"}).exit, 0);
    yvn2psd_options o;
    yvn2psd_options_init(&o);
    o.compress = compress;
    yvn2psd_writer* w = nullptr;
    ASSERT_EQ(yvn2psd_writer_create_memory(YVN2PSD_FORMAT_YVN, read.width, read.height, &o, &w), 0);
    // Every image the conversion reads: the layers, then the merged image.
    for (const Image& image : read.images) {
      const iio::layer_param_t& P = image.p;
      const std::string key(P.blendKey.data(), 4);
      const yvn2psd_layer_info layer{P.name.c_str(), P.left, P.top, P.right, P.bottom, P.opacity, 0, P.visible,
                                     yvn2psd_blend_from_psd_key(key.c_str()), {}, P.clipping,
                                     P.lockTransparency || P.lockAll, P.lockPixels || P.lockAll, 0};
      std::vector<uint8_t> rows(image.px.size() * 4);
      for (size_t i = 0; i < image.px.size(); ++i)
        for (int c = 0; c < 4; ++c) rows[4 * i + size_t(c)] = uint8_t(image.px[i] >> (8 * c));
      ASSERT_EQ(yvn2psd_writer_add_layer(w, &layer, YVN2PSD_PIXEL_RGBA8, rows.data(), 0), 0)
          << P.name << ": " << yvn2psd_last_error_message();
    }
    void* out = nullptr;
    size_t size = 0;
    ASSERT_EQ(yvn2psd_writer_finish(w, &out, &size), 0);
    yvn2psd_writer_close(w);
    const std::string want = ReadFile(dir / "p.yvn");
    EXPECT_TRUE(size == want.size() && std::memcmp(out, want.data(), size) == 0) << size << " / " << want.size();
    yvn2psd_free(out);
  }
}

}  // namespace
}  // namespace ts
