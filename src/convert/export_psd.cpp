#include "convert/export_psd.h"

#include <algorithm>
#include <climits>
#include <functional>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "base/bits.h"
#include "base/work_pool.h"
#include "convert/errors.h"
#include "convert/layer_mapping.h"
#include "convert/running_composite.h"
#include "iio/codepage.h"
#include "iio/psd.h"
#include "iio/psd_bytes.h"
#include "iio/psd_encode.h"
#include "iio/psd_out.h"
#include "kzm/composite.h"
#include "kzm/native_reader.h"
#include "kzm/pi_image.h"
#include "kzm/pix_iterator.h"
#include "kzm/plane.h"

namespace {

using kzm::ImageProperties;
using kzm::Rect;

// A layer is written as a PSD layer unless it is hidden and its name starts
// with "*" (working layers).
bool IsEligible(const ImageProperties& p) { return !(!p.name.empty() && p.name[0] == '*' && !p.visible); }

uint64_t Area(const Rect& r) {
  return r.IsEmpty() ? 0 : uint64_t(int64_t(r.right) - r.left) * uint64_t(int64_t(r.bottom) - r.top);
}

// Rows of one rectangle encoded on the work pool, a band at a time, and
// handed to the writer in order.
class RowWriter {
 public:
  explicit RowWriter(uint32_t depth) : encode_(depth == 16 ? iio::EncodePsdRows16 : iio::EncodePsdRows) {}
  // read(y, count, out): rows [y, y + count) of the rectangle (0: its top),
  // `width` pixels each; called on the pool for different rows at once.
  // blank(y, count): whether those rows hold nothing but `def`, which is then
  // encoded once (a sparse layer's rectangle is mostly such rows).
  // startBand(y): a band starts at row y. show(y): row y is written next, which
  // the progress line shows row by row; false stops the rows there. 0,
  // kErrCancelled when show said stop, kErrWrite when the writer failed.
  template <typename Read, typename Blank, typename StartBand, typename Show>
  int Write(iio::PsdOut& out, uint32_t height, size_t width, bool matte, const PixelRGBA& def, Read&& read,
            Blank&& blank, StartBand&& startBand, Show&& show) {
    std::vector<PixelRGBA> defRow(width, def);
    encode_(defRow.data(), width, 1, matte, defRow_);
    for (uint32_t y = 0; y < height; y += kBand) {
      startBand(y);
      const uint32_t band = std::min(kBand, height - y);
      const size_t tasks = (band + kTaskRows - 1) / kTaskRows;
      if (slots_.size() < tasks) slots_.resize(tasks);
      base::ParallelFor(tasks, [&](size_t k) {
        Slot& s = slots_[k];
        const uint32_t y0 = y + uint32_t(k) * kTaskRows, n = std::min(kTaskRows, y + band - y0);
        if (blank(y0, n)) {
          Repeat(defRow_, n, s.rows);
          return;
        }
        s.pixels.resize(width * n);
        read(y0, n, s.pixels.data());
        encode_(s.pixels.data(), width, n, matte, s.rows);
      });
      for (size_t k = 0; k < tasks; ++k) {
        for (uint32_t r = 0; r < slots_[k].rows.rows; ++r)
          if (!show(y + uint32_t(k) * kTaskRows + r)) return kErrCancelled;
        if (!out.AddRows(slots_[k].rows)) return kErrWrite;
      }
    }
    return 0;
  }

