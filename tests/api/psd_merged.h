#ifndef YVN_TEST_PSD_MERGED_H
#define YVN_TEST_PSD_MERGED_H
#include <stddef.h>
#include <stdint.h>

/* The merged image of an 8-bit RGB PSD or PSB with a fourth channel, as
 * stored, read apart from the library: *planes gets the four channels' bytes
 * one plane after another (free it); 0, or -1 when the file is not such a
 * PSD or its data does not hold together. */
int PsdMergedPlanes(const uint8_t* file, size_t size, uint32_t* width, uint32_t* height, uint8_t** planes);

#endif
