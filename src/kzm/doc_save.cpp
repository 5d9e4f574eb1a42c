#include "kzm/doc_save.h"

#include <cstdio>

#include "chunk/chunk_writer.h"
#include "kzm/bgptn.h"
#include "kzm/native_reader.h"
#include "kzm/record_layer.h"

namespace kzm {

namespace {

void Report(const ProgressFunc& progress, uint64_t step, uint64_t steps, uint64_t done, uint64_t total) {
  if (progress) progress(step, steps, done, total);
}

}  // namespace

ThumbGeometry ThumbnailGeometry(const Rect& bounds) {
  ThumbGeometry g;
  if (bounds.IsEmpty()) return g;
  int64_t w = int64_t(bounds.right) - bounds.left, h = int64_t(bounds.bottom) - bounds.top;
  int64_t step = 1;
  while ((w > kThumbLimit || h > kThumbLimit) && w >= 2 && h >= 2) {
    w >>= 1;
    h >>= 1;
    step <<= 1;
  }
  // A side below 2 stops the halving above, which would leave a thin
  // rectangle (a stored fixed bound can be 2^32 x 1) at full length: the
  // long side goes on halving until the thumbnail holds no more pixels than
  // a 384 x 384 one.
  while (w * h > int64_t(kThumbLimit) * kThumbLimit) {
    if (w >= 2) w >>= 1;
    if (h >= 2) h >>= 1;
    step <<= 1;
  }
  g.width = int32_t(w);
  g.height = int32_t(h);
  g.step = int32_t(step);
  return g;
}

void SaveDocumentHead(chunk::ChunkWriter& root, const ThumbGeometry& g, const std::vector<PixelRGBA>& thumbnail,
                      const Rect& canvas, const std::function<void()>& afterThumbnail) {
  root.writeU32("version", kNativeVersion);
  root.writeString("tooltype", "VORLET_PAINT");
  {
    chunk::ChunkWriter& bg = root.beginChild("Bg");
    SaveBGPtnInfo(BGPtnInfo::Default(), bg);
    bg.end();
  }
  {
    chunk::ChunkWriter& thumb = root.beginChild("MergedThumb");
    thumb.writeU32("version", kNativeVersion);
    thumb.writeU32("width", uint32_t(g.width));
    thumb.writeU32("height", uint32_t(g.height));
    thumb.writeValue("Image", uint64_t(thumbnail.size()) * sizeof(PixelRGBA), thumbnail.data());
    if (afterThumbnail) afterThumbnail();
    thumb.end();
  }
  {
    chunk::ChunkWriter& r = root.beginChild("Root");
    SaveFolderRecord(canvas, r);
    r.end();
  }
}

int SaveLayer(chunk::ChunkWriter& root, const PiImage& layer, bool compress, const ProgressFunc& progress,
              uint64_t index, uint64_t count) {
  Report(progress, index, count, 0, 100);
  char name[32];
  std::snprintf(name, sizeof name, "Plane%04llx", static_cast<unsigned long long>(index));
  chunk::ChunkWriter& w = root.beginChild(name);
  const int res = SaveImageRecord(layer, w, compress, progress, index, count);
  w.end();
  return res;
}

}  // namespace kzm
