// Helpers of the native-format tests: in-memory files, parsing, layer
// builders and pixel-exact layer comparison.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "blend/pixel.h"
#include "chunk/chunk_reader.h"
#include "chunk/chunk_writer.h"
#include "kzm/pi_image.h"
#include "kzm/plane.h"

namespace nt {

using Bytes = std::vector<uint8_t>;

// Bytes of a file whose root chunk ("VorletBitmapImage") `fill` writes.
// `packedCount`, when given, receives the number of outermost compressed
// chunks. `ok`, when given, receives the root's end() result.
Bytes WriteFile(const std::function<void(chunk::ChunkWriter& root)>& fill, int* packedCount = nullptr,
                bool* ok = nullptr);

// Parses bytes into a tree (the bytes need not outlive the call).
std::shared_ptr<chunk::ChunkSA> Parse(const Bytes& bytes);

// Little-endian words and container strings, to spell expected layouts.
void PutU32(Bytes& b, uint32_t v);
void PutString(Bytes& b, const std::string& s);     // u32 L, text, NUL, padding
Bytes StringValueData(const std::string& s);        // what writeString stores
bool Contains(const Bytes& hay, const Bytes& needle);

inline PixelRGBA Px(uint16_t r, uint16_t g, uint16_t b, uint16_t a) { return PixelRGBA{r, g, b, a}; }
// A valid premultiplied pixel derived from a seed.
PixelRGBA SeedPixel(uint32_t seed);

// Builds a tile at (col, row) whose cell i is made by `cell(i, Cell&)` and
// inserts it into the image.
void AddTile(kzm::PiImage& img, int col, int row, const std::function<void(int i, kzm::Cell& c)>& cell);

// Every pixel of both layers within the union of their tiles is equal, and
// so are the default pixels. Reports the first difference.
::testing::AssertionResult SamePixels(const kzm::PiImage& a, const kzm::PiImage& b);
// Name, visibility, locks, opacity and blend are equal.
::testing::AssertionResult SameProperties(const kzm::Plane::Impl& a, const kzm::Plane::Impl& b);

// The "PiImage" record of `img` in a plane chunk, written and parsed back.
std::shared_ptr<chunk::ChunkSA> SaveLayerTree(kzm::Plane& plane, bool compress);
// Writes then loads one layer; returns the load result and the new layer.
int RoundTripLayer(kzm::Plane& plane, bool compress, std::unique_ptr<kzm::Plane>& out);

}  // namespace nt
