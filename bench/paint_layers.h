// Paint-like layers for the model benchmarks: soft blobs and wandering
// strokes of dabs on transparency, or one uniform colour, on a square canvas.
#pragma once

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "kzm/cell.h"
#include "kzm/pi_image.h"
#include "kzm/tile.h"

namespace bench {

// Canvas of one layer while it is painted.
class PaintCanvas {
 public:
  explicit PaintCanvas(int size) : size_(size), px_(size_t(size) * size) {}

  // Blobs and strokes of drifting colour over a cleared canvas, then cut into
  // the layer's tiles.
  void PaintLayer(std::mt19937& rng, kzm::PiImage& img) {
    std::fill(px_.begin(), px_.end(), PixelRGBA{0, 0, 0, 0});
    for (int b = 0; b < 6; ++b)
      Dab(float(rng() % size_), float(rng() % size_), float(60 + rng() % 300), Colour(rng, 16384));
    for (int s = 0; s < 60; ++s) {
      float x = float(rng() % size_), y = float(rng() % size_), dir = float(rng() % 628) / 100;
      const float r = float(3 + rng() % 30);
      PixelRGBA c = Colour(rng, 8192 + rng() % 8193);
      for (int k = 0; k < 250; ++k) {
        Dab(x, y, r, c);
        dir += (float(rng() % 200) - 100) / 400;
        x += std::cos(dir) * r * 0.4f;
        y += std::sin(dir) * r * 0.4f;
        if (k % 25 == 0) c = Colour(rng, c.a);
      }
    }
    ToLayer(img);
  }

  // Every tile of the canvas filled with one colour.
  void FillLayer(const PixelRGBA& c, kzm::PiImage& img) const {
    for (int ty = 0; ty < size_ / 128; ++ty)
      for (int tx = 0; tx < size_ / 128; ++tx)
        img.InsertTile(kzm::Tile::CreateFilled(kzm::TileLocate::FromColRow(tx, ty), c));
  }

  // A random premultiplied colour of the given alpha.
  static PixelRGBA Colour(std::mt19937& rng, uint32_t alpha) {
    auto ch = [&] { return uint16_t((rng() % 16385) * alpha >> 14); };
    return PixelRGBA{ch(), ch(), ch(), uint16_t(alpha)};
  }

 private:
  // A soft round dab: full coverage inside r - 1.5, falling to 0 at r.
  void Dab(float cx, float cy, float r, const PixelRGBA& colour) {
    const int x0 = std::max(0, int(cx - r)), x1 = std::min(size_ - 1, int(cx + r) + 1);
    const int y0 = std::max(0, int(cy - r)), y1 = std::min(size_ - 1, int(cy + r) + 1);
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) {
        const float d = std::sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy));
        const float cov = std::min(1.0f, std::max(0.0f, (r - d) / 1.5f));
        if (cov <= 0) continue;
        const uint32_t m = uint32_t(cov * 16384);
        PixelRGBA& d16 = px_[size_t(y) * size_ + x];
        const uint32_t sa = (colour.a * m) >> 14, inv = 16384 - sa;
        d16.r = uint16_t(((colour.r * m) >> 14) + ((d16.r * inv) >> 14));
        d16.g = uint16_t(((colour.g * m) >> 14) + ((d16.g * inv) >> 14));
        d16.b = uint16_t(((colour.b * m) >> 14) + ((d16.b * inv) >> 14));
        d16.a = uint16_t(sa + ((d16.a * inv) >> 14));
      }
  }

  // Uniform cells become fills, transparent cells and tiles stay out.
  void ToLayer(kzm::PiImage& img) const {
    PixelRGBA cell[64];
    for (int ty = 0; ty < size_ / 128; ++ty)
      for (int tx = 0; tx < size_ / 128; ++tx) {
        kzm::TileRef t = kzm::TileRef::Adopt(kzm::Tile::Create(kzm::TileLocate::FromColRow(tx, ty), true));
        bool any = false;
        for (int cy = 0; cy < 16; ++cy)
          for (int cx = 0; cx < 16; ++cx) {
            const PixelRGBA* src = &px_[size_t(ty * 128 + cy * 8) * size_ + tx * 128 + cx * 8];
            bool uniform = true;
            for (int y = 0; y < 8; ++y)
              for (int x = 0; x < 8; ++x) {
                cell[y * 8 + x] = src[size_t(y) * size_ + x];
                uniform = uniform && cell[y * 8 + x] == cell[0];
              }
            if (uniform && cell[0].Word() == 0) continue;  // no cell: the default pixel
            any = true;
            if (uniform)
              kzm::SetFill(t->MutableAt(cx, cy), cell[0]);
            else
              kzm::AssignPixels(t->MutableAt(cx, cy), cell);
          }
        if (any) img.InsertTile(t.release());
      }
  }

  int size_;
  std::vector<PixelRGBA> px_;
};

}  // namespace bench
