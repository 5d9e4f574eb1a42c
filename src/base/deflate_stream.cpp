#include "base/deflate_stream.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "base/work_pool.h"

#if defined(YVN_HAVE_ISAL)
#include <isa-l/igzip_lib.h>
#endif

namespace base {

namespace {

// igzip always gets history (see Segment::Run): the kHistory bytes before
// the segment, which the inflater has in its window, or, in a stream's first
// segment, the first kHead bytes, which zlib deflates.
constexpr size_t kHistory = 32768;
#if defined(YVN_HAVE_ISAL)
constexpr size_t kHead = 4096;
#endif

// zlib header of a level-1 stream (no preset dictionary), as zlib writes it.
constexpr uint8_t kZlibHeader[2] = {0x78, 0x01};

// Raw deflate of n bytes appended to out, ending in a full flush, or in the
// final block when `last`. zlib level 1 with the parameters of the format.
bool DeflateZlib(const uint8_t* in, size_t n, bool last, std::vector<uint8_t>& out) {
  z_stream s;
  std::memset(&s, 0, sizeof s);
  if (deflateInit2(&s, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
  const size_t base = out.size();
  out.resize(base + deflateBound(&s, uLong(n)) + 64);
  s.next_in = const_cast<Bytef*>(in);
  s.avail_in = uInt(n);
  s.next_out = out.data() + base;
  s.avail_out = uInt(out.size() - base);
  int ret;
  for (;;) {
    ret = deflate(&s, last ? Z_FINISH : Z_FULL_FLUSH);
    if (ret == Z_STREAM_ERROR) break;
    if (last ? ret == Z_STREAM_END : (s.avail_in == 0 && s.avail_out != 0)) break;
    // Out of space (the bound is generous, but never trust it blindly).
    const size_t used = out.size() - s.avail_out;
    out.resize(out.size() * 2);
    s.next_out = out.data() + used;
    s.avail_out = uInt(out.size() - used);
  }
  out.resize(out.size() - s.avail_out);
  deflateEnd(&s);
  return ret != Z_STREAM_ERROR;
}

#if defined(YVN_HAVE_ISAL)
// The same with igzip at level 1 (raw deflate, so no wrapper flags are
// involved), with `history` as the bytes that precede `in` in the stream.
bool DeflateIsal(const uint8_t* in, size_t n, const uint8_t* history, size_t historySize, bool last,
                 std::vector<uint8_t>& out) {
  thread_local std::unique_ptr<uint8_t[]> levelBuf(new uint8_t[ISAL_DEF_LVL1_DEFAULT]);
  isal_zstream s;
  isal_deflate_init(&s);
  s.level = 1;
  s.level_buf = levelBuf.get();
  s.level_buf_size = ISAL_DEF_LVL1_DEFAULT;
  s.gzip_flag = IGZIP_DEFLATE;
  s.end_of_stream = last ? 1 : 0;
  s.flush = last ? NO_FLUSH : FULL_FLUSH;
  s.next_in = const_cast<uint8_t*>(in);
  s.avail_in = uint32_t(n);
  if (isal_deflate_set_dict(&s, const_cast<uint8_t*>(history), uint32_t(historySize)) != COMP_OK)
    return false;
  const size_t base = out.size();
  out.resize(base + n + n / 16 + 1024);
  size_t used = base;
  for (;;) {
    s.next_out = out.data() + used;
    s.avail_out = uint32_t(out.size() - used);
    const uint32_t before = s.avail_out;
    if (isal_deflate(&s) != COMP_OK) return false;
    used += before - s.avail_out;
    const bool done = last ? s.internal_state.state == ZSTATE_END
                           : s.avail_in == 0 && s.internal_state.state == ZSTATE_NEW_HDR;
    if (done) break;
    if (s.avail_out != 0 && before == s.avail_out && s.avail_in == 0 && !last) return false;
    out.resize(out.size() * 2);
  }
  out.resize(used);
  return true;
}
#endif

}  // namespace

struct DeflateStream::Segment {
  std::vector<uint8_t> in;
  std::vector<uint8_t> history;  // the stream's bytes just before `in`
  std::vector<uint8_t> out;
  size_t size = 0;  // input bytes
  uint32_t adler = 1;
  bool last = false;
  bool ok = false;
  Task task;  // last member: waited for before the buffers go

  void Run() {
    out.clear();
#if defined(YVN_HAVE_ISAL)
    adler = isal_adler32(1, in.data(), size);
#else
    adler = uint32_t(adler32(1, in.data(), uInt(size)));
#endif
#if defined(YVN_HAVE_ISAL)
    // igzip (2.30) starting a stream without history takes one hash of its
    // first bytes from the address of its own state instead of the data, so
    // its bytes would depend on where that state lives. Every igzip call
    // therefore gets history: a stream's head goes through zlib.
    if (history.empty()) {
      const size_t head = std::min(size, kHead);
      ok = DeflateZlib(in.data(), head, last && head == size, out);
      if (ok && head < size) ok = DeflateIsal(in.data() + head, size - head, in.data(), head, last, out);
    } else {
      ok = DeflateIsal(in.data(), size, history.data(), history.size(), last, out);
    }
    // Runs of one value shrink far beyond what zlib's level 1 reaches; keep
    // such segments at zlib's ratio so the file stays within the reader's
    // inflate bound.
    if (ok && out.size() * kMaxSegmentRatio < size) {
      out.clear();
      ok = DeflateZlib(in.data(), size, last, out);
    }
#else
    ok = DeflateZlib(in.data(), size, last, out);
#endif
    in.clear();
  }
};

DeflateStream::DeflateStream(Output out) : out_(std::move(out)) {
  // Enough segments in flight to keep every thread busy while the caller
  // produces the next one.
  maxPending_ = std::max<size_t>(2, size_t(WorkThreads()) * 2);
  in_.reserve(kSegment);
  ok_ = out_(kZlibHeader, sizeof kZlibHeader);
}

DeflateStream::~DeflateStream() = default;

void DeflateStream::submit(bool last) {
  // Segments and their buffers are reused: fresh ones would cost new pages
  // (and page faults) for every megabyte.
  std::unique_ptr<Segment> seg;
  if (!spare_.empty()) {
    seg = std::move(spare_.back());
    spare_.pop_back();
  } else {
    seg.reset(new Segment);
  }
  seg->in.swap(in_);  // in_ takes the spare's empty buffer
  seg->size = seg->in.size();
  seg->history.swap(tail_);
  // The next segment's history (only segments of kSegment bytes have a next).
  tail_.assign(seg->in.end() - long(std::min(seg->size, kHistory)), seg->in.end());
  seg->last = last;
  Segment* p = seg.get();
  seg->task = Task([p] { p->Run(); });
  pending_.push_back(std::move(seg));
  if (!last) in_.reserve(kSegment);
}

// Takes the oldest segment when it is done and appends its bytes.
bool DeflateStream::drainOne() {
  // Rather than wait idle, deflate a queued segment here, the newest (workers
  // take the oldest first), but never the only one queued: this thread comes
  // here right after queuing one, and taking it would leave a worker that is
  // still waking up with nothing to do.
  size_t queued = 0;
  for (const auto& s : pending_) queued += s->task.queued();
  if (queued >= 2)
    for (auto it = pending_.rbegin(); it != pending_.rend(); ++it)
      if ((*it)->task.runIfQueued()) break;
  std::unique_ptr<Segment> seg = std::move(pending_.front());
  pending_.pop_front();
  seg->task.wait();
  if (!seg->ok) return false;
  adler_ = uint32_t(adler32_combine(adler_, seg->adler, z_off_t(seg->size)));
  const bool ok = out_(seg->out.data(), seg->out.size());
  spare_.push_back(std::move(seg));
  return ok;
}

bool DeflateStream::write(const void* data, size_t size) {
  if (!ok_ || finished_) return ok_ = false;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (size) {
    const size_t take = std::min(size, kSegment - in_.size());
    in_.insert(in_.end(), p, p + take);
    p += take;
    size -= take;
    if (in_.size() == kSegment) {
      submit(false);
      while (ok_ && pending_.size() >= maxPending_) ok_ = drainOne();
    }
  }
  return ok_;
}

bool DeflateStream::finish() {
  if (!ok_ || finished_) return ok_ = false;
  finished_ = true;
  submit(true);
  while (ok_ && !pending_.empty()) ok_ = drainOne();
  pending_.clear();
  if (ok_) {
    const uint8_t trailer[4] = {uint8_t(adler_ >> 24), uint8_t(adler_ >> 16), uint8_t(adler_ >> 8), uint8_t(adler_)};
    ok_ = out_(trailer, 4);
  }
  return ok_;
}

}  // namespace base
