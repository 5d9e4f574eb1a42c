#include "hardening_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <thread>

#include "chunk/chunk_reader.h"
#include "chunk/data_src.h"
#include "convert/jobs.h"
#include "iio/psd.h"
#include "iio/psd_out.h"
#include "iio/write_stream.h"

namespace hard {

namespace {

uint32_t Be32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}
uint16_t Be16(const Bytes& b, size_t at) { return uint16_t(b[at] << 8 | b[at + 1]); }
uint32_t Le32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

class Marks {
 public:
  explicit Marks(size_t size) : size_(size) {}
  void Add(uint64_t at) {
    if (at > 0 && at < size_) set_.insert(size_t(at));
  }
  bool Has(uint64_t at, uint64_t n) const { return at <= size_ && n <= size_ - at; }
  std::vector<size_t> Sorted() const { return std::vector<size_t>(set_.begin(), set_.end()); }

 private:
  size_t size_;
  std::set<size_t> set_;
};

// Walks one chunk of the raw file from `p`; compressed chunks are walked at
// block level only. False when the layout ends or breaks.
bool WalkChunk(const Bytes& f, uint64_t& p, Marks& m, bool& endRecord, int depth) {
  endRecord = false;
  if (depth > 64 || !m.Has(p, 8)) return false;
  m.Add(p);
  const uint32_t marker = Le32(f, size_t(p));
  if (marker == 0xFDEACDA0u) {
    p += 4;
    for (;;) {
      m.Add(p);
      if (!m.Has(p, 8) || Le32(f, size_t(p)) != 0xFDEACDA1u) return false;
      const uint64_t count = Le32(f, size_t(p) + 4);
      p += 8;
      m.Add(p);
      if (count == 0) return true;
      p += (count + 3) & ~uint64_t(3);
      // A cut inside a block, at its middle.
      m.Add(p - count / 2);
    }
  }
  if (marker != 0xFAEACDA0u) return false;
  p += 4;
  m.Add(p);
  uint64_t len = Le32(f, size_t(p));
  if (len == 0) {
    p += 4;
    m.Add(p);
    endRecord = true;
    return true;
  }
  p += 4 + ((len + 4) & ~uint64_t(3));
  m.Add(p);
  for (;;) {
    if (!m.Has(p, 4)) return false;
    len = Le32(f, size_t(p));
    if (len == 0) {
      p += 4;
      m.Add(p);
      break;
    }
    p += 4 + ((len + 4) & ~uint64_t(3));
    m.Add(p);
    if (!m.Has(p, 4)) return false;
    const uint32_t s = Le32(f, size_t(p));
    uint64_t bytes = s;
    p += 4;
    if (s > 0x80000000u) {
      if (!m.Has(p, 4)) return false;
      bytes = uint64_t(0u - s) * Le32(f, size_t(p));
      p += 4;
    }
    m.Add(p);
    p += (bytes + 3) & ~uint64_t(3);
    m.Add(p);
  }
  for (;;) {
    bool end = false;
    if (!WalkChunk(f, p, m, end, depth + 1)) return false;
    if (end) return true;
  }
}

}  // namespace

Bytes GoodPsd(uint32_t width, uint32_t height, int layers, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<iio::layer_param_t> params;
  for (int i = 0; i < layers; ++i) {
    iio::layer_param_t p;
    const int32_t w = int32_t(width / 2 + rng() % width), h = int32_t(height / 2 + rng() % height);
    p.left = int32_t(rng() % width) - w / 3;
    p.top = int32_t(rng() % height) - h / 3;
    p.right = p.left + w;
    p.bottom = p.top + h;
    p.name = "layer " + std::to_string(i);
    p.opacity = uint16_t(8192 + rng() % 8193);
    p.visible = i % 3 != 2;
    p.blend.word0 = i % 2 ? 1 : 3;
    params.push_back(p);
  }
  iio::MemoryStream out;
  iio::PsdOut psd(out);
  psd.Begin(width, height, params);
  for (const auto& p : params) {
    psd.BeginLayer(p);
    const int64_t w = p.Width();
    std::vector<PixelRGBA> row(static_cast<size_t>(w));
    const uint16_t solid = uint16_t(rng() % 16385);
    for (int64_t y = 0; y < p.Height(); ++y) {
      for (int64_t x = 0; x < w; ++x) {
        // Flat areas (fill cells), a transparent band and noise (bitmaps).
        uint16_t a, c;
        if (x < w / 3) {
          a = 16384, c = solid;
        } else if (x < w / 2) {
          a = 0, c = 0;
        } else {
          a = uint16_t(rng() % 16385);
          c = uint16_t(rng() % (a + 1u));
        }
        row[size_t(x)] = PixelRGBA{c, uint16_t(a / 2), uint16_t(a - c), a};
      }
      psd.WriteRows(row.data(), 1);
    }
    psd.EndLayer();
  }
  std::vector<PixelRGBA> row(width);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) row[x] = PixelRGBA{uint16_t(x * 50 % 16385), uint16_t(y * 70 % 16385), 0, 16384};
    psd.WriteRows(row.data(), 1);
  }
  psd.Finish();
  return out.Bytes();
}

