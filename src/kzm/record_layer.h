// Layer records of the native file: "PiFolder" for folders and "PiImage"
// (properties, "Blend", "Body") for raster layers.
//
// "Body" holds a layer's tiles as three arrays:
//   "Fill"   (8 bytes each)    palette colours,
//   "Bitmap" (512 bytes each)  the 64 pixels of every bitmap cell, in file order,
//   "Tile"   (516 or 1028)     u32 tile key and 256 cell codes, i16 while the
//                              palette has fewer than 32768 entries, else i32.
// Codes: -1 a fill of the layer's default pixel, -2 the next "Bitmap"
// element, 0..P-1 a fill of "Fill"[code]. The palette is a stream, not a
// set: a colour is reused only while it is among the last 4 colours added.
//
// The save and load of a plane chunk ("Plane%04x" or "Root") dispatch on the
// node's kind:
//   int r = kzm::SaveLayerRecord(plane, planeChunk, compress, progress, i, n);
//   int r = kzm::LoadLayerRecord(plane, *planeChunk, kzm::LoadOptions());
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "blend/blend_desc.h"
#include "blend/pixel.h"
#include "kzm/geometry.h"
#include "kzm/progress.h"

namespace chunk {
class ChunkWriter;
class IChunkBase;
}  // namespace chunk

namespace kzm {

class Plane;
class PiFolder;
class PiImage;

// Memory that the layers held at once may take for their tiles and cells.
// Bitmap pixels are not counted: they exist as inflated bytes, which the
// container reader bounds by the file's size.
class LoadBudget {
 public:
  explicit LoadBudget(uint64_t bytes) : limit_(bytes) {}
  // Counts what a layer is about to take; false, counting nothing, when that
  // passes the limit. Layers may be taken and given on different threads.
  bool Take(uint64_t bytes);
  uint64_t Used() const { return used_.load(std::memory_order_relaxed); }
  // What a layer took, given back when it goes.
  void Give(uint64_t bytes) { used_.fetch_sub(bytes, std::memory_order_relaxed); }

 private:
  const uint64_t limit_;
  std::atomic<uint64_t> used_{0};
};

// Options of a layer load.
struct LoadOptions {
  uint8_t reserved = 0;
  // After loading, compact the tiles and drop those holding only the
  // default pixel.
  uint8_t dropDefaultTiles = 1;
  // Charged with a layer's tiles before they are made; none: no limit.
  LoadBudget* budget = nullptr;
  // Where what the budget took for the layer is added (may be null).
  uint64_t* charged = nullptr;
};

// Writes the record of `plane` into its container chunk: a "PiFolder" record
// for a folder (compress and progress unused, always 0), a "PiImage" record
// for a raster layer (see SaveImageRecord). Other kinds write nothing and
// give 0.
int SaveLayerRecord(Plane& plane, chunk::ChunkWriter& container, bool compress, const ProgressFunc& progress,
                    uint64_t index, uint64_t count);

// Loads the record in `container` into `plane`, by the plane's kind (folder
// or raster layer; other kinds give -1). Results as LoadFolderRecord /
// LoadImageRecord.
int LoadLayerRecord(Plane& plane, const chunk::IChunkBase& container, const LoadOptions& options);

// "PiFolder": "version" and, when the folder has one, "FixBound". Returns 0.
int SaveFolderRecord(const PiFolder& folder, chunk::ChunkWriter& container);
// The same for a folder whose fixed bounds are `fixed` (none when empty).
void SaveFolderRecord(const Rect& fixed, chunk::ChunkWriter& container);
// 0, or -1 without a "PiFolder" child. A missing or empty "FixBound" clears
// the fixed bounds.
int LoadFolderRecord(PiFolder& folder, const chunk::IChunkBase& container);

// "PiImage" (a compressed chunk when `compress`): properties, "Blend",
// "Body". Progress: (index, count, 0, 100) after "Blend"; (index, count, t,
// tile count) before the t-th tile's bitmaps (t from 1); (index, count,
// 100, 100) at the end. Returns 0 when every write succeeded, else 1 (the
// chunks are closed either way).
int SaveImageRecord(const PiImage& image, chunk::ChunkWriter& container, bool compress,
                    const ProgressFunc& progress, uint64_t index, uint64_t count);

// What a "PiImage" record says of its layer besides the pixels: its values
// and its "Blend". A new layer's own until a record is read.
struct ImageProperties {
  std::string name;  // UTF-8
  bool named = false;
  Blend blend;
  uint8_t visible = 1, planeLock = 0, alphaLock = 0;
  uint16_t opacity = kUnit;
  PixelRGBA defaultPixel{0, 0, 0, 0};

  bool SameAs(const ImageProperties& o) const;
};
// The properties of the "PiImage" record in `container`: 0, -1 without a
// "PiImage", 1 for an unknown blend mode name (`out` unchanged but for 0).
// The record need not be complete: its values and "Blend" come first.
int ReadImageProperties(const chunk::IChunkBase& container, ImageProperties& out);
// The properties a raster layer holds.
ImageProperties PropertiesOf(const PiImage& image);
// Gives a raster layer the properties (all but the default pixel, which is
// fixed when the layer is made).
void SetProperties(PiImage& image, const ImageProperties& p);

// Rebuilds the raster layer behind `plane` from the "PiImage" record in
// `container`; the handle keeps its identity, owner and parent.
//   0  loaded;
//  -1  no "PiImage" or no "Body" (the layer is unchanged);
//   1  an unknown blend mode name, or a "Body" that is inconsistent: table
//      lengths that disagree with their counts, a palette index at or past
//      the palette size, more -2 codes than "Bitmap" elements, or a negative
//      code other than -1 and -2 (the layer is unchanged);
//   2  the tiles would take more than the options' budget allows (the layer
//      is unchanged, nothing of it was made).
// Stored pixels that no valid layer holds are clamped: alpha to 16384, each
// colour channel to its alpha. An opacity above 16384 loads as 16384.
int LoadImageRecord(Plane& plane, const chunk::IChunkBase& container, const LoadOptions& options);

}  // namespace kzm
