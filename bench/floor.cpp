// The floors of the two conversions: the one step of each that cannot be
// avoided, on every core, and nothing else.
//
//   bench_floor FILE.yvn [RUNS]
//
// inflate: the layers' records of FILE.yvn (a compressed .yvn, as the
//   program writes it or the paint application does) inflated with the
//   program's inflater, as many layers at once as there are cores: the floor
//   of .yvn -> PSD.
// deflate: the same records' bytes (inflated beforehand, not timed)
//   deflated with the program's deflater, a layer at a time in segments on
//   the work pool, as PSD -> .yvn writes them: the floor of PSD -> .yvn.
// Prints the median wall time of each over RUNS runs (default 3).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "base/data_src.h"
#include "base/deflate_stream.h"
#include "base/work_pool.h"
#include "chunk/chunk_format.h"
#include "chunk/chunk_reader.h"
#include "chunk/inflater.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Where each layer's compressed record starts: the first packed chunk
// marker in each top-level child whose name begins with "Plane" (or is
// "Image" / "Edit").
std::vector<uint64_t> PackedRecords(DataSrcReadFromFile& file) {
  chunk::ChunkIndex index(nullptr, file);
  std::vector<uint64_t> at;
  if (!index.ok()) return at;
  for (const chunk::ChunkSpan& span : index.children()) {
    const std::string name = span.name;
    if (name.rfind("Plane", 0) != 0 && name != "Image" && name != "Edit") continue;
    std::vector<uint8_t> bytes;
    const uint64_t look = std::min<uint64_t>(span.size, 4096);
    if (!file.seek(span.offset) || !file.readInto(bytes, look)) continue;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4)
      if (chunk::LoadLe32(bytes.data() + i) == chunk::kPackedChunkMarker) {
        at.push_back(span.offset + i + 4);
        break;
      }
  }
  return at;
}

// Inflates the record at `at`; its bytes go to `keep` when given.
uint64_t Inflate(DataSrcReadFromFile& file, uint64_t at, std::vector<uint8_t>* keep) {
  std::shared_ptr<DataSrcBase> range = file.openRange(at, file.size() - at);
  if (!range) return 0;
  chunk::Inflater in(*range, UINT64_MAX, nullptr);
  if (!in.begin()) return 0;
  std::vector<uint8_t> buf(chunk::Inflater::kOutBuf);
  size_t got = 0;
  while (in.readSome(buf.data(), buf.size(), &got) && got)
    if (keep) keep->insert(keep->end(), buf.begin(), buf.begin() + long(got));
  return in.totalOut();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_floor FILE.yvn [RUNS]\n");
    return 2;
  }
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  DataSrcReadFromFile file;
  if (!file.open(argv[1])) return 1;
  const std::vector<uint64_t> records = PackedRecords(file);
  if (records.empty()) {
    std::fprintf(stderr, "%s: no compressed layer records\n", argv[1]);
    return 1;
  }
  const unsigned cores = std::max(1u, base::WorkThreads());

  std::vector<double> inflateTimes;
  uint64_t inflated = 0;
  for (int r = 0; r < runs; ++r) {
    std::atomic<size_t> next{0};
    std::atomic<uint64_t> bytes{0};
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (unsigned c = 0; c < cores; ++c)
      threads.emplace_back([&] {
        for (size_t i; (i = next++) < records.size();) bytes += Inflate(file, records[i], nullptr);
      });
    for (std::thread& t : threads) t.join();
    inflateTimes.push_back(Seconds(t0));
    inflated = bytes;
  }

  // The records' bytes, inflated once beforehand.
  std::vector<std::vector<uint8_t>> cells(records.size());
  for (size_t i = 0; i < records.size(); ++i) Inflate(file, records[i], &cells[i]);
  std::vector<double> deflateTimes;
  uint64_t deflated = 0;
  for (int r = 0; r < runs; ++r) {
    uint64_t out = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (const std::vector<uint8_t>& c : cells) {
      base::DeflateStream stream([&out](const uint8_t*, size_t n) {
        out += n;
        return true;
      });
      stream.write(c.data(), c.size());
      stream.finish();
    }
    deflateTimes.push_back(Seconds(t0));
    deflated = out;
  }
  std::printf("inflate floor %.2f s (%zu records, %.0f MB inflated, %u at once)\n", Median(inflateTimes),
              records.size(), double(inflated) / 1e6, cores);
  std::printf("deflate floor %.2f s (%.0f MB to %.0f MB, %u threads)\n", Median(deflateTimes), double(inflated) / 1e6,
              double(deflated) / 1e6, cores);
  return 0;
}
