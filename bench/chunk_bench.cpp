// Chunk container throughput against raw zlib level 1 on the same bytes.
//
// The tree is tile-like: per plane a compressed "PiImage" holding a "Body"
// with a "Bitmap" array of 512-byte cells (8 x 8 RGBA pixels, 16 bits per
// channel: smooth gradients plus a little noise) and a "Tile" array of
// 516-byte code tables, written one element at a time as the layer save
// does. The raw runs deflate / inflate each plane's payload as one stream
// with the same zlib parameters.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <vector>

#include "chunk/chunk_reader.h"
#include "chunk/chunk_writer.h"
#include "support/sinks.h"

namespace {

constexpr int kPlanes = 4;
constexpr int kTilesPerPlane = 64;  // 64 tiles x 256 cells x 512 bytes = 8 MiB
constexpr int kCellsPerTile = 256;

struct Plane {
  std::vector<uint8_t> cells;  // kTilesPerPlane * 256 * 512 bytes
  std::vector<uint8_t> tiles;  // kTilesPerPlane * 516 bytes
};

const std::vector<Plane>& Planes() {
  static std::vector<Plane> planes = [] {
    std::vector<Plane> out(kPlanes);
    std::mt19937 rng(42);
    for (int p = 0; p < kPlanes; ++p) {
      Plane& pl = out[p];
      pl.cells.resize(size_t(kTilesPerPlane) * kCellsPerTile * 512);
      uint16_t* px = reinterpret_cast<uint16_t*>(pl.cells.data());
      for (int t = 0; t < kTilesPerPlane; ++t) {
        const int tx = t % 8, ty = t / 8;
        for (int c = 0; c < kCellsPerTile; ++c) {
          const int cx = c % 16, cy = c / 16;
          for (int i = 0; i < 64; ++i) {
            const int x = tx * 128 + cx * 8 + i % 8, y = ty * 128 + cy * 8 + i / 8;
            const int noise = int(rng() % 97) - 48;
            const int a = 16384;
            const int r = (x * 16 + p * 900) % 16384, g = (y * 16) % 16384, b = ((x + y) * 8) % 16384;
            px[0] = uint16_t(std::min(a, std::max(0, r + noise)));
            px[1] = uint16_t(std::min(a, std::max(0, g + noise / 2)));
            px[2] = uint16_t(b);
            px[3] = uint16_t(a);
            px += 4;
          }
        }
      }
      pl.tiles.resize(size_t(kTilesPerPlane) * 516);
      for (int t = 0; t < kTilesPerPlane; ++t) {
        uint8_t* e = &pl.tiles[size_t(t) * 516];
        const uint32_t key = uint32_t(t % 8) | uint32_t(t / 8) << 16;
        std::memcpy(e, &key, 4);
        std::memset(e + 4, 0xFE, 512);  // every code -2: a bitmap cell
      }
    }
    return out;
  }();
  return planes;
}

size_t PayloadBytes() {
  size_t n = 0;
  for (const Plane& p : Planes()) n += p.cells.size() + p.tiles.size();
  return n;
}

std::vector<uint8_t> WriteContainer(size_t reserve) {
  ts::MemorySink mem;
  mem.bytes().reserve(reserve);
  chunk::ChunkSink sink(mem.func());
  chunk::ChunkWriter& root = sink.beginRoot("VorletBitmapImage");
  root.writeU32("version", 0x10000000);
  char name[16];
  for (int p = 0; p < kPlanes; ++p) {
    std::snprintf(name, sizeof name, "Plane%04x", p);
    chunk::ChunkWriter& plane = root.beginChild(name);
    chunk::ChunkWriter& img = plane.beginPackedChild("PiImage");
    img.writeU32("version", 0x10000000);
    chunk::ChunkWriter& body = img.beginChild("Body");
    body.beginArray("Fill", 0, 8);
    body.endArray();
    const Plane& pl = Planes()[p];
    const uint32_t cells = uint32_t(pl.cells.size() / 512);
    body.beginArray("Bitmap", cells, 512);
    for (uint32_t c = 0; c < cells; ++c) body.writeElements(&pl.cells[size_t(c) * 512], 1);
    body.endArray();
    body.beginArray("Tile", kTilesPerPlane, 516);
    for (int t = 0; t < kTilesPerPlane; ++t) body.writeElements(&pl.tiles[size_t(t) * 516], 1);
    body.endArray();
    body.end();
    img.end();
    plane.end();
  }
  if (!root.end()) std::abort();
  return std::move(mem.bytes());
}

// Raw zlib: one stream per plane over the same payload bytes.
std::vector<std::vector<uint8_t>> RawDeflate() {
  std::vector<std::vector<uint8_t>> out;
  for (const Plane& pl : Planes()) {
    z_stream s{};
    deflateInit2(&s, 1, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
    std::vector<uint8_t> z(pl.cells.size() + 0x10000);
    s.next_out = z.data();
    s.avail_out = uInt(z.size());
    s.next_in = const_cast<Bytef*>(pl.cells.data());
    s.avail_in = uInt(pl.cells.size());
    deflate(&s, Z_NO_FLUSH);
    s.next_in = const_cast<Bytef*>(pl.tiles.data());
    s.avail_in = uInt(pl.tiles.size());
    if (deflate(&s, Z_FINISH) != Z_STREAM_END) std::abort();
    z.resize(s.total_out);
    deflateEnd(&s);
    out.push_back(std::move(z));
  }
  return out;
}

void BM_ContainerWrite(benchmark::State& state) {
  const size_t reserve = WriteContainer(0).size() + 0x100000;
  for (auto _ : state) benchmark::DoNotOptimize(WriteContainer(reserve).data());
  state.SetBytesProcessed(int64_t(state.iterations() * PayloadBytes()));
}

void BM_RawDeflate(benchmark::State& state) {
  size_t zsize = 0;
  for (auto _ : state) {
    auto z = RawDeflate();
    zsize = 0;
    for (auto& s : z) zsize += s.size();
    benchmark::DoNotOptimize(z.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations() * PayloadBytes()));
  state.counters["ratio"] = double(PayloadBytes()) / double(zsize);
}

void BM_ContainerParse(benchmark::State& state) {
  const std::vector<uint8_t> file = WriteContainer(0);
  for (auto _ : state) {
    DataSrcMemory src(file.data(), file.size());
    chunk::ChunkSA root(nullptr, src);
    if (!root.ok()) std::abort();
    benchmark::DoNotOptimize(root.name());
  }
  state.SetBytesProcessed(int64_t(state.iterations() * PayloadBytes()));
  state.counters["file_MiB"] = double(file.size()) / 1048576.0;
}

void BM_RawInflate(benchmark::State& state) {
  const auto streams = RawDeflate();
  std::vector<uint8_t> out(Planes()[0].cells.size() + Planes()[0].tiles.size());
  for (auto _ : state) {
    for (const auto& z : streams) {
      z_stream s{};
      inflateInit(&s);
      s.next_in = const_cast<Bytef*>(z.data());
      s.avail_in = uInt(z.size());
      s.next_out = out.data();
      s.avail_out = uInt(out.size());
      if (inflate(&s, Z_FINISH) != Z_STREAM_END) std::abort();
      inflateEnd(&s);
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations() * PayloadBytes()));
}

}  // namespace

BENCHMARK(BM_ContainerWrite)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_RawDeflate)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ContainerParse)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_RawInflate)->Unit(benchmark::kMillisecond)->MinTime(2.0);

BENCHMARK_MAIN();
