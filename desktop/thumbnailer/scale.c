#include "scale.h"

#include <stdlib.h>

struct yvn_scaler {
  uint32_t width, height, ow, oh;
  uint32_t y, oy;       /* next source row, output row it falls in */
  uint32_t* column;     /* source column -> output column */
  uint32_t* span;       /* output column -> source columns it covers */
  uint64_t* sum;        /* per output column: alpha, red * alpha, green * alpha, blue * alpha */
  unsigned char* out;
};

yvn_scaler* yvn_scaler_new(uint32_t width, uint32_t height, uint32_t ow, uint32_t oh) {
  if (ow < 1 || oh < 1 || ow > width || oh > height) return NULL;
  yvn_scaler* s = calloc(1, sizeof *s);
  if (!s) return NULL;
  s->width = width, s->height = height, s->ow = ow, s->oh = oh;
  s->column = malloc(sizeof *s->column * width);
  s->span = calloc(ow, sizeof *s->span);
  s->sum = calloc((size_t)ow * 4, sizeof *s->sum);
  s->out = calloc((size_t)ow * oh, 4);
  if (!s->column || !s->span || !s->sum || !s->out) {
    yvn_scaler_free(s);
    return NULL;
  }
  for (uint32_t ox = 0; ox < ow; ++ox) {
    uint32_t x0 = (uint32_t)((uint64_t)ox * width / ow), x1 = (uint32_t)((uint64_t)(ox + 1) * width / ow);
    for (uint32_t x = x0; x < x1; ++x) s->column[x] = ox;
    s->span[ox] = x1 - x0;
  }
  return s;
}

/* Closes output row s->oy, which covered `rows` source rows. */
static void emit(yvn_scaler* s, uint32_t rows) {
  unsigned char* o = s->out + (size_t)s->oy * s->ow * 4;
  for (uint32_t ox = 0; ox < s->ow; ++ox, o += 4) {
    uint64_t* t = s->sum + (size_t)ox * 4;
    uint64_t n = (uint64_t)s->span[ox] * rows, a = t[0];
    o[3] = (unsigned char)((2 * a + n) / (2 * n));
    for (int c = 0; c < 3; ++c) o[c] = a ? (unsigned char)((2 * t[1 + c] + a) / (2 * a)) : 0;
    t[0] = t[1] = t[2] = t[3] = 0;
  }
}

void yvn_scaler_add_rows(yvn_scaler* s, const unsigned char* rows, uint32_t count) {
  for (uint32_t r = 0; r < count && s->y < s->height; ++r) {
    const unsigned char* p = rows + (size_t)r * s->width * 4;
    for (uint32_t x = 0; x < s->width; ++x, p += 4) {
      uint64_t* t = s->sum + (size_t)s->column[x] * 4;
      uint32_t a = p[3];
      t[0] += a;
      t[1] += (uint32_t)p[0] * a;
      t[2] += (uint32_t)p[1] * a;
      t[3] += (uint32_t)p[2] * a;
    }
    ++s->y;
    uint32_t y0 = (uint32_t)((uint64_t)s->oy * s->height / s->oh);
    uint32_t y1 = (uint32_t)((uint64_t)(s->oy + 1) * s->height / s->oh);
    if (s->y == y1) {
      emit(s, y1 - y0);
      ++s->oy;
    }
  }
}

const unsigned char* yvn_scaler_pixels(const yvn_scaler* s) { return s->out; }

void yvn_scaler_free(yvn_scaler* s) {
  if (!s) return;
  free(s->column);
  free(s->span);
  free(s->sum);
  free(s->out);
  free(s);
}
