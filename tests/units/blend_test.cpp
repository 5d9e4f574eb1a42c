// The blend kernels against the literal evaluation of support/reference.h on
// random valid pixels, through every entry point, colour mode, alpha mode,
// flag combination and opacity class; and the mode table both ways.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>

#include "blend/kernels.h"
#include "blend/modes.h"
#include "support/reference.h"
#include "support/support.h"

namespace {

// Rounds per combination with a kernel; the sanitizer build runs fewer.
int Rounds() {
  if (const char* env = std::getenv("YVN_BLEND_ROUNDS")) return std::max(1, std::atoi(env));
#ifdef YVN_ASAN
  return 4;
#else
  return 8;
#endif
}

class Gen {
 public:
  explicit Gen(uint32_t seed) : rng_(seed) {}
  uint32_t Below(uint32_t n) { return uint32_t(rng_() % n); }

  // Extremes, halves and any value up to the alpha.
  uint32_t Channel(uint32_t a) {
    const uint32_t k = Below(8);
    return k == 0 ? 0 : k == 1 ? a : k == 2 ? a / 2 : Below(a + 1);
  }
  // Transparent, opaque, faint, nearly opaque or any alpha; some gray or black.
  PixelRGBA Pixel() {
    const uint32_t k = Below(10);
    const uint32_t a =
        k == 0 ? 0 : k < 3 ? 16384 : k == 3 ? 1 + Below(64) : k == 4 ? 16384 - Below(64) : Below(16385);
    uint32_t c0 = Channel(a), c1 = Channel(a), c2 = Channel(a);
    const uint32_t kind = Below(8);
    if (kind == 0) c1 = c2 = c0;
    if (kind == 1) c0 = c1 = c2 = 0;
    return PixelRGBA{uint16_t(c0), uint16_t(c1), uint16_t(c2), uint16_t(a)};
  }
  uint16_t Coverage() {
    const uint32_t k = Below(6);
    return uint16_t(k == 0 ? 0 : k == 1 ? 16384 : Below(16385));
  }

