/* yvn2psd-thumbnailer: a freedesktop thumbnailer for .yvn paintings.
 *
 *   yvn2psd-thumbnailer [-s SIZE] INPUT OUTPUT
 *
 * Writes OUTPUT as an 8-bit RGBA PNG of the painting's merged image fitted
 * into SIZE x SIZE (never enlarged). The thumbnail the file stores is used
 * when it is at least that large; otherwise the merged image is composed a
 * band of rows at a time. Each output pixel is the mean of the source
 * pixels it covers, weighted by their transparency. The PNG goes to a
 * temporary file beside OUTPUT, renamed over it once complete: a failure
 * leaves no OUTPUT behind. */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <png.h>
#include <setjmp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <yvn2psd.h>

#include "scale.h"

#define PROGRAM "yvn2psd-thumbnailer"
/* Rows of the merged image read at a time, at least: fewer, larger calls. */
#define BAND_ROWS 128u

static void usage(FILE* to) {
  fprintf(to, "usage: " PROGRAM " [-s SIZE] INPUT OUTPUT.png\n"
              "  Writes a PNG of the .yvn painting INPUT fitted into SIZE x SIZE pixels\n"
              "  (default 256, at most 4096).\n");
}

static int fail(const char* input, const char* what) {
  fprintf(stderr, PROGRAM ": %s: %s\n", input, what);
  return 1;
}

/* Fits width x height into size x size, keeping the aspect, never enlarging. */
static void fit(uint32_t width, uint32_t height, uint32_t size, uint32_t* ow, uint32_t* oh) {
  if (width <= size && height <= size) {
    *ow = width, *oh = height;
  } else if (width >= height) {
    *ow = size;
    *oh = (uint32_t)(((uint64_t)height * size + width / 2) / width);
  } else {
    *oh = size;
    *ow = (uint32_t)(((uint64_t)width * size + height / 2) / height);
  }
  if (*ow == 0) *ow = 1;
  if (*oh == 0) *oh = 1;
}

/* The stored thumbnail, scaled down to ow x oh. */
static int from_thumbnail(yvn2psd_document* doc, uint32_t tw, uint32_t th, yvn_scaler* s) {
  size_t size = yvn2psd_buffer_size(YVN2PSD_PIXEL_RGBA8, tw, th, 0);
  unsigned char* px = malloc(size);
  if (!px) return YVN2PSD_ERR_OUT_OF_MEMORY;
  int status = yvn2psd_read_thumbnail(doc, YVN2PSD_PIXEL_RGBA8, px, 0, size);
  if (status == YVN2PSD_OK) yvn_scaler_add_rows(s, px, th);
  free(px);
  return status;
}

/* The merged image, composed by the library band by band. */
static int from_merged(yvn2psd_document* doc, uint32_t width, uint32_t height, yvn_scaler* s) {
  /* Whole output rows per band, so that no source row is read twice. */
  uint32_t rows = BAND_ROWS;
  size_t row_bytes = (size_t)width * 4;
  size_t size = row_bytes * rows;
  unsigned char* band = malloc(size);
  if (!band) return YVN2PSD_ERR_OUT_OF_MEMORY;
  int status = YVN2PSD_OK;
  for (uint32_t y = 0; y < height && status == YVN2PSD_OK; y += rows) {
    uint32_t n = height - y < rows ? height - y : rows;
    status = yvn2psd_read_merged_rows(doc, y, n, YVN2PSD_PIXEL_RGBA8, band, row_bytes, size);
    if (status == YVN2PSD_OK) yvn_scaler_add_rows(s, band, n);
  }
  free(band);
  return status;
}

static int write_png(FILE* f, const unsigned char* rgba, uint32_t w, uint32_t h) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
  if (!png) return 0;
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return 0;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  /* Thumbnails are small and written once: favour speed over size. */
  png_set_compression_level(png, 3);
  png_write_info(png, info);
  for (uint32_t y = 0; y < h; ++y) png_write_row(png, (png_const_bytep)(rgba + (size_t)y * w * 4));
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return 1;
}

/* Writes the PNG through a temporary beside `output`, renamed over it. */
static int save(const char* output, const unsigned char* rgba, uint32_t w, uint32_t h) {
  size_t n = strlen(output);
  char* tmp = malloc(n + 8);
  if (!tmp) return 0;
  memcpy(tmp, output, n);
  memcpy(tmp + n, ".XXXXXX", 8);
  int fd = mkstemp(tmp);
  if (fd < 0) {
    free(tmp);
    return 0;
  }
  FILE* f = fdopen(fd, "wb");
  int ok = f && write_png(f, rgba, w, h);
  if (f) ok = (fclose(f) == 0) && ok;
  else close(fd);
  if (ok) ok = rename(tmp, output) == 0;
  if (!ok) unlink(tmp);
  free(tmp);
  return ok;
}

int main(int argc, char** argv) {
  unsigned long size = 256;
  int opt;
  while ((opt = getopt(argc, argv, "s:hV")) != -1) {
    char* end;
    switch (opt) {
      case 's':
        errno = 0;
        size = strtoul(optarg, &end, 10);
        if (errno || *end || end == optarg || size < 1 || size > 4096) {
          fprintf(stderr, PROGRAM ": SIZE must be 1 to 4096, not '%s'\n", optarg);
          return 2;
        }
        break;
      case 'h':
        usage(stdout);
        return 0;
      case 'V':
        printf(PROGRAM " %s\n", yvn2psd_version_string());
        return 0;
      default:
        usage(stderr);
        return 2;
    }
  }
  if (argc - optind != 2) {
    usage(stderr);
    return 2;
  }
  const char* input = argv[optind];
  const char* output = argv[optind + 1];

  yvn2psd_document* doc;
  if (yvn2psd_open_file(input, NULL, &doc) != YVN2PSD_OK) return fail(input, yvn2psd_last_error_message());
  yvn2psd_document_info info;
  uint32_t tw = 0, th = 0, ow, oh;
  yvn2psd_document_info_get(doc, &info);
  yvn2psd_thumbnail_size(doc, &tw, &th);
  fit(info.width, info.height, (uint32_t)size, &ow, &oh);

  int status;
  yvn_scaler* s;
  if (tw >= ow && th >= oh) {
    s = yvn_scaler_new(tw, th, ow, oh);
    status = s ? from_thumbnail(doc, tw, th, s) : YVN2PSD_ERR_OUT_OF_MEMORY;
  } else {
    s = yvn_scaler_new(info.width, info.height, ow, oh);
    status = s ? from_merged(doc, info.width, info.height, s) : YVN2PSD_ERR_OUT_OF_MEMORY;
  }
  int rc = 0;
  if (status != YVN2PSD_OK)
    rc = fail(input, yvn2psd_last_error() == status ? yvn2psd_last_error_message() : yvn2psd_error_text(status));
  else if (!save(output, yvn_scaler_pixels(s), ow, oh)) rc = fail(output, strerror(errno ? errno : EIO));
  yvn_scaler_free(s);
  yvn2psd_close(doc);
  return rc;
}
