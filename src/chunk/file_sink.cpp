#include "chunk/file_sink.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "chunk/chunk_format.h"

namespace chunk {

struct Deflater::Stream {
  z_stream s;
};

Deflater::Deflater(RawWrite raw) : raw_(std::move(raw)), z_(new Stream), out_(new uint8_t[kBlock]) {
  std::memset(&z_->s, 0, sizeof(z_->s));
  ok_ = deflateInit2(&z_->s, 1, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  if (!ok_) {
    z_.reset();
    return;
  }
  z_->s.next_out = out_.get();
  z_->s.avail_out = kBlock;
  in_.reserve(kBatch + 0x1000);
}

Deflater::~Deflater() {
  if (z_) deflateEnd(&z_->s);
}

bool Deflater::emit() {
  const size_t n = kBlock - z_->s.avail_out;
  z_->s.next_out = out_.get();
  z_->s.avail_out = kBlock;
  if (n == 0) return true;
  uint8_t head[8];
  StoreU32(head, kPackedBlockMarker);
  StoreU32(head + 4, uint32_t(n));
  static const uint8_t zeros[4] = {};
  return raw_(head, 8) && raw_(out_.get(), n) && (PadOf(n) == 0 || raw_(zeros, PadOf(n)));
}

bool Deflater::run(int flush) {
  z_stream& s = z_->s;
  for (;;) {
    const int ret = deflate(&s, flush);
    if (ret == Z_STREAM_ERROR) return false;
    if (ret == Z_STREAM_END) return emit();
    if (s.avail_out == 0) {
      if (!emit()) return false;
      continue;
    }
    // Output space is left, so deflate took all input; with Z_FINISH that
    // would have ended the stream.
    return flush == Z_NO_FLUSH && s.avail_in == 0;
  }
}

bool Deflater::write(const void* data, size_t size) {
  if (!ok_ || finished_) return ok_ = false;
  if (!size) return true;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (in_.size() + size <= kBatch) {
    in_.insert(in_.end(), p, p + size);
    return true;
  }
  // More than a batch: deflate what is gathered, then large input directly
  // instead of copying it first.
  if (size < kBatch) {
    in_.insert(in_.end(), p, p + size);
    p = nullptr;
  }
  z_->s.next_in = in_.data();
  z_->s.avail_in = uInt(in_.size());
  ok_ = run(Z_NO_FLUSH);
  in_.clear();
  while (ok_ && p && size) {
    const size_t take = std::min<size_t>(size, 0x40000000);
    z_->s.next_in = const_cast<Bytef*>(p);
    z_->s.avail_in = uInt(take);
    ok_ = run(Z_NO_FLUSH);
    p += take;
    size -= take;
  }
  return ok_;
}

bool Deflater::finish() {
  if (!ok_ || finished_) return ok_ = false;
  finished_ = true;
  z_->s.next_in = in_.data();
  z_->s.avail_in = uInt(in_.size());
  ok_ = run(Z_FINISH);
  in_.clear();
  if (ok_) {
    uint8_t term[8];
    StoreU32(term, kPackedBlockMarker);
    StoreU32(term + 4, 0);
    ok_ = raw_(term, 8);
  }
  return ok_;
}

// The sink callback shared by both sinks: plain bytes go to raw, bytes of a
// compressed chunk through the deflater.
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

FileSink::FileSink() : raw_([this](const void* d, size_t n) { return raw(d, n); }) {}

FileSink::~FileSink() { close(); }

bool FileSink::open(const char* path) {
  close();
  ok_ = true;
  file_ = std::fopen(path, "wb");
  if (!file_) return false;
  path_ = path;
  std::setvbuf(file_, nullptr, _IOFBF, 0x40000);
  return true;
}

bool FileSink::raw(const void* data, size_t size) {
  if (!file_) return false;
  return size == 0 || std::fwrite(data, 1, size, file_) == size;
}

bool FileSink::onSink(SinkOp op, uint64_t size, const void* data) {
  const bool r = Dispatch(deflater_, raw_, op, size, data);
  if (!r) ok_ = false;
  return r;
}

SinkFunc FileSink::func() {
  return [this](SinkOp op, uint64_t size, const void* data) { return onSink(op, size, data); };
}

bool FileSink::close() {
  if (!file_) return false;
  // A compressed chunk left open means the stream was never finished.
  bool ok = ok_ && !deflater_;
  deflater_.reset();
  ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  return ok;
}

MemorySink::MemorySink()
    : raw_([this](const void* d, size_t n) {
        const uint8_t* p = static_cast<const uint8_t*>(d);
        bytes_.insert(bytes_.end(), p, p + n);
        return true;
      }) {}

bool MemorySink::onSink(SinkOp op, uint64_t size, const void* data) {
  return Dispatch(deflater_, raw_, op, size, data);
}

SinkFunc MemorySink::func() {
  return [this](SinkOp op, uint64_t size, const void* data) { return onSink(op, size, data); };
}

}  // namespace chunk
