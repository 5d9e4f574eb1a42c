// What can go wrong around a conversion, through the program: damaged and
// hostile sources, destinations not to be written through, failed writes,
// signals, a closed output, exhausted memory. Each failure prints its error
// line and leaves no temporary file and an existing destination whole.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "support/chunk_ref.h"
#include "support/psd.h"

namespace ts {
namespace {

const char kOld[] = "the old destination, which must survive\n";
const char kCannotCreate[] = "\nerror(102):Cannot create destination file\n";

class Failure : public ProgramTest {
 protected:
  RunResult Go(const std::vector<std::string>& args, RunOptions o = {}) { return RunProgram(dir.path(), args, o); }
  bool IsLink(const std::string& rel) const { return fs::is_symlink(fs::symlink_status(P(rel))); }
  void ExpectOnly(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    EXPECT_EQ(Listing(dir.path()), names);
  }
};

// ------------------------------------------------------------ damaged and hostile sources

uint32_t Be(const std::string& f, size_t at, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | uint8_t(f[at + size_t(i)]);
  return v;
}

// The cuts inside a file of `size` bytes, and before its last byte.
std::vector<size_t> Inside(std::set<size_t> m, size_t size) {
  m.insert(size - 1);
  std::vector<size_t> v;
  for (size_t c : m)
    if (c > 0 && c < size) v.push_back(c);
  return v;
}

// Offsets where a section, record, value, block or row table of a file
// begins or ends: the cuts that a reader's bounds checks must catch.
std::vector<size_t> PsdCuts(const std::string& f) {
  std::set<size_t> m;
  auto has = [&](uint64_t at, uint64_t n) { return at + n <= f.size(); };
  uint64_t p = 26;
  m.insert(p);
  for (int i = 0; i < 2 && has(p, 4); ++i) m.insert(p + 4), p += 4 + Be(f, p, 4), m.insert(p);
  if (!has(p, 10)) return Inside(m, f.size());
  const uint64_t end = p + 4 + Be(f, p, 4);
  m.insert(end);
  p += 8;
  std::vector<uint32_t> lengths;
  for (int i = 0, n = std::abs(int16_t(Be(f, p, 2))); (p += i ? 0 : 2, i < n) && has(p, 18); ++i) {
    m.insert(p);
    const uint32_t channels = Be(f, p + 16, 2);
    p += 18;
    for (uint32_t c = 0; c < channels && has(p, 6); ++c, p += 6) lengths.push_back(Be(f, p + 2, 4));
    m.insert(p);
    if (!has(p, 20)) break;
    m.insert(p + 20 + Be(f, p + 16, 4));  // after the mask data
    p += 16 + Be(f, p + 12, 4);
  }
  for (uint32_t len : lengths) m.insert(p + 2), p += len, m.insert(p);
  m.insert(end + 2);
  return Inside(m, f.size());
}

// The same for the chunk container, as the independent reader finds them.
std::vector<size_t> YvnCuts(const std::string& f) {
  std::set<size_t> m;
  ref::RefReader reader(reinterpret_cast<const uint8_t*>(f.data()), f.size());
  reader.cuts = &m;
  ref::Chunk root;
  bool end;
  EXPECT_TRUE(reader.Read(root, end, false) && !end && reader.pos == f.size());
  return Inside(m, f.size());
}

// One to four bytes changed, a third of them within the headers.
std::string Flip(std::string b, std::mt19937& rng) {
  for (int n = 1 + int(rng() % 4); n-- > 0;) {
    const size_t at = rng() % (rng() % 3 == 0 ? std::min<size_t>(512, b.size()) : b.size());
    switch (rng() % 4) {
      case 0: b[at] = char(b[at] ^ (1 << (rng() % 8))); break;
      case 1: b[at] = char(rng()); break;
      case 2: b[at] = char(rng() % 2 ? 0xFF : 0); break;
      default: b[at] = char(b[at] + (rng() % 2 ? 1 : -1)); break;
    }
  }
  return b;
}

// Converts the files of `in` matching the filter in one batch with -F, under
// a time and (outside the sanitizer build) an address-space limit: each is
// converted, its result converting back, or refused with an error line.
void ExpectConvertedOrRefused(const std::string& in, const std::string& filter, size_t count) {
  RunOptions o;
  o.seconds = 240;
#ifndef YVN_ASAN
  o.addressSpace = uint64_t(1) << 30;
#endif
  const std::string out = in + "/out";
  RunResult r = RunProgram(in, {"-q", "-F", "-W", "-o" + out, filter}, o);
  size_t errors = 0;
  for (size_t at = 0; (at = r.out.find("\nerror(", at)) != std::string::npos; ++at) ++errors;
  ASSERT_EQ(r.exit, errors ? 1 : 0) << r.out.substr(0, 2000);
  const std::vector<std::string> made = Listing(out);
  EXPECT_EQ(errors + made.size(), count) << "every file converted or refused";
  for (const std::string& n : made) EXPECT_EQ(n.find(".tmp"), std::string::npos) << n;
  if (made.empty()) return;
  r = RunProgram(out, {"-q", "-F", "-W", "-o" + in + "/back", "*"}, o);
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(r.out, "") << "what the program wrote, it reads";
}

TEST_F(Failure, DamagedFilesAreConvertedOrRefusedNeverWorse) {
  std::vector<std::pair<std::string, std::string>> good;  // name, bytes
  good.emplace_back("gen_a.psd", NoisePsd(3, 40, 30, 11));
  good.emplace_back("paint.psd", PaintingPsd());
  // Then real files of the shared corpus, and the program's own files of the first few.
  for (const std::string& path : CorpusFiles("ACCEPT"))
    if (fs::file_size(path) < 0xC000 && good.size() < 10) good.emplace_back(fs::path(path).filename(), ReadFile(path));
  for (size_t i = 0, n = good.size(); i < n && i < 4; ++i) {
    WriteFile(P("src.psd"), good[i].second);
    for (const char* z : {"-z1", "-z0"}) {
      ASSERT_EQ(Go({"-q", "-W", z, "src.psd", "src.yvn"}).out, "");
      good.emplace_back(good[i].first + z + ".yvn", ReadFile(P("src.yvn")));
    }
    if (i == 1 || i == 2) {
      ASSERT_EQ(Go({"-q", "-W", i == 1 ? "-d16" : "-d8", "src.yvn", "made.psd"}).out, "");
      good.emplace_back(good[i].first + "-made.psd", ReadFile(P("made.psd")));
    }
  }
  for (const char* ext : {".psd", ".yvn"}) {
    SCOPED_TRACE(ext);
    size_t count = 0;
    std::mt19937 rng(20240611);
    for (const auto& [name, bytes] : good) {
      if (fs::path(name).extension() != ext) continue;
      for (size_t cut : ext[1] == 'p' ? PsdCuts(bytes) : YvnCuts(bytes))
        WriteFile(P("m/" + std::to_string(count++) + ext), bytes.substr(0, cut));
      for (int k = 0; k < 100; ++k) WriteFile(P("m/" + std::to_string(count++) + ext), Flip(bytes, rng));
    }
    EXPECT_GT(count, 500u);
    ExpectConvertedOrRefused(P("m"), std::string("*") + ext, count);
    fs::remove_all(P("m"));
  }
}

TEST_F(Failure, HostileAndOnceFoundFilesAreHandledAsRecorded) {
  // Each line of the manifest: a file of tests/data/hostile or of the fuzz
  // regressions, and what the program must print converting it quietly.
  const std::string data = DataDir() + "/hostile";
  std::istringstream manifest(ReadFile(data + "/expected.tsv"));
  size_t cases = 0;
  for (std::string line; std::getline(manifest, line);) {
    if (line.empty() || line[0] == '#') continue;
    const size_t tab = line.find('\t');
    const std::string name = line.substr(0, tab), want = line.substr(tab + 1);
    SCOPED_TRACE(name);
    const std::string src = "s" + fs::path(name).extension().string();
    fs::copy_file(data + "/" + name, P(src), fs::copy_options::overwrite_existing);
    // RunOptions' watchdog is the hang guard: a hung run ends killed, its exit -3000.
    const RunResult r = Go({"-q", "-W", src, src[2] == 'p' ? "d.yvn" : "d.psd"});
    EXPECT_EQ(r.exit, want == "-" ? 0 : 1);
    EXPECT_EQ(r.out, want == "-" ? "" : "\n" + want + "\n");
    // A file under 1 MB converts within 1 GiB, or is refused before a quarter of that is taken.
#ifndef YVN_ASAN
    EXPECT_LT(r.peakKiB, want == "-" ? uint64_t(1) << 20 : uint64_t(1) << 18);
#endif
    if (name == "code-past-palette.yvn") {
      // A layer whose tile table names a colour past its palette is read empty.
      const PsdFile c = ReadPsd(ReadFile(P("d.psd")));
      ASSERT_EQ(c.images.size(), 3u);
      EXPECT_EQ(c.images[0].px.size(), 0u);
    }
    ++cases;
  }
  EXPECT_GT(cases, 5u);
  // What fuzzing once found: each converted or refused.
  fs::create_directory(P("f"));
  size_t found = 0;
  for (const char* harness : {"chunk", "doc", "psd"}) {
    std::error_code ec;
    for (auto& e : fs::directory_iterator(DataDir() + "/../../fuzz/regressions/" + harness, ec))
      fs::copy_file(e.path(), P("f/" + std::to_string(found++) + (harness[0] == 'p' ? ".psd" : ".yvn")));
  }
  EXPECT_GE(found, 2u) << "the inputs of fuzz/regressions/<harness>/";
  for (const char* ext : {".psd", ".yvn"}) {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(P("f"))) n += e.path().extension() == ext;
    if (n) ExpectConvertedOrRefused(P("f"), std::string("*") + ext, n);
  }
}

// A layer found damaged while the PSD is written fails the file as a failed
// read does, and stops the batch unless forced.
TEST_F(Failure, ALayerFoundDamagedWhileWritingFailsTheFileAsAReadWould) {
  WriteFile(P("src.psd"), NoisePsd(3, 60, 40, 5));
  ASSERT_EQ(Go({"-q", "-W", "src.psd", "b.yvn"}).out, "");
  std::string bad = ReadFile(P("b.yvn"));
  // Inside the last layer's compressed record, far past its head.
  bad[bad.size() - 300] = char(bad[bad.size() - 300] ^ 0x5A);
  WriteFile(P("a.yvn"), bad);
  WriteFile(P("a.psd"), kOld);
  fs::remove(P("src.psd"));
  const std::string damaged = "\nerror(1):Illigal data format\n";
  EXPECT_EQ(Go({"-q", "-W", "*.yvn"}).out, damaged);
  EXPECT_EQ(ReadFile(P("a.psd")), kOld);
  ExpectOnly({"a.psd", "a.yvn", "b.yvn"});
  EXPECT_EQ(Go({"-q", "-W", "-F", "*.yvn"}).out, damaged);
  EXPECT_EQ(ReadFile(P("a.psd")), kOld);
  ExpectOnly({"a.psd", "a.yvn", "b.psd", "b.yvn"});

  // A PSD row that the read's pass over the thumbnail's rows skips (a canvas
  // 800 high samples every second row) and the write finds damaged.
  for (const char* f : {"a.psd", "a.yvn", "b.psd", "b.yvn"}) fs::remove(P(f));
  PsdSpec s;
  s.width = 8, s.height = 800;
  s.layers.push_back(RgbaLayer(0, 0, 8, 800, std::vector<uint32_t>(8 * 800, 0xFF336699u), "l"));
  ChannelSpec& red = s.layers[0].channels[0];
  red.rawData = true;
  red.data = {0, 1};  // PackBits: 800 row lengths, then the rows
  for (int y = 0; y < 800; ++y) red.data.insert(red.data.end(), {0, 2});
  for (int y = 0; y < 800; ++y) red.data.insert(red.data.end(), {uint8_t(y == 1 ? 0x7F : 0xF9), 0x99});
  WriteFile(P("a.psd"), BuildPsd(s));
  WriteFile(P("b.psd"), NoisePsd(1, 8, 8));
  WriteFile(P("a.yvn"), kOld);
  const std::string notPsd = "\nerror(101):Not a supported PSD file\n";
  EXPECT_EQ(Go({"-q", "-W", "*.psd"}).out, notPsd);
  EXPECT_EQ(ReadFile(P("a.yvn")), kOld);
  ExpectOnly({"a.psd", "a.yvn", "b.psd"});
  RunResult r = Go({"-W", "-F", "*.psd"});
  EXPECT_TRUE(Contains(r.out, "reading... 100% 2/2: a.psd\r\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\nerror(101):Not a supported PSD file\n => writing... 100% 2/2: a.yvn")) << r.out;
  EXPECT_EQ(ReadFile(P("a.yvn")), kOld);
  ExpectOnly({"a.psd", "a.yvn", "b.psd", "b.yvn"});
}

// ------------------------------------------------------------ destinations

TEST_F(Failure, DestinationLinksAreReplacedAndTheSourceIsNeverWritten) {
  WriteFile(P("a.psd"), NoisePsd(1, 8, 8));
  ASSERT_EQ(Go({"-q", "a.psd"}).out, "");
  const std::string psd = ReadFile(P("a.psd")), yvn = ReadFile(P("a.yvn"));
  WriteFile(P("elsewhere/victim"), kOld);
  for (const char* src : {"a.yvn", "a.psd"}) {
    fs::create_symlink(P("elsewhere/victim"), P("out"));
    EXPECT_EQ(Go({"-q", "-W", src, "out"}).out, "") << src;
    EXPECT_EQ(ReadFile(P("elsewhere/victim")), kOld);
    EXPECT_FALSE(IsLink("out"));
    fs::remove(P("out"));
  }
  // The source itself, through a link either way, a hard link or "..".
  fs::create_symlink(P("a.yvn"), P("to-native.psd"));
  fs::create_symlink(P("a.psd"), P("to-psd.yvn"));
  fs::create_hard_link(P("a.psd"), P("hard.yvn"));
  fs::create_directory(P("sub"));
  for (const auto& [src, dst] : std::vector<std::pair<std::string, std::string>>{
           {"a.yvn", "to-native.psd"}, {"a.psd", "to-psd.yvn"}, {"a.psd", "hard.yvn"}, {"a.psd", "sub/../hard.yvn"}}) {
    EXPECT_EQ(Go({"-q", "-W", src, dst}).out, "\nerror(109):Destination is the source\n") << dst;
    EXPECT_EQ(ReadFile(P("a.psd")), psd);
    EXPECT_EQ(ReadFile(P("a.yvn")), yvn);
  }
  EXPECT_TRUE(IsLink("to-native.psd"));
}

TEST_F(Failure, SpecialFilesAreNeverOpened) {
  WriteFile(P("a.psd"), NoisePsd(1, 8, 8));
  WriteFile(P("c.psd"), NoisePsd(1, 8, 8, 3));
  ASSERT_EQ(mkfifo(P("a.yvn").c_str(), 0600), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  P("s.yvn").copy(addr.sun_path, sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  // A FIFO or socket destination is reported and the batch goes on.
  EXPECT_EQ(Go({"-q", "-W", "*.psd"}).out, kCannotCreate);
  EXPECT_TRUE(fs::is_fifo(P("a.yvn")));
  EXPECT_TRUE(fs::is_regular_file(P("c.yvn")));
  EXPECT_EQ(Go({"-q", "-W", "c.psd", "s.yvn"}).out, kCannotCreate);
  close(sock);
  // A FIFO source: the batch stops there without -F, skips it with -F.
  ASSERT_EQ(mkfifo(P("b.psd").c_str(), 0600), 0);
  fs::remove(P("a.yvn"));
  fs::remove(P("c.yvn"));
  const char kSourceOpen[] = "\nerror(100):Cannot open source file\n";
  EXPECT_EQ(Go({"-q", "-W", "*.psd"}).out, kSourceOpen);
  EXPECT_FALSE(fs::exists(P("c.yvn")));
  EXPECT_EQ(Go({"-q", "-W", "-F", "*.psd"}).out, kSourceOpen);
  EXPECT_TRUE(fs::is_regular_file(P("c.yvn")));
  // A character device is written directly.
  EXPECT_EQ(Go({"-q", "-W", "c.psd", "/dev/null"}).out, "");
}

TEST_F(Failure, OwnerGroupAndModeOfAReplacedFileAreKept) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
  WriteFile(P("a.psd"), NoisePsd(1, 8, 8));
  WriteFile(P("a.yvn"), kOld);
  ASSERT_EQ(chown(P("a.yvn").c_str(), 4242, 4343), 0);
  ASSERT_EQ(chmod(P("a.yvn").c_str(), 0640), 0);
  EXPECT_EQ(Go({"-q", "-W", "a.psd"}).out, "");
  struct stat st;
  ASSERT_EQ(stat(P("a.yvn").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4242u);
  EXPECT_EQ(st.st_gid, 4343u);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(Failure, ProcessesSideBySideGiveTheSameBytesAndLeaveNothingBehind) {
  for (int i = 0; i < 8; ++i) WriteFile(P("in/p" + std::to_string(i) + ".psd"), NoisePsd(2, 64, 48, uint32_t(i)));
  ASSERT_EQ(Go({"-q", "-W", "-oref", "in/*.psd"}).out, "");
  std::vector<std::thread> runs;
  std::vector<RunResult> results(12);
  for (int i = 0; i < 12; ++i)
    runs.emplace_back([&, i] {
      // Eight into one folder, four onto one destination.
      results[size_t(i)] = i < 8 ? Go({"-q", "-W", "-oout", "in/p" + std::to_string(i) + ".psd"})
                                 : Go({"-q", "-W", "in/p0.psd", P("same.yvn")});
    });
  for (std::thread& t : runs) t.join();
  for (const RunResult& r : results) EXPECT_EQ(r.out, "");
  EXPECT_EQ(Listing(P("out")), Listing(P("ref")));
  for (const std::string& n : Listing(P("ref"))) EXPECT_TRUE(ReadFile(P("out/" + n)) == ReadFile(P("ref/" + n))) << n;
  EXPECT_TRUE(ReadFile(P("same.yvn")) == ReadFile(P("ref/p0.yvn")));
  for (const std::string& n : Listing(dir.path())) EXPECT_EQ(n.find(".tmp"), std::string::npos) << n;
}

// ------------------------------------------------------------ failed writes

TEST_F(Failure, AFailedWriteLeavesTheOldDestinationWhole) {
  const char kWriteFailed[] = "\nerror(103):Write failed\n";
  WriteFile(P("big.psd"), NoisePsd(2, 128, 128));
  WriteFile(P("small.psd"), NoisePsd(1, 8, 8));
  ASSERT_EQ(Go({"-q", "big.psd", "made.yvn"}).out, "");
  // A file size limit of 16 KiB, with SIGXFSZ ignored so that writes fail.
  WriteFile(P("big.yvn"), kOld);
  WriteFile(P("made.psd"), kOld);
  RunOptions o;
  o.prefix = {"/bin/sh", "-c", "trap '' XFSZ && ulimit -f 32 || exit 99; exec \"$@\"", "sh"};
  RunResult r = Go({"-q", "-W", "big.psd"}, o);
  if (r.exit != 99) {
    EXPECT_EQ(r.out, kWriteFailed);
    EXPECT_EQ(r.exit, 1);
    EXPECT_EQ(Go({"-q", "-W", "made.yvn"}, o).out, kWriteFailed);
    EXPECT_TRUE(ReadFile(P("big.yvn")) == kOld && ReadFile(P("made.psd")) == kOld);
    ExpectOnly({"big.psd", "big.yvn", "made.psd", "made.yvn", "small.psd"});
  }
  // A full file system: 64 KiB in a private mount namespace, copied out before it goes.
  fs::remove(P("made.psd"));
  fs::create_directory(P("disk"));
  fs::create_directory(P("after"));
  o.prefix = {"/usr/bin/env", std::string("OLD=") + kOld, "unshare", "-m", "/bin/sh", "-c",
              "mount -t tmpfs -o size=64k tmpfs disk || exit 99\n"
              "printf '%s' \"$OLD\" > disk/big.yvn && printf '%s' \"$OLD\" > disk/made.psd || exit 98\n"
              "\"$0\" -q -W -odisk '*.psd'; s1=$?; \"$0\" -q -W -odisk made.yvn; s2=$?\n"
              "cp -a disk/. after/ && exit $((s1 * 10 + s2))\n"};
  r = Go({}, o);
  if (r.exit == 99 || (r.exit != 11 && !Contains(r.out, "error")))
    GTEST_SKIP() << "no private mount namespace with a small file system here (" << r.exit << ")";
  // big.psd does not fit, small.psd goes on and fits; the PSD of made.yvn does not fit either.
  EXPECT_EQ(r.out, std::string(kWriteFailed) + kWriteFailed);
  EXPECT_EQ(r.exit, 11);  // both runs failed
  EXPECT_TRUE(ReadFile(P("after/big.yvn")) == kOld && ReadFile(P("after/made.psd")) == kOld);
  EXPECT_EQ(Listing(P("after")), (std::vector<std::string>{"big.yvn", "made.psd", "small.yvn"}));
}

// ------------------------------------------------------------ ended from outside

TEST_F(Failure, ASignalRemovesTheTemporaryAndExitsWithItsNumber) {
  // Late in a batch: the sources converted before leave nothing registered.
  std::vector<std::string> names = {"many.psd", "many.yvn"};
  for (int i = 0; i < 9; ++i) {
    WriteFile(P("a" + std::to_string(i) + ".psd"), NoisePsd(1, 4, 4, uint32_t(i)));
    names.push_back("a" + std::to_string(i) + ".psd"), names.push_back("a" + std::to_string(i) + ".yvn");
  }
  WriteFile(P("many.psd"), NoisePsd(100, 16, 1024));
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    WriteFile(P("many.yvn"), kOld);
    RunOptions o;
    o.watch = [sig](int pid, const std::string& out) {
      if (!Contains(out, ": many.yvn\r")) return Watch::More;  // its writing line
      kill(pid, sig);
      return Watch::Done;
    };
    EXPECT_EQ(Go({"-W", "*.psd"}, o).exit, 128 + sig);
    EXPECT_EQ(ReadFile(P("many.yvn")), kOld);
    ExpectOnly(names);
  }
}

TEST_F(Failure, AClosedOutputEndsTheRunAsABrokenPipeWould) {
  WriteFile(P("many.psd"), NoisePsd(100, 16, 1024));
  ASSERT_EQ(Go({"-q", "many.psd", "ref.yvn"}).out, "");
  // Both directions; SIGPIPE as it comes, and ignored (a failed write).
  for (const char* src : {"many.psd", "ref.yvn"}) {
    for (bool ignorePipe : {false, true}) {
      WriteFile(P("out"), kOld);
      RunOptions o;
      o.ignorePipe = ignorePipe;
      o.watch = [](int, const std::string& out) { return Contains(out, " => writing") ? Watch::CloseOutput : Watch::More; };
      EXPECT_EQ(Go({"-W", src, "out"}, o).exit, 128 + SIGPIPE) << src << ignorePipe;
      EXPECT_EQ(ReadFile(P("out")), kOld);
      ExpectOnly({"many.psd", "out", "ref.yvn"});
    }
  }
}

TEST_F(Failure, OutOfMemoryIsReportedAndTheBatchGoesOnWithForce) {
#ifdef YVN_ASAN
  GTEST_SKIP() << "the sanitizer's own mappings need more address space than the limit leaves";
#endif
  // One layer takes more than the limit: a conversion holds a layer at a time.
  WriteFile(P("a.psd"), NoisePsd(1, 4096, 4096));
  WriteFile(P("b.psd"), NoisePsd(1, 32, 32));
  WriteFile(P("a.yvn"), kOld);
  RunOptions o;
  o.prefix = {"/bin/sh", "-c", "ulimit -v 180000 || exit 99; exec \"$@\"", "sh"};
  RunResult r = Go({"-q", "-W", "*.psd"}, o);
  if (r.exit == 99) GTEST_SKIP() << "no address-space limit here";
  EXPECT_EQ(r.out, "\nerror(106):Out of memory\n");
  ExpectOnly({"a.psd", "a.yvn", "b.psd"});
  r = Go({"-q", "-W", "-F", "*.psd"}, o);
  EXPECT_EQ(r.out, "\nerror(106):Out of memory\n");
  EXPECT_EQ(ReadFile(P("a.yvn")), kOld);
  ExpectOnly({"a.psd", "a.yvn", "b.psd", "b.yvn"});
}

}  // namespace
}  // namespace ts
