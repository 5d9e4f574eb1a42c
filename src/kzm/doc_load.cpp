#include "kzm/doc_load.h"

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <functional>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "chunk/chunk_reader.h"
#include "chunk/chunk_values.h"
#include "base/work_pool.h"
#include "kzm/bitmap_blocks.h"
#include "kzm/bgptn.h"
#include "kzm/image_context.h"
#include "kzm/pi_folder.h"
#include "kzm/pi_image.h"
#include "kzm/record_layer.h"

namespace kzm {

namespace {

std::string PlaneName(uint64_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "Plane%04llx", static_cast<unsigned long long>(index));
  return name;
}

void Report(const ProgressFunc& progress, uint64_t step, uint64_t steps, uint64_t done, uint64_t total) {
  if (progress) progress(step, steps, done, total);
}

void LoadRootRecord(Plane& root, const chunk::IChunkBase& file) {
  if (std::shared_ptr<const chunk::IChunkBase> r = file.findChild("Root"))
    LoadLayerRecord(root, *r, LoadOptions());
  else
    root.folder()->ClearFixedBounds();
}

}  // namespace

namespace {

// Layers decoded while the file was still being read, by plane index.
using DecodedPlanes = std::map<uint64_t, std::unique_ptr<Plane>>;

int LoadFromRoot(int32_t geo0, int32_t geo1, const chunk::IChunkBase* root, const ProgressFunc& progress,
                 DecodedPlanes* decoded, std::shared_ptr<ImageContext>& out) {
  out.reset();
  if (!root) return 1;
  uint32_t version = 0;
  if (!chunk::ReadU32(*root, "version", version) || version == 0) return 1;
  if (version < kNativeVersion) return -2;
  std::string tool;
  if (!chunk::ReadString(*root, "tooltype", tool)) return 1;
  const bool paint = tool == "VORLET_PAINT";
  if (!paint && tool != "VORLET_MEMO") return -2;

  const ImageGeometry geometry{geo0, geo1, 0, 0};
  const LoadOptions options;
  std::shared_ptr<Plane> folder = PiFolder::CreateRoot();
  std::vector<std::unique_ptr<Plane>> layers;
  uint8_t twoLayer = 0;

  std::shared_ptr<const chunk::IChunkBase> edit = root->findChild("Edit");
  if (!paint || edit) {
    twoLayer = 1;
    std::unique_ptr<Plane> e = PiImage::Create(geometry);
    std::unique_ptr<Plane> i = PiImage::Create(geometry);
    LoadRootRecord(*folder, *root);
    Report(progress, 1, 2, 0, 2);
    if (edit) LoadLayerRecord(*e, *edit, options);
    Report(progress, 1, 2, 1, 2);
    if (std::shared_ptr<const chunk::IChunkBase> image = root->findChild("Image"))
      LoadLayerRecord(*i, *image, options);
    layers.push_back(std::move(i));
    layers.push_back(std::move(e));
  } else {
    auto have = [&](uint64_t i) {
      return (decoded && decoded->count(i)) || root->findChild(PlaneName(i).c_str()) != nullptr;
    };
    const uint64_t n = root->childNames().size();
    uint64_t m = 0;
    while (m < n && have(m)) ++m;
    for (uint64_t i = 0; i < m; ++i) {
      Report(progress, 1, 2, i, m);
      auto it = decoded ? decoded->find(i) : DecodedPlanes::iterator();
      if (decoded && it != decoded->end()) {
        layers.push_back(std::move(it->second));
        continue;
      }
      std::shared_ptr<const chunk::IChunkBase> plane = root->findChild(PlaneName(i).c_str());
      std::unique_ptr<Plane> layer = PiImage::Create(geometry);
      LoadLayerRecord(*layer, *plane, options);
      layers.push_back(std::move(layer));
    }
    LoadRootRecord(*folder, *root);
    if (layers.empty()) layers.push_back(PiImage::Create(geometry));
  }

  std::shared_ptr<ImageContextImpl> ctx = ImageContextImpl::Create(folder);
  if (!ctx) return 1;
  ctx->SetFlags(1, twoLayer);
  for (auto& layer : layers) folder->impl()->AppendChild(std::move(layer));

  if (std::shared_ptr<const chunk::IChunkBase> bg = root->findChild("Bg")) {
    auto ptn = std::make_shared<BGPtnInfo>();
    if (LoadBGPtnInfo(*ptn, *bg) == 0) ctx->SetPatternInfo(ptn);
  }
  out = ctx;
  return 0;
}

// The plane index of a child named as PlaneName names it, else false.
bool PlaneIndexOf(const char* name, uint64_t& index) {
  if (std::strncmp(name, "Plane", 5) != 0) return false;
  const char* hex = name + 5;
  const size_t len = std::strlen(hex);
  if (len < 4 || len > 16) return false;
  uint64_t v = 0;
  for (size_t k = 0; k < len; ++k) {
    const char ch = hex[k];
    if (ch >= '0' && ch <= '9')
      v = v << 4 | uint64_t(ch - '0');
    else if (ch >= 'a' && ch <= 'f')
      v = v << 4 | uint64_t(ch - 'a' + 10);
    else
      return false;
  }
  if (PlaneName(v) != name) return false;  // no extra leading zeros
  index = v;
  return true;
}

// Whether a value is a layer's bitmap pixels, which go straight into pool
// blocks instead of a buffer of the tree.
bool IsBitmapArray(const chunk::ChunkSA& chunk, const char* name, uint64_t elemSize) {
  return elemSize == 512 && std::strcmp(name, "Bitmap") == 0 && std::strcmp(chunk.name(), "Body") == 0;
}

// Parses one deferred compressed chunk on its own, keeping everything, with
// its bitmap pixels taken into pool blocks.
class DeferredParse final : public chunk::ReadAllListener {
 public:
  chunk::IValueSink* valueSink(uint32_t, const chunk::ChunkSA& chunk, const char* name, uint64_t elemSize,
                               uint64_t count) override {
    if (!IsBitmapArray(chunk, name, elemSize)) return nullptr;
    blocks_.emplace_back(new BitmapBlocks(count));
    return blocks_.back().get();
  }

