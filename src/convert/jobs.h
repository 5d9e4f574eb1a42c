// The four jobs of a conversion. The batch loop runs a read job, takes its
// document, and hands it to the matching write job:
//   .yvn -> .psd : KzmLoad, then PsdSave
//   .psd -> .yvn : PsdLoad, then KzmSave
// Each job prints its own progress line, closing line and error lines.
#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "chunk/chunk_reader.h"
#include "convert/progress.h"
#include "kzm/geometry.h"

class DataSrcReadFromFile;
namespace kzm {
class ImageContext;
}

using DocumentPtr = std::shared_ptr<kzm::ImageContext>;

// Largest canvas side of a PSD, and of any document this program converts.
constexpr int64_t kMaxPsdSide = 30000;
constexpr int64_t kMaxSide = 300000;

// What one conversion may take, decided from the source's size before it is
// read: memory for the document's tiles and cells, and pixels to write.
// Every file gets at least enough for ordinary large paintings (a 1 MB file
// converts within 1 GiB and about 30 s on two cores, or is refused).
struct ConversionBudget {
  uint64_t memoryBytes = 0;
  uint64_t outputPixels = 0;
};
ConversionBudget BudgetFor(uint64_t sourceBytes);
// 0 for a canvas a PSD can hold; kErrTooLargeForPsd over kMaxPsdSide,
// kErrTooLarge over kMaxSide.
int CheckCanvasSize(const kzm::Rect& canvas);
// 0 when a PSD of the document fits PSD's canvas limit and the budget's
// pixels (canvas plus every layer's rectangle); else kErrTooLarge or
// kErrTooLargeForPsd.
int CheckPsdOutput(kzm::ImageContext& doc, const ConversionBudget& budget);

// Reads a native file: the chunk reader parses it (phase 1 of 2), then the
// document is built from the chunk tree (phase 2 of 2).
class KzmLoad {
 public:
  KzmLoad(bool quiet, std::string sourcePath, std::string displayName);
  ~KzmLoad();

  int Run();
  // Empty when the read failed.
  const DocumentPtr& document() const { return document_; }

  // Bound into the ProgressFunc of the document load.
  bool OnProgress(uint64_t step, uint64_t steps, uint64_t done, uint64_t total);

  // Gives the chunk reader's progress to the job's line; keeps everything, never cancels.
  class CSAListener final : public chunk::ChunkSA::IListener {
   public:
    explicit CSAListener(KzmLoad* job) : job_(job) {}
    bool onProgress(uint32_t depth, uint64_t position, uint64_t total) override;
    chunk::ValuePolicy valuePolicy(uint32_t) override { return chunk::ValuePolicy::ReadAll; }
    bool wantValue(uint32_t, const char*) override { return true; }
    bool wantChildren(uint32_t, const char*) override { return true; }
    void onChildrenEnd(uint32_t) override {}

   private:
    KzmLoad* job_;
  };

  uint64_t lastPercent() const { return line_.lastPercent; }
  void SetOutput(std::FILE* out) { line_.SetOutput(out); }

 private:
  int Load();
  // Parses the opened source and builds the document from it; sets document_
  // and reports through ReportError. 0, or -1 when no document came of it.
  int LoadDocument(DataSrcReadFromFile& source);
  void ReportError(int32_t code);

  std::string sourcePath_;
  ProgressLine line_;
  DocumentPtr document_;
  bool errorShown_ = false;
};

// Reads a PSD file into a document; one phase per image of the file.
class PsdLoad {
 public:
  PsdLoad(bool quiet, std::string sourcePath, std::string displayName);
  ~PsdLoad();

  int Run();
  const DocumentPtr& document() const { return document_; }

  // Bound into the ProgressFunc given to the PSD import; step counts from 0.
  bool OnProgress(uint64_t step, uint64_t steps, uint64_t done, uint64_t total);

  uint64_t lastPercent() const { return line_.lastPercent; }
  uint64_t lastSteps() const { return lastSteps_; }
  void SetOutput(std::FILE* out) { line_.SetOutput(out); }

 private:
  int Load();
  // Reads the PSD from the opened source and imports it; sets document_ and
  // reports through ReportError. 0, or -1 when no document came of it.
  int ImportDocument(DataSrcReadFromFile& source);
  void ReportError(int32_t code);

  std::string sourcePath_;
  ProgressLine line_;
  DocumentPtr document_;
  uint64_t lastSteps_ = 1;
  bool errorShown_ = false;
};

// Writes a document as PSD: one phase per root child, then the merged image.
class PsdSave {
 public:
  PsdSave(bool quiet, DocumentPtr document, std::string destinationPath, std::string displayName);
  ~PsdSave();

  int Run();

  // Row progress: child k of n root children is step k of n + 1 steps, the
  // merged image step n.
  bool OnProgress(uint64_t step, uint64_t steps, uint64_t done, uint64_t total);

  uint64_t lastPercent() const { return line_.lastPercent; }
  // The PSD writer's code of the last failure (0 when none).
  int32_t lastError() const { return lastError_; }
  void SetOutput(std::FILE* out) { line_.SetOutput(out); }

 private:
  int Save();
  // Writes the whole PSD to path and closes it. 0, or the code of the error
  // line to print; the caller then removes the file.
  int Write(const std::string& path);
  uint64_t RootChildCount() const;

  DocumentPtr document_;
  std::string destinationPath_;
  ProgressLine line_;
  int32_t lastError_ = 0;
};

// Writes a document as a native file; one phase per root child.
class KzmSave {
 public:
  KzmSave(bool quiet, DocumentPtr document, std::string destinationPath, std::string displayName, bool compress);
  ~KzmSave();

  int Run();

  // Bound into the ProgressFunc of the document save.
  bool OnProgress(uint64_t step, uint64_t steps, uint64_t done, uint64_t total);

  uint64_t lastPercent() const { return line_.lastPercent; }
  bool compress() const { return compress_; }
  void SetOutput(std::FILE* out) { line_.SetOutput(out); }

 private:
  int Save();
  // Writes the whole native file to path and closes it. 0, or the code of
  // the error line to print; the caller then removes the file.
  int Write(const std::string& path);
  uint64_t RootChildCount() const;

  DocumentPtr document_;
  std::string destinationPath_;
  ProgressLine line_;
  bool compress_;
};
