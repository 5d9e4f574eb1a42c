#include "kzm/pi_folder.h"

#include <algorithm>

namespace kzm {

std::unique_ptr<Plane> PiFolder::Create() { return std::make_unique<Plane>(new PiFolder()); }

std::shared_ptr<Plane> PiFolder::CreateRoot() { return std::make_shared<Plane>(new PiFolder()); }

PiFolder::PiFolder() = default;

PiFolder::~PiFolder() {
  std::vector<Plane*> children;
  children.swap(children_);
  for (Plane* c : children) delete c;
}

size_t PiFolder::ChildCount() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return children_.size();
}

Plane* PiFolder::ChildAt(int64_t index) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (index < 0 || uint64_t(index) >= children_.size()) return nullptr;
  return children_[size_t(index)];
}

std::unique_ptr<Plane> PiFolder::RemoveChild(Plane* child) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = std::find(children_.begin(), children_.end(), child);
  if (it == children_.end()) return nullptr;
  children_.erase(it);
  if (child->impl()) child->impl()->SetParent(nullptr);
  return std::unique_ptr<Plane>(child);
}

Plane* PiFolder::AppendChild(std::unique_ptr<Plane> child) {
  if (!child || child.get() == owner_) return nullptr;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  children_.reserve(children_.size() + 1);  // the push below cannot fail any more
  Plane* c = child.release();
  children_.push_back(c);
  if (c->impl()) c->impl()->SetParent(owner_);
  return c;
}

Rect PiFolder::Bounds() const {
  if (fixedBounds_) return *fixedBounds_;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Rect b;
  for (Plane* c : children_) {
    if (!c->impl()) continue;
    const Rect r = c->impl()->Bounds();
    if (r.IsEmpty()) continue;
    // An image's bounds are its tile space; a folder's are positions already.
    const Point o = c->Kind() == 3 ? Point{} : c->impl()->Offset();
    b = b.United(r.Moved(-o.x, -o.y));
  }
  return b;
}

}  // namespace kzm
