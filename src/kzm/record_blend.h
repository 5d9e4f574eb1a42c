// The "Blend" record: a layer's kzm::Blend stored by mode names and flag
// booleans, a child of the layer's "PiImage" record.
#pragma once
#include "blend/blend_desc.h"

namespace chunk {
class ChunkWriter;
class IChunkBase;
}  // namespace chunk

namespace kzm {

// Writes "Blend" into `piImage`: "version", "TypeColorEmbShader", the flags
// "lockdonly", "clip_dsta", "lock_a___" and "TypeAlphaEmbShader". Returns 0,
// or 1 when a mode id has no name; the record is then closed early (a colour
// id without a name leaves a record holding only "version").
int SaveBlendRecord(const Blend& blend, chunk::ChunkWriter& piImage);

// Reads the "Blend" child of `piImage` into `blend`.
//   0  loaded;
//  -1  no "Blend" child, or its "version" missing or 0 (blend unchanged);
//  -2  "version" newer than 0x10000000 (blend unchanged);
//   1  a mode name missing or unknown. Word 0 is already updated when only
//      the alpha mode is at fault; callers treat 1 as a failed layer.
int LoadBlendRecord(Blend& blend, const chunk::IChunkBase& piImage);

}  // namespace kzm
