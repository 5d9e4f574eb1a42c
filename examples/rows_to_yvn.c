/* Builds a .yvn from pixel rows: a gradient, and above it a
 * half-transparent red square in multiply mode. */
#include <stdio.h>
#include <yvn2psd.h>

int main(void) {
  yvn2psd_writer* w;
  yvn2psd_writer_create_file("made.yvn", YVN2PSD_FORMAT_YVN, 256, 128, NULL, &w);
  yvn2psd_layer_info layer = {"gradient", 0, 0, 256, 128, 255, 0, 1, YVN2PSD_BLEND_NORMAL};
  yvn2psd_writer_begin_layer(w, &layer);
  for (int y = 0; y < 128; ++y) {
    unsigned char row[256][4];
    for (int x = 0; x < 256; ++x) row[x][0] = x, row[x][1] = 2 * y, row[x][2] = 128, row[x][3] = 255;
    yvn2psd_writer_write_rows(w, YVN2PSD_PIXEL_RGBA8, row, 0, 1);
  }
  yvn2psd_writer_end_layer(w);
  static unsigned char square[64][64][4];
  for (int i = 0; i < 64 * 64; ++i) square[i / 64][i % 64][0] = 255, square[i / 64][i % 64][3] = 128;
  yvn2psd_layer_info red = {"square", 32, 32, 96, 96, 255, 0, 1, YVN2PSD_BLEND_MULTIPLY};
  yvn2psd_writer_add_layer(w, &red, YVN2PSD_PIXEL_RGBA8, square, 0);
  int status = yvn2psd_writer_finish(w, NULL, NULL);  /* every failure shows here */
  if (status != YVN2PSD_OK) fprintf(stderr, "%s\n", yvn2psd_last_error_message());
  yvn2psd_writer_close(w);
  return status != YVN2PSD_OK;
}
