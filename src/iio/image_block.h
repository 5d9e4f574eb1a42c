// Channel blocks: the rows of one PSD image (a layer or the merged image),
// stored plain or PackBits-compressed.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "base/data_src.h"
#include "iio/layer_param.h"

namespace iio {

// Name of the record of the merged image, and of the layer that holds it in
// a document made from a PSD.
constexpr const char kMergedImageName[] = "ImgIOPsd_MergedImage";

// Ids handed out for channel indices that the merged image does not use.
constexpr int kUnusedChannel = -101;

class ImageBlockBase : public layer_param_t {
 public:
  explicit ImageBlockBase(DataSrcBase& src) : src_(&src) {}
  virtual ~ImageBlockBase() = default;
  ImageBlockBase(const ImageBlockBase&) = delete;
  ImageBlockBase& operator=(const ImageBlockBase&) = delete;

  // PSD channel id served at a channel index.
  virtual int ChannelId(uint32_t index) const = 0;
  // Bytes of one row of one channel, or null (no such row, corrupt data).
  // Valid until the next call.
  virtual const uint8_t* Row(uint32_t row, uint32_t index) = 0;
  // The bytes of one row of one channel, decoded into `dst` (room for
  // ChannelWidth bytes) or found where they are stored plain; null as for
  // Row. Never uses the block's own row buffer, so where RowsInMemory()
  // holds, calls for different rows may run at the same time.
  virtual const uint8_t* RowInto(uint32_t row, uint32_t index, uint8_t* dst);
  // Every row is served from memory, without touching the source.
  virtual bool RowsInMemory() const { return false; }
  // Every stored row in [row0, row1) of the channel is long enough to hold a
  // full row (so decoding them needs no memory beyond the bytes that exist).
  virtual bool RowsPlausible(uint32_t index, uint32_t row0, uint32_t row1) const {
    (void)index, (void)row0, (void)row1;
    return false;
  }
  // Number of channel indices and the row geometry of one of them.
  virtual uint32_t Channels() const = 0;
  virtual uint32_t ChannelWidth(uint32_t index) const { return index < Channels() ? width_ : 0; }
  virtual uint32_t ChannelHeight(uint32_t index) const { return index < Channels() ? height_ : 0; }

  bool ok() const { return ok_; }
  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }

 protected:
  DataSrcBase* src_;
  bool ok_ = false;
  uint32_t width_ = 0, height_ = 0;
  uint64_t rowSize_ = 0;
};

// Merged image, compression 0: rows are read straight from the source.
class ImageBlockRAW : public ImageBlockBase {
 public:
  // Reads from the source's current position.
  ImageBlockRAW(DataSrcBase& src, int32_t left, int32_t top, int32_t right, int32_t bottom,
                uint32_t channels, uint32_t depth);
  int ChannelId(uint32_t index) const override;
  const uint8_t* Row(uint32_t row, uint32_t index) override;
  uint32_t Channels() const override { return channels_; }

 private:
  uint32_t channels_;
  uint64_t start_ = 0;
};

// Merged image, compression 1: a table of row byte counts, then the rows,
// decoded one at a time.
class ImageBlockRLE : public ImageBlockBase {
 public:
  ImageBlockRLE(DataSrcBase& src, int32_t left, int32_t top, int32_t right, int32_t bottom,
                uint32_t channels, uint32_t depth);
  int ChannelId(uint32_t index) const override;
  const uint8_t* Row(uint32_t row, uint32_t index) override;
  uint32_t Channels() const override { return channels_; }

 private:
  uint32_t channels_;
  uint64_t start_ = 0;                // first byte after the count table
  std::vector<uint16_t> counts_;      // channel-major
  std::vector<uint64_t> offsets_;     // from start_
  std::vector<uint8_t> rowBuf_;
};

// One entry of a layer record's channel table.
struct psd_channel_t {
  int16_t id = 0;
  uint32_t length = 0;
};

// One layer: its whole channel data taken in one piece; every channel has
// its own compression. Channels -2 (user mask) are sized by the mask
// rectangle, the others by the layer bounds. Only ids 0, 1, 2, -1 and, with
// serveMask, -2 are set up; other ids (-3, animation data) are skipped.
class ImageBlockMixCh : public ImageBlockBase {
 public:
  ImageBlockMixCh(DataSrcBase& src, const layer_param_t& record,
                  const std::vector<psd_channel_t>& table, bool serveMask);
  int ChannelId(uint32_t index) const override;
  const uint8_t* Row(uint32_t row, uint32_t index) override;
  const uint8_t* RowInto(uint32_t row, uint32_t index, uint8_t* dst) override;
  bool RowsInMemory() const override { return true; }
  bool RowsPlausible(uint32_t index, uint32_t row0, uint32_t row1) const override;
  uint32_t Channels() const override { return uint32_t(channels_.size()); }
  uint32_t ChannelWidth(uint32_t index) const override;
  uint32_t ChannelHeight(uint32_t index) const override;

 private:
  struct Channel {
    int16_t id = 0;
    bool served = false;
    bool mask = false;
    uint32_t width = 0, height = 0;
    uint16_t compression = 0;
    uint64_t rows = 0;                // offset of the first row in data_
    std::vector<uint64_t> offsets;    // PackBits rows, from `rows`
    std::vector<uint16_t> counts;
  };
  bool SetUp(Channel& ch, uint64_t offset, uint64_t length);

  std::vector<Channel> channels_;
  std::vector<uint8_t> data_;
  std::vector<uint8_t> rowBuf_;
};

// Merged-image block for a compression value: 0 RAW, 1 RLE; null for any
// other value or when the data is too short.
std::unique_ptr<ImageBlockBase> MakeImageBlock(DataSrcBase& src, uint32_t compression,
                                               int32_t left, int32_t top, int32_t right,
                                               int32_t bottom, uint32_t channels, uint32_t depth);

}  // namespace iio
