// Writes the seed corpora of the harnesses: small PSDs from the writer and
// from a byte-level builder (masks, groups, raw channels, odd sections),
// native files saved from imports of those PSDs (plain and compressed) and
// hand-made chunk trees, and PackBits rows.
//
//   fuzz_make_seeds <corpus folder>    (writes <folder>/<harness>/<name>)
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "chunk/chunk_writer.h"
#include "chunk/data_src.h"
#include "chunk/file_sink.h"
#include "convert/import_psd.h"
#include "iio/packbits.h"
#include "iio/psd.h"
#include "iio/psd_out.h"
#include "iio/write_stream.h"
#include "iio/iio_test_util.h"
#include "kzm/doc_save.h"
#include "kzm/image_context.h"
#include "kzm/pi_folder.h"
#include "kzm/pi_image.h"
#include "kzm/record_layer.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace iiotest;

std::string g_root;
int g_failures = 0;

void Save(const std::string& harness, const std::string& name, const Bytes& bytes) {
  const std::string dir = g_root + "/" + harness;
  mkdir(dir.c_str(), 0755);
  const std::string path = dir + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    ++g_failures;
  }
  if (f) std::fclose(f);
}

uint32_t Rgba(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
  return uint32_t(r) | uint32_t(g) << 8 | uint32_t(b) << 16 | uint32_t(a) << 24;
}

// ---------------------------------------------------------------- PSD

Bytes Written(uint32_t w, uint32_t h, std::vector<iio::layer_param_t> layers) {
  iio::MemoryStream out;
  iio::PsdOut psd(out);
  psd.Begin(w, h, layers);
  uint32_t seed = 1;
  for (const auto& l : layers) {
    psd.BeginLayer(l);
    for (int64_t y = 0; y < l.Height(); ++y) {
      std::vector<PixelRGBA> row(size_t(l.Width()));
      for (size_t x = 0; x < row.size(); ++x) {
        seed = seed * 1103515245u + 12345u;
        const uint16_t a = (x / 3) % 2 ? 16384 : uint16_t((seed >> 8) & 0x3FFF);
        // Runs of equal pixels beside noise: fills and bitmaps both appear.
        const uint16_t c = x < row.size() / 2 ? uint16_t(a / 2) : uint16_t((seed >> 3) % (a + 1u));
        row[x] = PixelRGBA{c, uint16_t(a / 3), uint16_t(a - c / 2), a};
      }
      psd.WriteRows(row.data(), 1);
    }
    psd.EndLayer();
  }
  std::vector<PixelRGBA> row(w, PixelRGBA{100, 200, 300, 16384});
  for (uint32_t y = 0; y < h; ++y) psd.WriteRows(row.data(), 1);
  if (!psd.Finish()) ++g_failures;
  return out.Bytes();
}

iio::layer_param_t Layer(int32_t l, int32_t t, int32_t r, int32_t b, const std::string& name) {
  iio::layer_param_t p;
  p.left = l, p.top = t, p.right = r, p.bottom = b;
  p.name = name;
  return p;
}

std::vector<uint32_t> Pattern(uint32_t w, uint32_t h, uint32_t salt) {
  std::vector<uint32_t> px(size_t(w) * h);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x)
      px[size_t(y) * w + x] = Rgba(uint8_t(x * 17 + salt), uint8_t(y * 29), uint8_t(salt), x % 4 ? 255 : uint8_t(x * 40));
  return px;
}

// Group markers store four channels of no pixels, as editors write them.
void NoPixels(LayerSpec& l) {
  static const int16_t ids[4] = {-1, 0, 1, 2};
  for (int16_t id : ids) {
    ChannelSpec c;
    c.id = id;
    c.compression = 0;
    l.channels.push_back(c);
  }
}

Bytes Lsct(uint32_t type, const char* key) {
  Bytes b;
  Put32(b, type);
  if (key) {
    PutStr(b, "8BIM");
    PutStr(b, key);
  }
  return b;
}

