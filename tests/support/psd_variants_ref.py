"""Independent readings of PSD variants (depths, colour modes, large
documents, ZIP), as straight 16-bit RGBA, for the C++ tests.

Usage: psd_variants_ref.py FILE

Prints one line per image: "merged W H v..." for the merged image, then
"layer I W H v..." for each layer record I (file order) of an RGB file that
has pixels and no user mask; 4 values per pixel. Samples come from
psd-tools' decoding of the channels (raw, PackBits, ZIP); 8 bits widen by
257, 32-bit linear light is clamped and sRGB-encoded (transparency stays
linear); CMYK (ink, with the file's profile, perceptual) and Lab (D50,
relative colorimetric, evaluated without precalculation) go to sRGB through
Pillow's ImageCms, 8 bits out.
"""
import io
import struct
import sys

from PIL import Image, ImageCms
from psd_tools import PSDImage
from psd_tools.constants import Resource

NOTPRECALC = 256


def lin16(x, encode):
    if not x > 0:
        return 0
    if x >= 1:
        return 65535
    if encode:
        x = 12.92 * x if x <= 0.0031308 else 1.055 * x ** (1 / 2.4) - 0.055
    return int(x * 65535 + 0.5)


def samples(plane, depth, w, h, encode=True):
    if depth == 1:
        rb = (w + 7) // 8
        return [0 if plane[y * rb + x // 8] & (0x80 >> (x % 8)) else 65535 for y in range(h) for x in range(w)]
    if depth == 8:
        return [v * 257 for v in plane[:w * h]]
    if depth == 16:
        return list(struct.unpack('>%dH' % (w * h), plane[:2 * w * h]))
    return [lin16(v, encode) for v in struct.unpack('>%df' % (w * h), plane[:4 * w * h])]


def to_srgb(image, src_profile, intent, flags=0):
    out = ImageCms.createProfile('sRGB')
    return ImageCms.profileToProfile(image, src_profile, out, renderingIntent=intent, outputMode='RGB', flags=flags)


def merged(psd):
    h = psd._record.header
    w, ht = h.width, h.height
    planes = psd._record.image_data.get_data(h)
    mode = int(h.color_mode)
    if mode == 4:  # stored inverted; ImageCms wants ink amounts
        ink = [bytes(255 - v for v in p[:w * ht]) for p in planes[:4]]
        icc = psd.image_resources.get_data(Resource.ICC_PROFILE)
        img = Image.merge('CMYK', [Image.frombytes('L', (w, ht), p) for p in ink])
        rgb = to_srgb(img, ImageCms.ImageCmsProfile(io.BytesIO(icc)), ImageCms.Intent.PERCEPTUAL)
        px = [[v * 257 for v in p] for p in rgb.getdata()]
    elif mode == 9:
        img = Image.merge('LAB', [Image.frombytes('L', (w, ht), p[:w * ht]) for p in planes[:3]])
        rgb = to_srgb(img, ImageCms.createProfile('LAB'), ImageCms.Intent.RELATIVE_COLORIMETRIC, NOTPRECALC)
        px = [[v * 257 for v in p] for p in rgb.getdata()]
    elif mode == 2:
        pal = psd._record.color_mode_data.value
        res = psd.image_resources
        t = res.get_data(Resource.TRANSPARENCY_INDEX) if Resource.TRANSPARENCY_INDEX in res else 65535
        px = [[0, 0, 0, 0] if i == t else [pal[i] * 257, pal[256 + i] * 257, pal[512 + i] * 257]
              for i in planes[0][:w * ht]]
    else:
        chans = [samples(p, h.depth, w, ht) for p in planes[:3 if mode == 3 else 1]]
        px = [[c[i] for c in chans] * (1 if mode == 3 else 3) for i in range(w * ht)]
        if mode == 3 and h.channels > 3:
            # The fourth channel is the transparency, the colour matted on white.
            alpha = samples(planes[3], h.depth, w, ht, False)
            for p, a in zip(px, alpha):
                if 0 < a < 65535:
                    p[:] = [max(0, (v - 65535 + a) * 65535 + a // 2) // a for v in p]
                p.append(a)
    print('merged', w, ht, ' '.join(str(v) for p in px for v in (p + [65535])[:4]))


def layers(psd):
    h = psd._record.header
    info = psd._record._get_layer_info()
    if int(h.color_mode) != 3 or info is None or not info.layer_records:
        return
    for i, (rec, chans) in enumerate(zip(info.layer_records, info.channel_image_data)):
        w, ht = rec.width, rec.height
        ids = [int(c.id) for c in rec.channel_info]
        if w <= 0 or ht <= 0 or -2 in ids or not set(ids) & {0, 1, 2}:
            continue
        planes = {}
        for cid, data in zip(ids, chans):
            if -1 <= cid <= 2 and cid not in planes:
                planes[cid] = samples(data.get_data(w, ht, h.depth, h.version), h.depth, w, ht, cid >= 0)
        full = [65535] * (w * ht)
        px = [[planes.get(c, full)[k] for c in (0, 1, 2, -1)] for k in range(w * ht)]
        print('layer', i, w, ht, ' '.join(str(v) for p in px for v in p))


if __name__ == '__main__':
    psd = PSDImage.open(sys.argv[1])
    merged(psd)
    layers(psd)
