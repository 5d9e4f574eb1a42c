#include "kzm/native_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "chunk/chunk_values.h"
#include "kzm/bitmap_blocks.h"
#include "kzm/pi_folder.h"
#include "kzm/pi_image.h"

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

// 0 for a file whose root values name a version and a tool this reader
// knows; else Open's result. `paint` tells the tool.
int CheckRoot(const chunk::IChunkBase& root, bool& paint) {
  uint32_t version = 0;
  if (!chunk::ReadU32(root, "version", version) || version == 0) return 1;
  if (version < kNativeVersion) return -2;
  std::string tool;
  if (!chunk::ReadString(root, "tooltype", tool)) return 1;
  paint = tool == "VORLET_PAINT";
  if (!paint && tool != "VORLET_MEMO") return -2;
  return 0;
}

// Keeps everything; a layer's bitmap pixels go straight into pool blocks
// (kzm/bitmap_blocks.h) instead of a buffer of the tree.
class LayerParse final : public chunk::ReadAllListener {
 public:
  // `sink`: bitmaps go into blocks, which one load of the layer takes over;
  // else they stay in the tree, which may be loaded from again and again.
  explicit LayerParse(bool sink, chunk::IListener* progress = nullptr) : sink_(sink), progress_(progress) {}
  bool onProgress(uint32_t depth, uint64_t position, uint64_t total) override {
    return progress_ ? progress_->onProgress(depth, position, total) : false;
  }
  chunk::IValueSink* valueSink(uint32_t, const chunk::ChunkSA& chunk, const char* name, uint64_t elemSize,
                               uint64_t count) override {
    if (!sink_ || elemSize != 512 || std::strcmp(name, "Bitmap") != 0 || std::strcmp(chunk.name(), "Body") != 0)
      return nullptr;
    blocks_.emplace_back(new BitmapBlocks(count));
    return blocks_.back().get();
  }

 private:
  bool sink_;
  chunk::IListener* progress_;
  std::vector<std::unique_ptr<BitmapBlocks>> blocks_;  // outlive the trees' references
};

// The fixed canvas of a root record chunk; empty without one.
Rect FixedCanvasOf(const chunk::IChunkBase* rootRecord) {
  std::shared_ptr<Plane> probe = PiFolder::CreateRoot();
  if (!rootRecord || LoadFolderRecord(*probe->folder(), *rootRecord) != 0) return Rect{};
  const auto& fixed = probe->folder()->FixedBounds();
  return fixed ? *fixed : Rect{};
}

}  // namespace

LoadedLayer& LoadedLayer::operator=(LoadedLayer&& o) noexcept {
  if (this != &o) {
    Reset();
    plane_ = std::move(o.plane_);
    budget_ = o.budget_;
    charge_ = o.charge_;
    o.budget_ = nullptr;
    o.charge_ = 0;
  }
  return *this;
}

void LoadedLayer::Reset() {
  plane_.reset();
  if (budget_) budget_->Give(charge_);
  budget_ = nullptr;
  charge_ = 0;
}

NativeReader::NativeReader(DataSrcBase& src, const LoadLimits& limits)
    : src_(src), limits_(limits), account_(chunk::ReadLimits().InflateBudget(src.size())) {
  if (limits.memoryBytes) budget_.reset(new LoadBudget(limits.memoryBytes));
}

NativeReader::~NativeReader() = default;

std::unique_ptr<chunk::ChunkSA> NativeReader::Parse(const chunk::ChunkSpan& span, chunk::IListener* listener,
                                                    const char* stopBefore) {
  chunk::ReadLimits limits;
  limits.account = &account_;
  limits.stopBefore = stopBefore;
  std::unique_ptr<chunk::ChunkSA> tree;
  if (std::shared_ptr<DataSrcBase> range = src_.openRange(span.offset, span.size)) {
    tree.reset(new chunk::ChunkSA(listener, *range, limits));
  } else {
    // A source that cannot give ranges: the span's bytes, copied.
    std::vector<uint8_t> bytes;
    if (!src_.seek(span.offset) || !src_.readInto(bytes, span.size)) return nullptr;
    DataSrcMemory copy(bytes.data(), bytes.size());
    tree.reset(new chunk::ChunkSA(listener, copy, limits));
  }
  if (!tree->ok()) return nullptr;
  return tree;
}

