// The conversions' steps below the program: layer properties between PSD
// records and native layers; the steps stopped by their progress callbacks,
// and the causes they give for a failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "base/data_src.h"
#include "blend/modes.h"
#include "chunk/chunk_writer.h"
#include "convert/errors.h"
#include "convert/export_psd.h"
#include "convert/import_psd.h"
#include "convert/jobs.h"
#include "convert/layer_mapping.h"
#include "iio/psd.h"
#include "kzm/doc_save.h"
#include "kzm/native_reader.h"
#include "support/psd.h"
#include "support/sinks.h"

namespace {

using iio::layer_param_t;
using kzm::Blend;
using kzm::ImageProperties;

// An opacity byte reads as the least native opacity that writes back as it;
// a native opacity writes as the byte below it (above 16384 as 255).
TEST(LayerMapping, OpacityBytesAndNativeOpacitiesMapBothWays) {
  layer_param_t r;
  for (uint32_t b = 0; b < 256; ++b) {
    r.opacity = uint8_t(b);
    const uint16_t o = PropertiesOfRecord(r).opacity;
    ASSERT_EQ(o, (b * 16384 + 254) / 255) << b;
    ImageProperties p;
    p.opacity = o;
    ASSERT_EQ(RecordOfProperties(p).opacity, b) << b;
    if (b == 0) continue;
    p.opacity = uint16_t(o - 1);
    ASSERT_EQ(RecordOfProperties(p).opacity, b - 1) << b;
  }
  ImageProperties p;
  for (uint32_t o = 0; o <= 65535; ++o) {
    p.opacity = uint16_t(o);
    ASSERT_EQ(RecordOfProperties(p).opacity, (std::min(o, 16384u) * 255) >> 14) << o;
  }
}

// Keys read as the table's modes, alpha mode "modulate"; a mode writes its
// table key ("norm" for one without a kernel of its own). The clipping
// byte, whatever its value, clips to the base and masks by it; only a layer
// both clipped and masked writes it, as 1.
TEST(LayerMapping, KeysAndClippingMapBothWays) {
  for (const char* key : {"norm", "mul ", "scrn", "diss", "lum ", "hMix", "xxxx"}) {
    SCOPED_TRACE(key);
    layer_param_t r;
    std::copy_n(key, 4, r.blendKey.begin());
    for (int clipping : {0, 1, 2, 255}) {
      r.clipping = uint8_t(clipping);
      const Blend b = PropertiesOfRecord(r).blend;
      EXPECT_EQ(b.ColorMode(), blend::ColorModeForPsdKey(key));
      EXPECT_EQ(b.Flags(), clipping ? Blend::clip_dsta | Blend::lockdonly : 0u);
      EXPECT_EQ(b.AlphaMode(), Blend::kAlphaModulate);
    }
  }
  for (uint32_t mode = 0; mode < 256; ++mode) {
    if (!blend::ColorModeName(uint8_t(mode))) continue;
    ImageProperties p;
    for (uint32_t flags : {0u, Blend::clip_dsta, Blend::lockdonly, Blend::clip_dsta | Blend::lockdonly,
                           Blend::clip_dsta | Blend::lockdonly | Blend::lock_a___}) {
      p.blend.word0 = mode | flags;
      const layer_param_t r = RecordOfProperties(p);
      const std::string key(r.blendKey.data(), 4);
      EXPECT_EQ(key, std::string(blend::PsdKeyForColorMode(uint8_t(mode)), 4)) << mode;
      EXPECT_EQ(r.clipping, (flags & (Blend::clip_dsta | Blend::lockdonly)) == (Blend::clip_dsta | Blend::lockdonly))
          << mode << " " << flags;
    }
  }
}

// "Lock all" locks both the pixels and the transparency; the position lock
// has no native counterpart. Native locks write as the PSD's two.
TEST(LayerMapping, LocksVisibilityAndNamesMapBothWays) {
  for (int bits = 0; bits < 16; ++bits) {
    layer_param_t r;
    r.lockTransparency = bits & 1, r.lockPixels = bits >> 1 & 1, r.lockPosition = bits >> 2 & 1, r.lockAll = bits >> 3;
    r.visible = bits & 1;
    r.name = bits ? "layer \xC3\xA9" : "";
    const ImageProperties p = PropertiesOfRecord(r);
    EXPECT_EQ(p.alphaLock, (bits & 1) || (bits & 8) ? 1 : 0) << bits;
    EXPECT_EQ(p.planeLock, (bits & 2) || (bits & 8) ? 1 : 0) << bits;
    EXPECT_EQ(p.visible, bits & 1) << bits;
    EXPECT_EQ(p.name, r.name);
    EXPECT_EQ(p.named, bits != 0);
    EXPECT_EQ(p.defaultPixel.Word(), 0u);
  }
  for (int bits = 0; bits < 8; ++bits) {
    ImageProperties p;
    p.alphaLock = bits & 1, p.planeLock = bits >> 1 & 1, p.visible = bits >> 2;
    p.name = "n" + std::to_string(bits);
    const layer_param_t r = RecordOfProperties(p);
    EXPECT_EQ(r.lockTransparency, bits & 1) << bits;
    EXPECT_EQ(r.lockPixels, bits >> 1 & 1) << bits;
    EXPECT_EQ(r.lockPosition, 0);
    EXPECT_EQ(r.lockAll, 0);
    EXPECT_EQ(r.visible, bits >> 2) << bits;
    EXPECT_EQ(r.name, p.name);
  }
}

// Three layers of noise over 3 x 3 tiles, the middle one partly off the
// canvas and clipped to the bottom one.
std::string NoisePsd() {
  ts::PsdSpec s;
  s.width = 300, s.height = 260;
  uint32_t seed = 5;
  auto noise = [&](size_t n) {
    std::vector<uint32_t> px(n);
    for (uint32_t& p : px) p = (seed = seed * 1103515245u + 12345u) >> 4 | 0x20000000u;
    return px;
  };
  s.layers.push_back(ts::RgbaLayer(0, 0, 300, 260, noise(300 * 260), "bottom"));
  s.layers.push_back(ts::RgbaLayer(-20, 30, 200, 250, noise(220 * 220), "middle"));
  s.layers.back().clipping = 1;
  s.layers.push_back(ts::RgbaLayer(100, 0, 300, 140, noise(200 * 140), "top"));
  return ts::BuildPsd(s);
}

// A progress callback that stops at its call `stop` (from 1; 0: never), and its calls.
struct StopAt {
  explicit StopAt(uint64_t at = 0) : stop(at) {}
  ProgressFunc Func() {
    return [this](uint64_t step, uint64_t, uint64_t done, uint64_t) {
      steps.push_back(step);
      dones.push_back(done);
      return stop == 0 || steps.size() < stop;
    };
  }
  uint64_t stop;
  std::vector<uint64_t> steps, dones;
};

// Calls of a full run to stop at: where each phase starts, the second call
// of each, every eighth of the run, and the last call.
std::vector<uint64_t> StopPoints(const StopAt& full) {
  const size_t n = full.steps.size();
  std::vector<uint64_t> at{n};
  for (size_t k = 1; k < 8; ++k) at.push_back(std::max<size_t>(1, n * k / 8));
  for (size_t i = 0; i < n; ++i)
    if (i == 0 || full.steps[i] != full.steps[i - 1])
      for (uint64_t a : {i + 1, i + 2})
        if (a <= n) at.push_back(a);
  return at;
}

struct Native {
  int thumbnail = -1, layers = -1;
  std::string detail;
  std::vector<uint8_t> bytes;
};

// A PSD to a native file in memory as the conversion writes it: thumbnail, then layers.
Native ToNative(const std::string& psd, const ProgressFunc& thumbnail, const ProgressFunc& layers) {
  Native n;
  DataSrcMemory src(reinterpret_cast<const uint8_t*>(psd.data()), psd.size());
  iio::Psd first(src, "");
  EXPECT_TRUE(first.ErrorCode() == 0 && first.Open() > 0);
  const PsdLayerPlan plan = PlanPsdLayers(first);
  kzm::ThumbGeometry g;
  std::vector<PixelRGBA> thumb;
  n.thumbnail = PsdThumbnail(first, plan, thumbnail, g, thumb, &n.detail);
  if (n.thumbnail != 0) return n;
  ts::MemorySink mem;
  {
    chunk::ChunkSink sink(mem.func());
    chunk::ChunkWriter& root = sink.beginRoot("VorletBitmapImage");
    kzm::SaveDocumentHead(root, g, thumb, kzm::Rect{0, 0, int32_t(first.Width()), int32_t(first.Height())});
    iio::Psd second(src, "");
    EXPECT_TRUE(second.ErrorCode() == 0 && second.Open() > 0);
    n.layers = WritePsdLayers(second, plan, false, layers, root, UINT64_MAX, &n.detail);
    root.end();
  }
  n.bytes = mem.bytes();
  return n;
}

// How many layer records a native file in memory holds.
size_t LayerRecords(const std::vector<uint8_t>& bytes) {
  const std::string s(bytes.begin(), bytes.end());
  size_t n = 0;
  for (size_t at = s.find("PiImage"); at != std::string::npos; at = s.find("PiImage", at + 1)) ++n;
  return n;
}

struct Exported {
  int code = -1;
  std::string detail;
  std::vector<uint8_t> bytes;
};

// A native file in memory to an 8-bit PSD, within budgets other than the file's where not 0.
Exported ToPsd(const std::vector<uint8_t>& native, const ProgressFunc& progress,
               ts::ShortStream&& out = ts::ShortStream(), uint64_t outputPixels = 0,
               uint64_t memoryBytes = 0) {
  DataSrcMemory src(native.data(), native.size());
  ConversionBudget budget = BudgetFor(native.size());
  if (outputPixels) budget.outputPixels = outputPixels;
  if (memoryBytes) budget.memoryBytes = memoryBytes;
  kzm::LoadLimits limits;
  limits.memoryBytes = budget.memoryBytes;
  kzm::NativeReader reader(src, limits);
  EXPECT_EQ(reader.Open(nullptr, ProgressFunc()), 0);
  Exported e;
  e.code = ExportPsd(reader, reader.FixedCanvas(), 8, budget, out, progress, "", &e.detail);
  e.bytes = out.Bytes();
  return e;
}

const char kCancelled[] = "cancelled by the progress callback";

// Each step stops at the progress call that asks it to, row or image, with
// kErrCancelled and no call after it: the thumbnail's pass; the layers'
// write, which finishes the layer in hand and starts no other; the export
// (a call a row), having written less than the whole file.
TEST(Cancel, EachStepStopsWhereProgressSaysSo) {
  const std::string psd = NoisePsd();
  const Native native = ToNative(psd, ProgressFunc(), ProgressFunc());
  ASSERT_EQ(native.layers, 0);
  ASSERT_EQ(LayerRecords(native.bytes), 4u);  // and the merged image
  const std::function<Exported(const ProgressFunc&)> steps[] = {
      [&](const ProgressFunc& f) {
        const Native n = ToNative(psd, f, ProgressFunc());
        return Exported{n.thumbnail, n.detail, {}};
      },
      [&](const ProgressFunc& f) {
        const Native n = ToNative(psd, ProgressFunc(), f);
        return Exported{n.layers, n.detail, n.bytes};
      },
      [&](const ProgressFunc& f) { return ToPsd(native.bytes, f); },
  };
  for (size_t k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    StopAt full;
    const Exported whole = steps[k](full.Func());
    ASSERT_EQ(whole.code, 0);
    EXPECT_EQ(whole.detail, "");
    ASSERT_GT(full.steps.size(), k == 2 ? 600u : 10u);
    for (uint64_t at : StopPoints(full)) {
      StopAt stop(at);
      const Exported e = steps[k](stop.Func());
      EXPECT_EQ(e.code, kErrCancelled) << at;
      EXPECT_EQ(e.detail, kCancelled) << at;
      EXPECT_EQ(stop.steps.size(), at);
      if (k == 1) {
        EXPECT_EQ(LayerRecords(e.bytes), full.steps[at - 1] + 1) << at;  // the layers up to the one in hand
      } else if (k == 2) {
        EXPECT_LT(e.bytes.size(), whole.bytes.size()) << at;
      }
    }
  }
}

// The export reads each layer while the one before is written: one that
// does not fit beside those in hand is read again once they have gone, to
// the same file. The bottom layer (9 tiles) is held while the middle one
// (6) clips to it, so the top one (6) fits only once both have gone.
TEST(Export, ALayerThatDoesNotFitBesideTheOnesInHandIsReadAgainAlone) {
  const Native native = ToNative(NoisePsd(), ProgressFunc(), ProgressFunc());
  ASSERT_EQ(native.layers, 0);
  const Exported whole = ToPsd(native.bytes, ProgressFunc());
  ASSERT_EQ(whole.code, 0);
  const uint64_t tile = 11000;  // a tile of cells, as the budget counts it, and somewhat more
  const Exported tight = ToPsd(native.bytes, ProgressFunc(), ts::ShortStream(), 0, 17 * tile);
  EXPECT_EQ(tight.code, 0) << tight.detail;
  EXPECT_TRUE(tight.bytes == whole.bytes);
  // Too tight for the bottom and the middle layer together.
  const Exported tooTight = ToPsd(native.bytes, ProgressFunc(), ts::ShortStream(), 0, 13 * tile);
  EXPECT_EQ(tooTight.code, kErrTooLarge);
  EXPECT_EQ(tooTight.detail, "document layer 1: more than the memory the conversion may take");
}

// A failure of each step says where and what: a damaged row of the PSD, a
// stream that stops taking bytes, more pixels than the budget.
TEST(FailureDetail, EachStepSaysWhereAndWhat) {
  const std::string damaged = ts::ReadFile(ts::DataDir() + "/hostile/psd-packbits-overrun-0.psd");
  const std::string row = "layer 0: channel 0: PackBits row 0 of 5 bytes does not decode to 4 bytes";
  const Native thumbnail = ToNative(damaged, ProgressFunc(), ProgressFunc());
  EXPECT_EQ(thumbnail.thumbnail, kErrNotPsd);
  EXPECT_EQ(thumbnail.detail, row);
  // A row the thumbnail does not sample (it takes every third of a canvas
  // 1,000 wide) is found damaged by the layers' write.
  ts::PsdSpec spec;
  spec.width = 1000, spec.height = 6;
  spec.layers.push_back(ts::RgbaLayer(0, 0, 4, 2, std::vector<uint32_t>(8, ts::Rgba(1, 2, 3, 255)), "a"));
  ts::ChannelSpec& red = spec.layers[0].channels[0];
  red.rawData = true;
  red.data = ts::ToBytes(std::string("\0\1\0\2\0\3\xFD\x05\x01\x05\x05", 11));
  const Native layers = ToNative(ts::BuildPsd(spec), ProgressFunc(), ProgressFunc());
  EXPECT_EQ(layers.thumbnail, 0);
  EXPECT_EQ(layers.layers, kErrNotPsd);
  EXPECT_EQ(layers.detail, "layer 0: channel 0: PackBits row 1 of 3 bytes does not decode to 4 bytes");

  const Native native = ToNative(NoisePsd(), ProgressFunc(), ProgressFunc());
  ASSERT_EQ(native.layers, 0);
  const Exported refused = ToPsd(native.bytes, ProgressFunc(), ts::ShortStream(5000));
  EXPECT_EQ(refused.code, kErrWrite);
  EXPECT_EQ(refused.detail.rfind("writing the PSD: ", 0), 0u) << refused.detail;
  EXPECT_NE(refused.detail.find(": the stream refused "), std::string::npos) << refused.detail;
  const Exported tooLarge = ToPsd(native.bytes, ProgressFunc(), ts::ShortStream(), 100000);
  EXPECT_EQ(tooLarge.code, kErrTooLarge);
  EXPECT_EQ(tooLarge.detail, "document layer 0: the pixels written pass the 100000 the conversion may write");
}

}  // namespace
