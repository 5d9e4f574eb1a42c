// A conversion that is ended from outside: by a signal, by a reader of its
// output that goes away, or by an allocation that fails. Each time the
// temporary file is removed and the old destination stays whole.
#include <gtest/gtest.h>
#include <signal.h>

#include "e2e_util.h"

#if defined(__SANITIZE_ADDRESS__)
#define YVN_E2E_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define YVN_E2E_ASAN 1
#endif
#endif

namespace e2e {
namespace {

const char kOld[] = "the old destination, which must survive\n";

// Layers of noise. Many narrow and tall ones make the write of either
// direction print far more lines than the test's pipe holds, so the program
// is still writing when the test acts on its first writing line.
std::string NoiseLayers(int count, uint32_t width, uint32_t height) {
  std::vector<LayerSpec> v;
  for (int k = 0; k < count; ++k) {
    LayerSpec l;
    l.name = "l" + std::to_string(k);
    l.right = int32_t(width), l.bottom = int32_t(height);
    uint32_t seed = uint32_t(k) * 7919u + 1;
    for (uint32_t i = 0; i < width * height; ++i) {
      seed = seed * 1103515245u + 12345u;
      l.px.push_back((seed >> 8) | 0xFF000000u);
    }
    v.push_back(l);
  }
  return BuildPsd(width, height, v);
}

class E2eEnded : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Exe().empty()) GTEST_SKIP() << "YVN2PSD_EXE is not set";
  }
  std::string P(const std::string& rel) const { return dir / rel; }
  // The folder holds exactly these names.
  void ExpectOnly(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    EXPECT_EQ(Listing(dir.path()), names);
  }
  TempDir dir;
};

TEST_F(E2eEnded, ASignalRemovesTheTemporaryAndExitsWithItsNumber) {
  WriteFile(P("many.psd"), NoiseLayers(100, 16, 1024));
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    WriteFile(P("many.yvn"), kOld);
    const RunResult r = RunWatched(dir.path(), {"-W", "many.psd"}, [sig](int pid, const std::string& out) {
      if (!Contains(out, " => writing")) return Watch::More;
      kill(pid, sig);
      return Watch::Done;
    });
    EXPECT_EQ(r.exitValue, 128 + sig);
    EXPECT_EQ(ReadFile(P("many.yvn")), kOld);
    ExpectOnly({"many.psd", "many.yvn"});
  }
}

TEST_F(E2eEnded, AClosedOutputEndsTheRunAsABrokenPipeWould) {
  WriteFile(P("many.psd"), NoiseLayers(100, 16, 1024));
  ASSERT_EQ(RunProgram(dir.path(), {"-q", "many.psd", "ref.yvn"}).out, "");
  // Both directions; SIGPIPE as it comes, and ignored (a failed write).
  for (const char* src : {"many.psd", "ref.yvn"}) {
    for (bool ignorePipe : {false, true}) {
      SCOPED_TRACE(std::string(src) + (ignorePipe ? " ignored" : ""));
      WriteFile(P("out"), kOld);
      const RunResult r = RunWatched(
          dir.path(), {"-W", src, "out"},
          [](int, const std::string& out) { return Contains(out, " => writing") ? Watch::CloseOutput : Watch::More; },
          ignorePipe);
      EXPECT_EQ(r.exitValue, 128 + SIGPIPE);
      EXPECT_EQ(ReadFile(P("out")), kOld);
      ExpectOnly({"many.psd", "out", "ref.yvn"});
    }
  }
}

TEST_F(E2eEnded, OutOfMemoryIsReportedAndTheBatchGoesOnWithForce) {
#ifdef YVN_E2E_ASAN
  GTEST_SKIP() << "the sanitizer's own mappings need more address space than the limit leaves";
#endif
  // 2048 x 2048 pixels of noise take 32 MiB of cells a layer; the limit
  // leaves room for the small file only.
  WriteFile(P("a.psd"), NoiseLayers(6, 2048, 2048));
  WriteFile(P("b.psd"), NoiseLayers(1, 32, 32));
  WriteFile(P("a.yvn"), kOld);
  const std::vector<std::string> limit = {"/bin/sh", "-c", "ulimit -v 180000 || exit 99; exec \"$@\"", "sh"};
  RunResult r = RunProgram(dir.path(), {"-q", "-W", "*.psd"}, "", limit);
  if (r.exitValue == 99) GTEST_SKIP() << "no address-space limit here";
  EXPECT_EQ(r.out, "\nerror(106):Out of memory\n");
  EXPECT_EQ(r.exitValue, 0);
  EXPECT_EQ(ReadFile(P("a.yvn")), kOld);
  ExpectOnly({"a.psd", "a.yvn", "b.psd"});
  r = RunProgram(dir.path(), {"-q", "-W", "-F", "*.psd"}, "", limit);
  EXPECT_EQ(r.out, "\nerror(106):Out of memory\n");
  EXPECT_EQ(ReadFile(P("a.yvn")), kOld);
  ExpectOnly({"a.psd", "a.yvn", "b.psd", "b.yvn"});
  EXPECT_TRUE(ReadPsd(P("b.psd")).ok);
}

}  // namespace
}  // namespace e2e
