#include "convert/export_psd.h"

#include <algorithm>
#include <climits>
#include <new>
#include <vector>

#include "base/bits.h"
#include "base/work_pool.h"
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
  // the progress line shows row by row.
  template <typename Read, typename Blank, typename StartBand, typename Show>
  bool Write(iio::PsdOut& out, uint32_t height, size_t width, bool matte, const PixelRGBA& def, Read&& read,
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
        for (uint32_t r = 0; r < slots_[k].rows.rows; ++r) show(y + uint32_t(k) * kTaskRows + r);
        if (!out.AddRows(slots_[k].rows)) return false;
      }
    }
    return true;
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
    for (uint32_t y = 0; y < n; ++y)
      for (size_t c = 0; c < 4; ++c) {
        out.lengths[y * 4 + c] = row.lengths[c];
        std::copy_n(row.bytes.data() + c * row.slot, row.lengths[c], out.bytes.data() + (y * 4 + c) * row.slot);
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

// WriteDocument's answer when a layer's rectangle is wider or taller than a
// version-1 file holds: the file is to be written as a large document.
constexpr int kWriteLarge = -101;

int WriteDocument(kzm::NativeReader& reader, const Rect& canvas, uint32_t depth, bool large,
                  const ConversionBudget& budget, iio::ImageDestBase& stream, const ProgressFunc& progress,
                  const iio::NameCharset& charset);

int Export(kzm::NativeReader& reader, const Rect& canvas, uint32_t depth, const ConversionBudget& budget,
           iio::ImageDestBase& stream, const ProgressFunc& progress, const iio::NameCharset& charset);

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
              iio::ImageDestBase& stream, const ProgressFunc& progress, const std::string& nameCharset) {
  return Export(reader, canvas, depth, budget, stream, progress, iio::NameCharset(nameCharset));
}

int ExportPsd(kzm::NativeReader& reader, const Rect& canvas, uint32_t depth, const ConversionBudget& budget,
              iio::ImageDestBase& stream, const ProgressFunc& progress) {
  return Export(reader, canvas, depth, budget, stream, progress, iio::NameCharset::System());
}

