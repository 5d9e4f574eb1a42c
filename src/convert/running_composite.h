// The merged image composed as the layers of a conversion pass, with the
// clip bases it needs held until their last clipped layer has passed. Both
// directions use it: the PSD writer for the merged image, the PSD reader for
// the native thumbnail.
//
//   RunningComposite<Handle> merged(canvas, props);   // props: every layer's
//   for each layer k: if (merged.Wanted(k)) merged.Add(k, std::move(handle));
//   merged.composite().ReadRows(...);
//
// Handle owns a layer and gives it through handle->image() (kzm::LoadedLayer,
// std::unique_ptr<kzm::Plane>).
#pragma once
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
    const int b = bases_[k];
    if (props_[k].visible) {
      const kzm::PiImage* base = b >= 0 ? held_[size_t(b)]->image() : nullptr;
      const std::vector<kzm::Tile*> tiles =
          merged_.Begin(layer->image(), props_[k], base, b >= 0 ? &props_[size_t(b)] : nullptr);
      base::ParallelFor(tiles.size(), [&](size_t t) { merged_.BlendTile(*tiles[t]); });
      merged_.End();
    }
    if (b >= 0 && lastClipped_[size_t(b)] == k) held_[size_t(b)] = Handle();
    if (lastClipped_[k] != kNone) held_[k] = std::move(layer);
  }

 private:
  static constexpr size_t kNone = ~size_t(0);
  std::vector<kzm::ImageProperties> props_;
  std::vector<int> bases_;
  std::vector<size_t> lastClipped_;  // the last layer that clips to each
  std::vector<Handle> held_;
  kzm::Composite merged_;
};
