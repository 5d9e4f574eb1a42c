/* Reads a .yvn or PSD through the library's public header and prints what
 * the desktop tests compare against:
 *   canvas W H layers N thumbnail TW TH
 *   layer I <tab-separated fields: name left top right bottom opacity visible
 *            blend psd_key clipping lock_transparency lock_pixels working>
 * With an output folder, also writes straight RGBA8 pixels there, rows back
 * to back: layer-I.rgba, merged.rgba and thumbnail.rgba (when stored). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <yvn2psd.h>

static int dump(const char* dir, const char* name, const void* px, size_t size) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  FILE* f = fopen(path, "wb");
  if (!f) return 0;
  int ok = fwrite(px, 1, size, f) == size;
  return (fclose(f) == 0) && ok;
}

static int fail(const char* what) {
  fprintf(stderr, "yvn_dump: %s: %s\n", what, yvn2psd_last_error_message());
  return 1;
}

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: yvn_dump FILE [OUTDIR]\n");
    return 2;
  }
  const char* dir = argc == 3 ? argv[2] : NULL;
  yvn2psd_document* doc;
  if (yvn2psd_open_file(argv[1], NULL, &doc) != YVN2PSD_OK) return fail(argv[1]);
  yvn2psd_document_info info;
  uint32_t tw, th;
  yvn2psd_document_info_get(doc, &info);
  yvn2psd_thumbnail_size(doc, &tw, &th);
  printf("canvas %u %u layers %u thumbnail %u %u\n", info.width, info.height, info.layer_count, tw, th);
  for (uint32_t i = 0; i < info.layer_count; ++i) {
    yvn2psd_layer_info l;
    if (yvn2psd_layer_info_get(doc, i, &l) != YVN2PSD_OK) return fail("layer");
    printf("layer %u\t%s\t%d\t%d\t%d\t%d\t%u\t%d\t%d\t%s\t%d\t%d\t%d\t%d\n", i, l.name, l.left, l.top, l.right,
           l.bottom, l.opacity, l.visible, l.blend, l.psd_key, l.clipping, l.lock_transparency, l.lock_pixels,
           l.working_layer);
    if (!dir) continue;
    size_t size = yvn2psd_buffer_size(YVN2PSD_PIXEL_RGBA8, (uint32_t)(l.right - l.left),
                                      (uint32_t)(l.bottom - l.top), 0);
    unsigned char* px = malloc(size ? size : 1);
    char name[64];
    snprintf(name, sizeof name, "layer-%u.rgba", i);
    if (!px || (size && yvn2psd_read_layer(doc, i, YVN2PSD_PIXEL_RGBA8, px, 0, size) != YVN2PSD_OK) ||
        !dump(dir, name, px, size))
      return fail(name);
    free(px);
  }
  if (dir) {
    size_t size = yvn2psd_buffer_size(YVN2PSD_PIXEL_RGBA8, info.width, info.height, 0);
    unsigned char* px = malloc(size);
    if (!px || yvn2psd_read_merged(doc, YVN2PSD_PIXEL_RGBA8, px, 0, size) != YVN2PSD_OK ||
        !dump(dir, "merged.rgba", px, size))
      return fail("merged");
    free(px);
    if (tw && th) {
      size = yvn2psd_buffer_size(YVN2PSD_PIXEL_RGBA8, tw, th, 0);
      px = malloc(size);
      if (!px || yvn2psd_read_thumbnail(doc, YVN2PSD_PIXEL_RGBA8, px, 0, size) != YVN2PSD_OK ||
          !dump(dir, "thumbnail.rgba", px, size))
        return fail("thumbnail");
      free(px);
    }
  }
  yvn2psd_close(doc);
  return 0;
}
