/* yvn_dump FILE OUTDIR: a .yvn or PSD read through the public header, for
 * the desktop tests: prints "canvas W H layers N thumbnail TW TH", then
 * "layer I" and the layer's fields (desktop_test.py's KEYS) a tab apart, and
 * writes straight RGBA8 pixels as OUTDIR/layer-I.rgba, merged.rgba and
 * thumbnail.rgba (when stored). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <yvn2psd.h>

static const char* g_dir;

/* Writes a layer's pixels (index >= 0), the merged image (-1) or the
 * thumbnail (-2) as OUTDIR/name; 0 on failure. */
static int dump(const char* name, yvn2psd_document* doc, int64_t index, uint32_t w, uint32_t h) {
  const size_t size = yvn2psd_buffer_size(YVN2PSD_PIXEL_RGBA8, w, h, 0);
  unsigned char* px = malloc(size ? size : 1);
  int ok = px != NULL;
  if (ok && size)
    ok = (index >= 0 ? yvn2psd_read_layer(doc, (uint32_t)index, YVN2PSD_PIXEL_RGBA8, px, 0, size)
          : index == -1 ? yvn2psd_read_merged(doc, YVN2PSD_PIXEL_RGBA8, px, 0, size)
                        : yvn2psd_read_thumbnail(doc, YVN2PSD_PIXEL_RGBA8, px, 0, size)) == YVN2PSD_OK;
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", g_dir, name);
  FILE* f = ok ? fopen(path, "wb") : NULL;
  ok = f && fwrite(px, 1, size, f) == size;
  if (f && fclose(f) != 0) ok = 0;
  free(px);
  if (!ok) fprintf(stderr, "yvn_dump: %s: %s\n", name, yvn2psd_last_error_message());
  return ok;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: yvn_dump FILE OUTDIR\n");
    return 2;
  }
  g_dir = argv[2];
  yvn2psd_document* doc;
  yvn2psd_document_info info;
  uint32_t tw, th;
  if (yvn2psd_open_file(argv[1], NULL, &doc) != YVN2PSD_OK || yvn2psd_document_info_get(doc, &info) != YVN2PSD_OK ||
      yvn2psd_thumbnail_size(doc, &tw, &th) != YVN2PSD_OK) {
    fprintf(stderr, "yvn_dump: %s: %s\n", argv[1], yvn2psd_last_error_message());
    return 1;
  }
  printf("canvas %u %u layers %u thumbnail %u %u\n", info.width, info.height, info.layer_count, tw, th);
  for (uint32_t i = 0; i < info.layer_count; ++i) {
    yvn2psd_layer_info l;
    char name[64];
    snprintf(name, sizeof name, "layer-%u.rgba", i);
    if (yvn2psd_layer_info_get(doc, i, &l) != YVN2PSD_OK) return 1;
    printf("layer %u\t%s\t%d\t%d\t%d\t%d\t%u\t%d\t%d\t%s\t%d\t%d\t%d\t%d\n", i, l.name, l.left, l.top, l.right,
           l.bottom, l.opacity, l.visible, l.blend, l.psd_key, l.clipping, l.lock_transparency, l.lock_pixels,
           l.working_layer);
    if (!dump(name, doc, i, (uint32_t)(l.right - l.left), (uint32_t)(l.bottom - l.top))) return 1;
  }
  if (!dump("merged.rgba", doc, -1, info.width, info.height) || (tw && th && !dump("thumbnail.rgba", doc, -2, tw, th)))
    return 1;
  yvn2psd_close(doc);
  return 0;
}
