// Cells: pixel conversion, fill/bitmap promotion and compaction, handle
// operations, blend plumbing, gray combine operations.
#include <gtest/gtest.h>

#include <random>

#include "kzm/cell.h"
#include "kzm/mempool.h"
#include "kzm/tile.h"

namespace kzm {
namespace {

PixelRGBA Px(uint16_t r, uint16_t g, uint16_t b, uint16_t a) { return PixelRGBA{r, g, b, a}; }

std::vector<PixelRGBA> ReadCell(const Cell& c) {
  std::vector<PixelRGBA> v;
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) v.push_back(*c.PixelAt(x, y));
  return v;
}

TEST(PixelConversion, EdgeValues) {
  EXPECT_EQ(PixelFrom8(0x00FFFFFFu), Px(0, 0, 0, 0)) << "alpha 0 clears the colour";
  EXPECT_EQ(PixelFrom8(0xFFFFFFFFu), Px(16384, 16384, 16384, 16384));
  // Independent evaluation of (c * a * 33026) >> 17 and (a * 16449) >> 8.
  for (uint32_t a = 0; a < 256; a += 5)
    for (uint32_t c = 0; c < 256; c += 3) {
      const PixelRGBA p = PixelFrom8(c | (c << 8) | (c << 16) | (a << 24));
      EXPECT_EQ(p.r, uint16_t((uint64_t(c) * a * 33026) >> 17));
      EXPECT_EQ(p.a, uint16_t((a * 16449) >> 8));
      EXPECT_LE(p.r, p.a) << "premultiplied colour never exceeds alpha";
    }
}

TEST(Cell, SetPixelOnFillWithOwnValueStaysFill) {
  Cell c;
  SetFill(c, Px(1, 2, 3, 4));
  c.SetPixel(3, 5, Px(1, 2, 3, 4));
  EXPECT_EQ(c.Kind(), Cell::kRGBAFill);
}

TEST(Cell, PromotionKeepsTheOther63Pixels) {
  Cell c;
  const PixelRGBA v = Px(100, 200, 300, 400), w = Px(5, 6, 7, 8);
  SetFill(c, v);
  c.impl()->SetSaveStamp(17);
  c.SetPixel(6, 2, w);
  ASSERT_EQ(c.Kind(), Cell::kRGBABitmap);
  EXPECT_EQ(c.SaveStamp(), 17u) << "the bitmap inherits the fill's stamp";
  const auto px = ReadCell(c);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(px[i], i == 6 + 8 * 2 ? w : v) << i;
  EXPECT_EQ(c.impl()->Owner(), &c);
}

TEST(Cell, HandleOperationsChangeKindAndKeepStamp) {
  Cell c;
  EXPECT_EQ(c.Kind(), Cell::kNull);
  EXPECT_EQ(c.PixelAt(0, 0), nullptr);
  SetSolidBitmap(c, Px(1, 1, 1, 1));
  EXPECT_EQ(c.Kind(), Cell::kRGBABitmap);
  c.impl()->SetSaveStamp(9);
  SetFill(c, Px(2, 2, 2, 2));
  EXPECT_EQ(c.Kind(), Cell::kRGBAFill);
  EXPECT_EQ(c.SaveStamp(), 9u);
  PixelRGBA px[64];
  for (int i = 0; i < 64; ++i) px[i] = Px(uint16_t(i), 0, 0, 100);
  AssignPixels(c, px);
  EXPECT_EQ(c.Kind(), Cell::kRGBABitmap);
  EXPECT_EQ(c.SaveStamp(), 9u);
  EXPECT_EQ(*c.PixelAt(5, 1), px[13]);

  Cell d;
  AssignFrom(d, c);
  EXPECT_EQ(d.Kind(), Cell::kRGBABitmap);
  EXPECT_EQ(d.SaveStamp(), 9u);
  EXPECT_EQ(ReadCell(d), ReadCell(c));
  EXPECT_NE(d.BitmapPixels(), c.BitmapPixels()) << "a copy, not a shared block";
  Cell empty;
  AssignFrom(d, empty);
  EXPECT_TRUE(d.IsNull());

  Cell g;
  SetGrayFill(g, 300);
  AssignFrom(d, g);
  EXPECT_EQ(d.Kind(), Cell::kGrayFill);
  EXPECT_EQ(d.GrayFillValue(), 300);
}

TEST(Cell, CellsComeFromThePools) {
  const size_t used32 = PoolBlocksInUse(PoolId::k32), used512 = PoolBlocksInUse(PoolId::k512);
  const size_t used24 = PoolBlocksInUse(PoolId::k24);
  {
    Cell a, b, g;
    SetFill(a, Px(1, 2, 3, 4));
    EXPECT_EQ(PoolBlocksInUse(PoolId::k32), used32 + 1);
    EXPECT_EQ(PoolBlocksInUse(PoolId::k512), used512) << "a fill costs no pixel block";
    SetSolidBitmap(b, Px(1, 2, 3, 4));
    EXPECT_EQ(PoolBlocksInUse(PoolId::k512), used512 + 1);
    a.SetPixel(0, 0, Px(0, 0, 0, 0));
    EXPECT_EQ(PoolBlocksInUse(PoolId::k32), used32 + 2) << "the fill object went back";
    EXPECT_EQ(PoolBlocksInUse(PoolId::k512), used512 + 2);
    SetGrayFill(g, 5);
    EXPECT_EQ(PoolBlocksInUse(PoolId::k24), used24 + 1);
  }
  EXPECT_EQ(PoolBlocksInUse(PoolId::k32), used32);
  EXPECT_EQ(PoolBlocksInUse(PoolId::k512), used512);
  EXPECT_EQ(PoolBlocksInUse(PoolId::k24), used24);
}

TEST(Cell, InvertAndAmountKeepFillsAsFills) {
  Cell c;
  SetFill(c, Px(100, 1000, 0, 4000));
  c.impl()->Invert();
  EXPECT_EQ(c.Kind(), Cell::kRGBAFill);
  EXPECT_EQ(c.FillValue(), Px(3900, 3000, 4000, 4000));
  c.impl()->ApplyAmount(0);
  EXPECT_EQ(c.FillValue(), Px(3900, 3000, 4000, 4000));

  Cell g;
  SetGrayFill(g, 1000);
  g.impl()->Invert();
  EXPECT_EQ(g.GrayFillValue(), 15384);
  g.impl()->ApplyAmount(8192);
  EXPECT_EQ(g.GrayFillValue(), 15384 - 7692);
}

TEST(Cell, BitmapMaskPromotesFill) {
  Cell mask;
  uint16_t m[64] = {};
  m[9] = 16384;
  AssignGray(mask, m);
  Cell g;
  SetGrayFill(g, 1000);
  g.impl()->ApplyMask(mask);
  ASSERT_EQ(g.Kind(), Cell::kGrayBitmap);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(g.GrayPixels()[i], i == 9 ? 0 : 1000) << i;
}

TEST(GrayCombine, Operations) {
  EXPECT_EQ(CombineGray(1000, 3000, GrayOp::kSubtract), 0);
  EXPECT_EQ(CombineGray(3000, 1000, GrayOp::kSubtract), 2000);
  EXPECT_EQ(CombineGray(16000, 1000, GrayOp::kAdd), 16384);
  EXPECT_EQ(CombineGray(8192, 8192, GrayOp::kIntersect), 4096);
  EXPECT_EQ(CombineGray(8192, 8192, GrayOp::kUnion), 8192 + 4096);
  EXPECT_EQ(CombineGray(16384, 16384, GrayOp::kUnion), 16384);
  for (uint32_t v = 0; v <= 16384; v += 1024)
    for (uint32_t s = 0; s <= 16384; s += 512) {
      EXPECT_LE(CombineGray(uint16_t(v), uint16_t(s), GrayOp::kAdd), 16384);
      EXPECT_LE(CombineGray(uint16_t(v), uint16_t(s), GrayOp::kUnion), 16384);
    }
}

TEST(GrayCombine, CellsPromoteValueKeepsFill) {
  Cell g;
  SetGrayFill(g, 5000);
  auto* impl = static_cast<Cell::ImplGrayBase*>(g.impl());
  impl->CombineValue(1000, GrayOp::kSubtract);
  ASSERT_EQ(g.Kind(), Cell::kGrayFill);
  EXPECT_EQ(g.GrayFillValue(), 4000);
  uint16_t src[64];
  for (int i = 0; i < 64; ++i) src[i] = uint16_t(i * 100);
  static_cast<Cell::ImplGrayBase*>(g.impl())->CombineCells(src, GrayOp::kAdd);
  ASSERT_EQ(g.Kind(), Cell::kGrayBitmap);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(g.GrayPixels()[i], 4000 + i * 100);
}

TEST(Cell, BlendOnFillMatchesBlendOnEqualBitmap) {
  // Same destination held as a fill and as a bitmap: every blend entry must
  // give the same 64 pixels; BlendColor keeps the fill a fill.
  std::mt19937 rng(7);
  const Blend normal;
  for (int round = 0; round < 20; ++round) {
    const uint16_t a = uint16_t(rng() % 16385);
    const PixelRGBA dst = Px(uint16_t(a / 3), uint16_t(a / 2), a, a);
    PixelRGBA src[64];
    uint16_t mask[64];
    for (int i = 0; i < 64; ++i) {
      const uint16_t sa = uint16_t(rng() % 16385);
      src[i] = Px(uint16_t(rng() % (sa + 1)), uint16_t(rng() % (sa + 1)), uint16_t(rng() % (sa + 1)), sa);
      mask[i] = uint16_t(rng() % 16385);
    }
    const uint16_t op = uint16_t(rng() % 16385);
    for (int entry = 0; entry < 5; ++entry) {
      Cell f, b;
      SetFill(f, dst);
      SetSolidBitmap(b, dst);
      const blend::OpacityMask om{op, mask};
      switch (entry) {
        case 0: f.BlendColor(src[0], op, normal); b.BlendColor(src[0], op, normal); break;
        case 1: f.BlendPixels(src, op, normal); b.BlendPixels(src, op, normal); break;
        case 2: f.BlendPixelsMasked(src, op, mask, normal); b.BlendPixelsMasked(src, op, mask, normal); break;
        case 3: f.BlendColorMasked(src[1], op, mask, normal); b.BlendColorMasked(src[1], op, mask, normal); break;
        case 4: f.BlendPixelsPlain(src, om, normal); b.BlendPixelsPlain(src, om, normal); break;
      }
      EXPECT_EQ(f.Kind(), entry == 0 ? Cell::kRGBAFill : Cell::kRGBABitmap) << entry;
      EXPECT_EQ(ReadCell(f), ReadCell(b)) << "entry " << entry << " round " << round;
    }
  }
}

TEST(Cell, OpaqueNormalBlendReplacesPixels) {
  const Blend normal;
  Cell c;
  SetFill(c, Px(10, 20, 30, 16384));
  PixelRGBA src[64];
  for (int i = 0; i < 64; ++i) src[i] = Px(uint16_t(i * 100), 0, 16384, 16384);
  c.BlendPixels(src, 16384, normal);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(*c.PixelAt(i % 8, i / 8), src[i]);
  Cell f;
  SetFill(f, Px(10, 20, 30, 16384));
  f.BlendColor(Px(1, 2, 3, 16384), 16384, normal);
  EXPECT_EQ(f.FillValue(), Px(1, 2, 3, 16384));
}

TEST(Cell, From8UniformBecomesFill) {
  uint32_t src[8 * 20];
  for (auto& w : src) w = 0x80402010u;
  Cell c;
  AssignFrom8(c, src, 1, 20);
  ASSERT_EQ(c.Kind(), Cell::kRGBAFill);
  EXPECT_EQ(c.FillValue(), PixelFrom8(0x80402010u));
  AssignFrom8(c, src, 1, 20, /*allowFill=*/false);
  EXPECT_EQ(c.Kind(), Cell::kRGBABitmap);
  src[3 + 20 * 7] = 0xFF000000u;
  AssignFrom8(c, src, 1, 20);
  ASSERT_EQ(c.Kind(), Cell::kRGBABitmap);
  EXPECT_EQ(*c.PixelAt(3, 7), PixelFrom8(0xFF000000u));
  EXPECT_EQ(*c.PixelAt(2, 7), PixelFrom8(0x80402010u));
}

TEST(Cell, From8StepsAndClipping) {
  // Source 24 x 20: column step 2 reads every other pixel.
  uint32_t src[24 * 20];
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 24; ++x) src[x + 24 * y] = uint32_t(x) | uint32_t(y) << 8 | 0xFF000000u;
  Cell c;
  AssignFrom8(c, src + 1 + 24 * 2, 2, 48);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) EXPECT_EQ(*c.PixelAt(x, y), PixelFrom8(src[(1 + 2 * x) + 24 * (2 + 2 * y)]));

  const PixelRGBA def = Px(1, 2, 3, 4);
  const Rect clip{2, 1, 5, 7};
  AssignFrom8Clipped(c, src + 24 * 3, 1, 24, clip, def);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      const bool in = x >= 2 && x < 5 && y >= 1 && y < 7;
      EXPECT_EQ(*c.PixelAt(x, y), in ? PixelFrom8(src[(x - 2) + 24 * (3 + y - 1)]) : def) << x << "," << y;
    }
  AssignFrom8Clipped(c, src, 1, 24, Rect{0, 0, 0, 0}, def);
  ASSERT_EQ(c.Kind(), Cell::kRGBAFill) << "nothing inside: a fill of the default";
  EXPECT_EQ(c.FillValue(), def);
}

}  // namespace
}  // namespace kzm
