#!/usr/bin/python3
"""Deterministic generator of layered benchmark PSDs (8-bit RGB + transparency,
PackBits everywhere, negative layer count, merged image with alpha).

Usage:  /usr/bin/python3 bench/make_psd.py [OUTDIR] [--check] [--only NAME ...]
        (OUTDIR defaults to $BENCH_DATA, else ./bench-data in the current folder)

Writes:
  photo-4096-8L.psd   4096x4096, 8 full-canvas layers of smooth+noise content
                      (layer 0 opaque, layers 1-7 with smooth partial alpha)
  paint-4096-12L.psd  4096x4096, 12 layers: an opaque near-flat paper layer, then
                      11 mostly transparent layers of brush strokes and soft blobs,
                      each layer's bounds cropped to its content (like real paintings)
  scale-8000-4L.psd   8000x8000, 4 layers: 2 photo-like (opaque + partial alpha),
                      2 paint-like (cropped bounds)
  paint-N-12L.psd     (only when named with --only) the paint-like content at
                      N x N for N = 2048 or 8192: the same strokes scaled with the
                      canvas side, so the painted area grows with N * N
  photo-4096-24L.psd  (only when named with --only) the photo-like content with
                      24 layers, to show that peak memory follows the largest
                      layer, not the layer count

Needs numpy and psd-tools (Debian: python3-numpy python3-psd-tools); psd-tools is
used only for its PackBits row encoder. Same seed -> same bytes (checked against
bench/data.sha256 by --check).
"""
import hashlib
import os
import struct
import sys
import time

import numpy as np

try:
    from psd_tools.compression import _rle as rle
except ImportError:  # pure-python fallback is very slow but correct
    from psd_tools.compression import rle

HERE = os.path.dirname(os.path.abspath(__file__))

# ---------------------------------------------------------------- content


def upsample(grid, h, w, cell):
    """Smoothstep-interpolated upsampling of a coarse grid to h x w."""
    def axis(n):
        x = np.arange(n, dtype=np.float32) / cell
        i0 = np.floor(x).astype(np.int64)
        f = x - i0
        f = f * f * (3 - 2 * f)
        return i0, f.astype(np.float32)
    iy, fy = axis(h)
    ix, fx = axis(w)
    gx = grid[:, ix] * (1 - fx) + grid[:, ix + 1] * fx          # (gh, w)
    return gx[iy] * (1 - fy)[:, None] + gx[iy + 1] * fy[:, None]  # (h, w)


