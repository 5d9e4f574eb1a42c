#include "convert/jobs.h"

#include <algorithm>
#include <functional>
#include <new>
#include <utility>

#include "base/data_src.h"
#include "chunk/chunk_reader.h"
#include "chunk/chunk_writer.h"
#include "chunk/file_sink.h"
#include "convert/export_psd.h"
#include "convert/import_psd.h"
#include "convert/safe_output.h"
#include "iio/psd.h"
#include "iio/write_stream.h"
#include "kzm/doc_save.h"
#include "kzm/native_reader.h"
#include "kzm/plane.h"

// ---------------------------------------------------------------- limits

ConversionBudget BudgetFor(uint64_t sourceBytes) {
  // Every file gets the floor; larger ones what their bytes could hold: no
  // valid file inflates past 256 times its size, and each byte of the
  // densest paintings gives a few thousand pixels to write.
  ConversionBudget b;
  b.memoryBytes = std::max<uint64_t>(uint64_t(512) << 20, sourceBytes * 256);
  b.outputPixels = std::max<uint64_t>(uint64_t(4) << 30, sourceBytes * 4096);
  // Raw and PackBits channel data holds at most a few hundred pixels a
  // byte (bitmaps); a ZIP stream may hold a thousand times its size, and a
  // bitmap's eight times that.
  b.inputPixels = std::max<uint64_t>(uint64_t(1) << 30, sourceBytes * 4096);
  return b;
}

int CheckCanvasSize(const kzm::Rect& canvas) {
  const int64_t width = int64_t(canvas.right) - canvas.left, height = int64_t(canvas.bottom) - canvas.top;
  return width > kMaxSide || height > kMaxSide ? kErrTooLarge : 0;
}

NativeSource::NativeSource() = default;
NativeSource::~NativeSource() = default;

// ---------------------------------------------------------------- Job

Job::Job(bool quiet, std::string displayName, LineKind kind) : line_(quiet, std::move(displayName), kind) {}

Job::~Job() = default;

bool Job::OnProgress(uint64_t step, uint64_t steps, uint64_t done, uint64_t total) {
  // The line never shows a phase past the count.
  const uint64_t phase = steps != 0 && step >= steps ? steps : step + 1;
  line_.Show(PercentOf(done, total), phase, steps);
  return true;
}

void Job::ReportError(int32_t code) {
  if (errorShown_) return;
  errorShown_ = true;
  line_.Error(code);
}

template <typename Fn>
int Job::Guarded(Fn&& work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    ReportError(kErrOutOfMemory);
    return -1;
  }
}

template <typename Fn>
int Job::SaveThroughTemporary(const std::string& destination, Fn&& write) {
  int code = kErrDestinationCreate;
  try {
    SafeOutputFile out(destination);
    if (out.Create() && (code = write(out.path())) == 0 && !out.Commit()) code = kErrWrite;
  } catch (const std::bad_alloc&) {
    // The writer's buffers and the temporary are gone with the unwinding.
    code = kErrOutOfMemory;
  }
  if (code != 0) ReportError(code);
  return code;
}

template <typename Fn>
int Job::RunWrite(bool haveSource, uint64_t phases, const std::string& destination, Fn&& write) {
  line_.Reset();
  errorShown_ = false;
  int code = kErrNoDocument;
  if (haveSource)
    code = SaveThroughTemporary(destination, std::forward<Fn>(write));
  else
    ReportError(code);
  line_.Close(phases, phases);
  return code;
}

// ---------------------------------------------------------------- KzmLoad

namespace {

// Shows the walk over the file as phase 1 of 2; never cancels.
class WalkProgress final : public chunk::ReadAllListener {
 public:
  explicit WalkProgress(ProgressLine& line) : line_(line) {}
  bool onProgress(uint32_t, uint64_t position, uint64_t total) override {
    line_.Show(PercentOf(position, total), 1, 2);
    return false;
  }

 private:
  ProgressLine& line_;
};

}  // namespace

KzmLoad::KzmLoad(bool quiet, std::string sourcePath, std::string displayName)
    : Job(quiet, std::move(displayName), LineKind::Read), sourcePath_(std::move(sourcePath)) {}

