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
#include "iio/codepage.h"
#include "iio/layer_param.h"
#include "iio/psd.h"
#include "iio/psd_bytes.h"
#include "iio/psd_color.h"
#include "iio/psd_zip.h"

namespace iio {

// A failure is told in a few words for a person: where in the file (a
// section, a layer record, a channel) and what was wrong there. The steps
// that can fail take a `why`, which they set, where it is not null, when they
// fail; callers put where they were in front.
inline bool Explain(std::string* why, const std::string& text) {
  if (why) *why = text;
  return false;
}
inline PsdError Explain(std::string* why, PsdError error, const std::string& text) {
  Explain(why, text);
  return error;
}
// "what: why" where why says something.
inline std::string Within(const std::string& what, const std::string& why) {
  return why.empty() ? what : what + ": " + why;
}
inline std::string Num(uint64_t v) { return std::to_string(v); }

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
  // A length of 4 bytes, or of 8 where a large document stores it so.
  bool Length(bool large, uint64_t* v) {
    const uint8_t* p = Take(large ? 8 : 4);
    if (p) *v = large ? uint64_t(LoadBe32(p)) << 32 | LoadBe32(p + 4) : LoadBe32(p);
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
  // A large document (version 2): some lengths and row counts take twice
  // the bytes.
  bool Large() const { return version == 2; }
};

constexpr uint64_t kPsdHeaderBytes = 26;

// Reads the header from the start of the file: kPsdTooShort when the file
// cannot hold one, kPsdBadHeader for anything but version 1 or 2, 1 to 56
// channels, 1 to kMaxCanvasSide pixels a side (kMaxLargeCanvasSide in
// version 2), and a colour mode with a depth it can have (bitmap 1 bit,
// indexed 8, the others 8, 16 or 32). The fields are filled in whenever the
// bytes are there.
PsdError ReadPsdHeader(DataSrcBase& src, PsdHeader* out, std::string* why);

// ---- Colour mode data and image resources (psd_resources.cpp)

// The colour conversion of the file from the colour mode data (an indexed
// file's palette) and the image resources (the transparent index, the ICC
// profile), each a length and that many bytes; kPsdBadLayers when a length
// or its bytes are missing or an indexed file has no palette.
PsdError ReadColourSections(DataSrcBase& src, SectionCursor& file, const PsdHeader& header, PsdColor* out,
                            std::string* why);

// How a file's channel data is read and converted.
struct PsdFormat {
  bool large = false;
  uint16_t depth = 8;
  const PsdColor* color = nullptr;
  // Rows are handed out as straight 16-bit RGBA; otherwise as 8-bit RGBA,
  // which loses nothing (PsdColor::Exact8).
  bool wide = false;
  // 8-bit RGB: channel rows are interleaved as they are.
  bool plainRgb8 = false;
};

// ---- Layer and mask information (psd_layer_records.cpp)

// One entry of a layer record's channel table.
struct psd_channel_t {
  int16_t id = 0;
  uint64_t length = 0;
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
// groups pass on to their layers. The records come from the layer info, or
// from a "Lr16" or "Lr32" block of the additional information behind it
// where a file of 16 or 32 bits keeps them there; mergedStart is the end of
// the section. Records read before a failure stay in out->records.
// kPsdBadLayers when the section is malformed. Pascal names are read in
// `charset`.
PsdError ReadLayerSection(DataSrcBase& src, SectionCursor& file, const PsdHeader& header, const std::string& charset,
                          LayerSection* out, std::string* why);

// ---- Channel rows (psd_channel_rows.cpp): what a layer's channels and the
// merged image share

// Scratch memory of one thread decoding rows.
struct RowScratch {
  std::vector<uint8_t> bytes;
  std::vector<uint16_t> mask;
  PsdColor::Scratch color;
};

// The stored rows of one channel: raw (compression 0), PackBits behind a
// table of row byte counts (1), or in a ZIP stream (2, and 3 with
// prediction). Positions count from the start of whatever holds the rows
// (ChannelBytes).
struct ChannelRows {
  uint16_t compression = 0;
  uint32_t width = 0, height = 0;
  uint64_t rowBytes = 0;
  uint64_t start = 0;             // the first row; PackBits: the first after the table; ZIP: the stream
  uint64_t length = 0;            // ZIP: the stream's bytes, where it holds this channel alone
  std::vector<uint32_t> counts;   // PackBits: each row's bytes ...
  std::vector<uint64_t> offsets;  // ... and where it starts, from `start`
  // Where channels follow each other (the merged image's), the rows before
  // this one's; a ZIP stream over them all holds its first row as row
  // firstRow.
  uint64_t firstRow = 0;
  // ZIP: a stream at some row of this channel; null until started.
  mutable std::unique_ptr<PsdZipRows> zip;
  int32_t id = 0;  // for a failure's detail: the channel's id, or its number in the merged image
};

// Where channel rows are read from: a layer's channel data, read whole into
// memory, or the file, whose merged image is read a row at a time.
class ChannelBytes {
 public:
  virtual ~ChannelBytes() = default;
  // n bytes at `at`, valid until the next call; null when they cannot be read.
  virtual const uint8_t* Read(uint64_t at, uint64_t n) const = 0;
  // The same, valid while other channels' rows are read: in place where
  // they stay there, else copied into dst (n bytes).
  virtual const uint8_t* Keep(uint64_t at, uint64_t n, uint8_t* dst) const = 0;
  // Gives a ZIP channel a stream at or before its first row; false when it
  // cannot.
  virtual bool StartZip(const ChannelRows& ch) const = 0;
};

// Reads a table of `rows` PackBits row byte counts (2 bytes each, 4 in a
// large document) and returns their sum; with `keep`, appends each count to
// its counts and where its row starts (base plus the counts before it) to
// its offsets.
uint64_t ReadRowCounts(const uint8_t* table, uint32_t rows, bool large, uint64_t base, ChannelRows* keep);

// Row `row` of the channel as stored, decoded into `dst` (rowBytes), or in
// place where ChannelBytes::Keep leaves it; null when it cannot be read. A
// ZIP channel decodes its stream in order, started again for an earlier row.
const uint8_t* FetchChannelRow(const ChannelRows& ch, uint32_t row, const ChannelBytes& bytes, uint8_t* dst,
                               std::string* why = nullptr);

// Which channel (an index into a list of ChannelRows) feeds which part of a
// pixel: the colour channel k role k, the transparency role
// PsdColor::ColorChannels().
struct ChannelFeed {
  uint32_t channel, role;
};

// The stored rows of one row of pixels: rows[role] for each role up to the
// transparency's, from the channel that feeds it (decoded into scratch, a
// row per role) or `full` (FullRow) where none does. False when a
// channel's row cannot be read.
bool FetchPixelRows(const std::vector<ChannelRows>& channels, const std::vector<ChannelFeed>& feeds, uint32_t row,
                    const ChannelBytes& bytes, const PsdFormat& format, const uint8_t* full, uint8_t* scratch,
                    const uint8_t* rows[5], std::string* why = nullptr);

// The pixels of such rows, `width` of them: 8-bit RGBA (format not wide) or
// straight 16-bit RGBA; rows[ColorChannels()] is the transparency.
void ConvertPixelRows(const PsdFormat& format, const uint8_t* const rows[5], uint32_t width, RowScratch& scratch,
                      uint32_t* out);
void ConvertPixelRows(const PsdFormat& format, const uint8_t* const rows[5], uint32_t width, RowScratch& scratch,
                      uint64_t* out);

// A row of `bytes` bytes of full samples at `depth` bits: 255, 65535 or 1.0
// (linear light); a bitmap's 0 bits, white.
std::vector<uint8_t> FullRow(uint64_t bytes, uint16_t depth);

// Interleaves four channel rows into w pixels (row k gives byte k).
void InterleaveRow(const uint8_t* const rows[4], size_t w, uint32_t* out);

// ---- Channel data (psd_channel_data.cpp)

// One layer's channel data, read whole; every channel has its own
// compression (raw, PackBits, ZIP with or without prediction). The colour
// channels of the mode (ids 0 to PsdColor::ColorChannels() - 1) and -1
// (transparency) are sized by the layer's rectangle, -2 (user mask) by the
// mask's; the mask is used when the record has one and it is enabled.
// Other ids (spot colours, -3, animation data) are skipped. Raw and
// PackBits rows are decoded from memory by const calls that share nothing,
// so any threads may decode them at once; ZIP rows decode only in order,
// from the start, on one thread (RowsPlausible is false for them).
class LayerPixels {
 public:
  // Reads the channel data at the source's position, into `buffer` (the
  // buffer of an earlier layer, given back by TakeBuffer: its pages are
  // there already, where a new one would fault in every page again).
  LayerPixels(DataSrcBase& src, const LayerRecord& record, const PsdFormat& format,
              std::vector<uint8_t> buffer = {});
  ~LayerPixels();
  std::vector<uint8_t> TakeBuffer() { return std::move(data_); }
  // The data is all there and every channel used is in a known compression;
  // otherwise why not.
  bool ok() const { return ok_; }
  const std::string& Failure() const { return failure_; }
  uint32_t Width() const { return width_; }
  uint32_t Height() const { return height_; }
  // Every stored row in [first, first + count) of the channels that make
  // the pixels is long enough to hold a full row, so decoding them needs no
  // memory beyond the bytes that exist; no channel is ZIP-compressed.
  bool RowsPlausible(uint32_t first, uint32_t count) const;
  // Decodes row `row` (from the layer's top) into Width() pixels: 8-bit
  // (format not wide) or 16-bit straight RGBA, full where no channel feeds
  // a component, the transparency times the user mask. False when a row of
  // a channel cannot be decoded, and why.
  bool DecodeRow(uint32_t row, RowScratch& scratch, uint32_t* out, std::string* why = nullptr) const;
  bool DecodeRow(uint32_t row, RowScratch& scratch, uint64_t* out, std::string* why = nullptr) const;