std::vector<size_t> PsdBoundaries(const Bytes& f) {
  Marks m(f.size());
  uint64_t p = 26;
  m.Add(p);
  for (int i = 0; i < 2; ++i) {  // colour mode data, image resources
    if (!m.Has(p, 4)) return m.Sorted();
    const uint64_t len = Be32(f, size_t(p));
    m.Add(p + 4);
    p += 4 + len;
    m.Add(p);
  }
  if (!m.Has(p, 4)) return m.Sorted();
  const uint64_t lmiEnd = p + 4 + Be32(f, size_t(p));
  p += 4;
  m.Add(p);
  m.Add(lmiEnd);
  if (m.Has(p, 6)) {
    const uint64_t liEnd = p + 4 + Be32(f, size_t(p));
    m.Add(liEnd);
    p += 4;
    const int16_t count = int16_t(Be16(f, size_t(p)));
    p += 2;
    m.Add(p);
    std::vector<std::vector<uint32_t>> lengths;
    for (int i = 0; i < std::abs(int(count)); ++i) {
      m.Add(p);
      if (!m.Has(p, 18)) return m.Sorted();
      const uint16_t nch = Be16(f, size_t(p) + 16);
      p += 18;
      m.Add(p);
      lengths.emplace_back();
      for (uint16_t c = 0; c < nch && m.Has(p, 6); ++c, p += 6) lengths.back().push_back(Be32(f, size_t(p) + 2));
      m.Add(p);
      if (!m.Has(p, 16)) return m.Sorted();
      const uint64_t extra = Be32(f, size_t(p) + 12);
      p += 16;
      m.Add(p);
      if (m.Has(p, 4)) m.Add(p + 4 + Be32(f, size_t(p)));  // after the mask data
      p += extra;
      m.Add(p);
    }
    for (const auto& layer : lengths)
      for (uint32_t len : layer) {
        m.Add(p + 2);  // after the compression word
        p += len;
        m.Add(p);
      }
  }
  p = lmiEnd;
  m.Add(p + 2);
  if (m.Has(p, 2) && Be16(f, size_t(p)) == 1) {
    const uint64_t rows = uint64_t(Be16(f, 12)) * Be32(f, 14);
    m.Add(p + 2 + rows);
    m.Add(p + 2 + 2 * rows);
  }
  m.Add(f.size() - 1);
  return m.Sorted();
}

std::vector<size_t> YvnBoundaries(const Bytes& f) {
  Marks m(f.size());
  uint64_t p = 0;
  bool end = false;
  WalkChunk(f, p, m, end, 0);
  m.Add(f.size() - 1);
  return m.Sorted();
}

Bytes Flip(const Bytes& file, std::mt19937& rng) {
  Bytes b = file;
  if (b.empty()) return b;
  const int n = 1 + int(rng() % 4);
  for (int i = 0; i < n; ++i) {
    const size_t span = rng() % 3 == 0 ? std::min<size_t>(512, b.size()) : b.size();
    const size_t at = rng() % span;
    switch (rng() % 4) {
      case 0: b[at] ^= uint8_t(1u << (rng() % 8)); break;           // one bit
      case 1: b[at] = uint8_t(rng()); break;                         // any byte
      case 2: b[at] = rng() % 2 ? 0xFF : 0x00; break;                // extremes
      default: b[at] = uint8_t(b[at] + (rng() % 2 ? 1 : 0xFF)); break;  // off by one
    }
  }
  return b;
}

