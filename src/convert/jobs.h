// The jobs of a conversion: a read job, whose document goes to the matching
// write job:
//   .yvn -> .psd : KzmLoad, then PsdSave
//   .psd -> .yvn : PsdLoad, then KzmSave
// Each job is a stage of the conversion, which tells its caller its
// progress, its end and its result as events (nothing is printed here).
//
// Reads take in what the write needs before its first layer; the write then
// reads each layer as it writes it, so a read failure can also show on the
// write's line, with the same error line:
//   .yvn read: the file's structure and the layers' heads (phase 1 of 2: the
//     walk over the file; phase 2 of 2: the heads).
//   PSD read: the layer records and the native thumbnail, from the rows it
//     samples (one phase per image of the file).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "blend/pixel.h"
#include "convert/import_psd.h"
#include "convert/progress.h"
#include "kzm/doc_save.h"
#include "kzm/geometry.h"

class DataSrcBase;
class MemoryOutput;
namespace kzm {
class NativeReader;
}  // namespace kzm

// Largest canvas side of any document this program converts (a PSD over
// 30,000 pixels a side is written as a large document).
constexpr int64_t kMaxSide = 300000;

// What one conversion may take, decided from the source's size before it is
// read: memory for the tiles and cells of the layers held at once, and
// pixels to write. Every file gets at least enough for ordinary large
// paintings (a 1 MB file converts within 1 GiB and about 30 s on two cores,
// or is refused).
struct ConversionBudget {
  uint64_t memoryBytes = 0;
  uint64_t outputPixels = 0;
  uint64_t inputPixels = 0;  // a PSD source's images together
};
ConversionBudget BudgetFor(uint64_t sourceBytes);
// 0 for a canvas this program converts, kErrTooLarge over kMaxSide.
int CheckCanvasSize(const kzm::Rect& canvas);

enum class Stage { Read, Write };

// What a conversion tells its caller as it goes; every member may be empty.
struct ConversionEvents {
  // The stage's percentage changed (phase counted from 1); false cancels
  // the conversion.
  std::function<bool(Stage stage, uint64_t percent, uint64_t phase, uint64_t phases)> progress;
  // The stage ended with its closing phase numbers and its result (0, or
  // the code of its failure).
  std::function<void(Stage stage, uint64_t phase, uint64_t phases, int32_t status)> stageEnd;
  // A temporary file is about to be created (true) or is gone (false).
  std::function<void(const std::string& path, bool exists)> temporary;
};

// Where a conversion reads: a file, opened by the read job (a failure to
// open it is the read's), or the caller's byte source, which must outlive
// the documents read from it.
struct SourceRef {
  std::string path;
  DataSrcBase* bytes = nullptr;  // used when path is empty
};

// Where it writes: a file, through a temporary beside it, or memory.
struct TargetRef {
  std::string path;
  MemoryOutput* memory = nullptr;  // used when path is empty
};

// A native file opened for a layer-at-a-time read.
struct NativeSource {
  NativeSource();
  ~NativeSource();
  std::unique_ptr<DataSrcBase> opened;  // the file, when the read opened one
  DataSrcBase* file = nullptr;
  std::unique_ptr<kzm::NativeReader> reader;
  kzm::Rect canvas;
  ConversionBudget budget;
};
using NativeSourcePtr = std::shared_ptr<NativeSource>;

// A PSD opened for a layer-at-a-time read.
struct PsdSource {
  PsdSource();
  ~PsdSource();
  std::unique_ptr<DataSrcBase> opened;
  DataSrcBase* file = nullptr;
  std::string nameCharset;
  uint32_t width = 0, height = 0;
  ConversionBudget budget;
  PsdLayerPlan plan;
  kzm::ThumbGeometry thumbGeometry;
  std::vector<PixelRGBA> thumbnail;
};
using PsdSourcePtr = std::shared_ptr<PsdSource>;

// One stage's progress as events: a percentage is told when it changes,
// and the end once.
class StageLine {
 public:
  static constexpr uint64_t kNoPercent = ~uint64_t(0);

  StageLine(Stage stage, const ConversionEvents& events) : stage_(stage), events_(events) {}

  // Run starts: nothing told yet.
  void Reset() { lastPercent_ = kNoPercent; }
  // Tells p unless it was the last one told. False once the caller has
  // asked to stop.
  bool Show(uint64_t p, uint64_t phase, uint64_t count);
  // The stage's end, with its closing phase numbers and result.
  void Close(uint64_t phase, uint64_t count, int32_t status);
  bool cancelled() const { return cancelled_; }

