// The merged image composed as the layers of a conversion pass, with the
// clip bases it needs held until their last clipped layer has passed. Both
// directions use it: the PSD writer for the merged image, the PSD reader for
// the native thumbnail.
//
//   RunningComposite<Handle> merged(canvas, props);   // props: every layer's
//   for each layer k: if (merged.Wanted(k)) merged.Add(k, std::move(handle));
//   merged.composite().ReadRows(...);
//
// A layer written from top to bottom is blended in bands instead (Start,
// BlendAbove, Finish, then Keep when Keeps), so that its rows may go as
// they are written.
//
// Handle owns a layer and gives it through handle->image() (kzm::LoadedLayer,
// std::unique_ptr<kzm::Plane>).
#pragma once
#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "base/work_pool.h"
#include "kzm/composite.h"
#include "kzm/pi_image.h"

template <typename Handle>
class RunningComposite {
 public:
  RunningComposite(const kzm::Rect& canvas, std::vector<kzm::ImageProperties> props)
      : props_(std::move(props)),
        bases_(kzm::Composite::MaskBases(props_)),
        lastClipped_(props_.size(), kNone),
        held_(props_.size()),
        merged_(canvas) {
    for (size_t k = 0; k < bases_.size(); ++k)
      if (bases_[k] >= 0) lastClipped_[size_t(bases_[k])] = k;
  }

  kzm::Composite& composite() { return merged_; }
  // Whether layer k takes part: it is visible, or a later layer clips to it.
  bool Wanted(size_t k) const { return props_[k].visible || lastClipped_[k] != kNone; }
  // Blends layer k when it is visible (its tiles on the work pool), lets go
  // of its clip base after the last layer that clips to it, and keeps the
  // layer itself while a later layer clips to it.
  void Add(size_t k, Handle layer) {
    Start(k, layer);
    Finish(k);
    if (Keeps(k)) Keep(k, std::move(layer));
  }
  // Add in steps, for a layer read from top to bottom that lets go of its
  // tiles as it goes: Start, then BlendAbove(y) before the layer's tiles
  // above row y go, then Finish; the caller keeps the layer and hands it to
  // Keep when Keeps(k).
  void Start(size_t k, const Handle& layer) {
    pending_.clear();
    next_ = 0;
    if (!props_[k].visible) return;
    const int b = bases_[k];
    const kzm::PiImage* base = b >= 0 ? held_[size_t(b)]->image() : nullptr;
    pending_ = merged_.Begin(layer->image(), props_[k], base, b >= 0 ? &props_[size_t(b)] : nullptr);
    std::sort(pending_.begin(), pending_.end(),
              [](const kzm::Tile* a, const kzm::Tile* b) { return a->Locate().Top() < b->Locate().Top(); });
    blending_ = true;
  }
  // Blends the tiles wholly above row y that are not yet blended.
  void BlendAbove(int64_t y) {
    size_t end = next_;
    while (end < pending_.size() && int64_t(pending_[end]->Locate().Top()) + 128 <= y) ++end;
    BlendRange(end);
  }
  void Finish(size_t k) {
    if (blending_) {
      BlendRange(pending_.size());
      merged_.End();
      blending_ = false;
    }
    const int b = bases_[k];
    if (b >= 0 && lastClipped_[size_t(b)] == k) held_[size_t(b)] = Handle();
  }
  // Whether a later layer clips to layer k, which must then be kept whole.
  bool Keeps(size_t k) const { return lastClipped_[k] != kNone; }
  void Keep(size_t k, Handle layer) { held_[k] = std::move(layer); }

 private:
  static constexpr size_t kNone = ~size_t(0);
  void BlendRange(size_t end) {
    const size_t begin = next_;
    base::ParallelFor(end - begin, [&](size_t t) { merged_.BlendTile(*pending_[begin + t]); });
    next_ = end;
  }
  std::vector<kzm::ImageProperties> props_;
  std::vector<int> bases_;
  std::vector<size_t> lastClipped_;  // the last layer that clips to each
  std::vector<Handle> held_;
  kzm::Composite merged_;
  std::vector<kzm::Tile*> pending_;  // the layer in hand's tiles, top to bottom
  size_t next_ = 0;                  // the first not yet blended
  bool blending_ = false;
};