 private:
  class Bytes;
  bool SetUp(ChannelRows& ch, uint64_t offset, uint64_t length, std::string* why);
  // The stored rows of the colour channels and the transparency, and the
  // mask's row when the row crosses the mask rectangle.
  bool FetchRows(uint32_t row, RowScratch& scratch, const uint8_t* rows[5], const uint8_t** mask,
                 std::string* why) const;
  void ApplyMask(const uint8_t* mask, uint8_t* px) const;
  void ApplyMask16(const uint8_t* mask, RowScratch& scratch, uint64_t* px) const;

  bool ok_ = false;
  std::string failure_;
  PsdFormat format_;
  uint32_t colors_ = 3;    // colour channels; role `colors_` is the transparency
  uint64_t rowBytes_ = 0;  // of a colour channel row
  uint32_t width_ = 0, height_ = 0;
  // The layer's top left and the mask's rectangle and default, in canvas
  // pixels.
  int32_t left_ = 0, top_ = 0;
  int32_t maskLeft_ = 0, maskTop_ = 0, maskRight_ = 0, maskBottom_ = 0;
  uint8_t maskDefault_ = 0;
  std::vector<ChannelRows> channels_;  // the channel table's, positions in data_
  // Colour channel k feeds role k (a later channel of the same id
  // overwrites an earlier one, but every one is decoded), the first id -1
  // feeds role colors_.
  std::vector<ChannelFeed> feeds_;
  int mask_ = -1;  // the first id -2, when used
  uint32_t maskWidth_ = 0;
  std::vector<uint8_t> data_;
  std::vector<uint8_t> full_;  // a row of full samples, for roles no channel feeds
};

// ---- Merged image (psd_merged.cpp)

// The merged image: its compression (0 raw, 1 PackBits behind a table of
// row byte counts, 2 and 3 one ZIP stream), then the rows of each channel,
// channel after channel. Raw and PackBits rows are read from the source
// when asked for, one at a time; a ZIP stream is read whole and decoded in
// order, each channel used from its own place in it.
class MergedPixels {
 public:
  ~MergedPixels();
  // Reads the compression and the row table at `start`; kPsdBadImage when
  // they are short or the compression is unknown.
  static PsdError Read(DataSrcBase& src, uint64_t start, const PsdHeader& header, const PsdFormat& format,
                       std::unique_ptr<MergedPixels>* out, std::string* why);
  // The record the reader hands out for it.
  static layer_param_t Param(const PsdHeader& header, bool hasLayers);

