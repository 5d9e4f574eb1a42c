"""What psd-tools finds in a PSD file, for the C++ tests.

Usage: psd_tools_dump.py FILE.psd OUTDIR [compose]

Prints one line per item, fields separated by spaces:
  canvas W H
  topil FILE       psd-tools' reading of the merged image (matte taken off)
  composed FILE    (with "compose") psd-tools' composition of the layers, straight RGBA
  record I k=v ... layer records in file order: name (hex), key, opacity,
                   clipping, rect l,t,r,b, section, visible (as psd-tools
                   resolves it through groups), px FILE
Pixel files are raw 8-bit RGBA; a record's pixels are cropped to its rectangle
with an enabled user mask applied to the transparency (a * m / 255 rounded).
"""
import os
import sys

import numpy as np
from psd_tools import PSDImage
from psd_tools.constants import Tag


def save(outdir, name, rgba):
    path = os.path.join(outdir, name)
    with open(path, "wb") as f:
        f.write(np.ascontiguousarray(rgba, dtype=np.uint8).tobytes())
    return path


def records(psd, outdir):
    info = psd._record.layer_and_mask_information.layer_info
    if info is None or not info.layer_records:
        return
    visible = {id(layer._record): layer.is_visible() for layer in psd.descendants()}
    for i, rec in enumerate(info.layer_records):
        blocks = rec.tagged_blocks
        section = 0
        if blocks and Tag.SECTION_DIVIDER_SETTING in blocks:
            section = int(blocks.get_data(Tag.SECTION_DIVIDER_SETTING).kind)
        name = rec.name
        if blocks and Tag.UNICODE_LAYER_NAME in blocks:
            name = blocks.get_data(Tag.UNICODE_LAYER_NAME)
        w, h = rec.width, rec.height
        px = "-"
        if section == 0 and w > 0 and h > 0:
            chans = {}
            for ci, data in zip(rec.channel_info, info.channel_image_data[i]):
                cid = int(ci.id)
                size = (w, h)
                if cid == -2 and rec.mask_data is not None:
                    size = (rec.mask_data.width, rec.mask_data.height)
                elif cid not in (0, 1, 2, -1):
                    continue
                if cid not in chans:
                    raw = data.get_data(size[0], size[1], 8, 1)
                    chans[cid] = np.frombuffer(raw, np.uint8)[: size[0] * size[1]].reshape(size[1], size[0])
            rgba = np.full((h, w, 4), 255, dtype=np.uint32)
            for cid, k in ((0, 0), (1, 1), (2, 2), (-1, 3)):
                if cid in chans:
                    rgba[:, :, k] = chans[cid]
            md = rec.mask_data
            if md is not None and -2 in chans and not md.flags.mask_disabled:
                m = np.full((h, w), md.background_color, dtype=np.uint32)
                for y in range(h):
                    cy = rec.top + y
                    x0, x1 = max(rec.left, md.left), min(rec.right, md.right)
                    if md.top <= cy < md.bottom and x0 < x1:
                        m[y, x0 - rec.left:x1 - rec.left] = chans[-2][cy - md.top, x0 - md.left:x1 - md.left]
                rgba[:, :, 3] = (rgba[:, :, 3] * m + 127) // 255
            px = save(outdir, "r%03d.rgba" % i, rgba)
        key = rec.blend_mode.value.decode("latin-1").replace(" ", "_")
        shown = int(visible.get(id(rec), rec.flags.visible))
        print("record %d name=%s key=%s opacity=%d clipping=%d rect=%d,%d,%d,%d section=%d visible=%d px=%s"
              % (i, name.rstrip("\0").encode("utf-8").hex() or "-", key, rec.opacity, int(rec.clipping),
                 rec.left, rec.top, rec.right, rec.bottom, section, shown, px))


def main():
    path, outdir = sys.argv[1], sys.argv[2]
    psd = PSDImage.open(path)
    hdr = psd._record.header
    print("canvas %d %d" % (hdr.width, hdr.height))
    if hdr.depth == 8:
        im = psd.topil()
        if im is not None:
            print("topil %s" % save(outdir, "topil.rgba", np.asarray(im.convert("RGBA"))))
    if len(sys.argv) > 3:
        from psd_tools.composite import composite
        color, _, alpha = composite(psd, force=True)
        rgba = np.concatenate([np.asarray(color), np.asarray(alpha)[:, :, :1]], axis=2)
        print("composed %s" % save(outdir, "composed.rgba", np.round(rgba * 255)))
    records(psd, outdir)


if __name__ == "__main__":
    main()
