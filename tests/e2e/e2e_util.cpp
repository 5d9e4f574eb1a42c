#include "e2e_util.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "chunk/data_src.h"
#include "iio/psd.h"

namespace e2e {

TempDir::TempDir() {
  std::string tmpl = (fs::temp_directory_path() / "yvn_e2e_XXXXXX").string();
  if (!mkdtemp(tmpl.data())) std::abort();
  path_ = fs::canonical(tmpl).string();
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool Contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

std::string UpperExt(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return "";
  std::string e = name.substr(dot);
  for (char& c : e) c = char(std::toupper(uint8_t(c)));
  return e;
}

std::string Exe() {
  const char* e = std::getenv("YVN2PSD_EXE");
  return e ? e : "";
}

std::string CorpusDir() {
  const char* e = std::getenv("YVN_PSD_CORPUS");
  return e ? e : "";
}

// ------------------------------------------------------------ running

namespace {

struct Child {
  pid_t pid = -1;
  int in = -1;   // the program's standard input
  int out = -1;  // the program's standard output
};

Child Spawn(const std::string& cwd, const std::vector<std::string>& args, const std::vector<std::string>& prefix,
            bool ignorePipe = false) {
  std::vector<std::string> all = prefix;
  all.push_back(Exe());
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);

  int inPipe[2], outPipe[2];
  Child c;
  if (pipe(inPipe) != 0) return c;
  if (pipe(outPipe) != 0) {
    close(inPipe[0]), close(inPipe[1]);
    return c;
  }
  c.pid = fork();
  if (c.pid == 0) {
    if (dup2(inPipe[0], 0) < 0 || dup2(outPipe[1], 1) < 0 || chdir(cwd.c_str()) != 0) _exit(120);
    close(inPipe[0]), close(inPipe[1]), close(outPipe[0]), close(outPipe[1]);
    signal(SIGPIPE, ignorePipe ? SIG_IGN : SIG_DFL);
    execv(argv[0], argv.data());
    _exit(121);
  }
  close(inPipe[0]);
  close(outPipe[1]);
  c.in = inPipe[1];
  c.out = outPipe[0];
#ifdef F_SETPIPE_SZ
  // A program can then run at most a page of output ahead of the test.
  fcntl(c.out, F_SETPIPE_SZ, 4096);
#endif
  // A program that stops reading must not kill the test with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  return c;
}

using Clock = std::chrono::steady_clock;

// Reads what is there within the deadline; false at end of output or time-out.
bool ReadSome(int fd, std::string& out, Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return false;
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, int(std::min<long long>(left, 200))) <= 0) return Clock::now() < deadline;
  char buf[4096];
  const ssize_t n = read(fd, buf, sizeof buf);
  if (n <= 0) return false;
  out.append(buf, size_t(n));
  return true;
}

void WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += size_t(n);
  }
}

RunResult Finish(Child& c, std::string out, Clock::time_point deadline) {
  while (ReadSome(c.out, out, deadline)) {
  }
  RunResult r;
  r.out = std::move(out);
  close(c.out);
  int status = 0;
  if (Clock::now() >= deadline) {
    kill(c.pid, SIGKILL);
    waitpid(c.pid, &status, 0);
    r.exitValue = -3000;
    return r;
  }
  waitpid(c.pid, &status, 0);
  r.exitValue = WIFEXITED(status) ? WEXITSTATUS(status) : -2000 - WTERMSIG(status);
  return r;
}

// Generous: the sanitizer build is slow, and a prompt that ignored the end
// of its input would otherwise hang the suite.
constexpr auto kLimit = std::chrono::seconds(60);

}  // namespace

RunResult RunProgram(const std::string& cwd, const std::vector<std::string>& args, const std::string& input,
                     const std::vector<std::string>& prefix) {
  Child c = Spawn(cwd, args, prefix);
  if (c.pid < 0) return {};
  WriteAll(c.in, input);
  close(c.in);
  return Finish(c, "", Clock::now() + kLimit);
}

