// Colour mode data and image resources: what they hold for the colours of
// the pixels (an indexed file's palette, its transparent index, an embedded
// profile) sets up the file's colour conversion; the rest is not used.
#include "iio/psd_sections.h"

namespace iio {

namespace {

// A section is a length and that many bytes, which must be in the file.
bool ReadBlock(SectionCursor& file, DataSrcBase& src, std::vector<uint8_t>* out) {
  uint32_t len;
  return file.U32(&len) && file.Fits(len) && src.readInto(*out, len);
}

}  // namespace

PsdError ReadColourSections(DataSrcBase& src, SectionCursor& file, const PsdHeader& header, PsdColor* out) {
  std::vector<uint8_t> colourData, resources;
  if (!ReadBlock(file, src, &colourData) || !ReadBlock(file, src, &resources)) return kPsdBadLayers;
  return out->Init(header.mode, header.depth, colourData.data(), colourData.size(), resources.data(),
                   resources.size())
             ? kPsdOk
             : kPsdBadLayers;
}

}  // namespace iio
