#include "chunk/chunk_writer.h"

#include <cstring>

#include "chunk/chunk_format.h"

namespace chunk {

namespace {
const uint8_t kZeros[8] = {};

bool ValidName(const char* name) { return name && *name; }
}  // namespace

ChunkSink::ChunkSink(SinkFunc func) : func_(std::move(func)) {}

ChunkSink::~ChunkSink() = default;

bool ChunkSink::send(SinkOp op, uint64_t size, const void* data) {
  if (!ok_) return false;
  if (!func_ || !func_(op, size, data)) ok_ = false;
  return ok_;
}

ChunkWriter& ChunkSink::make(ChunkWriter* parent, bool packed) {
  writers_.emplace_back(new ChunkWriter(this, parent));
  writers_.back()->packed_ = packed;
  return *writers_.back();
}

ChunkWriter& ChunkSink::beginRoot(const char* name) {
  ChunkWriter& w = make(nullptr, false);
  if (rootBegun_ || !ValidName(name)) {
    w.fail();
  } else {
    rootBegun_ = true;
    w.putU32(kChunkMarker) && w.putString(name, std::strlen(name));
  }
  return w;
}

bool ChunkWriter::fail() {
  ok_ = false;
  sink_->ok_ = false;
  return false;
}

bool ChunkWriter::usable() const {
  return ok_ && sink_->ok_ && !ended_ && !openChild_;
}

bool ChunkWriter::canWriteValue() const { return usable() && children_ == 0 && !arrayOpen_; }

bool ChunkWriter::put(const void* data, uint64_t size) {
  if (!size) return true;
  return sink_->send(SinkOp::Write, size, data) || fail();
}

bool ChunkWriter::putU32(uint32_t v) {
  uint8_t b[4];
  StoreLe32(b, v);
  return put(b, 4);
}

bool ChunkWriter::pad(uint64_t n) { return put(kZeros, PadOf(n)); }

bool ChunkWriter::putString(const char* s, size_t len) {
  const uint64_t total = StringBytes(len);
  uint8_t small[256];
  if (total <= sizeof(small)) {
    std::memset(small, 0, size_t(total));
    StoreLe32(small, uint32_t(len));
    std::memcpy(small + 4, s, len);
    return put(small, total);
  }
  return putU32(uint32_t(len)) && put(s, len) && put(kZeros, total - 4 - len);
}

bool ChunkWriter::writeValue(const char* name, uint64_t size, const void* data) {
  if (!canWriteValue()) return fail();
  if (!ValidName(name) || size > kMaxPlainValueSize || (size && !data)) return fail();
  if (!putString(name, std::strlen(name)) || !putU32(uint32_t(size)) || !put(data, size) || !pad(size))
    return false;
  ++values_;
  return true;
}

bool ChunkWriter::beginArray(const char* name, uint32_t count, uint32_t elemSize) {
  if (!canWriteValue()) return fail();
  if (!ValidName(name) || elemSize == 0 || elemSize >= kMaxPlainValueSize) return fail();
  if (!putString(name, std::strlen(name)) || !putU32(0u - elemSize) || !putU32(count)) return false;
  arrayOpen_ = true;
  arrayElemSize_ = elemSize;
  arrayCount_ = count;
  arrayWritten_ = 0;
  return true;
}

bool ChunkWriter::writeElements(const void* data, uint32_t n) {
  if (!usable() || !arrayOpen_ || n > arrayCount_ - arrayWritten_ || (n && !data)) return fail();
  if (!put(data, uint64_t(n) * arrayElemSize_)) return false;
  arrayWritten_ += n;
  return true;
}

bool ChunkWriter::endArray() {
  // An incomplete array would shift every later byte of the file.
  if (!usable() || !arrayOpen_ || arrayWritten_ != arrayCount_) return fail();
  if (!pad(uint64_t(arrayElemSize_) * arrayCount_)) return false;
  arrayOpen_ = false;
  arrayElemSize_ = arrayCount_ = arrayWritten_ = 0;
  ++values_;
  return true;
}

bool ChunkWriter::closeValues() {
  if (children_ != 0) return true;
  if (!putU32(0)) return false;
  values_ = 0xFFFFFFFFu;
  return true;
}

ChunkWriter& ChunkWriter::openChild(const char* name, bool packed) {
  const bool can = usable() && !arrayOpen_ && ValidName(name);
  ChunkWriter& child = sink_->make(this, packed);
  if (!can) {
    fail();
    child.fail();
    return child;
  }
  openChild_ = &child;
  if (!closeValues()) {
    child.fail();
    return child;
  }
  ++children_;
  const size_t len = std::strlen(name);
  if (packed && sink_->nesting_ == 0) {
    if (!child.putU32(kPackedChunkMarker) || !sink_->send(SinkOp::BeginPacked, 0, nullptr)) {
      child.fail();
      return child;
    }
    sink_->nesting_ = 1;
  } else {
    if (packed) ++sink_->nesting_;
    if (!child.putU32(kChunkMarker)) return child;
  }
  child.putString(name, len);
  return child;
}

ChunkWriter& ChunkWriter::beginChild(const char* name) { return openChild(name, false); }

ChunkWriter& ChunkWriter::beginPackedChild(const char* name) { return openChild(name, true); }

bool ChunkWriter::end() {
  const bool can = usable() && !arrayOpen_;
  const bool wasEnded = ended_;
  ended_ = true;
  if (parent_ && parent_->openChild_ == this) parent_->openChild_ = nullptr;
  if (!can) {
    if (!wasEnded && ok_ && sink_->ok_) fail();
    return false;
  }
  if (!closeValues() || !putU32(kChunkMarker) || !putU32(0)) return false;
  children_ = 0xFFFFFFFFu;
  if (packed_ && sink_->nesting_ > 0 && --sink_->nesting_ == 0) {
    if (!sink_->send(SinkOp::EndPacked, 0, nullptr)) return fail();
  }
  return ok();
}

bool ChunkWriter::writeU32(const char* name, uint32_t value) {
  uint8_t b[4];
  StoreLe32(b, value);
  return writeValue(name, 4, b);
}

bool ChunkWriter::writeBool(const char* name, bool value) { return writeU32(name, value ? 1u : 0u); }

bool ChunkWriter::writeString(const char* name, const char* text) {
  return writeString(name, std::string(text ? text : ""));
}

bool ChunkWriter::writeString(const char* name, const std::string& text) {
  const uint64_t len = text.size();
  const uint64_t total = (len + 8) & ~uint64_t(3);
  if (total > kMaxPlainValueSize) return fail();
  std::vector<uint8_t> data(size_t(total), 0);
  StoreLe32(data.data(), uint32_t(len));
  std::memcpy(data.data() + 4, text.data(), size_t(len));
  return writeValue(name, total, data.data());
}

}  // namespace chunk
