/* Reads a .yvn (or a PSD) and writes each layer's pixels as a PAM image. */
#include <stdio.h>
#include <stdlib.h>
#include <yvn2psd.h>

int main(int argc, char** argv) {
  yvn2psd_document* doc;
  if (argc != 2 || yvn2psd_open_file(argv[1], NULL, &doc) != YVN2PSD_OK) return 1;
  yvn2psd_document_info info;
  yvn2psd_document_info_get(doc, &info);
  for (uint32_t i = 0; i < info.layer_count; ++i) {
    yvn2psd_layer_info l;
    yvn2psd_layer_info_get(doc, i, &l);
    uint32_t w = (uint32_t)(l.right - l.left), h = (uint32_t)(l.bottom - l.top);
    size_t size = yvn2psd_buffer_size(YVN2PSD_PIXEL_RGBA8, w, h, 0);
    unsigned char* px = malloc(size ? size : 1);
    if (size && yvn2psd_read_layer(doc, i, YVN2PSD_PIXEL_RGBA8, px, 0, size) == YVN2PSD_OK) {
      char name[32];
      snprintf(name, sizeof name, "layer%u.pam", i);
      FILE* f = fopen(name, "wb");
      fprintf(f, "P7\nWIDTH %u\nHEIGHT %u\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n", w, h);
      fwrite(px, 1, size, f);
      fclose(f);
      printf("%s: %s at (%d, %d), %s, opacity %u\n", name, l.name, l.left, l.top, l.psd_key, l.opacity);
    }
    free(px);
  }
  yvn2psd_close(doc);
  return 0;
}