  // Null when the chunk is damaged (or inflates past the account's limit).
  std::shared_ptr<const chunk::ChunkSA> Parse(const chunk::PackedChunk& packed, chunk::InflateAccount* account) {
    DataSrcMemory copy(packed.bytes.get(), packed.size);
    DataSrcBase* src = &copy;
    if (packed.source) {
      src = packed.source.get();
      src->rewind();
    }
    chunk::ReadLimits limits;
    limits.account = account;
    auto tree = std::make_shared<const chunk::ChunkSA>(this, *src, limits);
    if (!tree->ok()) return nullptr;
    return tree;
  }

 private:
  std::vector<std::unique_ptr<BitmapBlocks>> blocks_;  // outlive the trees' references
};

struct DeferredChild {
  size_t position = 0;  // distinct child names the parent had listed before it
  chunk::PackedChunk packed;
};

// A layer chunk of the tree together with the compressed children the reader
// handed over unparsed, which are found as if the tree had kept them.
class ChunkWithDeferred final : public chunk::IChunkBase {
 public:
  struct Child {
    size_t position;
    std::shared_ptr<const chunk::ChunkSA> chunk;
  };
  ChunkWithDeferred(const chunk::IChunkBase& base, std::vector<Child> children)
      : base_(base), children_(std::move(children)) {
    // The names in file order, each once: the deferred children arrived in
    // order, each after `position` of the tree's names.
    const std::vector<std::string>& names = base.childNames();
    auto add = [this](const std::string& n) {
      if (std::find(childNames_.begin(), childNames_.end(), n) == childNames_.end()) childNames_.push_back(n);
    };
    size_t next = 0;
    for (const Child& c : children_) {
      while (next < c.position && next < names.size()) add(names[next++]);
      add(c.chunk->name());
    }
    while (next < names.size()) add(names[next++]);
  }