 private:
  std::mt19937 rng_;
};

std::string Show(const PixelRGBA& p) {
  return "(" + std::to_string(p.r) + "," + std::to_string(p.g) + "," + std::to_string(p.b) + "," +
         std::to_string(p.a) + ")";
}

// Runs every entry point once with fresh random data and checks each pixel.
// Returns the number of mismatches (the first few are reported).
int CheckAllEntries(Gen& g, const kzm::Blend& b, uint16_t o, int& reported) {
  std::array<PixelRGBA, 64> d, s, out;
  std::array<uint16_t, 64> mask;
  for (int i = 0; i < 64; ++i) d[i] = g.Pixel(), s[i] = g.Pixel(), mask[i] = g.Coverage();
  const PixelRGBA color = g.Pixel(), fill = g.Pixel();
  PixelRGBA* const end = out.data() + 64;
  // Each entry point, the pixels it writes, and whether it blends onto a
  // fill, a colour and through a mask.
  struct Entry {
    const char* name;
    int pixels;
    bool fromFill, colour, masked;
    std::function<void()> run;
  } const entries[] = {
      {"BlendColorOnFill", 1, false, true, false, [&] { blend::BlendColorOnFill(out.data(), color, o, b); }},
      {"BlendColor", 64, false, true, false, [&] { blend::BlendColor(out.data(), end, color, o, b); }},
      {"BlendPixels", 64, false, false, false, [&] { blend::BlendPixels(out.data(), end, s.data(), o, b); }},
      {"BlendPixelsMasked", 64, false, false, true,
       [&] { blend::BlendPixelsMasked(out.data(), end, s.data(), o, mask.data(), b); }},
      {"BlendColorMasked", 64, false, true, true,
       [&] { blend::BlendColorMasked(out.data(), end, color, o, mask.data(), b); }},
      {"BlendPixelsFromFill", 64, true, false, false,
       [&] { blend::BlendPixelsFromFill(out.data(), fill, s.data(), o, b); }},
      {"BlendPixelsMaskedFromFill", 64, true, false, true,
       [&] { blend::BlendPixelsMaskedFromFill(out.data(), fill, s.data(), o, mask.data(), b); }},
      {"BlendColorMaskedFromFill", 64, true, true, true,
       [&] { blend::BlendColorMaskedFromFill(out.data(), fill, color, o, mask.data(), b); }},
  };
  int bad = 0;
  for (const Entry& e : entries) {
    out = d;
    e.run();
    for (int i = 0; i < e.pixels; ++i) {
      const PixelRGBA &dst = e.fromFill ? fill : d[i], &src = e.colour ? color : s[i];
      const uint32_t eo = e.masked ? std::min<uint32_t>((uint32_t(mask[i]) * o) >> 14, 16384) : o;
      const PixelRGBA want = blendref::Blend(dst, src, eo, b.word0, b.word1);
      if (out[i] == want) continue;
      ++bad;
      if (reported++ < 12)
        ADD_FAILURE() << e.name << " word0=0x" << std::hex << b.word0 << " word1=0x" << b.word1 << std::dec
                      << " pixel " << i << " D=" << Show(dst) << " S=" << Show(src) << " o=" << eo << " got "
                      << Show(out[i]) << " want " << Show(want);
    }
  }
  return bad;
}

const uint32_t kAlphaModes[] = {0, 1, 2, 4, 8, 16, 0x100, 0x8000, 3};
const uint32_t kFlags[] = {0, 0x8000, 0x10000, 0x30000, 0x18000, 0x38000, 0x20000, 0x28000, 0x100, 0x40000};

class RandomAgainstReference : public ::testing::TestWithParam<int> {};

TEST_P(RandomAgainstReference, EveryAlphaModeFlagAndOpacity) {
  const int mode = GetParam();
  const int rounds = Rounds();
  Gen g(1234u + uint32_t(mode));
  int reported = 0, bad = 0;
  long pixels = 0;
  for (uint32_t am : kAlphaModes) {
    for (uint32_t flags : kFlags) {
      const kzm::Blend b{flags | uint32_t(mode), am};
      const bool groupBlends = flags == 0 || flags == 0x8000 || flags == 0x10000 ||
                               flags == 0x30000 || flags == 0x18000 || flags == 0x38000;
      const bool kernel = groupBlends && blendref::HasKernel(mode, am);
      const int n = kernel ? rounds * 3 : 3;
      for (int r = 0; r < n; ++r) {
        // Opacity classes: full, partial, zero.
        const uint16_t o = r % 3 == 0 ? 16384 : r % 3 == 1 ? uint16_t(1 + g.Below(16383)) : 0;
        bad += CheckAllEntries(g, b, o, reported);
        pixels += 64 * 7 + 1;
      }
    }
  }
  EXPECT_EQ(bad, 0) << "of " << pixels << " pixels";
}

// Every colour mode that has a name, and two ids that have none.
std::vector<int> AllModeIds() {
  std::vector<int> ids;
  for (int id = 0; id < 255; ++id)
    if (blend::ColorModeName(uint8_t(id))) ids.push_back(id);
  ids.push_back(22);
  ids.push_back(255);
  return ids;
}

INSTANTIATE_TEST_SUITE_P(Modes, RandomAgainstReference, ::testing::ValuesIn(AllModeIds()),
                         [](const ::testing::TestParamInfo<int>& info) {
                           const char* name = blend::ColorModeName(uint8_t(info.param));
                           return std::string(name ? name : "id") + "_" + std::to_string(info.param);
                         });

TEST(ModeTable, NamesIdsAndKeysAgreeBothWays) {
  int named = 0;
  for (int id = 0; id < 256; ++id) {
    const char* name = blend::ColorModeName(uint8_t(id));
    if (!name) continue;
    ++named;
    SCOPED_TRACE(name);
    EXPECT_EQ(blend::ColorModeByName(name), id);
    // The key written reads back as this mode, where the mode writes a key of
    // its own ("user" and "back" write "norm").
    const std::string key(blend::PsdKeyForColorMode(uint8_t(id)), 4);
    if (key != "norm") {
      EXPECT_EQ(blend::ColorModeForPsdKey(key.c_str()), id) << key;
    }
  }
  EXPECT_EQ(named, 26);
  EXPECT_EQ(std::string(blend::PsdKeyForColorMode(0), 4), "norm");
  EXPECT_EQ(std::string(blend::PsdKeyForColorMode(2), 4), "norm");
  EXPECT_EQ(blend::ColorModeForPsdKey("diss"), 18);  // dissolve reads as darken
  for (const char* other : {"norm", "fdiv", "hMix", "pass", "xxxx", "NORM"}) EXPECT_EQ(blend::ColorModeForPsdKey(other), 1) << other;
  EXPECT_EQ(blend::ColorModeByName("Normal"), 255);
  int alphaNamed = 0;
  for (uint32_t id : {0u, 1u, 2u, 4u, 8u, 16u, 32u, 0x100u, 0x200u, 0x400u, 0x800u, 0x1000u, 0x2000u, 0x4000u, 0x8000u}) {
    const char* name = blend::AlphaModeName(id);
    if (!name) continue;
    ++alphaNamed;
    EXPECT_EQ(blend::AlphaModeByName(name), int64_t(id)) << name;
  }
  EXPECT_EQ(alphaNamed, 14);
  EXPECT_EQ(blend::AlphaModeByName("modulate "), -1);
}

}  // namespace
