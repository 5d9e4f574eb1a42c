// Composing a document: the job-side entry to folder composition.
//
// The composition itself is PiFolder::Compose (kzm/pi_folder.h): it brings a
// folder's merged tiles up to date from its visible children, child folders
// first, so composing the root yields the merged image of the document, read
// back through PixRandIterator over the root.
#pragma once
#include <cstdint>

#include "kzm/image_context.h"
#include "kzm/progress.h"

namespace kzm {

// Composes the document's root folder with `progress` and returns the low
// byte of the result: 1 when every tile was composed, 0 when cancelled, when
// a child folder failed or when the document has no root.
uint8_t ComposeRoot(ImageContext& doc, const ProgressFunc& progress);

}  // namespace kzm
