#include "kzm/record_layer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/byte_order.h"
#include "chunk/chunk_reader.h"
#include "chunk/chunk_values.h"
#include "chunk/chunk_writer.h"
#include "kzm/bitmap_blocks.h"
#include "kzm/cell.h"
#include "kzm/pi_folder.h"
#include "kzm/pi_image.h"
#include "kzm/record_blend.h"
#include "kzm/tile.h"

namespace kzm {

namespace {

constexpr uint32_t kRecordVersion = 0x10000000;
constexpr uint32_t kWidePalette = 32768;  // from this many entries codes are 32-bit
constexpr uint32_t kNarrowTileBytes = 4 + 256 * 2;
constexpr uint32_t kWideTileBytes = 4 + 256 * 4;
constexpr int32_t kCodeDefault = -1;
constexpr int32_t kCodeBitmap = -2;

void Report(const ProgressFunc& progress, uint64_t step, uint64_t steps, uint64_t done, uint64_t total) {
  if (progress) progress(step, steps, done, total);
}

using base::LoadLe32;
using base::StoreLe32;

// A pixel no valid layer holds is brought into range: alpha at most 16384,
// colour at most alpha.
inline PixelRGBA Sanitize(PixelRGBA p) {
  p.a = std::min<uint16_t>(p.a, uint16_t(kUnit));
  p.r = std::min(p.r, p.a);
  p.g = std::min(p.g, p.a);
  p.b = std::min(p.b, p.a);
  return p;
}

inline PixelRGBA PixelFromBytes(const uint8_t* p) {
  PixelRGBA px;
  std::memcpy(&px, p, sizeof px);
  return px;
}

// ---------------------------------------------------------------------------
// Encoding.

// The palette state shared by the three passes: the last 4 colours added and
// how many were added. Each pass starts from a fresh state, so all three
// assign the same codes.
class PaletteRing {
 public:
  explicit PaletteRing(const PixelRGBA& def) : def_(def.Word()) {}

  // Code of a fill colour; `added` tells that it became palette entry `code`.
  int32_t Code(uint64_t colour, bool& added) {
    added = false;
    if (colour == def_) return kCodeDefault;
    const uint32_t low = count_ > 4 ? count_ - 4 : 0;
    for (uint32_t j = count_; j-- > low;)
      if (ring_[j & 3] == colour) return int32_t(j);
    ring_[count_ & 3] = colour;
    added = true;
    return int32_t(count_++);
  }

