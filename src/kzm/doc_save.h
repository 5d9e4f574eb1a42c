// Writing a native file a layer at a time, into its root chunk:
//
//   chunk::ChunkWriter& root = sink.beginRoot("VorletBitmapImage");
//   kzm::SaveDocumentHead(root, g, thumbnail, canvas);
//   for each layer i of n: kzm::SaveLayer(root, layer, compress, progress, i, n);
//   bool ok = root.end();
//
// Written in order: "version", "tooltype" "VORLET_PAINT", "Bg" (the default
// paper pattern), "MergedThumb", "Root" (the root folder's record) and
// "Plane%04x" for each layer.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "blend/pixel.h"
#include "kzm/geometry.h"
#include "kzm/progress.h"

namespace chunk {
class ChunkWriter;
}  // namespace chunk

namespace kzm {

class PiImage;

// Largest thumbnail side that sampling aims for.
constexpr int32_t kThumbLimit = 384;

// Size and sampling step of the thumbnail of a canvas: halves both sides and
// doubles the step while a side exceeds 384 and both are at least 2; then,
// for a thin canvas, halves the long side while the thumbnail would hold
// more than 384 x 384 pixels. An empty rectangle gives 0 x 0.
struct ThumbGeometry {
  int32_t width = 0;
  int32_t height = 0;
  int32_t step = 1;
};
ThumbGeometry ThumbnailGeometry(const Rect& bounds);

// The head of a native file written a layer at a time: "version", "tooltype"
// "VORLET_PAINT", "Bg" (the default pattern), "MergedThumb" (`thumbnail`,
// g.width x g.height pixels row-major) and "Root" (fixing `canvas`). Write
// failures show in the writer's state. `afterThumbnail`, when given, is
// called as soon as the thumbnail's pixels have been handed to the writer,
// for a writer that fills them in later.
void SaveDocumentHead(chunk::ChunkWriter& root, const ThumbGeometry& g, const std::vector<PixelRGBA>& thumbnail,
                      const Rect& canvas, const std::function<void()>& afterThumbnail = nullptr);
// "Plane%04x" for layer `index` of `count`: progress (index, count, 0, 100),
// then the record's own calls (see SaveImageRecord). 0, or 1 when a write
// failed.
int SaveLayer(chunk::ChunkWriter& root, const PiImage& layer, bool compress, const ProgressFunc& progress,
              uint64_t index, uint64_t count);

}  // namespace kzm
