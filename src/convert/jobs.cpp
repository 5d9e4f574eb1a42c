#include "convert/jobs.h"

#include <algorithm>
#include <climits>
#include <functional>
#include <new>
#include <vector>

#include "chunk/chunk_reader.h"
#include "chunk/chunk_writer.h"
#include "base/data_src.h"
#include "chunk/file_sink.h"
#include "convert/import_psd.h"
#include "convert/safe_output.h"
#include "iio/psd.h"
#include "iio/psd_out.h"
#include "iio/write_stream.h"
#include "kzm/doc_load.h"
#include "kzm/doc_save.h"
#include "kzm/image_context.h"
#include "kzm/merged_rows.h"
#include "kzm/pi_image.h"
#include "kzm/pix_iterator.h"
#include "kzm/plane.h"

namespace {

uint64_t RootChildrenOf(const DocumentPtr& doc) {
  return doc && doc->Root() ? doc->ChildCount(doc->Root()) : 0;
}

// Writes through a temporary file beside the destination, which replaces the
// destination only once it is complete; a failure leaves the destination as
// it was and is reported on the line.
int SaveThroughTemporary(bool haveDocument, const std::string& destination, ProgressLine& line,
                         const std::function<int(const std::string&)>& write) {
  int code = kErrNoDocument;
  if (haveDocument) {
    try {
      SafeOutputFile out(destination);
      if (!out.Create())
        code = kErrDestinationCreate;
      else if ((code = write(out.path())) == 0 && !out.Commit())
        code = kErrWrite;
    } catch (const std::bad_alloc&) {
      // The writer's buffers and the temporary are gone with the unwinding.
      code = kErrOutOfMemory;
    }
  }
  if (code != 0) line.Error(code);
  return code;
}

// Runs a read job's work; an allocation failure anywhere in it ends the read
// with its own error line and without a document.
template <typename Fn>
int ReadGuarded(DocumentPtr& document, Fn&& load, const std::function<void(int32_t)>& report) {
  try {
    return load();
  } catch (const std::bad_alloc&) {
    document.reset();
    report(kErrOutOfMemory);
    return -1;
  }
}

}  // namespace

// ---------------------------------------------------------------- limits

ConversionBudget BudgetFor(uint64_t sourceBytes) {
  // Every file gets the floor; larger ones what their bytes could hold: no
  // valid file inflates past 256 times its size, and each byte of the
  // densest paintings gives a few thousand pixels to write.
  ConversionBudget b;
  b.memoryBytes = std::max<uint64_t>(uint64_t(512) << 20, sourceBytes * 256);
  b.outputPixels = std::max<uint64_t>(uint64_t(4) << 30, sourceBytes * 4096);
  return b;
}

int CheckCanvasSize(const kzm::Rect& canvas) {
  const int64_t width = int64_t(canvas.right) - canvas.left, height = int64_t(canvas.bottom) - canvas.top;
  if (width > kMaxSide || height > kMaxSide) return kErrTooLarge;
  if (width > kMaxPsdSide || height > kMaxPsdSide) return kErrTooLargeForPsd;
  return 0;
}

int CheckPsdOutput(kzm::ImageContext& doc, const ConversionBudget& budget) {
  kzm::Plane* root = doc.Root();
  if (!root) return 0;
  const kzm::Rect canvas = root->impl()->Bounds();
  if (const int code = CheckCanvasSize(canvas)) return code;
  const int64_t width = int64_t(canvas.right) - canvas.left, height = int64_t(canvas.bottom) - canvas.top;
  // The merged image, and each layer's rows: the rectangle of its tiles,
  // the whole canvas too for a layer whose default pixel shows.
  uint64_t pixels = canvas.IsEmpty() ? 0 : uint64_t(width) * uint64_t(height);
  const uint64_t n = doc.ChildCount(root);
  for (uint64_t k = 0; k < n; ++k) {
    const kzm::Plane* c = doc.ChildAt(root, int(k));
    if (!c || !c->image()) continue;
    kzm::Rect r = c->image()->Bounds();
    if (c->image()->DefaultPixel().a != 0) r = r.United(canvas);
    if (!r.IsEmpty()) pixels += uint64_t(int64_t(r.right) - r.left) * uint64_t(int64_t(r.bottom) - r.top);
    if (pixels > budget.outputPixels) return kErrTooLarge;
  }
  return 0;
}

