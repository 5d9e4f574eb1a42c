// The program sees the process's environment (its locale chooses the
// character set of PSD layer names, as natively), not the module's default one.
Module.preRun = [].concat(Module.preRun || [], function () {
  for (var k in process.env) ENV[k] = process.env[k];
});
