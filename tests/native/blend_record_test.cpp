// The "Blend" record: exact bytes, names, flags and the lenient reading of
// newer versions.
#include <gtest/gtest.h>

#include "blend/modes.h"
#include "chunk/chunk_values.h"
#include "kzm/record_blend.h"
#include "native/native_test_util.h"

namespace {

using nt::Bytes;

Bytes BlendRecordFile(const kzm::Blend& b, int* result) {
  return nt::WriteFile([&](chunk::ChunkWriter& root) {
    chunk::ChunkWriter& img = root.beginChild("PiImage");
    *result = kzm::SaveBlendRecord(b, img);
    img.end();
  });
}

// The record as it must appear in the file, spelled out independently.
Bytes ValueBytes(const std::string& name, const Bytes& data) {
  Bytes b;
  nt::PutString(b, name);
  nt::PutU32(b, uint32_t(data.size()));
  b.insert(b.end(), data.begin(), data.end());
  b.resize(b.size() + ((4 - data.size() % 4) % 4), 0);
  return b;
}
Bytes U32Data(uint32_t v) {
  Bytes b;
  nt::PutU32(b, v);
  return b;
}
void Append(Bytes& a, const Bytes& b) { a.insert(a.end(), b.begin(), b.end()); }

TEST(BlendRecord, MulWithClipAndLockHasThisExactLayout) {
  kzm::Blend b;
  b.word0 = 0x00018003;
  b.word1 = 4;
  int result = -9;
  const Bytes file = BlendRecordFile(b, &result);
  EXPECT_EQ(0, result);

  Bytes expect;
  nt::PutU32(expect, 0xFAEACDA0);
  nt::PutString(expect, "Blend");
  Append(expect, ValueBytes("version", U32Data(0x10000000)));
  Append(expect, ValueBytes("TypeColorEmbShader", nt::StringValueData("mul")));
  Append(expect, ValueBytes("lockdonly", U32Data(0)));
  Append(expect, ValueBytes("clip_dsta", U32Data(1)));
  Append(expect, ValueBytes("lock_a___", U32Data(1)));
  Append(expect, ValueBytes("TypeAlphaEmbShader", nt::StringValueData("modulate")));
  nt::PutU32(expect, 0);  // end of values
  nt::PutU32(expect, 0xFAEACDA0);
  nt::PutU32(expect, 0);
  EXPECT_TRUE(nt::Contains(file, expect));
}

TEST(BlendRecord, ColourIdWithoutNameWritesOnlyVersion) {
  kzm::Blend b;
  b.word0 = 30;
  int result = -9;
  const Bytes file = BlendRecordFile(b, &result);
  EXPECT_EQ(1, result);
  Bytes expect;
  nt::PutU32(expect, 0xFAEACDA0);
  nt::PutString(expect, "Blend");
  Append(expect, ValueBytes("version", U32Data(0x10000000)));
  nt::PutU32(expect, 0);
  nt::PutU32(expect, 0xFAEACDA0);
  nt::PutU32(expect, 0);
  EXPECT_TRUE(nt::Contains(file, expect));

  auto tree = nt::Parse(file);
  auto rec = tree->findChild("PiImage")->findChild("Blend");
  ASSERT_TRUE(rec);
  EXPECT_EQ(std::vector<std::string>{"version"}, rec->valueNames());
}

TEST(BlendRecord, AlphaModeWithoutNameStopsAfterTheFlags) {
  kzm::Blend b;
  b.word0 = 3;
  b.word1 = 3;  // not an alpha mode
  int result = -9;
  auto tree = nt::Parse(BlendRecordFile(b, &result));
  EXPECT_EQ(1, result);
  auto rec = tree->findChild("PiImage")->findChild("Blend");
  ASSERT_TRUE(rec);
  EXPECT_EQ((std::vector<std::string>{"version", "TypeColorEmbShader", "lockdonly", "clip_dsta", "lock_a___"}),
            rec->valueNames());
}

TEST(BlendRecord, EveryNamedModeAndFlagCombinationRoundTrips) {
  int colourCount = 0, alphaCount = 0;
  const blend::ColorModeRow* colours = blend::ColorModeTable(&colourCount);
  const blend::AlphaModeRow* alphas = blend::AlphaModeTable(&alphaCount);
  for (int c = 0; c < colourCount; ++c)
    for (uint32_t flags : {0u, 0x8000u, 0x10000u, 0x20000u, 0x38000u})
      for (int a = 0; a < alphaCount; a += (c % 3) + 1) {
        kzm::Blend b;
        b.word0 = colours[c].id | flags;
        b.word1 = alphas[a].id;
        int result = -9;
        auto tree = nt::Parse(BlendRecordFile(b, &result));
        ASSERT_EQ(0, result);
        kzm::Blend back;
        back.word0 = 77;
        ASSERT_EQ(0, kzm::LoadBlendRecord(back, *tree->findChild("PiImage")));
        EXPECT_EQ(b, back) << colours[c].name << " " << alphas[a].name << " " << flags;
      }
}

// A "Blend" record holding whatever `fill` writes.
std::shared_ptr<chunk::ChunkSA> HandMadeRecord(const std::function<void(chunk::ChunkWriter&)>& fill) {
  return nt::Parse(nt::WriteFile([&](chunk::ChunkWriter& root) {
    chunk::ChunkWriter& img = root.beginChild("PiImage");
    chunk::ChunkWriter& rec = img.beginChild("Blend");
    fill(rec);
    rec.end();
    img.end();
  }));
}

TEST(BlendRecord, LoadResults) {
  const kzm::Blend start{0x12, 8};
  struct Case {
    const char* what;
    std::function<void(chunk::ChunkWriter&)> fill;
    int result;
    kzm::Blend after;
  };
  const Case cases[] = {
      {"no version", [](chunk::ChunkWriter& w) { w.writeString("TypeColorEmbShader", "mul"); }, -1, start},
      {"version 0",
       [](chunk::ChunkWriter& w) {
         w.writeU32("version", 0);
         w.writeString("TypeColorEmbShader", "mul");
       },
       -1, start},
      {"newer version",
       [](chunk::ChunkWriter& w) {
         w.writeU32("version", 0x10000001);
         w.writeString("TypeColorEmbShader", "mul");
         w.writeString("TypeAlphaEmbShader", "lerp");
       },
       -2, start},
      {"unknown colour",
       [](chunk::ChunkWriter& w) {
         w.writeU32("version", 0x10000000);
         w.writeString("TypeColorEmbShader", "Mul");
         w.writeString("TypeAlphaEmbShader", "lerp");
       },
       1, start},
      {"no colour", [](chunk::ChunkWriter& w) { w.writeU32("version", 0x10000000); }, 1, start},
      {"unknown alpha keeps the new word 0",
       [](chunk::ChunkWriter& w) {
         w.writeU32("version", 0x10000000);
         w.writeString("TypeColorEmbShader", "screen");
         w.writeBool("clip_dsta", true);
         w.writeString("TypeAlphaEmbShader", "nope");
       },
       1, kzm::Blend{6 | 0x10000, 8}},
      {"flags absent or zero are clear; any non-zero word sets",
       [](chunk::ChunkWriter& w) {
         w.writeU32("version", 0x10000000);
         w.writeString("TypeColorEmbShader", "luminance");
         w.writeU32("lockdonly", 7);
         w.writeBool("clip_dsta", false);
         w.writeString("TypeAlphaEmbShader", "ex7");
       },
       0, kzm::Blend{53 | 0x20000, 0x8000}},
  };
  for (const Case& c : cases) {
    auto tree = HandMadeRecord(c.fill);
    kzm::Blend b = start;
    EXPECT_EQ(c.result, kzm::LoadBlendRecord(b, *tree->findChild("PiImage"))) << c.what;
    EXPECT_EQ(c.after, b) << c.what;
  }
  // No record at all.
  auto tree = nt::Parse(nt::WriteFile([](chunk::ChunkWriter& root) { root.beginChild("PiImage").end(); }));
  kzm::Blend b = start;
  EXPECT_EQ(-1, kzm::LoadBlendRecord(b, *tree->findChild("PiImage")));
  EXPECT_EQ(start, b);
}

}  // namespace