std::vector<std::pair<std::string, Bytes>> PsdSeeds() {
  std::vector<std::pair<std::string, Bytes>> out;
  {
    std::vector<iio::layer_param_t> layers;
    layers.push_back(Layer(-3, -2, 13, 9, "back"));
    iio::layer_param_t top = Layer(4, 3, 20, 12, "caf\xC3\xA9");
    top.opacity = 9000;
    top.visible = 0;
    top.blend.word0 = 3;
    top.alphaLock = 1;
    layers.push_back(top);
    out.push_back({"written_two_layers.psd", Written(18, 12, layers)});
  }
  out.push_back({"written_no_layers.psd", Written(9, 7, {})});
  out.push_back({"written_wide.psd", Written(150, 3, {Layer(120, 0, 140, 3, "edge")})});
  {
    PsdSpec s;
    s.width = 6, s.height = 5, s.channels = 4;
    LayerSpec l = RgbaLayer(1, -1, 5, 3, Pattern(4, 4, 7), "masked");
    l.mask = MaskData(2, 0, 4, 2, 255, 0, 20);
    s.layers.push_back(l);
    s.merged.assign(6 * 5 * 4, 0x80);
    out.push_back({"built_mask.psd", BuildPsd(s)});
  }
  {
    // A hidden group holding two layers, with unicode names and locks.
    PsdSpec s;
    s.width = 5, s.height = 4;
    LayerSpec end;
    end.pascal = "</Layer group>";
    end.blocks.push_back({"lsct", Lsct(3, nullptr)});
    NoPixels(end);
    s.layers.push_back(end);
    LayerSpec a = RgbaLayer(0, 0, 3, 2, Pattern(3, 2, 1), "a");
    a.blocks.push_back({"luni", Luni(u"\u00e9t\u00e9")});
    Bytes lspf;
    Put32(lspf, 0x80000003u);
    a.blocks.push_back({"lspf", lspf});
    s.layers.push_back(a);
    LayerSpec b = RgbaLayer(2, 1, 5, 4, Pattern(3, 3, 2), "b");
    b.key = "mul ";
    b.clipping = 1;
    s.layers.push_back(b);
    LayerSpec head;
    head.pascal = "group";
    head.flags = 2;
    head.blocks.push_back({"lsct", Lsct(1, "scrn")});
    NoPixels(head);
    s.layers.push_back(head);
    out.push_back({"built_group.psd", BuildPsd(s)});
  }
  {
    PsdSpec s;
    s.width = 4, s.height = 3, s.channels = 4;
    LayerSpec l = RgbaLayer(0, 0, 4, 3, Pattern(4, 3, 9), "raw");
    for (auto& c : l.channels) c.compression = 0;
    s.layers.push_back(l);
    s.negativeCount = true;
    s.mergedCompression = 0;
    s.merged.assign(4 * 3 * 4, 0x40);
    out.push_back({"built_raw.psd", BuildPsd(s)});
  }
  {
    PsdSpec s;
    s.width = 3, s.height = 2;
    s.zeroLayerSection = true;
    s.merged = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    out.push_back({"built_zero_section.psd", BuildPsd(s)});
  }
  {
    // Channels the reader skips (-3 real mask, 7 animation data) and one
    // layer with only a transparency channel.
    PsdSpec s;
    s.width = 4, s.height = 4;
    LayerSpec l = RgbaLayer(0, 0, 2, 2, Pattern(2, 2, 3), "extra");
    ChannelSpec skip;
    skip.id = -3, skip.width = 2, skip.height = 2, skip.pixels = {1, 2, 3, 4};
    l.channels.push_back(skip);
    skip.id = 7;
    l.channels.push_back(skip);
    s.layers.push_back(l);
    LayerSpec alpha;
    alpha.left = 1, alpha.top = 1, alpha.right = 4, alpha.bottom = 3;
    ChannelSpec a;
    a.id = -1, a.width = 3, a.height = 2, a.pixels = {0, 128, 255, 255, 128, 0};
    alpha.channels.push_back(a);
    s.layers.push_back(alpha);
    out.push_back({"built_channels.psd", BuildPsd(s)});
  }
  return out;
}

// ---------------------------------------------------------------- native

Bytes WriteNative(const std::function<void(chunk::ChunkWriter&)>& fill) {
  chunk::MemorySink mem;
  chunk::ChunkSink sink(mem.func());
  chunk::ChunkWriter& root = sink.beginRoot("VorletBitmapImage");
  fill(root);
  if (!root.end()) ++g_failures;
  return mem.bytes();
}

Bytes SavedImport(const Bytes& psdBytes, bool compress) {
  DataSrcMemory src(psdBytes.data(), psdBytes.size());
  iio::Psd psd(src);
  std::shared_ptr<kzm::ImageContext> doc;
  if (ImportPsd(0, 0, psd, ProgressFunc(), doc) != kImportOk) {
    ++g_failures;
    return {};
  }
  return WriteNative([&](chunk::ChunkWriter& root) {
    if (kzm::SaveDocument(*doc, compress, ProgressFunc(), root) != 0) ++g_failures;
  });
}

// A two-layer file ("Image" and "Edit") with a root bound and a pattern.
Bytes MemoFile(const Bytes& psdBytes) {
  DataSrcMemory src(psdBytes.data(), psdBytes.size());
  iio::Psd psd(src);
  std::shared_ptr<kzm::ImageContext> doc;
  ImportPsd(0, 0, psd, ProgressFunc(), doc);
  kzm::Plane* root = doc->Root();
  return WriteNative([&](chunk::ChunkWriter& w) {
    w.writeU32("version", 0x10000000);
    w.writeString("tooltype", "VORLET_MEMO");
    chunk::ChunkWriter& bg = w.beginChild("Bg");
    chunk::ChunkWriter& inner = bg.beginChild("Bg");
    inner.writeU32("version", 0x10000000);
    const float c[4] = {0.5f, 0.25f, 1.0f, 1.0f};
    inner.writeValue("Color0", sizeof c, c);
    inner.writeString("Pattern", "Check");
    inner.writeU32("PtnSize", 16);
    inner.writeString("PtnMove", "NoMove");
    inner.end();
    bg.end();
    chunk::ChunkWriter& r = w.beginChild("Root");
    kzm::SaveLayerRecord(*root, r, false, ProgressFunc(), 0, 1);
    r.end();
    const char* names[2] = {"Image", "Edit"};
    for (int i = 0; i < 2 && size_t(i) < root->impl()->ChildCount(); ++i) {
      chunk::ChunkWriter& layer = w.beginChild(names[i]);
      kzm::SaveLayerRecord(*root->impl()->ChildAt(i), layer, i == 1, ProgressFunc(), i, 2);
      layer.end();
    }
  });
}