  const char* name() const override { return base_.name(); }
  uint32_t findValue(const char* name, chunk::ValueRange& out) const override { return base_.findValue(name, out); }
  // The first child of the name in file order: a deferred child came before
  // the tree's child of the same name when fewer names had been listed.
  std::shared_ptr<const chunk::IChunkBase> findChild(const char* name) const override {
    if (!name) return nullptr;
    const std::vector<std::string>& names = base_.childNames();
    const size_t inTree = size_t(std::find(names.begin(), names.end(), name) - names.begin());
    for (const Child& c : children_)
      if (c.position <= inTree && std::strcmp(c.chunk->name(), name) == 0) return c.chunk;
    return base_.findChild(name);
  }
  const std::vector<std::string>& valueNames() const override { return base_.valueNames(); }
  const std::vector<std::string>& childNames() const override { return childNames_; }

 private:
  const chunk::IChunkBase& base_;
  std::vector<Child> children_;
  std::vector<std::string> childNames_;
};

// Forwards the job's listener and, while the file is read, decodes every
// "Plane" layer on the work pool as soon as its chunk is complete. The
// layers' compressed records are handed over unread and inflated on the
// pool too (the file's reading thread only copies their bytes); bitmap
// pixels go straight into pool blocks.
class StreamingLoad final : public chunk::IListener {
 public:
  StreamingLoad(int32_t geo0, int32_t geo1, chunk::IListener* job, chunk::InflateAccount* account,
                const LoadLimits& limits, LoadBudget* budget)
      : job_(job), account_(account), geometry_{geo0, geo1, 0, 0}, limits_(limits), budget_(budget) {}
  ~StreamingLoad() {
    try {
      Wait();
    } catch (...) {  // only after a failed parse; its error is the one that counts
    }
  }

  bool onProgress(uint32_t depth, uint64_t position, uint64_t total) override {
    // Past a limit nothing more is read.
    if (canvasResult_ != 0 || (budget_ && budget_->Exceeded())) return true;
    return job_ ? job_->onProgress(depth, position, total) : false;
  }
  chunk::ValuePolicy valuePolicy(uint32_t depth) override {
    // A new layer chunk begins: deferrals of an earlier one that nobody
    // claimed (a repeated name) are orphans.
    if (depth == 1) OrphanOpen();
    return job_ ? job_->valuePolicy(depth) : chunk::ValuePolicy::ReadAll;
  }
  bool wantValue(uint32_t depth, const char* name) override { return job_ ? job_->wantValue(depth, name) : true; }
  bool wantChildren(uint32_t depth, const char* name) override {
    return job_ ? job_->wantChildren(depth, name) : true;
  }
  void onChildrenEnd(uint32_t depth) override {
    if (job_) job_->onChildrenEnd(depth);
  }

  chunk::IValueSink* valueSink(uint32_t, const chunk::ChunkSA& chunk, const char* name, uint64_t elemSize,
                               uint64_t count) override {
    if (!IsBitmapArray(chunk, name, elemSize)) return nullptr;
    blocks_.emplace_back(new BitmapBlocks(count));
    return blocks_.back().get();
  }

  // Compressed children of a layer chunk, when the job keeps everything
  // (the deferred parse does).
  bool deferPacked(uint32_t depth, const chunk::ChunkSA& parent) override {
    uint64_t index;
    return depth == 2 && PlaneIndexOf(parent.name(), index) &&
           (!job_ || job_->valuePolicy(depth) == chunk::ValuePolicy::ReadAll);
  }
  void onPackedDeferred(uint32_t, const chunk::ChunkSA& parent, size_t position, chunk::PackedChunk packed) override {
    if (openParent_ != &parent) OrphanOpen();
    openParent_ = &parent;
    open_.push_back(DeferredChild{position, std::move(packed)});
  }

