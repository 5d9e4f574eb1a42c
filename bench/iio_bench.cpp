// PSD format throughput: PackBits rows, and a whole 4096 x 4096 file with
// 8 layers written and read back. Rates are bytes of 8-bit channel data.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/data_src.h"
#include "iio/packbits.h"
#include "iio/psd.h"
#include "iio/psd_out.h"
#include "iio/write_stream.h"

namespace {

constexpr uint32_t kSide = 4096;
constexpr int kLayers = 8;

uint32_t Hash(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352d;
  x ^= x >> 15;
  x *= 0x846ca68b;
  return x ^ (x >> 16);
}

// Painting-like content: transparent areas, flat colour, a gradient and a
// band of noise, different for each layer.
void MakeRow(int layer, uint32_t y, std::vector<PixelRGBA>& row) {
  row.resize(kSide);
  const uint32_t x0 = uint32_t(layer) * 300, x1 = x0 + 2400;
  for (uint32_t x = 0; x < kSide; ++x) {
    PixelRGBA p{0, 0, 0, 0};
    if (x >= x0 && x < x1 && (y / 512 + uint32_t(layer)) % 3 != 0) {
      const uint16_t a = (x % 1024) < 700 ? 16384 : uint16_t(16384 - (x % 1024) * 8);
      uint32_t c = (x * 4) & 0x3FFF;
      if ((y + uint32_t(layer) * 97) % 256 < 40) c = Hash(x * 131 + y) & 0x3FFF;  // noise band
      const uint16_t cc = uint16_t(c * a >> 14);
      p = PixelRGBA{cc, uint16_t(a / 2), uint16_t(a / 4), a};
    }
    row[x] = p;
  }
}

// Bytes of 8-bit channel data in the whole file.
constexpr double kFileChannelBytes = double(kSide) * kSide * 4 * (kLayers + 1);

struct Fixture {
  std::string path;
  std::vector<std::vector<std::vector<PixelRGBA>>> rows;  // per layer: 64 distinct rows
  Fixture() {
    char tmpl[] = "/tmp/iio_bench_XXXXXX";
    const int fd = mkstemp(tmpl);
    if (fd >= 0) close(fd);
    path = tmpl;
    rows.resize(kLayers + 1);
    for (int l = 0; l <= kLayers; ++l) {
      rows[size_t(l)].resize(64);
      for (uint32_t y = 0; y < 64; ++y) MakeRow(l, y * 67, rows[size_t(l)][y]);
    }
  }
  ~Fixture() { std::remove(path.c_str()); }
};

Fixture& Shared() {
  static Fixture f;
  return f;
}

bool WriteFile(const Fixture& f) {
  iio::WriteStream s;
  if (!s.Open(f.path)) return false;
  iio::PsdOut psd(s);
  std::vector<iio::layer_param_t> layers(kLayers);
  for (int i = 0; i < kLayers; ++i) {
    layers[size_t(i)].right = int32_t(kSide);
    layers[size_t(i)].bottom = int32_t(kSide);
    layers[size_t(i)].name = "Layer " + std::to_string(i + 1);
  }
  bool ok = psd.Begin(kSide, kSide, layers);
  for (int i = 0; i < kLayers; ++i) {
    ok = ok && psd.BeginLayer(layers[size_t(i)]);
    for (uint32_t y = 0; y < kSide; ++y) ok = ok && psd.WriteRows(f.rows[size_t(i)][y % 64].data(), 1);
    ok = ok && psd.EndLayer();
  }
  for (uint32_t y = 0; y < kSide; ++y) ok = ok && psd.WriteRows(f.rows[kLayers][y % 64].data(), 1);
  ok = ok && psd.Finish();
  return s.Close() && ok;
}

void BM_PackBitsEncode(benchmark::State& state) {
  std::vector<std::vector<uint8_t>> rows;
  std::vector<PixelRGBA> px;
  for (int l = 0; l < kLayers; ++l) {
    MakeRow(l, uint32_t(l) * 101, px);
    for (int c = 0; c < 4; ++c) {
      rows.emplace_back(kSide);
      for (uint32_t x = 0; x < kSide; ++x) {
        uint8_t b[4];
        iio::PsdOut::ToBytes(px[x], b);
        rows.back()[x] = b[c];
      }
    }
  }
  std::vector<uint8_t> out;
  size_t bytes = 0;
  for (auto _ : state) {
    for (const auto& r : rows) {
      out.clear();
      iio::PackBitsEncode(r.data(), r.size(), out);
      bytes += r.size();
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(bytes));
}
BENCHMARK(BM_PackBitsEncode);

void BM_PackBitsDecode(benchmark::State& state) {
  std::vector<std::vector<uint8_t>> enc;
  std::vector<PixelRGBA> px;
  for (int l = 0; l < kLayers; ++l) {
    MakeRow(l, uint32_t(l) * 101, px);
    for (int c = 0; c < 4; ++c) {
      std::vector<uint8_t> row(kSide);
      for (uint32_t x = 0; x < kSide; ++x) {
        uint8_t b[4];
        iio::PsdOut::ToBytes(px[x], b);
        row[x] = b[c];
      }
      enc.emplace_back();
      iio::PackBitsEncode(row.data(), row.size(), enc.back());
    }
  }
  std::vector<uint8_t> dst(kSide);
  size_t bytes = 0;
  for (auto _ : state) {
    for (const auto& e : enc) {
      if (!iio::PackBitsDecode(dst.data(), dst.data() + dst.size(), e.data(), e.data() + e.size()))
        state.SkipWithError("decode failed");
      bytes += kSide;
    }
    benchmark::DoNotOptimize(dst.data());
  }
  state.SetBytesProcessed(int64_t(bytes));
}
BENCHMARK(BM_PackBitsDecode);

void BM_PsdWrite4096x8Layers(benchmark::State& state) {
  Fixture& f = Shared();
  for (auto _ : state)
    if (!WriteFile(f)) state.SkipWithError("write failed");
  state.SetBytesProcessed(int64_t(kFileChannelBytes * double(state.iterations())));
  DataSrcReadFromFile src;
  if (src.open(f.path.c_str())) state.counters["file_MB"] = double(src.size()) / 1e6;
}
BENCHMARK(BM_PsdWrite4096x8Layers)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

void BM_PsdRead4096x8Layers(benchmark::State& state) {
  Fixture& f = Shared();
  if (!WriteFile(f)) {
    state.SkipWithError("write failed");
    return;
  }
  uint64_t sum = 0;
  for (auto _ : state) {
    DataSrcReadFromFile src;
    if (!src.open(f.path.c_str())) state.SkipWithError("open failed");
    iio::Psd psd(src);
    const uint32_t n = psd.Open();
    for (uint32_t k = 0; k < n; ++k) {
      iio::layer_param_t p;
      if (!psd.NextImage(p)) break;
      for (int64_t row = 0; row < p.Height(); row += 128) {
        const uint32_t got = psd.ReadRows(128);
        for (uint32_t i = 0; i < got; ++i) sum += psd.RowPointer(int32_t(p.top + row + i))[i];
      }
    }
    if (psd.ErrorCode() || n != kLayers + 1) state.SkipWithError("read failed");
  }
  benchmark::DoNotOptimize(sum);
  state.SetBytesProcessed(int64_t(kFileChannelBytes * double(state.iterations())));
}
BENCHMARK(BM_PsdRead4096x8Layers)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
