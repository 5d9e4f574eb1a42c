#!/usr/bin/env python3
"""Writes a folder of small layered PSD files with ASCII layer names.

Usage:  python3 scripts/make-test-psds.py OUTDIR

The files cover canvases that cross the 128-pixel tile grid, a 1 x 1 canvas,
layers placed off the origin and partly outside the canvas, hidden layers,
opacities, several blend keys, soft alpha and fully transparent areas.
Channel data is raw. Only the standard library is used and the output is
the same on every run, so two builds can be compared on it.
"""
import os
import struct
import sys


def pascal(name, pad):
    raw = name.encode("ascii")
    data = bytes([len(raw)]) + raw
    return data + b"\0" * (-len(data) % pad)


def pixel(seed, x, y):
    """An RGBA value from integer arithmetic only."""
    r = (x * 7 + y * 3 + seed * 41) % 256
    g = (x * y + seed * 13) % 256
    b = (255 - x * 5 + y * 11 + seed) % 256
    a = (x * 9 + y * 5 + seed * 29) % 256
    if (x // 5 + y // 7 + seed) % 4 == 0:
        a = 0  # transparent patches
    elif (x + y + seed) % 3 == 0:
        a = 255
    return r, g, b, a


def write_psd(path, width, height, layers):
    """layers: bottom first, each (name, (left, top, right, bottom), key, opacity, hidden, seed)."""
    records = b""
    channel_data = b""
    for name, (left, top, right, bottom), key, opacity, hidden, seed in layers:
        w, h = right - left, bottom - top
        px = [pixel(seed, x, y) for y in range(h) for x in range(w)]
        planes = []
        for cid, idx in ((-1, 3), (0, 0), (1, 1), (2, 2)):
            planes.append((cid, bytes(p[idx] for p in px)))
        records += struct.pack(">iiiiH", top, left, bottom, right, len(planes))
        for cid, plane in planes:
            records += struct.pack(">hI", cid, 2 + len(plane))
            channel_data += struct.pack(">H", 0) + plane
        records += b"8BIM" + key + bytes([opacity, 0, 0x02 if hidden else 0, 0])
        extra = struct.pack(">II", 0, 0) + pascal(name, 4)
        records += struct.pack(">I", len(extra)) + extra
    info = struct.pack(">h", len(layers)) + records + channel_data
    info += b"\0" * (len(info) % 2)
    lmi = struct.pack(">I", len(info)) + info + struct.pack(">I", 0)

    # Merged image: a plain normal-mode stack of the visible layers is not
    # needed for the conversion; a gradient is enough for a reader to check.
    merged = b""
    for c in range(4):
        merged += bytes(((x * 3 + y * 5 + c * 60) % 256) if c < 3 else 255
                        for y in range(height) for x in range(width))
    with open(path, "wb") as f:
        f.write(b"8BPS" + struct.pack(">H6xHIIHH", 1, 4, height, width, 8, 3))
        f.write(struct.pack(">I", 0))  # colour mode data
        f.write(struct.pack(">I", 0))  # image resources
        f.write(struct.pack(">I", len(lmi)) + lmi)
        f.write(struct.pack(">H", 0) + merged)


DOCS = {
    "single.psd": (64, 48, [("Background", (0, 0, 64, 48), b"norm", 255, False, 1)]),
    "tiles.psd": (200, 140, [
        ("paper", (0, 0, 200, 140), b"norm", 255, False, 2),
        ("wash", (-20, 10, 150, 135), b"mul ", 180, False, 3),
        ("glow", (120, -8, 210, 60), b"scrn", 255, False, 4),
        ("notes", (30, 30, 90, 70), b"norm", 255, True, 5),
        ("Layer 5", (126, 126, 140, 140), b"over", 128, False, 6),
    ]),
    "tiny.psd": (1, 1, [("dot", (0, 0, 1, 1), b"norm", 255, False, 7)]),
    "strip.psd": (300, 20, [
        ("base", (0, 0, 300, 20), b"norm", 255, False, 8),
        ("dark", (100, 2, 260, 18), b"dark", 200, False, 9),
        ("diff", (0, 5, 129, 15), b"diff", 255, False, 10),
    ]),
    "modes.psd": (96, 96, [
        ("paper", (0, 0, 96, 96), b"norm", 255, False, 11),
        ("lighten", (8, 8, 88, 88), b"lite", 255, False, 12),
        ("soft light", (16, 0, 96, 64), b"sLit", 220, False, 13),
        ("hidden top", (0, 0, 40, 40), b"norm", 90, True, 14),
    ]),
    "Mixed Case.PSD": (130, 129, [
        ("a", (1, 1, 129, 128), b"norm", 255, False, 15),
        ("b", (0, 64, 130, 129), b"mul ", 255, False, 16),
    ]),
}


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make-test-psds.py OUTDIR")
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, (w, h, layers) in DOCS.items():
        write_psd(os.path.join(out, name), w, h, layers)


if __name__ == "__main__":
    main()
