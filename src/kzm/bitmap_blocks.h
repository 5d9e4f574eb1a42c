// Bitmap cell pixels read straight into the model's 512-byte pixel blocks.
//
// A layer's "Body" keeps the 64 pixels of every bitmap cell in its "Bitmap"
// array. Read the usual way, the whole array sits in one buffer until the
// layer is decoded, and is then copied block by block into the cells. A
// BitmapBlocks object instead takes the array's bytes as the file is read
// (it is a chunk::IValueSink) and stores them in pool blocks that the decoded
// cells adopt, so the pixels exist once and are copied once.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "blend/pixel.h"
#include "chunk/chunk_reader.h"

namespace kzm {

class BitmapBlocks final : public chunk::IValueSink {
 public:
  explicit BitmapBlocks(uint64_t expected);
  ~BitmapBlocks();
  BitmapBlocks(const BitmapBlocks&) = delete;
  BitmapBlocks& operator=(const BitmapBlocks&) = delete;

  // Appends bytes; every completed block is brought into range (alpha at
  // most 16384, colour at most alpha), as stored pixels are on load.
  bool take(const uint8_t* data, size_t n) override;

  // Complete blocks so far.
  size_t Count() const { return blocks_.size(); }
  // Hands block i to the caller (a 512-byte pool block); null when it was
  // taken already or does not exist.
  PixelRGBA* Take(size_t i);

  // The blocks that took a "Bitmap" array of `body`, when a BitmapBlocks
  // was its value sink; else null.
  static BitmapBlocks* Of(const chunk::IChunkBase& body);

 private:
  std::vector<PixelRGBA*> blocks_;
  PixelRGBA* partial_ = nullptr;
  size_t filled_ = 0;  // bytes in partial_
};

// Brings 64 stored pixels into range in place.
void SanitizeBlock(PixelRGBA* px64);

}  // namespace kzm
