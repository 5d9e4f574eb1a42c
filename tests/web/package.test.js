// The npm package, installed from its tarball: the JavaScript API and npx
// give the native program's bytes, lines and exit statuses; the Psd-shaped
// reading and writing agree with the native program's PSDs and with ag-psd.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const h = require('./helpers');

const lib = () => h.installPackage().lib;

// Runs the same command line natively and then through npx in the same
// folder (listings print full paths): the same output, exit status and
// files left. Returns the native run and where its files were kept.
function sameAsNative(files, args, input) {
  const folder = path.join(h.installPackage().dir, 'work', `case-${++cases}`);
  h.copyFiles(files, folder);
  const n = h.runNative(args, folder, input);
  const kept = `${folder}-native`;
  fs.renameSync(folder, kept);
  h.copyFiles(files, folder);
  const w = h.runNpx(args, folder, input);
  assert.equal(w.stdout, n.stdout, `stdout of ${args.join(' ')}`);
  assert.equal(w.status, n.status, `exit status of ${args.join(' ')}`);
  const nt = h.tree(kept);
  assert.deepEqual(h.tree(folder), nt, 'the files left behind');
  fs.rmSync(folder, { recursive: true, force: true });
  return { native: n, folder: kept, tree: nt };
}
let cases = 0;

test('the API gives the native bytes from bytes or a path: compressed, stored, 16-bit and failed alike', async (t) => {
  if (h.corpusFiles().length === 0) t.diagnostic('PSD corpus not found: golden files only');
  const work = h.tempDir('api');
  h.copyFiles([...h.corpusFiles(), ...golden('psd')], path.join(work, 'psd'));
  h.copyFiles(golden('yvn'), path.join(work, 'yvn'));
  // [to, from, native options, API options]: the native program converts
  // every file of `from` into `to`: every PSD to .yvn, compressed and
  // stored, then those and the golden .yvn back to PSD at both depths.
  const runs = [['yvn', 'psd', [], {}], ['yvn0', 'psd', ['-z0'], { compress: false }],
    ['psd8', 'yvn', [], {}], ['psd16', 'yvn', ['-d16'], { psdDepth: 16 }]];
  let n = 0;
  for (const [to, from, args, options] of runs) {
    h.runNative(['-q', '-W', '-F', ...args, `-o${work}/${to}`, `${work}/${from}/*`], work);
    for (const f of fs.readdirSync(path.join(work, from))) {
      const input = path.join(work, from, f);
      const expected = path.join(work, to, f.replace(/\.\w+$/, from === 'psd' ? '.yvn' : '.psd'));
      // The file's bytes and its path (read piece by piece) by turns.
      const got = await lib().convert(++n % 2 ? fs.readFileSync(input) : { path: input }, options).catch((e) => e);
      if (fs.existsSync(expected)) {
        assert.ok(got instanceof Uint8Array && Buffer.from(got).equals(fs.readFileSync(expected)),
          `${input} -> ${expected}: ${got.message}`);
      } else {
        // Where the native program failed, the API fails with a code of its table.
        assert.ok(got instanceof lib().Yvn2psdError, `${input} converted where the native program failed`);
        assert.match(got.message, /^error\(-?\d+\):/);
      }
    }
  }
});

// The golden inputs of a kind, copied under their case's name
// (painting.psd, native-features.yvn, ...).
function golden(kind) {
  const dir = h.tempDir(`golden-${kind}`);
  return fs.readdirSync(h.golden).filter((c) => fs.existsSync(path.join(h.golden, c, `input.${kind}`))).map((c) => {
    fs.copyFileSync(path.join(h.golden, c, `input.${kind}`), path.join(dir, `${c}.${kind}`));
    return path.join(dir, `${c}.${kind}`);
  });
}

