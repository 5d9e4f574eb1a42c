// Native document save and load on a 4096 x 4096 canvas of 12 paint-like
// layers (soft strokes and blobs on transparency, two full fills), with
// compressed and plain layer records. Run: bench_native_bench
//
// Bytes processed are the plain file's size for every variant, so the MB/s
// figures of compressed and plain runs compare directly; the counters give
// each variant's own file size.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "chunk/chunk_reader.h"
#include "chunk/chunk_writer.h"
#include "chunk/data_src.h"
#include "chunk/file_sink.h"
#include "kzm/cell.h"
#include "kzm/doc_load.h"
#include "kzm/doc_save.h"
#include "kzm/image_context.h"
#include "kzm/pi_folder.h"
#include "kzm/pi_image.h"
#include "kzm/tile.h"

namespace {

constexpr int kSize = 4096;
constexpr int kLayers = 12;

// Canvas of one layer while it is painted.
struct Canvas {
  std::vector<PixelRGBA> px = std::vector<PixelRGBA>(size_t(kSize) * kSize);
  void Clear() { std::fill(px.begin(), px.end(), PixelRGBA{0, 0, 0, 0}); }

  // A soft round dab: full coverage inside r - 1.5, falling to 0 at r.
  void Dab(float cx, float cy, float r, const PixelRGBA& colour) {
    const int x0 = std::max(0, int(cx - r)), x1 = std::min(kSize - 1, int(cx + r) + 1);
    const int y0 = std::max(0, int(cy - r)), y1 = std::min(kSize - 1, int(cy + r) + 1);
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) {
        const float d = std::sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy));
        const float cov = std::min(1.0f, std::max(0.0f, (r - d) / 1.5f));
        if (cov <= 0) continue;
        const uint32_t m = uint32_t(cov * 16384);
        PixelRGBA& d16 = px[size_t(y) * kSize + x];
        const uint32_t sa = (colour.a * m) >> 14, inv = 16384 - sa;
        d16.r = uint16_t(((colour.r * m) >> 14) + ((d16.r * inv) >> 14));
        d16.g = uint16_t(((colour.g * m) >> 14) + ((d16.g * inv) >> 14));
        d16.b = uint16_t(((colour.b * m) >> 14) + ((d16.b * inv) >> 14));
        d16.a = uint16_t(sa + ((d16.a * inv) >> 14));
      }
  }

  // Cuts the canvas into tiles: uniform cells become fills, transparent
  // tiles are left out.
  void ToLayer(kzm::PiImage& img) const {
    PixelRGBA cell[64];
    for (int ty = 0; ty < kSize / 128; ++ty)
      for (int tx = 0; tx < kSize / 128; ++tx) {
        kzm::TileRef t = kzm::TileRef::Adopt(kzm::Tile::Create(kzm::TileLocate::FromColRow(tx, ty), true));
        bool any = false;
        for (int cy = 0; cy < 16; ++cy)
          for (int cx = 0; cx < 16; ++cx) {
            const PixelRGBA* src = &px[size_t(ty * 128 + cy * 8) * kSize + tx * 128 + cx * 8];
            bool uniform = true;
            for (int y = 0; y < 8; ++y)
              for (int x = 0; x < 8; ++x) {
                cell[y * 8 + x] = src[size_t(y) * kSize + x];
                uniform = uniform && cell[y * 8 + x] == cell[0];
              }
            any = any || !uniform || cell[0].Word() != 0;
            if (uniform)
              kzm::SetFill(t->At(cx, cy), cell[0]);
            else
              kzm::AssignPixels(t->At(cx, cy), cell);
          }
        if (any) img.InsertTile(t.release());
      }
  }
};

PixelRGBA Colour(std::mt19937& rng, uint32_t alpha) {
  auto ch = [&] { return uint16_t((rng() % 16385) * alpha >> 14); };
  return PixelRGBA{ch(), ch(), ch(), uint16_t(alpha)};
}

