#include "convert/import_psd.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/work_pool.h"
#include "iio/psd.h"
#include "kzm/cell.h"
#include "kzm/image_context.h"
#include "kzm/pi_folder.h"
#include "kzm/pi_image.h"
#include "kzm/tile.h"

namespace kzm {

PushNormBlendPlane::PushNormBlendPlane(Plane* plane) : plane_(plane) {
  Plane::Impl* p = plane_->impl();
  blend_ = *p->Blend();
  visible_ = p->Visible();
  opacity_ = p->Opacity();
  p->SetBlend(Blend{});
  p->SetOpacity(16384);
  p->SetOpacity(16384);
  p->SetVisible(1);
}

PushNormBlendPlane::~PushNormBlendPlane() {
  Plane::Impl* p = plane_->impl();
  p->SetBlend(blend_);
  p->SetOpacity(opacity_);
  p->SetVisible(visible_);
}

}  // namespace kzm

namespace {

using kzm::Plane;
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

// Builds the tile at `loc` from the part [x0, x1) x [y0, y1) (tile pixels)
// that a window of source rows covers; `src` is the source pixel for tile
// pixel (x0, y0) and `stride` the source row length. Cells outside that part
// are transparent fills, uniform 8 x 8 blocks become fills.
Tile* BuildPartialTile(TileLocate loc, const uint32_t* src, ptrdiff_t stride, int x0, int y0, int x1, int y1) {
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
      const uint32_t* at = src + (tp - y0) * stride + (l - x0);
      if (l == px0 && r == px0 + 8 && tp == py0 && b == py0 + 8) {
        kzm::AssignFrom8(cell, at, 1, stride);
      } else {
        kzm::AssignFrom8Clipped(cell, at, 1, stride, Rect{l - px0, tp - py0, r - px0, b - py0}, transparent);
      }
    }
  }
  return t;
}

constexpr uint32_t kRowsPerTask = 8;

// Makes rows [row, row + count) of the current image available and returns
// the first of them (rows of the image's width follow it), or null when the
// read fails. Rows the reader holds in memory are decoded on the work pool,
// a batch per task, into `rows`, and then taken in order as the reader takes
// them one at a time: progress first, then the row's own result.
const uint32_t* ReadWindow(iio::Psd& reader, const iio::layer_param_t& P, uint32_t row, uint32_t count,
                           std::vector<uint32_t>& rows) {
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
  return reader.RowPointer(int32_t(P.top + int64_t(row)));
}

// Reads the current image's rows straight into tiles at document positions
// (the layer's rectangle may start anywhere, also left of or above the canvas),
// one window per tile row of the document so that each tile is built once.
bool ReadImageTiles(iio::Psd& reader, const iio::layer_param_t& P, kzm::PiImage& image, std::vector<uint32_t>& rows) {
  const int64_t w = P.Width(), h = P.Height();
  if (w <= 0 || h <= 0) return true;
  const PixelRGBA transparent{};
  for (int64_t row = 0; row < h;) {
    const int32_t docY = int32_t(P.top + row);
    const int32_t inTileY = docY & (kzm::kTileSize - 1);
    const uint32_t count = uint32_t(std::min<int64_t>(kzm::kTileSize - inTileY, h - row));
    const uint32_t* base = ReadWindow(reader, P, uint32_t(row), count, rows);
    if (!base) return false;
    const int32_t firstCol = P.left >> 7;
    const int32_t lastCol = int32_t((int64_t(P.left) + w - 1) >> 7);
    const int32_t tileRow = docY >> 7;
    // The tiles of this window are independent: built on the work pool,
    // kept in column order.
    const size_t cols = size_t(int64_t(lastCol) - firstCol + 1);
    std::vector<Tile*> built(cols, nullptr);
    base::ParallelFor(cols, [&](size_t k) {
      const int32_t col = int32_t(firstCol + int64_t(k));
      // A tile key holds signed 16-bit columns and rows; pixels beyond that
      // (millions of pixels off the canvas) cannot be stored and are dropped.
      if (col < INT16_MIN || col > INT16_MAX || tileRow < INT16_MIN || tileRow > INT16_MAX) return;
      const int64_t tileLeft = int64_t(col) * kzm::kTileSize;
      const int x0 = int(std::max<int64_t>(P.left, tileLeft) - tileLeft);
      const int x1 = int(std::min<int64_t>(int64_t(P.left) + w, tileLeft + kzm::kTileSize) - tileLeft);
      const uint32_t* src = base + (tileLeft + x0 - P.left);
      const TileLocate loc = TileLocate::FromColRow(col, tileRow);
      Tile* t = BuildPartialTile(loc, src, ptrdiff_t(w), x0, inTileY, x1, inTileY + int(count));
      if (TileIsDefault(*t, transparent)) {
        t->Release();  // nothing to keep: the default pixel shows there anyway
      } else {
        t->ShareIfUniform();
        built[k] = t;
      }
    });
    for (Tile* t : built)
      if (t) image.InsertTile(t);
    row += count;
  }
  return true;
}

}  // namespace

bool HoldsMergedLayer(const iio::Psd& reader) {
  const uint32_t layers = reader.LayerCount();
  if (layers == 0) return false;
  const iio::layer_param_t& top = reader.LayerParam(layers - 1);
  return top.name == iio::kMergedImageName && !top.pixelsIrrelevant && (!top.visible || layers == 1);
}