 private:
  uint64_t def_;
  uint64_t ring_[4] = {};
  uint32_t count_ = 0;
};

enum class CellClass { kDefault, kFill, kBitmap };

// How a cell is stored. Cells that cannot be an RGBA layer's content (null
// handles, gray cells, a bitmap that lost its block) read as the default pixel.
inline CellClass Classify(const Cell& c, uint64_t& fill, const PixelRGBA*& pixels) {
  switch (c.Kind()) {
    case Cell::kRGBAFill:
      fill = static_cast<const Cell::ImplRGBAFill*>(c.impl())->Value().Word();
      return CellClass::kFill;
    case Cell::kRGBABitmap:
      pixels = c.BitmapPixels();
      return pixels ? CellClass::kBitmap : CellClass::kDefault;
    default:
      return CellClass::kDefault;
  }
}

// Walks the cells of every tile that has a cell array, in map order and
// row order, giving each its code.
template <typename Fn>
void ForEachCode(const TileMap& tiles, const PixelRGBA& def, Fn&& fn) {
  PaletteRing ring(def);
  for (const auto& e : tiles) {
    const Tile* t = e.second;
    if (!t->HasCells()) continue;
    const Cell* cells = t->Cells();
    for (int i = 0; i < kTileCellCount; ++i) {
      uint64_t fill = 0;
      const PixelRGBA* px = nullptr;
      switch (Classify(cells[i], fill, px)) {
        case CellClass::kDefault:
          fn(*t, i, kCodeDefault, false, fill);
          break;
        case CellClass::kBitmap:
          fn(*t, i, kCodeBitmap, false, fill);
          break;
        case CellClass::kFill: {
          bool added;
          const int32_t code = ring.Code(fill, added);
          fn(*t, i, code, added, fill);
          break;
        }
      }
    }
  }
}

// The record's values and its "Blend", which ReadImageProperties reads
// back. False, without the "Blend", when a value could not be written.
bool WriteImageProperties(const ImageProperties& p, chunk::ChunkWriter& rec) {
  rec.writeU32("version", kRecordVersion);
  if (!p.name.empty()) rec.writeString("tagName", p.name);
  rec.writeBool("LocalVisible", p.visible != 0);
  rec.writeU32("SrcOpacity", p.opacity);
  rec.writeValue("DefPixel", sizeof p.defaultPixel, &p.defaultPixel);
  rec.writeBool("LocalPlaneLock", p.planeLock != 0);
  rec.writeBool("LocalAlphaLock", p.alphaLock != 0);
  if (!rec.ok()) return false;
  // A blend without names leaves a short record; the layer is still saved.
  SaveBlendRecord(p.blend, rec);
  return true;
}

bool WriteBody(const PiImage& image, chunk::ChunkWriter& body, const ProgressFunc& progress, uint64_t index,
               uint64_t count) {
  const TileMap& tiles = image.Tiles();
  const PixelRGBA& def = image.DefaultPixel();

  // Pass 1: counts.
  uint32_t T = 0, B = 0, P = 0;
  for (const auto& e : tiles)
    if (e.second->HasCells()) ++T;
  ForEachCode(tiles, def, [&](const Tile&, int, int32_t code, bool added, uint64_t) {
    if (code == kCodeBitmap) ++B;
    if (added) ++P;
  });

  // Pass 2: the palette, each colour when it is added.
  body.beginArray("Fill", P, 8);
  {
    std::vector<uint64_t> batch;
    batch.reserve(4096);
    ForEachCode(tiles, def, [&](const Tile&, int, int32_t, bool added, uint64_t colour) {
      if (!added) return;
      batch.push_back(colour);
      if (batch.size() == 4096) {
        body.writeElements(batch.data(), uint32_t(batch.size()));
        batch.clear();
      }
    });
    if (!batch.empty()) body.writeElements(batch.data(), uint32_t(batch.size()));
  }
  body.endArray();

  // Pass 3: bitmap pixels, one batch per tile.
  body.beginArray("Bitmap", B, 512);
  {
    std::unique_ptr<PixelRGBA[]> batch(new PixelRGBA[kTileCellCount * kCellPixels]);
    const uint64_t total = tiles.size();
    uint64_t t = 0;
    for (const auto& e : tiles) {
      Report(progress, index, count, ++t, total);
      const Tile* tile = e.second;
      if (!tile->HasCells()) continue;
      uint32_t n = 0;
      const Cell* cells = tile->Cells();
      for (int i = 0; i < kTileCellCount; ++i) {
        uint64_t fill;
        const PixelRGBA* px = nullptr;
        if (Classify(cells[i], fill, px) == CellClass::kBitmap)
          std::memcpy(batch.get() + size_t(n++) * kCellPixels, px, kCellPixels * sizeof(PixelRGBA));
      }
      if (n) body.writeElements(batch.get(), n);
    }
  }
  body.endArray();

  // Pass 4: per tile its key and 256 codes.
  const bool wide = P >= kWidePalette;
  const uint32_t elemBytes = wide ? kWideTileBytes : kNarrowTileBytes;
  body.beginArray("Tile", T, elemBytes);
  {
    constexpr uint32_t kBatchTiles = 64;
    std::vector<uint8_t> batch(size_t(kBatchTiles) * elemBytes);
    uint32_t n = 0;
    uint8_t* elem = nullptr;
    ForEachCode(tiles, def, [&](const Tile& tile, int i, int32_t code, bool, uint64_t) {
      if (i == 0) {
        elem = batch.data() + size_t(n) * elemBytes;
        StoreLe32(elem, tile.Locate().key);
      }
      if (wide) {
        StoreLe32(elem + 4 + 4 * i, uint32_t(code));
      } else {
        const uint16_t c16 = uint16_t(int16_t(code));
        elem[4 + 2 * i] = uint8_t(c16);
        elem[5 + 2 * i] = uint8_t(c16 >> 8);
      }
      if (i == kTileCellCount - 1 && ++n == kBatchTiles) {
        body.writeElements(batch.data(), n);
        n = 0;
      }
    });
    if (n) body.writeElements(batch.data(), n);
  }
  body.endArray();
  return body.ok();
}

// ---------------------------------------------------------------------------
// Decoding.

// What a tile object with its place in the tile map costs, and what the
// array of cells of a tile that is not uniform adds (the array, 256 cell
// objects of the 32-byte pool).
constexpr uint64_t kTileCost = sizeof(Tile) + 64;
constexpr uint64_t kCellsCost = 2056 + 256 * 32;

// An upper bound of the memory the decoded tiles take, from the table alone:
// a tile of one fill code shares one array per colour, any other has its own.
uint64_t TableCost(const chunk::ArrayView& tiles, bool wide, uint32_t paletteSize, bool dropDefault) {
  const uint32_t elemBytes = wide ? kWideTileBytes : kNarrowTileBytes;
  std::vector<bool> sharedColour(paletteSize);
  uint64_t cost = 0;
  for (uint32_t e = 0; e < tiles.count; ++e) {
    const uint8_t* codes = tiles.begin + size_t(e) * elemBytes + 4;
    auto code = [&](int i) {
      return wide ? int32_t(LoadLe32(codes + 4 * i)) : int32_t(int16_t(uint16_t(codes[2 * i] | codes[2 * i + 1] << 8)));
    };
    const int32_t first = code(0);
    int i = 1;
    while (i < kTileCellCount && code(i) == first) ++i;
    if (i < kTileCellCount || first == kCodeBitmap) {
      cost += kTileCost + kCellsCost;
    } else if (first >= 0 && uint32_t(first) < paletteSize) {
      cost += kTileCost;
      if (!sharedColour[size_t(first)]) cost += kCellsCost;
      sharedColour[size_t(first)] = true;
    } else if (!dropDefault) {
      cost += kTileCost + kCellsCost;
    }
  }
  return cost;
}

// Fills `image` from the body's tables; false when they are inconsistent
// (the image may then hold some tiles; the caller discards it), or when the
// budget refuses them (`*refused` set, nothing made). With `dropDefault`,
// tiles holding only the default pixel are dropped as soon as they are
// decoded: a table of such tiles costs no memory beyond one tile.
bool DecodeBody(PiImage& image, const chunk::IChunkBase& body, bool dropDefault, const LoadOptions& options,
                bool* refused) {
  chunk::ArrayView fill, bitmap, tiles;
  // Bitmaps read straight into pool blocks (kzm/bitmap_blocks.h) are adopted
  // by the cells; otherwise they are copied out of the array.
  BitmapBlocks* blocks = BitmapBlocks::Of(body);
  if (!chunk::ReadArray(body, "Fill", 8, fill)) return false;
  if (!blocks && !chunk::ReadArray(body, "Bitmap", 512, bitmap)) return false;
  const bool wide = fill.count >= kWidePalette;
  if (!chunk::ReadArray(body, "Tile", wide ? kWideTileBytes : kNarrowTileBytes, tiles)) return false;

  const uint32_t P = fill.count, B = blocks ? uint32_t(blocks->Count()) : bitmap.count;
  if (options.budget) {
    const uint64_t cost = TableCost(tiles, wide, P, dropDefault);
    if (!options.budget->Take(cost)) {
      *refused = true;
      return false;
    }
    if (options.charged) *options.charged += cost;
  }
  std::vector<PixelRGBA> palette(P);
  for (uint32_t i = 0; i < P; ++i) palette[i] = Sanitize(PixelFromBytes(fill.begin + size_t(i) * 8));
  const PixelRGBA def = image.DefaultPixel();

  uint32_t nextBitmap = 0;
  PixelRGBA block[kCellPixels];
  const uint32_t elemBytes = wide ? kWideTileBytes : kNarrowTileBytes;
  for (uint32_t e = 0; e < tiles.count; ++e) {
    const uint8_t* elem = tiles.begin + size_t(e) * elemBytes;
    TileRef tile = TileRef::Adopt(Tile::Create(TileLocate(LoadLe32(elem)), true));
    Cell* cells = tile->MutableCells();
    const uint8_t* codes = elem + 4;
    for (int i = 0; i < kTileCellCount; ++i) {
      int32_t code;
      if (wide)
        code = int32_t(LoadLe32(codes + 4 * i));
      else
        code = int16_t(uint16_t(codes[2 * i] | codes[2 * i + 1] << 8));
      if (code >= 0) {
        if (uint32_t(code) >= P) return false;
        SetFill(cells[i], palette[size_t(code)]);
      } else if (code == kCodeDefault) {
        SetFill(cells[i], def);
      } else if (code == kCodeBitmap) {
        if (nextBitmap >= B) return false;
        if (blocks) {
          PixelRGBA* px = blocks->Take(nextBitmap++);
          if (!px) return false;
          AdoptPixels(cells[i], px);
          continue;
        }
        const uint8_t* src = bitmap.begin + size_t(nextBitmap++) * 512;
        std::memcpy(block, src, sizeof block);
        for (PixelRGBA& p : block) p = Sanitize(p);
        AssignPixels(cells[i], block);
      } else {
        return false;
      }
    }
    if (dropDefault && tile->Compact(def)) continue;  // `tile` releases it
    image.InsertTile(tile.release());
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------

bool LoadBudget::Take(uint64_t bytes) {
  const uint64_t before = used_.fetch_add(bytes, std::memory_order_relaxed);
  if (before + bytes <= limit_ && before + bytes >= before) return true;
  used_.fetch_sub(bytes, std::memory_order_relaxed);
  return false;
}

int SaveFolderRecord(const PiFolder& folder, chunk::ChunkWriter& container) {
  SaveFolderRecord(folder.FixedBounds() ? *folder.FixedBounds() : Rect{}, container);
  return 0;
}

void SaveFolderRecord(const Rect& fixed, chunk::ChunkWriter& container) {
  chunk::ChunkWriter& w = container.beginChild("PiFolder");
  w.writeU32("version", kRecordVersion);
  if (!fixed.IsEmpty()) {
    int32_t r[4] = {fixed.left, fixed.top, fixed.right, fixed.bottom};
    w.writeValue("FixBound", sizeof r, r);
  }
  w.end();
}

int LoadFolderRecord(PiFolder& folder, const chunk::IChunkBase& container) {
  std::shared_ptr<const chunk::IChunkBase> rec = container.findChild("PiFolder");
  if (!rec) return -1;
  int32_t r[4] = {0, 0, -1, -1};
  chunk::ReadBytes(*rec, "FixBound", r, sizeof r);
  if (int64_t(r[2]) - r[0] >= 1 && int64_t(r[3]) - r[1] >= 1)
    folder.SetFixedBounds(Rect{r[0], r[1], r[2], r[3]});
  else
    folder.ClearFixedBounds();
  return 0;
}

int SaveImageRecord(const PiImage& image, chunk::ChunkWriter& container, bool compress,
                    const ProgressFunc& progress, uint64_t index, uint64_t count) {
  PlaneLockGuard lock(const_cast<PiImage*>(&image));
  chunk::ChunkWriter& rec = compress ? container.beginPackedChild("PiImage") : container.beginChild("PiImage");
  if (!WriteImageProperties(PropertiesOf(image), rec)) {
    rec.end();
    return 1;
  }
  Report(progress, index, count, 0, 100);

  chunk::ChunkWriter& body = rec.beginChild("Body");
  WriteBody(image, body, progress, index, count);
  const bool bodyOk = body.end();
  Report(progress, index, count, 100, 100);
  const bool recOk = rec.end();
  return bodyOk && recOk ? 0 : 1;
}

bool ImageProperties::SameAs(const ImageProperties& o) const {
  return name == o.name && blend.word0 == o.blend.word0 && blend.word1 == o.blend.word1 && visible == o.visible &&
         planeLock == o.planeLock && alphaLock == o.alphaLock && opacity == o.opacity &&
         defaultPixel.Word() == o.defaultPixel.Word();
}

int ReadImageProperties(const chunk::IChunkBase& container, ImageProperties& out) {
  std::shared_ptr<const chunk::IChunkBase> rec = container.findChild("PiImage");
  if (!rec) return -1;
  ImageProperties p;
  p.named = chunk::ReadString(*rec, "tagName", p.name);
  if (!p.named) p.name.clear();
  bool visible = true, planeLock = false, alphaLock = false;
  chunk::ReadBool(*rec, "LocalVisible", visible);
  uint32_t opacity = kUnit;
  chunk::ReadU32(*rec, "SrcOpacity", opacity);
  PixelRGBA def{0, 0, 0, 0};
  if (chunk::ReadBytes(*rec, "DefPixel", &def, sizeof def)) def = Sanitize(def);
  chunk::ReadBool(*rec, "LocalPlaneLock", planeLock);
  chunk::ReadBool(*rec, "LocalAlphaLock", alphaLock);
  if (LoadBlendRecord(p.blend, *rec) == 1) return 1;
  p.visible = visible ? 1 : 0;
  p.planeLock = planeLock ? 1 : 0;
  p.alphaLock = alphaLock ? 1 : 0;
  p.opacity = uint16_t(std::min<uint32_t>(opacity, kUnit));
  p.defaultPixel = def;
  out = std::move(p);
  return 0;
}

ImageProperties PropertiesOf(const PiImage& image) {
  ImageProperties p;
  p.name = image.Name();
  p.named = !p.name.empty();
  p.blend = *image.Blend();
  p.visible = image.Visible();
  p.planeLock = image.PlaneLock();
  p.alphaLock = image.AlphaLock();
  p.opacity = image.Opacity();
  p.defaultPixel = image.DefaultPixel();
  return p;
}

void SetProperties(PiImage& image, const ImageProperties& p) {
  image.SetName(p.name);
  image.SetBlend(p.blend);
  image.SetVisible(p.visible);
  image.SetOpacity(p.opacity);
  image.SetPlaneLock(p.planeLock);
  image.SetAlphaLock(p.alphaLock);
}

int LoadImageRecord(Plane& plane, const chunk::IChunkBase& container, const LoadOptions& options) {
  PiImage* target = plane.image();
  if (!target) return -1;
  ImageProperties props;
  if (const int r = ReadImageProperties(container, props)) return r;
  std::shared_ptr<const chunk::IChunkBase> body = container.findChild("PiImage")->findChild("Body");
  if (!body) return -1;

  std::unique_ptr<Plane> fresh = PiImage::Create(target->Geometry(), props.defaultPixel, Rect{});
  PiImage& img = *fresh->image();
  bool refused = false;
  if (!DecodeBody(img, *body, options.dropDefaultTiles != 0, options, &refused)) return refused ? 2 : 1;

  SetProperties(img, props);
  if (options.dropDefaultTiles) img.CompactTiles();

  // The handle takes the new content; the old implementation leaves with `fresh`.
  target->Swap(fresh.get());
  return 0;
}

int SaveLayerRecord(Plane& plane, chunk::ChunkWriter& container, bool compress, const ProgressFunc& progress,
                    uint64_t index, uint64_t count) {
  if (const PiFolder* f = plane.folder()) return SaveFolderRecord(*f, container);
  if (const PiImage* img = plane.image()) return SaveImageRecord(*img, container, compress, progress, index, count);
  return 0;
}

int LoadLayerRecord(Plane& plane, const chunk::IChunkBase& container, const LoadOptions& options) {
  if (PiFolder* f = plane.folder()) return LoadFolderRecord(*f, container);
  if (plane.image()) return LoadImageRecord(plane, container, options);
  return -1;
}

}  // namespace kzm
