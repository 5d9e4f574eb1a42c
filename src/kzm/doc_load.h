// Loading a parsed native file into a document.
//
//   chunk::ChunkSA tree(&listener, src);
//   std::shared_ptr<kzm::ImageContext> doc;
//   int err = kzm::LoadDocument(0, 0, &tree, progress, doc);
//
// The file holds either a list of layers "Plane0000", "Plane0001", ...
// (tooltype "VORLET_PAINT") or two layers "Image" and "Edit" (tooltype
// "VORLET_MEMO", or "VORLET_PAINT" with an "Edit" child).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>

#include "kzm/geometry.h"

#include "kzm/progress.h"

#include "chunk/chunk_reader.h"

namespace kzm {

class ImageContext;

constexpr uint32_t kNativeVersion = 0x10000000;

// Builds the document from the root chunk of a parsed file.
//   geo0, geo1  seed the geometry record of every layer created (jobs pass 0, 0);
//   progress    (1, 2, i, m) before plane i of m; (1, 2, 0, 2) after "Root"
//               and (1, 2, 1, 2) after "Edit" in the two-layer form; may be empty.
// Returns
//    0  success, `out` holds the document;
//    1  no root, or "version" / "tooltype" missing, or "version" 0;
//   -2  "version" below 0x10000000, or an unknown tooltype.
// On a non-zero result `out` is null. A layer whose record fails to load
// stays an empty layer and the load goes on; a file without layers gives one
// empty layer.
int LoadDocument(int32_t geo0, int32_t geo1, const chunk::IChunkBase* root, const ProgressFunc& progress,
                 std::shared_ptr<ImageContext>& out);

// Bounds of a load: what the caller can write and what it gives the
// conversion (0: none).
struct LoadLimits {
  uint64_t memoryBytes = 0;  // tiles and cells of all layers (see LoadBudget)
  // Given the canvas a file fixes, as soon as its root record is read: a
  // non-zero result ends the load with that result.
  std::function<int(const Rect& canvas)> checkCanvas;
};
// Result of LoadDocumentFromSource beyond those of LoadDocument: the layers
// would take more than memoryBytes.
constexpr int kLoadTooLarge = 3;

// Parses the file in `src` (as chunk::ChunkSA does, reporting to `listener`,
// which may be null) and loads it: the same result and the same progress
// calls as LoadDocument on the parsed tree, without holding the whole file
// in memory. "Plane" layers are decoded on the work pool (base/work_pool.h)
// as soon as each is read, and bitmap pixels go from the inflater straight
// into the cells' pixel blocks. A load past its limits stops as soon as that
// shows (the canvas when the root record is read, the memory before a
// layer's tiles are made).
int LoadDocumentFromSource(int32_t geo0, int32_t geo1, DataSrcBase& src, chunk::IListener* listener,
                           const ProgressFunc& progress, std::shared_ptr<ImageContext>& out,
                           const LoadLimits& limits = LoadLimits());

}  // namespace kzm
