// yvn2psd for Node: the library's WebAssembly module behind a promise API.
// Each call gets a module instance of its own (the compiled code is shared),
// so that the memory a conversion took goes with its result.
'use strict';
const fs = require('fs');
const path = require('path');
const core = require('./core.js');

let compiled = null;

function moduleFiles() {
  return { js: path.join(__dirname, 'yvn2psd.js'), wasm: path.join(__dirname, 'yvn2psd.wasm') };
}

async function instance() {
  const files = moduleFiles();
  if (!compiled) compiled = WebAssembly.compile(fs.readFileSync(files.wasm));
  const code = await compiled;
  const m = await require(files.js)({
    instantiateWasm(imports, done) {
      WebAssembly.instantiate(code, imports).then((i) => done(i, code));
      return {};
    },
  });
  return core.bind(m);
}

// Bytes (Uint8Array, Buffer, ArrayBuffer, Blob) or { path } as a source;
// a path is read piece by piece, never whole.
async function openSource(input) {
  if (input && typeof input === 'object' && typeof input.path === 'string') {
    const fd = fs.openSync(input.path, 'r');
    const size = fs.fstatSync(fd).size;
    return {
      source: core.cachedSource({
        size,
        readInto: (offset, target) => fs.readSync(fd, target, 0, target.length, offset),
      }),
      close: () => fs.closeSync(fd),
    };
  }
  if (typeof Blob !== 'undefined' && input instanceof Blob) input = new Uint8Array(await input.arrayBuffer());
  if (!(input instanceof Uint8Array || input instanceof ArrayBuffer || ArrayBuffer.isView(input)))
    throw new TypeError('input must be bytes (Uint8Array, Buffer, ArrayBuffer, Blob) or { path }');
  return { source: core.bytesSource(input), close: () => {} };
}

async function convert(input, options) {
  const api = await instance();
  const src = await openSource(input);
  try {
    // The result is the module's own buffer, handed over without a copy.
    return api.convert(src.source, options).view();
  } finally {
    src.close();
  }
}

async function convertFile(source, destination, options = {}) {
  if (!options.overwrite && fs.existsSync(destination))
    throw new core.Yvn2psdError(112, 'Destination exists', destination);
  const bytes = await convert({ path: source }, options);
  // Written beside the destination and renamed over it once complete.
  const temp = path.join(path.dirname(destination), `.${path.basename(destination)}.${process.pid}.tmp`);
  try {
    fs.writeFileSync(temp, bytes);
    fs.renameSync(temp, destination);
  } catch (e) {
    fs.rmSync(temp, { force: true });
    throw e;
  }
}

async function readPsd(input, options) {
  const api = await instance();
  const src = await openSource(input);
  try {
    return core.readDocument(api, src.source, options);
  } finally {
    src.close();
  }
}

async function write(psd, format, options) {
  const api = await instance();
  return core.writeDocument(api, psd, format, options).view();
}

module.exports = {
  convert,
  convertFile,
  readPsd,
  writeYvn: (psd, options) => write(psd, 'yvn', options),
  writePsd: (psd, options) => write(psd, 'psd', options),
  version: async () => (await instance()).version(),
  errorText: async (code) => (await instance()).errorText(code),
  Yvn2psdError: core.Yvn2psdError,
  blendModes: core.BLEND_NAMES.slice(),
};