test('npx yvn2psd: a batch of PSDs with -F, then the .yvn back, as the native program runs them', (t) => {
  const psds = [...h.corpusFiles(), ...golden('psd'), path.join(h.hostile, 'psd-channel-length-beyond-file.psd')];
  const first = sameAsNative(psds, ['-W', '-F', '-oout', '*.ps?']);
  assert.equal(first.native.status, 1, 'a damaged file in the batch fails it');
  assert.match(first.native.stdout, /error\(101\):Not a supported PSD file/);
  const yvns = [...first.tree.keys()].filter((f) => f.endsWith('.yvn')).map((f) => path.join(first.folder, f));
  const yvnDir = h.tempDir('yvns');
  h.copyFiles([...yvns, ...golden('yvn')], yvnDir);
  const inputs = fs.readdirSync(yvnDir).map((f) => path.join(yvnDir, f));
  sameAsNative(inputs, ['-q', '-W', '-d16', '-oout', '*.yvn']);
  sameAsNative(inputs, ['-W', '-z0', '*.yvn']);
});

test('npx yvn2psd: usage, listing, questions and failures end as the native program ends', (t) => {
  const files = [path.join(h.golden, 'painting', 'input.psd'), path.join(h.golden, 'native-features', 'input.yvn')];
  assert.equal(sameAsNative(files, []).native.status, 255);
  sameAsNative(files, ['-L', '*.ps?']);
  sameAsNative(files, ['-q', 'input.psd', 'out/x.yvn']);
  // The destination exists: the question is answered from standard input.
  const withOld = h.tempDir('old');
  fs.copyFileSync(path.join(h.golden, 'painting', 'expected.yvn'), path.join(withOld, 'input.yvn'));
  for (const answer of ['s', 'y', '']) sameAsNative([files[0], path.join(withOld, 'input.yvn')], ['input.psd'], answer);
  assert.equal(sameAsNative(files, ['-q', 'nothing.psd']).native.status, 255);
  fs.rmSync(withOld, { recursive: true, force: true });
});

test('readPsd of a .yvn gives the pixels and properties of the PSD the native program writes from it', async () => {
  const { readPsd: agRead } = agPsd();
  for (const input of golden('yvn')) {
    h.runNative(['-q', '-W', path.basename(input)], path.dirname(input));
    const ours = await lib().readPsd(fs.readFileSync(input));
    const theirs = agRead(fs.readFileSync(input.replace(/\.yvn$/, '.psd')), { useImageData: true });
    assert.deepEqual([ours.width, ours.height], [theirs.width, theirs.height]);
    // The PSD leaves out working layers (hidden, named with a leading "*").
    const kept = ours.children.filter((l) => !(l.hidden && l.name.startsWith('*')));
    assert.equal(kept.length, theirs.children.length, input);
    kept.forEach((l, i) => {
      const p = theirs.children[i];
      // An empty layer's place is the PSD writer's choice; ours reads as 0.
      const place = (x) => (l.right > l.left ? [x.left, x.top, x.right, x.bottom] : []);
      assert.deepEqual([l.name, ...place(l), Math.round(l.opacity * 255), l.hidden, l.blendMode, !!l.clipping],
        [p.name, ...place(p), Math.round(p.opacity * 255), !!p.hidden, p.blendMode, !!p.clipping]);
      if (p.imageData) assert.ok(Buffer.from(l.imageData.data).equals(Buffer.from(p.imageData.data)), `${l.name} pixels`);
    });
    // The PSD's merged image is stored over white: its colour comes back
    // exactly where it is opaque, and within the matte's rounding elsewhere.
    const a = ours.imageData.data;
    const b = theirs.imageData.data;
    for (let i = 0; i < a.length; i += 4) {
      assert.equal(a[i + 3], b[i + 3], `merged transparency at pixel ${i / 4}`);
      const slack = a[i + 3] === 255 ? 0 : a[i + 3] === 0 ? 255 : Math.ceil(255 / a[i + 3]);
      for (let c = 0; c < 3; ++c) assert.ok(Math.abs(a[i + c] - b[i + c]) <= slack, `merged colour at pixel ${i / 4}`);
    }
  }
});

