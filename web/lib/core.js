// The JavaScript side of the module, shared by Node (lib/index.js) and the
// page's workers: conversions, the read handle as an object shaped like
// ag-psd's Psd, and the writer. Everything here is synchronous on one module
// instance; the callers load the instance.
(function (root, factory) {
  if (typeof module === 'object' && module.exports) module.exports = factory();
  else root.Yvn2psdCore = factory();
})(typeof self !== 'undefined' ? self : this, function () {
  'use strict';

  const FORMAT = { auto: 0, yvn: 1, psd: 2 };
  const PIXEL_RGBA8 = 1;

  // The library's blend enumeration and ag-psd's names; a mode without a
  // PSD counterpart (255) reads as normal, as the PSD writer stores it.
  const BLEND_NAMES = ['normal', 'multiply', 'linear dodge', 'subtract', 'screen', 'overlay', 'darker color',
    'lighter color', 'hard light', 'soft light', 'vivid light', 'linear light', 'pin light', 'color dodge',
    'color burn', 'linear burn', 'darken', 'lighten', 'difference', 'exclusion', 'hue', 'saturation', 'color',
    'luminosity'];

  class Yvn2psdError extends Error {
    // code and text as the program's error line prints them
    // ("error(101):Not a supported PSD file"); detail names the cause where
    // the library knows it.
    constructor(code, text, detail) {
      super(`error(${code}):${text}`);
      this.name = 'Yvn2psdError';
      this.code = code;
      this.text = text;
      this.detail = detail || '';
    }
  }

  // The module's functions for one instance.
  function bind(m) {
    const scratch = m._malloc(64) >>> 0;
    const sources = new Map();
    const progress = new Map();
    let nextId = 1;

    // A source: { size, readInto(offset, target) } where target is a
    // Uint8Array view of the module's memory; returns the bytes copied.
    m.yvnRead = (id, offset, ptr, size) => {
      const s = sources.get(id);
      if (!s) return -1;
      try {
        const n = Math.min(size, s.size - offset);
        if (n <= 0) return 0;
        return s.readInto(offset, m.HEAPU8.subarray(ptr, ptr + n));
      } catch (e) {
        s.error = e;
        return -1;
      }
    };
    m.yvnProgress = (id, stage, phase, phases, percent, finished, status) => {
      const p = progress.get(id);
      if (!p) return 0;
      try {
        const r = p.fn({ stage: stage === 0 ? 'read' : 'write', phase, phases, percent, finished: !!finished, status });
        return r === false || (p.signal && p.signal.aborted) ? 1 : 0;
      } catch (e) {
        p.error = e;
        return 1;
      }
    };

    const u32 = (ptr) => m.HEAPU32[ptr >>> 2];
    const i32 = (ptr) => m.HEAP32[ptr >>> 2];
    const fail = (code) =>
      new Yvn2psdError(code, m.UTF8ToString(m._yvn2psd_error_text(code)),
        m.UTF8ToString(m._yvn2psd_last_error_message()));
    // A NUL-ended copy in the module's memory (0 for none or, unless kept,
    // an empty one); the caller frees it.
    const cString = (s, keepEmpty) => {
      if (s == null || (s === '' && !keepEmpty)) return 0;
      const n = m.lengthBytesUTF8(s) + 1;
      const p = m._malloc(n) >>> 0;
      if (!p) throw fail(106);
      m.stringToUTF8(s, p, n);
      return p;
    };

    // The options struct and its progress registration; release() frees both.
    function options(o = {}) {
      let pid = 0;
      if (o.onProgress || o.signal) {
        pid = nextId++;
        progress.set(pid, { fn: o.onProgress || (() => {}), signal: o.signal });
      }
      const charset = cString(o.nameCharset);
      const depth = o.psdDepth === undefined ? 8 : o.psdDepth;
      if (depth !== 8 && depth !== 16) throw new RangeError('psdDepth must be 8 or 16');
      const from = FORMAT[o.from || 'auto'];
      if (from === undefined) throw new RangeError("from must be 'yvn', 'psd' or 'auto'");
      const ptr = m._yvnw_options(o.compress === false ? 0 : 1, depth, from, pid, charset) >>> 0;
      if (!ptr) throw fail(106);
      return {
        ptr,
        pid,
        check() {
          const p = progress.get(pid);
          if (p && p.error) throw p.error;
        },
        release() {
          m._free(ptr);
          if (charset) m._free(charset);
          progress.delete(pid);
        },
      };
    }

    function source(src) {
      const id = nextId++;
      sources.set(id, src);
      const ptr = m._yvnw_source(id, src.size) >>> 0;
      if (!ptr) {
        sources.delete(id);
        throw fail(106);
      }
      return {
        ptr,
        check() {
          if (src.error) throw src.error;
        },
        release() {
          m._free(ptr);
          sources.delete(id);
        },
      };
    }

    // Converts; returns { ptr, size } of the bytes in the module's memory
    // (view() gives them without a copy, free() lets them go).
    function convert(src, opts) {
      const o = options(opts);
      const s = source(src);
      try {
        const code = m._yvnw_convert(s.ptr, o.ptr, scratch);
        s.check();
        o.check();
        if (code !== 0) throw fail(code);
        return output(u32(scratch), u32(scratch + 4));
      } finally {
        s.release();
        o.release();
      }
    }

    function output(ptr, size) {
      return {
        ptr,
        size,
        view: () => m.HEAPU8.subarray(ptr, ptr + size),
        free: () => m._yvn2psd_free(ptr),
      };
    }

    function open(src, opts) {
      const o = options({ from: opts && opts.from, nameCharset: opts && opts.nameCharset });
      const s = source(src);
      let doc = 0;
      try {
        const code = m._yvnw_open(s.ptr, o.ptr, scratch);
        s.check();
        if (code !== 0) throw fail(code);
        doc = u32(scratch);
      } finally {
        o.release();
        if (!doc) s.release();
      }
      const call = (code) => {
        s.check();
        if (code !== 0) throw fail(code);
      };
      return {
        info() {
          call(m._yvnw_document_info(doc, scratch));
          const v = (k) => u32(scratch + 4 * k);
          return { format: v(0) === 1 ? 'yvn' : 'psd', width: v(1), height: v(2), layerCount: v(3), depth: v(4),
            version: v(5) };
        },
        layer(index) {
          call(m._yvnw_layer_info(doc, index, scratch));
          const v = (k) => i32(scratch + 4 * k);
          return { name: m.UTF8ToString(v(0) >>> 0), left: v(1), top: v(2), right: v(3), bottom: v(4),
            opacity: v(5), opacityExact: v(6), visible: !!v(7), blend: v(8), clipping: !!v(9),
            lockTransparency: !!v(10), lockPixels: !!v(11), workingLayer: !!v(12),
            psdKey: m.UTF8ToString(v(13) >>> 0, 4) };
        },
        // RGBA8 pixels (straight colour, as the PSD writer stores them) of a
        // layer's rectangle or of the merged image, copied out.
        readLayer(index, width, height) {
          return readPixels(width, height, (p, n) => m._yvn2psd_read_layer(doc, index, PIXEL_RGBA8, p, 0, n));
        },
        readMerged(width, height) {
          return readPixels(width, height, (p, n) => m._yvn2psd_read_merged(doc, PIXEL_RGBA8, p, 0, n));
        },
        close() {
          if (!doc) return;
          m._yvn2psd_close(doc);
          doc = 0;
          s.release();
        },
      };

      function readPixels(width, height, read) {
        const n = width * height * 4;
        const out = new Uint8ClampedArray(n);
        if (n === 0) return out;
        const p = m._malloc(n) >>> 0;
        if (!p) throw fail(106);
        try {
          call(read(p, n));
          out.set(m.HEAPU8.subarray(p, p + n));
        } finally {
          m._free(p);
        }
        return out;
      }
    }

    function writer(format, width, height, opts) {
      const o = options(opts);
      let w = 0;
      try {
        const code = m._yvnw_writer_create(FORMAT[format], width, height, o.ptr, scratch);
        if (code !== 0) throw fail(code);
        w = u32(scratch);
      } finally {
        o.release();
      }
      const values = m._malloc(16 * 4) >>> 0;
      return {
        // info as layer() gives it; pixels RGBA8 of its rectangle, rows back
        // to back (stride: bytes from one row to the next).
        addLayer(info, pixels, stride) {
          const name = cString(info.name || '', true);
          const h = info.bottom - info.top;
          const bytes = h > 0 ? stride * (h - 1) + (info.right - info.left) * 4 : 0;
          const p = bytes > 0 ? m._malloc(bytes) >>> 0 : 0;
          try {
            if (bytes > 0 && !p) throw fail(106);
            if (p) m.HEAPU8.set(pixels.subarray(0, bytes), p);
            const v = [0, info.left, info.top, info.right, info.bottom, info.opacity, info.opacityExact || 0,
              info.visible ? 1 : 0, info.blend, info.clipping ? 1 : 0, info.lockTransparency ? 1 : 0,
              info.lockPixels ? 1 : 0];
            m.HEAP32.set(v, values >>> 2);
            const code = m._yvnw_writer_add_layer(w, name, values, PIXEL_RGBA8, p, stride);
            if (code !== 0) throw fail(code);
          } finally {
            if (p) m._free(p);
            if (name) m._free(name);
          }
        },
        finish() {
          const code = m._yvnw_writer_finish(w, scratch);
          if (code !== 0) throw fail(code);
          return output(u32(scratch), u32(scratch + 4));
        },
        close() {
          if (!w) return;
          m._yvn2psd_writer_close(w);
          m._free(values);
          w = 0;
        },
      };
    }

    // Bytes already in the module's memory (a conversion's output) as a
    // source; the view is taken afresh at each read, as the memory may grow.
    function heapSource(ptr, size) {
      return {
        size,
        readInto(offset, target) {
          target.set(m.HEAPU8.subarray(ptr + offset, ptr + offset + target.length));
          return target.length;
        },
      };
    }

    return {
      convert,
      open,
      heapSource,
      memoryBytes: () => m.HEAPU8.length,
      writer,
      version: () => m.UTF8ToString(m._yvn2psd_version_string()),
      errorText: (code) => m.UTF8ToString(m._yvn2psd_error_text(code)),
      setThreads: (n) => m._yvn2psd_set_threads(n),
    };
  }

  // Sources over what a caller holds.
  function bytesSource(bytes) {
    const b = bytes instanceof Uint8Array ? bytes : new Uint8Array(bytes.buffer || bytes, bytes.byteOffset || 0,
      bytes.byteLength);
    return {
      size: b.length,
      readInto(offset, target) {
        target.set(b.subarray(offset, offset + target.length));
        return target.length;
      },
    };
  }

  // A browser's File or Blob, read piece by piece (workers only:
  // FileReaderSync), through the block cache.
  function blobSource(blob) {
    const reader = new FileReaderSync();
    return cachedSource({
      size: blob.size,
      readInto(offset, target) {
        const piece = new Uint8Array(reader.readAsArrayBuffer(blob.slice(offset, offset + target.length)));
        target.set(piece);
        return piece.length;
      },
    });
  }

  // A source read through a cache of aligned blocks, the most recent kept.
  // The library reads a source through windows of a megabyte, each where it
  // reads next; where it samples rows of several channels in turn (a PSD's
  // thumbnail pass), consecutive windows lie a few kilobytes apart in
  // several places of the file, and asking the source for each again would
  // read the file many times over (twenty-eight times for a photo-like PSD).
  // Reads of several blocks (a layer's channel data) go straight through.
  function cachedSource(src, blockBytes = 1 << 20, blocks = 48) {
    const cache = new Map(); // block index -> bytes, least recently used first
    const block = (i) => {
      let b = cache.get(i);
      if (b) {
        cache.delete(i);
        cache.set(i, b);
        return b;
      }
      const start = i * blockBytes;
      b = new Uint8Array(Math.max(0, Math.min(blockBytes, src.size - start)));
      let got = 0;
      while (got < b.length) {
        const n = src.readInto(start + got, b.subarray(got));
        if (n <= 0) break;
        got += n;
      }
      b = b.subarray(0, got);
      cache.set(i, b);
      if (cache.size > blocks) cache.delete(cache.keys().next().value);
      return b;
    };
    return {
      size: src.size,
      readInto(offset, target) {
        if (target.length > 2 * blockBytes) return src.readInto(offset, target);
        let done = 0;
        while (done < target.length) {
          const at = offset + done;
          const i = Math.floor(at / blockBytes);
          const b = block(i);
          const from = at - i * blockBytes;
          if (from >= b.length) break;
          const n = Math.min(b.length - from, target.length - done);
          target.set(b.subarray(from, from + n), done);
          done += n;
        }
        return done;
      },
    };
  }

  // ag-psd's Psd from a document: width, height, children (bottom first)
  // with name, rectangle, opacity 0-1, hidden, blendMode, clipping, the
  // locks as `protected`, and pixels as imageData { width, height, data }
  // (an ImageData where the environment has one); the merged image as the
  // document's imageData. Groups are flattened.
  function readDocument(api, src, opts = {}) {
    const doc = api.open(src, opts);
    try {
      const info = doc.info();
      const makeImage = opts.makeImageData || defaultImageData;
      const children = [];
      for (let i = 0; i < info.layerCount; ++i) {
        const l = doc.layer(i);
        const width = Math.max(0, l.right - l.left);
        const height = Math.max(0, l.bottom - l.top);
        const layer = {
          name: l.name,
          top: l.top,
          left: l.left,
          bottom: l.bottom,
          right: l.right,
          // As the PSD writer stores it (ag-psd reads the same from a PSD).
          opacity: l.opacity / 255,
          hidden: !l.visible,
          blendMode: BLEND_NAMES[l.blend] || 'normal',
          clipping: l.clipping,
        };
        // The .yvn's own opacity (0 to 16384), which writing gives back.
        if (info.format === 'yvn') layer.opacityExact = l.opacityExact;
        if (l.lockTransparency || l.lockPixels) {
          layer.protected = { transparency: l.lockTransparency, composite: l.lockPixels };
          layer.transparencyProtected = l.lockTransparency;
        }
        if (!opts.skipLayerImageData && width > 0 && height > 0)
          layer.imageData = makeImage(doc.readLayer(i, width, height), width, height);
        children.push(layer);
      }
      const psd = { width: info.width, height: info.height, channels: 4, bitsPerChannel: 8, colorMode: 3, children };
      if (!opts.skipCompositeImageData)
        psd.imageData = makeImage(doc.readMerged(info.width, info.height), info.width, info.height);
      return psd;
    } finally {
      doc.close();
    }
  }

  function defaultImageData(data, width, height) {
    if (typeof ImageData !== 'undefined') return new ImageData(data, width, height);
    return { width, height, data, colorSpace: 'srgb' };
  }

  // A document from an ag-psd Psd: every layer with pixels (imageData, or a
  // canvas where there is a 2D context), groups flattened (a layer in a
  // hidden group is hidden), bottom first.
  function writeDocument(api, psd, format, opts = {}) {
    if (!psd || !(psd.width > 0) || !(psd.height > 0)) throw new TypeError('a Psd with width and height is needed');
    const w = api.writer(format, psd.width, psd.height, opts);
    try {
      const add = (layers, hiddenAbove) => {
        for (const layer of layers || []) {
          const hidden = hiddenAbove || !!layer.hidden;
          if (layer.children) {
            add(layer.children, hidden);
            continue;
          }
          const image = layer.imageData || canvasImage(layer.canvas);
          const left = layer.left || 0;
          const top = layer.top || 0;
          const width = image ? image.width : 0;
          const height = image ? image.height : 0;
          const opacity = layer.opacity === undefined ? 1 : Math.min(1, Math.max(0, layer.opacity));
          const blend = BLEND_NAMES.indexOf(layer.blendMode || 'normal');
          const prot = layer.protected || {};
          w.addLayer({
            name: layer.name || '',
            left, top, right: left + width, bottom: top + height,
            opacity: Math.round(opacity * 255),
            opacityExact: exactOpacity(layer, opacity),
            visible: !hidden,
            blend: blend < 0 ? 0 : blend,
            clipping: !!layer.clipping,
            lockTransparency: !!(prot.transparency || layer.transparencyProtected),
            lockPixels: !!prot.composite,
          }, image ? toBytes(image.data) : new Uint8Array(0), width * 4);
        }
      };
      add(psd.children, false);
      return w.finish();
    } finally {
      w.close();
    }
  }

  // The document's opacity (0 to 16384) for a layer: the one it was read
  // with while its opacity still says the same; 0 for a whole step of 255,
  // which the library maps as it maps a PSD's; else the nearest.
  function exactOpacity(layer, opacity) {
    const e = layer.opacityExact;
    if (typeof e === 'number' && e >= 0 && e <= 16384 && Math.round((e / 16384) * 255) === Math.round(opacity * 255))
      return e;
    const byte = opacity * 255;
    return Math.abs(byte - Math.round(byte)) < 1e-6 ? 0 : Math.round(opacity * 16384);
  }

  function toBytes(data) {
    return data instanceof Uint8Array ? data : new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  }

  function canvasImage(canvas) {
    if (!canvas || !canvas.getContext) return null;
    return canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height);
  }

  return { bind, bytesSource, blobSource, cachedSource, readDocument, writeDocument, Yvn2psdError, BLEND_NAMES, FORMAT };
});
