#include "blend/modes.h"

#include <cstring>

namespace blend {
namespace {

struct ColorModeRow {
  uint8_t id;
  const char* name;       // as stored in the native file
  const char* psdWrite;   // the PSD key written for this id
  const char* psdRead[3]; // PSD keys read as this id (null-terminated list)
  bool hasKernel;
};

struct AlphaModeRow {
  uint32_t id;
  const char* name;
};

// One row per colour mode. A mode without a kernel is carried through files
// unchanged but writes "norm" to PSD, since no reader would render it as we do.
const ColorModeRow kColorModes[] = {
    {0, "user", "norm", {nullptr}, false},
    {1, "normal", "norm", {"norm", nullptr}, true},
    {2, "back", "norm", {nullptr}, true},
    {3, "mul", "mul ", {"mul ", nullptr}, true},
    {4, "add", "lddg", {"lddg", nullptr}, true},
    {5, "sub", "fsub", {"fsub", nullptr}, true},
    {6, "screen", "scrn", {"scrn", nullptr}, true},
    {7, "overlay", "over", {"over", nullptr}, true},
    {8, "darken_lum", "dkCl", {"dkCl", nullptr}, true},
    {9, "lighten_lum", "lgCl", {"lgCl", nullptr}, true},
    {10, "hard_light", "hLit", {"hLit", nullptr}, true},
    {11, "soft_light", "sLit", {"sLit", nullptr}, true},
    {12, "vivid_light", "vLit", {"vLit", nullptr}, true},
    {13, "linear_light", "lLit", {"lLit", nullptr}, true},
    {14, "pin_light", "pLit", {"pLit", nullptr}, true},
    {15, "color_dodge", "div ", {"div ", nullptr}, true},
    {16, "color_burn", "idiv", {"idiv", nullptr}, true},
    {17, "linear_burn", "lbrn", {"lbrn", nullptr}, true},
    {18, "darken", "dark", {"dark", "diss", nullptr}, true},
    {19, "lighten", "lite", {"lite", nullptr}, true},
    {20, "difference", "diff", {"diff", nullptr}, true},
    {21, "exclusion", "smud", {"smud", nullptr}, true},
    {50, "hue", "hue ", {"hue ", nullptr}, true},
    {51, "saturation", "sat ", {"sat ", nullptr}, true},
    {52, "color", "colr", {"colr", nullptr}, true},
    {53, "luminance", "lum ", {"lum ", nullptr}, true},
};

const AlphaModeRow kAlphaModes[] = {
    {0, "def"},      {1, "lerp"},     {2, "add_norm"}, {4, "modulate"}, {8, "add_sat"},
    {16, "max"},     {0x100, "ex0"},  {0x200, "ex1"},  {0x400, "ex2"},  {0x800, "ex3"},
    {0x1000, "ex4"}, {0x2000, "ex5"}, {0x4000, "ex6"}, {0x8000, "ex7"},
};

const ColorModeRow* RowForId(uint8_t id) {
  for (const auto& row : kColorModes)
    if (row.id == id) return &row;
  return nullptr;
}

}  // namespace

uint8_t ColorModeByName(const std::string& name) {
  for (const auto& row : kColorModes)
    if (name == row.name) return row.id;
  return 255;
}

const char* ColorModeName(uint8_t id) {
  const ColorModeRow* row = RowForId(id);
  return row ? row->name : nullptr;
}

int64_t AlphaModeByName(const std::string& name) {
  for (const auto& row : kAlphaModes)
    if (name == row.name) return row.id;
  return -1;
}

const char* AlphaModeName(uint32_t id) {
  for (const auto& row : kAlphaModes)
    if (row.id == id) return row.name;
  return nullptr;
}

const char* PsdKeyForColorMode(uint8_t id) {
  const ColorModeRow* row = RowForId(id);
  return row && row->hasKernel ? row->psdWrite : "norm";
}

uint8_t ColorModeForPsdKey(const char key[4]) {
  for (const auto& row : kColorModes)
    for (const char* const* k = row.psdRead; *k; ++k)
      if (std::memcmp(*k, key, 4) == 0) return row.id;
  return 1;
}

}  // namespace blend
