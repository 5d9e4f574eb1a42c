// The sections of a PSD file as the reader takes them, in file order: the
// header, colour mode data, image resources, the layer and mask information
// (layer records, then every layer's channel data) and the merged image.
// Each stage reads its section from the source's position and returns a
// PsdError; the reader (psd.cpp) runs them in this order and stops at the
// first failure. Nothing here starts or waits for a thread.
#pragma once
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/data_src.h"
#include "iio/layer_param.h"
#include "iio/psd.h"
#include "iio/psd_bytes.h"

namespace iio {

// Reads from the source without passing a limit (a section end, or the end
// of the file); every declared size is checked before it is read.
class SectionCursor {
 public:
  SectionCursor(DataSrcBase& src, uint64_t limit) : src_(src), limit_(std::min(limit, src.size())) {}
  uint64_t Left() const {
    const uint64_t pos = src_.position();
    return pos < limit_ ? limit_ - pos : 0;
  }
  bool Fits(uint64_t n) const { return DeclaredFits(n, Left()); }
  const uint8_t* Take(uint64_t n) { return Fits(n) ? src_.read(n) : nullptr; }
  bool Skip(uint64_t n) { return Fits(n) && src_.skip(n); }
  bool U32(uint32_t* v) {
    const uint8_t* p = Take(4);
    if (p) *v = LoadBe32(p);
    return p != nullptr;
  }

 private:
  DataSrcBase& src_;
  uint64_t limit_;
};

// ---- Header (psd_header.cpp)

struct PsdHeader {
  uint16_t version = 0, channels = 0, depth = 0, mode = 0;
  uint32_t width = 0, height = 0;
};

constexpr uint64_t kPsdHeaderBytes = 26;

// Reads the header from the start of the file: kPsdTooShort when the file
// cannot hold one, kPsdBadHeader for anything but version 1, 8-bit RGB, 1 to
// 56 channels and 1 to kMaxCanvasSide pixels a side. The fields are filled in
// whenever the bytes are there.
PsdError ReadPsdHeader(DataSrcBase& src, PsdHeader* out);

// ---- Colour mode data and image resources (psd_resources.cpp)

// Each is a length and that many bytes, skipped whole; kPsdBadLayers when
// the length or the bytes are missing.
PsdError SkipColourModeData(SectionCursor& file);
PsdError SkipImageResources(SectionCursor& file);

// ---- Layer and mask information (psd_layer_records.cpp)

// One entry of a layer record's channel table.
struct psd_channel_t {
  int16_t id = 0;
  uint32_t length = 0;
};

struct LayerRecord {
  layer_param_t param;
  std::vector<psd_channel_t> table;
  uint64_t dataOffset = 0;  // of the channel data, from the file start
  bool hasMask = false;     // the record carries user mask data
  uint8_t flags = 0;
};

struct LayerSection {
  std::vector<LayerRecord> records;  // file order: bottom to top
  // The layer count was negative: the merged image's first extra channel
  // is its transparency.
  bool mergedAlpha = false;
  uint64_t mergedStart = 0;  // the merged image section, which follows
};

// Reads the layer and mask information at the source's position: the layer
// records, where each layer's channel data lies, and the visibility that
// groups pass on to their layers. The global layer mask and the additional
// information behind the layer info are not used: mergedStart is the end of
// the section. Records read before a failure stay in out->records.
// kPsdBadLayers when the section is malformed.
PsdError ReadLayerSection(DataSrcBase& src, SectionCursor& file, LayerSection* out);

// ---- Channel data (psd_channel_data.cpp)

// One layer's channel data, read whole; every channel has its own
// compression (raw or PackBits). Channels 0, 1, 2 (colour) and -1
// (transparency) are sized by the layer's rectangle, -2 (user mask) by the
// mask's; the mask is used when the record has one and it is enabled. Other
// ids (-3, animation data) are skipped. Rows are decoded from memory by
// const calls that share nothing, so any threads may decode rows at once.
class LayerPixels {
 public:
  // Reads the channel data at the source's position.
  LayerPixels(DataSrcBase& src, const LayerRecord& record);
  // The data is all there and every channel used is in a known compression.
  bool ok() const { return ok_; }
  uint32_t Width() const { return width_; }
  uint32_t Height() const { return height_; }
  // Every stored row in [first, first + count) of the channels that make
  // the pixels is long enough to hold a full row, so decoding them needs no
  // memory beyond the bytes that exist.
  bool RowsPlausible(uint32_t first, uint32_t count) const;
  // Bytes of scratch memory that DecodeRow needs.
  size_t ScratchBytes() const { return 4 * size_t(width_) + maskWidth_; }
  // Decodes row `row` (from the layer's top) into Width() pixels: byte 0
  // red, 1 green, 2 blue, 3 transparency (255 where no channel feeds a
  // byte), the transparency times the user mask. False when a row of a
  // channel cannot be decoded.
  bool DecodeRow(uint32_t row, uint8_t* scratch, uint32_t* out) const;

