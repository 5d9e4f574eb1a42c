// What a sparse layer costs: an 8192 x 8192 layer with a few painted strokes,
// its resident memory next to the bytes of pixels actually held in bitmap
// cells; plus row-reading throughput.
// Run: bench_kzm_memory
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <unistd.h>
#include <vector>

#include "kzm/cell.h"
#include "kzm/pi_image.h"
#include "kzm/pix_iterator.h"

namespace {

constexpr int kSize = 8192;

size_t ResidentBytes() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return size_t(resident) * size_t(sysconf(_SC_PAGESIZE));
}

// Round brush stamps along a few lines across the canvas (solid core, soft
// rim), painted into buffers of the tiles they touch, which then become the
// layer's tiles: uniform cells as fills, the others as bitmaps.
void PaintStrokes(kzm::PiImage& img) {
  struct Stroke { double x0, y0, x1, y1; PixelRGBA colour; };
  const Stroke strokes[] = {
      {300, 400, 7800, 900, {16384, 0, 0, 16384}},
      {1000, 7000, 6000, 2500, {0, 8000, 0, 16384}},
      {4000, 200, 4200, 8000, {0, 0, 12000, 16384}},
      {200, 4000, 8000, 4100, {4000, 4000, 4000, 16384}},
      {7000, 7000, 7900, 7900, {9000, 9000, 0, 16384}},
  };
  const double radius = 12;
  std::map<uint32_t, std::vector<PixelRGBA>> tiles;  // 128 x 128 pixels by locate
  for (const Stroke& s : strokes) {
    const double len = std::hypot(s.x1 - s.x0, s.y1 - s.y0);
    for (double t = 0; t <= len; t += 4) {
      const double cx = s.x0 + (s.x1 - s.x0) * t / len, cy = s.y0 + (s.y1 - s.y0) * t / len;
      for (int y = int(cy - radius); y <= int(cy + radius); ++y)
        for (int x = int(cx - radius); x <= int(cx + radius); ++x) {
          const double d = std::hypot(x - cx, y - cy);
          if (d > radius) continue;
          const uint32_t a = d < radius - 3 ? 16384 : uint32_t(16384 * (radius - d) / 3);
          const PixelRGBA& c = s.colour;
          std::vector<PixelRGBA>& px = tiles[kzm::TileLocate::ForPixel(x, y).key];
          if (px.empty()) px.resize(128 * 128);
          px[size_t((y & 127) * 128 + (x & 127))] =
              PixelRGBA{uint16_t(c.r * a >> 14), uint16_t(c.g * a >> 14), uint16_t(c.b * a >> 14), uint16_t(a)};
        }
    }
  }
  PixelRGBA cell[64];
  for (const auto& [key, px] : tiles) {
    kzm::TileRef t = kzm::TileRef::Adopt(kzm::Tile::Create(kzm::TileLocate(key), true));
    for (int i = 0; i < kzm::kTileCellCount; ++i) {
      const int cx = i % 16, cy = i / 16;
      bool uniform = true;
      for (int k = 0; k < 64; ++k) {
        cell[k] = px[size_t((cy * 8 + k / 8) * 128 + cx * 8 + k % 8)];
        uniform = uniform && cell[k] == cell[0];
      }
      if (uniform)
        kzm::SetFill(t->MutableCells()[i], cell[0]);
      else
        kzm::AssignPixels(t->MutableCells()[i], cell);
    }
    img.InsertTile(t.release());
  }
}

struct Census {
  size_t tiles = 0, bitmapCells = 0, fillCells = 0;
};
Census Count(kzm::Plane::Impl* img) {
  Census c;
  img->ForEachTile([&](kzm::Tile& t, size_t, size_t) {
    ++c.tiles;
    for (int i = 0; i < kzm::kTileCellCount; ++i) {
      const int k = t.Cells()[i].Kind();
      c.bitmapCells += k == kzm::Cell::kRGBABitmap;
      c.fillCells += k == kzm::Cell::kRGBAFill;
    }
    return false;
  });
  return c;
}

void BM_SparseLayerMemory(benchmark::State& state) {
  for (auto _ : state) {
    const size_t before = ResidentBytes();
    auto layer = kzm::PiImage::Create(kzm::ImageGeometry{}, PixelRGBA{0, 0, 0, 0},
                                      kzm::Rect{0, 0, kSize, kSize});
    PaintStrokes(*layer->image());
    layer->image()->CompactTiles();
    const size_t after = ResidentBytes();
    const Census c = Count(layer->impl());
    const double bitmapBytes = double(c.bitmapCells) * 512;
    state.counters["tiles"] = double(c.tiles);
    state.counters["bitmap_cells"] = double(c.bitmapCells);
    state.counters["fill_cells"] = double(c.fillCells);
    state.counters["bitmap_MiB"] = bitmapBytes / (1 << 20);
    state.counters["resident_MiB"] = double(after - before) / (1 << 20);
    state.counters["dense_MiB"] = double(kSize) * kSize * 8 / (1 << 20);
    benchmark::DoNotOptimize(layer.get());
  }
}
BENCHMARK(BM_SparseLayerMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_ReadRows(benchmark::State& state) {
  auto layer = kzm::PiImage::Create();
  PaintStrokes(*layer->image());
  layer->image()->CompactTiles();
  std::vector<PixelRGBA> rows(size_t(kSize) * 8);
  for (auto _ : state) {
    kzm::PixRandIterator it(*layer);
    for (int y = 0; y < kSize; y += 8) {
      it.ReadRows(y, 8, 0, kSize, rows.data());
      benchmark::DoNotOptimize(rows.data());
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kSize * kSize * 8);
}
BENCHMARK(BM_ReadRows)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
