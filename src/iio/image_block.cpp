#include "iio/image_block.h"

#include <algorithm>
#include <cstring>

#include "iio/packbits.h"
#include "iio/psd_bytes.h"

namespace iio {

namespace {

uint32_t Side(int32_t lo, int32_t hi) { return hi > lo ? uint32_t(int64_t(hi) - lo) : 0; }

int MergedChannelId(uint32_t index) {
  if (index <= 2) return int(index);
  return index == 3 ? -1 : kUnusedChannel;
}

void InitMergedRecord(layer_param_t& rec, int32_t left, int32_t top, int32_t right,
                      int32_t bottom, uint32_t channels, uint32_t depth) {
  rec.name = kMergedImageName;
  rec.left = left;
  rec.top = top;
  rec.right = right;
  rec.bottom = bottom;
  rec.channelCount = channels;
  rec.depth = depth;
}

}  // namespace

const uint8_t* ImageBlockBase::RowInto(uint32_t row, uint32_t index, uint8_t* dst) {
  const uint8_t* p = Row(row, index);
  if (!p) return nullptr;
  std::memcpy(dst, p, ChannelWidth(index));
  return dst;
}

ImageBlockRAW::ImageBlockRAW(DataSrcBase& src, int32_t left, int32_t top, int32_t right,
                             int32_t bottom, uint32_t channels, uint32_t depth)
    : ImageBlockBase(src), channels_(channels) {
  InitMergedRecord(*this, left, top, right, bottom, channels, depth);
  width_ = Side(left, right);
  height_ = Side(top, bottom);
  uint64_t bits, total;
  if (!MulSize(depth, width_, &bits)) return;
  rowSize_ = bits / 8;
  if (!MulSize(rowSize_, uint64_t(height_) * channels, &total)) return;
  start_ = src.position();
  ok_ = DeclaredFits(total, src.remaining());
}

int ImageBlockRAW::ChannelId(uint32_t index) const { return MergedChannelId(index); }

const uint8_t* ImageBlockRAW::Row(uint32_t row, uint32_t index) {
  if (!ok_ || row >= height_ || index >= channels_) return nullptr;
  if (!src_->seek(start_ + (uint64_t(index) * height_ + row) * rowSize_)) return nullptr;
  return src_->read(rowSize_);
}

ImageBlockRLE::ImageBlockRLE(DataSrcBase& src, int32_t left, int32_t top, int32_t right,
                             int32_t bottom, uint32_t channels, uint32_t depth)
    : ImageBlockBase(src), channels_(channels) {
  InitMergedRecord(*this, left, top, right, bottom, channels, depth);
  width_ = Side(left, right);
  height_ = Side(top, bottom);
  uint64_t bits, rows, tableBytes;
  if (!MulSize(depth, width_, &bits)) return;
  rowSize_ = bits / 8;
  if (!MulSize(height_, channels, &rows) || !MulSize(rows, 2, &tableBytes)) return;
  if (!DeclaredFits(tableBytes, src.remaining())) return;
  std::vector<uint8_t> table;
  if (!src.readInto(table, tableBytes)) return;
  counts_.resize(size_t(rows));
  offsets_.resize(size_t(rows));
  uint64_t sum = 0;
  for (size_t i = 0; i < rows; ++i) {
    counts_[i] = LoadBe16(&table[2 * i]);
    offsets_[i] = sum;
    sum += counts_[i];
  }
  start_ = src.position();
  if (!DeclaredFits(sum, src.remaining())) return;
  rowBuf_.resize(size_t(rowSize_) + 128);
  ok_ = true;
}

int ImageBlockRLE::ChannelId(uint32_t index) const { return MergedChannelId(index); }

const uint8_t* ImageBlockRLE::Row(uint32_t row, uint32_t index) {
  if (!ok_ || row >= height_ || index >= channels_) return nullptr;
  const size_t i = size_t(index) * height_ + row;
  if (!src_->seek(start_ + offsets_[i])) return nullptr;
  const uint8_t* p = counts_[i] ? src_->read(counts_[i]) : nullptr;
  if (counts_[i] && !p) return nullptr;
  uint8_t* dst = rowBuf_.data();
  if (!PackBitsDecode(dst, dst + rowSize_, p, p + counts_[i])) return nullptr;
  return dst;
}

ImageBlockMixCh::ImageBlockMixCh(DataSrcBase& src, const layer_param_t& record,
                                 const std::vector<psd_channel_t>& table, bool serveMask)
    : ImageBlockBase(src) {
  static_cast<layer_param_t&>(*this) = record;
  width_ = uint32_t(record.Width());
  height_ = uint32_t(record.Height());
  rowSize_ = width_;

  uint64_t total = 0;
  for (const psd_channel_t& e : table) total += e.length;  // at most 56 x 4 GiB
  if (!DeclaredFits(total, src.remaining())) return;
  if (!src.readInto(data_, total)) return;

  const uint32_t maskW = Side(record.maskLeft, record.maskRight);
  const uint32_t maskH = Side(record.maskTop, record.maskBottom);
  channels_.resize(table.size());
  uint64_t offset = 0;
  for (size_t i = 0; i < table.size(); ++i) {
    Channel& ch = channels_[i];
    ch.id = table[i].id;
    ch.mask = ch.id == -2;
    ch.served = (ch.id >= -1 && ch.id <= 2) || (ch.mask && serveMask);
    ch.width = ch.mask ? maskW : width_;
    ch.height = ch.mask ? maskH : height_;
    if (ch.served && !SetUp(ch, offset, table[i].length)) return;
    offset += table[i].length;
  }
  rowBuf_.resize(size_t(std::max(width_, maskW)) + 128);
  ok_ = true;
}

bool ImageBlockMixCh::SetUp(Channel& ch, uint64_t offset, uint64_t length) {
  const uint64_t pixels = uint64_t(ch.width) * ch.height;
  if (length < 2) {
    // Nothing stored: acceptable only where there is nothing to store.
    ch.served = pixels != 0 ? false : ch.served;
    return pixels == 0;
  }
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

int ImageBlockMixCh::ChannelId(uint32_t index) const {
  return index < channels_.size() ? channels_[index].id : kUnusedChannel;
}

uint32_t ImageBlockMixCh::ChannelWidth(uint32_t index) const {
  return index < channels_.size() ? channels_[index].width : 0;
}

uint32_t ImageBlockMixCh::ChannelHeight(uint32_t index) const {
  return index < channels_.size() ? channels_[index].height : 0;
}

const uint8_t* ImageBlockMixCh::Row(uint32_t row, uint32_t index) { return RowInto(row, index, rowBuf_.data()); }

const uint8_t* ImageBlockMixCh::RowInto(uint32_t row, uint32_t index, uint8_t* dst) {
  if (!ok_ || index >= channels_.size()) return nullptr;
  const Channel& ch = channels_[index];
  if (!ch.served || row >= ch.height) return nullptr;
  if (ch.compression == 0) return data_.data() + ch.rows + uint64_t(row) * ch.width;
  const uint8_t* src = data_.data() + ch.rows + ch.offsets[row];
  if (!PackBitsDecode(dst, dst + ch.width, src, src + ch.counts[row])) return nullptr;
  return dst;
}

bool ImageBlockMixCh::RowsPlausible(uint32_t index, uint32_t row0, uint32_t row1) const {
  if (!ok_ || index >= channels_.size()) return false;
  const Channel& ch = channels_[index];
  if (!ch.served || row1 > ch.height) return false;
  if (ch.compression == 0) return true;
  // Each PackBits header yields at most 128 bytes and takes at least 2.
  const uint64_t least = 2 * ((uint64_t(ch.width) + 127) / 128);
  for (uint32_t r = row0; r < row1; ++r)
    if (ch.counts[r] < least) return false;
  return true;
}

std::unique_ptr<ImageBlockBase> MakeImageBlock(DataSrcBase& src, uint32_t compression,
                                               int32_t left, int32_t top, int32_t right,
                                               int32_t bottom, uint32_t channels, uint32_t depth) {
  std::unique_ptr<ImageBlockBase> block;
  if (compression == 0)
    block.reset(new ImageBlockRAW(src, left, top, right, bottom, channels, depth));
  else if (compression == 1)
    block.reset(new ImageBlockRLE(src, left, top, right, bottom, channels, depth));
  if (block && !block->ok()) block.reset();
  return block;
}

}  // namespace iio
