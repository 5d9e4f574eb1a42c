// PackBits: the encoder against a byte-at-a-time transcription of its rules
// (three or more equal bytes make a run, everything else a literal up to the
// next three equal bytes; a literal of just two equal bytes is a run; 128 at
// most each), never larger than the raw bytes plus one header per 128 of
// them, and a decoder that takes exact rows only.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "iio/packbits.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Reference(const Bytes& p) {
  Bytes out;
  const size_t n = p.size();
  auto runAt = [&](size_t j) { return j + 2 < n && p[j] == p[j + 1] && p[j + 1] == p[j + 2]; };
  for (size_t i = 0; i < n;) {
    if (runAt(i)) {
      size_t r = 1;
      while (i + r < n && r < 128 && p[i + r] == p[i]) ++r;
      out.push_back(uint8_t(1 - int(r)));
      out.push_back(p[i]);
      i += r;
      continue;
    }
    size_t j = i + 1;
    while (j < n && j - i < 128 && !runAt(j)) ++j;
    if (j - i == 2 && p[i] == p[i + 1]) {
      out.push_back(0xFF);
      out.push_back(p[i]);
    } else {
      out.push_back(uint8_t(j - i - 1));
      out.insert(out.end(), p.begin() + long(i), p.begin() + long(j));
    }
    i = j;
  }
  return out;
}

Bytes Encode(const Bytes& p) {
  Bytes out;
  iio::PackBitsEncode(p.data(), p.size(), out);
  return out;
}

bool Decode(const Bytes& src, size_t n, Bytes* out = nullptr) {
  Bytes dst(n + 1, 0xCC);  // one guard byte
  Bytes copy = src;
  const bool ok = iio::PackBitsDecode(dst.data(), dst.data() + n, copy.data(), copy.data() + copy.size());
  EXPECT_EQ(dst[n], 0xCC) << "written past the row";
  dst.resize(n);
  if (out) *out = dst;
  return ok;
}

// Rows made of stretches: runs, pairs, triples, noise, alternations, of
// lengths that cross the encoder's 64-byte steps and the 128-byte limits,
// or built from a pattern that defeats simpler encoders ("x b b").
Bytes Row(std::mt19937& rng, size_t n) {
  Bytes b;
  const int shape = int(rng() % 8);
  while (b.size() < n) {
    const size_t len = std::uniform_int_distribution<size_t>(1, 300)(rng);
    const int kind = shape < 6 ? int(rng() % 6) : shape;
    const uint8_t v = uint8_t(rng() % 4);
    for (size_t k = 0; k < len && b.size() < n; ++k) {
      switch (kind) {
        case 0: b.push_back(v); break;
        case 1: b.push_back(uint8_t(rng())); break;
        case 2: b.push_back(uint8_t(k / 2 + v)); break;
        case 3: b.push_back(uint8_t(k % 2 ? v : v + 1)); break;
        case 4: b.push_back(uint8_t(k / 3 + v)); break;
        case 5: b.push_back(uint8_t(rng() % 3)); break;
        case 6: b.push_back(k % 3 ? 0xAB : uint8_t(k)); break;
        default: b.push_back(k % 4 == 3 ? uint8_t(k) : 7); break;
      }
    }
  }
  return b;
}

TEST(PackBits, EncodesAsTheRulesSayAndDecodesBack) {
  // The documented cases first.
  EXPECT_EQ(Encode({1, 2, 2, 3}), (Bytes{0x03, 0x01, 0x02, 0x02, 0x03}));
  EXPECT_EQ(Encode({4, 4, 5, 5, 5, 6, 6}), (Bytes{0xFF, 0x04, 0xFE, 0x05, 0xFF, 0x06}));
  EXPECT_EQ(Encode(Bytes(130, 0x5A)), (Bytes{0x81, 0x5A, 0xFF, 0x5A}));
  EXPECT_TRUE(Encode({}).empty());
  std::mt19937 rng(12345);
  for (int t = 0; t < 5000; ++t) {
    // Every short length, then longer rows, beyond the encoder's stack scratch too.
    const size_t n = t < 700 ? size_t(t) : t < 4990 ? rng() % 5000 : 300000 + rng() % 1000;
    const Bytes row = Row(rng, n);
    const Bytes enc = Encode(row);
    ASSERT_EQ(enc, Reference(row)) << "row " << t << " of " << n << " bytes";
    ASSERT_LE(enc.size(), n + (n + 127) / 128) << n;
    ASSERT_LE(enc.size(), iio::PackBitsBound(n)) << n;
    std::vector<uint8_t> to(iio::PackBitsBound(n));
    ASSERT_EQ(iio::PackBitsEncodeTo(row.data(), n, to.data()), enc.size());
    Bytes dec;
    ASSERT_TRUE(Decode(enc, n, &dec));
    ASSERT_EQ(dec, row);
  }
}

TEST(PackBits, DecoderAcceptsOnlyExactRows) {
  EXPECT_TRUE(Decode({0x80}, 0));               // no-op on an empty row
  EXPECT_FALSE(Decode({0xFE, 0x07}, 2));        // three copies into two bytes
  EXPECT_FALSE(Decode({0x00, 0x01, 0xFD}, 4));  // run header without its byte
  EXPECT_FALSE(Decode({0x03, 1, 2}, 4));        // literal past the source end
  EXPECT_FALSE(Decode({0x03, 1, 2, 3, 4}, 3));  // literal past the destination
  EXPECT_FALSE(Decode({0xFF, 5}, 3));           // row left short
  EXPECT_FALSE(Decode({}, 1));
  Bytes out;
  EXPECT_TRUE(Decode({0x80, 0xFE, 4, 0x80, 0x01, 5, 6}, 5, &out));
  EXPECT_EQ(out, (Bytes{4, 4, 4, 5, 6}));
}

}  // namespace
