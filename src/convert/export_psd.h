// .yvn -> PSD, a layer at a time: each layer is read, written as a PSD layer
// and blended into the running merged image, then let go.
//
// The PSD's layer records precede all channel data, but only a record's
// rectangle and lengths depend on the layer's pixels: the records are
// written from the layers' heads and their rectangles filled in as each
// layer arrives (the writer seeks back into its own output). The merged
// image is composed as the layers pass (kzm/composite.h) and written last.
#pragma once
#include <cstdint>
#include <string>

#include "convert/jobs.h"
#include "kzm/geometry.h"
#include "kzm/progress.h"

namespace iio {
class ImageDestBase;
}
namespace kzm {
class NativeReader;
class PiImage;
}

// ExportPsd's answer when a layer's whole record gave it other properties
// than its head did: the reader's heads are right now, and the file is to be
// written again from the start.
constexpr int kExportAgain = -100;

// Writes the PSD of the file `reader` has opened to `stream`, `depth` (8 or
// 16) bits a sample; a canvas over kMaxCanvasSide pixels a side, or a layer
// over it, as a large document (version 2). `canvas` is the document's
// canvas (non-empty, within kMaxLargeCanvasSide). Progress: (k, n + 1,
// done, total) for the rows of layer k of n, (n, n + 1, ...) for the merged
// image; when it returns false, the export stops at the next row or layer
// with kErrCancelled. Returns 0, kExportAgain, or the code of the error
// line: a read failure of a layer (1: damaged), kErrTooLarge, kErrWrite or
// kErrCancelled, whose cause in a few words goes to *detail where given.
// Pascal layer names are written in `nameCharset` (iconv names, "" for
// UTF-8).
int ExportPsd(kzm::NativeReader& reader, const kzm::Rect& canvas, uint32_t depth, const ConversionBudget& budget,
              iio::ImageDestBase& stream, const ProgressFunc& progress, const std::string& nameCharset,
              std::string* detail = nullptr);

// The rectangle a layer is written over: the smallest one (document
// positions) around the pixels a PSD reader would see as content (alpha
// above 0 for a transparent default pixel, else any pixel that differs from
// the default), together with the whole canvas where the default colour is
// not transparent (it shows everywhere).
kzm::Rect ContentRect(const kzm::PiImage& img, const kzm::Rect& canvas);

// Loads every layer once so that each head is what the whole record says:
// 0, or the read failure's code.
int CorrectHeads(kzm::NativeReader& reader);

// The canvas of a file whose root record fixes none: the union of the
// layers' tile bounds, each layer loaded once. 0, or the read failure's
// code.
int ComputeCanvas(kzm::NativeReader& reader, kzm::Rect& canvas);
