// Reads the decompressed bytes of one compressed chunk on demand from its
// block sequence in a raw source.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>

#include "base/data_src.h"

namespace chunk {

struct InflateAccount;

class Inflater {
 public:
  // Called before every block header is read; true cancels.
  using BlockHook = std::function<bool()>;
  static constexpr size_t kOutBuf = 0x20000;
  // Deflate cannot expand more than 1032:1; used to refuse declared sizes
  // that the remaining compressed bytes could never produce.
  static constexpr uint64_t kMaxRatio = 1032;

  // maxOut caps the bytes this stream may inflate (the parse's budget);
  // an account, when given, caps them further together with other streams.
  Inflater(DataSrcBase& src, uint64_t maxOut, BlockHook hook, InflateAccount* account = nullptr);
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Initialises zlib (zlib header expected) and reads the first block header.
  bool begin();

  bool readTo(uint8_t* dst, uint64_t n);
  // Up to cap bytes, as many as come: *got is 0 at the stream's end. False
  // when the stream is damaged.
  bool readSome(uint8_t* dst, size_t cap, size_t* got);
  bool readU32(uint32_t& v);
  bool skip(uint64_t n);
  // False when n more decompressed bytes cannot possibly arrive: beyond the
  // budget, or more than the remaining raw bytes could inflate to.
  bool mayArrive(uint64_t n) const;
  // Consumes the rest of the stream and its block sequence through the
  // terminating zero-count block, so the raw source stands right after it.
  // Fails when the stream is damaged or ends without its terminating block.
  bool finish();

  uint64_t totalOut() const { return total_; }

 private:
  bool produce(uint8_t* dst, size_t cap, size_t& produced);
  bool feed();
  bool readBlockHeader();
  bool drainBlocks();
  bool fail();
  uint64_t accountLeft() const;

  DataSrcBase& src_;
  uint64_t maxOut_;
  InflateAccount* account_;
  BlockHook hook_;
  struct Stream;
  std::unique_ptr<Stream> z_;
  std::unique_ptr<uint8_t[]> buf_;
  size_t rpos_ = 0, wpos_ = 0;
  uint64_t total_ = 0;
  uint64_t blockLeft_ = 0;  // raw bytes of the current block not yet fed
  uint32_t pad_ = 0;        // padding after the current block
  bool initialised_ = false;
  bool streamEnd_ = false;
  bool terminated_ = false;  // zero-count block seen
  bool failed_ = false;
};

}  // namespace chunk
