// The jobs of a conversion. The batch loop runs a read job, takes what it
// read, and hands it to the matching write job:
//   .yvn -> .psd : KzmLoad, then PsdSave
//   .psd -> .yvn : PsdLoad, then KzmSave
// Each job prints its own progress line, closing line and error lines.
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
#include <memory>
#include <string>
#include <vector>

#include "blend/pixel.h"
#include "convert/import_psd.h"
#include "convert/progress.h"
#include "kzm/doc_save.h"
#include "kzm/geometry.h"

class DataSrcReadFromFile;
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

// A native file opened for a layer-at-a-time read.
struct NativeSource {
  NativeSource();
  ~NativeSource();
  std::unique_ptr<DataSrcReadFromFile> file;
  std::unique_ptr<kzm::NativeReader> reader;
  kzm::Rect canvas;
  ConversionBudget budget;
};
using NativeSourcePtr = std::shared_ptr<NativeSource>;

// A PSD opened for a layer-at-a-time read.
struct PsdSource {
  PsdSource();
  ~PsdSource();
  std::unique_ptr<DataSrcReadFromFile> file;
  uint32_t width = 0, height = 0;
  ConversionBudget budget;
  PsdLayerPlan plan;
  kzm::ThumbGeometry thumbGeometry;
  std::vector<PixelRGBA> thumbnail;
};
using PsdSourcePtr = std::shared_ptr<PsdSource>;

// What every job shares: its line, its progress and its error lines.
class Job {
 public:
  Job(bool quiet, std::string displayName, LineKind kind);
  virtual ~Job();
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  // Progress of phase step + 1 of steps.
  bool OnProgress(uint64_t step, uint64_t steps, uint64_t done, uint64_t total);

 protected:
  // Prints the job's error line once.
  void ReportError(int32_t code);
  // Runs the work; an allocation failure anywhere in it ends the job with
  // its own error line.
  template <typename Fn>
  int Guarded(Fn&& work);
  // Writes through a temporary file beside the destination, which replaces
  // it only once complete; a failure leaves the destination as it was and
  // is reported on the line. write(path) gives 0 or an error line's code.
  template <typename Fn>
  int SaveThroughTemporary(const std::string& destination, Fn&& write);
  // A write job's run: a fresh line, the write through a temporary when
  // there is a source (else the error line of a missing document), and the
  // line closed at `phases`.
  template <typename Fn>
  int RunWrite(bool haveSource, uint64_t phases, const std::string& destination, Fn&& write);

  ProgressLine line_;
  bool errorShown_ = false;
};

// Reads a native file's structure: phase 1 of 2 walks the file, phase 2 of
// 2 reads the layers' heads (and, for a file whose root record fixes no
// canvas, the layers' bounds).
class KzmLoad : public Job {
 public:
  KzmLoad(bool quiet, std::string sourcePath, std::string displayName);
  ~KzmLoad() override;

  int Run();
  // Empty when the read failed.
  const NativeSourcePtr& document() const { return source_; }

 private:
  int Load();
  std::string sourcePath_;
  NativeSourcePtr source_;
};

// Reads a PSD's layer records and samples the rows of the native thumbnail;
// one phase per image of the file.
class PsdLoad : public Job {
 public:
  PsdLoad(bool quiet, std::string sourcePath, std::string displayName);
  ~PsdLoad() override;

  int Run();
  // Empty when the read failed.
  const PsdSourcePtr& document() const { return source_; }

 private:
  int Load();
  std::string sourcePath_;
  PsdSourcePtr source_;
  uint64_t lastSteps_ = 1;
};

// Writes a native file as PSD: one phase per layer, then the merged image.
class PsdSave : public Job {
 public:
  // depth: 8 or 16 bits a sample.
  PsdSave(bool quiet, NativeSourcePtr source, std::string destinationPath, std::string displayName,
          uint32_t depth = 8);
  ~PsdSave() override;

  int Run();
  // The run ended on a failure to read the source (a damaged layer, or one
  // past the budget), as a read job's failure would.
  bool readFailed() const { return readFailed_; }

 private:
  int Write(const std::string& path);
  NativeSourcePtr source_;
  std::string destinationPath_;
  uint32_t depth_;
  bool readFailed_ = false;
};

// Writes a PSD as a native file, reading each layer as it writes it; one
// phase per layer.
class KzmSave : public Job {
 public:
  KzmSave(bool quiet, PsdSourcePtr source, std::string destinationPath, std::string displayName, bool compress);
  ~KzmSave() override;

  int Run();
  // The run ended on a failure to read the source.
  bool readFailed() const { return readFailed_; }

 private:
  int Write(const std::string& path);
  PsdSourcePtr source_;
  std::string destinationPath_;
  bool compress_;
  bool readFailed_ = false;
};
