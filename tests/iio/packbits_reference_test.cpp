// The PackBits encoder against a byte-at-a-time transcription of its rules
// (three or more equal bytes make a run, everything else a literal up to the
// next three equal bytes; a literal of just two equal bytes is a run; 128 at
// most each): the same bytes for rows of every shape, including runs and
// literals around 128 and rows that end in the middle of either.
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

// Rows made of stretches: runs, pairs, noise, alternations, of lengths that
// cross the 8-byte steps and the 128-byte limits.
Bytes Row(std::mt19937& rng, size_t n) {
  Bytes b;
  while (b.size() < n) {
    const size_t len = std::uniform_int_distribution<size_t>(1, 300)(rng);
    const int kind = int(rng() % 6);
    const uint8_t v = uint8_t(rng() % 4);
    for (size_t k = 0; k < len && b.size() < n; ++k) {
      switch (kind) {
        case 0: b.push_back(v); break;                          // run
        case 1: b.push_back(uint8_t(rng())); break;             // noise
        case 2: b.push_back(uint8_t(k / 2 + v)); break;         // pairs
        case 3: b.push_back(uint8_t(k % 2 ? v : v + 1)); break; // alternation
        case 4: b.push_back(uint8_t(k / 3 + v)); break;         // triples
        default: b.push_back(uint8_t(rng() % 3)); break;        // short runs
      }
    }
  }
  return b;
}

}  // namespace

TEST(PackBitsReference, SameBytesAsTheRulesOnRowsOfEveryShape) {
  std::mt19937 rng(12345);
  for (int t = 0; t < 4000; ++t) {
    const size_t n = t < 600 ? size_t(t) : std::uniform_int_distribution<size_t>(0, 5000)(rng);
    const Bytes row = Row(rng, n);
    ASSERT_EQ(Encode(row), Reference(row)) << "row " << t << " of " << n << " bytes";
  }
  // Rows wider than the ordinary format allows (the large-document one does),
  // around the width up to which the encoder keeps its scratch on the stack.
  for (size_t n : {32639, 32640, 32641, 32705, 300000}) {
    const Bytes row = Row(rng, n);
    ASSERT_EQ(Encode(row), Reference(row)) << n << " bytes";
  }
}

TEST(PackBitsReference, RunsAndLiteralsAtTheLimits) {
  for (size_t runLen : {1, 2, 7, 8, 9, 127, 128, 129, 130, 255, 256, 257}) {
    for (size_t litLen : {0, 1, 2, 8, 127, 128, 129, 200}) {
      Bytes row;
      for (size_t k = 0; k < litLen; ++k) row.push_back(uint8_t(k * 7 + 1));
      row.insert(row.end(), runLen, 0xAB);
      for (size_t k = 0; k < litLen; ++k) row.push_back(uint8_t(k * 5 + 2));
      ASSERT_EQ(Encode(row), Reference(row)) << runLen << " " << litLen;
      row.push_back(0xAB);
      ASSERT_EQ(Encode(row), Reference(row)) << runLen << " " << litLen << " +1";
    }
  }
}
