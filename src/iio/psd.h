// PSD reader: versions 1 and 2 (large documents), every colour mode at
// every depth it has, raw, PackBits and ZIP channel data. Hands out the
// layers in file order and then the merged image, each as a layer_param_t
// and rows of RGB with transparency: 8-bit where that loses nothing (8-bit
// RGB, grayscale, indexed, duotone and multichannel files, bitmaps),
// otherwise straight 16-bit (Wide). The merged image is named
// kMergedImageName; when it has a channel after its colour channels (its
// transparency), its colour is taken off the white that files store it
// matted on, so that it comes out as straight colour like the layers.
//
// The reader is sequential: Open reads the sections before the channel data,
// NextImage loads one image, ReadRows hands out its rows in order. A layer's
// rows are decoded from memory, so a caller with threads may decode them
// itself: DecodeRows on any threads, then TakeRows on the reading thread
// (not ZIP rows: each channel is one stream).
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "base/data_src.h"
#include "iio/image_io.h"

namespace iio {

// Name of the record of the merged image, and of the layer that holds it in
// a document made from a PSD.
constexpr const char kMergedImageName[] = "ImgIOPsd_MergedImage";

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
  // reader. Pascal layer names are read in `nameCharset` (iconv names, ""
  // for UTF-8); a "luni" block's name wins over them.
  Psd(DataSrcBase& src, std::string nameCharset);
  ~Psd() override;

  uint32_t Open() override;
  void CheckFailed() override;
  uint32_t Width() const override;
  uint32_t Height() const override;
  uint32_t ReadRows(uint32_t count) override;
  const uint32_t* RowPointer(int32_t y) const override;
  int32_t ErrorCode() const override;
  // The error's cause in a few words for a person: the section, layer
  // record, layer or channel, and what was wrong there ("layer 2, channel
  // -1: PackBits row 17 of 12 bytes does not decode to 40"); empty without
  // an error. Layers and records are counted from 0 in file order (bottom
  // first).
  const std::string& ErrorDetail() const;
  bool NextImage(layer_param_t& out) override;

  // Rows are straight 16-bit RGBA packed in 64-bit words (bits 0-15 red ..
  // 48-63 transparency): RowPointer16 and the overloads taking uint64_t
  // give them, and the 8-bit ones give nothing. Otherwise the reverse.
  bool Wide() const;
  const uint64_t* RowPointer16(int32_t y) const;

  uint32_t ImageCount() const;
  uint32_t LayerCount() const;
  // Layer record i (file order: bottom to top) as parsed by Open.
  const layer_param_t& LayerParam(uint32_t i) const;

  // Rows of the current image counted from its top, decoded by the caller.
  // Whether rows [first, first + count) may go to DecodeRows: they are held
  // in memory, each stored row is long enough to make a full row, so that a
  // buffer for them claims no more memory than the file's bytes justify,
  // and none is in a ZIP stream.
  bool RowsDecodable(uint32_t first, uint32_t count) const;
  // Decodes rows [first, first + count), where RowsDecodable holds, into
  // `out` (count rows of the image's width) as ReadRows would; returns how
  // many from `first` were decoded before one failed. Changes nothing: any
  // threads may call it at once while no other call is made on the reader.
  uint32_t DecodeRows(uint32_t first, uint32_t count, uint32_t* out) const;
  uint32_t DecodeRows(uint32_t first, uint32_t count, uint64_t* out) const;
  // Moves past the next `count` rows, of which the caller decoded the first
  // `decoded`, as ReadRows would: each row's progress is reported in turn,
  // and the read fails (kPsdBadRow) at the first row that was not decoded.
  // Returns the rows passed; RowPointer gives none of them.
  uint32_t TakeRows(uint32_t count, uint32_t decoded);

  // Row `row` of the current image (from its top), any row in any order,
  // into `out` (the image's width), without progress and without moving
  // the rows ReadRows hands out: for a pass over a few rows of each image.
  // A record without pixels gives transparent rows. ZIP rows before the
  // last one asked for are decoded again from the start, so a pass asks for
  // rows in increasing order. False when the row cannot be read, and why
  // (as ErrorDetail says it) in *why where given; the reader stays usable.
  bool RowAt(uint32_t row, uint32_t* out, std::string* why = nullptr);
  bool RowAt(uint32_t row, uint64_t* out, std::string* why = nullptr);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace iio
