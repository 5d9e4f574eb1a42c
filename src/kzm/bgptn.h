// The document's paper pattern and its "Bg" record.
//
// The record sits two levels down: root -> "Bg" (outer) -> "Bg" (record).
// Both functions take the outer chunk.
#pragma once
#include <cstdint>

namespace chunk {
class ChunkWriter;
class IChunkBase;
}  // namespace chunk

struct BGPtnInfo {
  enum Kind : uint32_t { kFill = 0, kLine = 1, kCross = 2, kCheck = 3 };
  enum Move : uint32_t { kFix = 0, kAll = 1, kNoMove = 2 };

  // Channels 0, 1, 2 and alpha; 1.0 is full.
  float color0[4] = {1.0f, 1.0f, 1.0f, 1.0f};
  float color1[4] = {0.7f, 0.7f, 1.0f, 1.0f};
  uint32_t kind = kFill;
  uint32_t move = kAll;
  uint32_t size = 64;  // 16, 32, 64, 128, 256 or 512 pixels

  // The pattern a document without one is saved with.
  static BGPtnInfo Default() { return BGPtnInfo(); }
  static bool IsAllowedSize(uint32_t size);
};

// Writes the inner "Bg" record into `outerBg`. "Pattern" / "PtnMove" are
// left out for a kind / movement without a name.
void SaveBGPtnInfo(const BGPtnInfo& ptn, chunk::ChunkWriter& outerBg);

// Reads the inner "Bg" record of `outerBg` into `out`.
//   0  loaded;
//  -1  no inner "Bg", "Pattern" / "PtnSize" / "PtnMove" missing, or
//      "PtnSize" 0xFFFFFFFF;
//   1  an unknown pattern name, size or movement name in a record whose
//      "version" is not newer than 0x10000000 (a newer record falls back to
//      "Fill", 32 and "All").
// `out` is meaningful only on 0.
int LoadBGPtnInfo(BGPtnInfo& out, const chunk::IChunkBase& outerBg);
