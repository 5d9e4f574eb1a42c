/* The module's side of the JavaScript API: sources and progress served by
 * JavaScript (a browser's File, a Node file descriptor, a buffer), read
 * straight into the module's memory, and the read and write handles'
 * structures as flat arrays that JavaScript reads without knowing their
 * layout. */
#include <emscripten.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "yvn2psd.h"

/* Module.yvnRead copies up to `size` bytes of source `id` from `offset` to
 * `buffer` and returns the count, or -1. Offsets stay below 2^53. */
#if defined(__EMSCRIPTEN_PTHREADS__)
/* module/threads-lib.js: made on the main thread. */
double yvnw_js_read(int id, double offset, void* buffer, size_t size);
#else
EM_JS(double, yvnw_js_read, (int id, double offset, void* buffer, size_t size), {
  return Module.yvnRead(id, offset, buffer >>> 0, size >>> 0);
});
#endif
/* Module.yvnProgress returns non-zero to cancel. */
EM_JS(int, yvnw_js_progress, (int id, int stage, int phase, int phases, int percent, int finished, int status), {
  return Module.yvnProgress(id, stage, phase, phases, percent, finished, status);
});

static int64_t read_js(void* user, uint64_t offset, void* buffer, size_t size) {
  return (int64_t)yvnw_js_read((int)(intptr_t)user, (double)offset, buffer, size);
}

static int progress_js(void* user, const yvn2psd_progress* p) {
  return yvnw_js_progress((int)(intptr_t)user, p->stage, (int)p->phase, (int)p->phases, (int)p->percent,
                          p->finished, p->status);
}

/* Options with the values JavaScript passes; progress_id 0 for none. Freed
 * with free(). The charset string, when given, stays the caller's. */
EMSCRIPTEN_KEEPALIVE yvn2psd_options* yvnw_options(int compress, int psd_depth, int source_format, int progress_id,
                                                   const char* charset) {
  yvn2psd_options* o = (yvn2psd_options*)malloc(sizeof *o);
  if (!o) return NULL;
  yvn2psd_options_init(o);
  o->compress = compress;
  o->psd_depth = psd_depth;
  o->source_format = source_format;
  o->psd_name_charset = charset;
  if (progress_id) {
    o->progress = progress_js;
    o->progress_user = (void*)(intptr_t)progress_id;
  }
  return o;
}

/* A source read through Module.yvnRead; freed with free() once nothing
 * reads it. */
EMSCRIPTEN_KEEPALIVE yvn2psd_source* yvnw_source(int id, double size) {
  yvn2psd_source* s = (yvn2psd_source*)malloc(sizeof *s);
  if (!s) return NULL;
  s->size = (uint64_t)size;
  s->read = read_js;
  s->user = (void*)(intptr_t)id;
  return s;
}

/* out[0] the converted bytes (yvn2psd_free), out[1] their count. */
EMSCRIPTEN_KEEPALIVE int yvnw_convert(const yvn2psd_source* source, const yvn2psd_options* options, uint32_t* out) {
  void* data = NULL;
  size_t size = 0;
  const int code = yvn2psd_convert_source(source, &data, &size, options);
  out[0] = (uint32_t)(uintptr_t)data;
  out[1] = (uint32_t)size;
  return code;
}

/* out[0] the document handle. */
EMSCRIPTEN_KEEPALIVE int yvnw_open(const yvn2psd_source* source, const yvn2psd_options* options, uint32_t* out) {
  yvn2psd_document* d = NULL;
  const int code = yvn2psd_open_source(source, options, &d);
  out[0] = (uint32_t)(uintptr_t)d;
  return code;
}

/* format, width, height, layer_count, depth, version. */
EMSCRIPTEN_KEEPALIVE int yvnw_document_info(yvn2psd_document* d, uint32_t* out) {
  yvn2psd_document_info info;
  const int code = yvn2psd_document_info_get(d, &info);
  if (code) return code;
  out[0] = (uint32_t)info.format;
  out[1] = info.width;
  out[2] = info.height;
  out[3] = info.layer_count;
  out[4] = info.depth;
  out[5] = info.version;
  return 0;
}

/* name (pointer), left, top, right, bottom, opacity, opacity_exact, visible,
 * blend, clipping, lock_transparency, lock_pixels, working_layer, psd_key
 * (pointer). */
EMSCRIPTEN_KEEPALIVE int yvnw_layer_info(yvn2psd_document* d, uint32_t index, int32_t* out) {
  static yvn2psd_layer_info info;
  const int code = yvn2psd_layer_info_get(d, index, &info);
  if (code) return code;
  out[0] = (int32_t)(uintptr_t)info.name;
  out[1] = info.left;
  out[2] = info.top;
  out[3] = info.right;
  out[4] = info.bottom;
  out[5] = (int32_t)info.opacity;
  out[6] = (int32_t)info.opacity_exact;
  out[7] = info.visible;
  out[8] = info.blend;
  out[9] = info.clipping;
  out[10] = info.lock_transparency;
  out[11] = info.lock_pixels;
  out[12] = info.working_layer;
  out[13] = (int32_t)(uintptr_t)info.psd_key;
  return 0;
}

/* out[0] the writer handle. */
EMSCRIPTEN_KEEPALIVE int yvnw_writer_create(int format, uint32_t width, uint32_t height,
                                            const yvn2psd_options* options, uint32_t* out) {
  yvn2psd_writer* w = NULL;
  const int code = yvn2psd_writer_create_memory(format, width, height, options, &w);
  out[0] = (uint32_t)(uintptr_t)w;
  return code;
}

/* A whole layer: its properties as yvn2psd_layer_info names them, in the
 * order of yvnw_layer_info (values[0] unused), and its pixels. */
EMSCRIPTEN_KEEPALIVE int yvnw_writer_add_layer(yvn2psd_writer* w, const char* name, const int32_t* values,
                                               int pixel_format, const void* pixels, size_t stride) {
  yvn2psd_layer_info info;
  memset(&info, 0, sizeof info);
  info.name = name;
  info.left = values[1];
  info.top = values[2];
  info.right = values[3];
  info.bottom = values[4];
  info.opacity = (uint32_t)values[5];
  info.opacity_exact = (uint32_t)values[6];
  info.visible = values[7];
  info.blend = values[8];
  info.clipping = values[9];
  info.lock_transparency = values[10];
  info.lock_pixels = values[11];
  return yvn2psd_writer_add_layer(w, &info, pixel_format, pixels, stride);
}

/* out[0] the file's bytes (yvn2psd_free), out[1] their count. */
EMSCRIPTEN_KEEPALIVE int yvnw_writer_finish(yvn2psd_writer* w, uint32_t* out) {
  void* data = NULL;
  size_t size = 0;
  const int code = yvn2psd_writer_finish(w, &data, &size);
  out[0] = (uint32_t)(uintptr_t)data;
  out[1] = (uint32_t)size;
  return code;
}