  bool onChildParsed(uint32_t depth, const chunk::ChunkSA& parent,
                     const std::shared_ptr<const chunk::ChunkSA>& child) override {
    uint64_t index;
    std::vector<DeferredChild> deferred;
    if (openParent_ == child.get()) {
      deferred = std::move(open_);
      open_.clear();
      openParent_ = nullptr;
    }
    if (depth == 0 && std::strcmp(child->name(), "Root") == 0) CheckCanvas(*child);
    if (depth != 0 || !PlaneIndexOf(child->name(), index) || !PlaneDocument(parent)) {
      Validate(std::move(deferred));
      return false;
    }
    std::unique_ptr<Pending> p(new Pending);
    p->index = index;
    p->chunk = child;
    p->deferred = std::move(deferred);
    Pending* raw = p.get();
    const ImageGeometry geometry = geometry_;
    chunk::InflateAccount* account = account_;
    LoadOptions options;
    options.budget = budget_;
    Queue(std::move(p), [raw, geometry, account, options] {
      DeferredParse parse;
      std::vector<ChunkWithDeferred::Child> children;
      for (DeferredChild& d : raw->deferred) {
        std::shared_ptr<const chunk::ChunkSA> tree = parse.Parse(d.packed, account);
        d.packed = chunk::PackedChunk();
        if (!tree) {
          raw->failed = true;
          return;
        }
        children.push_back(ChunkWithDeferred::Child{d.position, std::move(tree)});
      }
      raw->layer = PiImage::Create(geometry);
      if (options.budget && options.budget->Exceeded()) return;
      if (children.empty()) {
        LoadLayerRecord(*raw->layer, *raw->chunk, options);
      } else {
        const ChunkWithDeferred whole(*raw->chunk, std::move(children));
        LoadLayerRecord(*raw->layer, whole, options);
      }
      raw->chunk.reset();
    });
    return true;
  }

  // Waits for every layer in flight; false when a deferred chunk was damaged.
  bool Wait() {
    OrphanOpen();
    while (!pending_.empty()) Finish();
    return !failed_;
  }
  DecodedPlanes& Decoded() { return decoded_; }
  int CanvasResult() const { return canvasResult_; }

 private:
  struct Pending {
    uint64_t index = 0;
    std::shared_ptr<const chunk::IChunkBase> chunk;
    std::vector<DeferredChild> deferred;
    std::unique_ptr<Plane> layer;
    bool failed = false;
    bool decodes = true;  // a layer, not only a check
    size_t copied = 0;    // bytes of deferred chunks held as copies
    base::Task task;     // last: waited for first
  };

  // Layers are decoded in file order on the pool. A compressed chunk read by
  // position costs nothing while it waits, so the reader runs ahead and the
  // pool always has layers to take; copied chunks (sources that cannot give
  // ranges) are held to a budget.
  static constexpr size_t kMaxPending = 64;
  static constexpr size_t kMaxCopied = size_t(192) << 20;
  void Queue(std::unique_ptr<Pending> p, std::function<void()> work) {
    for (const DeferredChild& d : p->deferred)
      if (!d.packed.source) p->copied += d.packed.size;
    while (!pending_.empty() && (pending_.size() >= kMaxPending || copied_ + p->copied > kMaxCopied)) Finish();
    copied_ += p->copied;
    p->task = base::Task(std::move(work));
    pending_.push_back(std::move(p));
  }

  // Deferred chunks whose layer chunk is not decoded (a repeated name, not a
  // layer of this document) are still parsed: damage anywhere fails the load.
  void Validate(std::vector<DeferredChild> deferred) {
    if (deferred.empty()) return;
    std::unique_ptr<Pending> p(new Pending);
    p->decodes = false;
    p->deferred = std::move(deferred);
    Pending* raw = p.get();
    chunk::InflateAccount* account = account_;
    Queue(std::move(p), [raw, account] {
      for (DeferredChild& d : raw->deferred) {
        DeferredParse parse;
        if (!parse.Parse(d.packed, account)) raw->failed = true;
        d.packed = chunk::PackedChunk();
      }
    });
  }
  void OrphanOpen() {
    if (!open_.empty()) Validate(std::move(open_));
    open_.clear();
    openParent_ = nullptr;
  }

