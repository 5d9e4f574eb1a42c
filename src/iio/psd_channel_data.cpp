// Channel data: each layer's channels, one after another in the order of
// its channel table, each a compression value and the rows.
#include <algorithm>
#include <cstring>

#include "iio/psd_sections.h"

namespace iio {

namespace {

uint32_t Side(int32_t lo, int32_t hi) { return hi > lo ? uint32_t(int64_t(hi) - lo) : 0; }

}  // namespace

// The layer's channel data in memory: rows are read in place, so that any
// threads may read them at once.
class LayerPixels::Bytes final : public ChannelBytes {
 public:
  Bytes(const std::vector<uint8_t>& data, uint16_t depth) : data_(data), depth_(depth) {}
  const uint8_t* Read(uint64_t at, uint64_t) const override { return data_.data() + at; }
  const uint8_t* Keep(uint64_t at, uint64_t, uint8_t*) const override { return data_.data() + at; }
  bool StartZip(const ChannelRows& ch) const override {
    ch.zip.reset(new PsdZipRows(data_.data() + ch.start, size_t(ch.length), ch.width, ch.height, depth_,
                                ch.compression == 3));
    return true;
  }

 private:
  const std::vector<uint8_t>& data_;
  uint16_t depth_;
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
  for (const psd_channel_t& e : record.table) {
    if (!AddSize(total, e.length, &total)) {
      failure_ = "its channel lengths add up past any file";
      return;
    }
  }
  if (!DeclaredFits(total, src.remaining())) {
    failure_ =
        "channel data of " + Num(total) + " bytes, past the file's end (" + Num(src.remaining()) + " bytes left)";
    return;
  }
  // The buffer is taken when it holds the data and is not far larger (it
  // stays beside the layer's cells); a new one has room for a somewhat
  // larger next layer, so that the bytes never move.
  if (buffer.capacity() >= total && buffer.capacity() / 2 <= total) {
    data_ = std::move(buffer);
  } else {
    buffer = std::vector<uint8_t>();
    data_.reserve(size_t(total + total / 8));
  }
  if (!src.readInto(data_, total)) {
    failure_ = "its " + Num(total) + " bytes of channel data cannot be read";
    return;
  }