KzmLoad::~KzmLoad() = default;

int KzmLoad::Run() {
  line_.Reset();
  errorShown_ = false;
  source_.reset();
  const int result = Guarded([this] { return Load(); });
  if (result != 0) source_.reset();
  if (!source_) ReportError(kErrNoDocument);
  line_.Close(2, 2);
  return result;
}

int KzmLoad::Load() {
  auto source = std::make_shared<NativeSource>();
  source->file.reset(new DataSrcReadFromFile);
  if (!source->file->open(sourcePath_.c_str())) {
    ReportError(kErrSourceOpen);
    return -1;
  }
  source->budget = BudgetFor(source->file->size());
  kzm::LoadLimits limits;
  limits.memoryBytes = source->budget.memoryBytes;
  limits.checkCanvas = [](const kzm::Rect& canvas) { return CheckCanvasSize(canvas); };
  source->reader.reset(new kzm::NativeReader(*source->file, limits));
  WalkProgress walk(line_);
  using namespace std::placeholders;
  int code = source->reader->Open(&walk, std::bind(&Job::OnProgress, this, _1, _2, _3, _4));
  if (code == 0) {
    // A canvas the root record does not fix is what the layers cover.
    source->canvas = source->reader->FixedCanvas();
    if (source->canvas.IsEmpty()) code = ComputeCanvas(*source->reader, source->canvas);
    if (code == 0) code = CheckCanvasSize(source->canvas);
  }
  if (code != 0) {
    ReportError(code);
    return -1;
  }
  source_ = source;
  return 0;
}

// ---------------------------------------------------------------- PsdLoad

PsdLoad::PsdLoad(bool quiet, std::string sourcePath, std::string displayName)
    : Job(quiet, std::move(displayName), LineKind::Read), sourcePath_(std::move(sourcePath)) {}

PsdLoad::~PsdLoad() = default;

int PsdLoad::Run() {
  line_.Reset();
  lastSteps_ = 1;
  errorShown_ = false;
  source_.reset();
  const int result = Guarded([this] { return Load(); });
  if (result != 0) source_.reset();
  if (!source_) ReportError(kErrNoDocument);
  line_.Close(lastSteps_, lastSteps_);
  return result;
}

PsdSource::PsdSource() = default;
PsdSource::~PsdSource() = default;

int PsdLoad::Load() {
  auto source = std::make_shared<PsdSource>();
  source->file.reset(new DataSrcReadFromFile);
  if (!source->file->open(sourcePath_.c_str())) {
    ReportError(kErrSourceOpen);
    return -1;
  }
  iio::Psd reader(*source->file);
  if (reader.ErrorCode() != 0 || reader.Open() == 0 || uint64_t(reader.Width()) * reader.Height() == 0) {
    ReportError(kErrNotPsd);
    return -1;
  }
  source->width = reader.Width();
  source->height = reader.Height();
  source->budget = BudgetFor(source->file->size());
  source->plan = PlanPsdLayers(reader);
  const ProgressFunc progress = [this](uint64_t step, uint64_t steps, uint64_t done, uint64_t total) {
    lastSteps_ = steps;
    return OnProgress(step, steps, done, total);
  };
  progress(0, source->plan.images, 0, 1);
  if (!PsdThumbnail(reader, source->plan, progress, source->thumbGeometry, source->thumbnail)) {
    ReportError(kErrNotPsd);
    return -1;
  }
  // Checked once the sampled rows are there, so that a file that does not
  // hold its rows reads as damaged rather than large.
  if (PlannedArea(reader, source->plan) > source->budget.inputPixels) {
    ReportError(kErrTooLarge);
    return -1;
  }
  progress(source->plan.images, source->plan.images, 1, 1);
  source_ = source;
  return 0;
}

// ---------------------------------------------------------------- PsdSave

PsdSave::PsdSave(bool quiet, NativeSourcePtr source, std::string destinationPath, std::string displayName,
                 uint32_t depth)
    : Job(quiet, std::move(displayName), LineKind::Write),
      source_(std::move(source)),
      destinationPath_(std::move(destinationPath)),
      depth_(depth) {}

