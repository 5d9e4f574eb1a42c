#include "kzm/doc_load.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "chunk/chunk_reader.h"
#include "chunk/chunk_values.h"
#include "chunk/work_pool.h"
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

// Forwards the job's listener and, while the file is read, decodes every
// "Plane" layer on the work pool as soon as its chunk is complete; the
// layers' bitmap pixels go straight into pool blocks.
class StreamingLoad final : public chunk::IListener {
 public:
  StreamingLoad(int32_t geo0, int32_t geo1, chunk::IListener* job) : job_(job), geometry_{geo0, geo1, 0, 0} {}
  ~StreamingLoad() {
    try {
      Wait();
    } catch (...) {  // only after a failed parse; its error is the one that counts
    }
  }

  bool onProgress(uint32_t depth, uint64_t position, uint64_t total) override {
    return job_ ? job_->onProgress(depth, position, total) : false;
  }
  chunk::ValuePolicy valuePolicy(uint32_t depth) override {
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
    if (elemSize != 512 || std::strcmp(name, "Bitmap") != 0 || std::strcmp(chunk.name(), "Body") != 0)
      return nullptr;
    blocks_.emplace_back(new BitmapBlocks(count));
    return blocks_.back().get();
  }

  bool onChildParsed(uint32_t depth, const chunk::ChunkSA& parent,
                     const std::shared_ptr<const chunk::ChunkSA>& child) override {
    uint64_t index;
    if (depth != 0 || !PlaneIndexOf(child->name(), index) || !PlaneDocument(parent)) return false;
    // Layers are decoded in file order on the pool; a few may be in flight.
    while (pending_.size() >= 4) Finish();
    std::unique_ptr<Pending> p(new Pending);
    p->index = index;
    p->chunk = child;
    Pending* raw = p.get();
    const ImageGeometry geometry = geometry_;
    p->task = chunk::Task([raw, geometry] {
      raw->layer = PiImage::Create(geometry);
      LoadLayerRecord(*raw->layer, *raw->chunk, LoadOptions());
      raw->chunk.reset();
    });
    pending_.push_back(std::move(p));
    return true;
  }

  // Waits for every layer in flight.
  void Wait() {
    while (!pending_.empty()) Finish();
  }
  DecodedPlanes& Decoded() { return decoded_; }

 private:
  struct Pending {
    uint64_t index = 0;
    std::shared_ptr<const chunk::IChunkBase> chunk;
    std::unique_ptr<Plane> layer;
    chunk::Task task;  // last: waited for first
  };

  void Finish() {
    std::unique_ptr<Pending> p = std::move(pending_.front());
    pending_.pop_front();
    p->task.wait();
    decoded_[p->index] = std::move(p->layer);
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

  chunk::IListener* job_;
  const ImageGeometry geometry_;
  bool checked_ = false, planes_ = false;
  std::vector<std::unique_ptr<BitmapBlocks>> blocks_;  // outlive the tree's references
  std::deque<std::unique_ptr<Pending>> pending_;
  DecodedPlanes decoded_;
};

}  // namespace

int LoadDocument(int32_t geo0, int32_t geo1, const chunk::IChunkBase* root, const ProgressFunc& progress,
                 std::shared_ptr<ImageContext>& out) {
  return LoadFromRoot(geo0, geo1, root, progress, nullptr, out);
}

int LoadDocumentFromSource(int32_t geo0, int32_t geo1, DataSrcBase& src, chunk::IListener* listener,
                           const ProgressFunc& progress, std::shared_ptr<ImageContext>& out) {
  StreamingLoad stream(geo0, geo1, listener);
  std::unique_ptr<chunk::ChunkSA> root(new chunk::ChunkSA(&stream, src));
  stream.Wait();
  // A failed parse leaves an empty root, which fails as it always does.
  const int code = LoadFromRoot(geo0, geo1, root.get(), progress, root->ok() ? &stream.Decoded() : nullptr, out);
  root.reset();  // before the blocks its values refer to
  return code;
}

}  // namespace kzm
