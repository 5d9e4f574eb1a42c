#include "kzm/tile.h"

#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

#include "kzm/mempool.h"

namespace kzm {

namespace {

static_assert(8 + 256 * sizeof(Cell) <= 2056, "a cell array fits a 2056-byte block");

// A 2056-byte block: the element count 256, then 256 null handles.
Cell* NewCellArray() {
  void* block = PoolAlloc(PoolId::k2056);
  *static_cast<uint64_t*>(block) = kTileCellCount;
  Cell* cells = reinterpret_cast<Cell*>(static_cast<uint8_t*>(block) + 8);
  for (int i = 0; i < kTileCellCount; ++i) new (cells + i) Cell();
  return cells;
}

void DeleteCellArray(Cell* cells) {
  for (int i = 0; i < kTileCellCount; ++i) cells[i].~Cell();
  PoolFree(PoolId::k2056, reinterpret_cast<uint8_t*>(cells) - 8);
}

}  // namespace

// One read-only array of 256 fills of `value`, held by every uniform tile of
// that value. The table's lock guards the counts, so that a count that
// reaches zero and a tile that takes the array cannot cross.
struct Tile::Shared {
  PixelRGBA value;
  Cell* cells;
  size_t refs;
};

namespace {

struct SharedTable {
  std::mutex mutex;
  std::unordered_map<uint64_t, Tile::Shared*> byValue;
};

SharedTable& Table() {
  static SharedTable* table = new SharedTable;  // outlives every tile
  return *table;
}

Tile::Shared* AcquireShared(const PixelRGBA& v) {
  SharedTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  Tile::Shared*& s = table.byValue[v.Word()];
  if (!s) {
    std::unique_ptr<Tile::Shared> made(new Tile::Shared{v, nullptr, 0});
    made->cells = NewCellArray();
    try {
      for (int i = 0; i < kTileCellCount; ++i) SetFill(made->cells[i], v);
    } catch (...) {
      DeleteCellArray(made->cells);
      table.byValue.erase(v.Word());
      throw;
    }
    s = made.release();
  }
  ++s->refs;
  return s;
}

void ReleaseShared(Tile::Shared* s) {
  SharedTable& table = Table();
  {
    std::lock_guard<std::mutex> lock(table.mutex);
    if (--s->refs != 0) return;
    table.byValue.erase(s->value.Word());
  }
  DeleteCellArray(s->cells);
  delete s;
}

}  // namespace

Tile* Tile::Create(TileLocate loc, bool withCells) {
  Tile* t = new Tile(loc);
  if (withCells) {
    try {
      t->cells_ = NewCellArray();
    } catch (...) {
      delete t;
      throw;
    }
  }
  return t;
}

Tile* Tile::CreateFilled(TileLocate loc, const PixelRGBA& v) {
  TileRef t = TileRef::Adopt(Create(loc, true));
  for (int i = 0; i < kTileCellCount; ++i) SetFill(t->cells_[i], v);
  return t.release();
}

Tile::~Tile() { DestroyCells(); }

int Tile::AddRef() {
  std::lock_guard<std::mutex> lock(refMutex_);
  return ++refs_;
}

int Tile::Release() {
  int n;
  {
    std::lock_guard<std::mutex> lock(refMutex_);
    n = --refs_;
  }
  if (n == 0) delete this;
  return n;
}

void Tile::EnsureCells() {
  if (!cells_) cells_ = NewCellArray();
}

void Tile::DestroyCells() {
  if (!cells_) return;
  Cell* cells = cells_;
  cells_ = nullptr;
  if (Shared* s = shared_) {
    shared_ = nullptr;
    ReleaseShared(s);
    return;
  }
  DeleteCellArray(cells);
}

void Tile::ShareIfUniform() {
  if (!cells_ || shared_) return;
  const Cell& first = cells_[0];
  if (first.Kind() != Cell::kRGBAFill) return;
  const PixelRGBA v = first.FillValue();
  for (int i = 1; i < kTileCellCount; ++i)
    if (cells_[i].Kind() != Cell::kRGBAFill || cells_[i].FillValue() != v) return;
  Shared* s = AcquireShared(v);
  DeleteCellArray(cells_);
  cells_ = s->cells;
  shared_ = s;
}

bool Tile::Compact(const PixelRGBA& background) {
  if (!cells_) return false;
  if (shared_) return shared_->value == background;
  int counter = 0;
  for (int i = 0; i < kTileCellCount; ++i) {
    Cell& c = cells_[i];
    if (c.IsNull()) {  // reads as the layer's default pixel, which is the background here
      ++counter;
      continue;
    }
    if (c.impl()->CheckUniform(counter, background)) SetFill(c, *c.PixelAt(0, 0));
  }
  if (counter == kTileCellCount) return true;
  ShareIfUniform();
  return false;
}

}  // namespace kzm