def smooth_field(rng, h, w, octaves=((512, 1.0), (96, 0.35), (24, 0.12))):
    acc = np.zeros((h, w), np.float32)
    total = 0.0
    for cell, amp in octaves:
        g = rng.random((h // cell + 2, w // cell + 2), dtype=np.float32)
        acc += amp * upsample(g, h, w, cell)
        total += amp
    return acc / total  # ~[0,1], smooth


def photo_layer(rng, h, w, opaque):
    """Straight RGBA8 planes: smooth colour + per-pixel noise (+-~4 levels)."""
    planes = []
    base = smooth_field(rng, h, w)
    for c in range(3):
        f = 0.55 * base + 0.45 * smooth_field(rng, h, w)
        lo, hi = sorted(rng.uniform(0, 255, 2))
        v = lo + (hi - lo + 40) * f
        noise = (rng.integers(-3, 4, (h, w), dtype=np.int16)
                 + rng.integers(-2, 3, (h, w), dtype=np.int16))
        planes.append(np.clip(v + noise, 0, 255).astype(np.uint8))
    if opaque:
        a = np.full((h, w), 255, np.uint8)
    else:  # smooth alpha between ~15% and 100%, no noise (masks are smooth)
        fa = smooth_field(rng, h, w, ((1024, 1.0), (256, 0.3)))
        a = np.clip(40 + 260 * fa - 30, 0, 255).astype(np.uint8)
    planes.append(a)
    return planes


def stamp(C, A, cy, cx, r, col, flow, hard):
    """Soft round dab composited 'over' into straight colour C (3,h,w) / alpha A."""
    h, w = A.shape
    y0, y1 = max(0, int(cy - r - 1)), min(h, int(cy + r + 2))
    x0, x1 = max(0, int(cx - r - 1)), min(w, int(cx + r + 2))
    if y0 >= y1 or x0 >= x1:
        return
    yy = np.arange(y0, y1, dtype=np.float32)[:, None] - cy
    xx = np.arange(x0, x1, dtype=np.float32)[None, :] - cx
    d = np.sqrt(yy * yy + xx * xx)
    edge = max(1.0, r * (1 - hard))
    s = np.clip((r - d) / edge, 0, 1) * flow
    a = A[y0:y1, x0:x1]
    na = s + a * (1 - s)
    k = np.divide(s, na, out=np.zeros_like(s), where=na > 0)
    for c in range(3):
        cc = C[c, y0:y1, x0:x1]
        cc += (col[c] - cc) * k
    A[y0:y1, x0:x1] = na


def paint_layer(rng, h, w, nstrokes, nblobs):
    C = np.zeros((3, h, w), np.float32)
    A = np.zeros((h, w), np.float32)
    # content concentrated in a region of 30-90% of the canvas
    rw, rh = (rng.uniform(0.3, 0.9, 2) * (w, h)).astype(int)
    rx, ry = rng.integers(0, w - rw), rng.integers(0, h - rh)
    for _ in range(nblobs):  # large soft shading blobs
        r = float(rng.uniform(0.04, 0.12) * min(w, h))
        cx, cy = rx + rng.uniform(0, rw), ry + rng.uniform(0, rh)
        stamp(C, A, cy, cx, r, rng.uniform(0, 255, 3), rng.uniform(0.3, 0.7), 0.0)
    for _ in range(nstrokes):
        r0 = float(rng.uniform(4, 60)) * min(w, h) / 4096
        x, y = rx + rng.uniform(0, rw), ry + rng.uniform(0, rh)
        ang = rng.uniform(0, 2 * np.pi)
        col = rng.uniform(0, 255, 3)
        length = rng.uniform(300, 2200) * min(w, h) / 4096
        hard = rng.uniform(0.3, 0.9)
        flow = rng.uniform(0.6, 1.0)
        travelled = 0.0
        while travelled < length:
            t = travelled / length
            r = max(1.5, r0 * (0.35 + 0.65 * np.sin(np.pi * t)))  # taper
            stamp(C, A, y, x, r, col, flow, hard)
            step = max(1.0, 0.3 * r)
            ang += rng.normal(0, 0.08)
            x += step * np.cos(ang)
            y += step * np.sin(ang)
            col = np.clip(col + rng.normal(0, 1.5, 3), 0, 255)
            travelled += step
    a8 = np.rint(A * 255).astype(np.uint8)
    planes = [np.where(a8 > 0, np.rint(C[c]), 0).astype(np.uint8) for c in range(3)]
    planes.append(a8)
    ys, xs = np.nonzero(a8.any(axis=1))[0], np.nonzero(a8.any(axis=0))[0]
    if len(ys) == 0:
        return planes, (0, 0, 0, 0)
    top, bottom, left, right = int(ys[0]), int(ys[-1]) + 1, int(xs[0]), int(xs[-1]) + 1
    return [p[top:bottom, left:right] for p in planes], (left, top, right, bottom)


def paper_layer(rng, h, w):
    """Opaque, nearly flat paper: very low-amplitude smooth tint, no noise."""
    f = smooth_field(rng, h, w, ((1024, 1.0),))
    planes = [np.clip(238 + 10 * f + d, 0, 255).astype(np.uint8) for d in (2, 0, -4)]
    planes.append(np.full((h, w), 255, np.uint8))
    return planes

# ---------------------------------------------------------------- PSD writing


def packbits_channel(plane):
    rows = [rle.encode(plane[y].tobytes()) for y in range(plane.shape[0])]
    counts = struct.pack('>%dH' % len(rows), *map(len, rows))
    return counts, rows


def pascal_name(name):
    b = name.encode('ascii')
    pad = (-(1 + len(b))) % 4
    return bytes([len(b)]) + b + bytes(pad)


def luni_block(name):
    u = name.encode('utf-16-be')
    n = len(u) // 2
    body = struct.pack('>I', n) + u
    body += bytes((-len(body)) % 4)
    return b'8BIMluni' + struct.pack('>I', len(body)) + body


def layer_record(name):
    """Record with placeholder bounds/lengths; returns bytes and patch offsets."""
    rec = bytearray(struct.pack('>4i', 0, 0, 0, 0))
    rec += struct.pack('>H', 4)
    len_offs = []
    for cid in (0, 1, 2, -1):
        rec += struct.pack('>h', cid)
        len_offs.append(len(rec))
        rec += struct.pack('>I', 0)
    extra = struct.pack('>II', 0, 0) + pascal_name(name) + luni_block(name)
    rec += b'8BIMnorm' + bytes([255, 0, 8, 0]) + struct.pack('>I', len(extra)) + extra
    return bytes(rec), len_offs


def write_psd(path, w, h, layer_makers, seed):
    rng = np.random.default_rng(seed)
    n = len(layer_makers)
    # premultiplied float accumulators for the merged image (normal 'over')
    acc = np.zeros((4, h, w), np.float32)
    with open(path, 'wb') as f:
        f.write(b'8BPS' + struct.pack('>H', 1) + bytes(6)
                + struct.pack('>HIIHH', 4, h, w, 8, 3))
        f.write(struct.pack('>I', 0))            # colour mode data
        f.write(struct.pack('>I', 0))            # image resources
        lm_pos = f.tell()
        f.write(struct.pack('>I', 0))            # layer and mask info length
        li_pos = f.tell()
        f.write(struct.pack('>I', 0))            # layer info length
        f.write(struct.pack('>h', -n))
        recs = []
        for i in range(n):
            rec, offs = layer_record('Layer %d' % (i + 1))
            recs.append((f.tell(), offs))
            f.write(rec)
        for i, make in enumerate(layer_makers):
            t0 = time.time()
            planes, (l, t, r, b) = make(rng, h, w)
            # merged image accumulation
            if r > l and b > t:
                a = planes[3].astype(np.float32) / 255.0
                sub = acc[:, t:b, l:r]
                inv = 1.0 - a
                for c in range(3):
                    sub[c] = planes[c].astype(np.float32) / 255.0 * a + sub[c] * inv
                sub[3] = a + sub[3] * inv
            lengths = []
            for p in planes:
                counts, rows = packbits_channel(p)
                f.write(struct.pack('>H', 1))
                f.write(counts)
                for row in rows:
                    f.write(row)
                lengths.append(2 + len(counts) + sum(map(len, rows)))
            end = f.tell()
            pos, offs = recs[i]
            f.seek(pos)
            f.write(struct.pack('>4i', t, l, b, r))
            for o, ln in zip(offs, lengths):
                f.seek(pos + o)
                f.write(struct.pack('>I', ln))
            f.seek(end)
            print('  layer %d/%d bounds=(%d,%d,%d,%d) %.1fs' % (i + 1, n, l, t, r, b,
                  time.time() - t0), flush=True)
        li_end = f.tell()
        if (li_end - li_pos - 4) % 2:
            f.write(b'\0')                      # layer info padded to even length
            li_end += 1
        f.write(struct.pack('>I', 0))           # global layer mask info
        lm_end = f.tell()
        f.seek(li_pos)
        f.write(struct.pack('>I', li_end - li_pos - 4))
        f.seek(lm_pos)
        f.write(struct.pack('>I', lm_end - lm_pos - 4))
        f.seek(lm_end)
        # merged image: straight colour, alpha; all counts first, then all rows
        alpha = acc[3]
        merged = []
        for c in range(3):
            straight = np.divide(acc[c], alpha, out=np.zeros_like(alpha), where=alpha > 0)
            merged.append(np.clip(np.rint(straight * 255), 0, 255).astype(np.uint8))
        merged.append(np.clip(np.rint(alpha * 255), 0, 255).astype(np.uint8))
        del acc
        enc = [packbits_channel(p) for p in merged]
        f.write(struct.pack('>H', 1))
        for counts, _ in enc:
            f.write(counts)
        for _, rows in enc:
            for row in rows:
                f.write(row)


def photo(opaque):
    return lambda rng, h, w: (photo_layer(rng, h, w, opaque), (0, 0, w, h))


def paper(rng, h, w):
    return paper_layer(rng, h, w), (0, 0, w, h)


def paint(rng, h, w):
    return paint_layer(rng, h, w, nstrokes=int(rng.integers(6, 16)),
                       nblobs=int(rng.integers(0, 3)))


INPUTS = {
    'photo-4096-8L.psd': (4096, 4096, [photo(True)] + [photo(False)] * 7, 4096081),
    'paint-4096-12L.psd': (4096, 4096, [paper] + [paint] * 11, 4096121),
    'scale-8000-4L.psd': (8000, 8000, [photo(True), photo(False), paint, paint], 8000041),
}

# Other sizes of the paint-like file for the growth table; written only when
# asked for by name. Same seed as the 4096 file, so the strokes are the same
# ones scaled (paint_layer scales radii and lengths with the canvas side).
EXTRA = {
    'paint-2048-12L.psd': (2048, 2048, [paper] + [paint] * 11, 4096121),
    'paint-8192-12L.psd': (8192, 8192, [paper] + [paint] * 11, 4096121),
    'photo-4096-24L.psd': (4096, 4096, [photo(True)] + [photo(False)] * 23, 4096241),
}


def sha256(path):
    h = hashlib.sha256()
    with open(path, 'rb') as f:
        for blk in iter(lambda: f.read(1 << 22), b''):
            h.update(blk)
    return h.hexdigest()


def main(argv):
    args = list(argv)
    check = '--check' in args
    if check:
        args.remove('--check')
    only = None
    if '--only' in args:
        i = args.index('--only')
        only = args[i + 1:]
        args = args[:i]
    outdir = args[0] if args else os.environ.get('BENCH_DATA', os.path.join(os.getcwd(), 'bench-data'))
    os.makedirs(outdir, exist_ok=True)
    sums = {}
    todo = dict(INPUTS)
    todo.update({k: v for k, v in EXTRA.items() if only and k in only})
    for name, (w, h, makers, seed) in todo.items():
        if only and name not in only:
            continue
        path = os.path.join(outdir, name)
        if not (check and os.path.exists(path)):
            t0 = time.time()
            print('%s: %dx%d, %d layers' % (name, w, h, len(makers)), flush=True)
            write_psd(path + '.part', w, h, makers, seed)
            os.replace(path + '.part', path)
            print('  %.1f MB in %.0fs' % (os.path.getsize(path) / 1e6, time.time() - t0))
        sums[name] = sha256(path)
        print('%s  %s' % (sums[name], name), flush=True)
    ref = os.path.join(HERE, 'data.sha256')
    if check and os.path.exists(ref):
        bad = 0
        for line in open(ref):
            digest, name = line.split()
            if name in sums and sums[name] != digest:
                print('MISMATCH %s' % name)
                bad = 1
        return bad
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
