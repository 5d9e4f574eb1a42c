// The .yvn -> PSD path as the program takes it: the file's structure and
// the layers' heads, every layer on its own, and the PSD written a layer at
// a time. Whatever opens gives valid layers, and the write either succeeds
// or names a read failure.
#include <cstddef>
#include <cstdint>

#include "base/data_src.h"
#include "convert/errors.h"
#include "convert/export_psd.h"
#include "fuzz_util.h"
#include "iio/image_io.h"
#include "kzm/native_reader.h"
#include "kzm/pi_image.h"
#include "support/sinks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DataSrcMemory src(data, size);
  const ConversionBudget budget = BudgetFor(size);
  kzm::LoadLimits limits;
  limits.memoryBytes = budget.memoryBytes;
  limits.checkCanvas = [](const kzm::Rect& canvas) { return CheckCanvasSize(canvas); };
  kzm::NativeReader reader(src, limits);
  const int err = reader.Open(nullptr, ProgressFunc());
  FUZZ_CHECK(err == 0 || err == 1 || err == -2 || err == kErrTooLarge || err == kErrTooLargeForPsd);
  if (err != 0) return 0;
  FUZZ_CHECK(reader.LayerCount() >= 1);

  // Every layer loads on its own into valid pixels, or names the damage.
  for (size_t i = 0; i < reader.LayerCount(); ++i) {
    kzm::LoadedLayer layer;
    const int r = reader.LoadLayer(i, layer);
    FUZZ_CHECK(r == 0 || r == 1 || r == kzm::kLoadTooLarge);
    if (r != 0) return 0;
    fuzz::TouchPlane(*layer, true);
  }

  // The PSD, on canvases small enough to stay fast.
  kzm::Rect canvas = reader.FixedCanvas();
  if (canvas.IsEmpty() && ComputeCanvas(reader, canvas) != 0) return 0;
  const int64_t w = int64_t(canvas.right) - canvas.left, h = int64_t(canvas.bottom) - canvas.top;
  if (canvas.IsEmpty() || w > 4096 || h > 4096) return 0;
  ts::MemoryStream out;
  // Both depths, chosen by the input's length.
  const int written = ExportPsd(reader, canvas, size % 2 ? 16 : 8, budget, out, ProgressFunc(), "");
  FUZZ_CHECK(written == 0 || written == 1 || written == kErrTooLarge || written == kErrWrite);
  return 0;
}
