#!/usr/bin/env node
// The yvn2psd program itself (src/cli built for Node): the same options,
// lines and exit statuses, on the machine's files. It runs on a worker
// thread, so that this thread can act on a signal while a conversion runs:
// it removes the temporary file being written, as the native program's
// signal handler does, and exits with 128 + the signal's number.
'use strict';
const fs = require('fs');
const path = require('path');
const { Worker, isMainThread, parentPort, workerData } = require('worker_threads');

const lib = path.join(__dirname, '..', 'lib');

if (isMainThread) {
  const temporaries = new Set();
  // The program writes to the descriptors itself; process.stdout is not
  // made here, which would turn a pipe non-blocking under its writes.
  const worker = new Worker(__filename, { workerData: { args: process.argv.slice(2) }, stdout: true, stderr: true });
  worker.on('message', (m) => {
    if (m.exists) temporaries.add(m.path);
    else temporaries.delete(m.path);
  });
  worker.on('error', (e) => {
    fs.writeSync(2, `${e && e.stack ? e.stack : e}\n`);
    process.exit(1);
  });
  worker.on('exit', (code) => process.exit(code));
  for (const [signal, number] of [['SIGINT', 2], ['SIGTERM', 15], ['SIGHUP', 1]]) {
    process.on(signal, () => {
      for (const t of temporaries) fs.rmSync(t, { force: true });
      process.exit(128 + number);
    });
  }
} else {
  require(path.join(lib, 'yvn2psd-cli.js'))({
    arguments: workerData.args,
    thisProgram: 'yvn2psd',
    wasmBinary: fs.readFileSync(path.join(lib, 'yvn2psd-cli.wasm')),
    // The program's temporary files, told to the main thread as they come and go.
    yvnTemporary: (file, exists) => parentPort.postMessage({ path: file, exists }),
  });
}