PsdSave::~PsdSave() = default;

int PsdSave::Run() {
  readFailed_ = false;
  // One phase per layer, and the merged image.
  const uint64_t phases = source_ ? source_->reader->LayerCount() + 1 : 1;
  return RunWrite(source_ != nullptr, phases, destinationPath_, [this](const std::string& path) { return Write(path); });
}

int PsdSave::Write(const std::string& path) {
  const kzm::Rect& canvas = source_->canvas;
  if (const int code = CheckCanvasSize(canvas)) return code;
  if (canvas.IsEmpty()) return kErrEmptyCanvas;
  // A second attempt goes over the layers again: its line only moves on
  // once it has passed where the first one got to.
  uint64_t furthestStep = 0, furthestPercent = 0;
  const ProgressFunc progress = [&](uint64_t step, uint64_t steps, uint64_t done, uint64_t total) {
    const uint64_t percent = PercentOf(done, total);
    if (step < furthestStep || (step == furthestStep && percent < furthestPercent)) return true;
    furthestStep = step, furthestPercent = percent;
    return OnProgress(step, steps, done, total);
  };
  for (int attempt = 0;; ++attempt) {
    iio::WriteStream stream;
    if (!stream.Open(path)) return kErrDestinationCreate;
    int code = ExportPsd(*source_->reader, canvas, depth_, source_->budget, stream, progress);
    if (code == kExportAgain && attempt == 0) {
      // A layer's record said more than its head: with every head right,
      // the file is written again.
      stream.Close();
      if ((code = CorrectHeads(*source_->reader)) == 0) continue;
    }
    if (code == kExportAgain) code = kErrIllegalFormat;
    readFailed_ = code != 0 && (code < 100 || code == kErrTooLarge);
    if (code != 0) return code;
    return stream.Close() ? 0 : kErrWrite;
  }
}

// ---------------------------------------------------------------- KzmSave

KzmSave::KzmSave(bool quiet, PsdSourcePtr source, std::string destinationPath, std::string displayName,
                 bool compress)
    : Job(quiet, std::move(displayName), LineKind::Write),
      source_(std::move(source)),
      destinationPath_(std::move(destinationPath)),
      compress_(compress) {}

KzmSave::~KzmSave() = default;

int KzmSave::Run() {
  readFailed_ = false;
  const uint64_t phases = source_ ? source_->plan.layers.size() : 0;
  return RunWrite(source_ != nullptr, phases, destinationPath_, [this](const std::string& path) { return Write(path); });
}

int KzmSave::Write(const std::string& path) {
  const PsdSource& src = *source_;
  chunk::FileSink file;
  if (!file.open(path.c_str())) return kErrDestinationCreate;
  int code = 0;
  bool ok = false;
  // A failed write (disk full) makes the record being saved fail too; the
  // error line must name the write, not the record.
  bool written = true;
  const chunk::SinkFunc toFile = file.func();
  {
    chunk::ChunkSink sink([&](chunk::SinkOp op, uint64_t size, const void* data) {
      const bool done = toFile(op, size, data);
      written = written && done;
      return done;
    });
    chunk::ChunkWriter& root = sink.beginRoot("VorletBitmapImage");
    // The document keeps the PSD's canvas, so that converting it back gives
    // a PSD of the same width and height.
    kzm::SaveDocumentHead(root, src.thumbGeometry, src.thumbnail,
                          kzm::Rect{0, 0, int32_t(src.width), int32_t(src.height)});
    using namespace std::placeholders;
    const ProgressFunc progress = std::bind(&KzmSave::OnProgress, this, _1, _2, _3, _4);
    iio::Psd reader(*src.file);
    code = reader.ErrorCode() == 0 && reader.Open() != 0
               ? WritePsdLayers(reader, src.plan, compress_, progress, root, src.budget.memoryBytes)
               : kErrNotPsd;
    ok = root.end();
  }
  const bool closed = file.close();
  if (!written || !closed) return kErrWrite;
  readFailed_ = code == kErrNotPsd || code == kErrTooLarge;
  if (code != 0) return code;
  return ok ? 0 : kErrWrite;
}
