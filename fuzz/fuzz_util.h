// Walks over what a reader produced, touching every byte and pixel so that
// AddressSanitizer sees any reference into freed or foreign memory, and
// checks the invariants every successful read must keep. A broken invariant
// aborts, which libFuzzer reports like a crash.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "chunk/chunk_reader.h"
#include "kzm/cell.h"
#include "kzm/pi_image.h"
#include "kzm/plane.h"
#include "kzm/tile.h"

namespace fuzz {

#define FUZZ_CHECK(cond)                                                            \
  ((cond) ? (void)0                                                                 \
          : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond), std::abort()))

// Keeps the optimiser from dropping the reads.
inline volatile uint64_t g_sink;

inline void TouchChunk(const chunk::IChunkBase& c, int depth = 0) {
  FUZZ_CHECK(depth < 1000);
  uint64_t sum = 0;
  for (const std::string& name : c.valueNames()) {
    chunk::ValueRange r;
    const uint32_t n = c.findValue(name.c_str(), r);
    FUZZ_CHECK(n != chunk::kNoValue);
    FUZZ_CHECK((r.begin == nullptr) == (r.end == nullptr));
    FUZZ_CHECK(r.end >= r.begin);
    for (const uint8_t* p = r.begin; p != r.end; ++p) sum += *p;
  }
  for (const std::string& name : c.childNames()) {
    std::shared_ptr<const chunk::IChunkBase> child = c.findChild(name.c_str());
    FUZZ_CHECK(child != nullptr);
    FUZZ_CHECK(name == child->name());
    TouchChunk(*child, depth + 1);
  }
  g_sink = g_sink + sum;
}

// A failed parse leaves nothing behind.
inline void CheckRoot(const chunk::ChunkSA& root) {
  if (root.ok()) {
    FUZZ_CHECK(root.name()[0] != 0);
    TouchChunk(root);
  } else {
    FUZZ_CHECK(root.name()[0] == 0);
    FUZZ_CHECK(root.valueNames().empty());
    FUZZ_CHECK(root.childNames().empty());
  }
}

// Every pixel a loaded layer holds is a valid premultiplied pixel.
inline bool ValidPixel(const PixelRGBA& p) {
  return p.a <= 16384 && p.r <= p.a && p.g <= p.a && p.b <= p.a;
}

inline void TouchPlane(kzm::Plane& plane, bool checkPixels, int depth = 0) {
  FUZZ_CHECK(depth < 64);
  kzm::Plane::Impl* impl = plane.impl();
  FUZZ_CHECK(impl != nullptr);
  uint64_t sum = impl->Name().size() + impl->Opacity() + impl->Visible();
  FUZZ_CHECK(impl->Opacity() <= 16384);
  if (kzm::PiImage* img = plane.image()) {
    if (checkPixels) FUZZ_CHECK(ValidPixel(img->DefaultPixel()));
    for (const auto& e : img->Tiles()) {
      const kzm::Tile* t = e.second;
      FUZZ_CHECK(t != nullptr);
      FUZZ_CHECK(t->Locate().key == e.first.key);
      if (!t->HasCells()) continue;
      const kzm::Cell* cells = t->Cells();
      for (int i = 0; i < kzm::kTileCellCount; ++i) {
        const kzm::Cell& c = cells[i];
        if (c.IsNull() || !c.IsRGBA()) continue;
        const int n = c.Kind() == kzm::Cell::kRGBABitmap ? 8 : 1;
        for (int y = 0; y < n; ++y)
          for (int x = 0; x < n; ++x) {
            const PixelRGBA& p = *c.PixelAt(x, y);
            if (checkPixels) FUZZ_CHECK(ValidPixel(p));
            sum += p.r + p.g + p.b + p.a;
          }
      }
    }
  }
  for (size_t i = 0; i < impl->ChildCount(); ++i) {
    kzm::Plane* child = impl->ChildAt(int64_t(i));
    FUZZ_CHECK(child != nullptr);
    FUZZ_CHECK(child->impl()->Parent() == &plane);
    TouchPlane(*child, checkPixels, depth + 1);
  }
  g_sink = g_sink + sum;
}

}  // namespace fuzz
