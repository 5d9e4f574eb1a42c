#include "kzm/bgptn.h"

#include <cstring>
#include <string>

#include "chunk/chunk_reader.h"
#include "chunk/chunk_values.h"
#include "chunk/chunk_writer.h"

namespace {

constexpr uint32_t kRecordVersion = 0x10000000;

const char* const kKindNames[] = {"Fill", "Line", "Cross", "Check"};
const char* const kMoveNames[] = {"Fix", "All", "NoMove"};

template <size_t N>
int IndexOf(const char* const (&names)[N], const std::string& s) {
  for (size_t i = 0; i < N; ++i)
    if (s == names[i]) return int(i);
  return -1;
}

}  // namespace

bool BGPtnInfo::IsAllowedSize(uint32_t size) {
  switch (size) {
    case 16: case 32: case 64: case 128: case 256: case 512:
      return true;
    default:
      return false;
  }
}

void SaveBGPtnInfo(const BGPtnInfo& ptn, chunk::ChunkWriter& outerBg) {
  chunk::ChunkWriter& bg = outerBg.beginChild("Bg");
  bg.writeU32("version", kRecordVersion);
  bg.writeValue("Color0", sizeof ptn.color0, ptn.color0);
  bg.writeValue("Color1", sizeof ptn.color1, ptn.color1);
  if (ptn.kind < 4) bg.writeString("Pattern", kKindNames[ptn.kind]);
  bg.writeU32("PtnSize", ptn.size);
  if (ptn.move < 3) bg.writeString("PtnMove", kMoveNames[ptn.move]);
  bg.end();
}

int LoadBGPtnInfo(BGPtnInfo& out, const chunk::IChunkBase& outerBg) {
  std::shared_ptr<const chunk::IChunkBase> bg = outerBg.findChild("Bg");
  if (!bg) return -1;
  uint32_t version = 0;
  chunk::ReadU32(*bg, "version", version);
  const bool newer = version > kRecordVersion;

  const BGPtnInfo defaults;
  if (!chunk::ReadBytes(*bg, "Color0", out.color0, sizeof out.color0))
    std::memcpy(out.color0, defaults.color0, sizeof out.color0);
  if (!chunk::ReadBytes(*bg, "Color1", out.color1, sizeof out.color1))
    std::memcpy(out.color1, defaults.color1, sizeof out.color1);

  std::string name;
  if (!chunk::ReadString(*bg, "Pattern", name)) return -1;
  int kind = IndexOf(kKindNames, name);
  if (kind < 0) {
    if (!newer) return 1;
    kind = BGPtnInfo::kFill;
  }

  uint32_t size = 0;
  if (!chunk::ReadU32(*bg, "PtnSize", size) || size == 0xFFFFFFFFu) return -1;
  if (!BGPtnInfo::IsAllowedSize(size)) {
    if (!newer) return 1;
    size = 32;
  }

  if (!chunk::ReadString(*bg, "PtnMove", name)) return -1;
  int move = IndexOf(kMoveNames, name);
  if (move < 0) {
    if (!newer) return 1;
    move = BGPtnInfo::kAll;
  }

  out.kind = uint32_t(kind);
  out.move = uint32_t(move);
  out.size = size;
  return 0;
}
