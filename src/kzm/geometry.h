// Tile keys, rectangles and offsets of the document model.
//
// A cell is 8 x 8 pixels, a tile 16 x 16 cells (128 x 128 pixels). Pixel
// (X, Y) in tile space lies in tile (X >> 7, Y >> 7) (arithmetic shifts), cell
// ((X & 127) >> 3, (Y & 127) >> 3), pixel (X & 7, Y & 7) of that cell.
#pragma once
#include <algorithm>
#include <cstdint>

namespace kzm {

constexpr int kCellPixels = 64;
constexpr int kTileCells = 16;       // cells per tile row/column
constexpr int kTileCellCount = 256;  // cells per tile
constexpr int kTileSize = 128;       // pixels per tile row/column

// 32-bit tile key: column (signed 16-bit) in the low half, row in the high half.
struct TileLocate {
  uint32_t key = 0;

  constexpr TileLocate() = default;
  constexpr explicit TileLocate(uint32_t k) : key(k) {}
  static constexpr TileLocate FromColRow(int col, int row) {
    return TileLocate((uint32_t(uint16_t(int16_t(row))) << 16) | uint16_t(int16_t(col)));
  }
  // The tile holding tile-space pixel (x, y).
  static constexpr TileLocate ForPixel(int32_t x, int32_t y) { return FromColRow(x >> 7, y >> 7); }

  constexpr int Col() const { return int16_t(uint16_t(key & 0xFFFF)); }
  constexpr int Row() const { return int16_t(uint16_t(key >> 16)); }
  constexpr int32_t Left() const { return int32_t(Col()) * kTileSize; }
  constexpr int32_t Top() const { return int32_t(Row()) * kTileSize; }

  friend constexpr bool operator==(TileLocate a, TileLocate b) { return a.key == b.key; }
  friend constexpr bool operator!=(TileLocate a, TileLocate b) { return a.key != b.key; }
};

// Orders keys as unsigned 32-bit numbers: rows ascending, then columns, with
// negative rows/columns after all non-negative ones.
struct loccomp_t {
  constexpr bool operator()(TileLocate a, TileLocate b) const { return a.key < b.key; }
};

struct Point {
  int32_t x = 0, y = 0;
};

// (left, top, right, bottom), right and bottom exclusive; 16 bytes.
struct Rect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;

  bool IsEmpty() const { return right <= left || bottom <= top; }
  // Smallest rectangle holding both; an empty operand is ignored.
  Rect United(const Rect& o) const {
    if (o.IsEmpty()) return *this;
    if (IsEmpty()) return o;
    return Rect{std::min(left, o.left), std::min(top, o.top), std::max(right, o.right),
                std::max(bottom, o.bottom)};
  }
  Rect Moved(int32_t dx, int32_t dy) const { return Rect{left + dx, top + dy, right + dx, bottom + dy}; }
  static Rect OfTile(TileLocate l) { return Rect{l.Left(), l.Top(), l.Left() + kTileSize, l.Top() + kTileSize}; }
};

}  // namespace kzm
