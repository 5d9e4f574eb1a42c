// In-memory destinations for the writers under test: the chunk writer's
// sink, compressing as the program's file sink does, and a seekable byte
// stream for the PSD writer.
#pragma once
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "chunk/file_sink.h"
#include "iio/image_io.h"

namespace ts {

class MemorySink {
 public:
  MemorySink() = default;
  MemorySink(const MemorySink&) = delete;
  MemorySink& operator=(const MemorySink&) = delete;

  chunk::SinkFunc func() {
    return [this](chunk::SinkOp op, uint64_t size, const void* data) { return onSink(op, size, data); };
  }
  bool onSink(chunk::SinkOp op, uint64_t size, const void* data) {
    switch (op) {
      case chunk::SinkOp::Write:
        return deflater_ ? deflater_->write(data, size_t(size)) : raw(data, size_t(size));
      case chunk::SinkOp::BeginPacked:
        deflater_ = std::make_unique<chunk::Deflater>([this](const void* d, size_t n) { return raw(d, n); });
        return deflater_->ok();
      case chunk::SinkOp::EndPacked: {
        const bool ok = deflater_ && deflater_->finish();
        deflater_.reset();
        return ok;
      }
    }
    return false;
  }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  bool raw(const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + size);
    return true;
  }
  std::vector<uint8_t> bytes_;
  std::unique_ptr<chunk::Deflater> deflater_;
};

class MemoryStream : public iio::ImageDestBase {
 public:
  size_t Write(const void* bytes, size_t count) override {
    if (pos_ + count > bytes_.size()) bytes_.resize(size_t(pos_ + count));
    if (count) std::memcpy(bytes_.data() + pos_, bytes, count);
    pos_ += count;
    return count;
  }
  uint64_t Size() const override { return bytes_.size(); }
  uint64_t Tell() const override { return pos_; }
  bool Seek(uint64_t position) override {
    if (position > bytes_.size()) bytes_.resize(size_t(position));
    pos_ = position;
    return true;
  }
  bool Close() override { return true; }
  void Discard() override { bytes_.clear(), pos_ = 0; }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  uint64_t pos_ = 0;
};

// A stream that refuses every write that would pass `limit` bytes, or with
// `once` only the first one.
class ShortStream : public MemoryStream {
 public:
  explicit ShortStream(uint64_t limit = UINT64_MAX, bool once = false) : limit_(limit), once_(once) {}
  size_t Write(const void* bytes, size_t count) override {
    if (Tell() + count <= limit_ || (once_ && !refused_.empty())) return MemoryStream::Write(bytes, count);
    if (refused_.empty())
      refused_ = "the stream refused " + std::to_string(count) + " bytes at " + std::to_string(Tell());
    return 0;
  }
  // The first refused write, as the PSD writer's failure detail ends.
  const std::string& Refused() const { return refused_; }

 private:
  uint64_t limit_;
  bool once_;
  std::string refused_;
};

}  // namespace ts
