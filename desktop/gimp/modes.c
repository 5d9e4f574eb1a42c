#include "modes.h"

/* GIMP 2.10's PSD plug-in maps keys and modes through one table in which
 * the first row of a key gives the mode it opens as, and the first row of a
 * mode the key it exports as. The same rows, in its order. */
static const struct {
  char key[5];
  GimpLayerMode mode;
} rows[] = {
  {"norm", GIMP_LAYER_MODE_NORMAL},          {"norm", GIMP_LAYER_MODE_NORMAL_LEGACY},
  {"diss", GIMP_LAYER_MODE_DISSOLVE},        {"mul ", GIMP_LAYER_MODE_MULTIPLY},
  {"mul ", GIMP_LAYER_MODE_MULTIPLY_LEGACY}, {"scrn", GIMP_LAYER_MODE_SCREEN},
  {"scrn", GIMP_LAYER_MODE_SCREEN_LEGACY},   {"over", GIMP_LAYER_MODE_OVERLAY},
  {"diff", GIMP_LAYER_MODE_DIFFERENCE},      {"diff", GIMP_LAYER_MODE_DIFFERENCE_LEGACY},
  {"lddg", GIMP_LAYER_MODE_ADDITION},        {"lddg", GIMP_LAYER_MODE_ADDITION_LEGACY},
  {"fsub", GIMP_LAYER_MODE_SUBTRACT},        {"fsub", GIMP_LAYER_MODE_SUBTRACT_LEGACY},
  {"dark", GIMP_LAYER_MODE_DARKEN_ONLY},     {"dark", GIMP_LAYER_MODE_DARKEN_ONLY_LEGACY},
  {"lite", GIMP_LAYER_MODE_LIGHTEN_ONLY},    {"lite", GIMP_LAYER_MODE_LIGHTEN_ONLY_LEGACY},
  {"hue ", GIMP_LAYER_MODE_LCH_HUE},         {"hue ", GIMP_LAYER_MODE_HSV_HUE},
  {"hue ", GIMP_LAYER_MODE_HSV_HUE_LEGACY},  {"sat ", GIMP_LAYER_MODE_LCH_CHROMA},
  {"sat ", GIMP_LAYER_MODE_HSV_SATURATION},  {"sat ", GIMP_LAYER_MODE_HSV_SATURATION_LEGACY},
  {"colr", GIMP_LAYER_MODE_LCH_COLOR},       {"colr", GIMP_LAYER_MODE_HSL_COLOR},
  {"colr", GIMP_LAYER_MODE_HSL_COLOR_LEGACY}, {"lum ", GIMP_LAYER_MODE_LCH_LIGHTNESS},
  {"lum ", GIMP_LAYER_MODE_HSV_VALUE},       {"lum ", GIMP_LAYER_MODE_HSV_VALUE_LEGACY},
  {"lum ", GIMP_LAYER_MODE_LUMINANCE},       {"fdiv", GIMP_LAYER_MODE_DIVIDE},
  {"fdiv", GIMP_LAYER_MODE_DIVIDE_LEGACY},   {"div ", GIMP_LAYER_MODE_DODGE},
  {"div ", GIMP_LAYER_MODE_DODGE_LEGACY},    {"idiv", GIMP_LAYER_MODE_BURN},
  {"idiv", GIMP_LAYER_MODE_BURN_LEGACY},     {"hLit", GIMP_LAYER_MODE_HARDLIGHT},
  {"hLit", GIMP_LAYER_MODE_HARDLIGHT_LEGACY}, {"sLit", GIMP_LAYER_MODE_SOFTLIGHT},
  {"sLit", GIMP_LAYER_MODE_SOFTLIGHT_LEGACY}, {"sLit", GIMP_LAYER_MODE_OVERLAY_LEGACY},
  {"vLit", GIMP_LAYER_MODE_VIVID_LIGHT},     {"pLit", GIMP_LAYER_MODE_PIN_LIGHT},
  {"lLit", GIMP_LAYER_MODE_LINEAR_LIGHT},    {"hMix", GIMP_LAYER_MODE_HARD_MIX},
  {"smud", GIMP_LAYER_MODE_EXCLUSION},       {"lbrn", GIMP_LAYER_MODE_LINEAR_BURN},
  {"dkCl", GIMP_LAYER_MODE_LUMA_DARKEN_ONLY}, {"lgCl", GIMP_LAYER_MODE_LUMA_LIGHTEN_ONLY},
  {"pass", GIMP_LAYER_MODE_PASS_THROUGH},
};

GimpLayerMode yvn_gimp_mode_from_psd_key(const char* key) {
  for (size_t i = 0; i < G_N_ELEMENTS(rows); ++i)
    if (g_ascii_strncasecmp(key, rows[i].key, 4) == 0) return rows[i].mode;
  return GIMP_LAYER_MODE_NORMAL;
}

const char* yvn_gimp_mode_psd_key(GimpLayerMode mode) {
  for (size_t i = 0; i < G_N_ELEMENTS(rows); ++i)
    if (rows[i].mode == mode) return rows[i].key;
  return "norm";
}
