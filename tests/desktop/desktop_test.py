#!/usr/bin/python3
"""Tests of desktop/, each part installed by `cmake --install` into a
temporary folder and used there as a desktop uses it: the MIME type through
xdg-mime, the thumbnailer through its .thumbnailer entry, the GIMP plug-in
through gimp-console beside GIMP's PSD loader. The environment comes from
tests/desktop/CMakeLists.txt."""
import os
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import numpy as np
from PIL import Image

BUILD = os.environ["YVN_BUILD_DIR"]
SOURCE = os.environ["YVN_SOURCE_DIR"]
CMAKE = os.environ.get("CMAKE_COMMAND", "cmake")
DUMP = os.environ["YVN_DUMP"]
PROGRAM = os.environ["YVN2PSD_EXE"]
CORPUS = os.environ.get("YVN_PSD_CORPUS", "")
DATA = os.path.join(SOURCE, "tests", "data")
GOLDEN = [os.path.join(DATA, "golden", c, "input.yvn") for c in ("native-features", "native-packed-root",
                                                                 "native-record-order")]
SAMPLE = os.path.join(SOURCE, "samples", "sample.yvn")


def install(component, prefix):
    subprocess.run([CMAKE, "--install", BUILD, "--component", component, "--prefix", prefix], check=True,
                   stdout=subprocess.DEVNULL)


def convert(src, dst, *options):
    subprocess.run([PROGRAM, "-q", "-W", *options, src, dst], check=True, stdin=subprocess.DEVNULL)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


KEYS = ("name", "left", "top", "right", "bottom", "opacity", "visible", "blend", "psd_key", "clipping",
        "lock_transparency", "lock_pixels", "working")


class Doc:
    """A document as the library reads it (yvn_dump.c), for use in `with`."""

    def __init__(self, path):
        self.dir = tempfile.mkdtemp(prefix="yvn-dump-")
        out = subprocess.run([DUMP, path, self.dir], check=True, capture_output=True, text=True).stdout.splitlines()
        head = out[0].split()
        self.width, self.height, self.thumbnail = int(head[1]), int(head[2]), (int(head[6]), int(head[7]))
        self.layers = []
        for i, line in enumerate(out[1:]):
            fields = zip(KEYS, line.split("\t")[1:])
            self.layers.append(dict({k: v if k in ("name", "psd_key") else int(v) for k, v in fields}, index=i))

    def raw(self, name, w, h):
        return np.fromfile(os.path.join(self.dir, name), np.uint8).reshape(h, w, 4)

    def pixels(self, layer):
        return self.raw("layer-%d.rgba" % layer["index"], layer["right"] - layer["left"], layer["bottom"] - layer["top"])

    def __enter__(self):
        return self

    def __exit__(self, *_):
        shutil.rmtree(self.dir, ignore_errors=True)


