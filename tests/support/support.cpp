#include "support/support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace ts {

TempDir::TempDir() {
  std::string tmpl = (fs::temp_directory_path() / "yvn_test_XXXXXX").string();
  if (!mkdtemp(tmpl.data())) std::abort();
  path_ = fs::canonical(tmpl).string();
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::vector<std::string> Cells(const std::string& line) {
  std::vector<std::string> cells;
  std::istringstream row(line);
  for (std::string c; std::getline(row, c, '\t');) cells.push_back(c);
  return cells;
}

}  // namespace

std::string Exe() { return Env("YVN2PSD_EXE"); }

std::string DataDir() { return Env("YVN_TEST_DATA"); }

std::vector<std::string> CorpusFiles(const std::string& expect) {
  std::vector<std::string> files;
  const std::string dir = Env("YVN_PSD_CORPUS");
  std::istringstream manifest(dir.empty() ? "" : ReadFile(dir + "/MANIFEST.tsv"));
  std::string line;
  std::getline(manifest, line);
  // The columns are named in the header.
  const std::vector<std::string> names = Cells(line);
  const size_t file = size_t(std::find(names.begin(), names.end(), "name") - names.begin());
  const size_t kind = size_t(std::find(names.begin(), names.end(), "expect") - names.begin());
  while (std::getline(manifest, line)) {
    const std::vector<std::string> cells = Cells(line);
    if (std::max(file, kind) < cells.size() && cells[kind].rfind(expect, 0) == 0)
      files.push_back(dir + "/" + cells[file]);
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string Shell(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) {
    if (status) *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int st = pclose(p);
  if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

namespace {

using Clock = std::chrono::steady_clock;

void WriteAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += size_t(n);
  }
}

}  // namespace

RunResult RunProgram(const std::string& cwd, const std::vector<std::string>& args, const RunOptions& options) {
  RunResult r;
  std::vector<std::string> all = options.prefix;
  all.push_back(Exe());
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);

  int in[2], out[2];
  if (pipe(in) != 0) return r;
  if (pipe(out) != 0) {
    close(in[0]), close(in[1]);
    return r;
  }
  // A test that stops reading or writing must not be killed by SIGPIPE itself.
  signal(SIGPIPE, SIG_IGN);
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (options.addressSpace) {
      const rlimit lim{rlim_t(options.addressSpace), rlim_t(options.addressSpace)};
      setrlimit(RLIMIT_AS, &lim);
    }
    signal(SIGPIPE, options.ignorePipe ? SIG_IGN : SIG_DFL);
    if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || chdir(cwd.c_str()) != 0) _exit(120);
    close(in[0]), close(in[1]), close(out[0]), close(out[1]);
    execvp(argv[0], argv.data());
    _exit(121);
  }
  close(in[0]);
  close(out[1]);
  if (pid < 0) {
    close(in[1]), close(out[0]);
    return r;
  }
#ifdef F_SETPIPE_SZ
  fcntl(out[0], F_SETPIPE_SZ, 4096);
#endif
  WriteAll(in[1], options.input);
  bool watching = bool(options.watch);
  if (!watching) close(in[1]);
  const auto deadline = start + std::chrono::seconds(options.seconds);
  bool open = true, late = false;
  while (open) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      late = true;
      break;
    }
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, int(std::min<long long>(left, 200))) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    r.out.append(buf, size_t(n));
    if (!watching) continue;
    const Watch w = options.watch(int(pid), r.out);
    if (w == Watch::More) continue;
    watching = false;
    close(in[1]);
    if (w == Watch::CloseOutput) open = false;
  }
  if (watching) close(in[1]);
  close(out[0]);
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == pid || (done < 0 && errno != EINTR)) break;
    if (Clock::now() > deadline) {
      late = true;
      kill(pid, SIGKILL);
    }
    usleep(2000);
  }
  r.peakKiB = uint64_t(usage.ru_maxrss);
  r.exit = late ? -3000 : WIFEXITED(status) ? WEXITSTATUS(status) : -2000 - WTERMSIG(status);
  return r;
}

}  // namespace ts
