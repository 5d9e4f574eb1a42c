// Damaged copies of good files of both formats: cut at every section
// boundary of their layout and a few thousand seeded byte changes. Each one
// is either converted (and the result reads back) or refused with an error
// line; never a crash, a hang or a runaway allocation. In this process
// through the jobs (the sanitizer build checks every access there), and in
// the release build also through the built program under a 10 s time limit
// and a 1 GiB address-space limit.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "hardening_util.h"

namespace {

using hard::Bytes;

constexpr int kFlips = 2400;  // byte-change mutants over all sources
constexpr uint64_t kAddressSpace = uint64_t(1) << 30;
constexpr int kSeconds = 10;
constexpr size_t kMaxCorpusFile = 0xC000;  // larger real files only slow the run
constexpr size_t kMaxCorpusFiles = 8;

struct Source {
  std::string name;
  bool psd;
  Bytes bytes;
};

// Good PSDs written by the program and, when the corpus is there, real ones
// it converts; good native files made from them (compressed and plain).
const std::vector<Source>& GoodSources() {
  static const std::vector<Source> s = [] {
    std::vector<Source> r;
    r.push_back({"gen_a.psd", true, hard::GoodPsd(300, 200, 3, 11)});
    r.push_back({"gen_b.psd", true, hard::GoodPsd(140, 260, 2, 12)});
    const std::string corpus = hard::CorpusDir();
    const std::string tmp = hard::MakeTempDir();
    if (!corpus.empty()) {
      size_t taken = 0;
      for (const std::string& path : hard::FilesIn(corpus, ".psd")) {
        Bytes b = hard::ReadFile(path);
        if (b.size() > kMaxCorpusFile || taken == kMaxCorpusFiles) continue;
        const std::string name = path.substr(path.rfind('/') + 1);
        hard::WriteFile(tmp + "/probe.psd", b);
        if (hard::ConvertInProcess(tmp + "/probe.psd", tmp + "/probe.yvn").saveResult == 0) {
          r.push_back({name, true, std::move(b)});
          ++taken;
        }
      }
    }
    // Native files from the two generated PSDs (compressed and plain) and
    // the first two real ones.
    const size_t psds = r.size();
    for (size_t i = 0; i < psds && i < 4; ++i) {
      hard::WriteFile(tmp + "/n.psd", r[i].bytes);
      for (bool compress : {true, false}) {
        if (!compress && i >= 2) continue;
        if (hard::ConvertInProcess(tmp + "/n.psd", tmp + "/n.yvn", compress).saveResult != 0) continue;
        const std::string base = r[i].name.substr(0, r[i].name.size() - 4);
        r.push_back({base + (compress ? ".yvn" : "_z0.yvn"), false, hard::ReadFile(tmp + "/n.yvn")});
      }
    }
    hard::RemoveTree(tmp);
    return r;
  }();
  return s;
}

// One damaged file, made on demand: the source cut at `param` bytes, or
// changed by the generator seeded with `param`.
struct Mutant {
  size_t source;
  bool cut;
  size_t param;

