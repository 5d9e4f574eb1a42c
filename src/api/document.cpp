// The read door: a document opened from a path, bytes or a caller's source,
// its layers' properties, a layer's pixels and the merged image into the
// caller's buffers. A layer is read when asked for and let go when another
// is; layers asked for in order are blended into the merged image on the
// way, so that reading every layer and then the merged image reads each
// layer once.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/internal.h"
#include "api/pixels.h"
#include "base/data_src.h"
#include "base/output_file.h"
#include "base/work_pool.h"
#include "convert/export_psd.h"
#include "convert/import_psd.h"
#include "convert/layer_mapping.h"
#include "convert/running_composite.h"
#include "iio/psd.h"
#include "kzm/composite.h"
#include "kzm/native_reader.h"
#include "kzm/pi_image.h"
#include "kzm/pix_iterator.h"
#include "kzm/runtime.h"

struct yvn2psd_document {
  kzm::Runtime runtime;
  std::unique_ptr<DataSrcBase> bytes;  // the source; a file is opened by the read
  std::string path;
  std::string charset;
  bool native = false;
  ConversionEvents quiet;  // a read without progress
  std::string name;        // the last layer info's name

  // .yvn
  NativeSourcePtr yvn;
  std::vector<kzm::ImageProperties> heads;  // as the composite was made from
  std::unique_ptr<RunningComposite<kzm::LoadedLayer>> merged;
  size_t nextBlend = 0;  // the first layer not yet in the merged image
  bool mergedDone = false;
  kzm::LoadedLayer current;
  size_t currentIndex = SIZE_MAX;
  // The layer in hand is blended into the merged image and let go of as its
  // rows are read, from the top: rows above `readTo` (document positions)
  // have gone.
  bool blending = false;
  int64_t readTo = INT64_MIN;
  std::vector<kzm::Rect> rects;  // per layer, known once read
  std::vector<bool> rectKnown;

  // The next layer, read on the work pool while the caller takes this one.
  kzm::LoadedLayer ahead;
  size_t aheadIndex = SIZE_MAX;
  int aheadResult = 0;
  bool aheadChanged = false;

  // PSD
  PsdSourcePtr psd;
  std::unique_ptr<iio::Psd> reader;  // positioned after image `readerAt` - 1
  uint32_t readerAt = 0;
  std::vector<uint32_t> psdLayers;  // the images that are layers
  uint32_t depth = 0, version = 0;
  PsdRowBuffers rows;
  std::unique_ptr<kzm::Plane> image;  // the PSD image read last
  uint32_t imageIndex = UINT32_MAX;

  base::Task reading;  // reads `ahead`; last, so that it ends before what it uses goes
};

