// Blend kernel throughput over 64-pixel cells, next to a plain copy of the
// same bytes. Run: bench_blend_bench
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "blend/kernels.h"

namespace {

constexpr int kCells = 256;  // 128 KiB of destination, 128 KiB of source
constexpr int kCellPixels = 64;

struct Data {
  std::vector<PixelRGBA> src, dst;
  Data() : src(kCells * kCellPixels), dst(kCells * kCellPixels) {
    std::mt19937 rng(42);
    auto pixel = [&] {
      const uint32_t a = rng() % 4 == 0 ? 16384 : rng() % 16385;
      return PixelRGBA{uint16_t(rng() % (a + 1)), uint16_t(rng() % (a + 1)),
                       uint16_t(rng() % (a + 1)), uint16_t(a)};
    };
    for (auto& p : src) p = pixel();
    for (auto& p : dst) p = pixel();
  }
};

void Report(benchmark::State& state) {
  state.SetBytesProcessed(int64_t(state.iterations()) * kCells * kCellPixels * int64_t(sizeof(PixelRGBA)));
  state.SetItemsProcessed(int64_t(state.iterations()) * kCells);  // cells
}

void BM_Copy(benchmark::State& state) {
  Data d;
  for (auto _ : state) {
    for (int c = 0; c < kCells; ++c)
      std::memcpy(&d.dst[c * kCellPixels], &d.src[c * kCellPixels], kCellPixels * sizeof(PixelRGBA));
    benchmark::ClobberMemory();
  }
  Report(state);
}

void BlendCells(benchmark::State& state, uint32_t mode, uint16_t opacity) {
  blend::InitBlendTables();
  Data d;
  const kzm::Blend b{mode, kzm::Blend::kAlphaModulate};
  for (auto _ : state) {
    for (int c = 0; c < kCells; ++c) {
      PixelRGBA* dst = &d.dst[c * kCellPixels];
      blend::BlendPixels(dst, dst + kCellPixels, &d.src[c * kCellPixels], opacity, b);
    }
    benchmark::ClobberMemory();
  }
  Report(state);
}

void BM_NormalFull(benchmark::State& state) { BlendCells(state, 1, 16384); }
void BM_NormalPartial(benchmark::State& state) { BlendCells(state, 1, 10000); }
void BM_Hue(benchmark::State& state) { BlendCells(state, 50, 16384); }
void BM_Color(benchmark::State& state) { BlendCells(state, 52, 16384); }
void BM_Luminance(benchmark::State& state) { BlendCells(state, 53, 16384); }
// Overlay next to the modes that divide or take a root per channel.
void BM_Overlay(benchmark::State& state) { BlendCells(state, 7, 16384); }
void BM_DarkerColor(benchmark::State& state) { BlendCells(state, 8, 16384); }
void BM_HardLight(benchmark::State& state) { BlendCells(state, 10, 16384); }
void BM_SoftLight(benchmark::State& state) { BlendCells(state, 11, 16384); }
void BM_VividLight(benchmark::State& state) { BlendCells(state, 12, 16384); }
void BM_ColorDodge(benchmark::State& state) { BlendCells(state, 15, 16384); }
void BM_LinearBurn(benchmark::State& state) { BlendCells(state, 17, 16384); }

void BM_NormalColorFull(benchmark::State& state) {
  Data d;
  const kzm::Blend b;
  const PixelRGBA color{3000, 2000, 1000, 12000};
  for (auto _ : state) {
    for (int c = 0; c < kCells; ++c) {
      PixelRGBA* dst = &d.dst[c * kCellPixels];
      blend::BlendColor(dst, dst + kCellPixels, color, 16384, b);
    }
    benchmark::ClobberMemory();
  }
  Report(state);
}

}  // namespace

BENCHMARK(BM_Copy);
BENCHMARK(BM_NormalFull);
BENCHMARK(BM_NormalPartial);
BENCHMARK(BM_NormalColorFull);
BENCHMARK(BM_Hue);
BENCHMARK(BM_Color);
BENCHMARK(BM_Luminance);
BENCHMARK(BM_Overlay);
BENCHMARK(BM_DarkerColor);
BENCHMARK(BM_HardLight);
BENCHMARK(BM_SoftLight);
BENCHMARK(BM_VividLight);
BENCHMARK(BM_ColorDodge);
BENCHMARK(BM_LinearBurn);

BENCHMARK_MAIN();
