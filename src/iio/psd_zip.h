// ZIP-compressed PSD channel data: compression 2 is a zlib stream of the
// raw big-endian samples, compression 3 the same after prediction. With
// prediction each row holds differences: of bytes at depth 8, of big-endian
// 16-bit words at depth 16; at depth 32 a row is stored as byte planes (the
// first bytes of all its samples, then the second bytes, ...) and the
// differences run over the bytes of the whole row.
//
// Rows are decoded in order and never more than asked for, whatever the
// stream holds, so a tiny stream that would inflate to gigabytes costs no
// more than the rows the caller takes; nothing is allocated beyond one row
// of scratch (depth 32 with prediction).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

namespace iio {

// Bytes of one row of one channel of `width` samples: a row of bits is
// padded to whole bytes. 0 for depths other than 1, 8, 16 and 32.
uint64_t PsdRowBytes(uint32_t width, uint32_t depth);

// Rows of one ZIP-compressed stream. The compressed bytes are not copied
// and must outlive the object.
class PsdZipRows {
 public:
  PsdZipRows(const uint8_t* data, size_t size, uint32_t width, uint64_t height, uint32_t depth, bool prediction);
  ~PsdZipRows();
  PsdZipRows(const PsdZipRows&) = delete;
  PsdZipRows& operator=(const PsdZipRows&) = delete;

  // Decodes the next `rows` rows into out (rows * RowBytes() bytes). False
  // when the stream is corrupt or ends early, when more rows are asked for
  // than the stream has, or when the parameters were bad (depth 1 with
  // prediction, a depth other than 1, 8, 16, 32); every later call fails too.
  bool ReadRows(uint8_t* out, uint32_t rows);
  // Moves past `rows` rows, decoding them into a row of scratch.
  bool SkipRows(uint64_t rows);
  // An independent copy positioned where this one is; null when it cannot
  // be made (this one failed, or no memory).
  std::unique_ptr<PsdZipRows> Fork() const;
  // After the last row: true when the stream ends there, with a valid
  // check value. Bytes after the end of the stream are not looked at.
  bool Finish();
  uint64_t RowBytes() const { return rowBytes_; }
  uint64_t NextRow() const { return next_; }

 private:
  struct Impl;
  PsdZipRows(const PsdZipRows& from, bool);
  bool Pump(uint8_t* dst, uint64_t room, uint64_t* got);
  bool Inflate(uint8_t* dst, uint64_t n);
  bool Fail();

  std::unique_ptr<Impl> z_;
  uint64_t rowBytes_ = 0;
  uint32_t width_, depth_;
  uint64_t height_, next_ = 0;
  bool prediction_;
  bool failed_ = false;
  bool ended_ = false;
};

// A whole channel of `height` rows into out, which has room for outSize
// bytes: at least height * PsdRowBytes(width, depth). True when the stream
// holds exactly those rows.
bool DecodePsdZip(const uint8_t* data, size_t size, uint32_t width, uint32_t height, uint32_t depth,
                  bool prediction, uint8_t* out, uint64_t outSize);

}  // namespace iio
