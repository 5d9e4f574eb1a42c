// The .yvn -> PSD path as the program takes it: the file's structure and
// the layers' heads, every layer on its own, and the PSD written a layer at
// a time. Whatever opens gives valid layers, and the write either succeeds
// or names a read failure.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/data_src.h"
#include "convert/errors.h"
#include "convert/export_psd.h"
#include "fuzz_util.h"
#include "iio/image_io.h"
#include "kzm/native_reader.h"
#include "kzm/pi_image.h"

namespace {

// The PSD's bytes, kept in memory.
class Bytes final : public iio::ImageDestBase {
 public:
  size_t Write(const void* bytes, size_t count) override {
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    if (pos_ + count > bytes_.size()) bytes_.resize(size_t(pos_ + count));
    std::copy(p, p + count, bytes_.begin() + ptrdiff_t(pos_));
    pos_ += count;
    return count;
  }
  uint64_t Size() const override { return bytes_.size(); }
  uint64_t Tell() const override { return pos_; }
  bool Seek(uint64_t position) override {
    if (position > bytes_.size()) return false;
    pos_ = position;
    return true;
  }
  bool Close() override { return true; }
  void Discard() override { bytes_.clear(), pos_ = 0; }

 private:
  std::vector<uint8_t> bytes_;
  uint64_t pos_ = 0;
};

}  // namespace

int fuzz::Doc(const uint8_t* data, size_t size) {
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
  if (canvas.IsEmpty() || int64_t(canvas.right) - canvas.left > 4096 || int64_t(canvas.bottom) - canvas.top > 4096)
    return 0;
  Bytes out;
  // Both depths, chosen by the input's length.
  const int written = ExportPsd(reader, canvas, size % 2 ? 16 : 8, budget, out, ProgressFunc(), "");
  FUZZ_CHECK(written == 0 || written == 1 || written == kErrTooLarge || written == kErrWrite);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return fuzz::Doc(data, size); }
