#!/usr/bin/env node
// The yvn2psd program itself (src/cli built for Node): the same options,
// lines and exit statuses, on the machine's files.
'use strict';
const fs = require('fs');
const path = require('path');
const lib = path.join(__dirname, '..', 'lib');
require(path.join(lib, 'yvn2psd-cli.js'))({
  arguments: process.argv.slice(2),
  thisProgram: 'yvn2psd',
  wasmBinary: fs.readFileSync(path.join(lib, 'yvn2psd-cli.wasm')),
});
