// PSD writer: RGB with transparency, 8 or 16 bits a sample, version 1 or
// the large document (version 2: 8-byte section and channel lengths, 4-byte
// row counts), one record per layer, then the merged image. Each layer
// channel is stored PackBits-compressed or plain, whichever is smaller,
// and plain where a packed row is longer than version 1's 16-bit row counts
// hold; so is the merged image, all four channels alike. Rows arrive encoded
// (iio/psd_encode.h) in the file's depth.
//
// Calling order:
//   Begin(width, height, records)    header, resources, the layer records
//   for each record:
//     BeginLayer(rect)               the layer's rectangle (into its record)
//     AddRows(...) ...               its rows top to bottom
//     EndLayer()                     its channel data
//   AddRows(...) ...                 every canvas row of the merged image
//   Finish()
// A record's rectangle is fixed by BeginLayer, so records can be written
// before the layers' content is known; the writer seeks back into its own
// output for that. A layer's channels are held until EndLayer, which writes
// them. Any step out of this order or a short or long row count makes that
// call and every later one return false, with the reason in LastError.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "iio/codepage.h"
#include "iio/image_io.h"
#include "iio/psd_encode.h"

namespace iio {

enum PsdOutError : int32_t {
  kPsdOutOk = 0,
  kPsdOutStream = 1,    // the stream did not take the bytes
  kPsdOutOrder = 2,     // calls out of order, wrong row counts, bad canvas or bounds
  kPsdOutTooLarge = 3,  // a size that the format cannot hold
};

struct PsdOutFormat {
  uint32_t depth = 8;  // 8 or 16
  bool large = false;  // version 2, canvas sides up to kMaxLargeCanvasSide
};

class PsdOut {
 public:
  // The stream is not owned and must outlive the writer. Pascal layer names
  // are written in `nameCharset` (iconv names, "" for UTF-8), the full names
  // in "luni" blocks.
  PsdOut(ImageDestBase& stream, std::string nameCharset);
  ~PsdOut();
  PsdOut(const PsdOut&) = delete;
  PsdOut& operator=(const PsdOut&) = delete;

  // The records' rectangles are written as given and replaced by those of
  // BeginLayer.
  bool Begin(uint32_t width, uint32_t height, const std::vector<layer_param_t>& layers,
             const PsdOutFormat& format = PsdOutFormat());
  // The next layer's rectangle, canvas pixels, right and bottom exclusive.
  bool BeginLayer(int32_t left, int32_t top, int32_t right, int32_t bottom);
  // The next rows of the current layer or of the merged image, encoded for
  // its width and the file's depth.
  bool AddRows(const PsdRows& rows);
  bool EndLayer();
  bool Finish();
  int32_t LastError() const { return error_; }
  // The first failure in a few words: where the writer was and what went
  // wrong ("layer 3: the stream refused 65536 bytes at 12345"); empty
  // without one. Layers are counted from 0 in the order of Begin's records.
  const std::string& LastErrorDetail() const { return detail_; }

 private:
  enum class Phase { kIdle, kLayers, kInLayer, kMerged, kDone };
  // A channel's encoded rows, in pieces of one size, so that it grows
  // without reallocating.
  struct Channel {
    std::vector<std::unique_ptr<uint8_t[]>> pieces;
    size_t size = 0;               // bytes held
    uint64_t packed = 0;           // bytes of every row packed
    std::vector<uint32_t> counts;  // each row's packed length
    std::vector<uint8_t> stored;   // each row's bytes: plain (1) or packed
    bool anyPlain = false;         // a row is held plain
    bool plain = false;  // a row's count does not fit the file's row counts
  };
  class LengthField;

  bool Fail(int32_t code, const std::string& detail);
  void Put(const void* bytes, size_t n);
  void Put8(uint8_t v) { Put(&v, 1); }
  void Put16(uint16_t v);
  void Put32(uint32_t v);
  void Patch32(uint64_t at, uint32_t value);
  // A length of the sections and channels whose lengths take 8 bytes in a
  // large document: written as 0, or patched.
  void PutLength();
  bool PatchLength(uint64_t at, uint64_t value, const char* what);
  void WriteRecord(const layer_param_t& layer, uint64_t& rectField, std::array<uint64_t, 4>& lengthFields);
  void StartRows(int32_t left, int32_t top, int32_t right, int32_t bottom);
  void Append(Channel& ch, const uint8_t* bytes, size_t n);
  // Writes a channel's packed rows, or its plain rows (rowBytes each).
  void WriteChannel(Channel& ch, size_t rowBytes);
  void WriteChannelRaw(Channel& ch, size_t rowBytes);
  // Each row of a channel as held: fn(bytes, held length, held plain, packed length).
  template <typename Fn>
  void ForEachRow(const Channel& ch, size_t rowBytes, Fn&& fn);
  void WriteCounts(const Channel& ch);
  void Recycle(Channel& ch);
  // Bytes of a channel's data with its compression field, PackBits or plain.
  uint64_t PackedLength(const Channel& ch) const { return 2 + CountBytes() * uint64_t(ch.counts.size()) + ch.packed; }
  uint64_t RawLength(const Channel& ch, size_t width) const {
    return 2 + uint64_t(ch.counts.size()) * RowBytes(width);
  }
  uint64_t CountBytes() const { return format_.large ? 4 : 2; }
  uint64_t RowBytes(size_t width) const { return uint64_t(width) * format_.depth / 8; }
  // The end of the layer section, after the last layer's channel data.
  void CloseLayerSection();

  ImageDestBase& out_;
  std::string charset_;  // of Pascal names
  int32_t error_ = kPsdOutOk;
  std::string detail_;
  std::string where_;  // the part being written, for a failure's detail
  Phase phase_ = Phase::kIdle;
  PsdOutFormat format_;
  uint32_t width_ = 0, height_ = 0;
  uint32_t layerCount_ = 0, current_ = 0;
  uint64_t lmiField_ = 0, layerInfoField_ = 0;
  std::vector<uint64_t> rectFields_;
  std::vector<std::array<uint64_t, 4>> channelFields_;
  int32_t left_ = 0, top_ = 0, right_ = 0, bottom_ = 0;
  uint32_t rows_ = 0;
  std::array<Channel, 4> channels_;
  std::vector<std::unique_ptr<uint8_t[]>> spare_;  // pieces to reuse
};

}  // namespace iio
