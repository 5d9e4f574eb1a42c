// One standard zlib stream deflated in segments on the work pool: the input
// is cut into segments of kSegment bytes, deflated as independent raw
// deflate pieces (each but the last ending in a full flush) and joined in
// order under one zlib header and one Adler-32 of the whole input. The cuts
// depend on the byte count only, so the output does not depend on the number
// of threads. Segments are deflated at level 1 with ISA-L's igzip where the
// build has it (each with the 32 KiB before it as history; a stream's first
// 4 KiB with zlib), else with zlib (level 1, memory level 8, default
// strategy); a segment that would shrink more than kMaxSegmentRatio:1 is
// deflated with zlib instead, whose level 1 stays near 230:1.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace base {

class DeflateStream {
 public:
  // Receives the stream's bytes in order, in pieces of any size.
  using Output = std::function<bool(const uint8_t* data, size_t size)>;
  static constexpr size_t kSegment = 0x100000;
  static constexpr size_t kMaxSegmentRatio = 200;

  explicit DeflateStream(Output out);
  ~DeflateStream();
  DeflateStream(const DeflateStream&) = delete;
  DeflateStream& operator=(const DeflateStream&) = delete;

  bool ok() const { return ok_; }
  bool write(const void* data, size_t size);
  // The last segment and the Adler-32 trailer.
  bool finish();

 private:
  struct Segment;
  void submit(bool last);
  bool drainOne();

  Output out_;
  std::vector<uint8_t> in_;
  std::vector<uint8_t> tail_;  // the last bytes submitted: the next segment's history
  std::deque<std::unique_ptr<Segment>> pending_;
  std::vector<std::unique_ptr<Segment>> spare_;
  size_t maxPending_ = 2;
  uint32_t adler_ = 1;
  bool ok_ = true;
  bool finished_ = false;
};

}  // namespace base