void NativeReader::HeadFrom(Layer& layer, const chunk::IChunkBase* chunk, bool complete) {
  // A record without a body, or whose head does not read, leaves the layer
  // as a new one; a head cut before "Body" has one.
  ImageProperties p;
  std::shared_ptr<const chunk::IChunkBase> rec = chunk ? chunk->findChild("PiImage") : nullptr;
  const bool body = rec && (!complete || rec->findChild("Body"));
  if (body && ReadImageProperties(*chunk, p) == 0) layer.head = p;
}

void NativeReader::ThumbnailFrom(const chunk::IChunkBase* chunk) {
  uint32_t w = 0, h = 0;
  chunk::ArrayView image;
  // A thumbnail larger than thumbnails are made is no thumbnail.
  if (!chunk || !chunk::ReadU32(*chunk, "width", w) || !chunk::ReadU32(*chunk, "height", h) || w == 0 || h == 0 ||
      w > 4096 || h > 4096 || !chunk::FindArray(*chunk, "Image", image) ||
      image.bytes() != size_t(w) * h * sizeof(PixelRGBA))
    return;
  thumbnail_.resize(size_t(w) * h);
  std::memcpy(thumbnail_.data(), image.begin, image.bytes());
  thumbWidth_ = int32_t(w), thumbHeight_ = int32_t(h);
}

int NativeReader::Open(chunk::IListener* listener, const ProgressFunc& progress) {
  layers_.clear();
  fixed_ = Rect{};
  thumbnail_.clear();
  thumbWidth_ = thumbHeight_ = 0;
  {
    chunk::ReadLimits limits;
    limits.account = &account_;
    index_.reset(new chunk::ChunkIndex(listener, src_, limits));
  }
  if (!index_->ok()) return index_->packedRoot() ? OpenWhole(listener, progress) : 1;
  const std::vector<chunk::ChunkSpan>& spans = index_->children();

  // The first child of each name is the one a lookup finds.
  std::map<std::string, const chunk::ChunkSpan*> first;
  for (const chunk::ChunkSpan& s : spans) first.emplace(s.name, &s);
  auto find = [&](const std::string& name) -> const chunk::ChunkSpan* {
    auto it = first.find(name);
    return it == first.end() ? nullptr : it->second;
  };

  bool paint = false;
  const int rootCheck = CheckRoot(index_->root(), paint);
  if (rootCheck != 0) {
    // A damaged file reads as damaged before anything else.
    for (const chunk::ChunkSpan& s : spans)
      if (!Parse(s, nullptr, nullptr)) return 1;
    return rootCheck;
  }

  // The layers: bottom to top.
  const bool twoLayer = !paint || find("Edit");
  std::vector<const chunk::ChunkSpan*> layerSpans;
  if (twoLayer) {
    layerSpans = {find("Image"), find("Edit")};
  } else {
    const uint64_t n = first.size();
    for (uint64_t i = 0; i < n; ++i) {
      const chunk::ChunkSpan* s = find(PlaneName(i));
      if (!s) break;
      layerSpans.push_back(s);
    }
  }

  // Every other chunk is read whole in file order (damage anywhere fails
  // the file), the root record's canvas checked when it is read.
  for (const chunk::ChunkSpan& s : spans) {
    if (std::find(layerSpans.begin(), layerSpans.end(), &s) != layerSpans.end()) continue;
    std::unique_ptr<chunk::ChunkSA> tree = Parse(s, nullptr, nullptr);
    if (!tree) return 1;
    if (&s == find("MergedThumb")) ThumbnailFrom(tree.get());
    if (&s == find("Root")) {
      fixed_ = FixedCanvasOf(tree.get());
      if (limits_.checkCanvas && !fixed_.IsEmpty())
        if (const int code = limits_.checkCanvas(fixed_)) return code;
    }
  }

  // The heads of the layers' records.
  const uint64_t m = layerSpans.size();
  for (uint64_t i = 0; i < m; ++i) {
    if (!twoLayer) Report(progress, 1, 2, i, m);
    Layer layer;
    layer.span = layerSpans[i];
    if (layer.span) {
      std::unique_ptr<chunk::ChunkSA> head = Parse(*layer.span, nullptr, "Body");
      if (!head) return 1;
      HeadFrom(layer, head.get(), head->complete());
    }
    layers_.push_back(std::move(layer));
    if (twoLayer) Report(progress, 1, 2, i, 2);
  }
  if (layers_.empty()) layers_.push_back(Layer());
  return 0;
}

