// Folder composition tests: a slow per-pixel evaluation of a layer tree and
// random layer stacks to hold the tile-by-tile composition against.
#pragma once
#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "support/reference.h"
#include "kzm/pi_folder.h"
#include "kzm/pi_image.h"

namespace kzm {
namespace composetest {

inline PixelRGBA Px(uint16_t r, uint16_t g, uint16_t b, uint16_t a) { return PixelRGBA{r, g, b, a}; }

// Evaluates a tree pixel by pixel with the literal blend reference. A folder
// shows its composition on the tiles it merges (every tile a visible child
// holds, and all tiles of its bounds when a visible child's default pixel is
// not zero) and nothing elsewhere.
class Reference {
 public:
  // The pixel of plane `p` at position (x, y) of its parent.
  PixelRGBA At(const Plane::Impl& p, int32_t x, int32_t y) {
    if (p.Kind() == 1) return *p.PixelAt(x, y);
    const PiFolder& f = static_cast<const PiFolder&>(p);
    const Point o = f.Offset();
    const int64_t X = int64_t(x) + o.x, Y = int64_t(y) + o.y;
    if (!MergedTiles(f).count(TileLocate::FromColRow(int(X >> 7), int(Y >> 7)).key)) return Px(0, 0, 0, 0);
    return Composite(f, x, y);
  }

  static bool Visible(const Plane::Impl& p) {
    if (!p.Visible()) return false;
    if (p.Kind() != 3) return true;
    for (size_t i = 0; i < p.ChildCount(); ++i)
      if (Visible(*p.ChildAt(int64_t(i))->impl())) return true;
    return false;
  }

  // The locates (folder tile space) the folder merges.
  const std::set<uint32_t>& MergedTiles(const PiFolder& f) {
    auto it = tiles_.find(&f);
    if (it != tiles_.end()) return it->second;
    std::set<uint32_t> s;
    const Point fo = f.Offset();
    bool paper = false;
    std::vector<const Plane::Impl*> planes;
    for (size_t i = 0; i < f.ChildCount(); ++i) planes.push_back(f.ChildAt(int64_t(i))->impl());
    if (f.AttachedPlane()) planes.push_back(f.AttachedPlane()->impl());
    for (const Plane::Impl* c : planes) {
      if (!Visible(*c)) continue;
      if (c->DefaultPixel().Word() != 0) paper = true;
      std::vector<uint32_t> own;
      if (c->Kind() == 1) {
        for (auto& e : static_cast<const PiImage*>(c)->Tiles())
          if (e.second->HasCells()) own.push_back(e.first.key);
      } else {
        const auto& sub = MergedTiles(*static_cast<const PiFolder*>(c));
        own.assign(sub.begin(), sub.end());
      }
      const Point co = c->Offset();
      for (uint32_t k : own) {
        const TileLocate l(k);
        // The child's tile square seen from the folder's tile space.
        const int64_t left = int64_t(l.Left()) - co.x + fo.x, top = int64_t(l.Top()) - co.y + fo.y;
        for (int64_t y = top; y < top + 128; y += 127)
          for (int64_t x = left; x < left + 128; x += 127) Add(s, x, y);
      }
    }
    if (paper) {
      const Rect b = f.Bounds();
      if (!b.IsEmpty())
        for (int64_t y = b.top; y < b.bottom + 127; y += 128)
          for (int64_t x = b.left; x < b.right + 127; x += 128)
            Add(s, std::min<int64_t>(x, b.right - 1) + fo.x, std::min<int64_t>(y, b.bottom - 1) + fo.y);
    }
    return tiles_[&f] = std::move(s);
  }

  // The composition of the folder's visible children at folder position (x, y).
  PixelRGBA Composite(const PiFolder& f, int32_t x, int32_t y) {
    PixelRGBA acc = Px(0, 0, 0, 0);
    const Plane::Impl* base = nullptr;
    for (size_t i = 0; i < f.ChildCount(); ++i) {
      const Plane::Impl* c = f.ChildAt(int64_t(i))->impl();
      if (!Visible(*c)) continue;
      const Blend b = *c->Blend();
      uint32_t o = c->Opacity();
      if (base && (b.word0 & Blend::lockdonly)) o = (uint32_t(At(*base, x, y).a) * o) >> 14;
      acc = blendref::Blend(acc, At(*c, x, y), o, b.word0, b.word1);
      if (!base || !(b.word0 & Blend::clip_dsta)) base = c;
    }
    if (const Plane* a = f.AttachedPlane()) {
      const Plane::Impl* c = a->impl();
      if (Visible(*c)) {
        const Blend b = *c->Blend();
        acc = blendref::Blend(acc, At(*c, x, y), c->Opacity(), b.word0, b.word1);
      }
    }
    return acc;
  }

 private:
  static void Add(std::set<uint32_t>& s, int64_t x, int64_t y) {
    const int64_t c = x >> 7, r = y >> 7;
    if (c < -32768 || c > 32767 || r < -32768 || r > 32767) return;
    s.insert(TileLocate::FromColRow(int(c), int(r)).key);
  }

