// The public pixel forms and the document's cells, both ways.
#pragma once
#include <cstddef>
#include <cstdint>

#include "blend/pixel.h"

namespace api {

// Bytes of one pixel of a form; 0 for a value that is not a form.
size_t PixelBytes(int form);
// n cells to the form at `out` (PixelBytes(form) * n bytes).
void CellsToForm(const PixelRGBA* cells, size_t n, int form, void* out);
// n pixels of the form at `in` to cells.
void FormToCells(const void* in, size_t n, int form, PixelRGBA* cells);

}  // namespace api
