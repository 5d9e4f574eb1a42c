#include <gtest/gtest.h>

#include "iio/codepage.h"

namespace {

using iio::CharsetPrefix;
using iio::CharsetToUtf8;
using iio::Utf8ToCharset;

TEST(Codepage, Utf8IsKeptAndMalformedBytesReplaced) {
  EXPECT_EQ(CharsetToUtf8("Ebene \xC3\xA9", ""), "Ebene \xC3\xA9");
  EXPECT_EQ(CharsetToUtf8("a\xFF" "b\xC3", "UTF-8"), "a?b?");
  EXPECT_EQ(Utf8ToCharset("\xED\xA0\x80x", ""), "???x");  // encoded surrogate
}

TEST(Codepage, ConvertsThroughANamedCharset) {
  EXPECT_EQ(Utf8ToCharset("caf\xC3\xA9", "ISO-8859-1"), "caf\xE9");
  EXPECT_EQ(CharsetToUtf8("caf\xE9", "ISO-8859-1"), "caf\xC3\xA9");
  // Characters the charset cannot hold become '?', the rest is kept.
  EXPECT_EQ(Utf8ToCharset("a\xE6\x97\xA5" "b\xE6\x9C\xAC" "c", "ISO-8859-1"), "a?b?c");
  EXPECT_EQ(Utf8ToCharset("\xE3\x81\x82", "SHIFT_JIS"), "\x82\xA0");
  EXPECT_EQ(CharsetToUtf8("\x82\xA0", "SHIFT_JIS"), "\xE3\x81\x82");
}

TEST(Codepage, PrefixNeverSplitsACharacter) {
  // UTF-8: 100 two-byte characters after one ASCII byte; 255 bytes would
  // end inside the 128th character.
  std::string u = "x";
  for (int i = 0; i < 150; ++i) u += "\xC3\xA9";
  EXPECT_EQ(CharsetPrefix(u, 255, ""), 255u);
  EXPECT_EQ(CharsetPrefix(u.substr(1), 255, ""), 254u);
  EXPECT_EQ(CharsetPrefix("\xF0\x9F\x98\x80" "ab", 3, ""), 0u);
  EXPECT_EQ(CharsetPrefix("short", 255, ""), 5u);

  // A double-byte code page: hiragana are two bytes each.
  std::string sj = "a";
  for (int i = 0; i < 150; ++i) sj += "\x82\xA0";
  EXPECT_EQ(CharsetPrefix(sj, 255, "SHIFT_JIS"), 255u);
  EXPECT_EQ(CharsetPrefix(sj.substr(1), 255, "SHIFT_JIS"), 254u);
  // A trail byte below 0x80 must not be mistaken for a character start.
  std::string mixed;
  for (int i = 0; i < 130; ++i) mixed += "\x83\x41";  // katakana A: trail byte 'A'
  EXPECT_EQ(CharsetPrefix(mixed, 255, "SHIFT_JIS"), 254u);
}

TEST(Codepage, Utf16ConversionKeepsPairsWhole) {
  const std::string s = "A\xF0\x9F\x98\x80" "B";
  EXPECT_EQ(iio::Utf8ToUtf16(s, 100), (std::u16string{u'A', 0xD83D, 0xDE00, u'B'}));
  EXPECT_EQ(iio::Utf8ToUtf16(s, 2), (std::u16string{u'A'}));
  EXPECT_EQ(iio::Utf8ToUtf16("a\xFF" "b", 10), (std::u16string{u'a', 0xFFFD, u'b'}));
  const std::u16string units{u'x', 0xD83D, 0xDE00, 0xDC00, u'y'};
  EXPECT_EQ(iio::Utf16ToUtf8(units.data(), units.size()), "x\xF0\x9F\x98\x80\xEF\xBF\xBDy");
}

}  // namespace
