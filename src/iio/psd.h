// PSD reader: version 1, 8-bit RGB. Hands out the layers in file order and
// then the merged image, each as a layer_param_t and rows of 8-bit RGBA. The
// merged image is named "ImgIOPsd_MergedImage"; when it has a fourth channel
// (its transparency), its colour is taken off the white that files store it
// matted on, so that it comes out as straight colour like the layers.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/data_src.h"
#include "iio/image_block.h"
#include "iio/image_io.h"

namespace iio {

// Error codes of the reader.
enum PsdError : int32_t {
  kPsdOk = 0,
  kPsdBadHeader = 1,     // signature, version, size, channels, mode or depth
  kPsdBadLayers = 2,     // malformed colour data, resources or layer section
  kPsdBadImage = 3,      // channel data short or in an unsupported compression
  kPsdBadRow = 4,        // a row that cannot be fetched or decoded
  kPsdTooShort = 255,    // not even a header
};

class Psd : public ImageInputBase32 {
 public:
  // Rewinds the source and checks the header; the source must outlive the
  // reader.
  explicit Psd(DataSrcBase& src);
  ~Psd() override;

  uint32_t Open() override;
  void CheckFailed() override;
  uint32_t Width() const override;
  uint32_t Height() const override;
  uint32_t ReadRows(uint32_t count) override;
  const uint32_t* RowPointer(int32_t y) const override;
  int32_t ErrorCode() const override { return error_; }
  bool NextImage(layer_param_t& out) override;

  uint32_t ImageCount() const { return images_; }
  uint32_t LayerCount() const { return uint32_t(records_.size()); }
  // Layer record i (file order: bottom to top) as parsed by Open.
  const layer_param_t& LayerParam(uint32_t i) const { return records_[i].param; }
  // The layer count was negative: the merged image's first extra channel is
  // its transparency.
  bool MergedTransparency() const { return mergedAlpha_; }
  uint16_t ChannelCount() const { return channels_; }

 private:
  struct Record {
    layer_param_t param;                 // filled in when parsed
    std::vector<psd_channel_t> table;
    uint64_t dataOffset = 0;             // of the channel data, from the file start
    bool hasMask = false;
    uint8_t flags = 0;
  };

  bool ParseRecord(uint64_t limit, Record& rec);
  void ResolveGroups();
  bool LoadMerged();
  bool Fail(int32_t code);
  uint32_t OpenFailed() {
    Fail(kPsdBadLayers);
    return 0;
  }
  uint32_t RowFailed() {
    Fail(kPsdBadRow);
    return 0;
  }

  DataSrcBase& src_;
  int32_t error_ = kPsdOk;
  bool failed_ = false;
  bool opened_ = false;

  uint16_t version_ = 0, channels_ = 0, depth_ = 0, mode_ = 0;
  uint32_t width_ = 0, height_ = 0;
  uint64_t mergedStart_ = 0;
  bool mergedAlpha_ = false;

  std::vector<Record> records_;
  uint32_t images_ = 0;
  uint32_t next_ = 0;

  // Current image and its row window.
  std::unique_ptr<ImageBlockBase> block_;
  layer_param_t current_;
  bool haveImage_ = false;
  bool applyMask_ = false;
  bool unmatte_ = false;  // the merged image, whose fourth channel is its transparency
  uint32_t imageWidth_ = 0, imageHeight_ = 0;
  uint32_t winTop_ = 0, winCount_ = 0;  // rows relative to the image's top
  std::vector<uint32_t> window_;
};

}  // namespace iio
