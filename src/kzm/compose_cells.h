// Composition of one cell of the merged image from its sources: the
// cell-level steps of the running composite (composite.cpp). Internal to the
// model library.
//
// A source area of one colour (no tile, a fill cell, or cells that all read
// the same value) is blended as that colour, which keeps fill cells fills;
// anything else is blended as a 64-pixel block, gathered across cell borders
// when the source's offset is not a multiple of 8.
#pragma once
#include <algorithm>
#include <cstring>

#include "blend/kernels.h"
#include "kzm/plane.h"
#include "kzm/tile.h"

namespace kzm {

// Tile keys hold signed 16-bit columns and rows.
constexpr int64_t kIndexMin = -32768;
constexpr int64_t kIndexMax = 32767;

constexpr PixelRGBA kZero{0, 0, 0, 0};

// One plane as the merge of a tile reads it.
struct ComposeSource {
  Plane::Impl* impl = nullptr;
  kzm::Blend blend;
  uint16_t opacity = 16384;
  PixelRGBA def{0, 0, 0, 0};
  // The plane's tile space at folder tile-space X is X + (dx, dy).
  int64_t dx = 0, dy = 0;
  // Index of the clip base this plane blends over (-1: none).
  int clipBase = -1;
};

inline ComposeSource SourceFor(Plane::Impl* impl, const Point& folderOffset) {
  ComposeSource s;
  s.impl = impl;
  s.blend = *impl->Blend();
  s.opacity = impl->Opacity();
  s.def = impl->DefaultPixel();
  const Point o = impl->Offset();
  s.dx = int64_t(o.x) - folderOffset.x;
  s.dy = int64_t(o.y) - folderOffset.y;
  return s;
}

// The (at most) 2 x 2 tiles of one source under one folder tile.
struct TileWindow {
  int64_t col0 = 0, row0 = 0;
  TileRef tiles[2][2];  // [row][col]; null where the source has no tile

  // The source's cell at cell coordinates (cx, cy) of its tile space, or null
  // when it has none. The coordinates must lie in the window.
  const Cell* CellAt(int64_t cx, int64_t cy) const {
    const Tile* t = tiles[(cy >> 4) - row0][(cx >> 4) - col0].get();
    if (!t || !t->HasCells()) return nullptr;
    const Cell& c = t->At(int(cx & 15), int(cy & 15));
    return c.IsNull() ? nullptr : &c;
  }
};

inline void FetchWindow(const ComposeSource& s, TileLocate folderLoc, TileWindow& w) {
  const int64_t x0 = int64_t(folderLoc.Left()) + s.dx, y0 = int64_t(folderLoc.Top()) + s.dy;
  w.col0 = x0 >> 7;
  w.row0 = y0 >> 7;
  const int64_t col1 = (x0 + 127) >> 7, row1 = (y0 + 127) >> 7;
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 2; ++c) {
      const int64_t col = w.col0 + c, row = w.row0 + r;
      w.tiles[r][c] = TileRef();
      if (col > col1 || row > row1) continue;
      if (col < kIndexMin || col > kIndexMax || row < kIndexMin || row > kIndexMax) continue;
      const TileLocate loc = TileLocate::FromColRow(int(col), int(row));
      w.tiles[r][c] = TileRef::Share(s.impl->LookupTile(loc));
    }
}

// A cell that reads as one value: none (the default pixel), a fill, or a
// kind that holds no RGBA pixels. False for a bitmap with pixels.
inline bool UniformValue(const Cell* c, const PixelRGBA& def, PixelRGBA& v) {
  if (c) {
    const int k = c->Kind();
    if (k == Cell::kRGBAFill) {
      v = c->FillValue();
      return true;
    }
    if (k == Cell::kRGBABitmap && c->BitmapPixels()) return false;
  }
  v = def;
  return true;
}

inline void ReadPixelRow(const Cell* c, const PixelRGBA& def, int py, int px0, int n, PixelRGBA* out) {
  PixelRGBA v;
  if (UniformValue(c, def, v)) {
    std::fill(out, out + n, v);
    return;
  }
  std::memcpy(out, c->BitmapPixels() + 8 * py + px0, size_t(n) * sizeof(PixelRGBA));
}

// Coverage counterparts for a lockdonly mask: cells give their alpha.
inline bool UniformCoverage(const Cell* c, const PixelRGBA& def, uint16_t& v) {
  if (c) {
    switch (c->Kind()) {
      case Cell::kRGBAFill:
        v = c->FillValue().a;
        return true;
      case Cell::kRGBABitmap:
        if (c->BitmapPixels()) return false;
        break;
      default:
        break;
    }
  }
  v = def.a;
  return true;
}

inline void ReadCoverageRow(const Cell* c, const PixelRGBA& def, int py, int px0, int n, uint16_t* out) {
  uint16_t v;
  if (UniformCoverage(c, def, v)) {
    std::fill(out, out + n, v);
    return;
  }
  const PixelRGBA* p = c->BitmapPixels() + 8 * py + px0;
  for (int i = 0; i < n; ++i) out[i] = p[i].a;
}

// The up to four source cells under the 8 x 8 area whose top-left pixel is
// (x, y) in the source's tile space; sx, sy receive the sub-cell offset.
struct Quad {
  const Cell* c[2][2] = {};  // [row][col]
  int sx = 0, sy = 0;
  int nx = 1, ny = 1;
};

