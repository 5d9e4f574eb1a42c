// The PSD reader with the whole import: header, sections, layer records,
// channel blocks, rows into tiles, re-basing. Whatever imports is a
// consistent document on the file's canvas that saves as a native file.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "chunk/chunk_reader.h"
#include "chunk/chunk_writer.h"
#include "base/data_src.h"
#include "convert/import_psd.h"
#include "fuzz_util.h"
#include "iio/psd.h"
#include "kzm/native_reader.h"
#include "kzm/doc_save.h"
#include "kzm/image_context.h"
#include "kzm/pi_folder.h"
#include "support/sinks.h"

int fuzz::Psd(const uint8_t* data, size_t size) {
  DataSrcMemory src(data, size);
  iio::Psd psd(src);
  uint64_t calls = 0;
  std::shared_ptr<kzm::ImageContext> doc;
  const int32_t err = ImportPsd(0, 0, psd, [&](uint64_t, uint64_t, uint64_t done, uint64_t total) {
    FUZZ_CHECK(done <= total);
    ++calls;
    return true;
  }, doc);
  FUZZ_CHECK((err == kImportOk) == (doc != nullptr));
  if (!doc) return 0;
  FUZZ_CHECK(psd.Width() >= 1 && psd.Width() <= 30000 && psd.Height() >= 1 && psd.Height() <= 30000);
  fuzz::TouchPlane(*doc->Root(), true);

  // The rest of the conversion: the native save, whose result loads again.
  ts::MemorySink mem;
  {
    chunk::ChunkSink sink(mem.func());
    chunk::ChunkWriter& w = sink.beginRoot("VorletBitmapImage");
    FUZZ_CHECK(kzm::SaveDocument(*doc, (size & 1) != 0, ProgressFunc(), w) == 0);
    FUZZ_CHECK(w.end());
  }
  DataSrcMemory again(mem.bytes().data(), mem.bytes().size());
  kzm::NativeReader back(again, kzm::LoadLimits());
  FUZZ_CHECK(back.Open(nullptr, ProgressFunc()) == 0);
  FUZZ_CHECK(back.LayerCount() == doc->Root()->impl()->ChildCount());
  for (size_t i = 0; i < back.LayerCount(); ++i) {
    kzm::LoadedLayer layer;
    FUZZ_CHECK(back.LoadLayer(i, layer) == 0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return fuzz::Psd(data, size); }
