#include "kzm/image_context.h"

#include "kzm/pi_folder.h"

namespace kzm {

std::shared_ptr<ImageContextImpl> ImageContextImpl::Create(std::shared_ptr<Plane> root) {
  if (!root || root->Kind() != 3) return nullptr;
  return std::make_shared<ImageContextImpl>(std::move(root));
}

ImageContextImpl::ImageContextImpl(std::shared_ptr<Plane> root) : root_(std::move(root)) {}

ImageContextImpl::~ImageContextImpl() {
  pattern_.reset();
  root_.reset();
}

size_t ImageContextImpl::ChildCount(const Plane* plane) const {
  return plane && plane->impl() ? plane->impl()->ChildCount() : 0;
}

Plane* ImageContextImpl::ChildAt(const Plane* plane, int index) const {
  return plane && plane->impl() ? plane->impl()->ChildAt(int64_t(index)) : nullptr;
}

size_t ImageContextImpl::AddPlane(std::unique_ptr<Plane> plane) {
  if (!plane || !root_ || !root_->impl()) return 0;
  Plane::Impl* root = root_->impl();
  switch (plane->Kind()) {
    case 1:
      root->AppendChild(std::move(plane));
      return 1;
    case 3: {
      size_t n = 0;
      while (Plane* first = plane->impl()->ChildAt(0)) {
        std::unique_ptr<Plane> child = plane->impl()->RemoveChild(first);
        if (!child) break;
        root->AppendChild(std::move(child));
        ++n;
      }
      return n;  // the emptied folder goes with `plane`
    }
    default:
      return 0;
  }
}

}  // namespace kzm
