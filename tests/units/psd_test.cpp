// The PSD writer when its stream gives out anywhere, and the conversions of
// layer names between UTF-8 and the character sets of Pascal names.
#include <gtest/gtest.h>

#include <vector>

#include "iio/codepage.h"
#include "iio/psd_out.h"
#include "iio/write_stream.h"

namespace {

using iio::layer_param_t;

layer_param_t Layer(int32_t l, int32_t t, int32_t r, int32_t b) {
  layer_param_t p;
  p.left = l, p.top = t, p.right = r, p.bottom = b;
  p.name = "layer";
  return p;
}

// Writes what it is given up to `limit` bytes, then fails once and goes on.
class LossyStream : public iio::MemoryStream {
 public:
  explicit LossyStream(size_t limit) : limit_(limit) {}
  size_t Write(const void* bytes, size_t count) override {
    if (!lost_ && Tell() + count > limit_) {
      lost_ = true;
      return 0;
    }
    return MemoryStream::Write(bytes, count);
  }

 private:
  size_t limit_;
  bool lost_ = false;
};

// Wherever the stream gives out (in the records, in a layer's channel data,
// in a rectangle filled in later, or in the merged image), a call fails with
// the stream error, every later one fails too, and Finish never reports
// success.
TEST(PsdWriter, AStreamFailingAnywhereFailsTheFile) {
  const std::vector<layer_param_t> layers{Layer(0, 0, 300, 200), Layer(5, 5, 290, 180), Layer(0, 0, 300, 200)};
  std::vector<PixelRGBA> row(300);
  for (size_t x = 0; x < row.size(); ++x) row[x] = PixelRGBA{uint16_t(x * 50), 4000, 100, 16384};
  size_t full = 0;
  for (size_t limit = 40; full == 0 || limit < full; limit += full ? full / 37 : 0) {
    LossyStream out(full ? limit : SIZE_MAX);
    iio::PsdOut psd(out);
    bool failed = !psd.Begin(300, 200, std::vector<layer_param_t>(layers.size(), Layer(0, 0, 0, 0)));
    auto step = [&](bool ok) {
      if (failed) {
        EXPECT_FALSE(ok) << "a call succeeded after a failure, limit " << limit;
      }
      failed = failed || !ok;
    };
    iio::PsdRows rows;
    auto put = [&](size_t width, int64_t count, bool matte) {
      iio::EncodePsdRows(row.data(), width, 1, matte, rows);
      for (int64_t y = 0; y < count; ++y) step(psd.AddRows(rows));
    };
    for (const layer_param_t& l : layers) {
      step(psd.BeginLayer(l.left, l.top, l.right, l.bottom));
      put(size_t(l.Width()), l.Height(), false);
      step(psd.EndLayer());
    }
    put(300, 200, true);
    step(psd.Finish());
    if (full == 0) {  // the first pass measures the whole file
      ASSERT_FALSE(failed);
      full = out.Bytes().size();
      continue;
    }
    EXPECT_TRUE(failed) << "limit " << limit;
    EXPECT_EQ(psd.LastError(), iio::kPsdOutStream) << "limit " << limit;
  }
}

TEST(LayerNames, ConvertBetweenUtf8AndCharsetsWithoutSplittingACharacter) {
  using iio::CharsetPrefix;
  using iio::CharsetToUtf8;
  using iio::Utf8ToCharset;
  EXPECT_EQ(CharsetToUtf8("a\xFF" "b\xC3", "UTF-8"), "a?b?");
  EXPECT_EQ(Utf8ToCharset("\xED\xA0\x80x", ""), "???x");  // an encoded surrogate
  EXPECT_EQ(Utf8ToCharset("caf\xC3\xA9", "ISO-8859-1"), "caf\xE9");
  EXPECT_EQ(CharsetToUtf8("caf\xE9", "ISO-8859-1"), "caf\xC3\xA9");
  EXPECT_EQ(Utf8ToCharset("a\xE6\x97\xA5" "b", "ISO-8859-1"), "a?b");
  EXPECT_EQ(Utf8ToCharset("\xE3\x81\x82", "SHIFT_JIS"), "\x82\xA0");
  EXPECT_EQ(CharsetToUtf8("\x82\xA0", "SHIFT_JIS"), "\xE3\x81\x82");
  // 255 bytes would end inside a character.
  std::string u = "x";
  for (int i = 0; i < 150; ++i) u += "\xC3\xA9";
  EXPECT_EQ(CharsetPrefix(u, 255, ""), 255u);
  EXPECT_EQ(CharsetPrefix(u.substr(1), 255, ""), 254u);
  EXPECT_EQ(CharsetPrefix("\xF0\x9F\x98\x80" "ab", 3, ""), 0u);
  std::string sj;
  for (int i = 0; i < 130; ++i) sj += "\x83\x41";  // a trail byte that looks like 'A'
  EXPECT_EQ(CharsetPrefix(sj, 255, "SHIFT_JIS"), 254u);
  // UTF-16 keeps surrogate pairs whole; malformed input becomes U+FFFD.
  EXPECT_EQ(iio::Utf8ToUtf16("A\xF0\x9F\x98\x80" "B", 2), (std::u16string{u'A'}));
  EXPECT_EQ(iio::Utf8ToUtf16("a\xFF" "b", 10), (std::u16string{u'a', 0xFFFD, u'b'}));
  const std::u16string units{u'x', 0xD83D, 0xDE00, 0xDC00, u'y'};
  EXPECT_EQ(iio::Utf16ToUtf8(units.data(), units.size()), "x\xF0\x9F\x98\x80\xEF\xBF\xBDy");
}

}  // namespace
