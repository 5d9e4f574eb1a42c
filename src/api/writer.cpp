// The write door: a document built a layer at a time. A .yvn is written as
// the layers come: its head first, with the thumbnail's pixels filled in at
// the end. A PSD, whose layer records precede all pixels, is written at the
// end from a .yvn kept beside it as the layers come, through the
// conversion, so that it is exactly the PSD that converting that .yvn
// gives. Either way only the layer in hand (and a clip base) is held.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/internal.h"
#include "api/pixels.h"
#include "base/data_src.h"
#include "base/output_file.h"
#include "base/work_pool.h"
#include "chunk/chunk_writer.h"
#include "chunk/file_sink.h"
#include "convert/import_psd.h"
#include "convert/layer_mapping.h"
#include "convert/memory_output.h"
#include "convert/safe_output.h"
#include "kzm/composite.h"
#include "kzm/doc_save.h"
#include "kzm/pi_image.h"
#include "kzm/pix_iterator.h"
#include "kzm/runtime.h"

namespace api {

namespace {

using kzm::Rect;

// A composite that takes layers without knowing those to come: the latest
// layer that a later one could be clipped to is held until another takes
// its place (the rule of kzm::Composite::MaskBases, a layer at a time).
class IncrementalComposite {
 public:
  explicit IncrementalComposite(const Rect& canvas) : merged_(canvas) {}
  kzm::Composite& composite() { return merged_; }

  void Add(std::unique_ptr<kzm::Plane> layer, const kzm::ImageProperties& p) {
    if (!p.visible) return;
    const bool masked = base_ && (p.blend.word0 & kzm::Blend::lockdonly);
    std::vector<kzm::Tile*> tiles =
        merged_.Begin(layer->image(), p, masked ? base_->image() : nullptr, masked ? &baseProps_ : nullptr);
    base::ParallelFor(tiles.size(), [&](size_t t) { merged_.BlendTile(*tiles[t]); });
    merged_.End();
    if (!base_ || !(p.blend.word0 & kzm::Blend::clip_dsta)) {
      base_ = std::move(layer);
      baseProps_ = p;
    }
  }

 private:
  kzm::Composite merged_;
  std::unique_ptr<kzm::Plane> base_;
  kzm::ImageProperties baseProps_;
};

// The layer in hand. Its rows are gathered a row of tiles at a time and
// built into tiles as the conversion of a PSD builds them: 8-bit rows as an
// 8-bit PSD's, others as straight 16-bit ones (which give every cell back
// exactly). Every row of a layer comes in one form, so that both make the
// same cells from the same rows.
struct LayerInHand {
  kzm::ImageProperties props;
  Rect rect;
  int64_t width = 0, height = 0;
  int form = 0;  // of the first rows given
  std::unique_ptr<kzm::Plane> plane;
  int64_t rowsGiven = 0;
  uint32_t windowRows = 0;
  std::vector<uint32_t> window8, samples8;  // the current row of tiles' rows; the thumbnail's samples
  std::vector<uint64_t> window16, samples16;
  std::vector<PixelRGBA> cells;  // one row
};

}  // namespace

}  // namespace api

struct yvn2psd_writer {
  enum class State { Open, InLayer, Done };

  kzm::Runtime runtime;
  State state = State::Open;
  int failure = 0;  // what ended the writer: every later call returns it
  std::string failureDetail;
  bool psd = false;
  uint32_t width = 0, height = 0;
  ConversionSettings settings;
  ConversionEvents events;  // the caller's temporary watch
  std::string path;         // a file's destination

  // The .yvn being written: the destination itself, or for a PSD the one
  // kept beside it until the end.
  std::unique_ptr<SafeOutputFile> out;
  chunk::FileSink file;
  MemoryOutput memory;
  std::unique_ptr<chunk::RawSink> toMemory;
  chunk::SinkFunc target;
  std::unique_ptr<chunk::ChunkSink> sink;
  chunk::ChunkWriter* root = nullptr;
  uint64_t plainBytes = 0;  // bytes sent outside compressed chunks
  bool packed = false;
  uint64_t thumbAt = 0;  // where the thumbnail's pixels lie in the file
  bool sent = true;      // every byte was taken

  kzm::ThumbGeometry thumbGeometry;
  std::unique_ptr<api::IncrementalComposite> thumbnail;
  uint64_t layers = 0;
  std::unique_ptr<api::LayerInHand> layer;
};

