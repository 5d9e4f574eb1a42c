// The colour-mode and alpha-mode tables, looked up every way.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "blend/modes.h"

namespace {

struct Row {
  int id;
  const char* name;
  const char* written;
  const char* read1;
  const char* read2;
  bool kernel;
};

const Row kExpected[] = {
    {0, "user", "norm", nullptr, nullptr, false},
    {1, "normal", "norm", "norm", nullptr, true},
    {2, "back", "norm", nullptr, nullptr, true},
    {3, "mul", "mul ", "mul ", nullptr, true},
    {4, "add", "lddg", "lddg", nullptr, true},
    {5, "sub", "fsub", "fsub", nullptr, true},
    {6, "screen", "scrn", "scrn", nullptr, true},
    {7, "overlay", "over", "over", nullptr, true},
    {8, "darken_lum", "dkCl", "dkCl", nullptr, true},
    {9, "lighten_lum", "lgCl", "lgCl", nullptr, true},
    {10, "hard_light", "hLit", "hLit", nullptr, true},
    {11, "soft_light", "sLit", "sLit", nullptr, true},
    {12, "vivid_light", "vLit", "vLit", nullptr, true},
    {13, "linear_light", "lLit", "lLit", nullptr, true},
    {14, "pin_light", "pLit", "pLit", nullptr, true},
    {15, "color_dodge", "div ", "div ", nullptr, true},
    {16, "color_burn", "idiv", "idiv", nullptr, true},
    {17, "linear_burn", "lbrn", "lbrn", nullptr, true},
    {18, "darken", "dark", "dark", "diss", true},
    {19, "lighten", "lite", "lite", nullptr, true},
    {20, "difference", "diff", "diff", nullptr, true},
    {21, "exclusion", "smud", "smud", nullptr, true},
    {50, "hue", "hue ", "hue ", nullptr, true},
    {51, "saturation", "sat ", "sat ", nullptr, true},
    {52, "color", "colr", "colr", nullptr, true},
    {53, "luminance", "lum ", "lum ", nullptr, true},
};

std::string Key(const char* k) { return std::string(k, 4); }

TEST(ColorModes, TableHasTheTwentySixRowsInOrder) {
  int n = 0;
  const blend::ColorModeRow* rows = blend::ColorModeTable(&n);
  ASSERT_EQ(n, 26);
  for (int i = 0; i < n; ++i) {
    SCOPED_TRACE(kExpected[i].name);
    EXPECT_EQ(rows[i].id, kExpected[i].id);
    EXPECT_STREQ(rows[i].name, kExpected[i].name);
    EXPECT_EQ(rows[i].hasKernel, kExpected[i].kernel);
  }
}

TEST(ColorModes, NameAndIdBothWays) {
  for (const Row& r : kExpected) {
    EXPECT_EQ(blend::ColorModeByName(r.name), r.id) << r.name;
    EXPECT_STREQ(blend::ColorModeName(uint8_t(r.id)), r.name);
    EXPECT_EQ(blend::ColorModeHasKernel(uint8_t(r.id)), r.kernel) << r.name;
  }
  EXPECT_EQ(blend::ColorModeByName("Normal"), 255);
  EXPECT_EQ(blend::ColorModeByName("normal "), 255);
  EXPECT_EQ(blend::ColorModeByName(""), 255);
  EXPECT_EQ(blend::ColorModeByName("hue "), 255);
  EXPECT_EQ(blend::ColorModeName(22), nullptr);
  EXPECT_EQ(blend::ColorModeName(255), nullptr);
  EXPECT_FALSE(blend::ColorModeHasKernel(22));
}

TEST(ColorModes, PsdKeysBothWays) {
  for (const Row& r : kExpected) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(Key(blend::PsdKeyForColorMode(uint8_t(r.id))), r.written);
    if (r.read1) {
      EXPECT_EQ(blend::ColorModeForPsdKey(r.read1), r.id);
    }
    if (r.read2) {
      EXPECT_EQ(blend::ColorModeForPsdKey(r.read2), r.id);
    }
  }
  EXPECT_EQ(Key(blend::PsdKeyForColorMode(200)), "norm");
  EXPECT_EQ(blend::ColorModeForPsdKey("diss"), 18);
  EXPECT_EQ(blend::ColorModeForPsdKey("lddg"), 4);
  EXPECT_EQ(blend::ColorModeForPsdKey("div "), 15) << "colour dodge, no longer add";
  for (const char* unknown : {"pass", "hMix", "fdiv", "xxxx", "NORM", "HLIT", "div\0", "mul\0"})
    EXPECT_EQ(blend::ColorModeForPsdKey(unknown), 1) << Key(unknown);
}

