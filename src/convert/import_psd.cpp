#include "convert/import_psd.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

#include "base/work_pool.h"
#include "convert/errors.h"
#include "convert/layer_mapping.h"
#include "convert/running_composite.h"
#include "iio/psd.h"
#include "kzm/cell.h"
#include "kzm/composite.h"
#include "kzm/pi_image.h"
#include "kzm/tile.h"

namespace {

using kzm::Rect;
using kzm::Tile;
using kzm::TileLocate;

// True when every cell of the tile is a fill of `def`.
bool TileIsDefault(const Tile& t, const PixelRGBA& def) {
  const kzm::Cell* cells = t.Cells();
  for (int i = 0; i < kzm::kTileCellCount; ++i) {
    const kzm::Cell& c = cells[i];
    if (c.Kind() != kzm::Cell::kRGBAFill || *c.PixelAt(0, 0) != def) return false;
  }
  return true;
}

// Source pixels: 8-bit RGBA in 32-bit words, straight 16-bit RGBA in 64-bit ones.
void AssignCell(kzm::Cell& c, const uint32_t* src, ptrdiff_t stride) { kzm::AssignFrom8(c, src, 1, stride); }
void AssignCell(kzm::Cell& c, const uint64_t* src, ptrdiff_t stride) { kzm::AssignFrom16(c, src, 1, stride); }
void AssignCellClipped(kzm::Cell& c, const uint32_t* src, ptrdiff_t stride, const Rect& clip, const PixelRGBA& def) {
  kzm::AssignFrom8Clipped(c, src, 1, stride, clip, def);
}
void AssignCellClipped(kzm::Cell& c, const uint64_t* src, ptrdiff_t stride, const Rect& clip, const PixelRGBA& def) {
  kzm::AssignFrom16Clipped(c, src, 1, stride, clip, def);
}

// Builds the tile at `loc` from the part [x0, x1) x [y0, y1) (tile pixels)
// that a window of source rows covers; `src` is the source pixel for tile
// pixel (x0, y0) and `stride` the source row length. Cells outside that part
// are transparent fills, uniform 8 x 8 blocks become fills.
template <typename Pixel>
Tile* BuildPartialTile(TileLocate loc, const Pixel* src, ptrdiff_t stride, int x0, int y0, int x1, int y1) {
  const PixelRGBA transparent{};
  Tile* t = Tile::Create(loc, true);
  for (int cy = 0; cy < kzm::kTileCells; ++cy) {
    const int py0 = cy * 8;
    for (int cx = 0; cx < kzm::kTileCells; ++cx) {
      const int px0 = cx * 8;
      kzm::Cell& cell = t->MutableAt(cx, cy);
      const int l = std::max(px0, x0), r = std::min(px0 + 8, x1);
      const int tp = std::max(py0, y0), b = std::min(py0 + 8, y1);
      if (l >= r || tp >= b) {
        kzm::SetFill(cell, transparent);
        continue;
      }
      const Pixel* at = src + (tp - y0) * stride + (l - x0);
      if (l == px0 && r == px0 + 8 && tp == py0 && b == py0 + 8) {
        AssignCell(cell, at, stride);
      } else {
        AssignCellClipped(cell, at, stride, Rect{l - px0, tp - py0, r - px0, b - py0}, transparent);
      }
    }
  }
  return t;
}

// Builds the tiles of one window of rows: `count` rows of `w` pixels from
// document position (left, docY), all within one row of tiles, at `base`.
// Tiles are independent, so they are built on the work pool and inserted
// in column order; tiles that hold only transparent pixels are left out.
// Returns the bytes of pixel blocks the tiles hold (fills hold none).
template <typename Pixel>
uint64_t AddWindowTiles(kzm::PiImage& image, const Pixel* base, int32_t left, int64_t w, int32_t docY, uint32_t count) {
  const PixelRGBA transparent{};
  const int32_t inTileY = docY & (kzm::kTileSize - 1);
  const int32_t firstCol = left >> 7;
  const int32_t lastCol = int32_t((int64_t(left) + w - 1) >> 7);
  const int32_t tileRow = docY >> 7;
  const size_t cols = size_t(int64_t(lastCol) - firstCol + 1);
  std::vector<Tile*> built(cols, nullptr);
  base::ParallelFor(cols, [&](size_t k) {
    const int32_t col = int32_t(firstCol + int64_t(k));
    // A tile key holds signed 16-bit columns and rows; pixels beyond that
    // (millions of pixels off the canvas) cannot be stored and are dropped.
    if (col < INT16_MIN || col > INT16_MAX || tileRow < INT16_MIN || tileRow > INT16_MAX) return;
    const int64_t tileLeft = int64_t(col) * kzm::kTileSize;
    const int x0 = int(std::max<int64_t>(left, tileLeft) - tileLeft);
    const int x1 = int(std::min<int64_t>(int64_t(left) + w, tileLeft + kzm::kTileSize) - tileLeft);
    const Pixel* src = base + (tileLeft + x0 - left);
    const TileLocate loc = TileLocate::FromColRow(col, tileRow);
    Tile* t = BuildPartialTile(loc, src, ptrdiff_t(w), x0, inTileY, x1, inTileY + int(count));
    if (TileIsDefault(*t, transparent)) {
      t->Release();  // nothing to keep: the default pixel shows there anyway
    } else {
      t->ShareIfUniform();
      built[k] = t;
    }
  });
  uint64_t blocks = 0;
  for (Tile* t : built) {
    if (!t) continue;
    if (t->HasCells())
      for (int i = 0; i < kzm::kTileCellCount; ++i) blocks += t->Cells()[i].Kind() == kzm::Cell::kRGBABitmap;
    image.InsertTile(t);
  }
  return blocks * 64 * sizeof(PixelRGBA);
}

constexpr uint32_t kRowsPerTask = 8;

// Makes rows [row, row + count) of the current image available and returns
// the first of them (rows of the image's width follow it), or null when the
// read fails. Rows the reader holds in memory are decoded on the work pool,
// a batch per task, into `rows`, and then taken in order as the reader takes
// them one at a time: progress first, then the row's own result.
const uint32_t* TakeWindow(iio::Psd& reader, const iio::layer_param_t& P, uint32_t row, uint32_t) {
  return reader.RowPointer(int32_t(P.top + int64_t(row)));
}
const uint64_t* TakeWindow(iio::Psd& reader, const iio::layer_param_t& P, uint32_t row, uint64_t) {
  return reader.RowPointer16(int32_t(P.top + int64_t(row)));
}

template <typename Pixel>
const Pixel* ReadWindow(iio::Psd& reader, const iio::layer_param_t& P, uint32_t row, uint32_t count,
                        std::vector<Pixel>& rows) {
  const size_t w = size_t(P.Width());
  if (count > kRowsPerTask && base::WorkThreads() > 1 && reader.RowsDecodable(row, count)) {
    rows.resize(size_t(count) * w);
    const size_t tasks = (count + kRowsPerTask - 1) / kRowsPerTask;
    std::vector<uint32_t> decoded(tasks);
    base::ParallelFor(tasks, [&](size_t t) {
      const uint32_t i0 = uint32_t(t) * kRowsPerTask;
      decoded[t] = reader.DecodeRows(row + i0, std::min(kRowsPerTask, count - i0), rows.data() + i0 * w);
    });
    uint32_t good = 0;
    for (size_t t = 0; t < tasks && good == uint32_t(t) * kRowsPerTask; ++t) good += decoded[t];
    return reader.TakeRows(count, good) == count ? rows.data() : nullptr;
  }
  if (reader.ReadRows(count) < count) return nullptr;
  return TakeWindow(reader, P, row, Pixel(0));
}

template <typename Pixel>
int ReadTiles(iio::Psd& reader, const iio::layer_param_t& P, kzm::PiImage& image, std::vector<Pixel>& rows,
              uint64_t maxBlockBytes) {
  const int64_t w = P.Width(), h = P.Height();
  if (w <= 0 || h <= 0) return 0;
  uint64_t blockBytes = 0;
  // One window per tile row of the document, so that each tile is built once.
  for (int64_t row = 0; row < h;) {
    const int32_t docY = int32_t(P.top + row);
    const uint32_t count = uint32_t(std::min<int64_t>(kzm::kTileSize - (docY & (kzm::kTileSize - 1)), h - row));
    // What the window may take besides: its rows (up to twice, as they
    // grow) and the blocks of its tiles. 128 rows of a wide layer are large.
    const uint64_t windowPixels = uint64_t(count) * uint64_t(w);
    if (blockBytes + windowPixels * (2 * sizeof(Pixel) + sizeof(PixelRGBA)) > maxBlockBytes) return kErrTooLarge;
    const Pixel* base = ReadWindow(reader, P, uint32_t(row), count, rows);
    if (!base) return kErrNotPsd;
    blockBytes += AddWindowTiles(image, base, P.left, w, docY, count);
    row += count;
  }
  image.RecomputeBounds();
  return 0;
}

// A failure's code, with its cause in *detail where given.
int Failed(std::string* detail, int code, const std::string& why) {
  if (detail) *detail = why;
  return code;
}

int Cancelled(std::string* detail) { return Failed(detail, kErrCancelled, "cancelled by the progress callback"); }

// The reader's failure: kErrNotPsd, and the reader's cause.
int NotRead(const iio::Psd& reader, uint32_t k, std::string* detail) {
  return Failed(detail, kErrNotPsd,
                reader.ErrorDetail().empty() ? "image " + std::to_string(k) + " cannot be read" : reader.ErrorDetail());
}

// The thumbnail's samples of the current image: pixel (i, j) of `samples`
// (gw x gh) is the image's pixel at canvas (i * step, j * step); 0 outside
// it. Reads only the rows sampled, in order, each after progress(j) for
// its thumbnail row j. 0, kErrCancelled when progress returns false,
// kErrNotPsd when a row cannot be read (the cause in *detail).
template <typename Pixel>
int SampleImage(iio::Psd& reader, const iio::layer_param_t& P, const kzm::ThumbGeometry& g,
                const std::function<bool(uint64_t)>& progress, std::vector<Pixel>& samples, kzm::PiImage& image,
                std::string* detail) {
  const int32_t gw = g.width, gh = g.height;
  samples.assign(size_t(gw) * size_t(gh), Pixel(0));
  std::vector<Pixel> row(size_t(std::max<int64_t>(P.Width(), 0)));
  for (int32_t j = 0; j < gh; ++j) {
    const int64_t y = int64_t(j) * g.step - P.top;
    if (y < 0 || y >= P.Height()) continue;
    if (!progress(uint64_t(j))) return Cancelled(detail);
    if (!reader.RowAt(uint32_t(y), row.data(), detail)) return kErrNotPsd;
    for (int32_t x = 0; x < gw; ++x) {
      const int64_t c = int64_t(x) * g.step - P.left;
      if (c >= 0 && c < P.Width()) samples[size_t(j) * size_t(gw) + size_t(x)] = row[size_t(c)];
    }
  }
  for (int32_t y = 0; y < gh; y += kzm::kTileSize)
    AddWindowTiles(image, samples.data() + size_t(y) * size_t(gw), 0, gw, y,
                   uint32_t(std::min<int32_t>(kzm::kTileSize, gh - y)));
  return 0;
}

}  // namespace

