#!/usr/bin/env python3
"""Writes the small layered PSD from which samples/sample.yvn is made.

Usage:  python3 samples/make_sample.py OUT.psd

A 160 x 120 landscape in eight layers: an opaque paper layer, soft washes,
a multiply shadow, a screen glow, an overlay with a non-ASCII name, a hidden
layer and a hidden working layer named "*guide". Only the standard library
is used; the output is the same on every run.
"""
import math
import struct
import sys

# Shapes are drawn in a 256 x 192 design space and sampled at the canvas size.
DW, DH = 256, 192
S = 0.625
W, H = int(DW * S), int(DH * S)


def clamp(v):
    return 0 if v < 0 else 255 if v > 255 else int(v + 0.5)


def smooth(e0, e1, x):
    t = min(1.0, max(0.0, (x - e0) / (e1 - e0)))
    return t * t * (3 - 2 * t)


class Layer:
    def __init__(self, name, box, pixel, opacity=255, key=b"norm", visible=True):
        self.name = name
        self.left, self.top, self.right, self.bottom = (int(round(v * S)) for v in box)
        self.opacity = opacity
        self.key = key
        self.visible = visible
        self.px = [pixel(x / S, y / S) for y in range(self.top, self.bottom) for x in range(self.left, self.right)]


def paper(x, y):
    n = ((int(x * S) // 8 + int(y * S) // 8) % 2) * 3  # a faint weave, uniform in each 8 x 8 cell
    return (244 - n, 238 - n, 224 - n, 255)


def sky(x, y):
    a = 220 * (1 - smooth(20, 120, y))
    return (clamp(90 + y * 0.4), clamp(150 + y * 0.3), 235, clamp(a))


def hills(x, y):
    ridge = 120 + 14 * math.sin(x / 23.0) + 7 * math.sin(x / 7.3 + 1)
    a = 255 * smooth(ridge - 1.5, ridge + 1.5, y)
    return (clamp(70 + (y - ridge) * 0.4), clamp(130 - (y - ridge) * 0.3), 60, clamp(a))


def shadow(x, y):
    d = math.hypot((x - 150) / 70.0, (y - 160) / 18.0)
    return (60, 50, 80, clamp(200 * (1 - smooth(0.4, 1.0, d))))


def glow(x, y):
    d = math.hypot(x - 196, y - 44)
    return (255, 214, 120, clamp(255 * (1 - smooth(6, 46, d))))


def clouds(x, y):
    v = 0.5 + 0.25 * math.sin(x / 11.0 + y / 17.0) + 0.25 * math.sin(x / 5.0 - y / 9.0)
    return (250, 250, 255, clamp(150 * smooth(0.55, 0.9, v)))


def notes(x, y):
    on = (int(x) // 3 + int(y) // 5) % 4 == 0
    return (200, 30, 30, 255 if on else 0)


def guide(x, y):
    on = int(x * S) % 20 == 0 or int(y * S) % 20 == 0
    return (0, 160, 255, 160 if on else 0)


def layers():
    return [
        Layer("Paper", (0, 0, DW, DH), paper),
        Layer("Sky wash", (0, 0, DW, 130), sky, opacity=200),
        Layer("Hills", (0, 96, DW, DH), hills),
        Layer("Shadow", (70, 136, 232, 184), shadow, opacity=150, key=b"mul "),
        Layer("Sun glow", (140, 0, 252, 100), glow, key=b"scrn"),
        Layer("Wolken \u00fcber dem Tal \u96f2", (0, 10, DW, 90), clouds, opacity=230, key=b"over"),
        Layer("Notes", (20, 20, 80, 50), notes, visible=False),
        Layer("*guide", (0, 0, DW, DH), guide, visible=False),
    ]


def pascal(name):
    raw = name.encode("ascii", "replace")[:255]
    b = bytes([len(raw)]) + raw
    return b + b"\0" * (-len(b) % 4)


def block(key, data):
    data += b"\0" * (-len(data) % 4)
    return b"8BIM" + key + struct.pack(">I", len(data)) + data


def record(l):
    w, h = l.right - l.left, l.bottom - l.top
    out = struct.pack(">iiiiH", l.top, l.left, l.bottom, l.right, 4)
    for cid in (-1, 0, 1, 2):
        out += struct.pack(">hI", cid, 2 + w * h)
    out += b"8BIM" + l.key + bytes([l.opacity, 0, 8 if l.visible else 10, 0])
    units = l.name.encode("utf-16-be")
    extra = struct.pack(">II", 0, 0) + pascal(l.name)
    extra += block(b"luni", struct.pack(">I", len(units) // 2) + units)
    return out + struct.pack(">I", len(extra)) + extra


def channels(l):
    out = b""
    for i in (3, 0, 1, 2):
        out += struct.pack(">H", 0) + bytes(p[i] for p in l.px)
    return out


def composite(ls):
    """A plain normal-mode flattening, enough for viewers that show only the
    merged image; the conversion rebuilds its own from the layers."""
    acc = [(0.0, 0.0, 0.0, 0.0)] * (W * H)
    for l in ls:
        if not l.visible:
            continue
        op = l.opacity / 255.0
        w = l.right - l.left
        for i, p in enumerate(l.px):
            x, y = l.left + i % w, l.top + i // w
            if not (0 <= x < W and 0 <= y < H):
                continue
            a = p[3] / 255.0 * op
            r, g, b, da = acc[y * W + x]
            acc[y * W + x] = (r * (1 - a) + p[0] * a, g * (1 - a) + p[1] * a, b * (1 - a) + p[2] * a,
                              da + a * (1 - da))
    return acc


def psd(ls):
    out = b"8BPS" + struct.pack(">H6xHIIHH", 1, 4, H, W, 8, 3)
    out += struct.pack(">II", 0, 0)
    info = struct.pack(">h", -len(ls)) + b"".join(record(l) for l in ls) + b"".join(channels(l) for l in ls)
    info += b"\0" * (-len(info) % 4)
    lmi = struct.pack(">I", len(info)) + info + struct.pack(">I", 0)
    out += struct.pack(">I", len(lmi)) + lmi
    flat = composite(ls)
    out += struct.pack(">H", 0)
    for i in range(3):
        out += bytes(clamp(p[i] / p[3]) if p[3] > 0 else 0 for p in flat)
    out += bytes(clamp(p[3] * 255) for p in flat)
    return out


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with open(sys.argv[1], "wb") as f:
        f.write(psd(layers()))


if __name__ == "__main__":
    main()
