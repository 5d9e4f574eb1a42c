// Folder composition on 4096 x 4096 documents. Run: bench_kzm_compose
//
// - paint: 12 paint-like layers (soft strokes and blobs on transparency in
//   several blend modes and opacities, one layer off the cell grid, two
//   full-canvas fills);
// - noise: 8 full-canvas layers of noise (every cell a bitmap) in several
//   blend modes.
// "reuse" composes into the merged tiles of the previous run; "fresh" drops
// them first, so every cell is allocated again. The per_MPix counter is
// the time per megapixel of canvas.
//
// Figures are CPU time of the composing thread; on a busy machine the wall
// time is larger.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "blend/kernels.h"
#include "kzm/cell.h"
#include "kzm/compose.h"
#include "kzm/image_context.h"
#include "kzm/pi_folder.h"
#include "kzm/pi_image.h"
#include "kzm/tile.h"
#include "paint_layers.h"

namespace {

constexpr int kSize = 4096;
constexpr double kMegapixels = double(kSize) * kSize / 1e6;

void SetMode(kzm::Plane::Impl& p, uint32_t mode, uint16_t opacity) {
  kzm::Blend b;
  b.word0 = mode;
  p.SetBlend(b);
  p.SetOpacity(opacity);
}

std::shared_ptr<kzm::ImageContextImpl> PaintDocument() {
  auto doc = kzm::ImageContextImpl::Create(kzm::PiFolder::CreateRoot());
  doc->Root()->folder()->SetFixedBounds(kzm::Rect{0, 0, kSize, kSize});
  std::mt19937 rng(2024);
  bench::PaintCanvas canvas(kSize);
  static const uint32_t kModes[12] = {1, 1, 3, 1, 6, 1, 1, 7, 1, 18, 1, 20};
  for (int l = 0; l < 12; ++l) {
    auto layer = kzm::PiImage::Create();
    if (l == 0 || l == 6) {
      canvas.FillLayer(bench::PaintCanvas::Colour(rng, l == 0 ? 16384 : 6000), *layer->image());
    } else {
      canvas.PaintLayer(rng, *layer->image());
      if (l == 5) layer->impl()->SetOffset(kzm::Point{-13, 21});  // read across cells
    }
    SetMode(*layer->impl(), kModes[l], l % 4 == 3 ? 11000 : 16384);
    doc->Root()->impl()->AppendChild(std::move(layer));
  }
  return doc;
}

std::shared_ptr<kzm::ImageContextImpl> NoiseDocument() {
  auto doc = kzm::ImageContextImpl::Create(kzm::PiFolder::CreateRoot());
  doc->Root()->folder()->SetFixedBounds(kzm::Rect{0, 0, kSize, kSize});
  uint64_t s = 0x9E3779B97F4A7C15ull;
  auto next = [&s] {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  };
  static const uint32_t kModes[8] = {1, 3, 6, 1, 7, 20, 52, 1};
  PixelRGBA cell[64];
  for (int l = 0; l < 8; ++l) {
    auto layer = kzm::PiImage::Create();
    for (int ty = 0; ty < kSize / 128; ++ty)
      for (int tx = 0; tx < kSize / 128; ++tx) {
        kzm::Tile* t = kzm::Tile::Create(kzm::TileLocate::FromColRow(tx, ty), true);
        for (int i = 0; i < kzm::kTileCellCount; ++i) {
          for (PixelRGBA& p : cell) {
            const uint64_t v = next();
            const uint16_t a = l == 0 ? 16384 : uint16_t(v % 16385);
            p = PixelRGBA{uint16_t((v >> 16) % (a + 1u)), uint16_t((v >> 32) % (a + 1u)),
                          uint16_t((v >> 48) % (a + 1u)), a};
          }
          kzm::AssignPixels(t->MutableCells()[i], cell);
        }
        layer->image()->InsertTile(t);
      }
    SetMode(*layer->impl(), kModes[l], l % 3 == 2 ? 12000 : 16384);
    doc->Root()->impl()->AppendChild(std::move(layer));
  }
  return doc;
}

kzm::ImageContextImpl& Document(int which) {
  static std::shared_ptr<kzm::ImageContextImpl> docs[2];
  if (!docs[which]) {
    docs[1 - which].reset();  // one document in memory at a time
    docs[which] = which == 0 ? PaintDocument() : NoiseDocument();
  }
  return *docs[which];
}

void Run(benchmark::State& state, int which) {
  const bool fresh = state.range(0) != 0;
  blend::InitBlendTables();
  kzm::ImageContextImpl& doc = Document(which);
  kzm::PiFolder& root = *doc.Root()->folder();
  if (!kzm::ComposeRoot(doc, ProgressFunc())) state.SkipWithError("compose failed");
  for (auto _ : state) {
    if (fresh) root.ClearMergedTiles();
    if (!kzm::ComposeRoot(doc, ProgressFunc())) state.SkipWithError("compose failed");
  }
  // Seconds per megapixel, printed with its SI prefix (e.g. "12.3ms").
  state.counters["per_MPix"] = benchmark::Counter(
      kMegapixels, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["tiles"] = double(root.MergedTiles().size());
}

void BM_ComposePaint(benchmark::State& state) { Run(state, 0); }
void BM_ComposeNoise(benchmark::State& state) { Run(state, 1); }

BENCHMARK(BM_ComposePaint)->ArgName("fresh")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ComposeNoise)->ArgName("fresh")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
