// Helpers of the hostile-input tests: good files of both formats, the
// section boundaries of their layouts, seeded damage, and the two ways of
// converting a file (the jobs in this process, the built program in a child
// with a time and address-space limit).
#pragma once
#include <cstdint>
#include <random>
#include <string>
#include <vector>

// YVN_HARD_ASAN: built with AddressSanitizer, whose shadow memory makes the
// process's peak memory and address-space limits meaningless.
#if defined(__SANITIZE_ADDRESS__)
#define YVN_HARD_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define YVN_HARD_ASAN 1
#endif
#endif

namespace hard {

using Bytes = std::vector<uint8_t>;

// A PSD of `layers` layers with varied pixels (fills and noise, partly off
// the canvas) written by the program's PSD writer.
Bytes GoodPsd(uint32_t width, uint32_t height, int layers, uint32_t seed);

// Offsets where a section, record, value, block or row table of the file
// begins or ends, in increasing order, without 0 and the file size.
std::vector<size_t> PsdBoundaries(const Bytes& psd);
std::vector<size_t> YvnBoundaries(const Bytes& yvn);

// `count` bytes (1 to 4 chosen by rng when count is 0) set to random values
// at random places, a third of them within the first 512 bytes where the
// headers are.
Bytes Flip(const Bytes& file, std::mt19937& rng);

struct Conversion {
  bool loaded = false;     // the read job produced a document
  int saveResult = -1;     // the write job's result (when loaded)
  std::string output;      // everything the jobs printed
};
// Converts `src` (".psd" or ".yvn", by its extension) to `dst` with the
// program's jobs in this process.
Conversion ConvertInProcess(const std::string& src, const std::string& dst, bool compress = true);

struct Run {
  bool finished = false;   // exited by itself within the time
  int exitValue = -1;      // when it exited
  int signal = 0;          // when a signal ended it (not our kill)
  uint64_t peakKiB = 0;    // its largest resident size
  double seconds = 0;      // wall time
  std::string out;         // standard output
};
// Runs the built program with `args` in `cwd`, standard input empty, under
// an address-space limit (0: none) and a time limit; kills it at the limit.
Run RunProgram(const std::string& cwd, const std::vector<std::string>& args, uint64_t addressSpace,
               int seconds);

// The built program (YVN2PSD_EXE), the real PSD folder (YVN_PSD_CORPUS, empty
// when absent).
std::string ProgramPath();
std::string CorpusDir();

Bytes ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const Bytes& bytes);
std::string MakeTempDir();
void RemoveTree(const std::string& dir);
std::vector<std::string> FilesIn(const std::string& dir, const std::string& suffix);

// True when the bytes read back as a document of that format (".psd" or
// ".yvn" by the path's extension).
bool ReadsBack(const std::string& path);

}  // namespace hard
