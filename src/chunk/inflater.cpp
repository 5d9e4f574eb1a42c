#include "chunk/inflater.h"

#include <zlib.h>
#if defined(YVN_HAVE_ISAL)
#include <isa-l/igzip_lib.h>
#endif

#include <algorithm>
#include <cstring>

#include "chunk/chunk_format.h"
#include "chunk/chunk_reader.h"

namespace chunk {

namespace {
// Raw bytes handed to zlib per source read; blocks may be far larger.
constexpr uint64_t kInPiece = 0x40000;
// Below this a read goes through the buffer rather than straight to dst.
constexpr uint64_t kDirect = 0x4000;
// zlib may hold a partly copied match; allow for it in the size bound.
constexpr uint64_t kSlack = 0x10000;
}  // namespace

// The zlib stream is read with ISA-L's inflater where the build has it
// (about twice as fast), else with zlib. Both check the zlib header and the
// Adler-32 at the end.
#if defined(YVN_HAVE_ISAL)
struct Inflater::Stream {
  inflate_state s;
  // The bytes fed but not yet taken, as zlib's avail_in counts them.
  uint32_t pendingIn() const { return s.avail_in; }
  void setIn(const uint8_t* p, uint32_t n) {
    s.next_in = const_cast<uint8_t*>(p);
    s.avail_in = n;
  }
  void dropIn() { s.avail_in = 0; }
};
#else
struct Inflater::Stream {
  z_stream s;
  uint32_t pendingIn() const { return s.avail_in; }
  void setIn(const uint8_t* p, uint32_t n) {
    s.next_in = const_cast<Bytef*>(p);
    s.avail_in = uInt(n);
  }
  void dropIn() { s.avail_in = 0; }
};
#endif

Inflater::Inflater(DataSrcBase& src, uint64_t maxOut, BlockHook hook, InflateAccount* account)
    : src_(src), maxOut_(maxOut), account_(account), hook_(std::move(hook)), z_(new Stream), buf_(new uint8_t[kOutBuf]) {
  std::memset(&z_->s, 0, sizeof(z_->s));
}

Inflater::~Inflater() {
#if !defined(YVN_HAVE_ISAL)
  if (initialised_) inflateEnd(&z_->s);
#endif
}

uint64_t Inflater::accountLeft() const {
  if (!account_) return UINT64_MAX;
  return account_->used < account_->limit ? account_->limit - account_->used : 0;
}

bool Inflater::fail() {
  failed_ = true;
  return false;
}

bool Inflater::begin() {
#if defined(YVN_HAVE_ISAL)
  isal_inflate_init(&z_->s);
  z_->s.crc_flag = ISAL_ZLIB;
#else
  if (inflateInit(&z_->s) != Z_OK) return fail();
#endif
  initialised_ = true;
  return readBlockHeader();
}

bool Inflater::readBlockHeader() {
  if (failed_) return false;
  if (hook_ && hook_()) return fail();
  if (pad_ && !src_.skip(pad_)) return fail();
  pad_ = 0;
  const uint8_t* h = src_.read(8);
  if (!h || LoadLe32(h) != kPackedBlockMarker) return fail();
  const uint32_t count = LoadLe32(h + 4);
  if (count == 0) {
    terminated_ = true;
    return true;
  }
  if (count > src_.remaining()) return fail();
  blockLeft_ = count;
  pad_ = PadOf(count);
  return true;
}

bool Inflater::feed() {
  while (blockLeft_ == 0) {
    if (terminated_ || !readBlockHeader()) return false;
    if (terminated_) return false;
  }
  const uint64_t take = std::min(blockLeft_, kInPiece);
  const uint8_t* p = src_.read(take);
  if (!p) return fail();
  blockLeft_ -= take;
  z_->setIn(p, uint32_t(take));
  return true;
}

// Inflates at least one byte into dst (produced > 0), or reports the end of
// the stream (produced == 0, true). False on damaged or missing data.
bool Inflater::produce(uint8_t* dst, size_t cap, size_t& produced) {
  produced = 0;
  if (failed_) return false;
  if (streamEnd_) return true;
  cap = std::min<size_t>(cap, 0x40000000);
  // Never inflate past the budget by more than the one byte that proves it
  // is exceeded.
  if (maxOut_ - total_ < cap) cap = size_t(maxOut_ - total_) + 1;
  if (accountLeft() < cap) cap = size_t(accountLeft()) + 1;
  auto& s = z_->s;
  for (;;) {
    // Inflate before feeding: the inflater may still hold output for input
    // it has already taken, even when the block sequence is exhausted.
    s.next_out = dst;
    s.avail_out = uint32_t(cap);
    const uint32_t inBefore = s.avail_in;
#if defined(YVN_HAVE_ISAL)
    const int ret = isal_inflate(&s);
    const bool end = ret == ISAL_DECOMP_OK && s.block_state == ISAL_BLOCK_FINISH;
    const bool bad = ret != ISAL_DECOMP_OK;
    const bool stuck = false;
#else
    const int ret = inflate(&s, Z_NO_FLUSH);
    const bool end = ret == Z_STREAM_END;
    const bool bad = ret != Z_OK && ret != Z_BUF_ERROR && !end;
    const bool stuck = ret == Z_BUF_ERROR;
#endif
    produced = cap - s.avail_out;
    total_ += produced;
    if (total_ > maxOut_) return fail();
    if (account_ && produced && (account_->used += produced) > account_->limit) return fail();
    if (end) {
      streamEnd_ = true;
      // The writer puts the terminating block right after the end of the
      // stream; consume it now so the raw position is past the sequence.
      return drainBlocks();
    }
    if (bad) return fail();
    if (produced) return true;
    if (s.avail_in != 0) {
      // Input left but nothing made of it: the data cannot go on.
      if (stuck || s.avail_in == inBefore) return fail();
      continue;
    }
    if (!feed()) return fail();
  }
}

bool Inflater::drainBlocks() {
  z_->dropIn();
  while (!terminated_) {
    if (blockLeft_) {
      if (!src_.skip(blockLeft_)) return fail();
      blockLeft_ = 0;
    }
    if (!readBlockHeader()) return false;
  }
  return true;
}

bool Inflater::readTo(uint8_t* dst, uint64_t n) {
  while (n) {
    const size_t avail = wpos_ - rpos_;
    if (avail) {
      const size_t take = size_t(std::min<uint64_t>(avail, n));
      std::memcpy(dst, buf_.get() + rpos_, take);
      rpos_ += take;
      dst += take;
      n -= take;
      continue;
    }
    size_t got;
    if (n >= kDirect) {
      if (!produce(dst, size_t(std::min<uint64_t>(n, 0x40000000)), got) || !got) return fail();
      dst += got;
      n -= got;
    } else {
      rpos_ = wpos_ = 0;
      if (!produce(buf_.get(), kOutBuf, got) || !got) return fail();
      wpos_ = got;
    }
  }
  return true;
}

bool Inflater::readSome(uint8_t* dst, size_t cap, size_t* got) {
  const size_t avail = wpos_ - rpos_;
  if (avail) {
    *got = std::min(avail, cap);
    std::memcpy(dst, buf_.get() + rpos_, *got);
    rpos_ += *got;
    return true;
  }
  return produce(dst, cap, *got);
}

bool Inflater::readU32(uint32_t& v) {
  if (wpos_ - rpos_ >= 4) {
    v = LoadLe32(buf_.get() + rpos_);
    rpos_ += 4;
    return true;
  }
  uint8_t b[4];
  if (!readTo(b, 4)) return false;
  v = LoadLe32(b);
  return true;
}

bool Inflater::skip(uint64_t n) {
  while (n) {
    const size_t avail = wpos_ - rpos_;
    if (avail) {
      const size_t take = size_t(std::min<uint64_t>(avail, n));
      rpos_ += take;
      n -= take;
      continue;
    }
    size_t got;
    rpos_ = wpos_ = 0;
    if (!produce(buf_.get(), kOutBuf, got) || !got) return fail();
    wpos_ = got;
  }
  return true;
}

bool Inflater::mayArrive(uint64_t n) const {
  if (failed_) return false;
  const uint64_t avail = wpos_ - rpos_;
  if (n <= avail) return true;
  if (streamEnd_) return false;
  const uint64_t more = n - avail;
  if (more > maxOut_ - total_ || more > accountLeft()) return false;
  uint64_t raw = z_->pendingIn();
  if (!terminated_) raw += src_.remaining();
  if (raw > (UINT64_MAX - kSlack) / kMaxRatio) return true;
  return more <= raw * kMaxRatio + kSlack;
}

bool Inflater::finish() {
  if (failed_) return false;
  rpos_ = wpos_ = 0;
  while (!streamEnd_) {
    size_t got;
    // Bytes after the chunk's end record are not part of any chunk; they are
    // inflated only to check the stream and find its end.
    if (!produce(buf_.get(), kOutBuf, got)) return false;
  }
  return terminated_;
}

}  // namespace chunk
