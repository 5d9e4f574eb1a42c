/* The library through its public header, compiled as C99, against the
 * program's own conversions of the same files; misuse, damage, threads and
 * what the library must leave of its host.
 *   api_test CASE   exit 0 when it passes, 77 when skipped.
 * Environment: YVN2PSD_EXE (the program), YVN_TEST_DATA, YVN_PSD_CORPUS. */
#define _POSIX_C_SOURCE 200809L
#include <locale.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "yvn2psd.h"
#include "psd_merged.h"

static int g_failures;
static char g_at[1024] = "";
#define FAIL(...) (fprintf(stderr, __VA_ARGS__), fprintf(stderr, " (%s)\n", g_at), ++g_failures)
#define CHECK(cond)                                                   \
  do {                                                                \
    if (!(cond)) FAIL("%s:%d: %s failed", __FILE__, __LINE__, #cond); \
  } while (0)
#define CHECK_CODE(call, want)                                                                          \
  do {                                                                                                  \
    const int got_ = (call);                                                                            \
    if (got_ != (want))                                                                                 \
      FAIL("%s:%d: %s gave %d (%s), not %d", __FILE__, __LINE__, #call, got_, yvn2psd_last_error_message(), \
           (int)(want));                                                                                \
  } while (0)

/* ------------------------------------------------------------- files */

typedef struct {
  uint8_t* data;
  size_t size;
} Bytes;

static Bytes ReadAll(const char* path) {
  Bytes b = {NULL, 0};
  FILE* f = fopen(path, "rb");
  if (!f) return b;
  fseek(f, 0, SEEK_END);
  const long n = ftell(f);
  fseek(f, 0, SEEK_SET);
  b.data = malloc(n > 0 ? (size_t)n : 1);
  b.size = fread(b.data, 1, (size_t)n, f);
  fclose(f);
  return b;
}

static int SameBytes(const void* a, size_t an, const void* b, size_t bn) {
  return an == bn && (an == 0 || memcmp(a, b, an) == 0);
}

static char g_tmp[256];

static const char* Tmp(const char* name) {
  static char buf[8][512];
  static int next;
  char* p = buf[next++ % 8];
  snprintf(p, 512, "%s/%s", g_tmp, name);
  return p;
}

/* Runs a shell command made from a format; 0 when it exits 0. */
static int Shell(const char* format, const char* a, const char* b) {
  char cmd[4096];
  snprintf(cmd, sizeof cmd, format, g_tmp, a, b);
  return system(cmd);
}

/* Runs the program with arguments (shell words) in the temporary folder. */
static int Program(const char* args) {
  return Shell("cd '%s' && '%s' -q -W %s >/dev/null", getenv("YVN2PSD_EXE"), args);
}

/* Copies a file into the temporary folder, or writes text there. */
static int Copy(const char* from, const char* name) { return Shell("cd '%s' && cp '%s' '%s'", from, name); }
static int WriteText(const char* name, const char* text) { return Shell("cd '%s' && printf %%s '%s' >'%s'", text, name); }

/* The files the cases go over: the golden inputs of a kind ("psd" takes PSB
 * too), then the corpus's. */
enum { kMaxFiles = 48, kPathBytes = 1024 };
typedef struct {
  char path[kMaxFiles][kPathBytes];
  int n;
} Files;

static Files SourceFiles(const char* kind) {
  Files f;
  char cmd[4096];
  const char* corpus = getenv("YVN_PSD_CORPUS") ? getenv("YVN_PSD_CORPUS") : "/nonexistent";
  snprintf(cmd, sizeof cmd, "ls -d '%s'/golden/*/input.%s 2>/dev/null; ls -d '%s'/*.%s 2>/dev/null",
           getenv("YVN_TEST_DATA"), kind, corpus, strcmp(kind, "psd") == 0 ? "ps[db]" : kind);
  FILE* p = popen(cmd, "r");
  for (f.n = 0; f.n < kMaxFiles && fgets(f.path[f.n], kPathBytes, p); ++f.n)
    f.path[f.n][strcspn(f.path[f.n], "\n")] = '\0';
  pclose(p);
  return f;
}

static yvn2psd_options Overwriting(void) {
  yvn2psd_options o;
  yvn2psd_options_init(&o);
  o.overwrite = 1;
  return o;
}

/* ------------------------------------------------------------- documents */

typedef struct {
  yvn2psd_layer_info info;
  char name[256];
  uint16_t* px; /* cells over the rectangle */
} Layer;

typedef struct {
  yvn2psd_document_info info;
  Layer* layers;
  uint16_t *merged, *thumbnail;
  uint32_t tw, th;
} Doc;

static yvn2psd_document* Open(const char* path) {
  yvn2psd_document* d = NULL;
  CHECK_CODE(yvn2psd_open_file(path, NULL, &d), 0);
  return d;
}

/* Reads the whole document, closes it and returns the first failure's code. */
static int ReadDoc(yvn2psd_document* d, Doc* out, int form) {
  memset(out, 0, sizeof *out);
  int code = d ? yvn2psd_document_info_get(d, &out->info) : YVN2PSD_ERR_INVALID_ARGUMENT;
  out->layers = calloc(out->info.layer_count + 1, sizeof(Layer));
  for (uint32_t i = 0; code == 0 && i < out->info.layer_count; ++i) {
    Layer* l = &out->layers[i];
    if ((code = yvn2psd_layer_info_get(d, i, &l->info)) != 0) break;
    snprintf(l->name, sizeof l->name, "%s", l->info.name);
    l->info.name = l->name;
    const uint32_t w = (uint32_t)(l->info.right - l->info.left), h = (uint32_t)(l->info.bottom - l->info.top);
    const size_t size = yvn2psd_buffer_size(form, w, h, 0);
    l->px = malloc(size ? size : 1);
    code = yvn2psd_read_layer(d, i, form, l->px, 0, size);
  }
  const size_t size = yvn2psd_buffer_size(form, out->info.width, out->info.height, 0);
  out->merged = malloc(size ? size : 1);
  if (code == 0) code = yvn2psd_read_merged(d, form, out->merged, 0, size);
  if (code == 0) code = yvn2psd_thumbnail_size(d, &out->tw, &out->th);
  const size_t thumbnail = yvn2psd_buffer_size(form, out->tw, out->th, 0);
  out->thumbnail = malloc(thumbnail ? thumbnail : 1);
  if (code == 0 && thumbnail) code = yvn2psd_read_thumbnail(d, form, out->thumbnail, 0, thumbnail);
  yvn2psd_close(d);
  return code;
}

static void FreeDoc(Doc* d) {
  for (uint32_t i = 0; d->layers && i < d->info.layer_count; ++i) free(d->layers[i].px);
  free(d->layers);
  free(d->merged);
  free(d->thumbnail);
}

static int OpenFile(const char* path, Doc* out, int form) {
  yvn2psd_document* d = NULL;
  const int code = yvn2psd_open_file(path, NULL, &d);
  return code ? code : ReadDoc(d, out, form);
}

/* A pixel of a layer at a canvas position; transparent outside it. */
static const uint16_t* At(const Layer* l, int64_t x, int64_t y) {
  static const uint16_t clear[4] = {0, 0, 0, 0};
  if (x < l->info.left || x >= l->info.right || y < l->info.top || y >= l->info.bottom) return clear;
  return l->px + 4 * ((size_t)(y - l->info.top) * (size_t)(l->info.right - l->info.left) + (size_t)(x - l->info.left));
}

/* The same properties (as a PSD stores them, or `exact`ly as the document
 * holds them), and the same cells wherever either layer has any. */
static int SameLayer(const Layer* a, const Layer* b, int exact) {
  const yvn2psd_layer_info *p = &a->info, *q = &b->info;
  if (strcmp(p->name, q->name) != 0 || p->opacity != q->opacity || p->visible != q->visible ||
      strcmp(p->psd_key, q->psd_key) != 0 || p->clipping != q->clipping ||
      p->lock_transparency != q->lock_transparency || p->lock_pixels != q->lock_pixels ||
      (exact && (p->opacity_exact != q->opacity_exact || p->blend != q->blend))) {
    fprintf(stderr, "layer '%s' / '%s': properties differ\n", p->name, q->name);
    return 0;
  }
  const int64_t l = p->left < q->left ? p->left : q->left, t = p->top < q->top ? p->top : q->top;
  const int64_t r = p->right > q->right ? p->right : q->right, bt = p->bottom > q->bottom ? p->bottom : q->bottom;
  for (int64_t y = t; y < bt; ++y)
    for (int64_t x = l; x < r; ++x)
      if (memcmp(At(a, x, y), At(b, x, y), 8) != 0) {
        fprintf(stderr, "layer '%s': cells differ at (%lld, %lld)\n", p->name, (long long)x, (long long)y);
        return 0;
      }
  return 1;
}

/* The offset of a byte string in a buffer from `from` on, or the buffer's size. */
static size_t Find(const Bytes* b, size_t from, const char* what) {
  const size_t n = strlen(what);
  for (size_t i = from; i + n <= b->size; ++i)
    if (memcmp(b->data + i, what, n) == 0) return i;
  return b->size;
}

/* ------------------------------------------------------------- cases */

/* A PSD read through the library gives the layers of the .yvn the program
 * writes from it, and its merged image the .yvn's top layer; the .yvn
 * stores a thumbnail, the PSD none. */
static void PsdReadsAsTheProgramConvertsIt(void) {
  const Files files = SourceFiles("psd");
  for (int i = 0; i < files.n; ++i) {
    snprintf(g_at, sizeof g_at, "%s", files.path[i]);
    CHECK(Copy(files.path[i], "s.psd") == 0);
    CHECK(Program("-z0 s.psd a.yvn") == 0);
    Doc psd, yvn;
    CHECK_CODE(OpenFile(Tmp("s.psd"), &psd, YVN2PSD_PIXEL_RGBA16_PREMULTIPLIED), 0);
    CHECK_CODE(OpenFile(Tmp("a.yvn"), &yvn, YVN2PSD_PIXEL_RGBA16_PREMULTIPLIED), 0);
    CHECK(psd.info.format == YVN2PSD_FORMAT_PSD && yvn.info.format == YVN2PSD_FORMAT_YVN);
    CHECK(psd.info.width == yvn.info.width && psd.info.height == yvn.info.height);
    /* In the -z0 file the thumbnail's cells follow its "Image" value's name and length. */
    CHECK(psd.tw == 0 && psd.th == 0 && yvn.tw > 0 && yvn.th > 0 && yvn.tw <= 384 && yvn.th <= 384);
    const size_t size = (size_t)yvn.tw * yvn.th * 8;
    Bytes file = ReadAll(Tmp("a.yvn"));
    const size_t image = Find(&file, Find(&file, 0, "MergedThumb"), "Image");
    CHECK(image + 12 + size <= file.size && memcmp(file.data + image + 12, yvn.thumbnail, size) == 0);
    free(file.data);
    /* The .yvn adds the merged image as its top layer unless the PSD's top
     * layer holds it already. */
    const uint32_t n = psd.info.layer_count;
    CHECK(yvn.info.layer_count == n || yvn.info.layer_count == n + 1);
    for (uint32_t k = 0; k < n && k < yvn.info.layer_count; ++k) CHECK(SameLayer(&psd.layers[k], &yvn.layers[k], 1));
    if (yvn.info.layer_count == n + 1) {
      Layer merged = {yvn.layers[n].info, "", psd.merged};
      merged.info.left = merged.info.top = 0;
      merged.info.right = (int32_t)psd.info.width, merged.info.bottom = (int32_t)psd.info.height;
      CHECK(SameLayer(&merged, &yvn.layers[n], 1));
    }
    FreeDoc(&psd);
    FreeDoc(&yvn);
  }
}

/* A .yvn read through the library gives the layers of the 16-bit PSD the
 * program writes from it (every cell comes back), and the merged image that
 * its 8-bit PSD stores, matted on white. */
static void YvnReadsAsTheProgramConvertsIt(void) {
  Files files = SourceFiles("yvn");
  /* And (compressed) .yvn files made by the program from the PSDs. */
  const Files psds = SourceFiles("psd");
  for (int i = 0; i < psds.n && files.n < kMaxFiles; ++i) {
    char name[64];
    snprintf(name, sizeof name, "s.psd made%d.yvn", i);
    CHECK(Copy(psds.path[i], "s.psd") == 0);
    CHECK(Program(name) == 0);
    snprintf(files.path[files.n++], kPathBytes, "%s", Tmp(name + strlen("s.psd ")));
  }
  int locks = 0; /* the locks seen: both sides of each comparison are read by one path */
  for (int i = 0; i < files.n; ++i) {
    snprintf(g_at, sizeof g_at, "%s", files.path[i]);
    CHECK(Copy(files.path[i], "s.yvn") == 0);
    CHECK(Program("-d16 s.yvn b16.psd") == 0);
    CHECK(Program("s.yvn b8.psd") == 0);
    Doc yvn, psd;
    CHECK_CODE(OpenFile(Tmp("s.yvn"), &yvn, YVN2PSD_PIXEL_RGBA16_PREMULTIPLIED), 0);
    CHECK_CODE(OpenFile(Tmp("b16.psd"), &psd, YVN2PSD_PIXEL_RGBA16_PREMULTIPLIED), 0);
    uint32_t k = 0;
    for (uint32_t j = 0; j < yvn.info.layer_count; ++j) {
      if (yvn.layers[j].info.working_layer) continue; /* left out of PSDs */
      locks |= (yvn.layers[j].info.lock_transparency ? 1 : 0) | (yvn.layers[j].info.lock_pixels ? 2 : 0);
      if (k < psd.info.layer_count) CHECK(SameLayer(&yvn.layers[j], &psd.layers[k], 0));
      ++k;
    }
    /* A document without a layer to write gets one holding the merged image. */
    CHECK(k == psd.info.layer_count || (k == 0 && psd.info.layer_count == 1));
    yvn2psd_document* d = Open(Tmp("s.yvn"));
    const size_t size = yvn2psd_buffer_size(YVN2PSD_PIXEL_RGBA8, yvn.info.width, yvn.info.height, 0);
    uint8_t* rgba = malloc(size);
    CHECK_CODE(yvn2psd_read_merged(d, YVN2PSD_PIXEL_RGBA8, rgba, 0, size), 0);
    yvn2psd_close(d);
    Bytes stored = ReadAll(Tmp("b8.psd"));
    uint8_t* planes = NULL;
    uint32_t w = 0, h = 0;
    CHECK(PsdMergedPlanes(stored.data, stored.size, &w, &h, &planes) == 0);
    CHECK(w == yvn.info.width && h == yvn.info.height);
    const size_t px = (size_t)w * h;
    size_t bad = px;
    for (size_t q = 0; planes && q < 4 * px && bad == px; ++q) {
      const size_t p = q / 4, c = q % 4;
      const uint32_t a = rgba[4 * p + 3], v = rgba[q];
      if (planes[c * px + p] != (c < 3 && a != 255 ? (v * a + 127) / 255 + 255 - a : v)) bad = p;
    }
    if (bad < px) FAIL("merged pixel %zu differs from the stored one", bad);
    free(planes);
    free(stored.data);
    free(rgba);
    FreeDoc(&yvn);
    FreeDoc(&psd);
  }
  /* The golden features case locks layers both ways. */
  CHECK(locks == 3);
}

/* Rows read a band at a time, in any order, give the layers and the merged
 * image that whole reads give: bands from the top let a .yvn layer go as
 * they are read, a band above them reads the layer again. */
static void RowsReadInAnyOrderGiveTheLayer(void) {
  const Files yvns = SourceFiles("yvn");
  const Files psds = SourceFiles("psd");
  for (int i = 0; i < yvns.n + psds.n; ++i) {
    const char* path = i < yvns.n ? yvns.path[i] : psds.path[i - yvns.n];
    snprintf(g_at, sizeof g_at, "%s", path);
    Doc whole;
    CHECK_CODE(OpenFile(path, &whole, YVN2PSD_PIXEL_RGBA16), 0);
    yvn2psd_document* d = Open(path);
    for (uint32_t k = 0; d && k <= whole.info.layer_count; ++k) {
      const int merged = k == whole.info.layer_count;
      const Layer* l = merged ? NULL : &whole.layers[k];
      const uint32_t w = merged ? whole.info.width : (uint32_t)(l->info.right - l->info.left);
      const uint32_t h = merged ? whole.info.height : (uint32_t)(l->info.bottom - l->info.top);
      if (w == 0 || h == 0) continue;
      uint16_t* got = calloc((size_t)w * h, 8);
      /* The middle third, the bottom third, then the top third (back up). */
      const uint32_t cut[4] = {0, h / 3, 2 * h / 3, h}, order[3] = {1, 2, 0};
      for (int b = 0; b < 3; ++b) {
        const uint32_t first = cut[order[b]], n = cut[order[b] + 1] - first;
        uint16_t* at = got + (size_t)first * w * 4;
        const size_t size = yvn2psd_buffer_size(YVN2PSD_PIXEL_RGBA16, w, n ? n : 1, 0);
        CHECK_CODE(merged ? yvn2psd_read_merged_rows(d, first, n, YVN2PSD_PIXEL_RGBA16, at, 0, size)
                          : yvn2psd_read_layer_rows(d, k, first, n, YVN2PSD_PIXEL_RGBA16, at, 0, size),
                   0);
      }
      if (memcmp(got, merged ? whole.merged : l->px, (size_t)w * h * 8) != 0)
        FAIL("%s %u differs", merged ? "the merged image" : "layer", k);
      CHECK_CODE(merged ? yvn2psd_read_merged_rows(d, h, 1, YVN2PSD_PIXEL_RGBA16, got, 0, (size_t)w * 8)
                        : yvn2psd_read_layer_rows(d, k, h - 1, 2, YVN2PSD_PIXEL_RGBA16, got, 0, (size_t)w * 16),
                 YVN2PSD_ERR_OUT_OF_RANGE);
      free(got);
    }
    yvn2psd_close(d);
    FreeDoc(&whole);
  }
}

/* Writes a document's layers through the writer. */
static int WriteLayers(const Doc* doc, int format, const yvn2psd_options* o, void** out, size_t* size) {
  yvn2psd_writer* w = NULL;
  int code = yvn2psd_writer_create_memory(format, doc->info.width, doc->info.height, o, &w);
  for (uint32_t k = 0; code == 0 && k < doc->info.layer_count; ++k)
    code = yvn2psd_writer_add_layer(w, &doc->layers[k].info, YVN2PSD_PIXEL_RGBA16_PREMULTIPLIED, doc->layers[k].px, 0);
  if (code == 0) code = yvn2psd_writer_finish(w, out, size);
  yvn2psd_writer_close(w);
  return code;
}

/* A document written a layer at a time through the library holds what the
 * program's conversion of the same layers holds: as PSD, byte for byte; as
 * .yvn, the same head (thumbnail, canvas, paper) byte for byte and the same
 * layers (tests/api/writer_test.cpp: byte for byte from a PSD's own rows). */
static void WriterEqualsTheConversion(void) {
  const Files psds = SourceFiles("psd");
  for (int i = 0; i < psds.n; ++i) {
    snprintf(g_at, sizeof g_at, "%s", psds.path[i]);
    CHECK(Copy(psds.path[i], "s.psd") == 0);
    CHECK(Program("-z0 s.psd a.yvn") == 0);
    /* The .yvn's own layers (the PSD's, and the merged image on top). */
    Doc yvn, again;
    CHECK_CODE(OpenFile(Tmp("a.yvn"), &yvn, YVN2PSD_PIXEL_RGBA16_PREMULTIPLIED), 0);
    yvn2psd_options o = Overwriting();
    o.compress = 0;
    void* out = NULL;
    size_t size = 0;
    CHECK_CODE(WriteLayers(&yvn, YVN2PSD_FORMAT_YVN, &o, &out, &size), 0);
    Bytes want = ReadAll(Tmp("a.yvn")), got = {out, size};
    const size_t head = Find(&want, 0, "Plane0000");
    CHECK(head < want.size && Find(&got, 0, "Plane0000") == head && memcmp(got.data, want.data, head) == 0);
    yvn2psd_document* d = NULL;
    CHECK_CODE(yvn2psd_open_memory(out, size, NULL, &d), 0);
    CHECK_CODE(ReadDoc(d, &again, YVN2PSD_PIXEL_RGBA16_PREMULTIPLIED), 0);
    CHECK(again.info.layer_count == yvn.info.layer_count);
    for (uint32_t k = 0; k < yvn.info.layer_count && k < again.info.layer_count; ++k)
      CHECK(SameLayer(&again.layers[k], &yvn.layers[k], 1));
    FreeDoc(&again);
    yvn2psd_free(out);
    free(want.data);
    /* And as PSD, at both depths. */
    for (int depth = 8; depth <= 16; depth += 8) {
      CHECK(Program(depth == 8 ? "a.yvn b.psd" : "-d16 a.yvn b.psd") == 0);
      o.psd_depth = depth;
      CHECK_CODE(WriteLayers(&yvn, YVN2PSD_FORMAT_PSD, &o, &out, &size), 0);
      want = ReadAll(Tmp("b.psd"));
      CHECK(SameBytes(out, size, want.data, want.size));
      yvn2psd_free(out);
      free(want.data);
    }
    FreeDoc(&yvn);
  }
}

static uint64_t g_bytesRead;

static int64_t ReadAt(void* user, uint64_t offset, void* buffer, size_t size) {
  const Bytes* b = user;
  if (offset >= b->size) return 0;
  if (size > b->size - offset) size = (size_t)(b->size - offset);
  memcpy(buffer, b->data + offset, size);
  g_bytesRead += size;
  return (int64_t)size;
}

/* A caller's source is read about once, also where the thumbnail's pass
 * takes a row of each channel in turn: a PSD of three noisy layers. */
static void SourceReadAboutOnce(void) {
  const uint32_t side = 1200;
  yvn2psd_writer* w = NULL;
  CHECK_CODE(yvn2psd_writer_create_memory(YVN2PSD_FORMAT_PSD, side, side, NULL, &w), 0);
  uint8_t* px = malloc((size_t)side * side * 4);
  uint32_t seed = 99;
  const yvn2psd_layer_info l = {.name = "noise", .right = 1200, .bottom = 1200, .opacity = 255, .visible = 1};
  for (int k = 0; k < 3; ++k) {
    for (size_t i = 0; i < (size_t)side * side * 4; ++i) px[i] = (uint8_t)((seed = seed * 1103515245u + 12345u) >> 24);
    CHECK_CODE(yvn2psd_writer_add_layer(w, &l, YVN2PSD_PIXEL_RGBA8, px, 0), 0);
  }
  free(px);
  Bytes psd = {NULL, 0};
  CHECK_CODE(yvn2psd_writer_finish(w, (void**)&psd.data, &psd.size), 0);
  yvn2psd_writer_close(w);
  CHECK(psd.size > 16u << 20);
  void* out = NULL;
  size_t size = 0;
  yvn2psd_source s = {psd.size, ReadAt, &psd};
  CHECK_CODE(yvn2psd_convert_source(&s, &out, &size, NULL), 0);
  if (g_bytesRead > 3 * psd.size) FAIL("%llu bytes read of %zu", (unsigned long long)g_bytesRead, psd.size);
  yvn2psd_free(out);
  yvn2psd_free(psd.data);
}

/* Memory to memory, and a caller's source to memory, give the bytes of a
 * conversion file to file. */
static void MemoryEqualsFile(void) {
  for (int kind = 0; kind < 2; ++kind) {
    const Files files = SourceFiles(kind == 0 ? "psd" : "yvn");
    for (int i = 0; i < files.n; ++i) {
      snprintf(g_at, sizeof g_at, "%s", files.path[i]);
      const char* dst = kind == 0 ? Tmp("m.yvn") : Tmp("m.psd");
      yvn2psd_options o = Overwriting();
      o.source_format = kind == 0 ? YVN2PSD_FORMAT_PSD : YVN2PSD_FORMAT_YVN;
      CHECK_CODE(yvn2psd_convert_file(files.path[i], dst, &o), 0);
      Bytes want = ReadAll(dst), src = ReadAll(files.path[i]);
      yvn2psd_source s = {src.size, ReadAt, &src};
      for (int from_source = 0; from_source < 2; ++from_source) {
        void* out = NULL;
        size_t size = 0;
        CHECK_CODE(from_source ? yvn2psd_convert_source(&s, &out, &size, NULL)
                               : yvn2psd_convert_memory(src.data, src.size, &out, &size, NULL),
                   0);
        CHECK(SameBytes(out, size, want.data, want.size));
        yvn2psd_free(out);
      }
      free(want.data);
      free(src.data);
    }
  }
}

static int StopAt(void* user, const yvn2psd_progress* p) {
  int* calls = user;
  if (p->finished) return 0;
  return ++*calls >= 3;
}

/* Misuse and damaged input return codes and leave no file. */
static void MisuseAndDamageReturnCodes(void) {
  const Files psds = SourceFiles("psd");
  CHECK(psds.n > 0);
  CHECK(Copy(psds.path[0], "s.psd") == 0);
  yvn2psd_document* d = (yvn2psd_document*)1;
  CHECK_CODE(yvn2psd_open_file(NULL, NULL, &d), YVN2PSD_ERR_INVALID_ARGUMENT);
  CHECK(d == NULL);
  CHECK(yvn2psd_last_error() == YVN2PSD_ERR_INVALID_ARGUMENT);
  CHECK(strncmp(yvn2psd_last_error_message(), "Invalid argument", 16) == 0);
  CHECK_CODE(yvn2psd_open_file(Tmp("missing.psd"), NULL, &d), YVN2PSD_ERR_SOURCE_OPEN);
  CHECK_CODE(yvn2psd_document_info_get(NULL, NULL), YVN2PSD_ERR_INVALID_ARGUMENT);
  d = Open(Tmp("s.psd"));
  yvn2psd_document_info info;
  CHECK_CODE(yvn2psd_document_info_get(d, &info), 0);
  yvn2psd_layer_info layer;
  CHECK_CODE(yvn2psd_layer_info_get(d, info.layer_count, &layer), YVN2PSD_ERR_OUT_OF_RANGE);
  uint8_t small[16];
  CHECK_CODE(yvn2psd_read_merged(d, YVN2PSD_PIXEL_RGBA8, small, 0, sizeof small),
             info.width * info.height * 4 <= sizeof small ? 0 : YVN2PSD_ERR_BUFFER_TOO_SMALL);
  CHECK_CODE(yvn2psd_read_merged(d, 7, small, 0, sizeof small), YVN2PSD_ERR_INVALID_ARGUMENT);
  CHECK_CODE(yvn2psd_read_merged(d, YVN2PSD_PIXEL_RGBA8, small, 3, sizeof small),
             info.width > 0 ? YVN2PSD_ERR_BUFFER_TOO_SMALL : 0);
  yvn2psd_close(d);
  yvn2psd_close(NULL);

  /* The writer: out of order, after finish, past the last row. */
  yvn2psd_writer* w = NULL;
  CHECK_CODE(yvn2psd_writer_create_memory(9, 4, 4, NULL, &w), YVN2PSD_ERR_INVALID_ARGUMENT);
  CHECK_CODE(yvn2psd_writer_create_memory(YVN2PSD_FORMAT_YVN, 0, 4, NULL, &w), YVN2PSD_ERR_EMPTY_CANVAS);
  CHECK_CODE(yvn2psd_writer_create_memory(YVN2PSD_FORMAT_YVN, 4, 4, NULL, &w), 0);
  uint8_t px[4 * 4 * 4] = {0};
  CHECK_CODE(yvn2psd_writer_write_rows(w, YVN2PSD_PIXEL_RGBA8, px, 0, 1), YVN2PSD_ERR_BAD_STATE);
  CHECK_CODE(yvn2psd_writer_end_layer(w), YVN2PSD_ERR_BAD_STATE);
  layer = (yvn2psd_layer_info){.name = "l", .right = 4, .bottom = 4, .opacity = 255, .visible = 1, .blend = 99};
  CHECK_CODE(yvn2psd_writer_begin_layer(w, &layer), YVN2PSD_ERR_INVALID_ARGUMENT);
  layer.blend = YVN2PSD_BLEND_MULTIPLY;
  CHECK_CODE(yvn2psd_writer_begin_layer(w, &layer), 0);
  CHECK_CODE(yvn2psd_writer_begin_layer(w, &layer), YVN2PSD_ERR_BAD_STATE);
  CHECK_CODE(yvn2psd_writer_write_rows(w, YVN2PSD_PIXEL_RGBA8, px, 8, 1), YVN2PSD_ERR_BUFFER_TOO_SMALL);
  CHECK_CODE(yvn2psd_writer_write_rows(w, YVN2PSD_PIXEL_RGBA8, px, 0, 5), YVN2PSD_ERR_BAD_STATE);
  CHECK_CODE(yvn2psd_writer_write_rows(w, YVN2PSD_PIXEL_RGBA8, px, 0, 3), 0);
  CHECK_CODE(yvn2psd_writer_end_layer(w), YVN2PSD_ERR_BAD_STATE);
  CHECK_CODE(yvn2psd_writer_write_rows(w, YVN2PSD_PIXEL_RGBA8, px, 0, 1), 0);
  CHECK_CODE(yvn2psd_writer_end_layer(w), 0);
  void* out = NULL;
  size_t size = 0;
  CHECK_CODE(yvn2psd_writer_finish(w, &out, &size), 0);
  CHECK(out != NULL && size > 0);
  yvn2psd_free(out);
  CHECK_CODE(yvn2psd_writer_finish(w, &out, &size), YVN2PSD_ERR_BAD_STATE);
  CHECK_CODE(yvn2psd_writer_begin_layer(w, &layer), YVN2PSD_ERR_BAD_STATE);
  yvn2psd_writer_close(w);
  /* A file writer closed unfinished, or finished with a layer open, leaves nothing. */
  CHECK_CODE(yvn2psd_writer_create_file(Tmp("w.psd"), YVN2PSD_FORMAT_PSD, 4, 4, NULL, &w), 0);
  CHECK_CODE(yvn2psd_writer_add_layer(w, &layer, YVN2PSD_PIXEL_RGBA8, px, 0), 0);
  yvn2psd_writer_close(w);
  CHECK_CODE(yvn2psd_writer_create_file(Tmp("w.yvn"), YVN2PSD_FORMAT_YVN, 4, 4, NULL, &w), 0);
  CHECK_CODE(yvn2psd_writer_begin_layer(w, &layer), 0);
  CHECK_CODE(yvn2psd_writer_finish(w, NULL, NULL), YVN2PSD_ERR_BAD_STATE);
  yvn2psd_writer_close(w);

  /* Damaged and foreign input: the program's codes, no output; the message
   * names the cause after the code's text. */
  CHECK(WriteText("junk.psd", "8BPS but nothing else") == 0);
  CHECK(WriteText("junk.yvn", "not a painting at all") == 0);
  CHECK_CODE(yvn2psd_convert_file(Tmp("junk.psd"), Tmp("j.yvn"), NULL), YVN2PSD_ERR_NOT_PSD);
  CHECK(strncmp(yvn2psd_last_error_message(), "Not a supported PSD file: header", 32) == 0);
  CHECK_CODE(yvn2psd_convert_file(Tmp("s.psd"), Tmp("missing/j.yvn"), NULL), YVN2PSD_ERR_DESTINATION_CREATE);
  CHECK(strcmp(yvn2psd_last_error_message(), "Cannot create destination file: No such file or directory") == 0);
  CHECK_CODE(yvn2psd_convert_file(Tmp("junk.yvn"), Tmp("j.psd"), NULL), YVN2PSD_ERR_ILLEGAL_FORMAT);
  CHECK_CODE(yvn2psd_open_file(Tmp("junk.yvn"), NULL, &d), YVN2PSD_ERR_ILLEGAL_FORMAT);
  CHECK_CODE(yvn2psd_convert_memory("8BPS but nothing else", 21, &out, &size, NULL), YVN2PSD_ERR_NOT_PSD);
  CHECK(out == NULL);
  /* The destination: the source itself, an existing file, a directory. */
  CHECK_CODE(yvn2psd_convert_file(Tmp("s.psd"), Tmp("s.psd"), NULL), YVN2PSD_ERR_SAME_FILE);
  CHECK(WriteText("old.yvn", "old") == 0);
  CHECK_CODE(yvn2psd_convert_file(Tmp("s.psd"), Tmp("old.yvn"), NULL), YVN2PSD_ERR_EXISTS);
  mkdir(Tmp("dir.yvn"), 0777);
  yvn2psd_options o = Overwriting();
  CHECK_CODE(yvn2psd_convert_file(Tmp("s.psd"), Tmp("dir.yvn"), &o), YVN2PSD_ERR_DESTINATION_CREATE);
  o.psd_depth = 12;
  CHECK_CODE(yvn2psd_convert_file(Tmp("s.psd"), Tmp("x.yvn"), &o), YVN2PSD_ERR_INVALID_ARGUMENT);
  /* Cancelled from the progress callback: nothing written, the old file kept. */
  int calls = 0;
  o = Overwriting();
  o.progress = StopAt;
  o.progress_user = &calls;
  CHECK_CODE(yvn2psd_convert_file(Tmp("s.psd"), Tmp("old.yvn"), &o), YVN2PSD_ERR_CANCELLED);
  CHECK(calls == 3);
  Bytes old = ReadAll(Tmp("old.yvn"));
  CHECK(SameBytes(old.data, old.size, "old", 3));
  free(old.data);
  calls = 0;
  CHECK_CODE(yvn2psd_convert_file(Tmp("s.psd"), Tmp("c.yvn"), &o), YVN2PSD_ERR_CANCELLED);
  CHECK(Shell("cd '%s' && test \"$(ls -A | sort | tr '\\n' ' ')\" = '%s' || { ls -A >&2; false; }%s",
              "dir.yvn junk.psd junk.yvn old.yvn s.psd ", "") == 0);
}

typedef struct {
  const Bytes* src;
  void* out;
  size_t size;
  int code;
} Job;

static void* RunJob(void* arg) {
  Job* j = arg;
  for (int round = 0; round < 3 && j->code == 0; ++round) {
    yvn2psd_free(j->out);
    j->code = yvn2psd_convert_memory(j->src->data, j->src->size, &j->out, &j->size, NULL);
  }
  return NULL;
}

/* Two threads converting different files at once give the bytes each
 * gives alone. */
static void ThreadsConvertSideBySide(void) {
  const Files psds = SourceFiles("psd");
  const Files yvns = SourceFiles("yvn");
  for (int i = 0; i < psds.n && i < 8; ++i) {
    snprintf(g_at, sizeof g_at, "%s", psds.path[i]);
    Bytes a = ReadAll(psds.path[i]), b = ReadAll(yvns.n ? yvns.path[i % yvns.n] : psds.path[(i + 1) % psds.n]);
    Job alone[2] = {{&a, NULL, 0, 0}, {&b, NULL, 0, 0}}, side[2] = {{&a, NULL, 0, 0}, {&b, NULL, 0, 0}};
    pthread_t t[2];
    for (int k = 0; k < 2; ++k) RunJob(&alone[k]);
    for (int k = 0; k < 2; ++k) CHECK(pthread_create(&t[k], NULL, RunJob, &side[k]) == 0);
    for (int k = 0; k < 2; ++k) {
      pthread_join(t[k], NULL);
      CHECK(alone[k].code == 0 && side[k].code == 0);
      CHECK(SameBytes(side[k].out, side[k].size, alone[k].out, alone[k].size));
      yvn2psd_free(side[k].out);
      yvn2psd_free(alone[k].out);
    }
    free(a.data);
    free(b.data);
  }
}

static void OnSignal(int sig) { (void)sig; }

/* The host's locale, signal handlers and standard output are as it left
 * them after a conversion, a failed one and a cancelled one. */
static void HostIsLeftAsItWas(void) {
  const Files psds = SourceFiles("psd");
  CHECK(psds.n > 0);
  CHECK(Copy(psds.path[0], "s.psd") == 0);
  CHECK(WriteText("junk.psd", "8BPS") == 0);
  setlocale(LC_ALL, "C");
  struct sigaction mine, before[4], after[4];
  memset(&mine, 0, sizeof mine);
  mine.sa_handler = OnSignal;
  sigaction(SIGINT, &mine, NULL);
  signal(SIGPIPE, SIG_IGN);
  const int sigs[4] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
  for (int i = 0; i < 4; ++i) sigaction(sigs[i], NULL, &before[i]);
  /* Standard output into a file of its own, to see whether anything comes. */
  fflush(stdout);
  const int saved = dup(1);
  CHECK(freopen(Tmp("stdout.txt"), "w", stdout) != NULL);
  int calls = 0;
  yvn2psd_options o = Overwriting();
  CHECK_CODE(yvn2psd_convert_file(Tmp("s.psd"), Tmp("a.yvn"), &o), 0);
  CHECK_CODE(yvn2psd_convert_file(Tmp("junk.psd"), Tmp("b.yvn"), &o), YVN2PSD_ERR_NOT_PSD);
  o.progress = StopAt;
  o.progress_user = &calls;
  CHECK_CODE(yvn2psd_convert_file(Tmp("a.yvn"), Tmp("c.psd"), &o), YVN2PSD_ERR_CANCELLED);
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  struct stat st;
  CHECK(stat(Tmp("stdout.txt"), &st) == 0 && st.st_size == 0);
  CHECK(strcmp(setlocale(LC_CTYPE, NULL), "C") == 0);
  CHECK(strcmp(setlocale(LC_ALL, NULL), "C") == 0);
  for (int i = 0; i < 4; ++i) {
    sigaction(sigs[i], NULL, &after[i]);
    CHECK(after[i].sa_handler == before[i].sa_handler);
  }
}

/* The version the header names is the library's; error texts; every mode's
 * key reads back as the mode. */
static void VersionAndTables(void) {
  CHECK(yvn2psd_version() == YVN2PSD_VERSION_NUMBER);
  char text[32];
  snprintf(text, sizeof text, "%d.%d.%d", YVN2PSD_VERSION_MAJOR, YVN2PSD_VERSION_MINOR, YVN2PSD_VERSION_PATCH);
  CHECK(strcmp(yvn2psd_version_string(), text) == 0);
  CHECK(strcmp(yvn2psd_error_text(103), "Write failed") == 0);
  CHECK(strcmp(yvn2psd_error_text(1), "Illigal data format") == 0);
  CHECK(strcmp(yvn2psd_error_text(7), "Unknown") == 0);
  for (int b = YVN2PSD_BLEND_NORMAL; b <= YVN2PSD_BLEND_LUMINOSITY; ++b)
    CHECK(yvn2psd_blend_from_psd_key(yvn2psd_blend_psd_key(b)) == b);
  CHECK(strcmp(yvn2psd_blend_psd_key(YVN2PSD_BLEND_MULTIPLY), "mul ") == 0);
  CHECK(yvn2psd_blend_from_psd_key("diss") == YVN2PSD_BLEND_DARKEN);
  CHECK(yvn2psd_blend_from_psd_key("hMix") == YVN2PSD_BLEND_NORMAL);
}

#define CASE(f) {#f, f}
static const struct {
  const char* name;
  void (*run)(void);
} kCases[] = {CASE(VersionAndTables), CASE(PsdReadsAsTheProgramConvertsIt), CASE(YvnReadsAsTheProgramConvertsIt),
              CASE(RowsReadInAnyOrderGiveTheLayer), CASE(WriterEqualsTheConversion), CASE(MemoryEqualsFile),
              CASE(SourceReadAboutOnce), CASE(MisuseAndDamageReturnCodes), CASE(ThreadsConvertSideBySide),
              CASE(HostIsLeftAsItWas)};

int main(int argc, char** argv) {
  const size_t n = sizeof kCases / sizeof kCases[0];
  if (argc != 2) {
    for (size_t i = 0; i < n; ++i) printf("%s\n", kCases[i].name);
    return 0;
  }
  if (!getenv("YVN2PSD_EXE") || !getenv("YVN_TEST_DATA")) {
    fprintf(stderr, "YVN2PSD_EXE and YVN_TEST_DATA must be set\n");
    return 77;
  }
  for (size_t i = 0; i < n; ++i) {
    if (strcmp(argv[1], kCases[i].name) != 0) continue;
    snprintf(g_tmp, sizeof g_tmp, "%s/yvn-api-XXXXXX", getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    if (!mkdtemp(g_tmp)) return perror("mkdtemp"), 1;
    snprintf(g_at, sizeof g_at, "%s", kCases[i].name);
    kCases[i].run();
    if (Shell("rm -rf '%s'%s%s", "", "") != 0) fprintf(stderr, "could not remove %s\n", g_tmp);
    if (g_failures) fprintf(stderr, "%d check(s) failed\n", g_failures);
    return g_failures ? 1 : 0;
  }
  fprintf(stderr, "no case %s\n", argv[1]);
  return 2;
}
