// The document load, on a parsed tree and in one pass from the bytes (the
// program's path): both agree, whatever loads is a consistent document with
// valid pixels, and it saves and loads again.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "chunk/chunk_reader.h"
#include "chunk/chunk_values.h"
#include "chunk/chunk_writer.h"
#include "base/data_src.h"
#include "fuzz_util.h"
#include "kzm/doc_load.h"
#include "kzm/doc_save.h"
#include "kzm/image_context.h"
#include "kzm/pi_image.h"
#include "kzm/plane.h"
#include "support/sinks.h"

int fuzz::Doc(const uint8_t* data, size_t size) {
  DataSrcMemory src(data, size);
  chunk::ChunkSA root(nullptr, src);
  std::shared_ptr<kzm::ImageContext> doc;
  const int err = kzm::LoadDocument(0, 0, &root, ProgressFunc(), doc);
  FUZZ_CHECK((err == 0) == (doc != nullptr));
  FUZZ_CHECK(err == 0 || err == 1 || err == -2);

  // The program's own path parses and loads in one pass, decoding layers on
  // the work pool as they arrive: the same answer as the parsed tree's.
  DataSrcMemory src2(data, size);
  std::shared_ptr<kzm::ImageContext> streamed;
  const int err2 = kzm::LoadDocumentFromSource(0, 0, src2, nullptr, ProgressFunc(), streamed);
  FUZZ_CHECK(err2 == err);
  FUZZ_CHECK((streamed != nullptr) == (doc != nullptr));
  if (!doc) return 0;
  kzm::Plane* top = doc->Root();
  FUZZ_CHECK(top != nullptr);
  FUZZ_CHECK(top->impl()->ChildCount() >= 1);
  fuzz::TouchPlane(*top, true);
  FUZZ_CHECK(streamed->Root()->impl()->ChildCount() == top->impl()->ChildCount());
  for (size_t i = 0; i < top->impl()->ChildCount(); ++i) {
    const kzm::Plane* a = top->impl()->ChildAt(int64_t(i));
    const kzm::Plane* b = streamed->Root()->impl()->ChildAt(int64_t(i));
    FUZZ_CHECK(a->Kind() == b->Kind());
    if (a->image()) FUZZ_CHECK(a->image()->Tiles().size() == b->image()->Tiles().size());
    FUZZ_CHECK(a->impl()->Name() == b->impl()->Name());
  }
  fuzz::TouchPlane(*streamed->Root(), true);

  // Saving composes the thumbnail from every layer: it must cope with
  // whatever the load accepted, and the result must load again. The program
  // saves only documents read from PSDs, whose canvas is at most 30000
  // pixels a side; composing is proportional to the canvas (a layer's
  // default pixel covers all of it), so one input stays fast only on small
  // canvases.
  const kzm::Rect bounds = top->impl()->Bounds();
  if (!bounds.IsEmpty() &&
      (int64_t(bounds.right) - bounds.left > 4096 || int64_t(bounds.bottom) - bounds.top > 4096))
    return 0;
  ts::MemorySink mem;
  {
    chunk::ChunkSink sink(mem.func());
    chunk::ChunkWriter& w = sink.beginRoot("VorletBitmapImage");
    const int saved = kzm::SaveDocument(*doc, (size & 1) != 0, ProgressFunc(), w);
    FUZZ_CHECK(w.end());
    FUZZ_CHECK(saved == 0);
  }
  DataSrcMemory again(mem.bytes().data(), mem.bytes().size());
  chunk::ChunkSA root2(nullptr, again);
  FUZZ_CHECK(root2.ok());
  // Whatever the bounds, the thumbnail holds at most 384 x 384 pixels.
  std::shared_ptr<const chunk::IChunkBase> thumb = root2.findChild("MergedThumb");
  FUZZ_CHECK(thumb != nullptr);
  uint32_t tw = 0, th = 0;
  FUZZ_CHECK(chunk::ReadU32(*thumb, "width", tw) && chunk::ReadU32(*thumb, "height", th));
  FUZZ_CHECK(uint64_t(tw) * th <= 384 * 384);
  std::shared_ptr<kzm::ImageContext> doc2;
  FUZZ_CHECK(kzm::LoadDocument(0, 0, &root2, ProgressFunc(), doc2) == 0);
  FUZZ_CHECK(doc2->Root()->impl()->ChildCount() == top->impl()->ChildCount());
  return 0;
}

#ifndef YVN_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return fuzz::Doc(data, size); }
#endif