RunResult RunWatched(const std::string& cwd, const std::vector<std::string>& args,
                     const std::function<Watch(int pid, const std::string& out)>& watch, bool ignorePipe) {
  Child c = Spawn(cwd, args, {}, ignorePipe);
  if (c.pid < 0) return {};
  close(c.in);
  const auto deadline = Clock::now() + kLimit;
  std::string out;
  Watch w = Watch::More;
  while (w == Watch::More && ReadSome(c.out, out, deadline)) w = watch(int(c.pid), out);
  if (w == Watch::CloseOutput) {
    close(c.out);
    RunResult r;
    r.out = std::move(out);
    int status = 0;
    waitpid(c.pid, &status, 0);
    r.exitValue = WIFEXITED(status) ? WEXITSTATUS(status) : -2000 - WTERMSIG(status);
    return r;
  }
  return Finish(c, std::move(out), deadline);
}

RunResult RunInteractive(const std::string& cwd, const std::vector<std::string>& args, const std::string& waitFor,
                         const std::function<void()>& action, const std::string& keys) {
  Child c = Spawn(cwd, args, {});
  if (c.pid < 0) return {};
  const auto deadline = Clock::now() + kLimit;
  std::string out;
  while (!Contains(out, waitFor) && ReadSome(c.out, out, deadline)) {
  }
  if (Contains(out, waitFor)) action();
  WriteAll(c.in, keys);
  close(c.in);
  return Finish(c, std::move(out), deadline);
}

// ------------------------------------------------------------ pixels

PixelRGBA Widen8(uint32_t rgba) {
  const uint32_t a = rgba >> 24;
  auto c = [&](int shift) { return uint16_t(((rgba >> shift & 0xFF) * a * 33026u) >> 17); };
  return PixelRGBA{c(0), c(8), c(16), uint16_t((a * 16449u) >> 8)};
}

uint32_t Narrow8(const PixelRGBA& p) {
  const uint64_t a = p.a;
  const uint64_t recip = a ? 0xFF005800u / a : 0;
  auto c = [&](uint64_t v) { return uint32_t((std::min(v, a) * recip + 0xC00000u) >> 24); };
  return Rgba(c(p.r), c(p.g), c(p.b), uint32_t((a - (a >> 13)) >> 6));
}

// ------------------------------------------------------------ PSD writing

namespace {

void Put8(std::string& b, uint32_t v) { b.push_back(char(v & 0xFF)); }
void Put16(std::string& b, uint32_t v) { Put8(b, v >> 8), Put8(b, v); }
void Put32(std::string& b, uint32_t v) { Put16(b, v >> 16), Put16(b, v); }
void Pad(std::string& b, size_t from, size_t to) {
  while ((b.size() - from) % to) b.push_back('\0');
}

std::u16string Utf16(const std::string& s) {
  std::u16string u;
  for (size_t i = 0; i < s.size();) {
    const uint8_t c = uint8_t(s[i]);
    uint32_t cp;
    int n;
    if (c < 0x80) cp = c, n = 1;
    else if (c >> 5 == 6) cp = c & 0x1F, n = 2;
    else if (c >> 4 == 14) cp = c & 0x0F, n = 3;
    else cp = c & 0x07, n = 4;
    for (int k = 1; k < n && i + k < s.size(); ++k) cp = cp << 6 | (uint8_t(s[i + k]) & 0x3F);
    i += size_t(n);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      u.push_back(char16_t(0xD800 + (cp >> 10)));
      u.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
      u.push_back(char16_t(cp));
    }
  }
  return u;
}

}  // namespace

