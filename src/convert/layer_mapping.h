// A layer's properties between the two formats: a PSD layer record in the
// format's own terms (iio::layer_param_t: blend key, clipping and opacity
// bytes, visibility, the locks) and a document's layer (kzm::ImageProperties:
// the native blend with its clipping flags, opacity of 0 .. 16384, the two
// native locks). Every conversion maps them here, and only here.
#pragma once
#include "iio/layer_param.h"
#include "kzm/record_layer.h"

// PSD -> native. The key's colour mode (blend/modes.h; unknown keys are
// normal), clipped to the base below when the clipping byte is set; the
// opacity byte as the smallest native opacity that maps back to it; "lock
// all" locks both the pixels and the transparency. The rectangle, channels
// and mask are the reader's business.
kzm::ImageProperties PropertiesOfRecord(const iio::layer_param_t& record);

// Native -> PSD: the key of the colour mode (normal for a mode without one),
// the clipping byte set when the layer is clipped and masked by its base,
// the opacity scaled down to a byte (rounded down), the two locks. The
// rectangle is left for the writer.
iio::layer_param_t RecordOfProperties(const kzm::ImageProperties& props);
