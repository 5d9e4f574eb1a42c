// The PSD reader with the whole conversion to a native file, as the jobs run
// it: header, sections, layer records, the thumbnail's sampled rows, then
// each image's channel blocks into tiles and out as a layer record. Whatever
// converts is a native file that loads again, with a layer per planned image.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/data_src.h"
#include "chunk/chunk_writer.h"
#include "convert/errors.h"
#include "convert/import_psd.h"
#include "fuzz_util.h"
#include "iio/psd.h"
#include "kzm/doc_save.h"
#include "kzm/native_reader.h"
#include "support/sinks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DataSrcMemory src(data, size);
  const auto counted = [](uint64_t, uint64_t, uint64_t done, uint64_t total) {
    FUZZ_CHECK(done <= total);
    return true;
  };
  PsdLayerPlan plan;
  kzm::ThumbGeometry g;
  std::vector<PixelRGBA> thumbnail;
  {
    iio::Psd psd(src, "");
    if (psd.ErrorCode() != 0 || psd.Open() == 0) return 0;
    FUZZ_CHECK(psd.Width() >= 1 && psd.Width() <= 300000 && psd.Height() >= 1 && psd.Height() <= 300000);
    plan = PlanPsdLayers(psd);
    // As the job refuses them: more pixels than a small file may make.
    if (PlannedArea(psd, plan) > (uint64_t(64) << 20)) return 0;
    FUZZ_CHECK(plan.read <= plan.images && plan.layers.size() <= plan.read);
    if (PsdThumbnail(psd, plan, counted, g, thumbnail, nullptr) != 0) return 0;
    FUZZ_CHECK(thumbnail.size() == size_t(g.width) * size_t(g.height));
  }

  ts::MemorySink mem;
  int code;
  {
    iio::Psd psd(src, "");
    FUZZ_CHECK(psd.ErrorCode() == 0 && psd.Open() != 0);
    chunk::ChunkSink sink(mem.func());
    chunk::ChunkWriter& w = sink.beginRoot("VorletBitmapImage");
    kzm::SaveDocumentHead(w, g, thumbnail, kzm::Rect{0, 0, int32_t(psd.Width()), int32_t(psd.Height())});
    code = WritePsdLayers(psd, plan, (size & 1) != 0, counted, w, uint64_t(256) << 20);
    FUZZ_CHECK(code == 0 || code == kErrNotPsd || code == kErrTooLarge);
    FUZZ_CHECK(w.end());
  }
  if (code != 0) return 0;
  DataSrcMemory again(mem.bytes().data(), mem.bytes().size());
  kzm::NativeReader back(again, kzm::LoadLimits());
  FUZZ_CHECK(back.Open(nullptr, ProgressFunc()) == 0);
  FUZZ_CHECK(back.LayerCount() == plan.layers.size());
  for (size_t i = 0; i < back.LayerCount(); ++i) {
    kzm::LoadedLayer layer;
    FUZZ_CHECK(back.LoadLayer(i, layer) == 0);
  }
  return 0;
}
