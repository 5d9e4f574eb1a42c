"""Dumps what an independent PSD reader (psd-tools) finds in a file.

Usage: iio_psd_dump.py FILE.psd OUTDIR [EXPECTED_MERGED.png]
       iio_psd_dump.py --batch OUTROOT EXPECTEDDIR FILE.psd...
         (each file's lines follow a line "file NAME"; its pixels go to
         OUTROOT/NAME, its merged image comes from EXPECTEDDIR/NAME.png)

Prints one line per item on stdout, tokens separated by spaces, text as hex:
  canvas W H CHANNELS
  merged FILE            (RGBA from EXPECTED_MERGED.png when given)
  stored C FILE          (8-bit RGB files: the merged image's channels as
                          stored, compression C, interleaved RGBA)
  topil FILE             (8-bit RGB files: psd-tools' own reading of the
                          merged image, matte taken off, as RGBA)
  record I key=value ... (layer records in file order; comp= the channel
                          compressions)
Pixels go to OUTDIR as raw 8-bit RGBA, cropped to the layer rectangle, with
the user mask applied to the transparency: a * m / 255 rounded, the mask's
default colour outside its rectangle, disabled masks ignored.
"""
import os
import sys

import numpy as np
from psd_tools import PSDImage
from psd_tools.constants import Tag


def hexs(b):
    return b.hex() if b else "-"


def dump(path, outdir, merged_png):
    if merged_png and os.path.exists(merged_png):
        from PIL import Image
        im = Image.open(merged_png).convert("RGBA")
        out = os.path.join(outdir, "merged.rgba")
        with open(out, "wb") as f:
            f.write(im.tobytes())
        print("merged %s" % out)
    try:
        psd = PSDImage.open(path)
    except Exception as e:  # the independent reader cannot read it
        print("unreadable %s" % hexs(repr(e).encode("utf-8")))
        return
    hdr = psd._record.header
    print("canvas %d %d %d" % (hdr.width, hdr.height, hdr.channels))
    if hdr.version == 1 and hdr.depth == 8 and int(hdr.color_mode) == 3:
        data = psd._record.image_data
        planes = np.frombuffer(data.get_data(hdr, False), np.uint8).reshape((-1, hdr.height, hdr.width))
        rgba = np.full((hdr.height, hdr.width, 4), 255, dtype=np.uint8)
        for k in range(min(4, planes.shape[0])):
            rgba[:, :, k] = planes[k]
        out = os.path.join(outdir, "stored.rgba")
        with open(out, "wb") as f:
            f.write(rgba.tobytes())
        print("stored %d %s" % (int(data.compression), out))
        im = psd.topil()
        if im is not None:
            out = os.path.join(outdir, "topil.rgba")
            with open(out, "wb") as f:
                f.write(im.convert("RGBA").tobytes())
            print("topil %s" % out)

    lmi = psd._record.layer_and_mask_information
    info = lmi.layer_info if lmi else None
    if info is None or not info.layer_records:
        return
    records = info.layer_records
    visible = {}
    for layer in psd.descendants():
        visible[id(layer._record)] = layer.is_visible()

    for i, rec in enumerate(records):
        blocks = rec.tagged_blocks
        section = 0
        if blocks and Tag.SECTION_DIVIDER_SETTING in blocks:
            section = int(blocks.get_data(Tag.SECTION_DIVIDER_SETTING).kind)
        lspf = -1
        if blocks and Tag.PROTECTED_SETTING in blocks:
            lspf = int(blocks.get_data(Tag.PROTECTED_SETTING))
        name = rec.name
        if blocks and Tag.UNICODE_LAYER_NAME in blocks:
            name = blocks.get_data(Tag.UNICODE_LAYER_NAME)
        name = name.rstrip("\0")
        flags = rec.flags
        fbyte = (int(flags.transparency_protected) | (0 if flags.visible else 2) |
                 (8 if flags.photoshop_v5_later else 0) |
                 (16 if flags.pixel_data_irrelevant else 0))
        w, h = rec.width, rec.height
        pix = "-"
        if section == 0 and w > 0 and h > 0 and hdr.version == 1 and hdr.depth == 8:
            chans = {}
            for ci, data in zip(rec.channel_info, info.channel_image_data[i]):
                cid = int(ci.id)
                if cid in (0, 1, 2, -1):
                    size = (w, h)
                elif cid == -2 and rec.mask_data is not None:
                    size = (rec.mask_data.width, rec.mask_data.height)
                else:
                    continue
                if cid in chans:
                    continue
                raw = data.get_data(size[0], size[1], 8, 1)
                chans[cid] = np.frombuffer(raw, dtype=np.uint8)[: size[0] * size[1]].reshape(
                    size[1], size[0])
            if any(c in chans for c in (0, 1, 2, -1)):
                rgba = np.full((h, w, 4), 255, dtype=np.uint32)
                for cid, k in ((0, 0), (1, 1), (2, 2), (-1, 3)):
                    if cid in chans:
                        rgba[:, :, k] = chans[cid]
                md = rec.mask_data
                if md is not None and -2 in chans and not md.flags.mask_disabled:
                    m = np.full((h, w), md.background_color, dtype=np.uint32)
                    mask = chans[-2]
                    for y in range(h):
                        cy = rec.top + y
                        if not (md.top <= cy < md.bottom):
                            continue
                        x0 = max(rec.left, md.left)
                        x1 = min(rec.right, md.right)
                        if x0 < x1:
                            m[y, x0 - rec.left:x1 - rec.left] = mask[cy - md.top, x0 - md.left:x1 - md.left]
                    rgba[:, :, 3] = (rgba[:, :, 3] * m + 127) // 255
                pix = os.path.join(outdir, "r%03d.rgba" % i)
                with open(pix, "wb") as f:
                    f.write(rgba.astype(np.uint8).tobytes())
        vis = visible.get(id(rec), flags.visible)
        comp = ",".join(str(int(d.compression)) for d in info.channel_image_data[i])
        print("record %d left=%d top=%d right=%d bottom=%d opacity=%d flags=%d clipping=%d "
              "blend=%s lspf=%d section=%d visible=%d name=%s pix=%s comp=%s" % (
                  i, rec.left, rec.top, rec.right, rec.bottom, rec.opacity, fbyte,
                  int(rec.clipping), hexs(rec.blend_mode.value), lspf, section, int(bool(vis)),
                  hexs(name.encode("utf-8")), pix, comp))


def main():
    if sys.argv[1] == "--batch":
        outroot, expected = sys.argv[2], sys.argv[3]
        for path in sys.argv[4:]:
            name = os.path.splitext(os.path.basename(path))[0]
            outdir = os.path.join(outroot, name)
            os.makedirs(outdir, exist_ok=True)
            print("file %s" % name)
            dump(path, outdir, os.path.join(expected, name + ".png"))
    else:
        dump(sys.argv[1], sys.argv[2], sys.argv[3] if len(sys.argv) > 3 else None)
    sys.stdout.flush()


if __name__ == "__main__":
    main()