 private:
  Stage stage_;
  const ConversionEvents& events_;
  uint64_t lastPercent_ = kNoPercent;
  bool cancelled_ = false;
};

// What every job shares: its stage, its progress and its failure.
class Job {
 public:
  Job(Stage stage, const ConversionEvents& events);
  virtual ~Job();
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  // Progress of phase step + 1 of steps; false once the caller has asked
  // to stop.
  bool OnProgress(uint64_t step, uint64_t steps, uint64_t done, uint64_t total);
  // The code of the job's failure (0: none), and what caused it where known.
  int32_t status() const { return status_; }
  const std::string& detail() const { return detail_; }

 protected:
  // Records the job's failure, the first one only.
  void ReportError(int32_t code, const std::string& detail = std::string());
  // Runs the work; an allocation failure anywhere in it ends the job with
  // its own error.
  template <typename Fn>
  int Guarded(Fn&& work);
  // Writes the target: a file through a temporary beside it, which
  // replaces it only once complete (a failure leaves the destination as it
  // was), or memory. write(path) writes the file at path, or memory when
  // path is empty, and gives 0 or a failure's code.
  template <typename Fn>
  int SaveToTarget(const TargetRef& target, Fn&& write);
  // A write job's run: the write when there is a source (else the failure
  // of a missing document), and the stage closed at `phases`.
  template <typename Fn>
  int RunWrite(bool haveSource, uint64_t phases, const TargetRef& target, Fn&& write);

  const ConversionEvents& events_;
  StageLine line_;
  int32_t status_ = 0;
  std::string detail_;
  std::string why_;  // what caused the write's failure, where known
};

// Reads a native file's structure: phase 1 of 2 walks the file, phase 2 of
// 2 reads the layers' heads (and, for a file whose root record fixes no
// canvas, the layers' bounds).
class KzmLoad : public Job {
 public:
  KzmLoad(SourceRef source, const ConversionEvents& events);
  ~KzmLoad() override;

  int Run();
  // Empty when the read failed.
  const NativeSourcePtr& document() const { return source_; }

 private:
  int Load();
  SourceRef sourceRef_;
  NativeSourcePtr source_;
};

// Reads a PSD's layer records and samples the rows of the native thumbnail;
// one phase per image of the file.
class PsdLoad : public Job {
 public:
  PsdLoad(SourceRef source, const ConversionEvents& events, std::string nameCharset);
  ~PsdLoad() override;

  int Run();
  // Empty when the read failed.
  const PsdSourcePtr& document() const { return source_; }

 private:
  int Load();
  SourceRef sourceRef_;
  std::string nameCharset_;
  PsdSourcePtr source_;
  uint64_t lastSteps_ = 1;
};

// Writes a native file as PSD: one phase per layer, then the merged image.
class PsdSave : public Job {
 public:
  // depth: 8 or 16 bits a sample.
  PsdSave(NativeSourcePtr source, TargetRef target, const ConversionEvents& events, uint32_t depth,
          std::string nameCharset);
  ~PsdSave() override;

  int Run();

 private:
  int Write(const std::string& path);
  NativeSourcePtr source_;
  TargetRef target_;
  uint32_t depth_;
  std::string nameCharset_;
};

// Writes a PSD as a native file, reading each layer as it writes it; one
// phase per layer.
class KzmSave : public Job {
 public:
  KzmSave(PsdSourcePtr source, TargetRef target, const ConversionEvents& events, bool compress);
  ~KzmSave() override;

  int Run();

 private:
  int Write(const std::string& path);
  PsdSourcePtr source_;
  TargetRef target_;
  bool compress_;
};

// What a conversion is asked to write.
struct ConversionSettings {
  bool compress = true;     // .yvn: deflate layer records
  uint32_t depth = 8;       // PSD: bits a sample
  std::string nameCharset;  // PSD Pascal names; "" is UTF-8
};

// The read, then the write. 0, or the code of the first failure (the
// read's, when it failed: then nothing is written), with its cause in
// *detail where known.
int32_t Convert(const SourceRef& source, bool nativeSource, const TargetRef& target,
                const ConversionSettings& settings, const ConversionEvents& events, std::string* detail = nullptr);