TEST(ColorModes, WrittenKeyReadsBackForEveryModeWithItsOwnKey) {
  for (const Row& r : kExpected) {
    const uint8_t back = blend::ColorModeForPsdKey(blend::PsdKeyForColorMode(uint8_t(r.id)));
    if (std::strcmp(r.written, "norm") == 0) EXPECT_EQ(back, 1) << r.name;
    else EXPECT_EQ(back, r.id) << r.name;
  }
}

// PSD -> native -> PSD: which layer keys come back as themselves.
TEST(ColorModes, TwentyFourPsdKeysSurviveARoundTrip) {
  const char* survivors[] = {"norm", "mul ", "lddg", "fsub", "scrn", "over", "dkCl", "lgCl",
                             "hLit", "sLit", "vLit", "lLit", "pLit", "div ", "idiv", "lbrn",
                             "dark", "lite", "diff", "smud", "hue ", "sat ", "colr", "lum "};
  for (const char* k : survivors)
    EXPECT_EQ(Key(blend::PsdKeyForColorMode(blend::ColorModeForPsdKey(k))), Key(k));
  // Keys read as another mode come back as that mode's key.
  EXPECT_EQ(Key(blend::PsdKeyForColorMode(blend::ColorModeForPsdKey("diss"))), "dark");
  EXPECT_EQ(Key(blend::PsdKeyForColorMode(blend::ColorModeForPsdKey("hMix"))), "norm");
  EXPECT_EQ(Key(blend::PsdKeyForColorMode(blend::ColorModeForPsdKey("fdiv"))), "norm");
  // Every key that some row reads is one of the 24 or "diss".
  int n = 0, readKeys = 0;
  const blend::ColorModeRow* rows = blend::ColorModeTable(&n);
  for (int i = 0; i < n; ++i)
    for (const char* const* k = rows[i].psdRead; *k; ++k) ++readKeys;
  EXPECT_EQ(readKeys, 25);
}

TEST(AlphaModes, FourteenRowsBothWays) {
  const std::pair<uint32_t, const char*> expected[] = {
      {0, "def"},      {1, "lerp"},     {2, "add_norm"}, {4, "modulate"}, {8, "add_sat"},
      {16, "max"},     {0x100, "ex0"},  {0x200, "ex1"},  {0x400, "ex2"},  {0x800, "ex3"},
      {0x1000, "ex4"}, {0x2000, "ex5"}, {0x4000, "ex6"}, {0x8000, "ex7"}};
  int n = 0;
  const blend::AlphaModeRow* rows = blend::AlphaModeTable(&n);
  ASSERT_EQ(n, 14);
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(rows[i].id, expected[i].first);
    EXPECT_STREQ(rows[i].name, expected[i].second);
    EXPECT_EQ(blend::AlphaModeByName(expected[i].second), int64_t(expected[i].first));
    EXPECT_STREQ(blend::AlphaModeName(expected[i].first), expected[i].second);
  }
  EXPECT_EQ(blend::AlphaModeByName("ex8"), -1);
  EXPECT_EQ(blend::AlphaModeByName("Modulate"), -1);
  EXPECT_EQ(blend::AlphaModeName(3), nullptr);
  EXPECT_EQ(blend::AlphaModeName(0x104), nullptr);
}

}  // namespace