std::string BuildPsd(uint32_t width, uint32_t height, const std::vector<LayerSpec>& layers,
                     const std::vector<uint32_t>& merged) {
  std::string f = "8BPS";
  Put16(f, 1);
  f.append(6, '\0');
  Put16(f, 4);
  Put32(f, height);
  Put32(f, width);
  Put16(f, 8);
  Put16(f, 3);
  Put32(f, 0);  // colour mode data
  Put32(f, 0);  // image resources

  std::string info;
  Put16(info, uint32_t(-int32_t(layers.size())) & 0xFFFF);  // negative: the merged image has transparency
  std::string data;
  static const int16_t kIds[4] = {-1, 0, 1, 2};
  static const int kShift[4] = {24, 0, 8, 16};
  for (const LayerSpec& l : layers) {
    const uint32_t w = uint32_t(l.right - l.left), h = uint32_t(l.bottom - l.top);
    Put32(info, uint32_t(l.top));
    Put32(info, uint32_t(l.left));
    Put32(info, uint32_t(l.bottom));
    Put32(info, uint32_t(l.right));
    Put16(info, 4);
    for (int c = 0; c < 4; ++c) {
      Put16(info, uint16_t(kIds[c]));
      Put32(info, 2 + w * h);
      Put16(data, 0);
      for (size_t i = 0; i < size_t(w) * h; ++i) Put8(data, l.px[i] >> kShift[c]);
    }
    info += "8BIM";
    info += l.key.substr(0, 4);
    Put8(info, l.opacity);
    Put8(info, 0);                       // clipping
    Put8(info, l.visible ? 8 : 8 | 2);   // bit 1: hidden
    Put8(info, 0);
    std::string extra;
    Put32(extra, 0);  // no layer mask
    Put32(extra, 0);  // no blending ranges
    std::string pascal;
    for (char ch : l.name) pascal.push_back(uint8_t(ch) < 0x80 ? ch : '?');
    pascal = pascal.substr(0, 255);
    const size_t at = extra.size();
    Put8(extra, uint32_t(pascal.size()));
    extra += pascal;
    Pad(extra, at, 4);
    const std::u16string units = Utf16(l.name);
    std::string luni;
    Put32(luni, uint32_t(units.size()));
    for (char16_t u : units) Put16(luni, u);
    Pad(luni, 0, 4);
    extra += "8BIMluni";
    Put32(extra, uint32_t(luni.size()));
    extra += luni;
    Put32(info, uint32_t(extra.size()));
    info += extra;
  }
  info += data;
  Pad(info, 0, 4);
  std::string lmi;
  Put32(lmi, uint32_t(info.size()));
  lmi += info;
  Put32(lmi, 0);  // global layer mask
  Put32(f, uint32_t(lmi.size()));
  f += lmi;

  Put16(f, 0);  // raw merged image, planar
  for (int c : {0, 8, 16, 24})
    for (size_t i = 0; i < size_t(width) * height; ++i) Put8(f, merged.empty() ? 0 : merged[i] >> c);
  return f;
}

// ------------------------------------------------------------ PSD reading

uint32_t Image::At(int64_t x, int64_t y) const {
  if (x < p.left || y < p.top || x >= p.right || y >= p.bottom) return 0;
  return px[size_t((y - p.top) * Width() + (x - p.left))];
}

PsdFile ReadPsd(const std::string& path) {
  PsdFile f;
  DataSrcReadFromFile src;
  if (!src.open(path.c_str())) return f;
  iio::Psd psd(src);
  f.width = psd.Width();
  f.height = psd.Height();
  const uint32_t n = psd.Open();
  f.error = psd.ErrorCode();
  if (f.error) return f;
  f.layerRecords = psd.LayerCount();
  for (uint32_t k = 0; k < n; ++k) {
    Image img;
    if (!psd.NextImage(img.p)) {
      f.error = psd.ErrorCode() ? psd.ErrorCode() : -1;
      return f;
    }
    if (img.p.pixelsIrrelevant) continue;
    const int64_t w = img.Width(), h = img.Height();
    img.px.reserve(size_t(w * h));
    for (int64_t row = 0; row < h;) {
      const uint32_t got = psd.ReadRows(uint32_t(std::min<int64_t>(64, h - row)));
      if (got == 0) {
        f.error = -2;
        return f;
      }
      for (uint32_t i = 0; i < got; ++i) {
        const uint32_t* r = psd.RowPointer(int32_t(img.p.top + row + i));
        if (!r) {
          f.error = -3;
          return f;
        }
        img.px.insert(img.px.end(), r, r + w);
      }
      row += got;
    }
    f.images.push_back(std::move(img));
  }
  f.ok = true;
  return f;
}

void AlphaBounds(const Image& img, int32_t* l, int32_t* t, int32_t* r, int32_t* b) {
  int64_t L = INT64_MAX, T = INT64_MAX, R = INT64_MIN, B = INT64_MIN;
  const int64_t w = img.Width(), h = img.Height();
  for (int64_t y = 0; y < h; ++y)
    for (int64_t x = 0; x < w; ++x)
      if (img.px[size_t(y * w + x)] >> 24) {
        L = std::min(L, img.p.left + x), R = std::max(R, img.p.left + x + 1);
        T = std::min(T, img.p.top + y), B = std::max(B, img.p.top + y + 1);
      }
  if (L > R) L = T = R = B = 0;
  *l = int32_t(L), *t = int32_t(T), *r = int32_t(R), *b = int32_t(B);
}

}  // namespace e2e
