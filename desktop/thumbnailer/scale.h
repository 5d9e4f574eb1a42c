/* Scales 8-bit straight RGBA down by whole source pixels, fed a row at a
 * time: output pixel (ox, oy) covers source columns [ox * W / ow,
 * (ox + 1) * W / ow) and rows [oy * H / oh, (oy + 1) * H / oh), rounded
 * down. Its transparency is the mean of theirs, its colour their mean
 * weighted by transparency, both rounded half up; fully transparent areas
 * give transparent black. Integer arithmetic only, so that another
 * implementation of the same rule gives the same bytes. */
#ifndef YVN_DESKTOP_SCALE_H
#define YVN_DESKTOP_SCALE_H

#include <stdint.h>

typedef struct yvn_scaler yvn_scaler;

/* 1 <= ow <= width, 1 <= oh <= height; NULL when out of memory. */
yvn_scaler* yvn_scaler_new(uint32_t width, uint32_t height, uint32_t ow, uint32_t oh);
/* The next `count` source rows, width * 4 bytes each, back to back. */
void yvn_scaler_add_rows(yvn_scaler* s, const unsigned char* rows, uint32_t count);
/* The ow x oh result, complete once every source row was added. */
const unsigned char* yvn_scaler_pixels(const yvn_scaler* s);
void yvn_scaler_free(yvn_scaler* s);

#endif
