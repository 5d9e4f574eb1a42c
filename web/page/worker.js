// One file's conversion, in a worker of its own (the page makes this worker
// from yvn2psd.js, core.js and this file, so that starting one fetches
// nothing). The source File is read piece by piece; the result goes back as
// a Blob made from the module's memory, with the layers and a small
// preview of the merged image read from the PSD side of the conversion.
/* global createYvn2psdModule, Yvn2psdCore */
'use strict';

const PREVIEW = 256;

self.onmessage = async (event) => {
  const { code, file, options } = event.data;
  const post = (message, transfer) => self.postMessage(message, transfer || []);
  try {
    const m = await createYvn2psdModule({
      instantiateWasm(imports, done) {
        WebAssembly.instantiate(code, imports).then((i) => done(i, code));
        return {};
      },
    });
    const api = Yvn2psdCore.bind(m);
    const out = api.convert(Yvn2psdCore.blobSource(file), {
      compress: options.compress,
      psdDepth: options.psdDepth,
      onProgress: (progress) => post({ type: 'progress', progress }),
    });
    const bytes = out.view();
    const psdOut = bytes.length >= 4 && bytes[0] === 0x38 && bytes[1] === 0x42 && bytes[2] === 0x50 && bytes[3] === 0x53;
    const blob = new Blob([bytes], { type: 'application/octet-stream' });
    let summary = null;
    try {
      summary = describe(api, psdOut ? api.heapSource(out.ptr, out.size) : Yvn2psdCore.blobSource(file));
    } catch (e) {
      summary = { layers: [], preview: null, note: e.message || String(e) };
    }
    const memory = api.memoryBytes();
    out.free();
    const transfer = summary.preview ? [summary.preview.data.buffer] : [];
    post({ type: 'done', blob, size: out.size, psd: psdOut, memory, ...summary }, transfer);
  } catch (e) {
    post({ type: 'failed', line: e && e.code !== undefined ? e.message : `error:${e && e.message ? e.message : e}` });
  }
};

// The layers' properties and the merged image, scaled down, of the PSD side.
function describe(api, source) {
  const doc = api.open(source);
  try {
    const info = doc.info();
    const layers = [];
    for (let i = 0; i < info.layerCount; ++i) {
      const l = doc.layer(i);
      layers.push({ name: l.name, mode: Yvn2psdCore.BLEND_NAMES[l.blend] || 'normal', opacity: l.opacity,
        visible: l.visible });
    }
    const merged = doc.readMerged(info.width, info.height);
    return { layers, preview: shrink(merged, info.width, info.height) };
  } finally {
    doc.close();
  }
}

// Averages boxes of pixels down to at most PREVIEW a side.
function shrink(data, width, height) {
  const f = Math.max(1, Math.ceil(Math.max(width, height) / PREVIEW));
  const w = Math.max(1, Math.floor(width / f));
  const h = Math.max(1, Math.floor(height / f));
  const out = new Uint8ClampedArray(w * h * 4);
  const n = f * f;
  for (let y = 0; y < h; ++y) {
    for (let x = 0; x < w; ++x) {
      let r = 0, g = 0, b = 0, a = 0;
      for (let yy = 0; yy < f; ++yy) {
        let p = ((y * f + yy) * width + x * f) * 4;
        for (let xx = 0; xx < f; ++xx, p += 4) {
          const alpha = data[p + 3];
          r += data[p] * alpha;
          g += data[p + 1] * alpha;
          b += data[p + 2] * alpha;
          a += alpha;
        }
      }
      const o = (y * w + x) * 4;
      if (a) {
        out[o] = r / a;
        out[o + 1] = g / a;
        out[o + 2] = b / a;
      }
      out[o + 3] = a / n;
    }
  }
  return { width: w, height: h, data: out };
}
