#include "support/psd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "base/data_src.h"
#include "iio/codepage.h"
#include "iio/packbits.h"
#include "iio/psd.h"

namespace ts {

namespace {

void Put16(std::string& b, uint32_t v) {
  b.push_back(char(v >> 8));
  b.push_back(char(v));
}
void Put32(std::string& b, uint32_t v) {
  Put16(b, v >> 16);
  Put16(b, v);
}
void PutBytes(std::string& b, const Bytes& v) { b.append(v.begin(), v.end()); }
// Section and channel lengths, and PackBits row counts, are twice as wide in a large document.
void PutLength(std::string& b, uint64_t v, bool large) {
  if (large) Put32(b, uint32_t(v >> 32));
  Put32(b, uint32_t(v));
}
void PutCount(std::string& b, size_t v, bool large) { large ? Put32(b, uint32_t(v)) : Put16(b, uint32_t(v)); }

std::string ChannelData(const ChannelSpec& c, bool large) {
  if (c.rawData) return Str(c.data);
  std::string out;
  Put16(out, c.compression);
  if (c.compression == 0) {
    PutBytes(out, c.pixels);
    return out;
  }
  std::vector<std::vector<uint8_t>> rows(c.height);
  for (uint32_t y = 0; y < c.height; ++y) iio::PackBitsEncode(c.pixels.data() + size_t(y) * c.width, c.width, rows[y]);
  for (const auto& r : rows) PutCount(out, r.size(), large);
  for (const auto& r : rows) PutBytes(out, r);
  return out;
}

std::string Block(const std::string& key, const std::string& data) {
  std::string b = "8BIM" + key;
  Put32(b, uint32_t(data.size()));
  return b + data;
}

// Group records carry four empty channels, as real files do, and their kind in "lsct".
LayerSpec GroupRecord(const std::string& name, uint32_t kind, bool hidden) {
  LayerSpec l = RgbaLayer(0, 0, 0, 0, {}, name);
  l.flags = uint8_t(8 | 16 | (hidden ? 2 : 0));
  std::string data;
  Put32(data, kind);
  l.blocks.push_back({"lsct", ToBytes(data)});
  return l;
}

}  // namespace

LayerSpec RgbaLayer(int32_t left, int32_t top, int32_t right, int32_t bottom, const std::vector<uint32_t>& rgba,
                    const std::string& name, uint16_t compression) {
  LayerSpec l;
  l.left = left, l.top = top, l.right = right, l.bottom = bottom;
  l.name = name;
  static const int16_t kIds[4] = {0, 1, 2, -1};
  for (int c = 0; c < 4; ++c) {
    ChannelSpec ch;
    ch.id = kIds[c];
    ch.compression = compression;
    ch.width = uint32_t(right - left), ch.height = uint32_t(bottom - top);
    for (uint32_t p : rgba) ch.pixels.push_back(uint8_t(p >> (8 * c)));
    l.channels.push_back(ch);
  }
  return l;
}

LayerSpec GroupStart(const std::string& name, bool hidden) { return GroupRecord(name, 1, hidden); }
LayerSpec GroupEnd() { return GroupRecord("</Layer group>", 3, false); }

Bytes MaskData(int32_t left, int32_t top, int32_t right, int32_t bottom, uint8_t defaultColour, uint8_t flags,
               size_t length) {
  std::string m;
  Put32(m, uint32_t(top));
  Put32(m, uint32_t(left));
  Put32(m, uint32_t(bottom));
  Put32(m, uint32_t(right));
  m.push_back(char(defaultColour));
  m.push_back(char(flags));
  m.resize(length, '\0');
  return ToBytes(m);
}

std::string BuildPsd(const PsdSpec& s) {
  std::string f = "8BPS";
  Put16(f, s.version);
  f.append(6, '\0');
  Put16(f, s.channels);
  Put32(f, s.height);
  Put32(f, s.width);
  Put16(f, s.depth);
  Put16(f, s.mode);
  Put32(f, 0);  // colour mode data
  Put32(f, 0);  // image resources

  const bool large = s.version == 2;
  std::string info, data;
  const int16_t n = int16_t(s.layers.size());
  Put16(info, uint16_t(-n));  // negative: the merged image's fourth channel is transparency
  for (const LayerSpec& l : s.layers) {
    Put32(info, uint32_t(l.top));
    Put32(info, uint32_t(l.left));
    Put32(info, uint32_t(l.bottom));
    Put32(info, uint32_t(l.right));
    Put16(info, uint32_t(l.channels.size()));
    for (const ChannelSpec& c : l.channels) {
      const std::string d = ChannelData(c, large);
      Put16(info, uint16_t(c.id));
      PutLength(info, d.size(), large);
      data += d;
    }
    info += "8BIM" + l.key.substr(0, 4);
    info.push_back(char(l.opacity));
    info.push_back(char(l.clipping));
    info.push_back(char(l.flags));
    info.push_back('\0');
    std::string extra;
    Put32(extra, uint32_t(l.mask.size()));
    PutBytes(extra, l.mask);
    Put32(extra, 0);  // blending ranges
    std::string pascal;
    for (char ch : l.name) pascal.push_back(uint8_t(ch) < 0x80 ? ch : '?');
    pascal = pascal.substr(0, 255);
    extra.push_back(char(pascal.size()));
    extra += pascal;
    extra.append((4 - (1 + pascal.size()) % 4) % 4, '\0');
    if (pascal != l.name) {
      const std::u16string units = iio::Utf8ToUtf16(l.name, SIZE_MAX);
      std::string luni;
      Put32(luni, uint32_t(units.size()));
      for (char16_t u : units) Put16(luni, u);
      luni.append((4 - luni.size() % 4) % 4, '\0');
      extra += Block("luni", luni);
    }
    for (const auto& b : l.blocks) extra += Block(b.first, Str(b.second));
    Put32(info, uint32_t(extra.size()));
    info += extra;
  }
  info += data;
  if (info.size() & 1) info.push_back('\0');
  std::string lmi;
  PutLength(lmi, s.layers.empty() ? 0 : info.size(), large);
  if (!s.layers.empty()) lmi += info;
  Put32(lmi, 0);  // global layer mask
  PutLength(f, lmi.size(), large);
  f += lmi;

  // The merged image, planar.
  const size_t plane = size_t(s.width) * s.height;
  std::string planes(plane * s.channels, '\0');
  for (size_t i = 0; i < plane; ++i) {
    const uint32_t px = s.merged.empty() ? 0 : s.matteMerged ? MatteOnWhite(s.merged[i]) : s.merged[i];
    for (size_t c = 0; c < std::min<size_t>(4, s.channels); ++c) planes[c * plane + i] = char(px >> (8 * c));
  }
  Put16(f, s.mergedCompression);
  if (s.mergedCompression == 0) return f + planes;
  std::vector<std::vector<uint8_t>> rows(size_t(s.channels) * s.height);
  for (size_t r = 0; r < rows.size(); ++r)
    iio::PackBitsEncode(reinterpret_cast<const uint8_t*>(planes.data()) + r * s.width, s.width, rows[r]);
  for (const auto& r : rows) PutCount(f, r.size(), large);
  for (const auto& r : rows) f.append(r.begin(), r.end());
  return f;
}

std::string NoisePsd(int layers, uint32_t width, uint32_t height, uint32_t seed) {
  PsdSpec s;
  s.width = width, s.height = height;
  for (int k = 0; k < layers; ++k) {
    std::vector<uint32_t> px(size_t(width) * height);
    for (uint32_t& p : px) p = (seed = seed * 1103515245u + 12345u) >> 8 | 0xFF000000u;
    s.layers.push_back(RgbaLayer(0, 0, int32_t(width), int32_t(height), px, "l" + std::to_string(k)));
  }
  return BuildPsd(s);
}

std::string PaintingPsd() {
  uint32_t seed = 12345;
  auto rnd = [&]() { return (seed = seed * 1103515245u + 12345u) >> 16 & 0xFF; };
  auto fill = [&](int n, auto&& px) {
    std::vector<uint32_t> v;
    for (int i = 0; i < n; ++i) v.push_back(px(i));
    return v;
  };
  PsdSpec s;
  s.width = 48, s.height = 40;
  s.layers.push_back(RgbaLayer(0, 0, 48, 40, fill(48 * 40, [&](int) { return Rgba(240 + rnd() % 16, 236, 228, 255); }), "Paper"));
  LayerSpec wash = RgbaLayer(-6, 5, 30, 33, fill(36 * 28, [&](int i) { return Rgba(rnd(), rnd(), rnd(), i % 7 ? rnd() : i % 4); }),
                             "Wash \xE6\xB0\xB4\xE5\xBD\xA9", 0);
  wash.opacity = 153, wash.key = "mul ";
  s.layers.push_back(wash);
  LayerSpec ink = RgbaLayer(10, 8, 40, 38, fill(900, [&](int i) {
                              const int x = i % 30, y = i / 30;
                              return x >= 4 && x < 25 && y >= 3 && y < 28 && (x + y) % 3 ? Rgba(20, 30, rnd(), 255) : 0;
                            }),
                            "Ink \xC3\xA9t\xC3\xA9");
  ink.key = "scrn", ink.opacity = 77, ink.clipping = 1;
  ink.mask = MaskData(12, 10, 30, 30, 0, 0);
  ChannelSpec mask;
  mask.id = -2, mask.width = 18, mask.height = 20;
  for (int i = 0; i < 360; ++i) mask.pixels.push_back(uint8_t(i * 7));
  ink.channels.push_back(mask);
  s.layers.push_back(ink);
  s.layers.push_back(GroupEnd());
  s.layers.push_back(GroupEnd());
  s.layers.push_back(
      RgbaLayer(20, 20, 28, 26, fill(48, [&](int) { return Rgba(rnd(), 40, 90, 255); }), "shown in a hidden group"));
  s.layers.push_back(GroupStart("nested", false));
  LayerSpec sketch = RgbaLayer(30, -5, 55, 20, fill(625, [&](int) { return Rgba(rnd(), 0, 200, 128 + rnd() % 128); }), "in a hidden group");
  sketch.key = "over", sketch.flags = 8 | 1;  // transparency locked
  s.layers.push_back(sketch);
  s.layers.push_back(GroupStart("group", true));
  LayerSpec work = RgbaLayer(0, 0, 8, 8, fill(64, [](int) { return Rgba(255, 0, 0, 255); }), "*guide");
  work.flags = 8 | 2;  // hidden working layer: not written back
  s.layers.push_back(work);
  LayerSpec shown = RgbaLayer(2, 2, 6, 6, fill(16, [](int) { return Rgba(0, 255, 0, 200); }), "*shown");
  shown.key = "lbrn";
  s.layers.push_back(shown);
  s.merged = fill(48 * 40, [&](int i) { return Rgba(uint32_t(i), 90, 40, uint32_t(i * 3)); });
  return BuildPsd(s);
}

uint32_t Image::Sample16(size_t i, int c) const {
  return uint32_t(px16.empty() ? (px[i] >> (8 * c) & 0xFF) * 257 : px16[i] >> (16 * c) & 0xFFFF);
}

uint32_t Image::At(int64_t x, int64_t y) const {
  if (x < p.left || y < p.top || x >= p.right || y >= p.bottom) return 0;
  return px[size_t((y - p.top) * p.Width() + (x - p.left))];
}

PsdFile ReadPsd(const std::string& bytes) {
  PsdFile f;
  DataSrcMemory src(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  iio::Psd psd(src, "");
  f.width = psd.Width();
  f.height = psd.Height();
  const uint32_t n = psd.Open();
  f.layerRecords = psd.LayerCount();
  if ((f.error = psd.ErrorCode()) != 0) return f;
  for (uint32_t k = 0; k < n; ++k) {
    Image img;
    if (!psd.NextImage(img.p)) break;
    const int64_t w = img.p.Width(), h = img.p.Height();
    for (int64_t row = 0; row < h; ++row) {
      if (psd.ReadRows(1) != 1) break;
      if (psd.Wide()) {
        const uint64_t* r = psd.RowPointer16(int32_t(img.p.top + row));
        if (!r) break;
        img.px16.insert(img.px16.end(), r, r + w);
        for (int64_t x = 0; x < w; ++x) {
          uint32_t v = 0;
          for (int c = 0; c < 4; ++c) v |= uint32_t(((r[x] >> (16 * c) & 0xFFFF) * 255 + 32767) / 65535) << (8 * c);
          img.px.push_back(v);
        }
        continue;
      }
      const uint32_t* r = psd.RowPointer(int32_t(img.p.top + row));
      if (!r) break;
      img.px.insert(img.px.end(), r, r + w);
    }
    if (img.px.size() != size_t(std::max<int64_t>(0, w * h))) {
      f.error = psd.ErrorCode() ? psd.ErrorCode() : -2;
      return f;
    }
    if (!img.p.pixelsIrrelevant) f.images.push_back(std::move(img));
  }
  f.error = psd.ErrorCode();
  return f;
}

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

uint32_t MatteOnWhite(uint32_t rgba) {
  const double a = double(rgba >> 24);
  uint32_t out = rgba & 0xFF000000u;
  for (int c = 0; c < 3; ++c)
    out |= uint32_t(std::lround(double(rgba >> (8 * c) & 0xFF) * a / 255.0 + 255.0 - a)) << (8 * c);
  return out;
}

uint32_t Unmatte(uint32_t stored) {
  const long a = long(stored >> 24);
  if (a == 0 || a == 255) return stored;
  uint32_t out = uint32_t(a) << 24;
  for (int c = 0; c < 3; ++c) {
    const long s = long(stored >> (8 * c) & 0xFF);
    out |= uint32_t(std::clamp(std::lround(double(s - 255 + a) * 255.0 / double(a)), 0L, 255L)) << (8 * c);
  }
  return out;
}

// ------------------------------------------------------------ independent readers

namespace {

std::vector<uint32_t> RawRgba(const std::string& bytes) {
  std::vector<uint32_t> px(bytes.size() / 4);
  for (size_t i = 0; i < px.size(); ++i)
    px[i] = uint8_t(bytes[4 * i]) | uint8_t(bytes[4 * i + 1]) << 8 | uint8_t(bytes[4 * i + 2]) << 16 |
            uint32_t(uint8_t(bytes[4 * i + 3])) << 24;
  return px;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

}  // namespace

bool HavePsdTools() {
  static const bool have = [] {
    int status;
    Shell("/usr/bin/python3 -c 'import psd_tools, numpy' >/dev/null 2>&1", &status);
    return status == 0;
  }();
  return have;
}

std::map<int, std::vector<uint16_t>> VariantReference(const std::string& path) {
  const std::string script = std::string(YVN_TEST_SUPPORT_DIR) + "/psd_variants_ref.py";
  std::istringstream in(Shell("/usr/bin/python3 " + Quote(script) + " " + Quote(path) + " 2>/dev/null"));
  std::map<int, std::vector<uint16_t>> out;
  std::string kind;
  while (in >> kind) {
    int index = -1;
    uint32_t w = 0, h = 0;
    if (kind == "layer") in >> index;
    in >> w >> h;
    std::vector<uint16_t>& px = out[index];
    px.resize(size_t(w) * h * 4);
    for (uint16_t& v : px) in >> v;
  }
  return out;
}

void ExpectLayersAsPsdToolsReadsThem(const std::string& path, const PsdFile& ours) {
  const std::map<int, std::vector<uint16_t>> ref = VariantReference(path);
  EXPECT_GT(ref.size(), 1u) << path;
  for (const auto& [index, samples] : ref) {
    if (index < 0) continue;
    ASSERT_LT(size_t(index) + 1, ours.images.size());
    const Image& img = ours.images[size_t(index)];
    ASSERT_EQ(samples.size(), img.px.size() * 4);
    for (size_t i = 0; i < samples.size(); ++i)
      ASSERT_EQ(img.Sample16(i / 4, int(i % 4)), samples[i]) << "layer " << index << " pixel " << i / 4;
  }
}

PsdToolsFile PsdTools(const std::string& path, bool compose) {
  PsdToolsFile f;
  TempDir out;
  const std::string script = std::string(YVN_TEST_SUPPORT_DIR) + "/psd_tools_dump.py";
  int status;
  const std::string text = Shell("/usr/bin/python3 " + Quote(script) + " " + Quote(path) + " " + Quote(out.path()) +
                                     (compose ? " compose" : "") + " 2>/dev/null",
                                 &status);
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::istringstream s(line);
    std::string kind, file;
    s >> kind;
    if (kind == "canvas") {
      s >> f.width >> f.height;
    } else if (kind == "topil" || kind == "composed") {
      s >> file;
      (kind == "topil" ? f.topil : f.composed) = RawRgba(ReadFile(file));
    } else if (kind == "record") {
      PsdToolsFile::Record r;
      std::string tok;
      s >> tok;  // index
      while (s >> tok) {
        const size_t eq = tok.find('=');
        if (eq != std::string::npos) r.fields[tok.substr(0, eq)] = tok.substr(eq + 1);
      }
      if (r.fields["px"] != "-") r.px = RawRgba(ReadFile(r.fields["px"]));
      f.records.push_back(std::move(r));
    }
  }
  f.ok = status == 0;
  return f;
}

std::vector<uint32_t> ImageMagickMerged(const std::string& path) {
  int status;
  const std::string bytes = Shell("convert-im6.q16 " + Quote(path + "[0]") + " -depth 8 rgba:- 2>/dev/null", &status);
  return status == 0 ? RawRgba(bytes) : std::vector<uint32_t>();
}

}  // namespace ts