 private:
  static constexpr uint32_t kBand = 128;
  static constexpr uint32_t kTaskRows = 8;
  struct Slot {
    std::vector<PixelRGBA> pixels;
    iio::PsdRows rows;
  };
  // `n` copies of one encoded row.
  static void Repeat(const iio::PsdRows& row, uint32_t n, iio::PsdRows& out) {
    out.width = row.width;
    out.depth = row.depth;
    out.rows = n;
    out.slot = row.slot;
    if (out.bytes.size() < size_t(n) * 4 * row.slot) out.bytes.resize(size_t(n) * 4 * row.slot);
    out.lengths.resize(size_t(n) * 4);
    out.plain.resize(size_t(n) * 4);
    for (uint32_t y = 0; y < n; ++y)
      for (size_t c = 0; c < 4; ++c) {
        out.lengths[y * 4 + c] = row.lengths[c];
        out.plain[y * 4 + c] = row.plain[c];
        std::copy_n(row.bytes.data() + c * row.slot, row.Stored(c), out.bytes.data() + (y * 4 + c) * row.slot);
      }
  }
  void (*encode_)(const PixelRGBA*, size_t, uint32_t, bool, iio::PsdRows&);
  std::vector<Slot> slots_;
  iio::PsdRows defRow_;
};

// Which rows of tile space hold a tile with cells: a row of tiles at a time.
class TileRows {
 public:
  explicit TileRows(const kzm::TileMap& tiles) {
    for (const auto& e : tiles)
      if (e.second->HasCells()) rows_.push_back(e.first.Row());
    std::sort(rows_.begin(), rows_.end());
    rows_.erase(std::unique(rows_.begin(), rows_.end()), rows_.end());
  }
  // Whether rows [y0, y1) of tile space meet no tile.
  bool Empty(int64_t y0, int64_t y1) const {
    const auto it = std::lower_bound(rows_.begin(), rows_.end(), int(y0 >> 7));
    return it == rows_.end() || int64_t(*it) > ((y1 - 1) >> 7);
  }

 private:
  std::vector<int> rows_;
};

// Run's answer when a layer's rectangle is wider or taller than a version-1
// file holds: the file is to be written as a large document.
constexpr int kWriteLarge = -101;

// The records of the PSD: one per layer written (hidden working layers are
// left out) or, for a document without a layer to write, one that holds the
// merged image, visible and over the canvas: readers take the fourth
// channel of a file without layers for an extra channel, not for its
// transparency.
struct RecordPlan {
  std::vector<ImageProperties> heads;  // every layer's, bottom to top
  std::vector<iio::layer_param_t> records;
  bool mergedLayer = false;
};
RecordPlan PlanRecords(const kzm::NativeReader& reader);

// The native reader a layer ahead, on the work pool: reading a layer
// (inflating its record, one thread's work) is the costliest step, and
// overlaps the writing and blending of the layer before. A layer that is
// neither written nor blended is only checked: a damaged one fails the file.
class LayerAhead {
 public:
  struct Layer {
    int result = 0;        // LoadLayer's or CheckLayer's
    bool changed = false;  // its whole record gave it other properties than its head
    kzm::LoadedLayer layer;
  };
  // wanted(k): whether layer k's pixels are needed.
  LayerAhead(kzm::NativeReader& reader, std::function<bool(size_t)> wanted)
      : reader_(reader), wanted_(std::move(wanted)) {}
  // Layer k, of layers taken in order: the first is read here, each later
  // one was read ahead (and is read again, alone, where it did not fit
  // beside the layer before).
  Layer Take(size_t k);
  // Starts reading layer k, into the memory the layer in hand leaves.
  void Start(size_t k);
  // Waits for the layer read ahead; whether its record changed its head.
  bool AheadChanged();

 private:
  void Read(size_t k, Layer& layer);
  kzm::NativeReader& reader_;
  std::function<bool(size_t)> wanted_;
  Layer next_;
  base::Task ahead_;  // after what it uses: it is waited for first
};

// One writing of the document as a PSD, version 1 or a large document:
// the records first, then each layer as it is read (written and blended into
// the merged image, a band of rows at a time), then the merged image.
class PsdExport {
 public:
  PsdExport(kzm::NativeReader& reader, const Rect& canvas, uint32_t depth, bool large,
            const ConversionBudget& budget, iio::ImageDestBase& stream, const ProgressFunc& progress,
            const std::string& charset);
  // 0, kExportAgain, kWriteLarge, or an error code with its cause in detail().
  int Run();
  const std::string& detail() const { return detail_; }