  // Reads canvas row `row`: the mode's colour channels give the colour;
  // the channel after them, where the file has one, the transparency,
  // which the colour is taken off the white it is matted on. 8-bit RGBA
  // (format not wide; 255 for RGB channels the file lacks) or straight
  // 16-bit RGBA. False when the row cannot be read, and why.
  bool ReadRow(uint32_t row, uint32_t* out, std::string* why = nullptr);
  bool ReadRow(uint32_t row, uint64_t* out, std::string* why = nullptr);

 private:
  class Bytes;
  MergedPixels(DataSrcBase& src, const PsdHeader& header, const PsdFormat& format, uint16_t compression);
  bool SetUp(std::string* why);
  bool FetchRows(uint32_t row, const uint8_t* rows[5], std::string* why);

  DataSrcBase& src_;
  PsdFormat format_;
  uint32_t width_, height_, channels_;
  uint16_t compression_;
  uint64_t rowBytes_;
  // The channels read: the colour ones, then the transparency, each from
  // the file's start (raw and PackBits) or from the ZIP stream's.
  std::vector<ChannelRows> used_;
  std::vector<ChannelFeed> feeds_;
  bool alpha_ = false;         // the last used channel is the transparency
  std::vector<uint8_t> zip_;   // the whole ZIP stream
  std::vector<uint8_t> scratch_;  // five channel rows and a row of full samples
  RowScratch rowScratch_;
};

}  // namespace iio