def fit(w, h, size):
    """The thumbnail's size: w x h fitted into size x size, never enlarged."""
    if w <= size and h <= size:
        return w, h
    if w >= h:
        return size, max(1, (h * size + w // 2) // w)
    return max(1, (w * size + h // 2) // h), size


def scale(rgba, ow, oh):
    """Each output pixel the transparency-weighted mean of the source pixels
    it covers, rounded half up."""
    h, w = rgba.shape[:2]
    px = rgba.astype(np.int64)
    a = px[:, :, 3]
    xs = np.array([x * w // ow for x in range(ow + 1)])
    ys = np.array([y * h // oh for y in range(oh + 1)])

    def box_sums(v):
        return np.add.reduceat(np.add.reduceat(v, ys[:-1], axis=0), xs[:-1], axis=1)

    n = np.outer(np.diff(ys), np.diff(xs))
    sa = box_sums(a)
    out = np.zeros((oh, ow, 4), np.uint8)
    out[:, :, 3] = (2 * sa + n) // (2 * n)
    for c in range(3):
        sc = box_sums(px[:, :, c] * a)
        out[:, :, c] = np.where(sa > 0, (2 * sc + sa) // np.maximum(2 * sa, 1), 0)
    return out


def read_png(path):
    """A PNG's samples: 8-bit ones through Pillow, 16-bit ones (of which
    Pillow keeps 8 bits) through ImageMagick; neither is GIMP's decoder."""
    with open(path, "rb") as f:
        head = f.read(26)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", path
    w, h, depth, ctype = struct.unpack(">IIBB", head[16:26])
    if depth == 8:
        with Image.open(path) as im:
            return np.asarray(im)
    magick = shutil.which("convert-im6.q16", path="/usr/bin") or "/usr/bin/convert"
    raw = subprocess.run([magick, "PNG:" + path, "-depth", "16", "-endian", "MSB", "RGBA:-"], check=True,
                         capture_output=True).stdout
    px = np.frombuffer(raw, ">u2").reshape(h, w, 4)
    return px[:, :, :3] if ctype == 2 else px


class Installed(unittest.TestCase):
    """A component installed into a temporary prefix, cls.tmp/prefix."""
    component = "thumbnailer"

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="yvn-desktop-")
        cls.prefix = os.path.join(cls.tmp, "prefix")
        install(cls.component, cls.prefix)

    @classmethod
    def tearDownClass(cls):
        if os.environ.get("YVN_DESKTOP_KEEP"):
            print("kept", cls.tmp, file=sys.stderr)
        else:
            shutil.rmtree(cls.tmp, ignore_errors=True)


class MimeTest(Installed):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.share = os.path.join(cls.prefix, "share")
        subprocess.run(["update-mime-database", os.path.join(cls.share, "mime")], check=True)
        cls.files = os.path.join(cls.tmp, "files")
        os.mkdir(cls.files)

    def put(self, name, data):
        return write(os.path.join(self.files, name), data)

    def query(self, path, desktop, data_home=True):
        env = {k: v for k, v in os.environ.items() if not k.startswith("XDG_")}
        env["XDG_DATA_DIRS"] = "/usr/share"
        if data_home:
            env["XDG_DATA_HOME"] = self.share
        if desktop:
            env["XDG_CURRENT_DESKTOP"] = desktop
        return subprocess.run(["xdg-mime", "query", "filetype", path], env=env, capture_output=True,
                              text=True).stdout.strip()

    def expect(self, path, mime):
        # Both of xdg-mime's ways: mimetype(1) elsewhere, gio on GNOME.
        for desktop in (None, "GNOME"):
            self.assertEqual(self.query(path, desktop), mime, "%s on %s" % (path, desktop or "generic"))

    def test_named_by_extension_or_leading_bytes(self):
        # A plain root and a packed one without an extension.
        for name, data in (("painting.yvn", b"not even a painting"), ("LOUD.YVN", b"\0" * 64), ("plain", read(SAMPLE)),
                           ("packed", read(GOLDEN[1]))):
            self.expect(self.put(name, data), "application/x-yvn")
        self.assertNotEqual(self.query(os.path.join(self.files, "plain"), None, data_home=False), "application/x-yvn",
                            "known without the entry installed")

    def test_other_bytes_are_not_the_type(self):
        # A packed marker whose next word is not a block's, a marker cut
        # short, a PSD.
        for data in (b"\xa0\xcd\xea\xfd\0\0\0\0" + read(SAMPLE)[8:], b"\xa0\xcd\xea"):
            self.assertNotEqual(self.query(self.put("x", data), None), "application/x-yvn")
        psd = read(os.path.join(DATA, "golden", "painting", "input.psd"))
        self.assertEqual(self.query(self.put("x", psd), None), "image/vnd.adobe.photoshop")


class ThumbnailerTest(Installed):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        with open(os.path.join(cls.prefix, "share", "thumbnailers", "yvn2psd.thumbnailer")) as f:
            cls.entry = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        cls.path = os.path.join(cls.prefix, "bin") + os.pathsep + os.environ.get("PATH", "")
        # A painting larger than the thumbnail it stores (384 a side at most).
        cls.large = os.path.join(cls.tmp, "large.yvn")
        convert(os.path.join(DATA, "golden", "native-packed-root", "expected.psd"), cls.large)

    def run_entry(self, size, source, output):
        """The thumbnailer run as a file manager runs its entry."""
        self.assertIsNotNone(shutil.which(self.entry["TryExec"], path=self.path))
        args = [a.replace("%s", str(size)).replace("%i", source).replace("%o", output)
                for a in shlex.split(self.entry["Exec"])]
        return subprocess.run(args, env=dict(os.environ, PATH=self.path), capture_output=True, text=True)

    def check(self, source, size):
        out = os.path.join(self.tmp, "out.png")
        r = self.run_entry(size, source, out)
        self.assertEqual(r.returncode, 0, r.stderr)
        with Doc(source) as doc:
            ow, oh = fit(doc.width, doc.height, size)
            from_thumbnail = doc.thumbnail[0] >= ow and doc.thumbnail[1] >= oh
            want = scale(doc.raw("thumbnail.rgba", *doc.thumbnail) if from_thumbnail
                         else doc.raw("merged.rgba", doc.width, doc.height), ow, oh)
        with Image.open(out) as im:
            self.assertEqual((im.format, im.mode, im.size), ("PNG", "RGBA", (ow, oh)))
            got = np.asarray(im)
        os.unlink(out)
        self.assertEqual(np.count_nonzero(np.any(got != want, axis=2)), 0,
                         "%s at %d: %d pixels differ" % (source, size, np.count_nonzero(got != want)))
        return from_thumbnail, got

    def test_composed_or_scaled_from_the_stored_thumbnail(self):
        # Scaled from the stored thumbnail when it is at least the PNG's size,
        # else composed (no thumbnail stored, or a smaller one).
        for source, size, stored in [(s, n, False) for s in GOLDEN[1:] for n in (128, 97, 1024)] + [
                (self.large, 400, False), (self.large, 512, False), (self.large, 256, True), (self.large, 100, True),
                (SAMPLE, 64, True), (GOLDEN[0], 256, True)]:
            from_thumbnail, got = self.check(source, size)
            self.assertEqual(from_thumbnail, stored, (source, size))
            if source == GOLDEN[2]:
                self.assertTrue(np.any(got[:, :, 3] < 255), "transparency kept")

    def test_damaged_file_gives_no_png(self):
        data = read(SAMPLE)
        cases = {"truncated.yvn": data[: len(data) // 2], "empty.yvn": b"", "noise.yvn": bytes(range(256)) * 64,
                 "bad-head.yvn": data[:64] + b"\xff" * 64 + data[128:]}
        for name in ("inflate-bomb.yvn", "string-without-terminator.yvn", "canvas-310000.yvn"):
            cases[name] = read(os.path.join(DATA, "hostile", name))
        outdir = os.path.join(self.tmp, "damaged")
        os.mkdir(outdir)
        for name, body in sorted(cases.items()):
            src = write(os.path.join(self.tmp, name), body)
            r = self.run_entry(256, src, os.path.join(outdir, name + ".png"))
            self.assertNotEqual(r.returncode, 0, name)
            self.assertIn(name, r.stderr)
            self.assertEqual(os.listdir(outdir), [], name)
        r = self.run_entry(256, os.path.join(self.tmp, "missing.yvn"), os.path.join(outdir, "m.png"))
        self.assertEqual(r.returncode, 1)
        self.assertEqual(os.listdir(outdir), [])

    def test_arguments_and_unwritable_output(self):
        r = self.run_entry(64, SAMPLE, os.path.join(self.tmp, "no-such-folder", "out.png"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("out.png", r.stderr)
        exe = shutil.which("yvn2psd-thumbnailer", path=self.path)
        out = os.path.join(self.tmp, "a.png")
        for args in (["-s", "0", SAMPLE, out], ["-s", "x", SAMPLE, out], [SAMPLE], ["-s", "9999", SAMPLE, out]):
            self.assertEqual(subprocess.run([exe] + args, capture_output=True).returncode, 2, args)
        self.assertFalse(os.path.exists(out))
        self.assertEqual(subprocess.run([exe, SAMPLE, out]).returncode, 0)
        with Image.open(out) as im:
            self.assertEqual(im.size, (160, 120))


GIMP = "gimp-console-2.10"
SCM = os.path.join(SOURCE, "tests", "desktop", "gimp_dump.scm")
# Every GIMP plug-in call starts a process, so each case's layer tree is
# compared, and its pixels and export only for these unless YVN_DESKTOP_FULL
# is set (gimp-full.sh).
FULL = bool(os.environ.get("YVN_DESKTOP_FULL"))
PIXEL_CASES = {"sample", "native-packed-root", "native-record-order", "working-only", "corpus-papi_clipping_masks",
               "corpus-pil_negative_top_left_layer", "corpus-cf_out-of-bounds-layer"}
WIDE_CASES = ["native-packed-root"] + (["native-features"] if FULL else [])


def scheme(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


def through_document(rgba8):
    """Straight 8-bit pixels written into a document and read back (the
    mapping of yvn2psd.h)."""
    px = rgba8.astype(np.int64)
    a8 = px[:, :, 3:4]
    a16 = (a8 * 16449) >> 8
    c16 = (px[:, :, :3] * a8 * 33026) >> 17
    r = np.where(a16 > 0, 0xFF005800 // np.maximum(a16, 1), 0)
    out = np.empty_like(px)
    out[:, :, 3:4] = (a16 - (a16 >> 13)) >> 6
    out[:, :, :3] = (c16 * r + 0xC00000) >> 24
    return out.astype(np.uint8)


class GimpTest(Installed):
    """One gimp-console run does every job; the tests read what it left."""
    component = "gimp"

    @classmethod
    def setUpClass(cls):
        if not shutil.which(GIMP):
            raise unittest.SkipTest(GIMP + " is not installed (scripts/deps.sh installs gimp)")
        super().setUpClass()
        found = [d for d, _, files in os.walk(cls.prefix) if "file-yvn" in files]
        assert len(found) == 1 and found[0].endswith(os.path.join("gimp", "2.0", "plug-ins", "file-yvn")), found
        profile = os.path.join(cls.tmp, "profile")
        shutil.copytree(found[0], os.path.join(profile, "plug-ins", "file-yvn"))
        for folder in ("brushes", "dynamics", "gradients", "palettes", "patterns", "tool-presets"):
            os.makedirs(os.path.join(profile, folder))

        cases = {"sample": SAMPLE, "painting": os.path.join(DATA, "golden", "painting", "expected.yvn"),
                 "working-only": os.path.join(DATA, "native", "working-layer-only.yvn")}
        cases.update((os.path.basename(os.path.dirname(path)), path) for path in GOLDEN)
        cls.corpus = os.path.isdir(CORPUS)
        for name in sorted(os.listdir(CORPUS)) if cls.corpus else []:
            if name.lower().endswith((".psd", ".psb")):
                dst = os.path.join(cls.tmp, os.path.splitext(name)[0] + ".yvn")
                convert(os.path.join(CORPUS, name), dst)
                cases["corpus-" + os.path.splitext(name)[0]] = dst
        out = os.path.join(cls.tmp, "out")
        jobs = []

        def open_job(how, src, d, pngs):
            os.makedirs(d, exist_ok=True)
            jobs.append("(yvn-test-open %s %s %s %s)" % (scheme(how), scheme(src), scheme(d), "#t" if pngs else "#f"))

        cls.cases = {}
        cls.pixels = {name for name in cases if FULL or name in PIXEL_CASES}
        for name, src in sorted(cases.items()):
            d = cls.cases[name] = os.path.join(out, name)
            os.makedirs(d)
            yvn, psd = os.path.join(d, "case.yvn"), os.path.join(d, "case.psd")
            shutil.copy(src, yvn)
            convert(yvn, psd)
            full = name in cls.pixels
            open_job("auto", yvn, os.path.join(d, "yvn"), full)
            open_job("psd", psd, os.path.join(d, "psd"), full)
            if full:
                jobs += ["(yvn-test-export %s %s %s)" % (scheme(how), scheme(f), scheme(os.path.join(d, dst)))
                         for how, f, dst in (("psd", psd, "from-psd.yvn"), ("auto", yvn, "from-yvn.yvn"))]
        # 16 bits, against the program's 16-bit PSD; files found by their
        # leading bytes alone; a damaged file; images made in GIMP.
        cls.wide = {name: os.path.join(out, name + "-16") for name in WIDE_CASES}
        for name, d in cls.wide.items():
            os.makedirs(d)
            convert(cases[name], os.path.join(d, "case.psd"), "-d16")
            open_job("yvn16", cases[name], os.path.join(d, "yvn"), True)
            open_job("psd", os.path.join(d, "case.psd"), os.path.join(d, "psd"), True)
        cls.magic = {name: os.path.join(out, "magic-" + name) for name in ("sample", "native-packed-root")}
        for name, d in cls.magic.items():
            os.makedirs(d)
            open_job("auto", shutil.copy(cases[name], os.path.join(d, "painting")), d, False)
        cls.damaged = os.path.join(out, "damaged")
        os.makedirs(cls.damaged)
        body = read(SAMPLE)
        open_job("auto", write(os.path.join(cls.damaged, "damaged.yvn"), body[: len(body) // 2]), cls.damaged, False)
        cls.made = os.path.join(out, "made.yvn")
        cls.gray = os.path.join(out, "gray.yvn")
        cls.stored = os.path.join(out, "stored.yvn")
        jobs += ["(yvn-test-made %s)" % scheme(cls.made), "(yvn-test-made-gray %s)" % scheme(cls.gray),
                 "(yvn-test-export \"stored\" %s %s)" % (scheme(SAMPLE), scheme(cls.stored))]

        env = {k: v for k, v in os.environ.items() if not k.startswith(("XDG_", "DISPLAY"))}
        env.update(GIMP2_DIRECTORY=profile, HOME=cls.tmp, XDG_CONFIG_HOME=os.path.join(cls.tmp, "config"),
                   XDG_CACHE_HOME=os.path.join(cls.tmp, "cache"), XDG_DATA_HOME=os.path.join(cls.tmp, "data"))
        # One Script-Fu for every job (each batch command starts one); a
        # failing job is reported and the next one runs.
        batch = "(begin (load %s) %s)" % (
            scheme(SCM), " ".join('(catch (gimp-message "job failed: %d") %s)' % (i, j) for i, j in enumerate(jobs)))
        r = subprocess.run([GIMP, "-i", "-d", "-f", "--batch-interpreter=plug-in-script-fu-eval", "-b", batch,
                            "-b", "(gimp-quit 0)"], env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                           timeout=900)
        cls.log = r.stdout + r.stderr

    def tree(self, d):
        path = os.path.join(d, "layers.tsv")
        self.assertTrue(os.path.exists(path), "GIMP opened nothing into %s:\n%s" % (d, self.log[-3000:]))
        with open(path) as f:
            lines = [line.rstrip("\n").split("\t") for line in f]
        return lines[0], lines[1:]

    def same_opening(self, d, locks, pixels):
        """The plug-in's image of d/case.yvn and GIMP's PSD loader's of
        d/case.psd: the same tree, properties and pixels."""
        head_y, rows_y = self.tree(os.path.join(d, "yvn"))
        head_p, rows_p = self.tree(os.path.join(d, "psd"))
        self.assertEqual(head_y, head_p, d)
        # The pixel lock, which GIMP's PSD loader does not read, is left out.
        self.assertEqual([r[:-1] for r in rows_y], [r[:-1] for r in rows_p], d)
        if locks is not None:
            self.assertEqual([int(r[-1]) for r in rows_y if r[1] == "layer"], locks, d)
        n = sum(1 for r in rows_y if r[1] == "layer") if pixels else 0
        for i in range(n):
            a = read_png(os.path.join(d, "yvn", "%d.png" % i))
            b = read_png(os.path.join(d, "psd", "%d.png" % i))
            self.assertEqual(a.shape, b.shape, "%s layer %d" % (d, i))
            self.assertTrue(np.array_equal(a, b), "%s layer %d: %d samples differ" % (d, i, np.count_nonzero(a != b)))
        return rows_y

    def test_opens_as_gimp_opens_the_programs_psd(self):
        modes = set()
        groups = 0
        for name, d in sorted(self.cases.items()):
            with self.subTest(case=name):
                with Doc(os.path.join(d, "case.yvn")) as doc:
                    locks = [l["lock_pixels"] for l in reversed(doc.layers) if not l["working"]] or None
                rows = self.same_opening(d, locks, name in self.pixels)
                modes |= {r[7] for r in rows if r[1] == "layer"}
                groups += sum(1 for r in rows if r[1] == "group")
        # The cases reach every mode and GIMP's groups for clipped layers.
        self.assertGreaterEqual(len(modes), 24, modes)
        self.assertGreater(groups, 0)
        self.assertGreaterEqual(len(self.pixels), 4 if self.corpus else 3)

    def test_opens_at_16_bits_as_gimp_opens_the_16_bit_psd(self):
        for name, d in self.wide.items():
            with self.subTest(case=name):
                self.same_opening(d, None, True)
                head, _ = self.tree(os.path.join(d, "yvn"))
                self.assertEqual(head[3], "250", "GIMP_PRECISION_U16_GAMMA")
                self.assertEqual(read_png(os.path.join(d, "yvn", "0.png")).dtype, np.dtype(">u2"))

    def test_found_by_leading_bytes(self):
        for name, d in self.magic.items():
            with self.subTest(case=name):
                _, rows = self.tree(d)
                _, want = self.tree(os.path.join(self.cases[name], "yvn"))
                self.assertEqual(rows, want)

    def test_damaged_file_opens_nothing(self):
        self.assertFalse(os.path.exists(os.path.join(self.damaged, "layers.tsv")))
        self.assertIn("damaged.yvn", self.log)

    def same_layers(self, exported, original, pixel_lock):
        """The layers of `exported`, written by the plug-in from GIMP's 8-bit
        layers, are those of `original` (bar working layers), whose 8-bit
        pixels went through the document's 16 bits once more."""
        with Doc(exported) as doc_e, Doc(original) as doc_o:
            got, want = ([l for l in doc.layers if not l["working"]] for doc in (doc_e, doc_o))
            self.assertEqual(len(got), len(want), exported)
            keys = ["name", "left", "top", "right", "bottom", "opacity", "visible", "psd_key", "clipping",
                    "lock_transparency"] + (["lock_pixels"] if pixel_lock else [])
            for g, w in zip(got, want):
                # GIMP names a layer without a name "Layer".
                w = dict(w, name=w["name"] or "Layer")
                self.assertEqual({k: g[k] for k in keys}, {k: w[k] for k in keys}, exported)
                self.assertTrue(np.array_equal(doc_e.pixels(g), through_document(doc_o.pixels(w))),
                                "%s: %s" % (exported, g["name"]))

    def test_exports_what_it_opened(self):
        for name in sorted(self.pixels):
            if name == "working-only":
                continue  # its one layer is the merged image, as in its PSD
            d = self.cases[name]
            with self.subTest(case=name):
                self.same_layers(os.path.join(d, "from-yvn.yvn"), os.path.join(d, "case.yvn"), True)
                self.same_layers(os.path.join(d, "from-psd.yvn"), os.path.join(d, "case.yvn"), False)

    def assert_layer(self, doc, layer, pixel, **props):
        self.assertEqual({k: layer[k] for k in props}, props)
        self.assertTrue((doc.pixels(layer) == pixel).all(), layer["name"])

    def test_exports_an_image_made_in_gimp(self):
        with Doc(self.made) as doc:
            self.assertEqual((doc.width, doc.height, len(doc.layers)), (64, 48, 3))
            paper, red, blue = doc.layers
            self.assert_layer(doc, paper, (200, 180, 160, 255), name="paper", left=0, right=64, visible=1,
                              psd_key="norm")
            # The hidden group's layers: hidden, its own settings lost.
            self.assert_layer(doc, red, (255, 0, 0, 255), name="red", left=5, top=6, right=25, bottom=16, opacity=128,
                              visible=0, psd_key="mul ", clipping=0)
            # The mask's black left half is taken off the layer.
            self.assert_layer(doc, blue, (0, 0, 255, 255), name="blue", left=45, top=20, right=60, bottom=40,
                              psd_key="scrn", clipping=1, lock_transparency=1, visible=0)
        with Doc(self.gray) as doc:
            self.assertEqual(len(doc.layers), 1)
            self.assert_layer(doc, doc.layers[0], (51, 51, 51, 255))

    def test_export_stores_when_asked(self):
        compressed = os.path.join(self.cases["sample"], "from-yvn.yvn")
        self.assertGreater(os.path.getsize(self.stored), 2 * os.path.getsize(compressed))
        self.same_layers(self.stored, SAMPLE, True)


if __name__ == "__main__":
    unittest.main()
