// The file header: signature, version, channels, canvas size, depth and
// colour mode.
#include "iio/psd_sections.h"

namespace iio {

PsdError ReadPsdHeader(DataSrcBase& src, PsdHeader* out, std::string* why) {
  src.rewind();
  const std::string tooShort = "header: the file's " + Num(src.size()) + " bytes cannot hold one";
  if (src.remaining() < 28) return Explain(why, kPsdTooShort, tooShort);
  const uint8_t* h = src.read(kPsdHeaderBytes);
  if (!h) return Explain(why, kPsdTooShort, tooShort);
  PsdHeader& f = *out;
  f.version = LoadBe16(h + 4);
  f.channels = LoadBe16(h + 12);
  f.height = LoadBe32(h + 14);
  f.width = LoadBe32(h + 18);
  f.depth = LoadBe16(h + 22);
  f.mode = LoadBe16(h + 24);
  if (!KeyIs(h, "8BPS")) return Explain(why, kPsdBadHeader, "header: no 8BPS signature");
  if (f.version != 1 && f.version != 2) return Explain(why, kPsdBadHeader, "header: version " + Num(f.version));
  const uint32_t side = f.Large() ? kMaxLargeCanvasSide : kMaxCanvasSide;
  if (f.width < 1 || f.width > side || f.height < 1 || f.height > side)
    return Explain(why, kPsdBadHeader,
                   "header: a canvas of " + Num(f.width) + " x " + Num(f.height) + " (1 to " + Num(side) + " a side)");
  if (f.channels < 1 || f.channels > 56)
    return Explain(why, kPsdBadHeader, "header: " + Num(f.channels) + " channels (1 to 56)");
  if (!PsdModeAndDepthFit(f.mode, f.depth))
    return Explain(why, kPsdBadHeader, "header: colour mode " + Num(f.mode) + " at " + Num(f.depth) + " bits");
  return kPsdOk;
}

}  // namespace iio