 private:
  struct Channel {
    int16_t id = 0;
    bool used = false;
    uint32_t width = 0, height = 0;
    uint16_t compression = 0;
    uint64_t rows = 0;              // offset of the first row in data_
    std::vector<uint64_t> offsets;  // PackBits rows, from `rows`
    std::vector<uint16_t> counts;
  };
  bool SetUp(Channel& ch, uint64_t offset, uint64_t length);
  const uint8_t* ChannelRow(const Channel& ch, uint32_t row, uint8_t* dst) const;
  void ApplyMask(const uint8_t* mask, uint8_t* px) const;

  bool ok_ = false;
  uint32_t width_ = 0, height_ = 0;
  // The layer's top left and the mask's rectangle and default, in canvas
  // pixels.
  int32_t left_ = 0, top_ = 0;
  int32_t maskLeft_ = 0, maskTop_ = 0, maskRight_ = 0, maskBottom_ = 0;
  uint8_t maskDefault_ = 0;
  std::vector<Channel> channels_;
  // Which channels make the bytes of a pixel: ids 0, 1 and 2 feed bytes 0
  // to 2 (a later channel of the same id overwrites an earlier one, but
  // every one is decoded), the first id -1 feeds byte 3.
  std::vector<std::pair<uint32_t, int>> fetch_;  // channel index, byte
  int mask_ = -1;                                // the first id -2, when used
  uint32_t maskWidth_ = 0;
  std::vector<uint8_t> data_;
  std::vector<uint8_t> opaque_;  // a row of 255, for bytes no channel feeds
};

// Interleaves four channel rows into w pixels (row k gives byte k).
void InterleaveRow(const uint8_t* const rows[4], size_t w, uint32_t* out);

// ---- Merged image (psd_merged.cpp)

// The merged image: its compression (0 raw, 1 PackBits behind a table of
// row byte counts), then the rows of each channel, channel after channel.
// Rows are read from the source when asked for, one at a time.
class MergedPixels {
 public:
  // Reads the compression and the row table at `start`; kPsdBadImage when
  // they are short or the compression is another.
  static PsdError Read(DataSrcBase& src, uint64_t start, const PsdHeader& header,
                       std::unique_ptr<MergedPixels>* out);
  // The record the reader hands out for it.
  static layer_param_t Param(const PsdHeader& header, bool hasLayers);

  // Reads canvas row `row`: channels 0 to 2 give the colour, channel 3 the
  // transparency (255 where the file has fewer channels), and with a fourth
  // channel the colour is taken off the white it is matted on. False when
  // the row cannot be read.
  bool ReadRow(uint32_t row, uint32_t* out);

 private:
  MergedPixels(DataSrcBase& src, const PsdHeader& header, uint16_t compression);
  bool SetUp();
  const uint8_t* ChannelRow(uint32_t row, uint32_t channel, uint8_t* dst);

  DataSrcBase& src_;
  uint32_t width_, height_, channels_;
  uint16_t compression_;
  uint64_t start_ = 0;             // first row (after the table)
  std::vector<uint16_t> counts_;   // PackBits: channel-major
  std::vector<uint64_t> offsets_;  // from start_
  std::vector<uint8_t> scratch_;   // four channel rows and a row of 255
};

}  // namespace iio
