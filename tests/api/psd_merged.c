#include "psd_merged.h"

#include <stdlib.h>
#include <string.h>

static uint64_t Be(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}

/* PackBits: a header byte n; 0..127 copies n + 1 bytes, -127..-1 repeats the
 * next byte 1 - n times, -128 is nothing. */
static int Unpack(const uint8_t* in, size_t n, uint8_t* out, size_t want) {
  size_t i = 0, o = 0;
  while (o < want) {
    if (i >= n) return -1;
    const int h = (int8_t)in[i++];
    if (h >= 0) {
      if (i + (size_t)h + 1 > n || o + (size_t)h + 1 > want) return -1;
      memcpy(out + o, in + i, (size_t)h + 1);
      i += (size_t)h + 1, o += (size_t)h + 1;
    } else if (h != -128) {
      if (i >= n || o + (size_t)(1 - h) > want) return -1;
      memset(out + o, in[i++], (size_t)(1 - h));
      o += (size_t)(1 - h);
    }
  }
  return 0;
}

int PsdMergedPlanes(const uint8_t* f, size_t size, uint32_t* width, uint32_t* height, uint8_t** planes) {
  *planes = NULL;
  if (size < 26 || memcmp(f, "8BPS", 4) != 0) return -1;
  const int version = (int)Be(f + 4, 2);
  const uint32_t channels = (uint32_t)Be(f + 12, 2), h = (uint32_t)Be(f + 14, 4), w = (uint32_t)Be(f + 18, 4);
  if (Be(f + 22, 2) != 8 || Be(f + 24, 2) != 3 || channels < 4 || (version != 1 && version != 2)) return -1;
  size_t at = 26;
  /* Colour mode data, image resources, layer and mask information. */
  for (int s = 0; s < 3; ++s) {
    const int len = s == 2 && version == 2 ? 8 : 4;
    if (at + (size_t)len > size || Be(f + at, len) > size - at - (size_t)len) return -1;
    at += (size_t)len + (size_t)Be(f + at, len);
  }
  if (at + 2 > size) return -1;
  const uint64_t compression = Be(f + at, 2);
  at += 2;
  const size_t plane = (size_t)w * h;
  uint8_t* out = malloc(plane > 0 ? plane * 4 : 1);
  if (compression == 0) {
    if (plane * channels > size - at) goto bad;
    memcpy(out, f + at, plane * 4);
  } else if (compression == 1) {
    const int cb = version == 2 ? 4 : 2;
    const size_t rows = (size_t)h * channels;
    if (rows * (size_t)cb > size - at) goto bad;
    size_t data = at + rows * (size_t)cb;
    for (size_t r = 0; r < (size_t)h * 4; ++r) {
      const size_t n = (size_t)Be(f + at + r * (size_t)cb, cb);
      if (n > size - data || Unpack(f + data, n, out + r * w, w) != 0) goto bad;
      data += n;
    }
  } else {
    goto bad;
  }
  *width = w, *height = h, *planes = out;
  return 0;
bad:
  free(out);
  return -1;
}