Conversion ConvertInProcess(const std::string& src, const std::string& dst, bool compress) {
  Conversion c;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::tmpfile(), &std::fclose);
  if (!out) return c;
  const bool fromPsd = EndsWith(src, ".psd");
  DocumentPtr doc;
  if (fromPsd) {
    PsdLoad load(false, src, "src");
    load.SetOutput(out.get());
    load.Run();
    doc = load.document();
  } else {
    KzmLoad load(false, src, "src");
    load.SetOutput(out.get());
    load.Run();
    doc = load.document();
  }
  c.loaded = doc != nullptr;
  if (doc) {
    if (fromPsd) {
      KzmSave save(false, doc, dst, "dst", compress);
      save.SetOutput(out.get());
      c.saveResult = save.Run();
    } else {
      PsdSave save(false, doc, dst, "dst");
      save.SetOutput(out.get());
      c.saveResult = save.Run();
    }
  }
  std::fflush(out.get());
  std::rewind(out.get());
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, out.get())) > 0) c.output.append(buf, n);
  return c;
}

Run RunProgram(const std::string& cwd, const std::vector<std::string>& args, uint64_t addressSpace, int seconds) {
  Run r;
  const std::string exe = ProgramPath();
  char outTmpl[] = "/tmp/yvn_hard_out_XXXXXX";
  const int outFd = mkstemp(outTmpl);
  if (outFd < 0) return r;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(exe.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    if (addressSpace) {
      const rlimit lim{rlim_t(addressSpace), rlim_t(addressSpace)};
      setrlimit(RLIMIT_AS, &lim);
    }
    if (in < 0 || dup2(in, 0) < 0 || dup2(outFd, 1) < 0 || chdir(cwd.c_str()) != 0) _exit(120);
    execv(exe.c_str(), argv.data());
    _exit(121);
  }
  close(outFd);
  if (pid > 0) {
    int status = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::seconds(seconds);
    bool killed = false;
    rusage usage{};
    while (wait4(pid, &status, WNOHANG, &usage) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        killed = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    r.peakKiB = uint64_t(usage.ru_maxrss);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!killed) {
      r.finished = WIFEXITED(status);
      if (r.finished) r.exitValue = WEXITSTATUS(status);
      if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    }
  }
  const Bytes out = ReadFile(outTmpl);
  r.out.assign(out.begin(), out.end());
  unlink(outTmpl);
  return r;
}

std::string ProgramPath() {
  const char* e = std::getenv("YVN2PSD_EXE");
  return e ? e : "";
}

std::string CorpusDir() {
  const char* e = std::getenv("YVN_PSD_CORPUS");
  std::string dir = e ? e : "";
  if (dir.empty()) {
    const char* s = std::getenv("YVN_SOURCE_DIR");
    if (s) dir = std::string(s) + "/../shared/corpus/psd";
  }
  struct stat st;
  return !dir.empty() && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? dir : "";
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return bool(out);
}

std::string MakeTempDir() {
  char tmpl[] = "/tmp/yvn_hard_XXXXXX";
  const char* d = mkdtemp(tmpl);
  return d ? d : "";
}

void RemoveTree(const std::string& dir) {
  if (dir.empty()) return;
  for (const std::string& f : FilesIn(dir, "")) unlink(f.c_str());
  rmdir(dir.c_str());
}

std::vector<std::string> FilesIn(const std::string& dir, const std::string& suffix) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == ".." || !EndsWith(name, suffix)) continue;
      out.push_back(dir + "/" + name);
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

bool ReadsBack(const std::string& path) {
  const Bytes b = ReadFile(path);
  if (b.empty()) return false;
  DataSrcMemory src(b.data(), b.size());
  if (EndsWith(path, ".psd")) {
    iio::Psd psd(src);
    return psd.ErrorCode() == 0 && psd.Open() > 0;
  }
  chunk::ChunkSA root(nullptr, src);
  return root.ok();
}

}  // namespace hard
