// Typed reads reject every value that is not exactly in the expected form.
#include "chunk/chunk_values.h"
#include "chunk_test_util.h"

using namespace ct;

namespace {

std::unique_ptr<chunk::ChunkSA> Values(const std::function<void(Builder&)>& add) {
  Builder b;
  b.u32(kMarker).str("R");
  add(b);
  b.u32(0).endRecord();
  auto p = Parse(b.b);
  EXPECT_TRUE(p->ok());
  return p;
}

Bytes StringData(uint32_t len, const std::string& text, size_t total) {
  Builder d;
  d.u32(len).raw(text.data(), text.size());
  d.zeros(total - d.b.size());
  return d.b;
}

}  // namespace

TEST(ChunkValues, Scalars) {
  auto p = Values([](Builder& b) {
    b.value("u", {0x78, 0x56, 0x34, 0x12});
    b.value("neg", {0xFE, 0xFF, 0xFF, 0xFF});
    b.value("short", {1, 2, 3});
    b.value("long", {1, 2, 3, 4, 5});
    b.value("true", {0, 0, 0, 2});
    b.value("false", {0, 0, 0, 0});
    b.str("arr1").u32(0xFFFFFFFCu).u32(1).u32(7);  // an array of one u32
    b.str("arr2").u32(0xFFFFFFFCu).u32(2).u32(7).u32(8);
  });
  uint32_t u = 99;
  EXPECT_TRUE(chunk::ReadU32(*p, "u", u));
  EXPECT_EQ(u, 0x12345678u);
  int32_t i = 0;
  EXPECT_TRUE(chunk::ReadI32(*p, "neg", i));
  EXPECT_EQ(i, -2);
  u = 99;
  EXPECT_FALSE(chunk::ReadU32(*p, "short", u));
  EXPECT_FALSE(chunk::ReadU32(*p, "long", u));
  EXPECT_FALSE(chunk::ReadU32(*p, "missing", u));
  EXPECT_FALSE(chunk::ReadU32(*p, "arr2", u));
  EXPECT_EQ(u, 99u);  // untouched on failure
  EXPECT_TRUE(chunk::ReadU32(*p, "arr1", u));
  EXPECT_EQ(u, 7u);
  bool flag = false;
  EXPECT_TRUE(chunk::ReadBool(*p, "true", flag));
  EXPECT_TRUE(flag);
  EXPECT_TRUE(chunk::ReadBool(*p, "false", flag));
  EXPECT_FALSE(flag);
  uint8_t rec[5] = {};
  EXPECT_TRUE(chunk::ReadBytes(*p, "long", rec, 5));
  EXPECT_EQ(rec[4], 5);
  EXPECT_FALSE(chunk::ReadBytes(*p, "long", rec, 4));
}

TEST(ChunkValues, StringsAreCheckedAgainstTheirByteLength) {
  auto p = Values([](Builder& b) {
    b.value("ok", StringData(5, "hello", 12));
    b.value("tight", StringData(3, "abc", 8));         // exactly one zero byte
    b.value("noterm", StringData(4, "abcd", 8));       // no room for the zero
    b.value("toolong", StringData(100, "abc", 8));     // L beyond the data
    b.value("huge", StringData(0xFFFFFFFFu, "", 8));   // L + 4 wraps in 32 bits
    b.value("inner", StringData(5, std::string("ab\0cd", 5), 12));
    b.value("tiny", {0, 0, 0});
    b.value("empty", {});
  });
  std::string s = "keep";
  EXPECT_TRUE(chunk::ReadString(*p, "ok", s));
  EXPECT_EQ(s, "hello");
  EXPECT_TRUE(chunk::ReadString(*p, "tight", s));
  EXPECT_EQ(s, "abc");
  s = "keep";
  EXPECT_FALSE(chunk::ReadString(*p, "noterm", s));
  EXPECT_FALSE(chunk::ReadString(*p, "toolong", s));
  EXPECT_FALSE(chunk::ReadString(*p, "huge", s));
  EXPECT_FALSE(chunk::ReadString(*p, "tiny", s));
  EXPECT_FALSE(chunk::ReadString(*p, "empty", s));
  EXPECT_FALSE(chunk::ReadString(*p, "missing", s));
  EXPECT_EQ(s, "keep");
  // The text is zero-terminated, like every reader of these files takes it.
  EXPECT_TRUE(chunk::ReadString(*p, "inner", s));
  EXPECT_EQ(s, "ab");
}

TEST(ChunkValues, Arrays) {
  auto p = Values([](Builder& b) {
    b.str("fill").u32(0xFFFFFFF8u).u32(2).zeros(16);
    b.str("none").u32(0xFFFFFFF8u).u32(0);
    b.value("plain", Bytes(24, 1));
  });
  chunk::ArrayView a;
  ASSERT_TRUE(chunk::ReadArray(*p, "fill", 8, a));
  EXPECT_EQ(a.count, 2u);
  EXPECT_EQ(a.bytes(), 16u);
  EXPECT_FALSE(chunk::ReadArray(*p, "fill", 16, a));
  ASSERT_TRUE(chunk::ReadArray(*p, "none", 512, a));
  EXPECT_EQ(a.count, 0u);
  EXPECT_EQ(a.begin, nullptr);
  // A plain value has count 1: as an array of 24-byte elements it fits.
  EXPECT_TRUE(chunk::ReadArray(*p, "plain", 24, a));
  EXPECT_FALSE(chunk::ReadArray(*p, "plain", 8, a));
  ASSERT_TRUE(chunk::FindArray(*p, "plain", a));
  EXPECT_EQ(a.count, 1u);
  EXPECT_FALSE(chunk::FindArray(*p, "missing", a));
}

TEST(ChunkValues, WriterAndReaderAgree) {
  chunk::MemorySink mem;
  chunk::ChunkSink sink(mem.func());
  chunk::ChunkWriter& w = sink.beginPackedRoot("R");
  w.writeU32("u", 0xCAFEF00Du);
  w.writeI32("i", -5);
  w.writeBool("b", true);
  for (size_t n = 0; n < 9; ++n) w.writeString(("s" + std::to_string(n)).c_str(), std::string(n, 'x'));
  const uint8_t rect[16] = {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0};
  w.writeValue("rect", 16, rect);
  ASSERT_TRUE(w.end());
  auto p = Parse(mem.bytes());
  uint32_t u;
  int32_t i;
  bool b;
  ASSERT_TRUE(chunk::ReadU32(*p, "u", u));
  EXPECT_EQ(u, 0xCAFEF00Du);
  ASSERT_TRUE(chunk::ReadI32(*p, "i", i));
  EXPECT_EQ(i, -5);
  ASSERT_TRUE(chunk::ReadBool(*p, "b", b));
  EXPECT_TRUE(b);
  for (size_t n = 0; n < 9; ++n) {
    std::string s;
    const std::string key = "s" + std::to_string(n);
    ASSERT_TRUE(chunk::ReadString(*p, key.c_str(), s)) << n;
    EXPECT_EQ(s, std::string(n, 'x'));
    chunk::ValueRange r;
    p->findValue(key.c_str(), r);
    EXPECT_EQ(r.size(), (n + 8) & ~size_t(3));
  }
  uint8_t back[16];
  ASSERT_TRUE(chunk::ReadBytes(*p, "rect", back, 16));
  EXPECT_EQ(std::memcmp(back, rect, 16), 0);
}
