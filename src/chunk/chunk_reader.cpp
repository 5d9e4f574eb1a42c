#include "chunk/chunk_reader.h"

#include <algorithm>
#include <cstring>

#include "chunk/chunk_format.h"
#include "chunk/inflater.h"

namespace chunk {

namespace {
// Large values are read in pieces so that progress can be reported.
constexpr uint64_t kPiece = 0x100000;
ReadAllListener gReadAll;
}  // namespace

// State shared by all chunks of one parse.
class ChunkReaderState {
 public:
  ChunkReaderState(IListener* listener, DataSrcBase& src, const ReadLimits& limits)
      : listener_(listener ? listener : &gReadAll), src_(src), limits_(limits),
        budget_(limits.account ? UINT64_MAX : limits.InflateBudget(src.size())) {}

  // Parses one chunk into c. endRecord is set when the bytes were an end
  // record instead of a chunk.
  bool parse(ChunkSA& c, uint32_t depth, bool skip, bool& endRecord);
  // The root's values into c, and where each child lies instead of the
  // children themselves; packedRoot is set for a compressed root.
  bool index(ChunkSA& c, std::vector<ChunkSpan>& children, bool& packedRoot);
  uint64_t inflated() const { return inflated_; }
  // The parse stopped before a chunk named limits.stopBefore.
  bool stopped() const { return stopped_; }

 private:
  bool progress() { return listener_->onProgress(depth_, src_.position(), src_.size()); }
  bool mayArrive(uint64_t n) const { return inflater_ ? inflater_->mayArrive(n) : n <= src_.remaining(); }
  bool readU32(uint32_t& v);
  bool readTo(uint8_t* dst, uint64_t n) { return inflater_ ? inflater_->readTo(dst, n) : src_.readTo(dst, n); }
  bool skipBytes(uint64_t n) { return inflater_ ? inflater_->skip(n) : src_.skip(n); }
  bool readName(uint32_t len, std::string& out);
  bool readValue(uint64_t n, std::unique_ptr<uint8_t[]>& out);
  bool sinkValue(uint64_t n, IValueSink& sink);
  bool skipPackedBlocks();
  bool openPacked();
  bool closePacked(bool ok);
  bool parseBody(ChunkSA& c, uint32_t depth, bool skip, bool& endRecord);
  bool parseValues(ChunkSA& c, uint32_t depth, bool skip);

