// The paper pattern record: defaults, names, sizes and the fallbacks of
// newer records.
#include <gtest/gtest.h>

#include "chunk/chunk_values.h"
#include "kzm/bgptn.h"
#include "native/native_test_util.h"

namespace {

std::shared_ptr<chunk::ChunkSA> SavedPattern(const BGPtnInfo& p) {
  return nt::Parse(nt::WriteFile([&](chunk::ChunkWriter& root) {
    chunk::ChunkWriter& outer = root.beginChild("Bg");
    SaveBGPtnInfo(p, outer);
    outer.end();
  }));
}

std::shared_ptr<chunk::ChunkSA> HandMade(const std::function<void(chunk::ChunkWriter&)>& fill) {
  return nt::Parse(nt::WriteFile([&](chunk::ChunkWriter& root) {
    chunk::ChunkWriter& outer = root.beginChild("Bg");
    chunk::ChunkWriter& bg = outer.beginChild("Bg");
    fill(bg);
    bg.end();
    outer.end();
  }));
}

TEST(BGPtn, DefaultValues) {
  const BGPtnInfo d = BGPtnInfo::Default();
  EXPECT_EQ(1.0f, d.color0[0]);
  EXPECT_EQ(1.0f, d.color0[3]);
  EXPECT_EQ(0.7f, d.color1[0]);
  EXPECT_EQ(0.7f, d.color1[1]);
  EXPECT_EQ(1.0f, d.color1[2]);
  EXPECT_EQ(0u, d.kind);
  EXPECT_EQ(1u, d.move);
  EXPECT_EQ(64u, d.size);
}

TEST(BGPtn, EveryKindMoveAndSizeRoundTrips) {
  for (uint32_t kind = 0; kind < 4; ++kind)
    for (uint32_t move = 0; move < 3; ++move)
      for (uint32_t size : {16u, 32u, 64u, 128u, 256u, 512u}) {
        BGPtnInfo p;
        p.color0[0] = 0.25f;
        p.color0[3] = 0.5f;
        p.color1[2] = 0.125f;
        p.kind = kind;
        p.move = move;
        p.size = size;
        auto tree = SavedPattern(p);
        BGPtnInfo back;
        back.size = 1;
        ASSERT_EQ(0, LoadBGPtnInfo(back, *tree->findChild("Bg")));
        EXPECT_TRUE(back == p) << kind << " " << move << " " << size;
      }
}

TEST(BGPtn, SavedValuesAreNamesInOrder) {
  auto tree = SavedPattern(BGPtnInfo::Default());
  auto bg = tree->findChild("Bg")->findChild("Bg");
  ASSERT_TRUE(bg);
  EXPECT_EQ((std::vector<std::string>{"version", "Color0", "Color1", "Pattern", "PtnSize", "PtnMove"}),
            bg->valueNames());
  std::string s;
  ASSERT_TRUE(chunk::ReadString(*bg, "Pattern", s));
  EXPECT_EQ("Fill", s);
  ASSERT_TRUE(chunk::ReadString(*bg, "PtnMove", s));
  EXPECT_EQ("All", s);
}

TEST(BGPtn, KindOrMoveWithoutNameIsLeftOut) {
  BGPtnInfo p;
  p.kind = 9;
  p.move = 3;
  auto tree = SavedPattern(p);
  auto bg = tree->findChild("Bg")->findChild("Bg");
  EXPECT_EQ((std::vector<std::string>{"version", "Color0", "Color1", "PtnSize"}), bg->valueNames());
  BGPtnInfo back;
  EXPECT_EQ(-1, LoadBGPtnInfo(back, *tree->findChild("Bg")));
}

void Standard(chunk::ChunkWriter& w, uint32_t version, const char* pattern, uint32_t size, const char* move) {
  w.writeU32("version", version);
  if (pattern) w.writeString("Pattern", pattern);
  w.writeU32("PtnSize", size);
  if (move) w.writeString("PtnMove", move);
}

TEST(BGPtn, LoadResultsAndFallbacks) {
  struct Case {
    const char* what;
    uint32_t version;
    const char* pattern;
    uint32_t size;
    const char* move;
    int result;
    uint32_t kind, sizeOut, moveOut;
  };
  const Case cases[] = {
      {"plain", 0x10000000, "Check", 256, "NoMove", 0, 3, 256, 2},
      {"size 48", 0x10000000, "Line", 48, "Fix", 1, 0, 0, 0},
      {"size 48 newer", 0x10000001, "Line", 48, "Fix", 0, 1, 32, 0},
      {"pattern unknown", 0x10000000, "Dots", 64, "Fix", 1, 0, 0, 0},
      {"pattern unknown newer", 0x20000000, "Dots", 64, "Fix", 0, 0, 64, 0},
      {"move unknown", 0x10000000, "Cross", 64, "Spin", 1, 0, 0, 0},
      {"move unknown newer", 0x10000001, "Cross", 16, "Spin", 0, 2, 16, 1},
      {"size all ones", 0x10000000, "Fill", 0xFFFFFFFF, "All", -1, 0, 0, 0},
      {"no pattern", 0x10000000, nullptr, 64, "All", -1, 0, 0, 0},
      {"no move", 0x10000000, "Fill", 64, nullptr, -1, 0, 0, 0},
      {"names are case-sensitive", 0x10000000, "fill", 64, "All", 1, 0, 0, 0},
  };
  for (const Case& c : cases) {
    auto tree = HandMade([&](chunk::ChunkWriter& w) { Standard(w, c.version, c.pattern, c.size, c.move); });
    BGPtnInfo out;
    EXPECT_EQ(c.result, LoadBGPtnInfo(out, *tree->findChild("Bg"))) << c.what;
    if (c.result == 0) {
      EXPECT_EQ(c.kind, out.kind) << c.what;
      EXPECT_EQ(c.sizeOut, out.size) << c.what;
      EXPECT_EQ(c.moveOut, out.move) << c.what;
    }
  }
}

TEST(BGPtn, MissingColoursAndVersionTakeDefaults) {
  const float c0[4] = {0.1f, 0.2f, 0.3f, 0.4f};
  auto tree = HandMade([&](chunk::ChunkWriter& w) {
    w.writeValue("Color0", sizeof c0, c0);
    w.writeString("Pattern", "Line");
    w.writeU32("PtnSize", 48);  // without a version the record is not newer: 48 fails
    w.writeString("PtnMove", "Fix");
  });
  BGPtnInfo out;
  EXPECT_EQ(1, LoadBGPtnInfo(out, *tree->findChild("Bg")));

  tree = HandMade([&](chunk::ChunkWriter& w) {
    w.writeValue("Color0", sizeof c0, c0);
    w.writeString("Pattern", "Line");
    w.writeU32("PtnSize", 128);
    w.writeString("PtnMove", "Fix");
  });
  ASSERT_EQ(0, LoadBGPtnInfo(out, *tree->findChild("Bg")));
  EXPECT_EQ(0.1f, out.color0[0]);
  EXPECT_EQ(0.4f, out.color0[3]);
  EXPECT_EQ(0.7f, out.color1[0]);
  EXPECT_EQ(0.7f, out.color1[1]);
  EXPECT_EQ(1.0f, out.color1[2]);
  EXPECT_EQ(1.0f, out.color1[3]);
}

TEST(BGPtn, NoInnerRecord) {
  auto tree = nt::Parse(nt::WriteFile([](chunk::ChunkWriter& root) { root.beginChild("Bg").end(); }));
  BGPtnInfo out;
  EXPECT_EQ(-1, LoadBGPtnInfo(out, *tree->findChild("Bg")));
}

}  // namespace
