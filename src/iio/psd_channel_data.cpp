// Channel data: each layer's channels, one after another in the order of
// its channel table, each a compression value and the rows.
#include <cstring>

#include "iio/packbits.h"
#include "iio/psd_sections.h"

namespace iio {

namespace {

uint32_t Side(int32_t lo, int32_t hi) { return hi > lo ? uint32_t(int64_t(hi) - lo) : 0; }

}  // namespace

void InterleaveRow(const uint8_t* const rows[4], size_t w, uint32_t* out) {
  const uint8_t *r = rows[0], *g = rows[1], *b = rows[2], *a = rows[3];
  for (size_t x = 0; x < w; ++x)
    out[x] = uint32_t(r[x]) | uint32_t(g[x]) << 8 | uint32_t(b[x]) << 16 | uint32_t(a[x]) << 24;
}

LayerPixels::LayerPixels(DataSrcBase& src, const LayerRecord& record)
    : left_(record.param.left),
      top_(record.param.top),
      maskLeft_(record.param.maskLeft),
      maskTop_(record.param.maskTop),
      maskRight_(record.param.maskRight),
      maskBottom_(record.param.maskBottom),
      maskDefault_(record.param.maskDefault) {
  const layer_param_t& p = record.param;
  width_ = uint32_t(p.Width());
  height_ = uint32_t(p.Height());

  uint64_t total = 0;
  for (const psd_channel_t& e : record.table) total += e.length;  // at most 56 x 4 GiB
  if (!DeclaredFits(total, src.remaining())) return;
  if (!src.readInto(data_, total)) return;

  const bool applyMask = record.hasMask && p.maskEnabled;
  const uint32_t maskW = Side(p.maskLeft, p.maskRight);
  const uint32_t maskH = Side(p.maskTop, p.maskBottom);
  bool alpha = false;
  channels_.resize(record.table.size());
  uint64_t offset = 0;
  for (size_t i = 0; i < record.table.size(); ++i) {
    Channel& ch = channels_[i];
    ch.id = record.table[i].id;
    const bool mask = ch.id == -2;
    ch.used = (ch.id >= -1 && ch.id <= 2) || (mask && applyMask);
    ch.width = mask ? maskW : width_;
    ch.height = mask ? maskH : height_;
    if (ch.used && !SetUp(ch, offset, record.table[i].length)) return;
    offset += record.table[i].length;
    if (ch.id >= 0 && ch.id <= 2) {
      fetch_.emplace_back(uint32_t(i), ch.id);
    } else if (ch.id == -1 && !alpha) {
      alpha = true;
      fetch_.emplace_back(uint32_t(i), 3);
    } else if (mask && applyMask && mask_ < 0) {
      mask_ = int(i);
      maskWidth_ = maskW;
    }
  }
  bool fed[4] = {};
  for (const auto& f : fetch_) fed[f.second] = true;
  if (!(fed[0] && fed[1] && fed[2] && fed[3])) opaque_.assign(width_, 0xFF);
  ok_ = true;
}

bool LayerPixels::SetUp(Channel& ch, uint64_t offset, uint64_t length) {
  const uint64_t pixels = uint64_t(ch.width) * ch.height;
  // Nothing stored: acceptable only where there is nothing to store.
  if (length < 2) return pixels == 0;
  ch.compression = LoadBe16(&data_[size_t(offset)]);
  ch.rows = offset + 2;
  const uint64_t body = length - 2;
  if (ch.compression == 0) return DeclaredFits(pixels, body);
  if (ch.compression != 1) return false;  // zip and unknown methods
  const uint64_t tableBytes = uint64_t(ch.height) * 2;
  if (!DeclaredFits(tableBytes, body)) return false;
  ch.counts.resize(ch.height);
  ch.offsets.resize(ch.height);
  const uint8_t* t = &data_[size_t(ch.rows)];
  uint64_t sum = tableBytes;
  for (uint32_t r = 0; r < ch.height; ++r) {
    ch.counts[r] = LoadBe16(t + 2 * r);
    ch.offsets[r] = sum;
    sum += ch.counts[r];
  }
  return DeclaredFits(sum, body);
}

const uint8_t* LayerPixels::ChannelRow(const Channel& ch, uint32_t row, uint8_t* dst) const {
  if (!ch.used || row >= ch.height) return nullptr;
  if (ch.compression == 0) return data_.data() + ch.rows + uint64_t(row) * ch.width;
  const uint8_t* src = data_.data() + ch.rows + ch.offsets[row];
  return PackBitsDecode(dst, dst + ch.width, src, src + ch.counts[row]) ? dst : nullptr;
}

bool LayerPixels::RowsPlausible(uint32_t first, uint32_t count) const {
  if (!ok_) return false;
  const uint64_t end = uint64_t(first) + count;
  for (const auto& f : fetch_) {
    const Channel& ch = channels_[f.first];
    if (!ch.used || end > ch.height) return false;
    if (ch.compression == 0) continue;
    // Each PackBits header yields at most 128 bytes and takes at least 2.
    const uint64_t least = 2 * ((uint64_t(ch.width) + 127) / 128);
    for (uint32_t r = first; r < end; ++r)
      if (ch.counts[r] < least) return false;
  }
  return true;
}

bool LayerPixels::DecodeRow(uint32_t row, uint8_t* scratch, uint32_t* out) const {
  if (!ok_) return false;
  const size_t w = width_;
  const uint8_t* rows[4] = {opaque_.data(), opaque_.data(), opaque_.data(), opaque_.data()};
  for (const auto& f : fetch_) {
    const uint8_t* p = ChannelRow(channels_[f.first], row, scratch + size_t(f.second) * w);
    if (!p) return false;
    rows[f.second] = p;
  }
  InterleaveRow(rows, w, out);
  if (mask_ < 0) return true;
  const int64_t y = int64_t(top_) + row;
  const uint8_t* m = nullptr;
  if (y >= maskTop_ && y < maskBottom_) {
    m = ChannelRow(channels_[size_t(mask_)], uint32_t(y - maskTop_), scratch + 4 * w);
    if (!m) return false;
  }
  ApplyMask(m, reinterpret_cast<uint8_t*>(out));
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

}  // namespace iio
