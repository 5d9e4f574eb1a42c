#include "kzm/record_blend.h"

#include <string>

#include "blend/modes.h"
#include "chunk/chunk_reader.h"
#include "chunk/chunk_values.h"
#include "chunk/chunk_writer.h"

namespace kzm {

namespace {
constexpr uint32_t kRecordVersion = 0x10000000;

bool FlagSet(const chunk::IChunkBase& c, const char* name) {
  bool v = false;
  return chunk::ReadBool(c, name, v) && v;
}
}  // namespace

int SaveBlendRecord(const Blend& blend, chunk::ChunkWriter& piImage) {
  chunk::ChunkWriter& w = piImage.beginChild("Blend");
  w.writeU32("version", kRecordVersion);
  const char* color = blend::ColorModeName(blend.ColorMode());
  if (!color) {
    w.end();
    return 1;
  }
  w.writeString("TypeColorEmbShader", color);
  w.writeBool("lockdonly", (blend.word0 & Blend::lockdonly) != 0);
  w.writeBool("clip_dsta", (blend.word0 & Blend::clip_dsta) != 0);
  w.writeBool("lock_a___", (blend.word0 & Blend::lock_a___) != 0);
  const char* alpha = blend::AlphaModeName(blend.word1);
  if (!alpha) {
    w.end();
    return 1;
  }
  w.writeString("TypeAlphaEmbShader", alpha);
  w.end();
  return 0;
}

int LoadBlendRecord(Blend& blend, const chunk::IChunkBase& piImage) {
  std::shared_ptr<const chunk::IChunkBase> rec = piImage.findChild("Blend");
  if (!rec) return -1;
  uint32_t version = 0;
  if (!chunk::ReadU32(*rec, "version", version) || version == 0) return -1;
  if (version > kRecordVersion) return -2;

  std::string name;
  if (!chunk::ReadString(*rec, "TypeColorEmbShader", name)) return 1;
  const uint8_t color = blend::ColorModeByName(name);
  if (color == 255) return 1;
  uint32_t word0 = color;
  if (FlagSet(*rec, "lockdonly")) word0 |= Blend::lockdonly;
  if (FlagSet(*rec, "clip_dsta")) word0 |= Blend::clip_dsta;
  if (FlagSet(*rec, "lock_a___")) word0 |= Blend::lock_a___;
  blend.word0 = word0;

  if (!chunk::ReadString(*rec, "TypeAlphaEmbShader", name)) return 1;
  const int64_t alpha = blend::AlphaModeByName(name);
  if (alpha < 0) return 1;
  blend.word1 = uint32_t(alpha);
  return 0;
}

}  // namespace kzm
