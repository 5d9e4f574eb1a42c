// PSD import: an opened PSD reader becomes a document whose root holds one
// raster layer per image the reader serves (layers in file order, then the
// merged image, unless the top layer holds it already), each with a zero
// offset.
#pragma once
#include <cstdint>
#include <memory>

#include "blend/blend_desc.h"
#include "kzm/plane.h"
#include "kzm/progress.h"

namespace iio {
class Psd;
}
namespace kzm {
class ImageContext;

// While alive, the layer blends as plain normal, opaque and visible; the
// layer's own blend, opacity and visibility come back on destruction.
class PushNormBlendPlane {
 public:
  explicit PushNormBlendPlane(Plane* plane);
  ~PushNormBlendPlane();
  PushNormBlendPlane(const PushNormBlendPlane&) = delete;
  PushNormBlendPlane& operator=(const PushNormBlendPlane&) = delete;

 private:
  Plane* plane_;
  Blend blend_;
  uint8_t visible_;
  uint16_t opacity_;
};

}  // namespace kzm

// Import error codes (the job reports its own line; these tell why).
enum ImportError : int32_t {
  kImportOk = 0,
  kImportEmptyCanvas = 1,  // width or height 0
  kImportReadFailed = 2,   // the reader refused a layer or a row
};

// Builds the document. geo0/geo1 seed each layer's geometry record. The
// progress function is installed in the reader, which reports per image and
// row. On failure `out` is left empty.
int32_t ImportPsd(int32_t geo0, int32_t geo1, iio::Psd& reader, const ProgressFunc& progress,
                  std::shared_ptr<kzm::ImageContext>& out);

// Whether the opened file's top layer record holds its merged image already:
// named iio::kMergedImageName, and hidden or the only layer. The import then
// leaves the merged image out and keeps that layer as it is.
bool HoldsMergedLayer(const iio::Psd& reader);

// Reads every image into a new folder (null on failure, with *code set).
std::unique_ptr<kzm::Plane> ImportLayers(int32_t geo0, int32_t geo1, iio::Psd& reader, int32_t* code);

// Re-bases every child of the folder with a non-zero offset: its pixels are
// composed at document positions into a fresh layer that takes its place,
// tiles equal to the default pixel are dropped. Any other plane is returned
// unchanged.
std::unique_ptr<kzm::Plane> NormalizeLayerOffsets(std::unique_ptr<kzm::Plane> folder);
