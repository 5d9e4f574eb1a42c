// Bit counts and byte swaps: the compiler's versions and the plain loops
// that stand in for them elsewhere agree on every single bit, every run of
// low and high bits and pseudo-random words.
#include <gtest/gtest.h>

#include <vector>

#include "base/bits.h"

namespace {

std::vector<uint64_t> Words() {
  std::vector<uint64_t> v;
  for (int i = 0; i < 64; ++i) {
    v.push_back(uint64_t(1) << i);
    v.push_back(~uint64_t(0) << i);
    v.push_back(~uint64_t(0) >> i);
  }
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (int i = 0; i < 2000; ++i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    v.push_back(x);
    v.push_back(x >> (i % 64));
  }
  return v;
}

TEST(Bits, CountsAgreeWithPlainLoops) {
  for (uint64_t x : Words()) {
    if (x == 0) continue;
    ASSERT_EQ(base::Ctz64(x), base::portable::Ctz64(x)) << std::hex << x;
    ASSERT_EQ(base::Clz64(x), base::portable::Clz64(x)) << std::hex << x;
    ASSERT_EQ(base::PopCount64(x), base::portable::PopCount64(x)) << std::hex << x;
    ASSERT_EQ(base::ByteSwap64(x), base::portable::ByteSwap64(x)) << std::hex << x;
    const uint32_t lo = uint32_t(x);
    if (lo == 0) continue;
    ASSERT_EQ(base::Ctz32(lo), base::portable::Ctz64(lo)) << std::hex << lo;
    ASSERT_EQ(base::Clz32(lo), base::portable::Clz64(lo) - 32) << std::hex << lo;
    ASSERT_EQ(base::PopCount32(lo), base::portable::PopCount64(lo)) << std::hex << lo;
    ASSERT_EQ(base::ByteSwap32(lo), uint32_t(base::portable::ByteSwap64(lo) >> 32)) << std::hex << lo;
  }
}

TEST(Bits, KnownValues) {
  EXPECT_EQ(base::portable::Ctz64(1), 0);
  EXPECT_EQ(base::portable::Ctz64(0x8000000000000000ull), 63);
  EXPECT_EQ(base::portable::Clz64(1), 63);
  EXPECT_EQ(base::portable::Clz64(0x00F0000000000000ull), 8);
  EXPECT_EQ(base::portable::PopCount64(0xF0F0F0F0F0F0F0F1ull), 33);
  EXPECT_EQ(base::portable::ByteSwap64(0x0102030405060708ull), 0x0807060504030201ull);
  EXPECT_EQ(base::Ctz32(0x80000000u), 31);
  EXPECT_EQ(base::Clz32(0x00010000u), 15);
  EXPECT_EQ(base::ByteSwap16(0x1234), 0x3412);
  EXPECT_EQ(base::ByteSwap32(0x12345678u), 0x78563412u);
}

}  // namespace