inline void QuadAt(const TileWindow& w, int64_t x, int64_t y, Quad& q) {
  const int64_t cx = x >> 3, cy = y >> 3;
  q.sx = int(x & 7);
  q.sy = int(y & 7);
  q.nx = q.sx ? 2 : 1;
  q.ny = q.sy ? 2 : 1;
  for (int r = 0; r < q.ny; ++r)
    for (int c = 0; c < q.nx; ++c) q.c[r][c] = w.CellAt(cx + c, cy + r);
}

// Starts loading the pixels of the source cell at (x, y) where it is one
// bitmap cell: the kernels otherwise wait on memory for most of their time.
inline void PrefetchSource(const TileWindow& w, int64_t x, int64_t y) {
  if ((x & 7) || (y & 7)) return;
  const Cell* c = w.CellAt(x >> 3, y >> 3);
  if (!c || c->Kind() != Cell::kRGBABitmap) return;
  const char* p = reinterpret_cast<const char*>(c->BitmapPixels());
  if (!p) return;
  for (int i = 0; i < 512; i += 64) Prefetch(p + i);
}

// What a source gives one folder cell: one colour, or 64 pixels.
struct CellSource {
  bool uniform = true;
  PixelRGBA color{0, 0, 0, 0};
  const PixelRGBA* px = nullptr;
};

inline CellSource ReadSource(const TileWindow& w, const PixelRGBA& def, int64_t x, int64_t y, PixelRGBA* buf) {
  Quad q;
  QuadAt(w, x, y, q);
  CellSource s;
  if (q.nx == 1 && q.ny == 1) {
    if (!UniformValue(q.c[0][0], def, s.color)) {
      s.uniform = false;
      s.px = q.c[0][0]->BitmapPixels();
    }
    return s;
  }
  bool uniform = UniformValue(q.c[0][0], def, s.color);
  for (int r = 0; r < q.ny && uniform; ++r)
    for (int c = 0; c < q.nx && uniform; ++c) {
      PixelRGBA v;
      uniform = UniformValue(q.c[r][c], def, v) && v == s.color;
    }
  if (uniform) return s;
  for (int row = 0; row < 8; ++row) {
    const int y8 = q.sy + row;
    const Cell* const* cells = q.c[y8 >> 3];
    PixelRGBA* out = buf + 8 * row;
    ReadPixelRow(cells[0], def, y8 & 7, q.sx, 8 - q.sx, out);
    if (q.sx) ReadPixelRow(cells[1], def, y8 & 7, 0, q.sx, out + 8 - q.sx);
  }
  s.uniform = false;
  s.px = buf;
  return s;
}

// The clip base's coverage over one folder cell: true with one value in
// `single`, false with 64 values in `mask`.
inline bool ReadCoverage(const TileWindow& w, const PixelRGBA& def, int64_t x, int64_t y, uint16_t& single,
                  uint16_t* mask) {
  Quad q;
  QuadAt(w, x, y, q);
  bool uniform = UniformCoverage(q.c[0][0], def, single);
  for (int r = 0; r < q.ny && uniform; ++r)
    for (int c = 0; c < q.nx && uniform; ++c) {
      uint16_t v;
      uniform = UniformCoverage(q.c[r][c], def, v) && v == single;
    }
  if (uniform) return true;
  for (int row = 0; row < 8; ++row) {
    const int y8 = q.sy + row;
    const Cell* const* cells = q.c[y8 >> 3];
    uint16_t* out = mask + 8 * row;
    ReadCoverageRow(cells[0], def, y8 & 7, q.sx, 8 - q.sx, out);
    if (q.sx) ReadCoverageRow(cells[1], def, y8 & 7, 0, q.sx, out + 8 - q.sx);
  }
  return false;
}

// A zero source leaves every destination pixel as it is in all alpha modes
// but "lerp", except pixels without alpha that still carry colour, which the
// kernels clear. Sparse layers are mostly such sources, so this saves a
// kernel run over 64 pixels per empty cell.
inline bool LeavesUnchanged(const Cell& dst, const CellSource& s, const Blend& b) {
  if (!s.uniform || s.color.Word() != 0 || b.word1 == 1) return false;
  switch (dst.Kind()) {
    case Cell::kRGBAFill: {
      const PixelRGBA& v = dst.FillValue();
      return v.a != 0 || v.Word() == 0;
    }
    case Cell::kRGBABitmap: {
      const PixelRGBA* px = dst.BitmapPixels();
      if (!px) return true;
      uint64_t bad = 0;
      for (int i = 0; i < 64; ++i) {
        const uint64_t w = px[i].Word();
        bad |= uint64_t((w >> 48) == 0) & uint64_t(w != 0);
      }
      return bad == 0;
    }
    default:
      return false;
  }
}

// Blends one source onto a folder cell. The first source of a tile blends
// onto a transparent cell, whatever the cell held before.
inline void BlendCell(Cell& dst, bool first, const CellSource& s, uint16_t opacity, const uint16_t* mask,
               const Blend& b) {
  if (!first && LeavesUnchanged(dst, s, b)) return;
  if (first || !dst.IsRGBA()) {
    PixelRGBA* px = !s.uniform && dst.Kind() == Cell::kRGBABitmap ? dst.MutableBitmapPixels() : nullptr;
    if (px)
      std::memset(static_cast<void*>(px), 0, 64 * sizeof(PixelRGBA));
    else
      SetFill(dst, kZero);
  }
  if (s.uniform) {
    if (mask)
      dst.BlendColorMasked(s.color, opacity, mask, b);
    else
      dst.BlendColor(s.color, opacity, b);
  } else if (mask) {
    dst.BlendPixelsMasked(s.px, opacity, mask, b);
  } else {
    dst.BlendPixels(s.px, opacity, b);
  }
}

}  // namespace kzm