uint64_t AddImageRows(kzm::PiImage& image, const uint32_t* rows, int32_t left, int64_t w, int32_t docY,
                      uint32_t count) {
  return AddWindowTiles(image, rows, left, w, docY, count);
}

uint64_t AddImageRows(kzm::PiImage& image, const uint64_t* rows, int32_t left, int64_t w, int32_t docY,
                      uint32_t count) {
  return AddWindowTiles(image, rows, left, w, docY, count);
}

bool HoldsMergedLayer(const iio::Psd& reader) {
  const uint32_t layers = reader.LayerCount();
  if (layers == 0) return false;
  const iio::layer_param_t& top = reader.LayerParam(layers - 1);
  return top.name == iio::kMergedImageName && !top.pixelsIrrelevant && (!top.visible || layers == 1);
}

PsdLayerPlan PlanPsdLayers(const iio::Psd& reader) {
  PsdLayerPlan plan;
  plan.images = reader.ImageCount();
  // The merged image is last; a file that holds it as its top layer already
  // (written from a document made from a PSD, or from a document without
  // layers) does not get it twice.
  plan.read = plan.images > 0 && HoldsMergedLayer(reader) ? plan.images - 1 : plan.images;
  for (uint32_t k = 0; k < plan.read; ++k)
    if (k >= reader.LayerCount() || !reader.LayerParam(k).pixelsIrrelevant) plan.layers.push_back(k);
  return plan;
}