std::shared_ptr<kzm::ImageContextImpl> MakeDocument() {
  auto doc = kzm::ImageContextImpl::Create(kzm::PiFolder::CreateRoot());
  doc->Root()->folder()->SetFixedBounds(kzm::Rect{0, 0, kSize, kSize});
  std::mt19937 rng(2024);
  Canvas canvas;
  for (int l = 0; l < kLayers; ++l) {
    auto layer = kzm::PiImage::Create();
    layer->impl()->SetName("Layer " + std::to_string(l + 1));
    if (l == 0 || l == 6) {
      const PixelRGBA c = Colour(rng, 16384);
      for (int ty = 0; ty < kSize / 128; ++ty)
        for (int tx = 0; tx < kSize / 128; ++tx)
          layer->image()->InsertTile(kzm::Tile::CreateFilled(kzm::TileLocate::FromColRow(tx, ty), c));
    } else {
      canvas.Clear();
      // Blobs.
      for (int b = 0; b < 6; ++b)
        canvas.Dab(float(rng() % kSize), float(rng() % kSize), float(60 + rng() % 300), Colour(rng, 16384));
      // Strokes: wandering lines of dabs whose colour drifts.
      for (int s = 0; s < 60; ++s) {
        float x = float(rng() % kSize), y = float(rng() % kSize), dir = float(rng() % 628) / 100;
        const float r = float(3 + rng() % 30);
        PixelRGBA c = Colour(rng, 8192 + rng() % 8193);
        for (int k = 0; k < 250; ++k) {
          canvas.Dab(x, y, r, c);
          dir += (float(rng() % 200) - 100) / 400;
          x += std::cos(dir) * r * 0.4f;
          y += std::sin(dir) * r * 0.4f;
          if (k % 25 == 0) c = Colour(rng, c.a);
        }
      }
      canvas.ToLayer(*layer->image());
    }
    doc->Root()->impl()->AppendChild(std::move(layer));
  }
  return doc;
}

kzm::ImageContextImpl& Document() {
  static std::shared_ptr<kzm::ImageContextImpl> doc = MakeDocument();
  return *doc;
}

// A sink that keeps the file bytes (compressing packed chunks).
std::vector<uint8_t> Save(kzm::ImageContext& doc, bool compress) {
  chunk::MemorySink mem;
  chunk::ChunkSink sink(mem.func());
  chunk::ChunkWriter& root = sink.beginRoot("VorletBitmapImage");
  kzm::SaveDocument(doc, compress, ProgressFunc(), root);
  root.end();
  return std::move(mem.bytes());
}

const std::vector<uint8_t>& File(bool compress) {
  static std::vector<uint8_t> files[2];
  if (files[compress].empty()) files[compress] = Save(Document(), compress);
  return files[compress];
}

void BM_Save(benchmark::State& state) {
  const bool compress = state.range(0) != 0;
  kzm::ImageContextImpl& doc = Document();
  const size_t plain = File(false).size();
  size_t size = File(compress).size();  // also composes the thumbnail tiles once
  for (auto _ : state) {
    std::vector<uint8_t> bytes = Save(doc, compress);
    size = bytes.size();
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(plain));
  state.counters["file_MiB"] = double(size) / (1 << 20);
  state.counters["plain_MiB"] = double(plain) / (1 << 20);
}

void BM_Load(benchmark::State& state) {
  const bool compress = state.range(0) != 0;
  const std::vector<uint8_t>& file = File(compress);
  const size_t plain = File(false).size();
  for (auto _ : state) {
    DataSrcMemory src(file.data(), file.size());
    chunk::ChunkSA tree(nullptr, src);
    std::shared_ptr<kzm::ImageContext> doc;
    if (kzm::LoadDocument(0, 0, &tree, ProgressFunc(), doc) != 0 || doc->ChildCount(doc->Root()) != kLayers)
      state.SkipWithError("load failed");
    benchmark::DoNotOptimize(doc.get());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(plain));
  state.counters["file_MiB"] = double(file.size()) / (1 << 20);
}

BENCHMARK(BM_Save)->ArgName("compress")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Load)->ArgName("compress")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
