#include "iio/psd.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "iio/psd_sections.h"

namespace iio {

struct Psd::Impl {
  Impl(Psd& o, DataSrcBase& s, std::string cs) : owner(o), src(s), charset(std::move(cs)) {}

  bool Progress(uint32_t row) { return owner.Report(next - 1, images, row, imageHeight); }
  bool Fail(int32_t code, const std::string& why) {
    if (error == kPsdOk) {
      error = code;
      detail = why;
    }
    layer.reset();
    merged.reset();
    window.clear();
    window.shrink_to_fit();
    window16.clear();
    window16.shrink_to_fit();
    haveImage = false;
    winCount = 0;
    return false;
  }
  uint32_t RowFailed(const std::string& why) {
    Fail(kPsdBadRow, Within(ImageName(next - 1), why));
    return 0;
  }
  // Image k as a failure's detail names it.
  std::string ImageName(uint32_t k) const {
    return k < layers.records.size() ? "layer " + Num(k) : std::string("merged image");
  }
  // Why row `row` of the current layer, decoded by a caller, failed: it is
  // decoded again to find out.
  std::string LayerRowFailure(uint32_t row) {
    std::string why;
    if (format.wide) {
      std::vector<uint64_t> px(imageWidth);
      layer->DecodeRow(row, scratch, px.data(), &why);
    } else {
      std::vector<uint32_t> px(imageWidth);
      layer->DecodeRow(row, scratch, px.data(), &why);
    }
    return why.empty() ? "row " + Num(row) + " was not decoded" : why;
  }
  // Starts the rows after the current window: the first row, and how many
  // of `count` the image still has.
  uint32_t NextWindow(uint32_t count) {
    winTop += winCount;
    winCount = 0;
    return winTop >= imageHeight ? 0 : std::min(count, imageHeight - winTop);
  }

  Psd& owner;
  DataSrcBase& src;
  std::string charset;  // of Pascal names
  int32_t error = kPsdOk;
  std::string detail;
  bool failed = false;
  bool opened = false;

  PsdHeader header;
  PsdColor color;
  PsdFormat format;
  LayerSection layers;
  uint32_t images = 0;
  uint32_t next = 0;

  // The current image: a layer's pixels, or the merged image's, or neither
  // (a record without pixels).
  std::unique_ptr<LayerPixels> layer;
  std::vector<uint8_t> spare;  // the last layer's channel data buffer
  std::unique_ptr<MergedPixels> merged;
  layer_param_t current;
  bool haveImage = false;
  uint32_t imageWidth = 0, imageHeight = 0;
  uint32_t winTop = 0, winCount = 0;  // rows relative to the image's top
  std::vector<uint32_t> window;    // 8-bit rows
  std::vector<uint64_t> window16;  // 16-bit rows (format.wide)
  RowScratch scratch;

  // Decodes rows [top, top + n) of the current image into `rows`, which
  // grows row by row as rows are decoded, so that a declared width never
  // claims memory for rows the file cannot supply. Returns the rows made; a
  // row that fails is reported through *failed, and why.
  template <typename Pixel>
  uint32_t FillWindow(uint32_t top, uint32_t n, std::vector<Pixel>& rows, bool* failed, std::string* why) {
    Impl& d = *this;
    const size_t w = d.imageWidth;
    rows.clear();
    if (!d.layer && !d.merged) {
      rows.resize(size_t(n) * w, Pixel(0));
      return n;
    }
    uint32_t i = 0;
    for (; i < n; ++i) {
      const uint32_t row = top + i;
      if (!d.Progress(row)) break;
      rows.resize(size_t(i + 1) * w);
      Pixel* px = rows.data() + size_t(i) * w;
      if (d.layer ? !d.layer->DecodeRow(row, d.scratch, px, why) : !d.merged->ReadRow(row, px, why)) {
        *failed = true;
        break;
      }
    }
    return i;
  }

