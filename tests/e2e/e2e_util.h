// Helpers of the end-to-end tests: temporary folders, running the built
// program, a small PSD writer of its own, and whole-file PSD reading through
// the project's reader.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "blend/pixel.h"
#include "iio/layer_param.h"

namespace e2e {

namespace fs = std::filesystem;

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

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
// Names in a folder, sorted.
std::vector<std::string> Listing(const std::string& dir);
bool Contains(const std::string& s, const std::string& part);
// ".PSD" for "a.psd": the extension in upper case, empty when there is none.
std::string UpperExt(const std::string& name);

// The built program (env YVN2PSD_EXE); empty when not set.
std::string Exe();
// The shared PSD corpus folder (env YVN_PSD_CORPUS); empty when not set.
std::string CorpusDir();

struct RunResult {
  int exitValue = -1000;  // the process exit value, or -2000 - signal
  std::string out;        // everything on standard output
};

// Runs `prefix` + program + args in cwd with `input` as the whole standard
// input. prefix runs the program through a wrapper (it must exec "$@").
RunResult RunProgram(const std::string& cwd, const std::vector<std::string>& args, const std::string& input = "",
                     const std::vector<std::string>& prefix = {});
// What a watcher of a running program wants next.
enum class Watch { More, Done, CloseOutput };
// As RunProgram with empty input; `watch` sees the process id and the output
// so far each time more arrives, until it returns Done (the output is then
// read to the end) or CloseOutput (the program's standard output is closed
// under it). With `ignorePipe` the program starts with SIGPIPE ignored.
RunResult RunWatched(const std::string& cwd, const std::vector<std::string>& args,
                     const std::function<Watch(int pid, const std::string& out)>& watch, bool ignorePipe = false);

// As RunProgram, but standard input stays open until standard output shows
// `waitFor`; then `action` runs and `keys` are sent and the input closed.
RunResult RunInteractive(const std::string& cwd, const std::vector<std::string>& args, const std::string& waitFor,
                         const std::function<void()>& action, const std::string& keys);

// Byte 0 red .. byte 3 transparency.
inline uint32_t Rgba(uint32_t r, uint32_t g, uint32_t b, uint32_t a) { return r | g << 8 | b << 16 | a << 24; }

// The 8-bit to model mapping: widen and premultiply.
PixelRGBA Widen8(uint32_t rgba);
// The model to 8-bit mapping of the PSD writer: divide by alpha.
uint32_t Narrow8(const PixelRGBA& p);
// 8 bits -> 16 bits -> 8 bits.
inline uint32_t Through16(uint32_t rgba) { return Narrow8(Widen8(rgba)); }

// One layer of a PSD written by BuildPsd.
struct LayerSpec {
  std::string name;  // UTF-8; non-ASCII names go into a "luni" block
  int32_t left = 0, top = 0, right = 0, bottom = 0;
  std::vector<uint32_t> px;  // (right - left) x (bottom - top), row by row
  uint8_t opacity = 255;
  bool visible = true;
  std::string key = "norm";
};

// A version 1, 8-bit RGB PSD with a transparency channel, raw channel data,
// a negative layer count and the given merged image (width x height pixels;
// an empty vector gives a transparent one).
std::string BuildPsd(uint32_t width, uint32_t height, const std::vector<LayerSpec>& layers,
                     const std::vector<uint32_t>& merged = {});

// One image as the project's reader hands it out.
struct Image {
  iio::layer_param_t p;
  std::vector<uint32_t> px;  // the rectangle's pixels, row by row
  // Canvas position (x, y); transparent black outside the rectangle.
  uint32_t At(int64_t x, int64_t y) const;
  int64_t Width() const { return p.Width(); }
  int64_t Height() const { return p.Height(); }
};

struct PsdFile {
  bool ok = false;
  int32_t error = 0;
  uint32_t width = 0, height = 0;
  uint32_t layerRecords = 0;
  std::vector<Image> images;  // layers (section markers left out), then the merged image
};

PsdFile ReadPsd(const std::string& path);

// Smallest rectangle (canvas positions) of the pixels with non-zero
// transparency; all zero when there is none.
void AlphaBounds(const Image& img, int32_t* l, int32_t* t, int32_t* r, int32_t* b);

}  // namespace e2e
