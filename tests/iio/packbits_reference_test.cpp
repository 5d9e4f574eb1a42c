// The PackBits encoder against a byte-at-a-time transcription of the
// format's encoding rules (prev / rep / lit state machine): the same bytes
// for rows of every shape, including runs and literals around 128 and rows
// that end in the middle of either.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "iio/packbits.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Reference(const Bytes& p) {
  Bytes out;
  const size_t n = p.size();
  if (n == 0) return out;
  auto literal = [&](size_t from, size_t count) {
    out.push_back(uint8_t(count - 1));
    out.insert(out.end(), p.begin() + long(from), p.begin() + long(from + count));
  };
  auto run = [&](unsigned rep, uint8_t b) {
    out.push_back(uint8_t(1 - int(rep)));
    out.push_back(b);
  };
  uint8_t prev = p[0];
  unsigned rep = 1;
  size_t lit = 0;
  for (size_t i = 1; i < n; ++i) {
    const uint8_t cur = p[i];
    if (cur == prev) {
      if (lit > 0) {
        literal(i - 1 - lit, lit);
        rep = 2;
        lit = 0;
      } else if (++rep == 128) {
        run(128, prev);
        if (i + 1 == n) return out;
        ++i;
        prev = p[i];
        rep = 1;
        lit = 0;
        continue;
      }
    } else if (rep >= 2) {
      run(rep, prev);
      rep = 1;
      lit = 0;
    } else if (++lit == 128) {
      literal(i - 128, 128);
      lit = 0;
    }
    prev = cur;
  }
  if (rep != 1)
    run(rep, prev);
  else
    literal(n - 1 - lit, lit + 1);
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
    const int kind = int(rng() % 5);
    const uint8_t v = uint8_t(rng() % 4);
    for (size_t k = 0; k < len && b.size() < n; ++k) {
      switch (kind) {
        case 0: b.push_back(v); break;                          // run
        case 1: b.push_back(uint8_t(rng())); break;             // noise
        case 2: b.push_back(uint8_t(k / 2 + v)); break;         // pairs
        case 3: b.push_back(uint8_t(k % 2 ? v : v + 1)); break; // alternation
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