 private:
  // (step, layers + 1, done, total); false when the caller asks to stop.
  bool Report(uint64_t step, uint64_t done, uint64_t total);
  int Fail(int code, const std::string& detail);
  int WriteFailed();
  int Cancelled();
  int WriteLayer(size_t k, kzm::LoadedLayer layer);
  int WriteLayerRows(size_t k, kzm::LoadedLayer& layer, bool keep);
  int WriteMerged();

  const Rect canvas_;
  const uint32_t width_, height_, depth_;
  const bool large_;
  const ConversionBudget& budget_;
  const ProgressFunc& progress_;
  RecordPlan plan_;
  iio::PsdOut out_;
  RunningComposite<kzm::LoadedLayer> stack_;
  uint64_t pixels_;  // written so far, against the budget
  RowWriter rows_;
  LayerAhead ahead_;  // after what its reads use: they are waited for first
  std::string detail_;
};

int Export(kzm::NativeReader& reader, const Rect& canvas, uint32_t depth, const ConversionBudget& budget,
           iio::ImageDestBase& stream, const ProgressFunc& progress, const std::string& charset,
           std::string* detail);

}  // namespace

// Smallest rectangle (document positions) of the pixels that a PSD reader
// would see as content: alpha above 0 for a transparent default pixel, else
// any pixel that differs from the default, together with the whole canvas
// (the default colour shows everywhere).
kzm::Rect ContentRect(const kzm::PiImage& img, const kzm::Rect& canvas) {
  const PixelRGBA def = img.DefaultPixel();
  const bool clearDefault = def.a == 0;
  auto differs = [&](const PixelRGBA& p) { return clearDefault ? p.a != 0 : p != def; };
  int32_t l = INT32_MAX, t = INT32_MAX, r = INT32_MIN, b = INT32_MIN;
  auto take = [&](int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
    l = std::min(l, x0), t = std::min(t, y0), r = std::max(r, x1), b = std::max(b, y1);
  };
  // What lies inside the rectangle found so far cannot widen it; in most
  // layers nearly every tile and cell soon does, so few are looked at.
  auto inside = [&](int32_t x0, int32_t y0, int32_t size) {
    return l <= x0 && x0 + size <= r && t <= y0 && y0 + size <= b;
  };
  for (const auto& [loc, tile] : img.Tiles()) {
    if (!tile->HasCells() || inside(loc.Left(), loc.Top(), 128)) continue;
    for (int cy = 0; cy < kzm::kTileCells; ++cy) {
      for (int cx = 0; cx < kzm::kTileCells; ++cx) {
        const int32_t x0 = loc.Left() + cx * 8, y0 = loc.Top() + cy * 8;
        if (inside(x0, y0, 8)) continue;
        const kzm::Cell& cell = tile->At(cx, cy);
        if (cell.Kind() == kzm::Cell::kRGBAFill) {
          if (differs(cell.FillValue())) take(x0, y0, x0 + 8, y0 + 8);
        } else if (cell.Kind() == kzm::Cell::kRGBABitmap) {
          const PixelRGBA* px = cell.BitmapPixels();
          unsigned rows = 0, cols = 0;  // bit i: row / column i has content
          for (unsigned i = 0; i < 64; ++i)
            if (differs(px[i])) rows |= 1u << (i >> 3), cols |= 1u << (i & 7);
          if (rows)
            take(x0 + base::Ctz32(cols), y0 + base::Ctz32(rows), x0 + 32 - base::Clz32(cols),
                 y0 + 32 - base::Clz32(rows));
        }
      }
    }
  }
  Rect rect;
  if (l < r && t < b) rect = Rect{l, t, r, b};  // layers lie at offset 0
  if (!clearDefault) rect = rect.United(canvas);
  return rect;
}