  std::map<const PiFolder*, std::set<uint32_t>> tiles_;
};

// ---------------------------------------------------------------------------
// Random content.

inline PixelRGBA RandomPixel(std::mt19937& rng) {
  uint16_t a;
  switch (rng() % 4) {
    case 0: a = 0; break;
    case 1: a = 16384; break;
    default: a = uint16_t(rng() % 16385); break;
  }
  auto ch = [&] { return uint16_t(rng() % (uint32_t(a) + 1)); };
  const uint16_t r = ch(), g = ch(), b = ch();
  return Px(r, g, b, a);
}

inline int32_t RandomOffset(std::mt19937& rng, int32_t range) {
  switch (rng() % 5) {
    case 0: return 0;
    case 1: return 8 * int32_t(rng() % (2 * range / 8 + 1)) - range / 8 * 8;   // cell-aligned
    case 2: return 128 * (int32_t(rng() % 3) - 1);                            // tile-aligned
    default: return int32_t(rng() % uint32_t(2 * range + 1)) - range;
  }
}

inline Blend RandomBlend(std::mt19937& rng) {
  static const uint8_t kModes[] = {1, 1, 1, 1, 2, 3, 4, 5, 6, 7, 8, 10, 12, 15, 17, 18, 19,
                                   20, 21, 50, 51, 52, 53, 0, 30};
  static const uint32_t kAlpha[] = {4, 4, 4, 4, 4, 1, 2, 8, 16, 0, 0x100};
  static const uint32_t kFlags[] = {0, 0, 0, 0, 0x8000, 0x10000, 0x10000, 0x30000, 0x30000, 0x18000,
                                    0x38000, 0x20000};
  Blend b;
  b.word0 = kModes[rng() % (sizeof kModes)] | kFlags[rng() % (sizeof kFlags / sizeof kFlags[0])];
  b.word1 = kAlpha[rng() % (sizeof kAlpha / sizeof kAlpha[0])];
  return b;
}

// A paint-like tile: mostly empty cells, blobs of bitmaps, fills of a few
// recurring colours (so that neighbouring cells read as one colour).
inline Tile* RandomTile(std::mt19937& rng, TileLocate loc, const PixelRGBA& def, const PixelRGBA* palette,
                        int paletteSize) {
  Tile* t = Tile::Create(loc, true);
  const int style = int(rng() % 3);
  for (int i = 0; i < kTileCellCount; ++i) {
    Cell& c = t->MutableCells()[i];
    const uint32_t r = rng() % 10;
    if (style == 0 && r < 6) continue;                        // sparse: no cell
    if (r < 2) continue;
    if (r < 5) {
      SetFill(c, palette[rng() % uint32_t(paletteSize)]);
    } else if (r < 6) {
      SetFill(c, def);
    } else {
      PixelRGBA px[64];
      const PixelRGBA base = palette[rng() % uint32_t(paletteSize)];
      for (PixelRGBA& p : px) p = rng() % 3 ? RandomPixel(rng) : base;
      AssignPixels(c, px);
    }
  }
  return t;
}

struct StackOptions {
  int minLayers = 3, maxLayers = 8;
  int offsetRange = 70;
  int tileSpan = 2;          // tile columns/rows -span/2 .. span/2 - 1 (negative locates included)
  bool nested = true;
};

struct Stack {
  std::shared_ptr<Plane> root;
  // A nested folder has a visible child whose default pixel shows (merging on
  // request then covers more than Compose does).
  bool nestedPaper = false;
};

inline std::unique_ptr<Plane> RandomImage(std::mt19937& rng, const StackOptions& o) {
  const PixelRGBA def = rng() % 4 == 0 ? RandomPixel(rng) : Px(0, 0, 0, 0);
  std::unique_ptr<Plane> h = PiImage::Create({}, def);
  PiImage* img = h->image();
  PixelRGBA palette[3] = {RandomPixel(rng), RandomPixel(rng), def};
  const int tiles = int(rng() % 3);
  for (int k = 0; k < tiles; ++k) {
    const int col = int(rng() % uint32_t(o.tileSpan)) - o.tileSpan / 2;
    const int row = int(rng() % uint32_t(o.tileSpan)) - o.tileSpan / 2;
    img->InsertTile(RandomTile(rng, TileLocate::FromColRow(col, row), def, palette, 3));
  }
  img->SetOffset(Point{RandomOffset(rng, o.offsetRange), RandomOffset(rng, o.offsetRange)});
  return h;
}

inline void RandomProperties(std::mt19937& rng, Plane::Impl& p) {
  p.SetBlend(RandomBlend(rng));
  p.SetOpacity(rng() % 2 ? 16384 : uint16_t(rng() % 16385));
  p.SetVisible(rng() % 6 ? 1 : 0);
}

inline Stack RandomStack(std::mt19937& rng, const StackOptions& o = {}) {
  Stack s;
  s.root = PiFolder::CreateRoot();
  const int n = o.minLayers + int(rng() % uint32_t(o.maxLayers - o.minLayers + 1));
  for (int i = 0; i < n; ++i) {
    std::unique_ptr<Plane> layer;
    if (o.nested && rng() % 5 == 0) {
      layer = PiFolder::Create();
      const int m = 1 + int(rng() % 3);
      for (int k = 0; k < m; ++k) {
        std::unique_ptr<Plane> c = RandomImage(rng, o);
        RandomProperties(rng, *c->impl());
        if (c->impl()->Visible() && c->impl()->DefaultPixel().Word() != 0) s.nestedPaper = true;
        layer->impl()->AppendChild(std::move(c));
      }
      if (rng() % 3 == 0)
        layer->folder()->SetFixedBounds(Rect{-100, -60, 90, 130});
    } else {
      layer = RandomImage(rng, o);
    }
    RandomProperties(rng, *layer->impl());
    s.root->impl()->AppendChild(std::move(layer));
  }
  return s;
}

}  // namespace composetest
}  // namespace kzm