// ---------------------------------------------------------------- KzmLoad

KzmLoad::KzmLoad(bool quiet, std::string sourcePath, std::string displayName)
    : sourcePath_(std::move(sourcePath)), line_(quiet, std::move(displayName), LineKind::Read) {}

KzmLoad::~KzmLoad() = default;

int KzmLoad::Run() {
  line_.Reset();
  errorShown_ = false;
  const int result = ReadGuarded(document_, [this] { return Load(); }, [this](int32_t c) { ReportError(c); });
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

int KzmLoad::LoadDocument(DataSrcReadFromFile& source) {
  CSAListener listener(this);
  using namespace std::placeholders;
  const ProgressFunc progress = std::bind(&KzmLoad::OnProgress, this, _1, _2, _3, _4);
  DocumentPtr doc;
  const ConversionBudget budget = BudgetFor(source.size());
  kzm::LoadLimits limits;
  limits.memoryBytes = budget.memoryBytes;
  limits.checkCanvas = [](const kzm::Rect& canvas) { return CheckCanvasSize(canvas); };
  // Parses and loads in one pass, layers decoded as they are read.
  int code = kzm::LoadDocumentFromSource(0, 0, source, &listener, progress, doc, limits);
  if (code == kzm::kLoadTooLarge) code = kErrTooLarge;
  // What a PSD of it would take to write, before any of it is written.
  if (code == 0 && doc) code = CheckPsdOutput(*doc, budget);
  if (code != 0) doc.reset();
  document_ = doc;
  if (code != 0) ReportError(code);
  return document_ ? 0 : -1;
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
  const int result = ReadGuarded(document_, [this] { return Load(); }, [this](int32_t c) { ReportError(c); });
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

int PsdLoad::ImportDocument(DataSrcReadFromFile& source) {
  auto reader = std::make_shared<iio::Psd>(source);
  if (reader->ErrorCode() != 0) {
    ReportError(kErrNotPsd);
    return -1;
  }
  using namespace std::placeholders;
  const ProgressFunc progress = std::bind(&PsdLoad::OnProgress, this, _1, _2, _3, _4);
  DocumentPtr doc;
  ImportPsd(0, 0, *reader, progress, doc);
  document_ = doc;
  if (!document_) {
    ReportError(kErrNotPsd);
    return -1;
  }
  return 0;
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
  return SaveThroughTemporary(document_ != nullptr, destinationPath_, line_,
                              [this](const std::string& path) { return Write(path); });
}

namespace {

using kzm::Plane;
using kzm::Rect;

// A child of the root is written as a PSD layer when it is a raster layer,
// unless it is hidden and its name starts with "*" (working layers).
bool IsEligible(const Plane* c) {
  if (!c || c->Kind() != 1) return false;
  const std::string& name = c->impl()->Name();
  return !(!name.empty() && name[0] == '*' && !c->impl()->Visible());
}

// Smallest rectangle (document positions) of the pixels that a PSD reader
// would see as content: alpha above 0 for a transparent default pixel, else
// any pixel that differs from the default, together with the whole canvas
// (the default colour shows everywhere).
Rect ContentRect(const Plane& c, const Rect& canvas) {
  const kzm::PiImage* img = c.image();
  const PixelRGBA def = img->DefaultPixel();
  const bool clearDefault = def.a == 0;
  auto differs = [&](const PixelRGBA& p) { return clearDefault ? p.a != 0 : p != def; };
  int32_t l = INT32_MAX, t = INT32_MAX, r = INT32_MIN, b = INT32_MIN;
  auto take = [&](int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
    l = std::min(l, x0), t = std::min(t, y0), r = std::max(r, x1), b = std::max(b, y1);
  };
  // What lies inside the rectangle found so far cannot widen it; in most
  // layers nearly every tile and cell soon does, so few are looked at.
  auto inside = [&](int32_t x0, int32_t y0, int32_t size) {
    return l <= x0 && x0 + size <= r && t <= y0 && y0 + size <= b;
  };
  for (const auto& [loc, tile] : img->Tiles()) {
    if (!tile->HasCells() || inside(loc.Left(), loc.Top(), 128)) continue;
    for (int cy = 0; cy < kzm::kTileCells; ++cy) {
      for (int cx = 0; cx < kzm::kTileCells; ++cx) {
        const int32_t x0 = loc.Left() + cx * 8, y0 = loc.Top() + cy * 8;
        if (inside(x0, y0, 8)) continue;
        const kzm::Cell& cell = tile->At(cx, cy);
        if (cell.Kind() == kzm::Cell::kRGBAFill) {
          if (differs(cell.FillValue())) take(x0, y0, x0 + 8, y0 + 8);
        } else if (cell.Kind() == kzm::Cell::kRGBABitmap) {
          const PixelRGBA* px = cell.BitmapPixels();
          unsigned rows = 0, cols = 0;  // bit i: row / column i has content
          for (unsigned i = 0; i < 64; ++i)
            if (differs(px[i])) rows |= 1u << (i >> 3), cols |= 1u << (i & 7);
          if (rows)
            take(x0 + __builtin_ctz(cols), y0 + __builtin_ctz(rows), x0 + 32 - __builtin_clz(cols),
                 y0 + 32 - __builtin_clz(rows));
        }
      }
    }
  }
  Rect rect;
  if (l < r && t < b) {
    // Tile space to document positions.
    const kzm::Point off = c.impl()->Offset();
    rect = Rect{l, t, r, b}.Moved(-off.x, -off.y);
  }
  if (!clearDefault) rect = rect.United(canvas);
  return rect;
}

iio::layer_param_t LayerParams(const Plane& c, const Rect& canvas) {
  iio::layer_param_t P;
  const Plane::Impl& p = *c.impl();
  P.blend = *p.Blend();
  P.name = p.Name();
  P.visible = p.Visible();
  P.planeLock = p.PlaneLock();
  P.alphaLock = p.AlphaLock();
  P.opacity = p.Opacity();
  const Rect r = ContentRect(c, canvas).Moved(-canvas.left, -canvas.top);
  P.left = r.left, P.top = r.top, P.right = r.right, P.bottom = r.bottom;
  return P;
}

}  // namespace

int PsdSave::Write(const std::string& path) {
  kzm::ImageContext& doc = *document_;
  Plane* root = doc.Root();
  const Rect canvas = root->impl()->Bounds();
  if (const int code = CheckCanvasSize(canvas)) return code;
  if (canvas.IsEmpty()) return kErrEmptyCanvas;
  const int64_t width = int64_t(canvas.right) - canvas.left, height = int64_t(canvas.bottom) - canvas.top;

  iio::WriteStream stream;
  if (!stream.Open(path)) return kErrDestinationCreate;
  iio::PsdOut out(stream);
  const uint64_t n = doc.ChildCount(root);

  std::vector<iio::layer_param_t> params;
  for (uint64_t k = 0; k < n; ++k) {
    const Plane* c = doc.ChildAt(root, int(k));
    if (IsEligible(c)) params.push_back(LayerParams(*c, canvas));
  }
  // Readers take the fourth channel of a file without layers for an extra
  // channel, not for its transparency: a document without a layer to write
  // gets one that holds the merged image, visible and over the canvas.
  const bool mergedLayer = params.empty();
  if (mergedLayer) {
    iio::layer_param_t P;
    P.name = iio::kMergedImageName;
    P.right = int32_t(width), P.bottom = int32_t(height);
    params.push_back(P);
  }
  if (!out.Begin(uint32_t(width), uint32_t(height), params)) return kErrWrite;

  // Rows are read where they are encoded (on the work pool), a row of tiles
  // per call, so progress moves as often as the line can show it.
  constexpr int32_t kBand = 128;
  size_t next = 0;
  for (uint64_t k = 0; k < doc.ChildCount(root); ++k) {
    const Plane* c = doc.ChildAt(root, int(k));
    if (!IsEligible(c) || next >= params.size()) continue;
    const iio::layer_param_t& P = params[next++];
    if (!out.BeginLayer(P)) return kErrWrite;
    const int32_t top = canvas.top + P.top, left = canvas.left + P.left, right = canvas.left + P.right;
    const iio::PsdOut::RowSource rows = [c, top, left, right](uint32_t i, uint32_t count, PixelRGBA* o) {
      kzm::PixRandIterator(*c).ReadRows(top + int32_t(i), int(count), left, right, o);
    };
    for (int32_t y = P.top; y < P.bottom; y += kBand) {
      OnProgress(k, n + 1, uint64_t(y - P.top), uint64_t(P.bottom - P.top));
      if (!out.WriteRowsFrom(uint32_t(std::min(kBand, P.bottom - y)), rows)) return kErrWrite;
    }
    if (!out.EndLayer()) return kErrWrite;
  }

  // The merged image comes from the composed root, composed a band of rows
  // at a time as it is written (never held whole). The layer that holds it
  // is composed the same way first, both in the last phase.
  const uint64_t passes = mergedLayer ? 2 : 1;
  for (uint64_t pass = 0; pass < passes; ++pass) {
    const bool layer = pass + 1 < passes;
    if (layer && !out.BeginLayer(params[0])) return kErrWrite;
    kzm::MergedRowReader merged(*root);
    for (int32_t y = canvas.top; y < canvas.bottom; y += kBand) {
      OnProgress(n, n + 1, pass * uint64_t(height) + uint64_t(y - canvas.top), passes * uint64_t(height));
      const int32_t y1 = int32_t(std::min<int64_t>(int64_t(y) + kBand, canvas.bottom));
      std::shared_ptr<const kzm::MergedRowReader::Band> band = merged.Compose(y, y1);
      const int32_t top = canvas.top, left = canvas.left, right = canvas.right;
      if (!out.WriteRowsFrom(uint32_t(y1 - y), [band, top, left, right](uint32_t i, uint32_t count, PixelRGBA* o) {
            band->ReadRows(top + int32_t(i), int(count), left, right, o);
          }))
        return kErrWrite;
    }
    if (layer && !out.EndLayer()) return kErrWrite;
  }
  if (!out.Finish()) return kErrWrite;
  lastError_ = out.LastError();
  return stream.Close() && lastError_ == 0 ? 0 : kErrWrite;
}

uint64_t PsdSave::RootChildCount() const { return RootChildrenOf(document_); }

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
  return SaveThroughTemporary(document_ != nullptr, destinationPath_, line_,
                              [this](const std::string& path) { return Write(path); });
}

int KzmSave::Write(const std::string& path) {
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
    using namespace std::placeholders;
    const ProgressFunc progress = std::bind(&KzmSave::OnProgress, this, _1, _2, _3, _4);
    code = kzm::SaveDocument(*document_, compress_, progress, root);
    ok = root.end();
  }
  const bool closed = file.close();
  if (!written || !closed) return kErrWrite;
  if (code != 0) return code;
  return ok ? 0 : kErrWrite;
}

uint64_t KzmSave::RootChildCount() const { return RootChildrenOf(document_); }