  IListener* listener_;
  DataSrcBase& src_;
  ReadLimits limits_;
  uint32_t nesting_ = 0;  // open compressed chunks
  uint32_t depth_ = 0;    // chunk being read
  std::unique_ptr<Inflater> inflater_;
  uint64_t budget_;        // bytes all compressed chunks may inflate to
  uint64_t inflated_ = 0;  // by inflaters already closed
  std::unique_ptr<uint8_t[]> piece_;  // bytes on their way to a value sink
  bool stopped_ = false;
};

bool ChunkReaderState::readU32(uint32_t& v) {
  if (inflater_) return inflater_->readU32(v);
  const uint8_t* p = src_.read(4);
  if (!p) return false;
  v = LoadLe32(p);
  return true;
}

bool ChunkReaderState::readName(uint32_t len, std::string& out) {
  if (len > limits_.maxNameLength) return false;
  const uint64_t bytes = (uint64_t(len) + 4) & ~uint64_t(3);
  if (!mayArrive(bytes)) return false;
  out.resize(bytes);
  if (!readTo(reinterpret_cast<uint8_t*>(&out[0]), bytes)) return false;
  out.resize(len);
  // Names are looked up as C strings; one with a zero byte inside could be
  // listed but never found.
  return std::memchr(out.data(), 0, len) == nullptr;
}

// Reads n value bytes. Raw bytes exist in the source, so their buffer is
// allocated at once; inflated bytes get a buffer that grows with them.
bool ChunkReaderState::readValue(uint64_t n, std::unique_ptr<uint8_t[]>& out) {
  if (n > SIZE_MAX / 2) return false;
  const bool pieces = n >= kPiece;
  uint64_t cap = inflater_ ? std::min(n, kPiece) : n;
  std::unique_ptr<uint8_t[]> buf(new uint8_t[size_t(cap)]);
  uint64_t done = 0;
  while (done < n) {
    if (done == cap) {
      const uint64_t grown = std::min(n, cap * 2);
      std::unique_ptr<uint8_t[]> bigger(new uint8_t[size_t(grown)]);
      std::memcpy(bigger.get(), buf.get(), size_t(done));
      buf = std::move(bigger);
      cap = grown;
    }
    if (pieces && progress()) return false;
    const uint64_t take = std::min({n - done, kPiece, cap - done});
    if (!readTo(buf.get() + done, take)) return false;
    done += take;
  }
  out = std::move(buf);
  return true;
}

// Hands n value bytes to a sink in pieces.
bool ChunkReaderState::sinkValue(uint64_t n, IValueSink& sink) {
  if (!piece_) piece_.reset(new uint8_t[kPiece]);
  const bool pieces = n >= kPiece;
  for (uint64_t done = 0; done < n;) {
    if (pieces && progress()) return false;
    const size_t take = size_t(std::min(n - done, kPiece));
    if (!readTo(piece_.get(), take) || !sink.take(piece_.get(), take)) return false;
    done += take;
  }
  return true;
}

bool ChunkReaderState::skipPackedBlocks() {
  for (;;) {
    const uint8_t* h = src_.read(8);
    if (!h || LoadLe32(h) != kPackedBlockMarker) return false;
    const uint32_t count = LoadLe32(h + 4);
    if (count == 0) return true;
    if (!src_.skip((uint64_t(count) + 3) & ~uint64_t(3))) return false;
  }
}

bool ChunkReaderState::openPacked() {
  if (nesting_++ > 0) return true;
  const uint64_t budget = budget_ - std::min(inflated_, budget_);
  inflater_.reset(new Inflater(src_, budget, [this] { return progress(); }, limits_.account));
  return inflater_->begin();
}

bool ChunkReaderState::closePacked(bool ok) {
  if (--nesting_ > 0) return ok;
  // A stopped parse leaves the rest of the stream unread.
  ok = ok && (stopped_ || inflater_->finish());
  inflated_ += inflater_->totalOut();
  inflater_.reset();
  return ok;
}

bool ChunkReaderState::parse(ChunkSA& c, uint32_t depth, bool skip, bool& endRecord) {
  endRecord = false;
  depth_ = depth;
  if (progress()) return false;
  uint32_t marker;
  if (!readU32(marker)) return false;
  if (marker == kChunkMarker) return parseBody(c, depth, skip, endRecord);
  if (marker != kPackedChunkMarker) return false;
  if (skip && !inflater_) return skipPackedBlocks();
  // Inside a compressed stream a packed marker only adds a nesting level of
  // the same stream.
  if (!openPacked()) {
    closePacked(false);
    return false;
  }
  const bool ok = parseBody(c, depth, skip, endRecord);
  return closePacked(ok);
}

bool ChunkReaderState::parseValues(ChunkSA& c, uint32_t depth, bool skip) {
  const ValuePolicy policy = skip ? ValuePolicy::SkipAll : listener_->valuePolicy(depth);
  for (;;) {
    uint32_t len;
    if (!readU32(len)) return false;
    if (len == 0) return true;
    std::string name;
    if (!readName(len, name)) return false;
    uint32_t s;
    if (!readU32(s)) return false;
    uint64_t elem = s, count = 1;
    if (s > kMaxPlainValueSize) {
      uint32_t n;
      if (!readU32(n)) return false;
      elem = 0u - s;
      count = n;
    }
    const uint64_t bytes = elem * count;  // both < 2^32: no wrap
    const uint32_t pad = PadOf(bytes);
    bool keep = policy == ValuePolicy::ReadAll ||
                (policy != ValuePolicy::SkipAll && listener_->wantValue(depth, name.c_str()));
    // Only the first of a repeated name can be looked up.
    if (keep && c.values_.count(name)) keep = false;
    if (!mayArrive(bytes + pad)) return false;
    if (!keep) {
      if (!skipBytes(bytes + pad)) return false;
      continue;
    }
    ChunkSA::Value v{uint32_t(count), ValueRange(), nullptr};
    IValueSink* sink = s > kMaxPlainValueSize && bytes ? listener_->valueSink(depth, c, name.c_str(), elem, count)
                                                       : nullptr;
    if (sink) {
      if (!sinkValue(bytes, *sink)) return false;
      v.sink = sink;
    } else if (bytes) {
      std::unique_ptr<uint8_t[]> data;
      if (!readValue(bytes, data)) return false;
      v.range.begin = data.get();
      v.range.end = data.get() + bytes;
      c.storage_.push_back(std::move(data));
    }
    if (pad && !skipBytes(pad)) return false;
    c.values_.emplace(name, v);
    c.valueNames_.push_back(std::move(name));
  }
}

bool ChunkReaderState::parseBody(ChunkSA& c, uint32_t depth, bool skip, bool& endRecord) {
  uint32_t len;
  if (!readU32(len)) return false;
  if (len == 0) {
    endRecord = true;
    return true;
  }
  if (depth > limits_.maxDepth || !readName(len, c.name_)) return false;
  if (depth > 0 && !skip && limits_.stopBefore && c.name_ == limits_.stopBefore) {
    stopped_ = true;
    return true;
  }
  if (!parseValues(c, depth, skip)) return false;

  const bool want = !skip && listener_->wantChildren(depth, c.name_.c_str());
  for (;;) {
    std::shared_ptr<ChunkSA> child(new ChunkSA());
    bool end;
    if (!parse(*child, depth + 1, !want, end)) return false;
    if (stopped_) {
      // The child that stopped the parse is not listed; its parents end here.
      if (child->name_ == limits_.stopBefore) child.reset();
      if (child && !c.children_.count(child->name_)) {
        c.childNames_.push_back(child->name_);
        c.children_.emplace(child->name_, std::move(child));
      }
      return true;
    }
    if (end) {
      if (want) listener_->onChildrenEnd(depth);
      break;
    }
    if (want && !c.children_.count(child->name_)) {
      c.childNames_.push_back(child->name_);
      c.children_.emplace(child->name_, std::move(child));
    }
  }
  depth_ = depth;
  return true;
}

bool ChunkReaderState::index(ChunkSA& c, std::vector<ChunkSpan>& children, bool& packedRoot) {
  depth_ = 0;
  if (progress()) return false;
  uint32_t marker;
  if (!readU32(marker)) return false;
  if (marker == kPackedChunkMarker) packedRoot = true;
  if (marker != kChunkMarker) return false;
  uint32_t len;
  if (!readU32(len) || len == 0 || !readName(len, c.name_)) return false;
  if (!parseValues(c, 0, false)) return false;
  for (;;) {
    const uint64_t start = src_.position();
    ChunkSA child;
    bool end;
    if (!parse(child, 1, true, end)) return false;
    if (end) return true;
    children.push_back(ChunkSpan{child.name_, start, src_.position() - start});
  }
}

ChunkSA::ChunkSA() = default;

ChunkSA::ChunkSA(IListener* listener, DataSrcBase& src, const ReadLimits& limits) {
  src.rewind();
  ChunkReaderState state(listener, src, limits);
  bool end = false;
  ok_ = state.parse(*this, 0, false, end) && !end;
  complete_ = !state.stopped();
  inflated_ = state.inflated();
  if (!ok_) clear();
}

ChunkIndex::ChunkIndex(IListener* listener, DataSrcBase& src, const ReadLimits& limits) : root_(new ChunkSA()) {
  src.rewind();
  ChunkReaderState state(listener, src, limits);
  ok_ = state.index(*root_, children_, packedRoot_);
  if (!ok_) {
    root_->clear();
    children_.clear();
  }
}

ChunkIndex::~ChunkIndex() = default;

ChunkSA::~ChunkSA() = default;

void ChunkSA::clear() {
  name_.clear();
  values_.clear();
  valueNames_.clear();
  storage_.clear();
  children_.clear();
  childNames_.clear();
}

uint32_t ChunkSA::findValue(const char* name, ValueRange& out) const {
  if (!name) return kNoValue;
  auto it = values_.find(name);
  if (it == values_.end()) return kNoValue;
  out = it->second.range;
  return it->second.count;
}

IValueSink* ChunkSA::valueSinkOf(const char* name) const {
  if (!name) return nullptr;
  auto it = values_.find(name);
  return it == values_.end() ? nullptr : it->second.sink;
}

std::shared_ptr<const IChunkBase> ChunkSA::findChild(const char* name) const {
  if (!name) return nullptr;
  auto it = children_.find(name);
  return it == children_.end() ? nullptr : it->second;
}

}  // namespace chunk