int ComputeCanvas(kzm::NativeReader& reader, Rect& canvas) {
  canvas = Rect{};
  for (size_t i = 0; i < reader.LayerCount(); ++i) {
    kzm::LoadedLayer layer;
    const int r = reader.LoadLayer(i, layer);
    if (r == kzm::kLoadTooLarge) return kErrTooLarge;
    if (r != 0) return r;
    const Rect b = layer->image()->Bounds();
    if (!b.IsEmpty()) canvas = canvas.United(b);
  }
  return 0;
}

int CorrectHeads(kzm::NativeReader& reader) {
  for (size_t i = 0; i < reader.LayerCount(); ++i) {
    kzm::LoadedLayer layer;
    const int r = reader.LoadLayer(i, layer);
    if (r == kzm::kLoadTooLarge) return kErrTooLarge;
    if (r != 0) return r;
  }
  return 0;
}

int ExportPsd(kzm::NativeReader& reader, const Rect& canvas, uint32_t depth, const ConversionBudget& budget,
              iio::ImageDestBase& stream, const ProgressFunc& progress, const std::string& nameCharset,
              std::string* detail) {
  return Export(reader, canvas, depth, budget, stream, progress, nameCharset, detail);
}

namespace {

std::string DocumentLayer(size_t k) { return "document layer " + std::to_string(k); }

RecordPlan PlanRecords(const kzm::NativeReader& reader) {
  RecordPlan plan;
  for (size_t i = 0; i < reader.LayerCount(); ++i) plan.heads.push_back(reader.Head(i));
  for (const ImageProperties& h : plan.heads)
    if (IsEligible(h)) plan.records.push_back(RecordOfProperties(h));
  plan.mergedLayer = plan.records.empty();
  if (plan.mergedLayer) {
    iio::layer_param_t P;
    P.name = iio::kMergedImageName;
    plan.records.push_back(P);
  }
  return plan;
}

LayerAhead::Layer LayerAhead::Take(size_t k) {
  Layer now;
  if (k == 0) {
    Read(0, now);
    return now;
  }
  ahead_.wait();
  now = std::move(next_);
  next_ = Layer();
  // Read beside the layer before, it may not have fitted: alone, it is
  // read as the only layer in hand.
  if (now.result == kzm::kLoadTooLarge) Read(k, now);
  return now;
}

void LayerAhead::Start(size_t k) {
  ahead_ = base::Task([this, k] { Read(k, next_); });
}

bool LayerAhead::AheadChanged() {
  ahead_.wait();
  return next_.changed;
}

void LayerAhead::Read(size_t k, Layer& layer) {
  layer = Layer();
  if (wanted_(k))
    layer.result = reader_.LoadLayer(k, layer.layer, &layer.changed);
  else
    layer.result = reader_.CheckLayer(k);
}

PsdExport::PsdExport(kzm::NativeReader& reader, const Rect& canvas, uint32_t depth, bool large,
                     const ConversionBudget& budget, iio::ImageDestBase& stream, const ProgressFunc& progress,
                     const std::string& charset)
    : canvas_(canvas),
      width_(uint32_t(int64_t(canvas.right) - canvas.left)),
      height_(uint32_t(int64_t(canvas.bottom) - canvas.top)),
      depth_(depth),
      large_(large),
      budget_(budget),
      progress_(progress),
      plan_(PlanRecords(reader)),
      out_(stream, charset),
      stack_(canvas, plan_.heads),
      pixels_(Area(canvas)),
      rows_(depth),
      ahead_(reader, [this](size_t k) { return IsEligible(plan_.heads[k]) || stack_.Wanted(k); }) {}

int PsdExport::Run() {
  const size_t n = plan_.heads.size();
  iio::PsdOutFormat format;
  format.depth = depth_;
  format.large = large_;
  if (!out_.Begin(width_, height_, plan_.records, format)) return WriteFailed();
  // The merged image is composed as the layers pass; it covers the canvas
  // where a shown layer's default pixel does.
  for (const ImageProperties& h : plan_.heads)
    if (h.visible && h.defaultPixel.Word() != 0) {
      stack_.composite().CoverCanvas();
      break;
    }
  for (size_t k = 0; k < n; ++k) {
    if (!Report(k, 0, 1)) return Cancelled();
    LayerAhead::Layer now = ahead_.Take(k);
    if (now.result == kzm::kLoadTooLarge)
      return Fail(kErrTooLarge, DocumentLayer(k) + ": more than the memory the conversion may take");
    if (now.result != 0) return Fail(now.result, DocumentLayer(k) + ": its record does not hold together");
    if (now.changed) return kExportAgain;
    // The next layer is read meanwhile, into the memory this one leaves.
    if (k + 1 < n) ahead_.Start(k + 1);
    if (!now.layer) continue;
    if (const int code = WriteLayer(k, std::move(now.layer))) return code;
  }
  if (const int code = WriteMerged()) return code;
  return out_.Finish() ? 0 : WriteFailed();
}

bool PsdExport::Report(uint64_t step, uint64_t done, uint64_t total) {
  return !progress_ || progress_(step, plan_.heads.size() + 1, done, total);
}

int PsdExport::Fail(int code, const std::string& detail) {
  detail_ = detail;
  return code;
}

int PsdExport::WriteFailed() { return Fail(kErrWrite, "writing the PSD: " + out_.LastErrorDetail()); }

int PsdExport::Cancelled() { return Fail(kErrCancelled, "cancelled by the progress callback"); }

int PsdExport::WriteLayer(size_t k, kzm::LoadedLayer layer) {
  // Its rows are blended and let go of as they are written, unless a later
  // layer clips to it: a clip base is held until the last layer it masks
  // has been blended.
  stack_.Start(k, layer);
  const bool keep = stack_.Keeps(k);
  if (IsEligible(plan_.heads[k]))
    if (const int code = WriteLayerRows(k, layer, keep)) return code;
  stack_.Finish(k);
  if (keep) stack_.Keep(k, std::move(layer));
  return 0;
}

int PsdExport::WriteLayerRows(size_t k, kzm::LoadedLayer& layer, bool keep) {
  kzm::PiImage& img = *layer->image();
  // Pixels written: the merged image, and each layer's tile rectangle (the
  // whole canvas too for a layer whose default pixel shows).
  Rect bounds = img.Bounds();
  if (img.DefaultPixel().a != 0) bounds = bounds.United(canvas_);
  if ((pixels_ += Area(bounds)) > budget_.outputPixels)
    return Fail(kErrTooLarge, DocumentLayer(k) + ": the pixels written pass the " +
                                  std::to_string(budget_.outputPixels) + " the conversion may write");
  const Rect rect = ContentRect(img, canvas_);
  const int64_t w64 = int64_t(rect.right) - rect.left, h64 = int64_t(rect.bottom) - rect.top;
  const int64_t side = std::max(w64, h64);
  if (side > int64_t(iio::kMaxLargeCanvasSide))
    return Fail(kErrTooLarge, DocumentLayer(k) + ": a rectangle of " + std::to_string(w64) + " x " +
                                  std::to_string(h64) + " pixels, over the " +
                                  std::to_string(iio::kMaxLargeCanvasSide) + " a side a PSD holds");
  if (side > int64_t(iio::kMaxCanvasSide) && !large_) {
    // The large document is written from the same heads: one that the
    // next layer's record corrected meanwhile is the caller's to handle
    // first, as for any other layer.
    return ahead_.AheadChanged() ? kExportAgain : kWriteLarge;
  }
  if (!out_.BeginLayer(rect.left - canvas_.left, rect.top - canvas_.top, rect.right - canvas_.left,
                       rect.bottom - canvas_.top))
    return WriteFailed();
  const size_t w = size_t(w64);
  const uint32_t h = uint32_t(h64);
  const kzm::Plane& plane = *layer;
  const TileRows tileRows(img.Tiles());
  const int code = rows_.Write(
      out_, h, w, false, img.DefaultPixel(),
      [&](uint32_t y, uint32_t count, PixelRGBA* o) {
        kzm::PixRandIterator(plane).ReadRows(rect.top + int32_t(y), int(count), rect.left, rect.right, o);
      },
      [&](uint32_t y, uint32_t count) { return tileRows.Empty(int64_t(rect.top) + y, int64_t(rect.top) + y + count); },
      [&](uint32_t y) {
        if (keep) return;
        stack_.BlendAbove(int64_t(rect.top) + y);
        img.ReleaseTilesAbove(int64_t(rect.top) + y);
      },
      [&](uint32_t y) { return Report(k, y, h); });
  if (code == kErrCancelled) return Cancelled();
  return code == 0 && out_.EndLayer() ? 0 : WriteFailed();
}

int PsdExport::WriteMerged() {
  // The merged image (and first the layer that holds it, for a document
  // without layers to write), read from the composite, which lets go of its
  // rows as they are written.
  kzm::Composite& merged = stack_.composite();
  const size_t n = plan_.heads.size();
  const uint64_t passes = plan_.mergedLayer ? 2 : 1;
  for (uint64_t pass = 0; pass < passes; ++pass) {
    const bool layer = pass + 1 < passes;
    if (layer && !out_.BeginLayer(0, 0, int32_t(width_), int32_t(height_))) return WriteFailed();
    const int code = rows_.Write(
        out_, height_, width_, !layer, PixelRGBA{0, 0, 0, 0},
        [&](uint32_t y, uint32_t count, PixelRGBA* o) {
          merged.ReadRows(canvas_.top + int32_t(y), int(count), canvas_.left, canvas_.right, o);
        },
        [&](uint32_t y, uint32_t count) {
          return merged.RowsEmpty(canvas_.top + int32_t(y), canvas_.top + int32_t(y + count));
        },
        [&](uint32_t y) {
          if (!layer) merged.ReleaseAbove(canvas_.top + int32_t(y));
        },
        [&](uint32_t y) { return Report(n, pass * height_ + y, passes * height_); });
    if (code == kErrCancelled) return Cancelled();
    if (code != 0 || (layer && !out_.EndLayer())) return WriteFailed();
  }
  return 0;
}

int Export(kzm::NativeReader& reader, const Rect& canvas, uint32_t depth, const ConversionBudget& budget,
           iio::ImageDestBase& stream, const ProgressFunc& progress, const std::string& charset,
           std::string* detail) {
  const int64_t width = int64_t(canvas.right) - canvas.left, height = int64_t(canvas.bottom) - canvas.top;
  const bool large = width > iio::kMaxCanvasSide || height > iio::kMaxCanvasSide;
  std::string why;
  int code;
  {
    PsdExport first(reader, canvas, depth, large, budget, stream, progress, charset);
    code = first.Run();
    why = first.detail();
  }
  if (code == kWriteLarge) {
    // A layer's rectangle is known only once the layer is read: one past
    // version 1's side makes the file a large document, written again over
    // what was written. Its records are the same (the heads did not change)
    // with longer lengths, and its layers' channels at least as long, so it
    // ends past everything written before; the check keeps a file with old
    // bytes after its end from passing for a whole one.
    if (!stream.Seek(0)) {
      code = kErrWrite;
      why = "writing the PSD: the stream cannot seek back to its start for a large document";
    } else {
      PsdExport again(reader, canvas, depth, true, budget, stream, progress, charset);
      code = again.Run();
      why = again.detail();
      if (code == 0 && stream.Tell() != stream.Size()) {
        code = kErrWrite;
        why = "writing the PSD: the large document ends at " + std::to_string(stream.Tell()) +
              ", before the bytes written first (" + std::to_string(stream.Size()) + ")";
      }
    }
  }
  if (detail && code != 0 && code != kExportAgain) *detail = why;
  return code;
}

}  // namespace
