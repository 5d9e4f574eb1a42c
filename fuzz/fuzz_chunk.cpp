// The chunk container parser over arbitrary bytes: once keeping everything,
// once with a listener that keeps some values and skips some subtrees (the
// skip paths pass compressed chunks over without inflating them).
#include <cstddef>
#include <cstdint>

#include "chunk/chunk_reader.h"
#include "base/data_src.h"
#include "fuzz_util.h"

namespace {

class Selective : public chunk::ChunkSA::IListener {
 public:
  explicit Selective(uint8_t pattern) : pattern_(pattern) {}
  bool onProgress(uint32_t, uint64_t position, uint64_t total) override {
    FUZZ_CHECK(position <= total);
    return false;
  }
  chunk::ValuePolicy valuePolicy(uint32_t depth) override {
    return chunk::ValuePolicy((pattern_ >> (depth % 4)) % 3);
  }
  bool wantValue(uint32_t, const char* name) override { return ((name[0] ^ pattern_) & 1) != 0; }
  bool wantChildren(uint32_t depth, const char*) override { return ((pattern_ >> 4) >> (depth % 4)) & 1; }
  void onChildrenEnd(uint32_t) override {}

 private:
  uint8_t pattern_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DataSrcMemory src(data, size);
  {
    chunk::ReadAllListener all;
    chunk::ChunkSA root(&all, src);
    fuzz::CheckRoot(root);
    FUZZ_CHECK(root.inflatedBytes() <= chunk::ReadLimits().InflateBudget(size));
  }
  {
    Selective some(size ? data[size - 1] : 0);
    chunk::ChunkSA root(&some, src);
    fuzz::CheckRoot(root);
  }
  return 0;
}
