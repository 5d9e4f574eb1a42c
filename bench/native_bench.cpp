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
#include "base/data_src.h"
#include "kzm/cell.h"
#include "kzm/doc_load.h"
#include "kzm/doc_save.h"
#include "kzm/image_context.h"
#include "kzm/pi_folder.h"
#include "kzm/pi_image.h"
#include "kzm/tile.h"
#include "paint_layers.h"
#include "support/sinks.h"

namespace {

constexpr int kSize = 4096;
constexpr int kLayers = 12;

std::shared_ptr<kzm::ImageContextImpl> MakeDocument() {
  auto doc = kzm::ImageContextImpl::Create(kzm::PiFolder::CreateRoot());
  doc->Root()->folder()->SetFixedBounds(kzm::Rect{0, 0, kSize, kSize});
  std::mt19937 rng(2024);
  bench::PaintCanvas canvas(kSize);
  for (int l = 0; l < kLayers; ++l) {
    auto layer = kzm::PiImage::Create();
    layer->impl()->SetName("Layer " + std::to_string(l + 1));
    if (l == 0 || l == 6)
      canvas.FillLayer(bench::PaintCanvas::Colour(rng, 16384), *layer->image());
    else
      canvas.PaintLayer(rng, *layer->image());
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
  ts::MemorySink mem;
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