std::unique_ptr<Plane> ImportLayers(int32_t geo0, int32_t geo1, iio::Psd& reader, int32_t* code) {
  *code = kImportOk;
  std::unique_ptr<Plane> folder = kzm::PiFolder::Create();
  std::vector<uint32_t> rows;  // decoded on the work pool, reused from window to window
  uint32_t n = reader.Open();
  if (n == 0 && reader.ErrorCode() != 0) {
    *code = kImportReadFailed;
    return nullptr;
  }
  // The merged image is last; a file that holds it as its top layer already
  // (written from a document made from a PSD, or from a document without
  // layers) does not get it twice.
  if (n > 0 && HoldsMergedLayer(reader)) --n;
  for (uint32_t k = 0; k < n; ++k) {
    iio::layer_param_t P;
    if (!reader.NextImage(P)) {
      *code = kImportReadFailed;
      return nullptr;
    }
    if (P.pixelsIrrelevant) continue;  // section markers carry no pixels

    kzm::ImageGeometry geometry;
    geometry.v0 = geo0;
    geometry.v1 = geo1;
    std::unique_ptr<Plane> layer = kzm::PiImage::Create(geometry);
    kzm::PiImage& image = *layer->image();
    // Pixels land at their document positions directly, so the layer's
    // offset is zero from the start and no re-basing pass is needed.
    if (!ReadImageTiles(reader, P, image, rows)) {
      *code = kImportReadFailed;
      return nullptr;
    }
    Plane::Impl* p = layer->impl();
    p->SetOffset(kzm::Point{0, 0});
    p->SetBlend(P.blend);
    p->SetName(P.name);
    p->SetVisible(P.visible);
    p->SetPlaneLock(P.planeLock || P.lockAll);
    p->SetAlphaLock(P.alphaLock || P.lockAll);
    p->SetOpacity(P.opacity);
    image.RecomputeBounds();
    folder->impl()->AppendChild(std::move(layer));
  }
  reader.CheckFailed();
  folder->folder()->SetFixedBounds(Rect{0, 0, int32_t(reader.Width()), int32_t(reader.Height())});
  return NormalizeLayerOffsets(std::move(folder));
}

std::unique_ptr<Plane> NormalizeLayerOffsets(std::unique_ptr<Plane> folder) {
  if (!folder || folder->Kind() != 3) return folder;
  Plane::Impl* F = folder->impl();
  const size_t m = F->ChildCount();
  std::vector<std::unique_ptr<Plane>> keep;
  keep.reserve(m);
  for (size_t i = 0; i < m; ++i) {
    std::unique_ptr<Plane> c = F->RemoveChild(F->ChildAt(0));
    if (!c) break;
    const kzm::Point o = c->impl()->Offset();
    if ((o.x == 0 && o.y == 0) || c->Kind() != 1) {
      keep.push_back(std::move(c));
      continue;
    }
    // Compose the layer alone, as plain normal at full opacity, into a
    // temporary folder: its merged tiles hold the pixels at document positions.
    std::unique_ptr<Plane> T = kzm::PiFolder::Create();
    std::unique_ptr<Plane> N;
    {
      kzm::PushNormBlendPlane push(c.get());
      Plane* inT = T->impl()->AppendChild(std::move(c));
      T->impl()->Compose(ProgressFunc());
      N = inT->impl()->CloneEmpty();
      N->impl()->TakeMergedTiles(T.get());
      c = T->impl()->RemoveChild(inT);
      c->impl()->SetOffset(kzm::Point{0, 0});
    }
    c->impl()->CopyPropertiesTo(*N->impl());
    // The merged tiles are tile-aligned at document positions already.
    N->image()->RecomputeBounds();
    c->impl()->Swap(N.get());
    N.reset();
    kzm::PiImage& img = *c->image();
    const PixelRGBA def = img.DefaultPixel();
    std::vector<TileLocate> drop;
    img.ForEachTile([&](Tile& t, size_t, size_t) {
      if (t.HasCells() && TileIsDefault(t, def)) drop.push_back(t.Locate());
      return false;
    });
    for (TileLocate loc : drop) img.RemoveTile(loc, nullptr);
    keep.push_back(std::move(c));
  }
  for (auto& c : keep) F->AppendChild(std::move(c));
  return folder;
}

int32_t ImportPsd(int32_t geo0, int32_t geo1, iio::Psd& reader, const ProgressFunc& progress,
                  std::shared_ptr<kzm::ImageContext>& out) {
  out.reset();
  const uint32_t W = reader.Width(), H = reader.Height();
  if (uint64_t(W) * H == 0) return kImportEmptyCanvas;
  reader.SetProgress(progress);
  int32_t code = kImportOk;
  std::unique_ptr<Plane> F = ImportLayers(geo0, geo1, reader, &code);
  if (!F) return code ? code : kImportReadFailed;
  std::shared_ptr<kzm::ImageContextImpl> ctx = kzm::ImageContextImpl::Create(kzm::PiFolder::CreateRoot());
  // The document keeps the PSD's canvas, so that converting it back gives a
  // PSD of the same width and height.
  ctx->Root()->folder()->SetFixedBounds(Rect{0, 0, int32_t(W), int32_t(H)});
  ctx->AddPlane(std::move(F));
  out = ctx;
  return kImportOk;
}
