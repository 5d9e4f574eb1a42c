// Golden byte layouts from the writer and their parse.
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "chunk/chunk_values.h"
#include "chunk_test_util.h"

using namespace ct;

namespace {

const uint8_t kExample60[60] = {
    0xA0, 0xCD, 0xEA, 0xFA, 0x11, 0x00, 0x00, 0x00, 'V',  'o',  'r',  'l',  'e',  't',  'B',
    'i',  't',  'm',  'a',  'p',  'I',  'm',  'a',  'g',  'e',  0x00, 0x00, 0x00, 0x07, 0x00,
    0x00, 0x00, 'v',  'e',  'r',  's',  'i',  'o',  'n',  0x00, 0x04, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0xA0, 0xCD, 0xEA, 0xFA, 0x00, 0x00, 0x00, 0x00};

std::string TempPath(const char* name) { return testing::TempDir() + name; }

Bytes ReadFileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(ChunkLayout, SixtyByteExampleFromMemorySink) {
  chunk::MemorySink mem;
  chunk::ChunkSink sink(mem.func());
  chunk::ChunkWriter& root = sink.beginRoot("VorletBitmapImage");
  ASSERT_TRUE(root.writeU32("version", 0x10000000));
  ASSERT_TRUE(root.end());
  ASSERT_EQ(mem.bytes(), Bytes(kExample60, kExample60 + 60));

  auto parsed = Parse(mem.bytes());
  ASSERT_TRUE(parsed->ok());
  EXPECT_STREQ(parsed->name(), "VorletBitmapImage");
  chunk::ValueRange r;
  ASSERT_EQ(parsed->findValue("version", r), 1u);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(Le32(r.begin), 0x10000000u);
  EXPECT_EQ(parsed->valueNames(), std::vector<std::string>{"version"});
  EXPECT_TRUE(parsed->childNames().empty());
}

TEST(ChunkLayout, SixtyByteExampleThroughFiles) {
  const std::string path = TempPath("chunk_example60.yvn");
  {
    chunk::FileSink file;
    ASSERT_TRUE(file.open(path.c_str()));
    chunk::ChunkSink sink(file.func());
    chunk::ChunkWriter& root = sink.beginRoot("VorletBitmapImage");
    root.writeU32("version", 0x10000000);
    bool ok = root.end();
    ok = file.close() && ok;
    ASSERT_TRUE(ok);
  }
  ASSERT_EQ(ReadFileBytes(path), Bytes(kExample60, kExample60 + 60));
  DataSrcReadFromFile src;
  ASSERT_TRUE(src.open(path.c_str()));
  chunk::ReadAllListener listener;
  chunk::ChunkSA root(&listener, src);
  uint32_t version = 0;
  ASSERT_TRUE(chunk::ReadU32(root, "version", version));
  EXPECT_EQ(version, 0x10000000u);
  std::remove(path.c_str());
}

TEST(ChunkLayout, EmptyChunkAndChildrenWithoutValues) {
  chunk::MemorySink mem;
  chunk::ChunkSink sink(mem.func());
  chunk::ChunkWriter& root = sink.beginRoot("Root");
  chunk::ChunkWriter& a = root.beginChild("A");
  ASSERT_TRUE(a.end());
  chunk::ChunkWriter& b = root.beginChild("B");
  ASSERT_TRUE(b.end());
  ASSERT_TRUE(root.end());
  Builder want;
  // "Root" takes 12 bytes as a String; the end of values appears once.
  want.u32(kMarker).str("Root").u32(0);
  want.u32(kMarker).str("A").u32(0).endRecord();
  want.u32(kMarker).str("B").u32(0).endRecord();
  want.endRecord();
  EXPECT_EQ(mem.bytes(), want.b);
  EXPECT_EQ(Builder().str("Root").b.size(), 12u);
}

TEST(ChunkLayout, ArrayPaddingAndStrings) {
  chunk::MemorySink mem;
  chunk::ChunkSink sink(mem.func());
  chunk::ChunkWriter& root = sink.beginRoot("R");
  const uint8_t elems[6] = {1, 2, 3, 4, 5, 6};
  ASSERT_TRUE(root.beginArray("arr", 3, 2));
  ASSERT_TRUE(root.writeElement(elems));
  ASSERT_TRUE(root.writeElements(elems + 2, 2));
  ASSERT_TRUE(root.endArray());
  ASSERT_TRUE(root.writeString("s", "abcd"));
  ASSERT_TRUE(root.writeString("e", ""));
  ASSERT_TRUE(root.writeBool("b", true));
  ASSERT_TRUE(root.writeValue("z", 0, nullptr));
  ASSERT_TRUE(root.end());
  Builder want;
  want.u32(kMarker).str("R");
  want.str("arr").u32(0xFFFFFFFEu).u32(3).raw(elems, 6).zeros(2);
  want.str("s").u32(12).u32(4).raw("abcd", 4).zeros(4);  // (4 + 8) & ~3
  want.str("e").u32(8).u32(0).zeros(4);
  want.str("b").u32(4).u32(1);
  want.str("z").u32(0);
  want.u32(0).endRecord();
  EXPECT_EQ(mem.bytes(), want.b);

  auto p = Parse(mem.bytes());
  chunk::ValueRange r;
  EXPECT_EQ(p->findValue("arr", r), 3u);
  EXPECT_EQ(r.size(), 6u);
  std::string s;
  EXPECT_TRUE(chunk::ReadString(*p, "s", s));
  EXPECT_EQ(s, "abcd");
  EXPECT_TRUE(chunk::ReadString(*p, "e", s));
  EXPECT_EQ(s, "");
  // A value of size 0 is present with an empty range.
  r.begin = r.end = reinterpret_cast<const uint8_t*>(&r);
  EXPECT_EQ(p->findValue("z", r), 1u);
  EXPECT_EQ(r.begin, nullptr);
  EXPECT_EQ(r.end, nullptr);
}

TEST(ChunkLayout, ReaderEdgeCases) {
  // First word is neither marker.
  EXPECT_TRUE(Empty(*Parse(Builder().u32(0x12345678).str("R").u32(0).endRecord().b)));
  EXPECT_FALSE(Parse(Builder().u32(0).b)->ok());
  EXPECT_FALSE(Parse(Bytes{0xA0, 0xCD})->ok());
  EXPECT_FALSE(Parse(Bytes())->ok());
  // A bare end record is no root.
  EXPECT_FALSE(Parse(Builder().endRecord().b)->ok());

  Builder b;
  b.u32(kMarker).str("R");
  b.str("arr").u32(0xFFFFFFF8u).u32(0);  // E = 8, N = 0
  b.value("dup", {1, 0, 0, 0});
  b.value("dup", {2, 0, 0, 0});
  b.u32(0);
  b.u32(kMarker).str("kid").value("x", {7}).u32(0).endRecord();
  b.u32(kMarker).str("kid").value("x", {8}).u32(0).endRecord();
  b.endRecord();
  b.raw("trailing bytes are not read", 27);
  auto p = Parse(b.b);
  ASSERT_TRUE(p->ok());
  chunk::ValueRange r;
  EXPECT_EQ(p->findValue("arr", r), 0u);
  uint32_t v = 0;
  EXPECT_FALSE(chunk::ReadU32(*p, "arr", v));
  ASSERT_TRUE(chunk::ReadU32(*p, "dup", v));
  EXPECT_EQ(v, 1u);  // first occurrence wins
  EXPECT_EQ(p->valueNames(), (std::vector<std::string>{"arr", "dup"}));
  ASSERT_EQ(p->childNames(), std::vector<std::string>{"kid"});
  ASSERT_EQ(p->findChild("kid")->findValue("x", r), 1u);
  EXPECT_EQ(*r.begin, 7);
  EXPECT_EQ(p->findValue("nope", r), chunk::kNoValue);
  EXPECT_EQ(p->findChild("nope"), nullptr);
}

TEST(ChunkLayout, NamesWithZeroBytesAreRefused) {
  // Every listed name must be reachable by a C-string lookup.
  Builder a;
  a.u32(kMarker).str("R").u32(0);
  a.u32(kMarker).str(std::string("Pl\0a", 4)).u32(0).endRecord();
  a.endRecord();
  EXPECT_FALSE(Parse(a.b)->ok());
  Builder b;
  b.u32(kMarker).str("R").value(std::string("\0v", 2), {1}).u32(0).endRecord();
  EXPECT_FALSE(Parse(b.b)->ok());
}

TEST(ChunkLayout, ChildrenOutliveTheirParent) {
  Builder b;
  b.u32(kMarker).str("R").u32(0);
  b.u32(kMarker).str("kid").value("x", {1, 2, 3}).u32(0).endRecord();
  b.endRecord();
  std::shared_ptr<const chunk::IChunkBase> kid;
  {
    auto p = Parse(b.b);
    kid = p->findChild("kid");
  }
  chunk::ValueRange r;
  ASSERT_EQ(kid->findValue("x", r), 1u);
  EXPECT_EQ(Bytes(r.begin, r.end), (Bytes{1, 2, 3}));
}

TEST(ChunkLayout, CommittedFixtureParses) {
  const char* dir = std::getenv("YVN_TEST_DATA");
  if (!dir) GTEST_SKIP() << "YVN_TEST_DATA not set";
  const std::string path = std::string(dir) + "/chunk_sample_packed.yvn";
  DataSrcReadFromFile src;
  ASSERT_TRUE(src.open(path.c_str())) << path;
  chunk::ChunkSA root(nullptr, src);
  ASSERT_TRUE(root.ok());
  EXPECT_STREQ(root.name(), "VorletBitmapImage");
  uint32_t version;
  ASSERT_TRUE(chunk::ReadU32(root, "version", version));
  EXPECT_EQ(version, 0x10000000u);
  auto img = root.findChild("Plane0000");
  ASSERT_TRUE(img);
  auto rec = img->findChild("PiImage");
  ASSERT_TRUE(rec);
  std::string name;
  ASSERT_TRUE(chunk::ReadString(*rec, "tagName", name));
  EXPECT_EQ(name, "Layer 1");
  auto body = rec->findChild("Body");
  ASSERT_TRUE(body);
  chunk::ArrayView pixels;
  ASSERT_TRUE(chunk::ReadArray(*body, "Bitmap", 512, pixels));
  ASSERT_EQ(pixels.count, 4u);
  for (size_t i = 0; i < pixels.bytes(); ++i) ASSERT_EQ(pixels.begin[i], uint8_t(i * 7 / 512)) << i;
}
