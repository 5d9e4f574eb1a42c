#include <gtest/gtest.h>

#include <random>

#include "iio/packbits.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Encode(const Bytes& row) {
  Bytes out;
  iio::PackBitsEncode(row.data(), row.size(), out);
  return out;
}

bool Decode(const Bytes& src, size_t width, Bytes* out = nullptr) {
  Bytes dst(width + 1, 0xEE);  // one guard byte past the end
  const bool ok = iio::PackBitsDecode(dst.data(), dst.data() + width, src.data(), src.data() + src.size());
  EXPECT_EQ(dst[width], 0xEE) << "wrote past the destination";
  dst.resize(width);
  if (out) *out = dst;
  return ok;
}

// Straightforward reading of the published scheme, for checking the encoder.
bool ReferenceDecode(const Bytes& src, Bytes* out, size_t* maxLiteral, size_t* maxRun) {
  out->clear();
  for (size_t i = 0; i < src.size();) {
    const int8_t h = int8_t(src[i++]);
    if (h == -128) continue;
    if (h >= 0) {
      const size_t n = size_t(h) + 1;
      if (i + n > src.size()) return false;
      out->insert(out->end(), src.begin() + long(i), src.begin() + long(i + n));
      *maxLiteral = std::max(*maxLiteral, n);
      i += n;
    } else {
      if (i >= src.size()) return false;
      const size_t n = size_t(1 - h);
      out->insert(out->end(), n, src[i++]);
      *maxRun = std::max(*maxRun, n);
    }
  }
  return true;
}

TEST(PackBits, EncodesTheDocumentedExamples) {
  // A pair inside a literal stays in it; three equal bytes make a run.
  EXPECT_EQ(Encode({1, 2, 2, 3}), (Bytes{0x03, 0x01, 0x02, 0x02, 0x03}));
  EXPECT_EQ(Encode({1, 2, 2, 2, 3}), (Bytes{0x00, 0x01, 0xFE, 0x02, 0x00, 0x03}));
  EXPECT_EQ(Encode({4, 4, 5, 5, 5, 6, 6}), (Bytes{0xFF, 0x04, 0xFE, 0x05, 0xFF, 0x06}));
  EXPECT_EQ(Encode(Bytes(130, 0x5A)), (Bytes{0x81, 0x5A, 0xFF, 0x5A}));

  Bytes distinct(129);
  for (size_t i = 0; i < distinct.size(); ++i) distinct[i] = uint8_t(i);
  Bytes want(130);
  want[0] = 127;
  for (size_t i = 0; i < 128; ++i) want[1 + i] = distinct[i];
  want[129] = 0;
  want.push_back(128);
  EXPECT_EQ(Encode(distinct), want);
}

TEST(PackBits, EncodesShortRowsAndRunBoundaries) {
  EXPECT_TRUE(Encode({}).empty());
  EXPECT_EQ(Encode({7}), (Bytes{0x00, 0x07}));
  EXPECT_EQ(Encode({7, 7}), (Bytes{0xFF, 0x07}));
  EXPECT_EQ(Encode(Bytes(128, 9)), (Bytes{0x81, 0x09}));
  EXPECT_EQ(Encode(Bytes(129, 9)), (Bytes{0x81, 0x09, 0x00, 0x09}));
  EXPECT_EQ(Encode(Bytes(256, 9)), (Bytes{0x81, 0x09, 0x81, 0x09}));
}

// Never more than the raw bytes and one header per 128 of them, on patterns
// that defeat simpler encoders ("x b b", runs of three between single bytes,
// alternations, runs cut at 128 leaving one or two bytes).
TEST(PackBits, AdversarialRowsStayWithinOneBytePer128) {
  const std::vector<std::vector<uint8_t>> patterns = {
      {0, 0xAB, 0xAB}, {0, 7, 7, 7}, {0, 1}, {0, 9, 9, 1, 1, 1}, {0}, {5, 5}, {0, 3, 3, 3, 3, 1, 1}};
  for (const auto& pat : patterns) {
    for (size_t n = 0; n < 700; ++n) {
      for (size_t runCut : {size_t(0), size_t(129), size_t(130)}) {
        Bytes row(n);
        for (size_t i = 0; i < n; ++i) row[i] = pat[i % pat.size()] ? pat[i % pat.size()] : uint8_t(i * 37 + 11);
        for (size_t i = 0; i < std::min(runCut, n); ++i) row[i] = 0xEE;
        const Bytes enc = Encode(row);
        ASSERT_LE(enc.size(), n + (n + 127) / 128) << n;
        ASSERT_LE(enc.size(), iio::PackBitsBound(n)) << n;
        Bytes dec;
        ASSERT_TRUE(Decode(enc, n, &dec)) << n;
        ASSERT_EQ(dec, row) << n;
      }
    }
  }
  Bytes row;
  for (int i = 0; i < 30; ++i) row.insert(row.end(), {uint8_t(i + 10), 7, 7});
  EXPECT_EQ(Encode(row).size(), 90u + 1);  // one literal
}

TEST(PackBits, DecoderAcceptsOnlyExactRows) {
  EXPECT_TRUE(Decode({0x80}, 0));                 // no-op on an empty row
  EXPECT_FALSE(Decode({0xFE, 0x07}, 2));          // three copies into two bytes
  EXPECT_FALSE(Decode({0x00, 0x01, 0xFD}, 4));    // run header without its byte
  EXPECT_FALSE(Decode({0x03, 1, 2}, 4));          // literal past the source end
  EXPECT_FALSE(Decode({0x03, 1, 2, 3, 4}, 3));    // literal past the destination
  EXPECT_FALSE(Decode({0xFF, 5}, 3));             // row left short
  EXPECT_FALSE(Decode({}, 1));
  EXPECT_TRUE(Decode({}, 0));
  Bytes out;
  EXPECT_TRUE(Decode({0x80, 0xFE, 4, 0x80, 0x01, 5, 6}, 5, &out));
  EXPECT_EQ(out, (Bytes{4, 4, 4, 5, 6}));
}

TEST(PackBits, RandomRowsRoundTripWithinLimits) {
  std::mt19937 rng(1234);
  for (int iter = 0; iter < 3000; ++iter) {
    const size_t n = rng() % 700;
    Bytes row(n);
    // Mix runs of random lengths with noise so that every boundary is hit.
    for (size_t i = 0; i < n;) {
      const size_t len = 1 + rng() % (rng() % 2 ? 300 : 4);
      const uint8_t v = uint8_t(rng() % (iter % 3 ? 4 : 256));
      for (size_t k = 0; k < len && i < n; ++k) row[i++] = (rng() % 5 == 0) ? uint8_t(rng()) : v;
    }
    const Bytes enc = Encode(row);
    ASSERT_LE(enc.size(), n + (n + 127) / 128);
    Bytes ref;
    size_t maxLit = 0, maxRun = 0;
    ASSERT_TRUE(ReferenceDecode(enc, &ref, &maxLit, &maxRun));
    ASSERT_EQ(ref, row);
    ASSERT_LE(maxLit, 128u);
    ASSERT_LE(maxRun, 128u);
    Bytes dec;
    ASSERT_TRUE(Decode(enc, n, &dec));
    ASSERT_EQ(dec, row);
    if (n > 0) {
      ASSERT_FALSE(Decode(enc, n - 1));
      ASSERT_FALSE(Decode(enc, n + 1));
    }
  }
}

}  // namespace
