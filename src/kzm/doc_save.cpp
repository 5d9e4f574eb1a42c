#include "kzm/doc_save.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>

#include "chunk/chunk_writer.h"
#include "kzm/bgptn.h"
#include "kzm/native_reader.h"
#include "kzm/image_context.h"
#include "kzm/pi_folder.h"
#include "kzm/pix_iterator.h"
#include "kzm/plane.h"
#include "kzm/record_layer.h"
#include "kzm/tile.h"

namespace kzm {

namespace {

void Report(const ProgressFunc& progress, uint64_t step, uint64_t steps, uint64_t done, uint64_t total) {
  if (progress) progress(step, steps, done, total);
}

// Tile indices (rows or columns) that the sample positions base + k * step,
// k < n, fall in, shifted by `off`; in increasing order without repeats.
std::vector<int> SampledTileIndices(int64_t base, int64_t step, int32_t n, int64_t off) {
  std::vector<int> out;
  for (int32_t k = 0; k < n; ++k) {
    const int64_t t = (base + k * step + off) >> 7;
    if (t < -32768 || t > 32767) continue;
    if (out.empty() || out.back() != int(t)) out.push_back(int(t));
  }
  return out;
}

}  // namespace

ThumbGeometry ThumbnailGeometry(const Rect& bounds) {
  ThumbGeometry g;
  if (bounds.IsEmpty()) return g;
  int64_t w = int64_t(bounds.right) - bounds.left, h = int64_t(bounds.bottom) - bounds.top;
  int64_t step = 1;
  while ((w > kThumbLimit || h > kThumbLimit) && w >= 2 && h >= 2) {
    w >>= 1;
    h >>= 1;
    step <<= 1;
  }
  // A side below 2 stops the halving above, which would leave a thin
  // rectangle (a stored fixed bound can be 2^32 x 1) at full length: the
  // long side goes on halving until the thumbnail holds no more pixels than
  // a 384 x 384 one.
  while (w * h > int64_t(kThumbLimit) * kThumbLimit) {
    if (w >= 2) w >>= 1;
    if (h >= 2) h >>= 1;
    step <<= 1;
  }
  g.width = int32_t(w);
  g.height = int32_t(h);
  g.step = int32_t(step);
  return g;
}

std::vector<PixelRGBA> SampleThumbnail(Plane& root, const Rect& bounds, const ThumbGeometry& g) {
  std::vector<PixelRGBA> px(size_t(g.width) * size_t(g.height));
  if (px.empty() || !root.impl()) return px;
  Plane::Impl& impl = *root.impl();
  PiFolder* folder = root.folder();
  // A folder composes a merged tile when it is first asked for it with
  // compute set; the reader then sees the composed pixels. The tiles are
  // composed one row of tiles at a time, and those made only for the
  // thumbnail are let go once their samples are taken, so the whole merged
  // image is never held.
  const Point off = impl.Offset();
  const std::vector<int> cols = SampledTileIndices(bounds.left, g.step, g.width, off.x);
  const std::vector<int> rows = SampledTileIndices(bounds.top, g.step, g.height, off.y);
  size_t nextRow = 0;  // index into rows
  int32_t j = 0;
  while (j < g.height) {
    const int64_t y = int64_t(bounds.top) + int64_t(j) * g.step;
    const int64_t tileRow = (y + off.y) >> 7;
    // The samples of this tile row: j .. jEnd - 1.
    int32_t jEnd = j + 1;
    while (jEnd < g.height && ((int64_t(bounds.top) + int64_t(jEnd) * g.step + off.y) >> 7) == tileRow) ++jEnd;
    std::vector<TileLocate> made;
    if (nextRow < rows.size() && rows[nextRow] == tileRow) {
      std::vector<TileLocate> locs;
      for (int col : cols) {
        const TileLocate loc = TileLocate::FromColRow(col, int(tileRow));
        if (folder && !impl.LookupTile(loc)) made.push_back(loc);
        locs.push_back(loc);
      }
      // What FindTile with compute does on the main thread without a worker,
      // for the whole row of tiles at once; of the tiles made only for the
      // thumbnail just the cells holding samples are merged.
      if (folder && !folder->Worker() && MainContext::IsMainThread()) {
        uint64_t rowBits = 0;  // bit cy: cell row cy holds a sample row
        for (int32_t jj = j; jj < jEnd; ++jj)
          rowBits |= uint64_t(1) << ((((int64_t(bounds.top) + int64_t(jj) * g.step + off.y) & 127) >> 3));
        std::map<int64_t, PiFolder::CellMask> masks;
        for (int32_t i = 0; i < g.width; ++i) {
          const int64_t X = int64_t(bounds.left) + int64_t(i) * g.step + off.x;
          PiFolder::CellMask& m = masks[X >> 7];
          const int cx = int((X & 127) >> 3);
          for (int cy = 0; cy < kTileCells; ++cy)
            if (rowBits >> cy & 1) m[size_t(cy * kTileCells + cx) >> 6] |= uint64_t(1) << ((cy * kTileCells + cx) & 63);
        }
        folder->MergedTilesNow(locs, [&](TileLocate loc) -> const PiFolder::CellMask* {
          if (std::find(made.begin(), made.end(), loc) == made.end()) return nullptr;
          auto it = masks.find(loc.Left() >> 7);
          return it != masks.end() ? &it->second : nullptr;
        });
      } else {
        for (TileLocate loc : locs) impl.FindTile(loc, true);
      }
      ++nextRow;
    }
    PixRandIterator reader(impl);
    for (int32_t jj = j; jj < jEnd; ++jj) {
      const int32_t yy = int32_t(int64_t(bounds.top) + int64_t(jj) * g.step);
      PixelRGBA* o = px.data() + size_t(jj) * size_t(g.width);
      for (int32_t i = 0; i < g.width; ++i) *o++ = reader.At(int32_t(int64_t(bounds.left) + int64_t(i) * g.step), yy);
    }
    for (TileLocate loc : made)
      if (Tile* t = folder->DetachMergedTile(loc)) t->Release();
    j = jEnd;
  }
  return px;
}

void SaveDocumentHead(chunk::ChunkWriter& root, const ThumbGeometry& g, const std::vector<PixelRGBA>& thumbnail,
                      const Rect& canvas) {
  root.writeU32("version", kNativeVersion);
  root.writeString("tooltype", "VORLET_PAINT");
  {
    chunk::ChunkWriter& bg = root.beginChild("Bg");
    SaveBGPtnInfo(BGPtnInfo::Default(), bg);
    bg.end();
  }
  {
    chunk::ChunkWriter& thumb = root.beginChild("MergedThumb");
    thumb.writeU32("version", kNativeVersion);
    thumb.writeU32("width", uint32_t(g.width));
    thumb.writeU32("height", uint32_t(g.height));
    thumb.writeValue("Image", uint64_t(thumbnail.size()) * sizeof(PixelRGBA), thumbnail.data());
    thumb.end();
  }
  {
    chunk::ChunkWriter& r = root.beginChild("Root");
    SaveFolderRecord(canvas, r);
    r.end();
  }
}

int SaveLayer(chunk::ChunkWriter& root, const PiImage& layer, bool compress, const ProgressFunc& progress,
              uint64_t index, uint64_t count) {
  Report(progress, index, count, 0, 100);
  char name[32];
  std::snprintf(name, sizeof name, "Plane%04llx", static_cast<unsigned long long>(index));
  chunk::ChunkWriter& w = root.beginChild(name);
  const int res = SaveImageRecord(layer, w, compress, progress, index, count);
  w.end();
  return res;
}

int SaveDocument(ImageContext& doc, bool compress, const ProgressFunc& progress, chunk::ChunkWriter& root) {
  root.writeU32("version", kNativeVersion);
  root.writeString("tooltype", "VORLET_PAINT");

  {
    chunk::ChunkWriter& bg = root.beginChild("Bg");
    std::shared_ptr<BGPtnInfo> ptn = doc.PatternInfo();
    SaveBGPtnInfo(ptn ? *ptn : BGPtnInfo::Default(), bg);
    bg.end();
  }

  Plane* folder = doc.Root();
  {
    chunk::ChunkWriter& thumb = root.beginChild("MergedThumb");
    thumb.writeU32("version", kNativeVersion);
    const Rect bounds = folder && folder->impl() ? folder->impl()->Bounds() : Rect{};
    const ThumbGeometry g = ThumbnailGeometry(bounds);
    thumb.writeU32("width", uint32_t(g.width));
    thumb.writeU32("height", uint32_t(g.height));
    std::vector<PixelRGBA> px;
    if (folder) px = SampleThumbnail(*folder, bounds, g);
    thumb.writeValue("Image", uint64_t(px.size()) * sizeof(PixelRGBA), px.data());
    thumb.end();
  }

  if (!folder) return 0;
  {
    chunk::ChunkWriter& r = root.beginChild("Root");
    const int res = SaveLayerRecord(*folder, r, compress, ProgressFunc(), 0, 0);
    r.end();
    if (res) return res;
  }

  const size_t n = doc.ChildCount(folder);
  for (size_t i = 0; i < n; ++i) {
    Report(progress, i, n, 0, 100);
    Plane* child = doc.ChildAt(folder, int(i));
    char name[32];
    std::snprintf(name, sizeof name, "Plane%04llx", static_cast<unsigned long long>(i));
    chunk::ChunkWriter& w = root.beginChild(name);
    const int res = child ? SaveLayerRecord(*child, w, compress, progress, i, n) : 0;
    w.end();
    if (res) return res;
  }
  return 0;
}

}  // namespace kzm
