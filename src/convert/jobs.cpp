#include "convert/jobs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <new>
#include <utility>

#include "base/data_src.h"
#include "chunk/chunk_reader.h"
#include "chunk/chunk_writer.h"
#include "chunk/file_sink.h"
#include "convert/export_psd.h"
#include "convert/import_psd.h"
#include "convert/memory_output.h"
#include "convert/progress.h"
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

namespace {

// The source a read job reads: the caller's bytes, or the file it names,
// opened here (false: it cannot be read).
bool OpenSource(const SourceRef& ref, std::unique_ptr<DataSrcBase>& opened, DataSrcBase*& file) {
  if (ref.path.empty()) {
    file = ref.bytes;
    if (file) file->rewind();
    return file != nullptr;
  }
  auto f = std::make_unique<DataSrcReadFromFile>();
  if (!f->open(ref.path.c_str())) return false;
  file = f.get();
  opened = std::move(f);
  return true;
}

}  // namespace

namespace {

// The system's words for the last failed call.
std::string SystemError() { return errno ? std::strerror(errno) : std::string(); }

}  // namespace

// ---------------------------------------------------------------- StageLine

bool StageLine::Show(uint64_t p, uint64_t phase, uint64_t count) {
  // Once asked to stop, the caller hears nothing more but the stage's end.
  if (!cancelled_ && p != lastPercent_) {
    lastPercent_ = p;
    if (events_.progress && !events_.progress(stage_, p, phase, count)) cancelled_ = true;
  }
  return !cancelled_;
}

void StageLine::Close(uint64_t phase, uint64_t count, int32_t status) {
  if (events_.stageEnd) events_.stageEnd(stage_, phase, count, status);
}

// ---------------------------------------------------------------- Job

Job::Job(Stage stage, const ConversionEvents& events) : events_(events), line_(stage, events) {}

Job::~Job() = default;

bool Job::OnProgress(uint64_t step, uint64_t steps, uint64_t done, uint64_t total) {
  // The line never shows a phase past the count.
  const uint64_t phase = steps != 0 && step >= steps ? steps : step + 1;
  return line_.Show(PercentOf(done, total), phase, steps);
}