namespace api {

namespace {

using kzm::Rect;

int LayerCount(const yvn2psd_document& d) {
  return int(d.native ? d.yvn->reader->LayerCount() : d.psdLayers.size());
}

// A layer load's result as a failure's code.
int LoadCode(int r) { return r == kzm::kLoadTooLarge ? kErrTooLarge : r; }

// ---------------------------------------------------------------- .yvn

// The merged image as the PSD writer composes it, from the layers' heads.
void StartMerged(yvn2psd_document& d) {
  d.reading.wait();  // it may be correcting a head
  kzm::NativeReader& reader = *d.yvn->reader;
  d.heads.clear();
  for (size_t i = 0; i < reader.LayerCount(); ++i) d.heads.push_back(reader.Head(i));
  d.merged = std::make_unique<RunningComposite<kzm::LoadedLayer>>(d.yvn->canvas, d.heads);
  for (const kzm::ImageProperties& h : d.heads)
    if (h.visible && h.defaultPixel.Word() != 0) {
      d.merged->composite().CoverCanvas();
      break;
    }
  d.nextBlend = 0;
  d.mergedDone = false;
}

// Whether the layer in hand is the next one the merged image takes.
bool MergedTakes(const yvn2psd_document& d) {
  return d.merged && d.current && d.currentIndex == d.nextBlend;
}

// Starts blending the layer in hand into the merged image, once.
void StartBlending(yvn2psd_document& d) {
  if (d.blending || !MergedTakes(d)) return;
  d.merged->Start(d.currentIndex, d.current);
  d.blending = true;
}

// Lets go of the layer in hand, blended into the merged image first when it
// is the next one the merged image takes.
void LetGo(yvn2psd_document& d) {
  if (!d.current) return;
  if (MergedTakes(d)) {
    const size_t k = d.currentIndex;
    StartBlending(d);
    d.merged->Finish(k);
    if (d.merged->Keeps(k)) d.merged->Keep(k, std::move(d.current));
    ++d.nextBlend;
  }
  d.current.Reset();
  d.currentIndex = SIZE_MAX;
  d.blending = false;
  d.readTo = INT64_MIN;
}

// Takes layer k from the read ahead, when that read it.
bool TakeAhead(yvn2psd_document& d, size_t k, bool& changed) {
  d.reading.wait();
  const bool got = d.aheadIndex == k && d.aheadResult == 0 && d.ahead;
  if (got) {
    d.current = std::move(d.ahead);
    changed = d.aheadChanged;
  } else if (d.aheadIndex != SIZE_MAX && d.aheadChanged) {
    // A head the read ahead corrected: the merged image made from the old
    // one starts again, though that layer is not the one wanted now.
    d.merged.reset();
  }
  d.aheadChanged = false;
  d.ahead.Reset();
  d.aheadIndex = SIZE_MAX;
  return got;
}

// Layer k read whole into `out`: 0 or a failure's code (recorded).
int LoadInto(yvn2psd_document& d, size_t k, kzm::LoadedLayer& out, bool& changed) {
  kzm::NativeReader& reader = *d.yvn->reader;
  int r = reader.LoadLayer(k, out, &changed);
  if (r == kzm::kLoadTooLarge) {
    // Beside a clip base the merged image holds, it may not fit: alone it does.
    d.merged.reset();
    r = reader.LoadLayer(k, out, &changed);
  }
  return r == 0 ? 0 : Fail(LoadCode(r));
}

// Makes layer k the layer in hand, and reads the next one meanwhile:
// reading (inflating) a layer is the costliest step, and one thread's work.
int LoadNative(yvn2psd_document& d, size_t k) {
  if (d.current && d.currentIndex == k) return 0;
  LetGo(d);
  kzm::NativeReader& reader = *d.yvn->reader;
  bool changed = false;
  if (!TakeAhead(d, k, changed))
    if (const int code = LoadInto(d, k, d.current, changed)) return code;
  // The whole record gave other properties than its head: the merged image
  // made from the heads starts again.
  if (changed) d.merged.reset();
  d.currentIndex = k;
  const kzm::PiImage& img = *d.current->image();
  d.rects[k] = ContentRect(img, d.yvn->canvas);
  d.rectKnown[k] = true;
  if (k + 1 < reader.LayerCount()) {
    yvn2psd_document* doc = &d;
    d.aheadIndex = k + 1;
    // Beside the layer in hand a layer may not fit the memory given: it is
    // then read alone, when asked for.
    d.reading = base::Task([doc] {
      doc->aheadResult = doc->yvn->reader->LoadLayer(doc->aheadIndex, doc->ahead, &doc->aheadChanged);
    });
  }
  return 0;
}

// Rows [0, height) of a rectangle in the caller's form, a band at a time on
// the work pool; read(y, count, cells) gives rows [y, y + count).
template <typename Read>
void ReadBands(int64_t width, int64_t height, int form, uint8_t* out, size_t stride, Read&& read) {
  constexpr int kBand = 32;
  const size_t w = size_t(width);
  base::ParallelFor(size_t((height + kBand - 1) / kBand), [&](size_t band) {
    const int64_t y = int64_t(band) * kBand;
    const int n = int(std::min<int64_t>(kBand, height - y));
    std::vector<PixelRGBA> cells(w * size_t(n));
    read(y, n, cells.data());
    for (int r = 0; r < n; ++r) CellsToForm(cells.data() + size_t(r) * w, w, form, out + size_t(y + r) * stride);
  });
}

// Rows [first, first + count) of layer k's rectangle (document positions
// `rect`) into the caller's buffer. Read from the top down, the layer is
// blended into the merged image and let go of as its rows are read; a row
// above those already let go of is read from the layer read again.
int ReadNativeRows(yvn2psd_document& d, size_t k, const Rect& rect, int64_t first, int64_t count, int form,
                   uint8_t* out, size_t stride) {
  if (const int code = LoadNative(d, k)) return code;
  const int64_t top = rect.top + first;
  if (top < d.readTo) {
    kzm::LoadedLayer again;
    bool changed = false;
    d.reading.wait();
    if (const int code = LoadInto(d, k, again, changed)) return code;
    const kzm::Plane& plane = *again;
    ReadBands(int64_t(rect.right) - rect.left, count, form, out, stride, [&](int64_t y, int n, PixelRGBA* cells) {
      kzm::PixRandIterator(plane).ReadRows(int32_t(top + y), n, rect.left, rect.right, cells);
    });
    return 0;
  }
  StartBlending(d);
  const bool keep = d.blending && d.merged->Keeps(k);
  kzm::PiImage& tiles = *d.current->image();
  const kzm::Plane& plane = *d.current;
  // A row of tiles at a time: read, then blended and let go of.
  for (int64_t y = 0; y < count;) {
    const int64_t end = std::min<int64_t>(count, ((top + y) & ~int64_t(kzm::kTileSize - 1)) + kzm::kTileSize - top);
    ReadBands(int64_t(rect.right) - rect.left, end - y, form, out + size_t(y) * stride, stride,
              [&](int64_t r, int n, PixelRGBA* cells) {
                kzm::PixRandIterator(plane).ReadRows(int32_t(top + y + r), n, rect.left, rect.right, cells);
              });
    y = end;
    if (!keep) {
      if (d.blending) d.merged->BlendAbove(top + y);
      tiles.ReleaseTilesAbove(top + y);
      d.readTo = top + y;
    }
  }
  if (top + count >= rect.bottom) LetGo(d);
  return 0;
}

// Every layer the merged image still needs, blended in.
int ComposeNative(yvn2psd_document& d) {
  const size_t n = d.yvn->reader->LayerCount();
  if (!d.merged) {
    LetGo(d);
    StartMerged(d);
  }
  while (!d.mergedDone) {
    if (d.nextBlend >= n) {
      d.mergedDone = true;
      break;
    }
    const size_t k = d.nextBlend;
    if (!d.merged->Wanted(k)) {
      if (d.currentIndex != k) LetGo(d);
      ++d.nextBlend;
      continue;
    }
    if (const int code = LoadNative(d, k)) return code;
    if (!d.merged) StartMerged(d);  // a changed head: from the bottom again
    else LetGo(d);
  }
  return 0;
}

int ReadNativeMerged(yvn2psd_document& d, int64_t first, int64_t count, int form, uint8_t* out, size_t stride) {
  if (const int code = ComposeNative(d)) return code;
  const Rect& c = d.yvn->canvas;
  const kzm::Composite& merged = d.merged->composite();
  ReadBands(int64_t(c.right) - c.left, count, form, out, stride, [&](int64_t y, int n, PixelRGBA* cells) {
    merged.ReadRows(int32_t(c.top + first + y), n, c.left, c.right, cells);
  });
  return 0;
}

// ---------------------------------------------------------------- PSD

// Image k of the PSD read into d.image (as the conversion reads it into a
// layer's tiles), with its record in P.
int LoadPsdImage(yvn2psd_document& d, uint32_t k, iio::layer_param_t& P) {
  P = RecordOfImage(*d.reader, k);
  if (d.image && d.imageIndex == k) return 0;
  d.image.reset();
  d.imageIndex = UINT32_MAX;
  // The reader hands out images in order: one further back starts it again.
  if (k < d.readerAt) {
    d.reader = std::make_unique<iio::Psd>(*d.psd->file, d.charset);
    if (d.reader->ErrorCode() != 0 || d.reader->Open() == 0) return Fail(kErrNotPsd);
    d.readerAt = 0;
  }
  iio::layer_param_t skipped;
  while (d.readerAt < k) {
    if (!d.reader->NextImage(skipped)) return Fail(kErrNotPsd);
    ++d.readerAt;
  }
  if (!d.reader->NextImage(P)) return Fail(kErrNotPsd);
  ++d.readerAt;
  std::unique_ptr<kzm::Plane> layer = kzm::PiImage::Create();
  if (const int code = ReadImageTiles(*d.reader, P, *layer->image(), d.rows, d.psd->budget.memoryBytes))
    return Fail(code);
  d.image = std::move(layer);
  d.imageIndex = k;
  return 0;
}

int ReadPsdImage(yvn2psd_document& d, uint32_t k, int64_t first, int64_t count, int form, uint8_t* out,
                 size_t stride) {
  iio::layer_param_t P;
  if (const int code = LoadPsdImage(d, k, P)) return code;
  const kzm::Plane& image = *d.image;
  ReadBands(P.Width(), count, form, out, stride, [&](int64_t y, int n, PixelRGBA* cells) {
    kzm::PixRandIterator(image).ReadRows(int32_t(P.top + first + y), n, P.left, P.right, cells);
  });
  return 0;
}

// ---------------------------------------------------------------- common

int Open(std::unique_ptr<yvn2psd_document> d, bool native, yvn2psd_document** out) {
  SourceRef source;
  source.path = d->path;
  source.bytes = d->bytes.get();
  d->native = native;
  if (native) {
    KzmLoad load(source, d->quiet);
    load.Run();
    if (!load.document()) return Fail(load.status() ? load.status() : kErrNoDocument, load.detail());
    d->yvn = load.document();
    const size_t n = d->yvn->reader->LayerCount();
    d->rects.assign(n, Rect{});
    d->rectKnown.assign(n, false);
    StartMerged(*d);
  } else {
    PsdLoad load(source, d->quiet, d->charset);
    load.Run();
    if (!load.document()) return Fail(load.status() ? load.status() : kErrNoDocument, load.detail());
    d->psd = load.document();
    // The header's version and depth, read before the reader takes the source.
    DataSrcBase& file = *d->psd->file;
    file.rewind();
    if (const uint8_t* h = file.read(26)) {
      d->version = uint32_t(h[4]) << 8 | h[5];
      d->depth = uint32_t(h[22]) << 8 | h[23];
    }
    file.rewind();
    d->reader = std::make_unique<iio::Psd>(*d->psd->file, d->charset);
    if (d->reader->ErrorCode() != 0 || d->reader->Open() == 0) return Fail(kErrNotPsd);
    for (uint32_t k : d->psd->plan.layers)
      if (k < d->reader->LayerCount()) d->psdLayers.push_back(k);
  }
  *out = d.release();
  return 0;
}

// A layer's properties as a caller sees them: in PSD terms (as the PSD
// writer stores them), and the document's exact opacity and mode.
void InfoOf(const kzm::ImageProperties& p, yvn2psd_layer_info& info) {
  const iio::layer_param_t r = RecordOfProperties(p);
  info.opacity_exact = p.opacity;
  info.opacity = r.opacity;
  info.visible = r.visible ? 1 : 0;
  info.blend = BlendOfMode(p.blend.ColorMode());
  std::memcpy(info.psd_key, r.blendKey.data(), 4);
  info.psd_key[4] = '\0';
  info.clipping = r.clipping ? 1 : 0;
  info.lock_transparency = r.lockTransparency ? 1 : 0;
  info.lock_pixels = r.lockPixels ? 1 : 0;
}

// Checks a caller's buffer for w x h pixels of a form; the stride it takes.
int CheckBuffer(int form, int64_t w, int64_t h, const void* buffer, size_t& stride, size_t size) {
  const size_t px = PixelBytes(form);
  if (!px) return Fail(kErrInvalidArgument, "unknown pixel form");
  if (w <= 0 || h <= 0) return 0;
  const uint64_t row = uint64_t(w) * px;
  if (stride == 0) stride = size_t(row);
  if (stride < row) return Fail(kErrBufferTooSmall, "stride below a row");
  const size_t need = yvn2psd_buffer_size(form, uint32_t(w), uint32_t(h), stride);
  if (need == 0 || size < need) return Fail(kErrBufferTooSmall);
  if (!buffer) return Fail(kErrInvalidArgument, "no buffer");
  return 0;
}

}  // namespace

}  // namespace api

