// PSD files for tests: a builder from parts, the project's reader over a
// whole file, the 8-bit pixel mappings, and psd-tools' and ImageMagick's readings.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "blend/pixel.h"
#include "iio/layer_param.h"
#include "support/support.h"

namespace ts {

// Byte 0 red, 1 green, 2 blue, 3 transparency.
inline uint32_t Rgba(uint32_t r, uint32_t g, uint32_t b, uint32_t a) { return r | g << 8 | b << 16 | a << 24; }

struct ChannelSpec {
  int16_t id = 0;
  uint16_t compression = 1;  // 0 raw, 1 PackBits
  uint32_t width = 0, height = 0;
  Bytes pixels;              // width x height
  bool rawData = false;      // `data` is the whole channel data (compression word included)
  Bytes data;
};

struct LayerSpec {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
  std::vector<ChannelSpec> channels;
  std::string key = "norm";
  uint8_t opacity = 255, clipping = 0, flags = 8;  // flags bit 1: hidden
  Bytes mask;                                       // layer mask data, without its length
  std::string name;                                 // the Pascal name; non-ASCII also as "luni"
  std::vector<std::pair<std::string, Bytes>> blocks;
};

struct PsdSpec {
  uint16_t version = 1, channels = 4, depth = 8, mode = 3;  // version 2: a large document
  uint32_t width = 1, height = 1;
  std::vector<LayerSpec> layers;
  uint16_t mergedCompression = 1;
  std::vector<uint32_t> merged;   // RGBA, width x height; empty: transparent (stored white)
  bool matteMerged = true;        // stored matted on white, as real files are
};

// A layer with channels 0, 1, 2, -1 of RGBA pixels over the rectangle.
LayerSpec RgbaLayer(int32_t left, int32_t top, int32_t right, int32_t bottom, const std::vector<uint32_t>& rgba,
                    const std::string& name, uint16_t compression = 1);
// A group's opening ("lsct" 1, hidden when `hidden`; above its layers) and
// closing ("lsct" 3; below them) records.
LayerSpec GroupStart(const std::string& name, bool hidden);
LayerSpec GroupEnd();
// Layer mask data: rectangle, default colour, flags (bit 1: disabled), padded to `length`.
Bytes MaskData(int32_t left, int32_t top, int32_t right, int32_t bottom, uint8_t defaultColour, uint8_t flags,
               size_t length = 20);
std::string BuildPsd(const PsdSpec& spec);
// Opaque layers of noise over the canvas. Many narrow and tall ones make a
// write print more progress lines than a pipe holds.
std::string NoisePsd(int layers, uint32_t width, uint32_t height, uint32_t seed = 1);
// A painting with what real files hold: layers off the canvas, transparent
// borders, soft and faint alpha, names in other scripts, hidden and working
// layers, modes, opacities, clipping, locks, a user mask and groups.
std::string PaintingPsd();

// One image as the project's reader hands it out.
struct Image {
  iio::layer_param_t p;
  std::vector<uint32_t> px;  // the rectangle's pixels, row by row (16-bit ones rounded to 8)
  std::vector<uint64_t> px16;  // the same as handed out, where the reader gives 16-bit rows
  uint32_t At(int64_t x, int64_t y) const;  // canvas position; 0 outside
  uint32_t Sample16(size_t i, int c) const;  // channel c of pixel i in 16 bits (8-bit ones times 257)
};
struct PsdFile {
  int32_t error = -1;  // 0: read whole
  uint32_t width = 0, height = 0, layerRecords = 0;
  std::vector<Image> images;  // layers in file order (section markers left out), then the merged image
};
PsdFile ReadPsd(const std::string& bytes);

// The model mappings: 8 bits widened and premultiplied; back by division.
PixelRGBA Widen8(uint32_t rgba);
uint32_t Narrow8(const PixelRGBA& p);
inline uint32_t Through16(uint32_t rgba) { return Narrow8(Widen8(rgba)); }
// A merged image's pixel as stored (colour matted on white, rounded) and
// as read back (matte taken off, rounded, 0 below the white alone).
uint32_t MatteOnWhite(uint32_t rgba);
uint32_t Unmatte(uint32_t stored);

// What psd-tools finds in a file.
struct PsdToolsFile {
  bool ok = false;
  uint32_t width = 0, height = 0;
  std::vector<uint32_t> topil;     // its reading of the merged image, matte taken off
  std::vector<uint32_t> composed;  // its own composition of the layers (when asked)
  struct Record {
    std::map<std::string, std::string> fields;  // name (hex), key, opacity, clipping, rect, section, visible
    std::vector<uint32_t> px;                   // stored RGBA over the rectangle, user mask applied
  };
  std::vector<Record> records;  // file order
};
bool HavePsdTools();
// psd-tools' reading of a PSD variant as straight 16-bit RGBA: the merged
// image (key -1) and the layer records of an RGB file without user masks.
std::map<int, std::vector<uint16_t>> VariantReference(const std::string& path);
// Each layer record psd-tools reads by VariantReference (one at least) holds our image's samples.
void ExpectLayersAsPsdToolsReadsThem(const std::string& path, const PsdFile& ours);
PsdToolsFile PsdTools(const std::string& path, bool compose = false);
// ImageMagick's reading of the merged image as RGBA; empty when it cannot.
std::vector<uint32_t> ImageMagickMerged(const std::string& path);

}  // namespace ts