namespace {

int Export(kzm::NativeReader& reader, const Rect& canvas, uint32_t depth, const ConversionBudget& budget,
           iio::ImageDestBase& stream, const ProgressFunc& progress, const iio::NameCharset& charset) {
  const int64_t width = int64_t(canvas.right) - canvas.left, height = int64_t(canvas.bottom) - canvas.top;
  const bool large = width > iio::kMaxCanvasSide || height > iio::kMaxCanvasSide;
  const int code = WriteDocument(reader, canvas, depth, large, budget, stream, progress, charset);
  if (code != kWriteLarge) return code;
  // A layer's rectangle is known only once the layer is read: one past
  // version 1's side makes the file a large document, written again over
  // what was written. Its records are the same (the heads did not change)
  // with longer lengths, and its layers' channels at least as long, so it
  // ends past everything written before; the check keeps a file with old
  // bytes after its end from passing for a whole one.
  if (!stream.Seek(0)) return kErrWrite;
  const int again = WriteDocument(reader, canvas, depth, true, budget, stream, progress, charset);
  if (again == 0 && stream.Tell() != stream.Size()) return kErrWrite;
  return again;
}

int WriteDocument(kzm::NativeReader& reader, const Rect& canvas, uint32_t depth, bool large,
                  const ConversionBudget& budget, iio::ImageDestBase& stream, const ProgressFunc& progress,
                  const iio::NameCharset& charset) {
  const size_t n = reader.LayerCount();
  const uint32_t width = uint32_t(int64_t(canvas.right) - canvas.left);
  const uint32_t height = uint32_t(int64_t(canvas.bottom) - canvas.top);
  auto report = [&](uint64_t step, uint64_t done, uint64_t total) {
    if (progress) progress(step, n + 1, done, total);
  };

  std::vector<ImageProperties> heads(n);
  for (size_t i = 0; i < n; ++i) heads[i] = reader.Head(i);
  std::vector<iio::layer_param_t> records;
  for (const ImageProperties& h : heads)
    if (IsEligible(h)) records.push_back(RecordOfProperties(h));
  // Readers take the fourth channel of a file without layers for an extra
  // channel, not for its transparency: a document without a layer to write
  // gets one that holds the merged image, visible and over the canvas.
  const bool mergedLayer = records.empty();
  if (mergedLayer) {
    iio::layer_param_t P;
    P.name = iio::kMergedImageName;
    records.push_back(P);
  }

  iio::PsdOutFormat format;
  format.depth = depth;
  format.large = large;
  iio::PsdOut out(stream, charset);
  if (!out.Begin(width, height, records, format)) return kErrWrite;

  // The merged image as the layers pass. A clip base is held until the
  // last layer it masks has been blended.
  RunningComposite<kzm::LoadedLayer> stack(canvas, heads);
  kzm::Composite& merged = stack.composite();
  for (const ImageProperties& h : heads)
    if (h.visible && h.defaultPixel.Word() != 0) {
      merged.CoverCanvas();
      break;
    }

  // Pixels written: the merged image, and each layer's tile rectangle (the
  // whole canvas too for a layer whose default pixel shows).
  uint64_t pixels = Area(canvas);
  RowWriter rows(depth);

  // The reader works a layer ahead on the work pool: reading a layer
  // (inflating its record, one thread's work) is the costliest step, and
  // overlaps the writing and blending of the layer before. A layer that
  // neither is written nor takes part is only checked: a damaged one fails
  // the file.
  struct Fetched {
    int result = 0;
    bool changed = false;
    kzm::LoadedLayer layer;
  };
  auto fetch = [&](size_t k, Fetched& f) {
    f = Fetched();
    if (IsEligible(heads[k]) || stack.Wanted(k))
      f.result = reader.LoadLayer(k, f.layer, &f.changed);
    else
      f.result = reader.CheckLayer(k);
  };
  Fetched now, next;
  base::Task ahead;  // after what it uses: it is waited for first
  for (size_t k = 0; k < n; ++k) {
    report(k, 0, 1);
    if (k == 0) {
      fetch(0, now);
    } else {
      ahead.wait();
      now = std::move(next);
      // Read beside the layer before, it may not have fitted: alone, it is
      // read as the only layer in hand.
      if (now.result == kzm::kLoadTooLarge) fetch(k, now);
    }
    if (now.result == kzm::kLoadTooLarge) return kErrTooLarge;
    if (now.result != 0) return now.result;
    if (now.changed) return kExportAgain;
    // The next layer is read meanwhile, into the memory this one leaves:
    // its rows are blended and let go of as they are written, unless a
    // later layer clips to it.
    kzm::LoadedLayer layer = std::move(now.layer);
    if (k + 1 < n) ahead = base::Task([&fetch, &next, k] { fetch(k + 1, next); });
    if (!layer) continue;
    stack.Start(k, layer);
    const bool keep = stack.Keeps(k);
    const kzm::PiImage& img = *layer->image();
    if (IsEligible(heads[k])) {
      Rect bounds = img.Bounds();
      if (img.DefaultPixel().a != 0) bounds = bounds.United(canvas);
      if ((pixels += Area(bounds)) > budget.outputPixels) return kErrTooLarge;
      const Rect rect = ContentRect(img, canvas);
      const int64_t side = std::max(int64_t(rect.right) - rect.left, int64_t(rect.bottom) - rect.top);
      if (side > int64_t(iio::kMaxLargeCanvasSide)) return kErrTooLarge;
      if (side > int64_t(iio::kMaxCanvasSide) && !large) {
        // The large document is written from the same heads: one that the
        // next layer's record corrected meanwhile is the caller's to handle
        // first, as for any other layer.
        ahead.wait();
        return next.changed ? kExportAgain : kWriteLarge;
      }
      if (!out.BeginLayer(rect.left - canvas.left, rect.top - canvas.top, rect.right - canvas.left,
                          rect.bottom - canvas.top))
        return kErrWrite;
      const size_t w = size_t(int64_t(rect.right) - rect.left);
      const uint32_t h = uint32_t(int64_t(rect.bottom) - rect.top);
      const kzm::Plane& plane = *layer;
      kzm::PiImage& tiles = *layer->image();
      const TileRows tileRows(img.Tiles());
      if (!rows.Write(out, h, w, false, img.DefaultPixel(),
                      [&](uint32_t y, uint32_t count, PixelRGBA* o) {
                        kzm::PixRandIterator(plane).ReadRows(rect.top + int32_t(y), int(count), rect.left,
                                                             rect.right, o);
                      },
                      [&](uint32_t y, uint32_t count) {
                        return tileRows.Empty(int64_t(rect.top) + y, int64_t(rect.top) + y + count);
                      },
                      [&](uint32_t y) {
                        if (keep) return;
                        stack.BlendAbove(int64_t(rect.top) + y);
                        tiles.ReleaseTilesAbove(int64_t(rect.top) + y);
                      },
                      [&](uint32_t y) { report(k, y, h); }) ||
          !out.EndLayer())
        return kErrWrite;
    }
    stack.Finish(k);
    if (keep) stack.Keep(k, std::move(layer));
  }

  // The merged image (and first the layer that holds it, for a document
  // without layers to write), read from the composite.
  const uint64_t passes = mergedLayer ? 2 : 1;
  for (uint64_t pass = 0; pass < passes; ++pass) {
    const bool layer = pass + 1 < passes;
    if (layer && !out.BeginLayer(0, 0, int32_t(width), int32_t(height))) return kErrWrite;
    if (!rows.Write(out, height, width, !layer, PixelRGBA{0, 0, 0, 0},
                    [&](uint32_t y, uint32_t count, PixelRGBA* o) {
                      merged.ReadRows(canvas.top + int32_t(y), int(count), canvas.left, canvas.right, o);
                    },
                    [&](uint32_t y, uint32_t count) {
                      return merged.RowsEmpty(canvas.top + int32_t(y), canvas.top + int32_t(y + count));
                    },
                    [&](uint32_t y) {
                      if (!layer) merged.ReleaseAbove(canvas.top + int32_t(y));
                    },
                    [&](uint32_t y) { report(n, pass * height + y, passes * height); }))
      return kErrWrite;
    if (layer && !out.EndLayer()) return kErrWrite;
  }
  return out.Finish() ? 0 : kErrWrite;
}

}  // namespace
