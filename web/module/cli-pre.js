// The program under Node sees the process's environment (its locale
// chooses the character set of PSD layer names, as natively), not the
// module's default one; and on a terminal it reads each answer as one key,
// without echo and without Enter, as natively: the module's file layer has
// no terminal settings, so a key is read here with the terminal raw.
Module.preRun = [].concat(Module.preRun || [], function () {
  for (var k in process.env) ENV[k] = process.env[k];
  // The destination's temporary file (".NAME.tmpPID-N" beside it) as it is
  // created and as it goes (renamed or removed), for a caller that removes
  // it on a signal (bin/yvn2psd.js).
  if (Module.yvnTemporary) {
    var temporary = /\/\.[^/]*\.tmp\d+-\d+$/;
    var open = FS.open, rename = FS.rename, unlink = FS.unlink;
    FS.open = function (p, flags) {
      if (typeof p === 'string' && temporary.test(p) && (flags & 64 /* O_CREAT */)) Module.yvnTemporary(p, true);
      return open.apply(this, arguments);
    };
    FS.rename = function (from) {
      var r = rename.apply(this, arguments);
      if (temporary.test(from)) Module.yvnTemporary(from, false);
      return r;
    };
    FS.unlink = function (p) {
      var r = unlink.apply(this, arguments);
      if (temporary.test(p)) Module.yvnTemporary(p, false);
      return r;
    };
  }
  var tty = require('tty');
  if (!tty.isatty(0)) return;
  var nodeFs = require('fs');
  var terminal = null;
  var read = FS.read;
  FS.read = function (stream, buffer, offset, length, position) {
    if (stream.fd !== 0 || length < 1) return read.apply(this, arguments);
    // A terminal handle of its own (libuv opens the terminal anew), so
    // that fd 0 stays as it was; only its mode is changed while reading.
    if (!terminal) terminal = new tty.ReadStream(0);
    var key = Buffer.alloc(1);
    var n = 0;
    terminal.setRawMode(true);
    try {
      for (;;) {
        try {
          n = nodeFs.readSync(0, key, 0, 1, null);
          break;
        } catch (e) {
          if (e.code !== 'EAGAIN') break;
          Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 20);
        }
      }
    } finally {
      terminal.setRawMode(false);
    }
    // Ctrl-C interrupts, Ctrl-D ends the input, as the native program reads them.
    if (n === 1 && key[0] === 3) process.kill(process.pid, 'SIGINT');
    if (n !== 1 || key[0] === 3 || key[0] === 4) return 0;
    buffer[offset] = key[0];
    return 1;
  };
});
