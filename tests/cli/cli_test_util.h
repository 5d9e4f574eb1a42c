// Temporary folders and file helpers for the front-end tests.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace clitest {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed at the end.
// path() is canonical, so it matches the program's own view of the current folder.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "yvn_cli_XXXXXX").string();
    if (!mkdtemp(tmpl.data())) std::abort();
    path_ = fs::canonical(tmpl).string();
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs the calls in body with the current folder set to dir.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir) : saved_(fs::current_path()) { fs::current_path(dir); }
  ~ScopedCwd() { fs::current_path(saved_); }

 private:
  fs::path saved_;
};

}  // namespace clitest