namespace api {

namespace {

// Ends the writer: nothing it wrote is left.
void Drop(yvn2psd_writer& w) {
  w.state = yvn2psd_writer::State::Done;
  w.layer.reset();
  w.sink.reset();
  if (w.out) {
    w.file.close();
    w.out->Discard();
    w.out.reset();
  }
  w.memory.Discard();
}

// Ends the writer after a failure, which every later call returns.
int Abandon(yvn2psd_writer& w, int code, const std::string& detail = std::string()) {
  Drop(w);
  w.failure = code;
  w.failureDetail = detail;
  return Fail(code, detail);
}

bool Send(yvn2psd_writer& w, chunk::SinkOp op, uint64_t size, const void* data) {
  if (op == chunk::SinkOp::BeginPacked) w.packed = true;
  if (op == chunk::SinkOp::Write && !w.packed) w.plainBytes += size;
  if (op == chunk::SinkOp::EndPacked) w.packed = false;
  const bool ok = w.target(op, size, data);
  w.sent = w.sent && ok;
  return ok;
}

// The layer properties a caller gives, as the document holds them: as a PSD
// record of them would be read, with the exact opacity where it is given.
int PropertiesOfInfo(const yvn2psd_layer_info& info, kzm::ImageProperties& p) {
  if (ModeOfBlend(info.blend) < 0) return Fail(kErrInvalidArgument, "unknown blend mode");
  if (info.opacity > 255 || info.opacity_exact > kUnit) return Fail(kErrInvalidArgument, "opacity out of range");
  iio::layer_param_t r;
  r.name = info.name ? info.name : "";
  std::memcpy(r.blendKey.data(), yvn2psd_blend_psd_key(info.blend), 4);
  r.clipping = info.clipping ? 1 : 0;
  r.opacity = uint8_t(info.opacity);
  r.visible = info.visible ? 1 : 0;
  r.lockTransparency = info.lock_transparency ? 1 : 0;
  r.lockPixels = info.lock_pixels ? 1 : 0;
  p = PropertiesOfRecord(r);
  if (info.opacity_exact) p.opacity = uint16_t(info.opacity_exact);
  return 0;
}

// Builds the rows gathered so far into tiles.
void FlushWindow(LayerInHand& l) {
  if (l.windowRows == 0) return;
  const int32_t top = int32_t(l.rect.top + l.rowsGiven - l.windowRows);
  kzm::PiImage& image = *l.plane->image();
  if (l.form == YVN2PSD_PIXEL_RGBA8)
    AddImageRows(image, l.window8.data(), l.rect.left, l.width, top, l.windowRows);
  else
    AddImageRows(image, l.window16.data(), l.rect.left, l.width, top, l.windowRows);
  l.windowRows = 0;
}

// Takes one row of the layer in hand, as a PSD's rows hold it.
template <typename Pixel>
void TakeRow(yvn2psd_writer& w, const Pixel* row, std::vector<Pixel>& window, std::vector<Pixel>& samples) {
  LayerInHand& l = *w.layer;
  const int64_t y = l.rect.top + l.rowsGiven;
  if (window.empty()) window.resize(size_t(l.width) * kzm::kTileSize);
  std::memcpy(window.data() + size_t(l.windowRows) * size_t(l.width), row, size_t(l.width) * sizeof(Pixel));
  ++l.windowRows;
  ++l.rowsGiven;
  // The thumbnail samples canvas positions (i * step, j * step).
  const kzm::ThumbGeometry& g = w.thumbGeometry;
  if (g.width > 0 && y >= 0 && y % g.step == 0 && y / g.step < g.height) {
    if (samples.empty()) samples.assign(size_t(g.width) * size_t(g.height), 0);
    const int64_t j = y / g.step;
    for (int32_t x = 0; x < g.width; ++x) {
      const int64_t c = int64_t(x) * g.step - l.rect.left;
      if (c >= 0 && c < l.width) samples[size_t(j) * size_t(g.width) + size_t(x)] = row[c];
    }
  }
  // A window ends at the bottom of a row of tiles, as the conversion cuts it.
  if (((y + 1) & (kzm::kTileSize - 1)) == 0 || l.rowsGiven == l.height) FlushWindow(l);
}

// The layer's samples at the thumbnail's positions, as a layer of the
// thumbnail's size.
template <typename Pixel>
std::unique_ptr<kzm::Plane> ThumbnailLayer(const kzm::ThumbGeometry& g, const std::vector<Pixel>& samples) {
  std::unique_ptr<kzm::Plane> thumb = kzm::PiImage::Create();
  if (samples.empty()) return thumb;
  for (int32_t y = 0; y < g.height; y += kzm::kTileSize)
    AddImageRows(*thumb->image(), samples.data() + size_t(y) * size_t(g.width), 0, g.width, y,
                 uint32_t(std::min<int32_t>(kzm::kTileSize, g.height - y)));
  return thumb;
}

int CheckOpen(yvn2psd_writer* w, yvn2psd_writer::State want) {
  if (!w) return Fail(kErrInvalidArgument, "no writer");
  if (w->failure) return Fail(w->failure, w->failureDetail);
  if (w->state != want) return Fail(kErrBadState);
  return 0;
}

int Create(std::unique_ptr<yvn2psd_writer> w, const char* path, int format, uint32_t width, uint32_t height,
           const yvn2psd_options* options, yvn2psd_writer** out) {
  if (format != YVN2PSD_FORMAT_YVN && format != YVN2PSD_FORMAT_PSD) return Fail(kErrInvalidArgument, "unknown format");
  if (width == 0 || height == 0) return Fail(kErrEmptyCanvas);
  if (width > kMaxSide || height > kMaxSide) return Fail(kErrTooLarge);
  const yvn2psd_options o = OptionsOf(options);
  if (const int code = CheckOptions(o)) return code;
  w->psd = format == YVN2PSD_FORMAT_PSD;
  w->width = width, w->height = height;
  w->settings = SettingsOf(o);
  if (o.temporary) {
    const yvn2psd_temporary_fn fn = o.temporary;
    void* user = o.temporary_user;
    w->events.temporary = [fn, user](const std::string& p, bool exists) { fn(user, p.c_str(), exists ? 1 : 0); };
  }
  yvn2psd_writer& W = *w;
  if (path) {
    W.path = path;
    if (ClassifyDestination(W.path) == DestinationKind::Unusable) return Fail(kErrDestinationCreate);
    if (!o.overwrite && ClassifyDestination(W.path) == DestinationKind::File) return Fail(kErrExists, W.path);
    W.out = std::make_unique<SafeOutputFile>(W.path, W.events.temporary);
    if (!W.out->Create() || !W.file.open(W.out->path().c_str())) {
      W.out.reset();
      return Fail(kErrDestinationCreate);
    }
    W.target = W.file.func();
  } else {
    MemoryOutput* memory = &W.memory;
    W.toMemory = std::make_unique<chunk::RawSink>(
        [memory](const void* data, size_t size) { return memory->Write(data, size) == size; });
    W.target = W.toMemory->func();
  }
  yvn2psd_writer* self = &W;
  W.sink = std::make_unique<chunk::ChunkSink>(
      [self](chunk::SinkOp op, uint64_t size, const void* data) { return Send(*self, op, size, data); });
  W.root = &W.sink->beginRoot("VorletBitmapImage");
  const Rect canvas{0, 0, int32_t(width), int32_t(height)};
  W.thumbGeometry = kzm::ThumbnailGeometry(canvas);
  const kzm::ThumbGeometry& g = W.thumbGeometry;
  W.thumbnail = std::make_unique<IncrementalComposite>(Rect{0, 0, g.width, g.height});
  // The thumbnail's pixels are known at the end: their place is kept.
  const std::vector<PixelRGBA> blank(size_t(g.width) * size_t(g.height));
  kzm::SaveDocumentHead(*W.root, g, blank, canvas,
                        [self, &blank] { self->thumbAt = self->plainBytes - blank.size() * sizeof(PixelRGBA); });
  if (!W.sent || !W.root->ok()) return Abandon(W, kErrWrite);
  *out = w.release();
  return 0;
}

// The thumbnail's pixels, written where their place was kept.
bool PatchThumbnail(yvn2psd_writer& w, const std::vector<PixelRGBA>& px) {
  const size_t bytes = px.size() * sizeof(PixelRGBA);
  if (bytes == 0) return true;
  if (!w.out) {
    const uint64_t end = w.memory.Size();
    return w.memory.Seek(w.thumbAt) && w.memory.Write(px.data(), bytes) == bytes && w.memory.Seek(end);
  }
  std::FILE* f = base::OpenFile(w.out->path().c_str(), "r+b");
  if (!f) return false;
  const bool ok = base::SeekFile(f, w.thumbAt) && std::fwrite(px.data(), 1, bytes, f) == bytes;
  return std::fclose(f) == 0 && ok;
}

int Finish(yvn2psd_writer& w, void** output, size_t* outputSize) {
  if (w.state == yvn2psd_writer::State::InLayer) return Abandon(w, kErrBadState, "a layer was not ended");
  const kzm::ThumbGeometry& g = w.thumbGeometry;
  std::vector<PixelRGBA> px(size_t(g.width) * size_t(g.height));
  if (!px.empty()) w.thumbnail->composite().ReadRows(0, g.height, 0, g.width, px.data());
  w.thumbnail.reset();
  const bool ended = w.root->end();
  w.sink.reset();
  const bool closed = w.out ? w.file.close() : w.toMemory->finished();
  if (!ended || !closed || !w.sent || !PatchThumbnail(w, px)) return Abandon(w, kErrWrite);
  w.state = yvn2psd_writer::State::Done;
  if (!w.psd) {
    if (w.out) {
      if (!w.out->Commit()) return Abandon(w, kErrWrite);
      w.out.reset();
      return 0;
    }
    void* bytes = w.memory.Release(outputSize);
    if (output) *output = bytes;
    else std::free(bytes);
    return 0;
  }
  // The PSD, converted from the .yvn kept beside it.
  SourceRef source;
  TargetRef target;
  std::unique_ptr<DataSrcMemory> kept;
  size_t keptSize = 0;
  std::unique_ptr<void, decltype(&std::free)> keptBytes(nullptr, &std::free);
  MemoryOutput psd;
  if (w.out) {
    source.path = w.out->path();
    target.path = w.path;
  } else {
    keptBytes.reset(w.memory.Release(&keptSize));
    kept = std::make_unique<DataSrcMemory>(static_cast<const uint8_t*>(keptBytes.get()), keptSize);
    source.bytes = kept.get();
    target.memory = &psd;
  }
  std::string detail;
  const int32_t code = Convert(source, true, target, w.settings, w.events, &detail);
  if (w.out) {
    w.out->Discard();
    w.out.reset();
  }
  if (code != 0) {
    w.failure = code;
    w.failureDetail = detail;
    return Fail(code, detail);
  }
  if (!w.path.empty()) return 0;
  void* bytes = psd.Release(outputSize);
  if (output) *output = bytes;
  else std::free(bytes);
  return 0;
}

}  // namespace

}  // namespace api

