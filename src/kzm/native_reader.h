// Reading a native file a layer at a time.
//
//   kzm::NativeReader reader(src, limits);
//   int r = reader.Open(&listener, progress);    // the file's structure
//   for (size_t i = 0; i < reader.LayerCount(); ++i) {
//     kzm::LoadedLayer layer;
//     r = reader.LoadLayer(i, layer);            // one layer's pixels
//     ...                                        // use it, then let it go
//   }
//
// The file holds either a list of layers "Plane0000", "Plane0001", ...
// (tooltype "VORLET_PAINT") or two layers "Image" and "Edit" (tooltype
// "VORLET_MEMO", or "VORLET_PAINT" with an "Edit" child). Open walks the
// file's top level without inflating the layers, reads every other record
// whole, and reads of each layer only the head of its record (name, flags,
// blend, default pixel); LoadLayer reads one layer's record whole. So only
// the layer in hand is ever held, whatever the file holds.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "chunk/chunk_reader.h"
#include "kzm/geometry.h"
#include "kzm/plane.h"
#include "kzm/progress.h"
#include "kzm/record_layer.h"

namespace kzm {

class Plane;

constexpr uint32_t kNativeVersion = 0x10000000;

// Bounds of a read: what the caller can write and what it gives the
// conversion (0: none).
struct LoadLimits {
  uint64_t memoryBytes = 0;  // tiles and cells of the layers held at once (see LoadBudget)
  // Given the canvas a file fixes, as soon as its root record is read: a
  // non-zero result ends Open with that result.
  std::function<int(const Rect& canvas)> checkCanvas;
};

// Results beyond those of Open's list: the layers would take more than the
// memory allowed.
constexpr int kLoadTooLarge = 3;
// LoadLayer: the layer's record does not hold together; the layer reads as
// an empty one with the properties of a new layer.
constexpr int kLayerFailed = 4;

// One layer loaded; its memory is counted against the reader's limit until
// it goes.
class LoadedLayer {
 public:
  LoadedLayer() = default;
  ~LoadedLayer() { Reset(); }
  LoadedLayer(LoadedLayer&& o) noexcept { *this = std::move(o); }
  LoadedLayer& operator=(LoadedLayer&& o) noexcept;

  Plane* get() const { return plane_.get(); }
  Plane* operator->() const { return plane_.get(); }
  Plane& operator*() const { return *plane_; }
  explicit operator bool() const { return plane_ != nullptr; }
  void Reset();

 private:
  friend class NativeReader;
  std::unique_ptr<Plane> plane_;
  LoadBudget* budget_ = nullptr;
  uint64_t charge_ = 0;
};

class NativeReader {
 public:
  // The source must outlive the reader.
  NativeReader(DataSrcBase& src, const LoadLimits& limits);
  ~NativeReader();
  NativeReader(const NativeReader&) = delete;
  NativeReader& operator=(const NativeReader&) = delete;

  // Reads everything but the layers' pixels. `listener` (may be null) gets
  // the progress of the walk over the file; `progress` gets (1, 2, i, m)
  // before the head of layer i of m. Returns
  //    0  success;
  //    1  a damaged file, no root, "version" / "tooltype" missing, or
  //       "version" 0;
  //   -2  "version" below 0x10000000, or an unknown tooltype;
  //   or the result of limits.checkCanvas.
  // A compressed root cannot be walked: such a file is read whole here, and
  // its layers are then held until the reader goes.
  int Open(chunk::IListener* listener, const ProgressFunc& progress);

  // The layers bottom to top (at least one: a file without layers has one
  // empty layer).
  size_t LayerCount() const { return layers_.size(); }
  // Layer i's properties, as its record's head gives them (LoadLayer
  // corrects them where the whole record says otherwise).
  const ImageProperties& Head(size_t i) const { return layers_[i].head; }
  // The canvas the root record fixes; empty when it fixes none.
  const Rect& FixedCanvas() const { return fixed_; }
  // The thumbnail the file stores ("MergedThumb": its merged image at up to
  // 384 pixels a side), row-major; empty, 0 x 0, when it holds none whole.
  const std::vector<PixelRGBA>& Thumbnail(int32_t& width, int32_t& height) const {
    width = thumbWidth_, height = thumbHeight_;
    return thumbnail_;
  }

  // Layer i, whole. Any thread may call it, one call (of it or CheckLayer)
  // at a time; loaded layers may go on any thread meanwhile.
  //    0  loaded;
  //    kLayerFailed  the record does not hold together: `out` is an empty
  //       layer with the properties of a new layer;
  //    1  the layer's chunk is damaged (the file is);
  //    kLoadTooLarge  its tiles would pass the memory allowed beside the
  //       layers held now (nothing is kept or counted: the same call may
  //       succeed once they have gone).
  // Where the whole record's properties differ from Head(i), Head(i) takes
  // them and *headChanged is set.
  int LoadLayer(size_t i, LoadedLayer& out, bool* headChanged = nullptr);
  // Parses layer i's chunk without keeping it: 0, or 1 when it is damaged.
  int CheckLayer(size_t i);

 private:
  struct Layer {
    const chunk::ChunkSpan* span = nullptr;  // null: an empty layer
    std::shared_ptr<const chunk::IChunkBase> chunk;  // the file read whole
    ImageProperties head;
  };
  std::unique_ptr<chunk::ChunkSA> Parse(const chunk::ChunkSpan& span, chunk::IListener* listener,
                                        const char* stopBefore);
  int OpenWhole(chunk::IListener* listener, const ProgressFunc& progress);
  void HeadFrom(Layer& layer, const chunk::IChunkBase* chunk, bool complete);

  DataSrcBase& src_;
  LoadLimits limits_;
  chunk::InflateAccount account_;
  std::unique_ptr<LoadBudget> budget_;
  std::unique_ptr<chunk::ChunkIndex> index_;
  std::unique_ptr<chunk::ChunkSA> whole_;
  // Keeps the thumbnail of a "MergedThumb" chunk that holds one whole.
  void ThumbnailFrom(const chunk::IChunkBase* chunk);

  std::vector<Layer> layers_;
  Rect fixed_;
  std::vector<PixelRGBA> thumbnail_;
  int32_t thumbWidth_ = 0, thumbHeight_ = 0;
};

}  // namespace kzm
