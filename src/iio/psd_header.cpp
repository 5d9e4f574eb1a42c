// The file header: signature, version, channels, canvas size, depth and
// colour mode.
#include "iio/psd_sections.h"

namespace iio {

PsdError ReadPsdHeader(DataSrcBase& src, PsdHeader* out) {
  src.rewind();
  if (src.remaining() < 28) return kPsdTooShort;
  const uint8_t* h = src.read(kPsdHeaderBytes);
  if (!h) return kPsdTooShort;
  PsdHeader& f = *out;
  f.version = LoadBe16(h + 4);
  f.channels = LoadBe16(h + 12);
  f.height = LoadBe32(h + 14);
  f.width = LoadBe32(h + 18);
  f.depth = LoadBe16(h + 22);
  f.mode = LoadBe16(h + 24);
  if (!KeyIs(h, "8BPS") || (f.version != 1 && f.version != 2)) return kPsdBadHeader;
  const uint32_t side = f.Large() ? kMaxLargeCanvasSide : kMaxCanvasSide;
  if (f.width < 1 || f.width > side || f.height < 1 || f.height > side || f.channels < 1 || f.channels > 56)
    return kPsdBadHeader;
  return PsdModeAndDepthFit(f.mode, f.depth) ? kPsdOk : kPsdBadHeader;
}

}  // namespace iio