iio::layer_param_t RecordOfImage(const iio::Psd& reader, uint32_t k) {
  if (k < reader.LayerCount()) return reader.LayerParam(k);
  iio::layer_param_t p;
  p.name = iio::kMergedImageName;
  p.right = int32_t(reader.Width());
  p.bottom = int32_t(reader.Height());
  p.visible = reader.LayerCount() == 0 ? 1 : 0;
  return p;
}

int ReadImageTiles(iio::Psd& reader, const iio::layer_param_t& P, kzm::PiImage& image, PsdRowBuffers& rows,
                   uint64_t maxBlockBytes) {
  return reader.Wide() ? ReadTiles(reader, P, image, rows.wide, maxBlockBytes)
                       : ReadTiles(reader, P, image, rows.narrow, maxBlockBytes);
}

uint64_t PlannedArea(const iio::Psd& reader, const PsdLayerPlan& plan) {
  uint64_t area = 0;
  for (uint32_t k : plan.layers) {
    const iio::layer_param_t P = RecordOfImage(reader, k);
    area += uint64_t(P.Width()) * uint64_t(P.Height());  // each side at most 300,000
  }
  return area;
}

int PsdThumbnail(iio::Psd& reader, const PsdLayerPlan& plan, const ProgressFunc& progress, kzm::ThumbGeometry& g,
                 std::vector<PixelRGBA>& px, std::string* detail) {
  const Rect canvas{0, 0, int32_t(reader.Width()), int32_t(reader.Height())};
  g = kzm::ThumbnailGeometry(canvas);
  const int32_t gw = g.width, gh = g.height;
  px.assign(size_t(gw) * size_t(gh), PixelRGBA{0, 0, 0, 0});
  if (px.empty()) return 0;

  // Each layer at the sample positions only: a layer of the thumbnail's
  // size, pixel (i, j) the layer's pixel at (i * step, j * step). Composing
  // those gives each sample what composing the whole layers gives it, as
  // every pixel is composed on its own.
  std::vector<kzm::ImageProperties> props;
  std::vector<uint32_t> images;
  for (uint32_t k : plan.layers) {
    images.push_back(k);
    props.push_back(PropertiesOfRecord(RecordOfImage(reader, k)));
  }
  RunningComposite<std::unique_ptr<kzm::Plane>> stack(Rect{0, 0, gw, gh}, props);
  std::vector<uint32_t> samples;
  std::vector<uint64_t> samples16;
  size_t next = 0;  // into images
  for (uint32_t k = 0; k < plan.images; ++k) {
    // Every image shows its phase, those without rows (section markers,
    // empty layers, a merged image the top layer holds) included.
    if (progress && !progress(k, plan.images, 0, uint64_t(gh))) return Cancelled(detail);
    if (k >= plan.read) continue;
    iio::layer_param_t P;
    if (!reader.NextImage(P)) return NotRead(reader, k, detail);
    if (next >= images.size() || images[next] != k) continue;
    const size_t i = next++;
    if (!stack.Wanted(i)) continue;
    std::unique_ptr<kzm::Plane> layer = kzm::PiImage::Create();
    kzm::PiImage& image = *layer->image();
    const std::function<bool(uint64_t)> rowProgress = [&](uint64_t j) {
      return !progress || progress(k, plan.images, j, uint64_t(gh));
    };
    if (const int code = reader.Wide() ? SampleImage(reader, P, g, rowProgress, samples16, image, detail)
                                       : SampleImage(reader, P, g, rowProgress, samples, image, detail))
      return code;
    stack.Add(i, std::move(layer));
  }
  stack.composite().ReadRows(0, gh, 0, gw, px.data());
  return 0;
}