int NativeReader::OpenWhole(chunk::IListener* listener, const ProgressFunc& progress) {
  index_.reset();
  LayerParse parse(false, listener);
  chunk::ReadLimits limits;
  limits.account = &account_;
  whole_.reset(new chunk::ChunkSA(&parse, src_, limits));
  if (!whole_->ok()) return 1;
  const chunk::IChunkBase& root = *whole_;
  bool paint = false;
  if (const int r = CheckRoot(root, paint)) return r;
  ThumbnailFrom(root.findChild("MergedThumb").get());
  std::shared_ptr<const chunk::IChunkBase> rootRecord = root.findChild("Root");
  fixed_ = FixedCanvasOf(rootRecord.get());
  if (limits_.checkCanvas && !fixed_.IsEmpty())
    if (const int code = limits_.checkCanvas(fixed_)) return code;

  std::shared_ptr<const chunk::IChunkBase> edit = root.findChild("Edit");
  std::vector<std::shared_ptr<const chunk::IChunkBase>> chunks;
  const bool twoLayer = !paint || edit;
  if (twoLayer) {
    chunks = {root.findChild("Image"), edit};
  } else {
    const uint64_t n = root.childNames().size();
    for (uint64_t i = 0; i < n; ++i) {
      std::shared_ptr<const chunk::IChunkBase> c = root.findChild(PlaneName(i).c_str());
      if (!c) break;
      chunks.push_back(c);
    }
  }
  for (size_t i = 0; i < chunks.size(); ++i) {
    Report(progress, 1, 2, i, chunks.size());
    Layer layer;
    layer.chunk = chunks[i];
    HeadFrom(layer, layer.chunk.get(), true);
    layers_.push_back(std::move(layer));
  }
  if (layers_.empty()) layers_.push_back(Layer());
  return 0;
}

int NativeReader::LoadLayer(size_t i, LoadedLayer& out, bool* headChanged) {
  out.Reset();
  if (headChanged) *headChanged = false;
  Layer& layer = layers_[i];
  std::unique_ptr<Plane> plane = PiImage::Create(ImageGeometry{});
  uint64_t charge = 0;
  LoadOptions options;
  options.budget = budget_.get();
  options.charged = &charge;
  const uint64_t inflatedBefore = account_.used;
  int r = 0;
  if (layer.chunk) {
    r = LoadLayerRecord(*plane, *layer.chunk, options);
  } else if (layer.span) {
    LayerParse parse(true);
    std::unique_ptr<chunk::ChunkSA> tree = Parse(*layer.span, &parse, nullptr);
    if (!tree) return 1;
    r = LoadLayerRecord(*plane, *tree, options);
  }
  if (r == 2) {
    // Nothing of the layer is kept, so a later call (once other layers
    // have gone) may load it within both limits.
    if (budget_) budget_->Give(charge);
    account_.used = inflatedBefore;
    return kLoadTooLarge;
  }
  // A record that does not hold together leaves the layer as a new one.
  const ImageProperties props = PropertiesOf(*plane->image());
  if (!props.SameAs(layer.head)) {
    layer.head = props;
    if (headChanged) *headChanged = true;
  }
  out.plane_ = std::move(plane);
  out.budget_ = budget_.get();
  out.charge_ = charge;
  return 0;
}

int NativeReader::CheckLayer(size_t i) {
  const Layer& layer = layers_[i];
  if (!layer.span) return 0;
  // Every byte is read (and inflated), none kept.
  class SkipAll final : public chunk::ReadAllListener {
    chunk::ValuePolicy valuePolicy(uint32_t) override { return chunk::ValuePolicy::SkipAll; }
  } skipAll;
  return Parse(*layer.span, &skipAll, nullptr) ? 0 : 1;
}

}  // namespace kzm
