#include "chunk/file_sink.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "chunk/chunk_format.h"
#include "chunk/work_pool.h"

#if defined(YVN_HAVE_ISAL)
#include <isa-l/igzip_lib.h>
#endif
#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace chunk {

std::FILE* OpenOutputFile(const char* path) {
#if defined(_WIN32)
  return std::fopen(path, "wb");
#else
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || (S_ISREG(st.st_mode) && st.st_size != 0 && ftruncate(fd, 0) != 0)) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* f = fdopen(fd, "wb");
  if (!f) ::close(fd);
  return f;
#endif
}

namespace {
// Write-back requests begin past the head (whose length fields writers
// patch) and stay behind the end by more than a stdio buffer.
constexpr uint64_t kBehindHead = uint64_t(1) << 20;
constexpr uint64_t kBehindLag = uint64_t(2) << 20;
constexpr uint64_t kBehindStep = uint64_t(8) << 20;
constexpr uint64_t kBehindStart = uint64_t(16) << 20;
}  // namespace

WriteBehind::WriteBehind(std::FILE* file) : next_(kBehindStart) {
#if defined(__linux__)
  fd_ = file ? fileno(file) : -1;
#else
  (void)file;
#endif
}

WriteBehind::~WriteBehind() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void WriteBehind::Wrote(uint64_t end) {
  if (fd_ < 0 || end < next_) return;
  next_ = end + kBehindStep;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    end_ = end;
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread([this] { Run(); });
      } catch (...) {  // no thread: the file is written back later, as usual
        fd_ = -1;
        return;
      }
    }
  }
  wake_.notify_one();
}

void WriteBehind::Run() {
#if defined(__linux__)
  uint64_t done = kBehindHead;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stop_ || end_ >= done + kBehindLag + kBehindStep; });
    if (stop_) return;
    const uint64_t to = end_ - kBehindLag;
    lock.unlock();
    // A request only; its failure changes nothing for the file.
    sync_file_range(fd_, off_t(done), off_t(to - done), SYNC_FILE_RANGE_WRITE);
    lock.lock();
    done = to;
  }
#endif
}

namespace {

// igzip always gets history (see Segment::Run): the kHistory bytes before
// the segment, which the inflater has in its window, or, in a stream's first
// segment, the first kHead bytes, which zlib deflates.
constexpr size_t kHistory = 32768;
constexpr size_t kHead = 4096;

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

struct Deflater::Segment {
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

const char* Deflater::Engine() {
#if defined(YVN_HAVE_ISAL)
  return "isa-l";
#else
  return "zlib";
#endif
}

Deflater::Deflater(RawWrite raw) : raw_(std::move(raw)), out_(new uint8_t[kBlock]) {
  // Enough segments in flight to keep every thread busy while the caller
  // produces the next one.
  maxPending_ = std::max<size_t>(2, size_t(WorkThreads()) * 2);
  in_.reserve(kSegment);
  std::memcpy(out_.get(), kZlibHeader, sizeof kZlibHeader);
  outUsed_ = sizeof kZlibHeader;
}

Deflater::~Deflater() = default;

bool Deflater::emit(size_t n) {
  if (n == 0) return true;
  uint8_t head[8];
  StoreU32(head, kPackedBlockMarker);
  StoreU32(head + 4, uint32_t(n));
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
      if (!emit(kBlock)) return false;
      outUsed_ = 0;
    }
  }
  return true;
}

void Deflater::submit(bool last) {
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
bool Deflater::drainOne() {
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
  const bool ok = put(seg->out.data(), seg->out.size());
  spare_.push_back(std::move(seg));
  return ok;
}

bool Deflater::write(const void* data, size_t size) {
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

bool Deflater::finish() {
  if (!ok_ || finished_) return ok_ = false;
  finished_ = true;
  submit(true);
  while (ok_ && !pending_.empty()) ok_ = drainOne();
  pending_.clear();
  if (ok_) {
    uint8_t trailer[4] = {uint8_t(adler_ >> 24), uint8_t(adler_ >> 16), uint8_t(adler_ >> 8), uint8_t(adler_)};
    ok_ = put(trailer, 4) && emit(outUsed_);
    outUsed_ = 0;
  }
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
  file_ = OpenOutputFile(path);
  if (!file_) return false;
  path_ = path;
  std::setvbuf(file_, nullptr, _IOFBF, 0x40000);
  written_ = 0;
  behind_.reset(new WriteBehind(file_));
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
  behind_.reset();
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
