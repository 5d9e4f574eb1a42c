// The document handed from a read job to a write job: the root folder and
// the paper pattern.
//
//   std::shared_ptr<ImageContextImpl> ctx = ImageContextImpl::Create(PiFolder::CreateRoot());
//   ctx->AddPlane(std::move(importedFolder));   // dissolves a folder into the root
//   ctx->SetPatternInfo(pattern);               // std::shared_ptr<BGPtnInfo>
//   std::shared_ptr<ImageContext> doc = ctx;    // what the jobs pass on
#pragma once
#include <cstdint>
#include <memory>

#include "kzm/plane.h"

// Paper-pattern record (kzm/bgptn.h).
struct BGPtnInfo;

namespace kzm {

class ImageContext {
 public:
  virtual ~ImageContext() = default;
  virtual Plane* Root() const = 0;
  virtual size_t ChildCount(const Plane* plane) const = 0;
  virtual Plane* ChildAt(const Plane* plane, int index) const = 0;
  virtual std::shared_ptr<BGPtnInfo> PatternInfo() const = 0;
};

class ImageContextImpl final : public ImageContext {
 public:
  // The root must be a folder (a null or non-folder root gives null).
  static std::shared_ptr<ImageContextImpl> Create(std::shared_ptr<Plane> root);
  explicit ImageContextImpl(std::shared_ptr<Plane> root);
  ~ImageContextImpl() override;  // releases the pattern, then the root

  Plane* Root() const override { return root_.get(); }
  size_t ChildCount(const Plane* plane) const override;
  Plane* ChildAt(const Plane* plane, int index) const override;
  std::shared_ptr<BGPtnInfo> PatternInfo() const override { return pattern_; }
  void SetPatternInfo(std::shared_ptr<BGPtnInfo> p) { pattern_ = std::move(p); }

  // Nothing reads the loader's arrangement flags: dropped (doc_load.cpp
  // still hands them in).
  void SetFlags(uint8_t flag1, uint8_t flag2) { (void)flag1, (void)flag2; }

  // An image is appended to the root; a folder is dissolved into it (its
  // children move to the root in order, the folder is destroyed); other
  // kinds (and null) are dropped. Returns the number of planes added.
  size_t AddPlane(std::unique_ptr<Plane> plane);

 private:
  std::shared_ptr<Plane> root_;
  std::shared_ptr<BGPtnInfo> pattern_;
};

}  // namespace kzm