// Chunk trees that the document records do not make: arrays of several
// element sizes, empty values, repeated names, deep nesting, compressed
// chunks inside plain ones and a compressed root.
std::vector<std::pair<std::string, Bytes>> ChunkSeeds() {
  std::vector<std::pair<std::string, Bytes>> out;
  out.push_back({"values.yvn", WriteNative([](chunk::ChunkWriter& w) {
                   w.writeU32("version", 0x10000000);
                   w.writeValue("empty", 0, nullptr);
                   w.writeString("s", "text");
                   w.writeU32("version", 2);
                   const uint32_t e[3] = {1, 2, 3};
                   w.beginArray("arr", 3, 4);
                   w.writeElements(e, 3);
                   w.endArray();
                   w.beginArray("none", 0, 8);
                   w.endArray();
                   w.beginArray("odd", 2, 3);
                   w.writeElements("abcdef", 2);
                   w.endArray();
                 })});
  out.push_back({"nested.yvn", WriteNative([](chunk::ChunkWriter& w) {
                   std::vector<chunk::ChunkWriter*> open{&w};
                   for (int i = 0; i < 6; ++i) {
                     open.push_back(&open.back()->beginChild(i % 2 ? "odd" : "even"));
                     open.back()->writeU32("depth", uint32_t(i));
                   }
                   while (open.size() > 1) {
                     open.back()->end();
                     open.pop_back();
                   }
                 })});
  out.push_back({"packed_children.yvn", WriteNative([](chunk::ChunkWriter& w) {
                   w.writeU32("version", 1);
                   chunk::ChunkWriter& p = w.beginPackedChild("packed");
                   std::vector<uint8_t> data(3000);
                   for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * i >> 5);
                   p.writeValue("data", data.size(), data.data());
                   chunk::ChunkWriter& inner = p.beginPackedChild("inner");
                   inner.writeString("name", "inside");
                   inner.end();
                   p.end();
                   chunk::ChunkWriter& q = w.beginChild("plain");
                   q.writeU32("x", 7);
                   chunk::ChunkWriter& r = q.beginPackedChild("again");
                   r.writeU32("y", 8);
                   r.end();
                   q.end();
                 })});
  {
    chunk::MemorySink mem;
    chunk::ChunkSink sink(mem.func());
    chunk::ChunkWriter& root = sink.beginPackedRoot("PackedRoot");
    root.writeU32("version", 0x10000000);
    root.beginChild("child").end();
    root.end();
    out.push_back({"packed_root.yvn", mem.bytes()});
  }
  return out;
}

// ---------------------------------------------------------------- PackBits

Bytes PackBitsSeed(const Bytes& row) {
  Bytes b{uint8_t(row.size()), uint8_t(row.size() >> 8)};
  iio::PackBitsEncode(row.data(), row.size(), b);
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  g_root = argv[1];
  mkdir(g_root.c_str(), 0755);

  const auto psds = PsdSeeds();
  for (const auto& p : psds) Save("psd", p.first, p.second);

  // Native files: every written PSD imported and saved, plain for the
  // document harness (its mutations reach the records), both ways for the
  // container harness.
  for (const auto& p : psds) {
    const std::string base = p.first.substr(0, p.first.size() - 4);
    if (p.first.rfind("written", 0) == 0 || p.first == "built_group.psd" || p.first == "built_mask.psd") {
      Save("doc", base + ".yvn", SavedImport(p.second, false));
      Save("chunk", base + "_packed.yvn", SavedImport(p.second, true));
    }
  }
  Save("doc", "memo.yvn", MemoFile(psds[0].second));
  Save("chunk", "memo.yvn", MemoFile(psds[0].second));
  for (const auto& c : ChunkSeeds()) Save("chunk", c.first, c.second);

  Bytes runs(300);
  for (size_t i = 0; i < runs.size(); ++i) runs[i] = i < 140 ? 7 : uint8_t(i % 5 ? i : 0);
  Save("packbits", "runs", PackBitsSeed(runs));
  Save("packbits", "literal", PackBitsSeed(Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  Save("packbits", "single", PackBitsSeed(Bytes{42}));
  Save("packbits", "noop_header", Bytes{4, 0, 0x80, 0xFD, 9, 0x80});

  if (g_failures) std::fprintf(stderr, "%d seeds could not be made\n", g_failures);
  return g_failures ? 1 : 0;
}
