// What every test needs around the code under test: temporary folders,
// files, the built program run as a user runs it, and where the real PSD
// corpus and the committed test data are.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// Builds under AddressSanitizer, whose mappings take more address space and time.
#if defined(__SANITIZE_ADDRESS__)
#define YVN_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define YVN_ASAN 1
#endif
#endif

namespace ts {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// A fresh folder under the system's temporary folder, removed at the end.
// path() is canonical, so it matches the program's own view of the current folder.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
// Creates missing parent folders.
void WriteFile(const std::string& path, const std::string& bytes);
inline std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }
inline Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
// Names in a folder, sorted; empty when it cannot be read.
std::vector<std::string> Listing(const std::string& dir);
inline bool Contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// The built program; the committed test data; the real PSD files of the
// shared corpus whose MANIFEST.tsv row's expect column begins with `expect`.
std::string Exe();
std::string DataDir();
std::vector<std::string> CorpusFiles(const std::string& expect);

// A running program's output so far, and what the test wants next.
enum class Watch { More, Done, CloseOutput };

struct RunOptions {
  std::string input;                // the whole standard input
  std::vector<std::string> prefix;  // a wrapper that execs "$@" (limits, taskset)
  uint64_t addressSpace = 0;        // bytes; 0: no limit
  int seconds = 60;                 // killed after that
  bool ignorePipe = false;          // started with SIGPIPE ignored
  // Called with the process id and the output so far each time more
  // arrives, until it returns Done (the rest is read to the end) or
  // CloseOutput (the program's standard output is closed under it); then
  // standard input is closed (without a watcher, after `input`). The program
  // runs at most a page of output ahead of the test.
  std::function<Watch(int pid, const std::string& out)> watch;
};

struct RunResult {
  int exit = -1000;      // exit value; -2000 - N after signal N; -3000 killed at the time limit
  std::string out;       // standard output
  uint64_t peakKiB = 0;  // largest resident size
};

// A test of the built program in a fresh folder; skipped without the program.
class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Exe().empty()) GTEST_SKIP() << "YVN2PSD_EXE is not set";
  }
  std::string P(const std::string& rel) const { return dir / rel; }
  TempDir dir;
};

// Runs the built program with `args` in `cwd`.
RunResult RunProgram(const std::string& cwd, const std::vector<std::string>& args, const RunOptions& options = {});
// Runs a shell command; its standard output, and its status in *status.
std::string Shell(const std::string& command, int* status = nullptr);

}  // namespace ts
