#include "iio/psd_zip.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "iio/psd_bytes.h"

namespace iio {

namespace {
// zlib counts in 32-bit units: longer inputs and outputs go in pieces.
constexpr uint64_t kPiece = uint64_t(1) << 30;
}  // namespace

uint64_t PsdRowBytes(uint32_t width, uint32_t depth) {
  if (depth != 1 && depth != 8 && depth != 16 && depth != 32) return 0;
  return (uint64_t(width) * depth + 7) / 8;  // 64-bit: 32 x a 32-bit width
}

struct PsdZipRows::Impl {
  z_stream z{};
  bool open = false;
  const uint8_t* data = nullptr;
  size_t size = 0, fed = 0;
  std::vector<uint8_t> scratch;  // one row: depth 32 with prediction, and rows skipped
  ~Impl() {
    if (open) inflateEnd(&z);
  }
};

PsdZipRows::PsdZipRows(const uint8_t* data, size_t size, uint32_t width, uint64_t height, uint32_t depth,
                       bool prediction)
    : z_(new Impl), width_(width), depth_(depth), height_(height), prediction_(prediction) {
  rowBytes_ = PsdRowBytes(width, depth);
  if (rowBytes_ == 0 || (prediction && depth == 1)) {
    Fail();
    return;
  }
  z_->data = data;
  z_->size = size;
  if (inflateInit(&z_->z) != Z_OK) {
    Fail();
    return;
  }
  z_->open = true;
}

PsdZipRows::PsdZipRows(const PsdZipRows& from, bool)
    : z_(new Impl),
      rowBytes_(from.rowBytes_),
      width_(from.width_),
      depth_(from.depth_),
      height_(from.height_),
      next_(from.next_),
      prediction_(from.prediction_),
      failed_(from.failed_),
      ended_(from.ended_) {
  z_->data = from.z_->data;
  z_->size = from.z_->size;
  z_->fed = from.z_->fed;
  if (failed_ || !from.z_->open || inflateCopy(&z_->z, &from.z_->z) != Z_OK) {
    Fail();
    return;
  }
  z_->open = true;
}

PsdZipRows::~PsdZipRows() = default;

std::unique_ptr<PsdZipRows> PsdZipRows::Fork() const {
  std::unique_ptr<PsdZipRows> copy(new PsdZipRows(*this, true));
  if (copy->failed_) copy.reset();
  return copy;
}

bool PsdZipRows::Fail() {
  failed_ = true;
  return false;
}

// One call of inflate into dst (room bytes, 1 to kPiece); `got` is what it
// produced. False when the stream is corrupt or needs input that is not
// there.
bool PsdZipRows::Pump(uint8_t* dst, uint64_t room, uint64_t* got) {
  z_stream& z = z_->z;
  if (z.avail_in == 0 && z_->fed < z_->size) {
    const size_t piece = size_t(std::min<uint64_t>(z_->size - z_->fed, kPiece));
    z.next_in = const_cast<Bytef*>(z_->data + z_->fed);
    z.avail_in = uInt(piece);
    z_->fed += piece;
  }
  z.next_out = dst;
  z.avail_out = uInt(room);
  const int ret = inflate(&z, Z_NO_FLUSH);
  *got = room - z.avail_out;
  if (ret == Z_STREAM_END) {
    ended_ = true;
    return true;
  }
  // Input is fed before every call and there is room for output, so
  // anything but progress (Z_BUF_ERROR: the input is used up) is a failure.
  return ret == Z_OK ? true : Fail();
}

// Exactly n bytes of the stream into dst; false when it ends before them or
// is corrupt.
bool PsdZipRows::Inflate(uint8_t* dst, uint64_t n) {
  while (n > 0) {
    if (ended_) return Fail();
    uint64_t got;
    if (!Pump(dst, std::min(n, kPiece), &got)) return false;
    if (got == 0 && z_->z.avail_in == 0 && z_->fed == z_->size) return Fail();
    dst += got;
    n -= got;
  }
  return true;
}

bool PsdZipRows::ReadRows(uint8_t* out, uint32_t rows) {
  if (failed_) return false;
  if (next_ + rows > height_) return Fail();
  const size_t rb = size_t(rowBytes_);
  if (prediction_ && depth_ == 32 && z_->scratch.size() < rb) z_->scratch.resize(rb);
  for (uint32_t y = 0; y < rows; ++y, ++next_) {
    uint8_t* row = out + size_t(y) * rb;
    if (!prediction_) {
      if (!Inflate(row, rb)) return false;
    } else if (depth_ == 8) {
      if (!Inflate(row, rb)) return false;
      for (size_t x = 1; x < rb; ++x) row[x] = uint8_t(row[x] + row[x - 1]);
    } else if (depth_ == 16) {
      if (!Inflate(row, rb)) return false;
      for (size_t x = 2; x + 1 < rb; x += 2) StoreBe16(row + x, uint16_t(LoadBe16(row + x) + LoadBe16(row + x - 2)));
    } else {
      uint8_t* s = z_->scratch.data();
      if (!Inflate(s, rb)) return false;
      for (size_t x = 1; x < rb; ++x) s[x] = uint8_t(s[x] + s[x - 1]);
      // Byte plane k holds byte k of every sample.
      const size_t w = width_;
      for (size_t k = 0; k < 4; ++k)
        for (size_t x = 0; x < w; ++x) row[4 * x + k] = s[k * w + x];
    }
  }
  return true;
}

bool PsdZipRows::SkipRows(uint64_t rows) {
  if (failed_) return false;
  if (next_ + rows > height_) return Fail();
  if (rows == 0) return true;
  std::vector<uint8_t>& row = z_->scratch;
  if (row.size() < rowBytes_) row.resize(size_t(rowBytes_));
  for (uint64_t i = 0; i < rows; ++i) {
    // Prediction does not carry from row to row: the raw bytes are enough.
    if (!Inflate(row.data(), rowBytes_)) return false;
    ++next_;
  }
  return true;
}

bool PsdZipRows::Finish() {
  if (failed_ || next_ != height_) return Fail();
  // The rows are all there: the stream must end now, with nothing left but
  // its check value.
  while (!ended_) {
    uint8_t probe;
    uint64_t got;
    if (!Pump(&probe, 1, &got)) return false;
    if (got) return Fail();
    if (!ended_ && z_->z.avail_in == 0 && z_->fed == z_->size) return Fail();
  }
  return true;
}

bool DecodePsdZip(const uint8_t* data, size_t size, uint32_t width, uint32_t height, uint32_t depth,
                  bool prediction, uint8_t* out, uint64_t outSize) {
  uint64_t need;
  if (!MulSize(PsdRowBytes(width, depth), height, &need) || need > outSize) return false;
  PsdZipRows rows(data, size, width, height, depth, prediction);
  return rows.ReadRows(out, height) && rows.Finish();
}

}  // namespace iio