extern "C" {

int yvn2psd_writer_create_file(const char* path, int format, uint32_t width, uint32_t height,
                               const yvn2psd_options* options, yvn2psd_writer** writer) {
  return api::Guard([&] {
    if (!writer) return api::Fail(kErrInvalidArgument, "no writer pointer");
    *writer = nullptr;
    if (!path || !*path) return api::Fail(kErrInvalidArgument, "no path");
    return api::Create(std::make_unique<yvn2psd_writer>(), path, format, width, height, options, writer);
  });
}

int yvn2psd_writer_create_memory(int format, uint32_t width, uint32_t height, const yvn2psd_options* options,
                                 yvn2psd_writer** writer) {
  return api::Guard([&] {
    if (!writer) return api::Fail(kErrInvalidArgument, "no writer pointer");
    *writer = nullptr;
    return api::Create(std::make_unique<yvn2psd_writer>(), nullptr, format, width, height, options, writer);
  });
}

int yvn2psd_writer_begin_layer(yvn2psd_writer* w, const yvn2psd_layer_info* info) {
  return api::Guard([&] {
    if (const int code = api::CheckOpen(w, yvn2psd_writer::State::Open)) return code;
    if (!info) return api::Fail(kErrInvalidArgument, "no layer");
    auto l = std::make_unique<api::LayerInHand>();
    if (const int code = api::PropertiesOfInfo(*info, l->props)) return code;
    const int64_t width = int64_t(info->right) - info->left, height = int64_t(info->bottom) - info->top;
    const bool empty = width <= 0 || height <= 0;
    // Tile space holds positions within 2^22 of the origin.
    if (!empty && (width > kMaxSide || height > kMaxSide || info->left < -(1 << 22) || info->top < -(1 << 22) ||
                   info->right > (1 << 22) || info->bottom > (1 << 22)))
      return api::Fail(kErrInvalidArgument, "layer rectangle out of range");
    if (!empty) {
      l->rect = kzm::Rect{info->left, info->top, info->right, info->bottom};
      l->width = width, l->height = height;
    }
    l->plane = kzm::PiImage::Create();
    w->layer = std::move(l);
    w->state = yvn2psd_writer::State::InLayer;
    return 0;
  });
}

int yvn2psd_writer_write_rows(yvn2psd_writer* w, int form, const void* rows, size_t stride, uint32_t count) {
  return api::Guard([&] {
    if (const int code = api::CheckOpen(w, yvn2psd_writer::State::InLayer)) return code;
    api::LayerInHand& l = *w->layer;
    const size_t px = api::PixelBytes(form);
    if (!px) return api::Fail(kErrInvalidArgument, "unknown pixel form");
    if (count == 0) return 0;
    if (uint64_t(count) > uint64_t(l.height - l.rowsGiven)) return api::Fail(kErrBadState, "rows past the layer's last");
    if (!rows) return api::Fail(kErrInvalidArgument, "no rows");
    if (l.form && form != l.form) return api::Fail(kErrInvalidArgument, "a layer's rows in two pixel forms");
    const size_t row = size_t(l.width) * px;
    if (stride == 0) stride = row;
    if (stride < row) return api::Fail(kErrBufferTooSmall, "stride below a row");
    l.form = form;
    const size_t w8 = size_t(l.width);
    std::vector<uint32_t> words(form == YVN2PSD_PIXEL_RGBA8 ? w8 : 0);
    std::vector<uint64_t> straight(form == YVN2PSD_PIXEL_RGBA8 ? 0 : w8);
    for (uint32_t r = 0; r < count; ++r) {
      const uint8_t* in = static_cast<const uint8_t*>(rows) + size_t(r) * stride;
      if (form == YVN2PSD_PIXEL_RGBA8) {
        for (size_t x = 0; x < w8; ++x)
          words[x] = uint32_t(in[4 * x]) | uint32_t(in[4 * x + 1]) << 8 | uint32_t(in[4 * x + 2]) << 16 |
                     uint32_t(in[4 * x + 3]) << 24;
        api::TakeRow(*w, words.data(), l.window8, l.samples8);
      } else {
        l.cells.resize(w8);
        api::FormToCells(in, w8, form, l.cells.data());
        for (size_t x = 0; x < w8; ++x) straight[x] = PixelTo16(l.cells[x]);
        api::TakeRow(*w, straight.data(), l.window16, l.samples16);
      }
    }
    return 0;
  });
}

int yvn2psd_writer_end_layer(yvn2psd_writer* w) {
  return api::Guard([&] {
    if (const int code = api::CheckOpen(w, yvn2psd_writer::State::InLayer)) return code;
    api::LayerInHand& l = *w->layer;
    if (l.rowsGiven != l.height) return api::Fail(kErrBadState, "the layer's rows are not all given");
    kzm::PiImage& image = *l.plane->image();
    image.RecomputeBounds();
    SetProperties(image, l.props);
    if (kzm::SaveLayer(*w->root, image, w->settings.compress, nullptr, w->layers, w->layers + 1) != 0 || !w->sent)
      return api::Abandon(*w, kErrWrite);
    ++w->layers;
    l.plane.reset();
    // The layer at the thumbnail's sample positions, composed as the
    // conversion of a PSD composes it.
    const kzm::ThumbGeometry& g = w->thumbGeometry;
    if (g.width > 0 && l.props.visible)
      w->thumbnail->Add(l.form == YVN2PSD_PIXEL_RGBA8 ? api::ThumbnailLayer(g, l.samples8)
                                                      : api::ThumbnailLayer(g, l.samples16),
                        l.props);
    w->layer.reset();
    w->state = yvn2psd_writer::State::Open;
    return 0;
  });
}

int yvn2psd_writer_add_layer(yvn2psd_writer* w, const yvn2psd_layer_info* info, int form, const void* pixels,
                             size_t stride) {
  if (const int code = yvn2psd_writer_begin_layer(w, info)) return code;
  const api::LayerInHand& l = *w->layer;
  if (l.height > 0)
    if (const int code = yvn2psd_writer_write_rows(w, form, pixels, stride, uint32_t(l.height))) {
      // The layer is not added; the writer takes the next one.
      w->layer.reset();
      w->state = yvn2psd_writer::State::Open;
      return code;
    }
  return yvn2psd_writer_end_layer(w);
}

int yvn2psd_writer_finish(yvn2psd_writer* w, void** output, size_t* outputSize) {
  return api::Guard([&] {
    if (output) *output = nullptr;
    if (outputSize) *outputSize = 0;
    if (!w) return api::Fail(kErrInvalidArgument, "no writer");
    if (w->failure) return api::Fail(w->failure, w->failureDetail);
    if (w->state == yvn2psd_writer::State::Done) return api::Fail(kErrBadState);
    return api::Finish(*w, output, outputSize);
  });
}

void yvn2psd_writer_close(yvn2psd_writer* w) {
  if (!w) return;
  try {
    if (w->state != yvn2psd_writer::State::Done) api::Drop(*w);
    delete w;
  } catch (...) {
  }
}

}  // extern "C"
