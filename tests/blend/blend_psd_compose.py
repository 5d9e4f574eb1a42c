# Composes a PSD's layers with psd-tools and compares the result with the
# merged image stored in the file, one horizontal strip at a time: strip k
# is where layer k + 1 lies over the base layer 0.
#
# Usage: blend_psd_compose.py <file.psd> <strip height>
# Prints per strip: "strip <k> <key as hex> <premultiplied> <alpha> <straight>",
# the largest differences in units of 1/255; <straight> only counts pixels
# where both images have alpha of at least one half.
import sys

import numpy as np
from psd_tools import PSDImage
from psd_tools.composite import composite

psd = PSDImage.open(sys.argv[1])
strip = int(sys.argv[2])

color, _, alpha = composite(psd, force=True)
color = np.asarray(color, dtype=np.float64)
alpha = np.asarray(alpha, dtype=np.float64)
# The merged image as stored: colour matted on white (s = c * a + 1 - a),
# taken off here in floating point rather than through psd-tools' 8-bit
# reading of it, so that only the writer's own rounding remains.
raw = psd._record.image_data.get_data(psd._record.header, False)
merged = np.frombuffer(raw, np.uint8).reshape((-1, psd.height, psd.width))
merged = merged.transpose((1, 2, 0))[:, :, :4].astype(np.float64) / 255.0
ours_a = merged[:, :, 3:4]
ours_c = np.where(ours_a > 0, (merged[:, :, :3] - 1.0 + ours_a) / np.maximum(ours_a, 1e-9), 0.0)

layers = list(psd)
for k in range(1, len(layers)):
    rows = slice((k - 1) * strip, k * strip)
    pm = np.abs(ours_c[rows] * ours_a[rows] - color[rows] * alpha[rows]).max() * 255
    da = np.abs(ours_a[rows] - alpha[rows]).max() * 255
    both = (np.minimum(ours_a[rows], alpha[rows]) >= 0.5)[:, :, 0]
    st = np.abs(ours_c[rows] - color[rows])[both].max() * 255 if both.any() else 0.0
    key = layers[k].blend_mode.value
    print('strip %d %s %.3f %.3f %.3f' % (k - 1, key.hex(), pm, da, st))