test('a document read, written by ag-psd and read again, and written as .yvn, keeps its layers', async () => {
  const { readPsd: agRead, writePsd: agWrite } = agPsd();
  const source = path.join(h.golden, 'painting', 'input.psd');
  const ours = await lib().readPsd({ path: source });
  const bytes = agWrite(ours, { generateThumbnail: false });
  const back = await lib().readPsd(new Uint8Array(bytes));
  const again = agRead(new Uint8Array(bytes), { useImageData: true });
  const layers = (psd) => psd.children.map((l) => ({
    name: l.name, opacity: Math.round(l.opacity * 255), hidden: !!l.hidden, blendMode: l.blendMode,
    clipping: !!l.clipping, ...content(l),
  }));
  assert.deepEqual(layers(back), layers(ours));
  assert.deepEqual(layers(again), layers(ours));

  // ag-psd's reading of the native PSD, written as .yvn by the package,
  // converts to the same PSD layers.
  const yvn = await lib().writeYvn(again);
  const fromYvn = await lib().readPsd(yvn);
  assert.deepEqual(layers(fromYvn), layers(ours));
  const yvnFromOurs = await lib().writeYvn(ours, { compress: false });
  const psd = await lib().convert(yvnFromOurs);
  // The PSD leaves out the working layers (hidden, named with a leading "*").
  const shown = layers(ours).filter((l) => !(l.hidden && l.name.startsWith('*')));
  assert.deepEqual(layers(agRead(psd, { useImageData: true })), shown);
});

test('failures carry the program codes; progress is told and can cancel', async () => {
  const y = lib();
  await assert.rejects(y.convert(Buffer.from('8BPS not really')), (e) => e instanceof y.Yvn2psdError && e.code === 101 &&
    e.message === 'error(101):Not a supported PSD file');
  await assert.rejects(y.convert(new Uint8Array(64)), (e) => e.code === 1 && e.text === 'Illigal data format');
  const painting = path.join(h.golden, 'painting', 'input.psd');
  const seen = [];
  const out = await y.convert({ path: painting }, { onProgress: (p) => { seen.push(p); } });
  assert.ok(out.length > 0);
  const reads = seen.filter((p) => p.stage === 'read');
  const writes = seen.filter((p) => p.stage === 'write');
  assert.ok(reads.length && writes.length);
  assert.ok(reads.at(-1).finished && writes.at(-1).finished && writes.at(-1).status === 0);
  assert.equal(writes.at(-1).phase, writes.at(-1).phases);
  let calls = 0;
  await assert.rejects(y.convert({ path: painting }, { onProgress: () => (++calls < 3 ? undefined : false) }),
    (e) => e.code === 111);
  const ac = new AbortController();
  ac.abort();
  await assert.rejects(y.convert(fs.readFileSync(painting), { signal: ac.signal }), (e) => e.code === 111);
  assert.equal(await y.version(), require(path.join(h.installPackage().dir, 'node_modules', 'yvn2psd', 'package.json')).version);
});

// A layer's rectangle and pixels cut to its pixels that are not fully
// transparent: a .yvn layer's rectangle is the smallest around them.
function content(layer) {
  const img = layer.imageData;
  if (!img) return { rect: [], pixels: '' };
  let x0 = img.width, y0 = img.height, x1 = 0, y1 = 0;
  for (let y = 0; y < img.height; ++y)
    for (let x = 0; x < img.width; ++x)
      if (img.data[(y * img.width + x) * 4 + 3]) {
        x0 = Math.min(x0, x); y0 = Math.min(y0, y); x1 = Math.max(x1, x + 1); y1 = Math.max(y1, y + 1);
      }
  if (x1 <= x0) return { rect: [], pixels: '' };
  const cut = new Uint8Array((x1 - x0) * (y1 - y0) * 4);
  for (let y = y0; y < y1; ++y)
    cut.set(img.data.subarray((y * img.width + x0) * 4, (y * img.width + x1) * 4), (y - y0) * (x1 - x0) * 4);
  return { rect: [layer.left + x0, layer.top + y0, layer.left + x1, layer.top + y1], pixels: digest(cut) };
}

// A digest of RGBA8 pixels as the library keeps them through its 16-bit
// premultiplied document: every transparency, and the colour where the
// transparency is 8 or more (of 255).
function digest(data) {
  const kept = Buffer.from(data);
  for (let i = 0; i < kept.length; i += 4) if (kept[i + 3] < 8) kept.fill(0, i, i + 3);
  return require('crypto').createHash('sha1').update(kept).digest('hex');
}

function agPsd() {
  const ag = require('ag-psd');
  // No canvas in Node: plain ImageData-shaped objects do.
  ag.initializeCanvas(() => { throw new Error('no canvas'); },
    (width, height) => ({ width, height, data: new Uint8ClampedArray(width * height * 4) }));
  return ag;
}