void Job::ReportError(int32_t code, const std::string& detail) {
  if (status_ != 0) return;
  status_ = code;
  detail_ = detail;
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
int Job::SaveToTarget(const TargetRef& target, Fn&& write) {
  int code = kErrDestinationCreate;
  why_.clear();
  try {
    if (!target.path.empty()) {
      SafeOutputFile out(target.path, events_.temporary);
      if (!out.Create()) {
        why_ = SystemError();
      } else if ((code = write(out.path())) == 0) {
        // Asked to stop at the last moment: the destination stays as it was.
        if (line_.cancelled()) {
          code = kErrCancelled;
        } else if (!out.Commit()) {
          code = kErrWrite;
          why_ = "the finished file could not replace the destination: " + SystemError();
        }
      }
    } else {
      code = write(std::string());
      if (code == 0 && line_.cancelled()) code = kErrCancelled;
      if (code != 0) target.memory->Discard();
    }
  } catch (const std::bad_alloc&) {
    // The writer's buffers and the temporary are gone with the unwinding.
    code = kErrOutOfMemory;
    if (target.path.empty()) target.memory->Discard();
  }
  // A write stopped by the caller fails as cancelled, whatever stopped it.
  if (code != 0 && line_.cancelled()) code = kErrCancelled;
  if (code != 0) ReportError(code, code == kErrCancelled ? std::string() : why_);
  return code;
}

template <typename Fn>
int Job::RunWrite(bool haveSource, uint64_t phases, const TargetRef& target, Fn&& write) {
  line_.Reset();
  status_ = 0;
  detail_.clear();
  int code = kErrNoDocument;
  if (haveSource)
    code = SaveToTarget(target, std::forward<Fn>(write));
  else
    ReportError(code);
  line_.Close(phases, phases, status_);
  return code;
}

// ---------------------------------------------------------------- KzmLoad

namespace {

// Shows the walk over the file as phase 1 of 2; stops it when the caller
// asks to.
class WalkProgress final : public chunk::ReadAllListener {
 public:
  explicit WalkProgress(StageLine& line) : line_(line) {}
  bool onProgress(uint32_t, uint64_t position, uint64_t total) override {
    return !line_.Show(PercentOf(position, total), 1, 2);
  }

 private:
  StageLine& line_;
};

}  // namespace

KzmLoad::KzmLoad(SourceRef source, const ConversionEvents& events)
    : Job(Stage::Read, events), sourceRef_(std::move(source)) {}

KzmLoad::~KzmLoad() = default;

int KzmLoad::Run() {
  line_.Reset();
  status_ = 0;
  detail_.clear();
  source_.reset();
  int result = Guarded([this] { return Load(); });
  if (line_.cancelled()) {
    status_ = 0;
    ReportError(kErrCancelled);
    result = -1;
  }
  if (result != 0) source_.reset();
  if (!source_) ReportError(kErrNoDocument);
  line_.Close(2, 2, status_);
  return result;
}

int KzmLoad::Load() {
  auto source = std::make_shared<NativeSource>();
  if (!OpenSource(sourceRef_, source->opened, source->file)) {
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
  if (code == 0 && line_.cancelled()) code = kErrCancelled;
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

PsdLoad::PsdLoad(SourceRef source, const ConversionEvents& events, std::string nameCharset)
    : Job(Stage::Read, events), sourceRef_(std::move(source)), nameCharset_(std::move(nameCharset)) {}

PsdLoad::~PsdLoad() = default;

int PsdLoad::Run() {
  line_.Reset();
  lastSteps_ = 1;
  status_ = 0;
  detail_.clear();
  source_.reset();
  int result = Guarded([this] { return Load(); });
  if (line_.cancelled()) {
    status_ = 0;
    ReportError(kErrCancelled);
    result = -1;
  }
  if (result != 0) source_.reset();
  if (!source_) ReportError(kErrNoDocument);
  line_.Close(lastSteps_, lastSteps_, status_);
  return result;
}

PsdSource::PsdSource() = default;
PsdSource::~PsdSource() = default;

int PsdLoad::Load() {
  auto source = std::make_shared<PsdSource>();
  if (!OpenSource(sourceRef_, source->opened, source->file)) {
    ReportError(kErrSourceOpen);
    return -1;
  }
  source->nameCharset = nameCharset_;
  iio::Psd reader(*source->file, nameCharset_);
  if (reader.ErrorCode() != 0 || reader.Open() == 0 || uint64_t(reader.Width()) * reader.Height() == 0) {
    ReportError(kErrNotPsd, reader.ErrorDetail().empty() ? "the canvas is empty" : reader.ErrorDetail());
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
  std::string why;
  if (const int code = PsdThumbnail(reader, source->plan, progress, source->thumbGeometry, source->thumbnail, &why)) {
    ReportError(line_.cancelled() ? kErrCancelled : code, why);
    return -1;
  }
  // Checked once the sampled rows are there, so that a file that does not
  // hold its rows reads as damaged rather than large.
  if (PlannedArea(reader, source->plan) > source->budget.inputPixels) {
    ReportError(kErrTooLarge, "its images hold more pixels than a file of its size is given");
    return -1;
  }
  progress(source->plan.images, source->plan.images, 1, 1);
  source_ = source;
  return 0;
}

// ---------------------------------------------------------------- PsdSave

PsdSave::PsdSave(NativeSourcePtr source, TargetRef target, const ConversionEvents& events, uint32_t depth,
                 std::string nameCharset)
    : Job(Stage::Write, events),
      source_(std::move(source)),
      target_(std::move(target)),
      depth_(depth),
      nameCharset_(std::move(nameCharset)) {}

PsdSave::~PsdSave() = default;

int PsdSave::Run() {
  // One phase per layer, and the merged image.
  const uint64_t phases = source_ ? source_->reader->LayerCount() + 1 : 1;
  return RunWrite(source_ != nullptr, phases, target_, [this](const std::string& path) { return Write(path); });
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
    if (step < furthestStep || (step == furthestStep && percent < furthestPercent)) return !line_.cancelled();
    furthestStep = step, furthestPercent = percent;
    return OnProgress(step, steps, done, total);
  };
  for (int attempt = 0;; ++attempt) {
    iio::WriteStream file;
    iio::ImageDestBase* stream = target_.memory;
    if (!path.empty()) {
      if (!file.Open(path)) {
        why_ = SystemError();
        return kErrDestinationCreate;
      }
      stream = &file;
    } else {
      target_.memory->Discard();
    }
    int code = ExportPsd(*source_->reader, canvas, depth_, source_->budget, *stream, progress, nameCharset_, &why_);
    if (code == kExportAgain && attempt == 0) {
      // A layer's record said more than its head: with every head right,
      // the file is written again.
      stream->Close();
      if ((code = CorrectHeads(*source_->reader)) == 0) continue;
    }
    if (code == kExportAgain) code = kErrIllegalFormat;
    if (code != 0) return code;
    if (stream->Close()) return 0;
    why_ = SystemError();
    return kErrWrite;
  }
}

// ---------------------------------------------------------------- KzmSave

KzmSave::KzmSave(PsdSourcePtr source, TargetRef target, const ConversionEvents& events, bool compress)
    : Job(Stage::Write, events), source_(std::move(source)), target_(std::move(target)), compress_(compress) {}

KzmSave::~KzmSave() = default;

int KzmSave::Run() {
  const uint64_t phases = source_ ? source_->plan.layers.size() : 0;
  return RunWrite(source_ != nullptr, phases, target_, [this](const std::string& path) { return Write(path); });
}

int KzmSave::Write(const std::string& path) {
  const PsdSource& src = *source_;
  chunk::FileSink file;
  if (!path.empty() && !file.open(path.c_str())) {
    why_ = SystemError();
    return kErrDestinationCreate;
  }
  MemoryOutput* memory = target_.memory;
  chunk::RawSink toMemory([memory](const void* data, size_t size) { return memory->Write(data, size) == size; });
  int code = 0;
  bool ok = false;
  // A failed write (disk full) makes the record being saved fail too; the
  // error must name the write, not the record.
  bool written = true;
  const chunk::SinkFunc out = path.empty() ? toMemory.func() : file.func();
  {
    chunk::ChunkSink sink([&](chunk::SinkOp op, uint64_t size, const void* data) {
      const bool done = out(op, size, data);
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
    iio::Psd reader(*src.file, src.nameCharset);
    if (reader.ErrorCode() == 0 && reader.Open() != 0) {
      code = WritePsdLayers(reader, src.plan, compress_, progress, root, src.budget.memoryBytes, &why_);
    } else {
      code = kErrNotPsd;
      why_ = reader.ErrorDetail();
    }
    ok = root.end();
  }
  const bool closed = path.empty() ? toMemory.finished() : file.close();
  if (!written || !closed) {
    why_ = path.empty() ? std::string("no memory for the output") : SystemError();
    return kErrWrite;
  }
  if (code != 0) return code;
  return ok ? 0 : kErrWrite;
}

// ---------------------------------------------------------------- Convert

int32_t Convert(const SourceRef& source, bool nativeSource, const TargetRef& target,
                const ConversionSettings& settings, const ConversionEvents& events, std::string* detail) {
  int32_t code;
  std::string why;
  if (nativeSource) {
    KzmLoad reader(source, events);
    reader.Run();
    if (!reader.document()) {
      code = reader.status(), why = reader.detail();
    } else {
      PsdSave writer(reader.document(), target, events, settings.depth, settings.nameCharset);
      writer.Run();
      code = writer.status(), why = writer.detail();
    }
  } else {
    PsdLoad reader(source, events, settings.nameCharset);
    reader.Run();
    if (!reader.document()) {
      code = reader.status(), why = reader.detail();
    } else {
      KzmSave writer(reader.document(), target, events, settings.compress);
      writer.Run();
      code = writer.status(), why = writer.detail();
    }
  }
  if (detail) *detail = std::move(why);
  return code;
}