  template <typename Pixel>
  const Pixel* WindowRow(const std::vector<Pixel>& rows, int32_t y) const {
    const Impl& d = *this;
    if (d.error || !d.haveImage || d.winCount == 0 || rows.empty()) return nullptr;
    const int64_t rel = int64_t(y) - d.current.top;
    if (rel < int64_t(d.winTop) || rel >= int64_t(d.winTop) + d.winCount) return nullptr;
    return rows.data() + size_t(rel - d.winTop) * d.imageWidth;
  }

  template <typename Pixel>
  uint32_t DecodeLayerRows(uint32_t first, uint32_t count, Pixel* out) const {
    const Impl& d = *this;
    if (d.error || !d.layer || uint64_t(first) + count > d.imageHeight) return 0;
    RowScratch scratch;
    const size_t w = d.imageWidth;
    for (uint32_t i = 0; i < count; ++i)
      if (!d.layer->DecodeRow(first + i, scratch, out + size_t(i) * w)) return i;
    return count;
  }

  template <typename Pixel>
  bool ImageRowAt(uint32_t row, Pixel* out, std::string* why) {
    Impl& d = *this;
    if (d.error) return Explain(why, d.detail);
    if (!d.haveImage || row >= d.imageHeight) return Explain(why, "row " + Num(row) + " of no image");
    std::string failure;
    std::string* f = why ? &failure : nullptr;
    if (d.layer ? !d.layer->DecodeRow(row, d.scratch, out, f) : d.merged && !d.merged->ReadRow(row, out, f))
      return Explain(why, Within(ImageName(d.next - 1), failure));
    if (!d.layer && !d.merged) std::fill(out, out + d.imageWidth, Pixel(0));
    return true;
  }
};

Psd::Psd(DataSrcBase& src, std::string nameCharset) : impl_(new Impl(*this, src, std::move(nameCharset))) {
  impl_->error = ReadPsdHeader(src, &impl_->header, &impl_->detail);
}

Psd::~Psd() = default;

void Psd::CheckFailed() {
  if (impl_->error != kPsdOk) impl_->failed = true;
}

int32_t Psd::ErrorCode() const { return impl_->error; }
const std::string& Psd::ErrorDetail() const { return impl_->detail; }
uint32_t Psd::Width() const { return impl_->failed || impl_->error ? 0 : impl_->header.width; }
uint32_t Psd::Height() const { return impl_->failed || impl_->error ? 0 : impl_->header.height; }
uint32_t Psd::ImageCount() const { return impl_->images; }
uint32_t Psd::LayerCount() const { return uint32_t(impl_->layers.records.size()); }
const layer_param_t& Psd::LayerParam(uint32_t i) const { return impl_->layers.records[i].param; }

uint32_t Psd::Open() {
  Impl& d = *impl_;
  if (d.error) return 0;
  if (d.opened) return d.images;
  d.opened = true;
  // The header is read; the sections after it, in file order, up to the
  // channel data. The merged image is found when its turn comes.
  SectionCursor file(d.src, d.src.size());
  std::string why;
  PsdError e = d.src.seek(kPsdHeaderBytes) ? kPsdOk : Explain(&why, kPsdBadLayers, "the file ends after its header");
  if (!e) e = ReadColourSections(d.src, file, d.header, &d.color, &why);
  if (!e) {
    d.format.large = d.header.Large();
    d.format.depth = d.header.depth;
    d.format.color = &d.color;
    d.format.wide = !d.color.Exact8();
    d.format.plainRgb8 = d.header.mode == kPsdRGB && d.header.depth == 8;
    e = ReadLayerSection(d.src, file, d.header, d.charset, &d.layers, &why);
  }
  if (e) {
    d.Fail(e, why);
    return 0;
  }
  d.images = uint32_t(d.layers.records.size()) + 1;
  return d.images;
}

bool Psd::NextImage(layer_param_t& out) {
  Impl& d = *impl_;
  if (d.error || !d.opened || d.next >= d.images) return false;
  // The next layer reads into the last one's buffer; the merged image does
  // not, and nothing is kept past the last layer.
  if (d.layer && d.next < d.layers.records.size()) d.spare = d.layer->TakeBuffer();
  d.layer.reset();
  d.merged.reset();
  d.window.clear();
  d.window16.clear();
  if (d.next < d.layers.records.size()) {
    const LayerRecord& rec = d.layers.records[d.next];
    d.current = rec.param;
    if (!rec.param.pixelsIrrelevant) {
      if (rec.dataOffset > d.src.size() || !d.src.seek(rec.dataOffset))
        return d.Fail(kPsdBadImage, d.ImageName(d.next) + ": its channel data starts at " + Num(rec.dataOffset) +
                                        ", past the file's end");
      std::unique_ptr<LayerPixels> px(new LayerPixels(d.src, rec, d.format, std::move(d.spare)));
      if (!px->ok()) return d.Fail(kPsdBadImage, Within(d.ImageName(d.next), px->Failure()));
      d.layer = std::move(px);
    }
  } else {
    std::vector<uint8_t>().swap(d.spare);
    std::string why;
    if (PsdError e = MergedPixels::Read(d.src, d.layers.mergedStart, d.header, d.format, &d.merged, &why))
      return d.Fail(e, why);
    d.current = MergedPixels::Param(d.header, !d.layers.records.empty());
  }
  d.imageWidth = uint32_t(d.current.Width());
  d.imageHeight = uint32_t(d.current.Height());
  d.winTop = d.winCount = 0;
  d.haveImage = true;
  out = d.current;
  ++d.next;
  return d.Progress(0);
}


uint32_t Psd::ReadRows(uint32_t count) {
  Impl& d = *impl_;
  if (d.error || !d.haveImage) return 0;
  const uint32_t n = d.NextWindow(count);
  if (n == 0) return 0;
  bool failed = false;
  std::string why;
  const uint32_t made = d.format.wide ? d.FillWindow(d.winTop, n, d.window16, &failed, &why)
                                      : d.FillWindow(d.winTop, n, d.window, &failed, &why);
  if (failed) return d.RowFailed(why);
  d.winCount = made;
  return made;
}


bool Psd::Wide() const { return impl_->format.wide; }

const uint32_t* Psd::RowPointer(int32_t y) const { return impl_->WindowRow(impl_->window, y); }
const uint64_t* Psd::RowPointer16(int32_t y) const { return impl_->WindowRow(impl_->window16, y); }

bool Psd::RowsDecodable(uint32_t first, uint32_t count) const {
  const Impl& d = *impl_;
  return !d.error && d.layer && uint64_t(first) + count <= d.imageHeight && d.layer->RowsPlausible(first, count);
}

uint32_t Psd::DecodeRows(uint32_t first, uint32_t count, uint32_t* out) const {
  return impl_->DecodeLayerRows(first, count, out);
}
uint32_t Psd::DecodeRows(uint32_t first, uint32_t count, uint64_t* out) const {
  return impl_->DecodeLayerRows(first, count, out);
}

bool Psd::RowAt(uint32_t row, uint32_t* out, std::string* why) { return impl_->ImageRowAt(row, out, why); }
bool Psd::RowAt(uint32_t row, uint64_t* out, std::string* why) { return impl_->ImageRowAt(row, out, why); }

uint32_t Psd::TakeRows(uint32_t count, uint32_t decoded) {
  Impl& d = *impl_;
  if (d.error || !d.haveImage) return 0;
  const uint32_t n = d.NextWindow(count);
  uint32_t i = 0;
  for (; i < n; ++i) {
    if (!d.Progress(d.winTop + i)) break;
    if (i >= decoded) return d.RowFailed(d.LayerRowFailure(d.winTop + i));
  }
  d.winTop += i;
  return i;
}

}  // namespace iio
