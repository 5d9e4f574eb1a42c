#include "iio_test_util.h"

#include <stdlib.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <direct.h>
#include <process.h>
#endif

#include <cstdio>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

#include "iio/packbits.h"
#include "iio/psd.h"

namespace iiotest {

void Put16(Bytes& b, uint16_t v) {
  b.push_back(uint8_t(v >> 8));
  b.push_back(uint8_t(v));
}
void Put32(Bytes& b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}
void PutStr(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
uint16_t Get16(const Bytes& b, size_t at) { return uint16_t((b.at(at) << 8) | b.at(at + 1)); }
uint32_t Get32(const Bytes& b, size_t at) { return (uint32_t(Get16(b, at)) << 16) | Get16(b, at + 2); }

namespace {

Bytes ChannelData(const ChannelSpec& c) {
  if (c.rawData) return c.data;
  Bytes out;
  Put16(out, c.compression);
  if (c.compression == 0) {
    out.insert(out.end(), c.pixels.begin(), c.pixels.end());
    return out;
  }
  std::vector<Bytes> rows(c.height);
  for (uint32_t y = 0; y < c.height; ++y)
    iio::PackBitsEncode(c.pixels.data() + size_t(y) * c.width, c.width, rows[y]);
  for (const Bytes& r : rows) Put16(out, uint16_t(r.size()));
  for (const Bytes& r : rows) out.insert(out.end(), r.begin(), r.end());
  return out;
}

}  // namespace

LayerSpec RgbaLayer(int32_t left, int32_t top, int32_t right, int32_t bottom,
                    const std::vector<uint32_t>& rgba, const std::string& name) {
  LayerSpec l;
  l.left = left, l.top = top, l.right = right, l.bottom = bottom;
  l.pascal = name;
  const uint32_t w = uint32_t(right - left), h = uint32_t(bottom - top);
  static const int16_t ids[4] = {0, 1, 2, -1};
  for (int c = 0; c < 4; ++c) {
    ChannelSpec ch;
    ch.id = ids[c];
    ch.width = w, ch.height = h;
    for (uint32_t p : rgba) ch.pixels.push_back(uint8_t(p >> (8 * c)));
    l.channels.push_back(ch);
  }
  return l;
}

Bytes MaskData(int32_t left, int32_t top, int32_t right, int32_t bottom, uint8_t defaultColour,
               uint8_t flags, size_t length) {
  Bytes m;
  Put32(m, uint32_t(top));
  Put32(m, uint32_t(left));
  Put32(m, uint32_t(bottom));
  Put32(m, uint32_t(right));
  m.push_back(defaultColour);
  m.push_back(flags);
  m.resize(length, 0);
  return m;
}

Bytes Luni(const std::u16string& units) {
  Bytes b;
  Put32(b, uint32_t(units.size()));
  for (char16_t u : units) Put16(b, uint16_t(u));
  return b;
}

Bytes BuildPsd(const PsdSpec& s) {
  Bytes f;
  PutStr(f, "8BPS");
  Put16(f, s.version);
  f.insert(f.end(), 6, 0);
  Put16(f, s.channels);
  Put32(f, s.height);
  Put32(f, s.width);
  Put16(f, s.depth);
  Put16(f, s.mode);
  Put32(f, 0);
  Put32(f, 0);

  Bytes lmi;
  if (!s.layers.empty()) {
    Bytes li;
    const int16_t n = int16_t(s.layers.size());
    Put16(li, uint16_t(s.negativeCount ? -n : n));
    std::vector<std::vector<Bytes>> data;
    for (const LayerSpec& l : s.layers) {
      Put32(li, uint32_t(l.top));
      Put32(li, uint32_t(l.left));
      Put32(li, uint32_t(l.bottom));
      Put32(li, uint32_t(l.right));
      Put16(li, uint16_t(l.channels.size()));
      data.emplace_back();
      for (const ChannelSpec& c : l.channels) {
        data.back().push_back(ChannelData(c));
        Put16(li, uint16_t(c.id));
        Put32(li, c.overrideLength ? c.length : uint32_t(data.back().back().size()));
      }
      PutStr(li, "8BIM");
      PutStr(li, l.key);
      li.push_back(l.opacity);
      li.push_back(l.clipping);
      li.push_back(l.flags);
      li.push_back(0);
      Bytes extra;
      Put32(extra, uint32_t(l.mask.size()));
      extra.insert(extra.end(), l.mask.begin(), l.mask.end());
      Put32(extra, 0);
      extra.push_back(uint8_t(l.pascal.size()));
      PutStr(extra, l.pascal);
      extra.insert(extra.end(), (4 - (1 + l.pascal.size()) % 4) % 4, 0);
      for (const auto& blk : l.blocks) {
        PutStr(extra, "8BIM");
        PutStr(extra, blk.first);
        Put32(extra, uint32_t(blk.second.size()));
        extra.insert(extra.end(), blk.second.begin(), blk.second.end());
      }
      Put32(li, uint32_t(extra.size()));
      li.insert(li.end(), extra.begin(), extra.end());
    }
    for (const auto& layer : data)
      for (const Bytes& d : layer) li.insert(li.end(), d.begin(), d.end());
    if (li.size() & 1) li.push_back(0);
    Put32(lmi, uint32_t(li.size()));
    lmi.insert(lmi.end(), li.begin(), li.end());
    Put32(lmi, 0);
  } else if (!s.zeroLayerSection) {
    Put32(lmi, 0);
    Put32(lmi, 0);
  }
  Put32(f, uint32_t(lmi.size()));
  f.insert(f.end(), lmi.begin(), lmi.end());

  Bytes merged = s.merged;
  const size_t plane = size_t(s.width) * s.height;
  merged.resize(plane * s.channels, 0);
  Put16(f, s.mergedCompression);
  if (s.mergedCompression == 0) {
    f.insert(f.end(), merged.begin(), merged.end());
  } else {
    std::vector<Bytes> rows;
    for (size_t r = 0; r < size_t(s.channels) * s.height; ++r) {
      rows.emplace_back();
      iio::PackBitsEncode(merged.data() + r * s.width, s.width, rows.back());
    }
    for (const Bytes& r : rows) Put16(f, uint16_t(r.size()));
    for (const Bytes& r : rows) f.insert(f.end(), r.begin(), r.end());
  }
  return f;
}

ReadResult ReadAll(DataSrcBase& src, uint32_t window) {
  ReadResult res;
  iio::Psd psd(src);
  res.error = psd.ErrorCode();
  if (res.error) return res;
  res.width = psd.Width();
  res.height = psd.Height();
  res.count = psd.Open();
  for (uint32_t k = 0; k < res.count; ++k) {
    Image img;
    if (!psd.NextImage(img.param)) break;
    const int64_t w = img.param.Width(), h = img.param.Height();
    // Grown as rows arrive: a hostile file's declared size claims nothing.
    for (int64_t row = 0; row < h;) {
      const uint32_t want = uint32_t(std::min<int64_t>(window, h - row));
      const uint32_t got = psd.ReadRows(want);
      if (got < want) break;
      for (uint32_t i = 0; i < got; ++i) {
        const uint32_t* p = psd.RowPointer(int32_t(img.param.top + row + i));
        if (!p) break;
        img.pixels.insert(img.pixels.end(), p, p + w);
      }
      row += got;
    }
    res.images.push_back(std::move(img));
    if (psd.ErrorCode()) break;
  }
  res.error = psd.ErrorCode();
  return res;
}

ReadResult ReadBytes(const Bytes& bytes, uint32_t window) {
  DataSrcMemory src(bytes.data(), bytes.size());
  return ReadAll(src, window);
}

uint32_t MatteOnWhite(uint32_t rgba) {
  const double a = double(rgba >> 24);
  uint32_t out = rgba & 0xFF000000u;
  for (int c = 0; c < 3; ++c)
    out |= uint32_t(std::lround(double(rgba >> (8 * c) & 0xFF) * a / 255.0 + 255.0 - a)) << (8 * c);
  return out;
}

uint32_t ThroughMatte(uint32_t rgba) {
  const uint32_t stored = MatteOnWhite(rgba);
  const long a = long(rgba >> 24);
  if (a == 0) return stored;
  uint32_t out = uint32_t(a) << 24;
  for (int c = 0; c < 3; ++c) {
    const long s = long(stored >> (8 * c) & 0xFF);
    out |= uint32_t(std::max(0L, std::lround(double(s - 255 + a) * 255.0 / double(a)))) << (8 * c);
  }
  return out;
}

Bytes LoadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool SaveFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return bool(out);
}

std::string SourceDir() {
  const char* s = std::getenv("YVN_SOURCE_DIR");
  return s ? s : ".";
}

std::string CorpusDir() {
  const char* env = std::getenv("YVN_PSD_CORPUS");
  std::string dir = env && *env ? env : SourceDir() + "/../shared/corpus/psd";
  struct stat st;
  if (stat((dir + "/MANIFEST.tsv").c_str(), &st) != 0) return std::string();
  return dir;
}

#ifdef _WIN32
std::string MakeTempDir() {
  // No mkdtemp: a name from the process id and a counter, created by _mkdir.
  const char* t = std::getenv("TEMP");
  const std::string base = std::string(t && *t ? t : ".") + "\\iio_test_" + std::to_string(_getpid()) + "_";
  static unsigned counter = 0;
  for (int tries = 0; tries < 1000; ++tries) {
    const std::string dir = base + std::to_string(++counter);
    if (_mkdir(dir.c_str()) == 0) return dir;
  }
  return std::string();
}
#else
std::string MakeTempDir() {
  const char* t = std::getenv("TMPDIR");
  std::string tmpl = std::string(t && *t ? t : "/tmp") + "/iio_test_XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  return mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
}
#endif

std::string RunCommand(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) {
    *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  *status = pclose(p);
  return out;
}

bool HavePsdTools() {
  static int have = -1;
  if (have < 0) {
    int st;
    RunCommand("/usr/bin/python3 -c 'import psd_tools, numpy' >/dev/null 2>&1", &st);
    have = st == 0;
  }
  return have == 1;
}

std::string FromHex(const std::string& hex) {
  std::string out;
  if (hex == "-") return out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += char(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

}  // namespace iiotest
