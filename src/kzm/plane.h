// The layer tree: kzm::Plane handles over node implementations.
//
// A Plane is a small handle with a stable identity; its implementation
// (PiFolder: kind 3, PiImage: kind 1, both derived from PiAdapter) can be
// exchanged with Swap, while owner and parent stay with the handle.
//
// Ownership: a document's root handle is held by shared_ptr; every other handle is owned by its parent folder, which destroys it with the
// folder. Handles not (yet) in a folder are held by std::unique_ptr<Plane>.
//
// Creating nodes (kzm/pi_folder.h, kzm/pi_image.h):
//   std::shared_ptr<Plane> root = PiFolder::CreateRoot();
//   std::unique_ptr<Plane> layer = PiImage::Create();       // empty raster layer
//   layer->impl()->SetName("Layer 1");                       // UTF-8
//   Plane* l = root->impl()->AppendChild(std::move(layer));  // folder takes it
//
// Coordinates: a node's offset is added to a layer (folder) position to get
// its tile-space position: position (x, y) reads tile-space (x + off.x,
// y + off.y). Bounds() of an image is in tile space; a folder reports its
// children's bounds moved into folder coordinates (bounds - child offset).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "blend/blend_desc.h"
#include "blend/pixel.h"
#include "kzm/geometry.h"
#include "kzm/tile.h"

namespace kzm {

class Plane;
class PiAdapter;
class PiFolder;
class PiImage;

class Plane {
 public:
  class Impl;

  Plane() = default;
  // Adopts `impl` (may be null) and makes this handle its owner.
  explicit Plane(Impl* impl);
  ~Plane();  // destroys the implementation
  Plane(const Plane&) = delete;
  Plane& operator=(const Plane&) = delete;

  Impl* impl() const { return impl_; }
  int Kind() const;
  // Typed views (null when the implementation is of another kind).
  PiImage* image() const;
  PiFolder* folder() const;

  // Exchanges implementations without fixing owners (Swap's primitive).
  Impl* ExchangeImpl(Impl* impl) { Impl* old = impl_; impl_ = impl; return old; }

 private:
  Impl* impl_ = nullptr;
};

// The virtual interface of every node. Bodies that only a folder or an image
// gives do nothing / return 0, false or null elsewhere.
class Plane::Impl {
 public:
  class INoSwapInfo {
   public:
    virtual ~INoSwapInfo() = default;
  };
  // Callback of ForEachTile: (tile, index, count) -> true to stop.
  using TileVisitor = std::function<bool(Tile& tile, size_t index, size_t count)>;

  virtual ~Impl() = default;

  virtual int Kind() const = 0;                     // 1 image, 3 folder
  virtual void SetOwner(Plane* owner) = 0;
  virtual const std::string& Name() const = 0;  // UTF-8, "" when never named
  virtual void SetName(const std::string& utf8) = 0;

  // The node's recursive lock (structural changes, tile maps).
  virtual void Lock() = 0;
  virtual void Unlock() = 0;

  virtual uint8_t Visible() const = 0;
  virtual void SetVisible(uint8_t v) = 0;
  virtual uint8_t PlaneLock() const = 0;
  virtual void SetPlaneLock(uint8_t v) = 0;
  virtual uint8_t AlphaLock() const = 0;
  virtual void SetAlphaLock(uint8_t v) = 0;
  virtual const kzm::Blend* Blend() const = 0;
  virtual void SetBlend(const kzm::Blend& b) = 0;
  virtual uint16_t Opacity() const = 0;           // 16384 = opaque
  virtual void SetOpacity(uint16_t o) = 0;

  // ---- tiles ----
  // Read-only lookup: the tile under `loc` or null; never creates.
  virtual Tile* LookupTile(TileLocate loc) const { (void)loc; return nullptr; }
  // Visits the tiles in locate order until the visitor returns true; true
  // when all were visited. Runs under the node lock; the visitor may change
  // cells but must not add or remove tiles (collect locates, act afterwards).
  virtual bool ForEachTile(const TileVisitor& visit) { (void)visit; return true; }
  // True when a tile with cells intersects `r` (this node's tile space).
  virtual bool HasContentIn(const Rect& r) const { (void)r; return false; }

