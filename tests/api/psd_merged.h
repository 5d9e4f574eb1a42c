/* The merged image of a PSD or PSB as stored: an independent reading of the
 * image data section, for comparing the library's merged image with the
 * bytes the program writes. */
#ifndef YVN_TEST_PSD_MERGED_H
#define YVN_TEST_PSD_MERGED_H
#include <stddef.h>
#include <stdint.h>

/* 8-bit RGB files with a fourth channel only: *planes gets the four
 * channels' bytes one plane after another (free it); 0, or -1 when the file
 * is not such a PSD or its data does not hold together. */
int PsdMergedPlanes(const uint8_t* file, size_t size, uint32_t* width, uint32_t* height, uint8_t** planes);

#endif
