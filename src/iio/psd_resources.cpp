// Colour mode data and image resources: nothing in them changes how an
// 8-bit RGB file's pixels or layers are read, so both are skipped whole.
#include "iio/psd_sections.h"

namespace iio {

namespace {

PsdError SkipBlock(SectionCursor& file) {
  uint32_t len;
  return file.U32(&len) && file.Skip(len) ? kPsdOk : kPsdBadLayers;
}

}  // namespace

PsdError SkipColourModeData(SectionCursor& file) { return SkipBlock(file); }

PsdError SkipImageResources(SectionCursor& file) { return SkipBlock(file); }

}  // namespace iio
