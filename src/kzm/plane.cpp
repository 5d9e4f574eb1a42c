#include "kzm/plane.h"

#include "kzm/pi_folder.h"
#include "kzm/pi_image.h"

namespace kzm {

// ---- handle ----

Plane::Plane(Impl* impl) : impl_(impl) {
  if (impl_) impl_->SetOwner(this);
}

Plane::~Plane() {
  Impl* impl = impl_;
  impl_ = nullptr;
  delete impl;
}

int Plane::Kind() const { return impl_ ? impl_->Kind() : 0; }
PiImage* Plane::image() const { return impl_ && impl_->Kind() == 1 ? static_cast<PiImage*>(impl_) : nullptr; }
PiFolder* Plane::folder() const { return impl_ && impl_->Kind() == 3 ? static_cast<PiFolder*>(impl_) : nullptr; }

// ---- shared interface defaults ----

const PixelRGBA& Plane::Impl::DefaultPixel() const {
  static const PixelRGBA kZero{0, 0, 0, 0};
  return kZero;
}

// ---- adapter ----

void PiAdapter::SetName(const std::string& utf8) {
  // The name ends at its first NUL, as a C string would.
  name_.assign(utf8.c_str());
}

bool PiAdapter::CopyPropertiesTo(Impl& other) const {
  if (&other == this) return true;
  other.SetOpacity(Opacity());
  other.SetBlend(*Blend());
  other.SetName(Name());
  other.SetVisible(Visible());
  other.SetPlaneLock(PlaneLock());
  other.SetAlphaLock(AlphaLock());
  return true;
}

Plane::Impl::INoSwapInfo* PiAdapter::TakeNoSwapInfo() {
  auto* info = new NoSwapInfoImpl();
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  info->owner = owner_;
  info->parent = parent_;
  return info;
}

void PiAdapter::RestoreNoSwapInfo(INoSwapInfo* info) {
  std::unique_ptr<INoSwapInfo> owned(info);
  auto* rec = dynamic_cast<NoSwapInfoImpl*>(info);
  if (!rec) return;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  owner_ = rec->owner;
  parent_ = rec->parent;
}

void PiAdapter::Swap(Plane* other) {
  if (!other || other == owner_ || !owner_) return;
  Plane* mine = owner_;
  Impl* theirs = other->impl();
  std::unique_ptr<INoSwapInfo> myInfo(TakeNoSwapInfo());
  std::unique_ptr<INoSwapInfo> theirInfo(theirs ? theirs->TakeNoSwapInfo() : nullptr);
  mine->ExchangeImpl(theirs);
  other->ExchangeImpl(this);
  if (theirInfo) {
    RestoreNoSwapInfo(theirInfo.release());
  } else {
    // The other handle had no implementation: this one only changes owner.
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    owner_ = other;
    parent_ = nullptr;
  }
  if (theirs) theirs->RestoreNoSwapInfo(myInfo.release());
}

void PiAdapter::SetOffset(const Point& p) { offset_ = p; }

}  // namespace kzm
