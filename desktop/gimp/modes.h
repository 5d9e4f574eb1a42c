/* Blend modes between the library's PSD keys and GIMP's layer modes. */
#ifndef YVN_DESKTOP_GIMP_MODES_H
#define YVN_DESKTOP_GIMP_MODES_H

#include <libgimp/gimp.h>

/* The GIMP mode GIMP's PSD loader gives a layer of this PSD key (4
 * characters, any letter case); GIMP_LAYER_MODE_NORMAL for any other. */
GimpLayerMode yvn_gimp_mode_from_psd_key(const char* key);
/* The PSD key GIMP's PSD exporter writes for a mode; "norm" for a mode it
 * has none for. */
const char* yvn_gimp_mode_psd_key(GimpLayerMode mode);

#endif
