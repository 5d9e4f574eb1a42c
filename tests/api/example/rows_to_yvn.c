/* Builds a .yvn of two layers from pixel rows: a gradient, and a
 * half-transparent red square in multiply mode above it. */
#include <stdio.h>
#include <string.h>
#include <yvn2psd.h>

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "made.yvn";
  yvn2psd_writer* w;
  if (yvn2psd_writer_create_file(path, YVN2PSD_FORMAT_YVN, 256, 128, NULL, &w) != YVN2PSD_OK) goto failed;
  yvn2psd_layer_info layer;
  memset(&layer, 0, sizeof layer);
  layer.name = "gradient", layer.right = 256, layer.bottom = 128, layer.opacity = 255, layer.visible = 1;
  yvn2psd_writer_begin_layer(w, &layer);
  for (int y = 0; y < 128; ++y) {
    unsigned char row[256 * 4];
    for (int x = 0; x < 256; ++x) row[4 * x] = (unsigned char)x, row[4 * x + 1] = (unsigned char)(2 * y),
                                  row[4 * x + 2] = 128, row[4 * x + 3] = 255;
    yvn2psd_writer_write_rows(w, YVN2PSD_PIXEL_RGBA8, row, 0, 1);
  }
  if (yvn2psd_writer_end_layer(w) != YVN2PSD_OK) goto failed;
  unsigned char square[64 * 64 * 4];
  for (int i = 0; i < 64 * 64; ++i) square[4 * i] = 255, square[4 * i + 1] = square[4 * i + 2] = 0, square[4 * i + 3] = 128;
  layer.name = "square", layer.left = 32, layer.top = 32, layer.right = 96, layer.bottom = 96;
  layer.blend = YVN2PSD_BLEND_MULTIPLY;
  if (yvn2psd_writer_add_layer(w, &layer, YVN2PSD_PIXEL_RGBA8, square, 0) != YVN2PSD_OK) goto failed;
  if (yvn2psd_writer_finish(w, NULL, NULL) != YVN2PSD_OK) goto failed;
  yvn2psd_writer_close(w);
  return 0;
failed:
  fprintf(stderr, "%s\n", yvn2psd_last_error_message());
  yvn2psd_writer_close(w);
  return 1;
}