  // The thread reading the file helps with the queued layers before it
  // waits for the oldest.
  void Finish() {
    for (auto& q : pending_)
      if (q->task.runIfQueued()) break;
    std::unique_ptr<Pending> p = std::move(pending_.front());
    pending_.pop_front();
    p->task.wait();
    copied_ -= p->copied;
    if (p->failed) failed_ = true;
    if (p->decodes && !p->failed) decoded_[p->index] = std::move(p->layer);
  }

  // Whether the document is one whose "Plane" children become its layers:
  // its values (read before any child) say so.
  bool PlaneDocument(const chunk::ChunkSA& root) {
    if (!checked_) {
      checked_ = true;
      uint32_t version = 0;
      std::string tool;
      planes_ = chunk::ReadU32(root, "version", version) && version >= kNativeVersion &&
                chunk::ReadString(root, "tooltype", tool) && tool == "VORLET_PAINT";
    }
    return planes_;
  }

  // The canvas a root record fixes, against the caller's limit.
  void CheckCanvas(const chunk::IChunkBase& rootRecord) {
    if (!limits_.checkCanvas) return;
    std::shared_ptr<Plane> probe = PiFolder::CreateRoot();
    if (LoadLayerRecord(*probe, rootRecord, LoadOptions()) != 0) return;
    if (const auto& fixed = probe->folder()->FixedBounds()) canvasResult_ = limits_.checkCanvas(*fixed);
  }

  chunk::IListener* job_;
  chunk::InflateAccount* account_;
  const ImageGeometry geometry_;
  const LoadLimits limits_;
  LoadBudget* budget_;
  int canvasResult_ = 0;
  bool checked_ = false, planes_ = false, failed_ = false;
  size_t copied_ = 0;
  std::vector<std::unique_ptr<BitmapBlocks>> blocks_;  // outlive the tree's references
  // Deferred children of the layer chunk being read (or just read).
  std::vector<DeferredChild> open_;
  const chunk::ChunkSA* openParent_ = nullptr;
  std::deque<std::unique_ptr<Pending>> pending_;
  DecodedPlanes decoded_;
};

}  // namespace

int LoadDocument(int32_t geo0, int32_t geo1, const chunk::IChunkBase* root, const ProgressFunc& progress,
                 std::shared_ptr<ImageContext>& out) {
  return LoadFromRoot(geo0, geo1, root, progress, nullptr, out);
}

int LoadDocumentFromSource(int32_t geo0, int32_t geo1, DataSrcBase& src, chunk::IListener* listener,
                           const ProgressFunc& progress, std::shared_ptr<ImageContext>& out,
                           const LoadLimits& loadLimits) {
  out.reset();
  chunk::ReadLimits limits;
  chunk::InflateAccount account(limits.InflateBudget(src.size()));
  limits.account = &account;
  std::unique_ptr<LoadBudget> budget(loadLimits.memoryBytes ? new LoadBudget(loadLimits.memoryBytes) : nullptr);
  StreamingLoad stream(geo0, geo1, listener, &account, loadLimits, budget.get());
  std::unique_ptr<chunk::ChunkSA> root(new chunk::ChunkSA(&stream, src, limits));
  // A failed parse leaves an empty root, which fails as it always does; so
  // does damage in a chunk parsed apart.
  const bool whole = stream.Wait() && root->ok();
  if (stream.CanvasResult() != 0) return stream.CanvasResult();
  if (budget && budget->Exceeded()) return kLoadTooLarge;
  const int code = LoadFromRoot(geo0, geo1, whole ? root.get() : nullptr, progress,
                                whole ? &stream.Decoded() : nullptr, out);
  root.reset();  // before the blocks its values refer to
  return code;
}

}  // namespace kzm
