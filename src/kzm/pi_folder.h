// Folder node: an ordered list of owned child planes (first = bottom), and
// the canvas a file's root record fixes.
//
// Documents are flat: the root folder holds the layers, and a folder among
// them holds nothing (a file stores the root's children only). The merged
// image is composed a layer at a time (kzm/composite.h), not held here.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "kzm/plane.h"

namespace kzm {

class PiFolder final : public PiAdapter {
 public:
  // A new empty folder behind a new handle / as a shared document root.
  static std::unique_ptr<Plane> Create();
  static std::shared_ptr<Plane> CreateRoot();

  PiFolder();
  ~PiFolder() override;  // destroys the children

  int Kind() const override { return 3; }

  size_t ChildCount() const override;
  Plane* ChildAt(int64_t index) const override;
  std::unique_ptr<Plane> RemoveChild(Plane* child) override;
  Plane* AppendChild(std::unique_ptr<Plane> child) override;

  // The fixed bounds when set, else the union of the children's non-empty
  // bounds (hidden ones included), each moved by minus the child's offset.
  Rect Bounds() const override;
  void SetFixedBounds(const Rect& r) { fixedBounds_ = r; }
  void ClearFixedBounds() { fixedBounds_.reset(); }
  const std::optional<Rect>& FixedBounds() const { return fixedBounds_; }

 private:
  std::vector<Plane*> children_;  // owned
  std::optional<Rect> fixedBounds_;
};

}  // namespace kzm
