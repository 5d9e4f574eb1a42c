// Helpers shared by the PSD tests: a builder of PSD bytes from parts, a
// reader that collects every image, and access to the corpus and to the
// independent readers.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "chunk/data_src.h"
#include "iio/layer_param.h"

namespace iiotest {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, uint16_t v);
void Put32(Bytes& b, uint32_t v);
void PutStr(Bytes& b, const std::string& s);
uint16_t Get16(const Bytes& b, size_t at);
uint32_t Get32(const Bytes& b, size_t at);

struct ChannelSpec {
  int16_t id = 0;
  uint16_t compression = 1;
  uint32_t width = 0, height = 0;
  Bytes pixels;          // width x height
  bool rawData = false;  // use `data` as the whole channel data instead
  Bytes data;
  bool overrideLength = false;
  uint32_t length = 0;   // declared length when overridden
};

struct LayerSpec {
  int32_t top = 0, left = 0, bottom = 0, right = 0;
  std::vector<ChannelSpec> channels;
  std::string key = "norm";
  uint8_t opacity = 255, clipping = 0, flags = 8;
  Bytes mask;            // layer mask data (without its length)
  std::string pascal;
  std::vector<std::pair<std::string, Bytes>> blocks;  // key, data
};

struct PsdSpec {
  uint16_t version = 1, channels = 3, depth = 8, mode = 3;
  uint32_t width = 1, height = 1;
  std::vector<LayerSpec> layers;
  bool negativeCount = false;
  bool zeroLayerSection = false;  // layer-and-mask length 0
  uint16_t mergedCompression = 1;
  Bytes merged;                   // channels x height x width, planar; 0 when empty
};

// A layer with channels 0, 1, 2, -1 from RGBA pixels (PackBits).
LayerSpec RgbaLayer(int32_t left, int32_t top, int32_t right, int32_t bottom,
                    const std::vector<uint32_t>& rgba, const std::string& name);
Bytes MaskData(int32_t left, int32_t top, int32_t right, int32_t bottom, uint8_t defaultColour,
               uint8_t flags, size_t length);
Bytes Luni(const std::u16string& units);
Bytes BuildPsd(const PsdSpec& spec);

struct Image {
  iio::layer_param_t param;
  std::vector<uint32_t> pixels;  // width x height, byte 0 red .. 3 transparency
};
struct ReadResult {
  int32_t error = 0;
  uint32_t width = 0, height = 0, count = 0;
  std::vector<Image> images;
};
// Reads every image, rows in windows of `window`.
ReadResult ReadAll(DataSrcBase& src, uint32_t window = 128);
ReadResult ReadBytes(const Bytes& bytes, uint32_t window = 128);

// A straight 8-bit pixel (byte 0 red .. 3 transparency) as a merged image
// stores it: each colour matted on white, c * a / 255 + 255 - a, rounded.
uint32_t MatteOnWhite(uint32_t rgba);
// ... and as a reader gets it back from there: (s - 255 + a) * 255 / a,
// rounded, 0 below the white alone; transparent pixels come back white.
uint32_t ThroughMatte(uint32_t rgba);

Bytes LoadFile(const std::string& path);
bool SaveFile(const std::string& path, const Bytes& bytes);
// The corpus folder, or empty when it is absent.
std::string CorpusDir();
// A fresh empty folder under the system's temporary folder.
std::string MakeTempDir();
// Runs a shell command; returns its standard output.
std::string RunCommand(const std::string& command, int* status);
// Whether /usr/bin/python3 can import psd_tools.
bool HavePsdTools();
std::string SourceDir();
std::string FromHex(const std::string& hex);

}  // namespace iiotest
