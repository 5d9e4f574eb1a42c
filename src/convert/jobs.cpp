#include "convert/jobs.h"

#include "chunk/data_src.h"
#include "convert/safe_output.h"

// ---------------------------------------------------------------- KzmLoad

KzmLoad::KzmLoad(bool quiet, std::string sourcePath, std::string displayName)
    : sourcePath_(std::move(sourcePath)), line_(quiet, std::move(displayName), LineKind::Read) {}

KzmLoad::~KzmLoad() = default;

int KzmLoad::Run() {
  line_.Reset();
  errorShown_ = false;
  const int result = Load();
  if (!document_ && !errorShown_) ReportError(kErrNoDocument);
  line_.Close(2, 2);
  return result;
}

bool KzmLoad::OnProgress(uint64_t step, uint64_t steps, uint64_t done, uint64_t total) {
  line_.Show(PercentOf(done, total), step + 1, steps);
  return true;
}

bool KzmLoad::CSAListener::onProgress(uint32_t, uint64_t position, uint64_t total) {
  job_->line_.Show(PercentOf(position, total), 1, 2);
  return false;
}

int KzmLoad::Load() {
  DataSrcReadFromFile source;
  if (!source.open(sourcePath_.c_str())) {
    ReportError(kErrSourceOpen);
    return -1;
  }
  return LoadDocument(source);
}

int KzmLoad::LoadDocument(DataSrcReadFromFile&) {
  // The chunk parse (through a CSAListener) and the document load arrive
  // with the document model; a non-zero load code is reported as it is.
  return -1;
}

void KzmLoad::ReportError(int32_t code) {
  errorShown_ = true;
  line_.Error(code);
}

// ---------------------------------------------------------------- PsdLoad

PsdLoad::PsdLoad(bool quiet, std::string sourcePath, std::string displayName)
    : sourcePath_(std::move(sourcePath)), line_(quiet, std::move(displayName), LineKind::Read) {}

PsdLoad::~PsdLoad() = default;

int PsdLoad::Run() {
  line_.Reset();
  lastSteps_ = 1;
  errorShown_ = false;
  const int result = Load();
  if (!document_ && !errorShown_) ReportError(kErrNoDocument);
  line_.Close(lastSteps_, lastSteps_);
  return result;
}

bool PsdLoad::OnProgress(uint64_t step, uint64_t steps, uint64_t done, uint64_t total) {
  lastSteps_ = steps;
  // The line never shows a phase past the count.
  const uint64_t phase = steps != 0 && step >= steps ? steps : step + 1;
  line_.Show(PercentOf(done, total), phase, steps);
  return true;
}

int PsdLoad::Load() {
  DataSrcReadFromFile source;
  if (!source.open(sourcePath_.c_str())) {
    ReportError(kErrSourceOpen);
    return -1;
  }
  return ImportDocument(source);
}

int PsdLoad::ImportDocument(DataSrcReadFromFile&) {
  // The PSD reader and the import arrive with the PSD subsystem; a file the
  // reader rejects is reported as kErrNotPsd.
  return -1;
}

void PsdLoad::ReportError(int32_t code) {
  errorShown_ = true;
  line_.Error(code);
}

// ---------------------------------------------------------------- PsdSave

PsdSave::PsdSave(bool quiet, DocumentPtr document, std::string destinationPath, std::string displayName)
    : document_(std::move(document)),
      destinationPath_(std::move(destinationPath)),
      line_(quiet, std::move(displayName), LineKind::Write) {}

PsdSave::~PsdSave() = default;

int PsdSave::Run() {
  const uint64_t n = RootChildCount();
  line_.Reset();
  const int result = Save();
  line_.Close(n + 1, n + 1);
  return result;
}

bool PsdSave::OnProgress(uint64_t step, uint64_t steps, uint64_t done, uint64_t total) {
  line_.Show(PercentOf(done, total), step + 1, steps);
  return true;
}

int PsdSave::Save() {
  if (!document_) {
    line_.Error(kErrNoDocument);
    return kErrNoDocument;
  }
  SafeOutputFile out(destinationPath_);
  if (!out.Create()) {
    line_.Error(kErrDestinationCreate);
    return kErrDestinationCreate;
  }
  const int code = Write(out.path());
  if (code != 0) {
    line_.Error(code);
    return code;
  }
  if (!out.Commit()) {
    line_.Error(kErrWrite);
    return kErrWrite;
  }
  return 0;
}

int PsdSave::Write(const std::string&) {
  // The PSD writer arrives with the PSD subsystem. An empty canvas is
  // reported as kErrEmptyCanvas before anything is written.
  return kErrWrite;
}

uint64_t PsdSave::RootChildCount() const {
  // Read from the document once the model lands.
  return 0;
}

// ---------------------------------------------------------------- KzmSave

KzmSave::KzmSave(bool quiet, DocumentPtr document, std::string destinationPath, std::string displayName,
                 bool compress)
    : document_(std::move(document)),
      destinationPath_(std::move(destinationPath)),
      line_(quiet, std::move(displayName), LineKind::Write),
      compress_(compress) {}

KzmSave::~KzmSave() = default;

int KzmSave::Run() {
  const uint64_t n = RootChildCount();
  line_.Reset();
  const int result = Save();
  line_.Close(n, n);
  return result;
}

bool KzmSave::OnProgress(uint64_t step, uint64_t steps, uint64_t done, uint64_t total) {
  line_.Show(PercentOf(done, total), step + 1, steps);
  return true;
}

int KzmSave::Save() {
  if (!document_) {
    line_.Error(kErrNoDocument);
    return kErrNoDocument;
  }
  SafeOutputFile out(destinationPath_);
  if (!out.Create()) {
    line_.Error(kErrDestinationCreate);
    return kErrDestinationCreate;
  }
  const int code = Write(out.path());
  if (code != 0) {
    line_.Error(code);
    return code;
  }
  if (!out.Commit()) {
    line_.Error(kErrWrite);
    return kErrWrite;
  }
  return 0;
}

int KzmSave::Write(const std::string&) {
  // The chunk writer and the document save arrive with the document model.
  return kErrWrite;
}

uint64_t KzmSave::RootChildCount() const {
  // Read from the document once the model lands.
  return 0;
}
