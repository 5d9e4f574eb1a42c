// Colour mode data and image resources: what they hold for the colours of
// the pixels (an indexed file's palette, its transparent index, an embedded
// profile) sets up the file's colour conversion; the rest is not used.
#include "iio/psd_sections.h"

namespace iio {

namespace {

// A section is a length and that many bytes, which must be in the file.
bool ReadBlock(SectionCursor& file, DataSrcBase& src, std::vector<uint8_t>* out, const char* what, std::string* why) {
  uint32_t len;
  if (!file.U32(&len)) return Explain(why, std::string(what) + ": the file ends before its length");
  if (!file.Fits(len))
    return Explain(why, std::string(what) + ": " + Num(len) + " bytes, past the file's end (" + Num(file.Left()) +
                            " bytes left)");
  return src.readInto(*out, len) || Explain(why, std::string(what) + ": its " + Num(len) + " bytes cannot be read");
}

}  // namespace

PsdError ReadColourSections(DataSrcBase& src, SectionCursor& file, const PsdHeader& header, PsdColor* out,
                            std::string* why) {
  std::vector<uint8_t> colourData, resources;
  if (!ReadBlock(file, src, &colourData, "colour mode data", why) ||
      !ReadBlock(file, src, &resources, "image resources", why))
    return kPsdBadLayers;
  if (out->Init(header.mode, header.depth, colourData.data(), colourData.size(), resources.data(), resources.size()))
    return kPsdOk;
  return Explain(why, kPsdBadLayers,
                 header.mode == kPsdIndexed ? "colour mode data: " + Num(colourData.size()) +
                                                  " bytes, without the palette of an indexed file (768)"
                                            : "colour mode " + Num(header.mode) + " at " + Num(header.depth) +
                                                  " bits cannot be converted");
}

}  // namespace iio