int WritePsdLayers(iio::Psd& reader, const PsdLayerPlan& plan, bool compress, const ProgressFunc& progress,
                   chunk::ChunkWriter& root, uint64_t maxBlockBytes, std::string* detail) {
  // A layer's save goes on to its end once progress asks to stop; the next
  // one is not started.
  bool stop = false;
  const ProgressFunc told = [&](uint64_t step, uint64_t steps, uint64_t done, uint64_t total) {
    if (!stop && progress && !progress(step, steps, done, total)) stop = true;
    return !stop;
  };
  PsdRowBuffers rows;
  const uint64_t count = plan.layers.size();
  size_t next = 0;  // into plan.layers
  for (uint32_t k = 0; k < plan.read && next < plan.layers.size(); ++k) {
    iio::layer_param_t P;
    if (!reader.NextImage(P)) return NotRead(reader, k, detail);
    if (plan.layers[next] != k) continue;
    std::unique_ptr<kzm::Plane> layer = kzm::PiImage::Create();
    kzm::PiImage& image = *layer->image();
    const int code = ReadImageTiles(reader, P, image, rows, maxBlockBytes);
    if (code == kErrNotPsd) return NotRead(reader, k, detail);
    if (code != 0)
      return Failed(detail, code,
                    "layer " + std::to_string(k) + ": its tiles pass the " + std::to_string(maxBlockBytes) +
                        " bytes the conversion may take");
    kzm::SetProperties(image, PropertiesOfRecord(P));
    if (kzm::SaveLayer(root, image, compress, told, next, count) != 0)
      return Failed(detail, kErrWrite, "writing the native file: layer " + std::to_string(k) + " failed");
    if (stop) return Cancelled(detail);
    ++next;
  }
  return 0;
}
