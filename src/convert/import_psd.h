// PSD -> .yvn, a layer at a time: which images of a PSD become native
// layers, each image's rows read into a layer, and the native thumbnail
// composed from a first pass over only the rows it samples (PackBits rows
// decode on their own, so that pass reads little of each layer).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "blend/pixel.h"
#include "iio/layer_param.h"
#include "kzm/doc_save.h"
#include "kzm/progress.h"
#include "kzm/record_layer.h"

namespace chunk {
class ChunkWriter;
}
namespace iio {
class Psd;
}
namespace kzm {
class PiImage;
}

// The images of an opened reader that become layers, bottom to top: every
// layer record with pixels (section markers carry none), then the merged
// image, unless the top layer holds it already (see HoldsMergedLayer).
struct PsdLayerPlan {
  uint32_t images = 0;  // the reader's images: layer records, then the merged image
  uint32_t read = 0;    // images read, from the first (the held merged image is not)
  std::vector<uint32_t> layers;
};
PsdLayerPlan PlanPsdLayers(const iio::Psd& reader);

// Whether the opened file's top layer record holds its merged image already:
// named iio::kMergedImageName, and hidden or the only layer. The conversion
// then leaves the merged image out and keeps that layer as it is.
bool HoldsMergedLayer(const iio::Psd& reader);

// The record of image k as NextImage hands it out (the merged image's too).
// The properties a layer made from it takes are PropertiesOfRecord's
// (convert/layer_mapping.h).
iio::layer_param_t RecordOfImage(const iio::Psd& reader, uint32_t k);

// Buffers of rows reused from image to image: 8-bit or 16-bit (Psd::Wide).
struct PsdRowBuffers {
  std::vector<uint32_t> narrow;
  std::vector<uint64_t> wide;
};

// Reads the current image's rows (after NextImage) straight into tiles of
// `image` at document positions (the rectangle may start anywhere, also left
// of or above the canvas); rows the reader holds in memory are decoded on
// the work pool. 0; kErrNotPsd when a row cannot be read; kErrTooLarge
// once the tiles hold more than maxBlockBytes of pixel blocks (uniform
// cells hold none).
int ReadImageTiles(iio::Psd& reader, const iio::layer_param_t& P, kzm::PiImage& image, PsdRowBuffers& rows,
                   uint64_t maxBlockBytes);

// Adds the tiles of `count` rows of pixels as a PSD's rows hold them (8-bit
// words, or straight 16-bit ones where Psd::Wide), `w` each, at document
// position (left, docY), all within one row of tiles, as the rows of a PSD
// layer are built into tiles: 8 x 8 blocks of one source value become fills,
// tiles of transparent pixels are left out. Returns the bytes of pixel
// blocks the tiles hold.
uint64_t AddImageRows(kzm::PiImage& image, const uint32_t* rows, int32_t left, int64_t w, int32_t docY,
                      uint32_t count);
uint64_t AddImageRows(kzm::PiImage& image, const uint64_t* rows, int32_t left, int64_t w, int32_t docY,
                      uint32_t count);

// The pixels of the planned images together: what reading them takes.
uint64_t PlannedArea(const iio::Psd& reader, const PsdLayerPlan& plan);

// The native thumbnail of the document the PSD becomes (see
// kzm::ThumbnailGeometry): the opened reader's images are read in order at
// the sampled rows only and composed as the layers would be. Progress: (k,
// images, j, thumbnail rows) for image k; when it returns false, the pass
// stops there. 0, kErrCancelled, or kErrNotPsd when an image or a sampled
// row cannot be read, the cause in *detail where given.
int PsdThumbnail(iio::Psd& reader, const PsdLayerPlan& plan, const ProgressFunc& progress, kzm::ThumbGeometry& g,
                 std::vector<PixelRGBA>& px, std::string* detail);

// Writes the planned images of the opened reader as the layers of a native
// file, each read, written and released in turn ("Plane%04x" records after
// the head). Progress: as kzm::SaveLayer, one phase per layer; when it
// returns false, the layer being saved is finished and the next one not
// started. 0, kErrCancelled, kErrNotPsd when an image cannot be read,
// kErrTooLarge when one holds more than maxBlockBytes of pixel blocks,
// kErrWrite when a write failed; the cause in *detail where given.
int WritePsdLayers(iio::Psd& reader, const PsdLayerPlan& plan, bool compress, const ProgressFunc& progress,
                   chunk::ChunkWriter& root, uint64_t maxBlockBytes = UINT64_MAX, std::string* detail = nullptr);