  // A bitmap's masks would be bits; no writer makes layers in that mode.
  const bool applyMask = record.hasMask && p.maskEnabled && format.depth != 1;
  const uint32_t maskW = Side(p.maskLeft, p.maskRight);
  const uint32_t maskH = Side(p.maskTop, p.maskBottom);
  bool alpha = false;
  channels_.resize(record.table.size());
  uint64_t offset = 0;
  for (size_t i = 0; i < record.table.size(); ++i) {
    ChannelRows& ch = channels_[i];
    const int16_t id = record.table[i].id;
    ch.id = id;
    const bool mask = id == -2;
    const bool colour = id >= 0 && uint32_t(id) < colors_;
    const bool used = colour || id == -1 || (mask && applyMask);
    ch.width = mask ? maskW : width_;
    ch.height = mask ? maskH : height_;
    ch.rowBytes = PsdRowBytes(ch.width, format.depth);
    std::string why;
    if (used && !SetUp(ch, offset, record.table[i].length, &why)) {
      failure_ = "channel " + std::to_string(id) + ": " + why;
      return;
    }
    offset += record.table[i].length;
    if (colour) {
      feeds_.push_back({uint32_t(i), uint32_t(id)});
    } else if (id == -1 && !alpha) {
      alpha = true;
      feeds_.push_back({uint32_t(i), colors_});
    } else if (mask && applyMask && mask_ < 0) {
      mask_ = int(i);
      maskWidth_ = maskW;
    }
  }
  std::vector<bool> fed(colors_ + 1);
  for (const ChannelFeed& f : feeds_) fed[f.role] = true;
  if (std::find(fed.begin(), fed.end(), false) != fed.end()) full_ = FullRow(rowBytes_, format.depth);
  ok_ = true;
}

LayerPixels::~LayerPixels() = default;

bool LayerPixels::SetUp(ChannelRows& ch, uint64_t offset, uint64_t length, std::string* why) {
  const uint64_t bytes = ch.rowBytes * ch.height;  // at most 300,000 x 4 x 300,000
  // Nothing stored: acceptable only where there is nothing to store.
  if (length < 2) return bytes == 0 || Explain(why, Num(length) + " bytes for " + Num(ch.height) + " rows");
  ch.compression = LoadBe16(&data_[size_t(offset)]);
  ch.start = offset + 2;
  ch.length = length - 2;
  if (ch.compression == 0)
    return DeclaredFits(bytes, ch.length) ||
           Explain(why, "raw data of " + Num(ch.length) + " bytes for " + Num(bytes) + " bytes of rows");
  if (ch.compression == 2 || ch.compression == 3)
    return !(ch.compression == 3 && format_.depth == 1) || Explain(why, "ZIP with prediction at 1 bit");
  if (ch.compression != 1) return Explain(why, "compression " + Num(ch.compression) + " is unknown");
  // The row byte counts, then the rows.
  const uint64_t tableBytes = uint64_t(ch.height) * (format_.large ? 4 : 2);
  if (!DeclaredFits(tableBytes, ch.length))
    return Explain(why, "a PackBits row table of " + Num(tableBytes) + " bytes in data of " + Num(ch.length));
  ch.counts.reserve(ch.height);
  ch.offsets.reserve(ch.height);
  const uint64_t sum = ReadRowCounts(&data_[size_t(ch.start)], ch.height, format_.large, 0, &ch);
  ch.start += tableBytes;
  return DeclaredFits(sum, ch.length - tableBytes) ||
         Explain(why, "PackBits rows of " + Num(sum) + " bytes in data of " + Num(ch.length - tableBytes));
}

bool LayerPixels::RowsPlausible(uint32_t first, uint32_t count) const {
  if (!ok_) return false;
  const uint64_t end = uint64_t(first) + count;
  for (const ChannelFeed& f : feeds_) {
    const ChannelRows& ch = channels_[f.channel];
    if (end > ch.height || ch.compression >= 2) return false;
    if (ch.compression == 0) continue;
    // Each PackBits header yields at most 128 bytes and takes at least 2.
    const uint64_t least = 2 * ((ch.rowBytes + 127) / 128);
    for (uint32_t r = first; r < end; ++r)
      if (ch.counts[r] < least) return false;
  }
  if (mask_ >= 0 && channels_[size_t(mask_)].compression >= 2) return false;
  return true;
}

bool LayerPixels::FetchRows(uint32_t row, RowScratch& s, const uint8_t* rows[5], const uint8_t** mask,
                            std::string* why) const {
  const size_t rb = size_t(rowBytes_);
  s.bytes.resize(5 * rb + PsdRowBytes(maskWidth_, format_.depth));
  const Bytes bytes(data_, format_.depth);
  if (!FetchPixelRows(channels_, feeds_, row, bytes, format_, full_.data(), s.bytes.data(), rows, why)) return false;
  *mask = nullptr;
  if (mask_ < 0) return true;
  const int64_t y = int64_t(top_) + row;
  if (y >= maskTop_ && y < maskBottom_) {
    std::string failure;
    *mask = FetchChannelRow(channels_[size_t(mask_)], uint32_t(y - maskTop_), bytes, s.bytes.data() + 5 * rb,
                            why ? &failure : nullptr);
    if (!*mask) return Explain(why, Within("channel -2", failure));
  }
  return true;
}

bool LayerPixels::DecodeRow(uint32_t row, RowScratch& s, uint32_t* out, std::string* why) const {
  if (!ok_ || format_.wide) return false;
  const uint8_t* rows[5];
  const uint8_t* m;
  if (!FetchRows(row, s, rows, &m, why)) return false;
  ConvertPixelRows(format_, rows, width_, s, out);
  if (mask_ >= 0) ApplyMask(m, reinterpret_cast<uint8_t*>(out));
  return true;
}

bool LayerPixels::DecodeRow(uint32_t row, RowScratch& s, uint64_t* out, std::string* why) const {
  if (!ok_ || !format_.wide) return false;
  const uint8_t* rows[5];
  const uint8_t* m;
  if (!FetchRows(row, s, rows, &m, why)) return false;
  ConvertPixelRows(format_, rows, width_, s, out);
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