  virtual const PixelRGBA& DefaultPixel() const;  // zero pixel unless an image

  // Copies opacity, blend, name, visible, plane lock, alpha lock.
  virtual bool CopyPropertiesTo(Impl& other) const = 0;
  // Exchanges the implementations behind this node's owner and `other`;
  // owner and parent stay with their handles.
  virtual void Swap(Plane* other) = 0;
  virtual INoSwapInfo* TakeNoSwapInfo() = 0;
  virtual void RestoreNoSwapInfo(INoSwapInfo* info) = 0;  // consumes `info`

  // ---- folder structure ----
  virtual size_t ChildCount() const { return 0; }
  virtual Plane* ChildAt(int64_t index) const { (void)index; return nullptr; }  // null out of range
  // Unlinks the child; ownership goes back to the caller (null when not found).
  virtual std::unique_ptr<Plane> RemoveChild(Plane* child) { (void)child; return nullptr; }
  virtual Plane* Parent() const = 0;
  virtual void SetParent(Plane* parent) = 0;
  // The folder takes ownership and returns the handle.
  virtual Plane* AppendChild(std::unique_ptr<Plane> child) { return child.release(), nullptr; }

  virtual Rect Bounds() const = 0;
  virtual Point Offset() const = 0;
  virtual void SetOffset(const Point& p) = 0;

};

// What all nodes share: properties, the node lock, swapping.
class PiAdapter : public Plane::Impl {
 public:
  class NoSwapInfoImpl final : public INoSwapInfo {
   public:
    Plane* owner = nullptr;
    Plane* parent = nullptr;
  };

  PiAdapter() = default;
  ~PiAdapter() override = default;

  void SetOwner(Plane* owner) override { owner_ = owner; }
  const std::string& Name() const override { return name_; }
  void SetName(const std::string& utf8) override;

  void Lock() override { mutex_.lock(); }
  void Unlock() override { mutex_.unlock(); }

  uint8_t Visible() const override { return visible_; }
  void SetVisible(uint8_t v) override { visible_ = v; }
  uint8_t PlaneLock() const override { return planeLock_; }
  void SetPlaneLock(uint8_t v) override { planeLock_ = v; }
  uint8_t AlphaLock() const override { return alphaLock_; }
  void SetAlphaLock(uint8_t v) override { alphaLock_ = v; }
  const kzm::Blend* Blend() const override { return &blend_; }
  void SetBlend(const kzm::Blend& b) override { blend_ = b; }
  uint16_t Opacity() const override { return opacity_; }
  void SetOpacity(uint16_t o) override { opacity_ = o; }

  bool CopyPropertiesTo(Impl& other) const override;
  void Swap(Plane* other) override;
  INoSwapInfo* TakeNoSwapInfo() override;
  void RestoreNoSwapInfo(INoSwapInfo* info) override;

  Plane* Parent() const override { return parent_; }
  void SetParent(Plane* parent) override { parent_ = parent; }
  Point Offset() const override { return offset_; }
  void SetOffset(const Point& p) override;

 protected:
  Plane* owner_ = nullptr;
  Plane* parent_ = nullptr;
  std::string name_;
  uint8_t visible_ = 1;
  uint8_t planeLock_ = 0;
  uint8_t alphaLock_ = 0;
  uint16_t opacity_ = 16384;
  Point offset_;
  mutable std::recursive_mutex mutex_;
  kzm::Blend blend_;
};

// RAII for a node's recursive lock.
class PlaneLockGuard {
 public:
  explicit PlaneLockGuard(Plane::Impl* impl) : impl_(impl) { if (impl_) impl_->Lock(); }
  ~PlaneLockGuard() { if (impl_) impl_->Unlock(); }
  PlaneLockGuard(const PlaneLockGuard&) = delete;
  PlaneLockGuard& operator=(const PlaneLockGuard&) = delete;

 private:
  Plane::Impl* impl_;
};

}  // namespace kzm
