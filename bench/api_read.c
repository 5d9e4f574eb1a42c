/* Reads every layer of a document and its merged image through the
 * library, as 8-bit RGBA: what a viewer that shows all of a file does.
 *   api_read FILE [FORM [BAND]]   FORM 1 (RGBA8, default), 2 or 3; BAND rows
 *                                 at a time (0, default: whole layers) */
#include <stdio.h>
#include <stdlib.h>

#include "yvn2psd.h"

int main(int argc, char** argv) {
  const int form = argc > 2 ? atoi(argv[2]) : YVN2PSD_PIXEL_RGBA8;
  const uint32_t band = argc > 3 ? (uint32_t)atoi(argv[3]) : 0;
  yvn2psd_document* doc;
  if (argc < 2 || yvn2psd_open_file(argv[1], NULL, &doc) != 0) {
    fprintf(stderr, "%s\n", yvn2psd_last_error_message());
    return 1;
  }
  yvn2psd_document_info info;
  yvn2psd_document_info_get(doc, &info);
  unsigned long long sum = 0;
  for (uint32_t i = 0; i < info.layer_count; ++i) {
    yvn2psd_layer_info l;
    yvn2psd_layer_info_get(doc, i, &l);
    const uint32_t w = (uint32_t)(l.right - l.left), h = (uint32_t)(l.bottom - l.top);
    const uint32_t rows = band && band < h ? band : h;
    const size_t size = yvn2psd_buffer_size(form, w, rows, 0);
    unsigned char* px = malloc(size ? size : 1);
    for (uint32_t y = 0; y < h; y += rows) {
      const uint32_t n = h - y < rows ? h - y : rows;
      if (yvn2psd_read_layer_rows(doc, i, y, n, form, px, 0, size) != 0) return 1;
      for (size_t k = 0; k < size; k += 4096) sum += px[k];
    }
    free(px);
  }
  const size_t size = yvn2psd_buffer_size(form, info.width, info.height, 0);
  unsigned char* px = malloc(size);
  if (yvn2psd_read_merged(doc, form, px, 0, size) != 0) return 1;
  for (size_t k = 0; k < size; k += 4096) sum += px[k];
  free(px);
  yvn2psd_close(doc);
  printf("%u layers, checksum %llu\n", info.layer_count, sum);
  return 0;
}
