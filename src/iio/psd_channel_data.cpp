// Channel data: each layer's channels, one after another in the order of
// its channel table, each a compression value and the rows.
#include <algorithm>
#include <cstring>

#include "iio/packbits.h"
#include "iio/psd_sections.h"

namespace iio {

namespace {

uint32_t Side(int32_t lo, int32_t hi) { return hi > lo ? uint32_t(int64_t(hi) - lo) : 0; }

}  // namespace

std::vector<uint8_t> FullRow(uint64_t bytes, uint16_t depth) {
  std::vector<uint8_t> row(size_t(bytes), depth == 1 ? 0x00 : 0xFF);
  if (depth == 32)
    for (size_t i = 0; i + 4 <= row.size(); i += 4) StoreBe32(&row[i], 0x3F800000u);
  return row;
}

void InterleaveRow(const uint8_t* const rows[4], size_t w, uint32_t* out) {
  const uint8_t *r = rows[0], *g = rows[1], *b = rows[2], *a = rows[3];
  for (size_t x = 0; x < w; ++x)
    out[x] = uint32_t(r[x]) | uint32_t(g[x]) << 8 | uint32_t(b[x]) << 16 | uint32_t(a[x]) << 24;
}

struct LayerPixels::Channel {
  int16_t id = 0;
  bool used = false;
  uint32_t width = 0, height = 0;
  uint64_t rowBytes = 0;
  uint16_t compression = 0;
  uint64_t rows = 0;              // offset of the first row (or the stream) in data_
  uint64_t body = 0;              // bytes from `rows`
  std::vector<uint64_t> offsets;  // PackBits rows, from `rows`
  std::vector<uint32_t> counts;
  // ZIP: the stream, decoded in order and started again for an earlier row.
  mutable std::unique_ptr<PsdZipRows> zip;
};

LayerPixels::LayerPixels(DataSrcBase& src, const LayerRecord& record, const PsdFormat& format,
                         std::vector<uint8_t> buffer)
    : format_(format),
      left_(record.param.left),
      top_(record.param.top),
      maskLeft_(record.param.maskLeft),
      maskTop_(record.param.maskTop),
      maskRight_(record.param.maskRight),
      maskBottom_(record.param.maskBottom),
      maskDefault_(record.param.maskDefault) {
  const layer_param_t& p = record.param;
  width_ = uint32_t(p.Width());
  height_ = uint32_t(p.Height());
  colors_ = format.color->ColorChannels();
  rowBytes_ = PsdRowBytes(width_, format.depth);

  uint64_t total = 0;
  for (const psd_channel_t& e : record.table)
    if (!AddSize(total, e.length, &total)) return;
  if (!DeclaredFits(total, src.remaining())) return;
  // The buffer is taken when it holds the data and is not far larger (it
  // stays beside the layer's cells); a new one has room for a somewhat
  // larger next layer, so that the bytes never move.
  if (buffer.capacity() >= total && buffer.capacity() / 2 <= total) {
    data_ = std::move(buffer);
  } else {
    buffer = std::vector<uint8_t>();
    data_.reserve(size_t(total + total / 8));
  }
  if (!src.readInto(data_, total)) return;

  // A bitmap's masks would be bits; no writer makes layers in that mode.
  const bool applyMask = record.hasMask && p.maskEnabled && format.depth != 1;
  const uint32_t maskW = Side(p.maskLeft, p.maskRight);
  const uint32_t maskH = Side(p.maskTop, p.maskBottom);
  bool alpha = false;
  channels_.resize(record.table.size());
  uint64_t offset = 0;
  for (size_t i = 0; i < record.table.size(); ++i) {
    Channel& ch = channels_[i];
    ch.id = record.table[i].id;
    const bool mask = ch.id == -2;
    const bool colour = ch.id >= 0 && uint32_t(ch.id) < colors_;
    ch.used = colour || ch.id == -1 || (mask && applyMask);
    ch.width = mask ? maskW : width_;
    ch.height = mask ? maskH : height_;
    ch.rowBytes = PsdRowBytes(ch.width, format.depth);
    if (ch.used && !SetUp(ch, offset, record.table[i].length)) return;
    offset += record.table[i].length;
    if (colour) {
      fetch_.emplace_back(uint32_t(i), uint32_t(ch.id));
    } else if (ch.id == -1 && !alpha) {
      alpha = true;
      fetch_.emplace_back(uint32_t(i), colors_);
    } else if (mask && applyMask && mask_ < 0) {
      mask_ = int(i);
      maskWidth_ = maskW;
    }
  }
  std::vector<bool> fed(colors_ + 1);
  for (const auto& f : fetch_) fed[f.second] = true;
  if (std::find(fed.begin(), fed.end(), false) != fed.end()) full_ = FullRow(rowBytes_, format.depth);
  ok_ = true;
}

LayerPixels::~LayerPixels() = default;

bool LayerPixels::SetUp(Channel& ch, uint64_t offset, uint64_t length) {
  const uint64_t bytes = ch.rowBytes * ch.height;  // at most 300,000 x 4 x 300,000
  // Nothing stored: acceptable only where there is nothing to store.
  if (length < 2) return bytes == 0;
  ch.compression = LoadBe16(&data_[size_t(offset)]);
  ch.rows = offset + 2;
  ch.body = length - 2;
  if (ch.compression == 0) return DeclaredFits(bytes, ch.body);
  if (ch.compression == 2 || ch.compression == 3) {
    if (ch.compression == 3 && format_.depth == 1) return false;
    ch.zip.reset(new PsdZipRows(&data_[size_t(ch.rows)], size_t(ch.body), ch.width, ch.height, format_.depth,
                                ch.compression == 3));
    return true;
  }
  if (ch.compression != 1) return false;
  // Row byte counts of 2 bytes, 4 in a large document.
  const uint32_t countBytes = format_.large ? 4 : 2;
  const uint64_t tableBytes = uint64_t(ch.height) * countBytes;
  if (!DeclaredFits(tableBytes, ch.body)) return false;
  ch.counts.resize(ch.height);
  ch.offsets.resize(ch.height);
  const uint8_t* t = &data_[size_t(ch.rows)];
  uint64_t sum = tableBytes;
  for (uint32_t r = 0; r < ch.height; ++r) {
    ch.counts[r] = countBytes == 4 ? LoadBe32(t + 4 * size_t(r)) : LoadBe16(t + 2 * size_t(r));
    ch.offsets[r] = sum;
    sum += ch.counts[r];
  }
  return DeclaredFits(sum, ch.body);
}

const uint8_t* LayerPixels::ChannelRow(const Channel& ch, uint32_t row, uint8_t* dst) const {
  if (!ch.used || row >= ch.height) return nullptr;
  if (ch.compression == 0) return data_.data() + ch.rows + uint64_t(row) * ch.rowBytes;
  if (ch.compression == 1) {
    const uint8_t* src = data_.data() + ch.rows + ch.offsets[row];
    return PackBitsDecode(dst, dst + ch.rowBytes, src, src + ch.counts[row]) ? dst : nullptr;
  }
  if (row < ch.zip->NextRow())
    ch.zip.reset(new PsdZipRows(&data_[size_t(ch.rows)], size_t(ch.body), ch.width, ch.height, format_.depth,
                                ch.compression == 3));
  if (!ch.zip->SkipRows(row - ch.zip->NextRow())) return nullptr;
  return ch.zip->ReadRows(dst, 1) ? dst : nullptr;
}

bool LayerPixels::RowsPlausible(uint32_t first, uint32_t count) const {
  if (!ok_) return false;
  const uint64_t end = uint64_t(first) + count;
  for (const auto& f : fetch_) {
    const Channel& ch = channels_[f.first];
    if (!ch.used || end > ch.height || ch.zip) return false;
    if (ch.compression == 0) continue;
    // Each PackBits header yields at most 128 bytes and takes at least 2.
    const uint64_t least = 2 * ((ch.rowBytes + 127) / 128);
    for (uint32_t r = first; r < end; ++r)
      if (ch.counts[r] < least) return false;
  }
  if (mask_ >= 0 && channels_[size_t(mask_)].zip) return false;
  return true;
}

bool LayerPixels::FetchRows(uint32_t row, RowScratch& s, const uint8_t* rows[5], const uint8_t** mask) const {
  const size_t rb = size_t(rowBytes_);
  s.bytes.resize(5 * rb + PsdRowBytes(maskWidth_, format_.depth));
  for (uint32_t k = 0; k <= colors_; ++k) rows[k] = full_.data();
  for (const auto& f : fetch_) {
    const uint8_t* p = ChannelRow(channels_[f.first], row, s.bytes.data() + f.second * rb);
    if (!p) return false;
    rows[f.second] = p;
  }
  *mask = nullptr;
  if (mask_ < 0) return true;
  const int64_t y = int64_t(top_) + row;
  if (y >= maskTop_ && y < maskBottom_) {
    *mask = ChannelRow(channels_[size_t(mask_)], uint32_t(y - maskTop_), s.bytes.data() + 5 * rb);
    if (!*mask) return false;
  }
  return true;
}

bool LayerPixels::DecodeRow(uint32_t row, RowScratch& s, uint32_t* out) const {
  if (!ok_ || format_.wide) return false;
  const uint8_t* rows[5];
  const uint8_t* m;
  if (!FetchRows(row, s, rows, &m)) return false;
  if (format_.plainRgb8)
    InterleaveRow(rows, width_, out);
  else
    format_.color->ConvertRow8(rows, rows[colors_], width_, out);
  if (mask_ >= 0) ApplyMask(m, reinterpret_cast<uint8_t*>(out));
  return true;
}

bool LayerPixels::DecodeRow(uint32_t row, RowScratch& s, uint64_t* out) const {
  if (!ok_ || !format_.wide) return false;
  const uint8_t* rows[5];
  const uint8_t* m;
  if (!FetchRows(row, s, rows, &m)) return false;
  format_.color->ConvertRow(rows, rows[colors_], width_, s.color, out);
  if (mask_ >= 0) ApplyMask16(m, s, out);
  return true;
}

// Transparency times the mask row; outside the mask rectangle (or without a
// row) the mask's default colour applies.
void LayerPixels::ApplyMask(const uint8_t* m, uint8_t* px) const {
  const int64_t mx0 = int64_t(maskLeft_) - left_;
  const int64_t mx1 = int64_t(maskRight_) - left_;
  const uint32_t def = maskDefault_;
  for (size_t x = 0; x < width_; ++x) {
    const int64_t sx = int64_t(x);
    const uint32_t mv = (m && sx >= mx0 && sx < mx1) ? m[sx - mx0] : def;
    px[4 * x + 3] = uint8_t((px[4 * x + 3] * mv + 127) / 255);
  }
}

void LayerPixels::ApplyMask16(const uint8_t* m, RowScratch& s, uint64_t* px) const {
  const int64_t mx0 = int64_t(maskLeft_) - left_;
  const int64_t mx1 = int64_t(maskRight_) - left_;
  const uint64_t def = maskDefault_ * 257u;
  if (m) {
    s.mask.resize(maskWidth_);
    format_.color->Linear16(m, maskWidth_, s.mask.data());
  }
  for (size_t x = 0; x < width_; ++x) {
    const int64_t sx = int64_t(x);
    const uint64_t mv = (m && sx >= mx0 && sx < mx1) ? s.mask[size_t(sx - mx0)] : def;
    const uint64_t a = (px[x] >> 48) * mv;
    px[x] = (px[x] & 0xFFFFFFFFFFFFull) | ((a + 32767) / 65535) << 48;
  }
}

}  // namespace iio
