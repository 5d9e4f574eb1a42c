#include "chunk/file_sink.h"

#include <algorithm>
#include <cstring>

#include "chunk/chunk_format.h"

namespace chunk {

Deflater::Deflater(RawWrite raw)
    : raw_(std::move(raw)), out_(new uint8_t[kBlock]), stream_([this](const uint8_t* d, size_t n) { return put(d, n); }) {}

bool Deflater::emit(size_t n) {
  if (n == 0) return true;
  uint8_t head[8];
  StoreLe32(head, kPackedBlockMarker);
  StoreLe32(head + 4, uint32_t(n));
  static const uint8_t zeros[4] = {};
  return raw_(head, 8) && raw_(out_.get(), n) && (PadOf(n) == 0 || raw_(zeros, PadOf(n)));
}

// Appends compressed bytes, sending every full block.
bool Deflater::put(const uint8_t* data, size_t n) {
  while (n) {
    const size_t take = std::min(n, kBlock - outUsed_);
    std::memcpy(out_.get() + outUsed_, data, take);
    outUsed_ += take;
    data += take;
    n -= take;
    if (outUsed_ == kBlock) {
      if (!emit(kBlock)) return ok_ = false;
      outUsed_ = 0;
    }
  }
  return true;
}

bool Deflater::finish() {
  if (!ok() || !stream_.finish() || !emit(outUsed_)) return ok_ = false;
  outUsed_ = 0;
  uint8_t term[8];
  StoreLe32(term, kPackedBlockMarker);
  StoreLe32(term + 4, 0);
  return ok_ = raw_(term, 8);
}

FileSink::FileSink() : raw_([this](const void* d, size_t n) { return raw(d, n); }) {}

FileSink::~FileSink() { close(); }

bool FileSink::open(const char* path) {
  close();
  ok_ = true;
  file_ = base::OpenOutputFile(path);
  if (!file_) return false;
  std::setvbuf(file_, nullptr, _IOFBF, 0x40000);
  written_ = 0;
  behind_.reset(new base::WriteBehind(file_));
  return true;
}

bool FileSink::raw(const void* data, size_t size) {
  if (!file_) return false;
  if (size == 0) return true;
  if (std::fwrite(data, 1, size, file_) != size) return false;
  written_ += size;
  behind_->Wrote(written_);
  return true;
}

// Plain bytes go straight to the file, bytes of a compressed chunk through
// the deflater.
static bool Dispatch(std::unique_ptr<Deflater>& deflater, const Deflater::RawWrite& raw, SinkOp op,
                     uint64_t size, const void* data) {
  switch (op) {
    case SinkOp::Write:
      if (size > SIZE_MAX) return false;
      return deflater ? deflater->write(data, size_t(size)) : raw(data, size_t(size));
    case SinkOp::BeginPacked:
      deflater.reset(new Deflater(raw));
      return deflater->ok();
    case SinkOp::EndPacked: {
      if (!deflater) return false;
      const bool ok = deflater->finish();
      deflater.reset();
      return ok;
    }
  }
  return false;
}

bool FileSink::onSink(SinkOp op, uint64_t size, const void* data) {
  const bool r = Dispatch(deflater_, raw_, op, size, data);
  if (!r) ok_ = false;
  return r;
}

SinkFunc RawSink::func() {
  return [this](SinkOp op, uint64_t size, const void* data) {
    const bool r = Dispatch(deflater_, raw_, op, size, data);
    if (!r) ok_ = false;
    return r;
  };
}

SinkFunc FileSink::func() {
  return [this](SinkOp op, uint64_t size, const void* data) { return onSink(op, size, data); };
}

bool FileSink::close() {
  if (!file_) return false;
  // A compressed chunk left open means the stream was never finished.
  bool ok = ok_ && !deflater_;
  deflater_.reset();
  behind_.reset();
  ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  return ok;
}

}  // namespace chunk