extern "C" {

int yvn2psd_open_file(const char* path, const yvn2psd_options* options, yvn2psd_document** document) {
  return api::Guard([&] {
    if (!document) return api::Fail(kErrInvalidArgument, "no document pointer");
    *document = nullptr;
    if (!path || !*path) return api::Fail(kErrInvalidArgument, "no path");
    const yvn2psd_options o = api::OptionsOf(options);
    if (const int code = api::CheckOptions(o)) return code;
    auto d = std::make_unique<yvn2psd_document>();
    d->path = path;
    d->charset = o.psd_name_charset ? o.psd_name_charset : "";
    bool native = o.source_format == YVN2PSD_FORMAT_YVN;
    if (o.source_format == YVN2PSD_FORMAT_AUTO) {
      uint8_t head[4] = {};
      size_t n = 0;
      if (std::FILE* f = base::OpenFile(path, "rb")) {
        n = std::fread(head, 1, sizeof head, f);
        std::fclose(f);
      }
      native = api::NativeByBytes(head, n);
    }
    return api::Open(std::move(d), native, document);
  });
}

int yvn2psd_open_memory(const void* data, size_t size, const yvn2psd_options* options, yvn2psd_document** document) {
  return api::Guard([&] {
    if (!document) return api::Fail(kErrInvalidArgument, "no document pointer");
    *document = nullptr;
    if (!data && size) return api::Fail(kErrInvalidArgument, "no data");
    const yvn2psd_options o = api::OptionsOf(options);
    if (const int code = api::CheckOptions(o)) return code;
    auto d = std::make_unique<yvn2psd_document>();
    d->bytes = std::make_unique<DataSrcMemory>(static_cast<const uint8_t*>(data), size);
    d->charset = o.psd_name_charset ? o.psd_name_charset : "";
    const bool native = o.source_format == YVN2PSD_FORMAT_AUTO
                            ? api::NativeByBytes(static_cast<const uint8_t*>(data), size)
                            : o.source_format == YVN2PSD_FORMAT_YVN;
    return api::Open(std::move(d), native, document);
  });
}

int yvn2psd_open_source(const yvn2psd_source* source, const yvn2psd_options* options, yvn2psd_document** document) {
  return api::Guard([&] {
    if (!document) return api::Fail(kErrInvalidArgument, "no document pointer");
    *document = nullptr;
    if (!source || !source->read) return api::Fail(kErrInvalidArgument, "no source");
    const yvn2psd_options o = api::OptionsOf(options);
    if (const int code = api::CheckOptions(o)) return code;
    auto d = std::make_unique<yvn2psd_document>();
    const auto read = source->read;
    void* user = source->user;
    d->bytes = std::make_unique<DataSrcFunction>(
        [read, user](uint64_t offset, void* dst, size_t n) { return read(user, offset, dst, n); }, source->size);
    d->charset = o.psd_name_charset ? o.psd_name_charset : "";
    bool native = o.source_format == YVN2PSD_FORMAT_YVN;
    if (o.source_format == YVN2PSD_FORMAT_AUTO) {
      uint8_t head[4] = {};
      const size_t n = size_t(std::min<uint64_t>(source->size, 4));
      if (n && !d->bytes->readTo(head, n)) return api::Fail(kErrSourceOpen);
      d->bytes->rewind();
      native = api::NativeByBytes(head, n);
    }
    return api::Open(std::move(d), native, document);
  });
}

void yvn2psd_close(yvn2psd_document* document) {
  try {
    delete document;
  } catch (...) {
  }
}

int yvn2psd_document_info_get(yvn2psd_document* d, yvn2psd_document_info* info) {
  return api::Guard([&] {
    if (!d || !info) return api::Fail(kErrInvalidArgument, "no document or info");
    std::memset(info, 0, sizeof *info);
    info->format = d->native ? YVN2PSD_FORMAT_YVN : YVN2PSD_FORMAT_PSD;
    if (d->native) {
      const kzm::Rect& c = d->yvn->canvas;
      info->width = uint32_t(int64_t(c.right) - c.left);
      info->height = uint32_t(int64_t(c.bottom) - c.top);
      info->depth = 16;
    } else {
      info->width = d->psd->width;
      info->height = d->psd->height;
      info->depth = d->depth;
      info->version = d->version;
    }
    info->layer_count = uint32_t(api::LayerCount(*d));
    return 0;
  });
}

int yvn2psd_layer_info_get(yvn2psd_document* d, uint32_t index, yvn2psd_layer_info* info) {
  return api::Guard([&] {
    if (!d || !info) return api::Fail(kErrInvalidArgument, "no document or info");
    if (index >= uint32_t(api::LayerCount(*d))) return api::Fail(kErrOutOfRange);
    std::memset(info, 0, sizeof *info);
    kzm::ImageProperties p;
    kzm::Rect rect;
    if (d->native) {
      if (!d->rectKnown[index])
        if (const int code = api::LoadNative(*d, index)) return code;
      p = d->yvn->reader->Head(index);
      // Canvas positions, as the PSD writer stores them.
      const kzm::Rect& c = d->yvn->canvas;
      const kzm::Rect& r = d->rects[index];
      if (!r.IsEmpty()) rect = kzm::Rect{r.left - c.left, r.top - c.top, r.right - c.left, r.bottom - c.top};
      info->working_layer = !p.name.empty() && p.name[0] == '*' && !p.visible;
    } else {
      const iio::layer_param_t P = RecordOfImage(*d->reader, d->psdLayers[index]);
      p = PropertiesOfRecord(P);
      if (P.Width() > 0 && P.Height() > 0) rect = kzm::Rect{P.left, P.top, P.right, P.bottom};
    }
    d->name = p.name;
    info->name = d->name.c_str();
    if (!rect.IsEmpty()) info->left = rect.left, info->top = rect.top, info->right = rect.right,
                         info->bottom = rect.bottom;
    api::InfoOf(p, *info);
    return 0;
  });
}

size_t yvn2psd_buffer_size(int form, uint32_t width, uint32_t height, size_t stride) {
  const size_t px = api::PixelBytes(form);
  if (!px) return 0;
  if (width == 0 || height == 0) return 0;
  const uint64_t row = uint64_t(width) * px;
  const uint64_t s = stride ? stride : row;
  if (s < row) return 0;
  // The last row needs only its pixels.
  if (uint64_t(height - 1) > (SIZE_MAX - row) / s) return 0;
  return size_t(s * (height - 1) + row);
}

int yvn2psd_read_layer_rows(yvn2psd_document* d, uint32_t index, uint32_t first, uint32_t count, int form,
                            void* buffer, size_t stride, size_t bufferSize) {
  return api::Guard([&] {
    if (!d) return api::Fail(kErrInvalidArgument, "no document");
    if (index >= uint32_t(api::LayerCount(*d))) return api::Fail(kErrOutOfRange);
    auto* out = static_cast<uint8_t*>(buffer);
    kzm::Rect r;  // document positions
    if (d->native) {
      if (!d->rectKnown[index])
        if (const int code = api::LoadNative(*d, index)) return code;
      r = d->rects[index];
    } else {
      const iio::layer_param_t P = RecordOfImage(*d->reader, d->psdLayers[index]);
      if (P.Width() > 0 && P.Height() > 0) r = kzm::Rect{P.left, P.top, P.right, P.bottom};
    }
    const int64_t w = r.IsEmpty() ? 0 : int64_t(r.right) - r.left, h = r.IsEmpty() ? 0 : int64_t(r.bottom) - r.top;
    if (uint64_t(first) + count > uint64_t(h)) return api::Fail(kErrOutOfRange, "rows past the layer's last");
    if (const int code = api::CheckBuffer(form, w, count, buffer, stride, bufferSize)) return code;
    if (count == 0 || w == 0) return 0;
    if (d->native) return api::ReadNativeRows(*d, index, r, first, count, form, out, stride);
    return api::ReadPsdImage(*d, d->psdLayers[index], first, count, form, out, stride);
  });
}

int yvn2psd_read_layer(yvn2psd_document* d, uint32_t index, int form, void* buffer, size_t stride,
                       size_t bufferSize) {
  yvn2psd_layer_info info;
  if (const int code = yvn2psd_layer_info_get(d, index, &info)) return code;
  return yvn2psd_read_layer_rows(d, index, 0, uint32_t(int64_t(info.bottom) - info.top), form, buffer, stride,
                                 bufferSize);
}

int yvn2psd_read_merged_rows(yvn2psd_document* d, uint32_t first, uint32_t count, int form, void* buffer,
                             size_t stride, size_t bufferSize) {
  return api::Guard([&] {
    if (!d) return api::Fail(kErrInvalidArgument, "no document");
    yvn2psd_document_info info;
    yvn2psd_document_info_get(d, &info);
    if (uint64_t(first) + count > info.height) return api::Fail(kErrOutOfRange, "rows past the canvas's last");
    if (const int code = api::CheckBuffer(form, info.width, count, buffer, stride, bufferSize)) return code;
    if (count == 0) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    if (d->native) return api::ReadNativeMerged(*d, first, count, form, out, stride);
    return api::ReadPsdImage(*d, d->reader->ImageCount() - 1, first, count, form, out, stride);
  });
}

int yvn2psd_read_merged(yvn2psd_document* d, int form, void* buffer, size_t stride, size_t bufferSize) {
  yvn2psd_document_info info;
  if (const int code = yvn2psd_document_info_get(d, &info)) return code;
  return yvn2psd_read_merged_rows(d, 0, info.height, form, buffer, stride, bufferSize);
}

int yvn2psd_thumbnail_size(yvn2psd_document* d, uint32_t* width, uint32_t* height) {
  return api::Guard([&] {
    if (!d || !width || !height) return api::Fail(kErrInvalidArgument, "no document or size");
    int32_t w = 0, h = 0;
    if (d->native) d->yvn->reader->Thumbnail(w, h);
    *width = uint32_t(w), *height = uint32_t(h);
    return 0;
  });
}

int yvn2psd_read_thumbnail(yvn2psd_document* d, int form, void* buffer, size_t stride, size_t bufferSize) {
  return api::Guard([&] {
    if (!d) return api::Fail(kErrInvalidArgument, "no document");
    int32_t w = 0, h = 0;
    const std::vector<PixelRGBA>* px = d->native ? &d->yvn->reader->Thumbnail(w, h) : nullptr;
    if (const int code = api::CheckBuffer(form, w, h, buffer, stride, bufferSize)) return code;
    auto* out = static_cast<uint8_t*>(buffer);
    for (int32_t y = 0; y < h; ++y)
      api::CellsToForm(px->data() + size_t(y) * size_t(w), size_t(w), form, out + size_t(y) * stride);
    return 0;
  });
}

}  // extern "C"