  const Source& src() const { return GoodSources()[source]; }
  Bytes Make() const {
    const Bytes& b = src().bytes;
    if (cut) return Bytes(b.begin(), b.begin() + long(param));
    std::mt19937 rng{uint32_t(param)};
    return hard::Flip(b, rng);
  }
  std::string What() const {
    return src().name + (cut ? " cut at " : " changed with seed ") + std::to_string(param);
  }
};

const std::vector<Mutant>& Mutants() {
  static const std::vector<Mutant> all = [] {
    std::vector<Mutant> m;
    const std::vector<Source>& s = GoodSources();
    for (size_t i = 0; i < s.size(); ++i) {
      const std::vector<size_t> cuts = s[i].psd ? hard::PsdBoundaries(s[i].bytes) : hard::YvnBoundaries(s[i].bytes);
      for (size_t cut : cuts) m.push_back({i, true, cut});
    }
    for (int k = 0; k < kFlips; ++k) m.push_back({size_t(k) % s.size(), false, 20240611u + size_t(k)});
    return m;
  }();
  return all;
}

TEST(Mutations, SourcesAreThereAndConvert) {
  const std::vector<Source>& s = GoodSources();
  size_t psd = 0;
  for (const Source& f : s) psd += f.psd;
  ASSERT_GE(psd, 2u);
  ASSERT_GE(s.size() - psd, 3u);
  EXPECT_GT(hard::PsdBoundaries(s[0].bytes).size(), 20u);
  EXPECT_GT(hard::YvnBoundaries(s[psd].bytes).size(), 40u);
  if (hard::CorpusDir().empty()) std::printf("PSD corpus absent: only generated files are damaged\n");
  std::printf("%zu PSD and %zu native sources, %zu damaged files\n", psd, s.size() - psd, Mutants().size());
}

TEST(Mutations, EachIsConvertedOrRefusedInProcess) {
  const std::string dir = hard::MakeTempDir();
  ASSERT_FALSE(dir.empty());
  size_t converted = 0, refused = 0;
  auto peakMiB = [] {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return uint64_t(u.ru_maxrss) / 1024;
  };
  uint64_t peak = peakMiB();
  for (const Mutant& m : Mutants()) {
    const bool psd = m.src().psd;
    const std::string src = dir + (psd ? "/m.psd" : "/m.yvn");
    const std::string dst = dir + (psd ? "/m.yvn" : "/m.psd");
    std::remove(dst.c_str());
    ASSERT_TRUE(hard::WriteFile(src, m.Make()));
    const hard::Conversion c = hard::ConvertInProcess(src, dst);
    if (c.loaded && c.saveResult == 0) {
      ++converted;
      EXPECT_TRUE(hard::ReadsBack(dst)) << m.What();
    } else {
      ++refused;
      EXPECT_NE(c.output.find("\nerror("), std::string::npos) << m.What() << ": no error line in\n" << c.output;
    }
    const uint64_t now = peakMiB();
    if (now > peak + 64) std::printf("%s: peak memory %llu MiB -> %llu MiB\n", m.What().c_str(), (unsigned long long)peak, (unsigned long long)now);
    peak = now;
  }
  std::printf("%zu converted, %zu refused\n", converted, refused);
  hard::RemoveTree(dir);
}

TEST(Mutations, EachIsConvertedOrRefusedByTheProgramWithinLimits) {
#ifdef YVN_HARD_ASAN
  GTEST_SKIP() << "address-space limit not applicable under AddressSanitizer (its shadow memory "
                  "needs terabytes of address space); the in-process test covers this build";
#endif
  if (hard::ProgramPath().empty()) GTEST_SKIP() << "YVN2PSD_EXE is not set";
  const std::vector<Mutant>& all = Mutants();
  std::atomic<size_t> next{0}, converted{0}, refused{0};
  std::mutex failMutex;
  std::vector<std::string> failures;
  auto worker = [&] {
    const std::string dir = hard::MakeTempDir();
    for (size_t i; (i = next++) < all.size();) {
      const Mutant& m = all[i];
      const bool psd = m.src().psd;
      const std::string src = psd ? "m.psd" : "m.yvn", dst = psd ? "m.yvn" : "m.psd";
      std::remove((dir + "/" + dst).c_str());
      hard::WriteFile(dir + "/" + src, m.Make());
      const hard::Run r = hard::RunProgram(dir, {"-W", src, dst}, kAddressSpace, kSeconds);
      std::string problem;
      if (!r.finished)
        problem = r.signal ? "ended by signal " + std::to_string(r.signal) : "did not finish in time";
      else if (r.exitValue != 0)
        problem = "exit value " + std::to_string(r.exitValue);
      else if (r.out.find("\nerror(") != std::string::npos)
        ++refused;
      else if (hard::ReadsBack(dir + "/" + dst))
        ++converted;
      else
        problem = "no error line and no readable result";
      if (!problem.empty()) {
        std::lock_guard<std::mutex> lock(failMutex);
        failures.push_back(m.What() + ": " + problem + "\n" + r.out);
      }
    }
    hard::RemoveTree(dir);
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();
  for (const std::string& f : failures) ADD_FAILURE() << f;
  std::printf("%zu converted, %zu refused\n", converted.load(), refused.load());
}

}  // namespace
