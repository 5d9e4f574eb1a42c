// What the web tests share: where the builds are, the package installed
// from its tarball into a temporary folder, the native program, and
// temporary folders.
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');

const root = path.resolve(__dirname, '..', '..');
const build = process.env.YVN_WEB_BUILD || path.join(root, 'build-web');
// The native program built without ISA-L: zlib deflates in both builds.
const native = process.env.YVN2PSD_NATIVE || path.join(build, 'native', 'yvn2psd');
const corpus = process.env.YVN_PSD_CORPUS || path.join(root, '..', 'shared', 'corpus', 'psd');
const golden = path.join(root, 'tests', 'data', 'golden');
const hostile = path.join(root, 'tests', 'data', 'hostile');

// Temporary folders, removed when the test process ends.
const temporaries = [];
process.on('exit', () => {
  for (const d of temporaries) fs.rmSync(d, { recursive: true, force: true });
});
function tempDir(prefix) {
  const d = fs.mkdtempSync(path.join(os.tmpdir(), `yvn2psd-web-${prefix}-`));
  temporaries.push(d);
  return d;
}

function tarball() {
  const dir = path.join(build, 'npm');
  const found = fs.existsSync(dir) ? fs.readdirSync(dir).filter((f) => /^yvn2psd-.*\.tgz$/.test(f)) : [];
  if (found.length !== 1) throw new Error(`no single package tarball in ${dir}: run scripts/build-web.sh`);
  return path.join(dir, found[0]);
}

let installed = null;
// The package as a user gets it: npm install of the tarball into a fresh
// folder (the package has no dependencies, so nothing is fetched).
function installPackage() {
  if (installed) return installed;
  const dir = tempDir('install');
  fs.writeFileSync(path.join(dir, 'package.json'), '{ "name": "consumer", "private": true }\n');
  const r = spawnSync('npm', ['install', '--no-audit', '--no-fund', '--offline', tarball()], { cwd: dir, encoding: 'utf8' });
  if (r.status !== 0) throw new Error(`npm install of the tarball failed:\n${r.stdout}\n${r.stderr}`);
  installed = { dir, lib: require(path.join(dir, 'node_modules', 'yvn2psd')) };
  return installed;
}

// Runs a command and returns its status and output (bytes as latin1 text,
// so that progress lines compare exactly).
function run(cmd, args, cwd, input) {
  const r = spawnSync(cmd, args, { cwd, input: input || '', encoding: 'latin1', maxBuffer: 1 << 28 });
  if (r.error) throw r.error;
  return { status: r.status, signal: r.signal, stdout: r.stdout, stderr: r.stderr };
}

function runNative(args, cwd, input) {
  return run(native, args, cwd, input);
}

// npx yvn2psd from a folder inside the consumer project.
function runNpx(args, cwd, input) {
  installPackage();
  return run('npx', ['--offline', '--no-install', 'yvn2psd', ...args], cwd, input);
}

// Every file below dir (relative names, sorted) and its bytes.
function tree(dir) {
  const out = new Map();
  const walk = (d, rel) => {
    for (const e of fs.readdirSync(d, { withFileTypes: true }).sort((a, b) => (a.name < b.name ? -1 : 1))) {
      const p = path.join(d, e.name);
      if (e.isDirectory()) walk(p, path.join(rel, e.name));
      else out.set(path.join(rel, e.name), fs.readFileSync(p));
    }
  };
  walk(dir, '');
  return out;
}

function copyFiles(files, dir) {
  fs.mkdirSync(dir, { recursive: true });
  for (const f of files) fs.copyFileSync(f, path.join(dir, path.basename(f)));
}

function corpusFiles() {
  if (!fs.existsSync(corpus)) return [];
  return fs.readdirSync(corpus).filter((f) => /\.ps[db]$/i.test(f)).sort().map((f) => path.join(corpus, f));
}

module.exports = {
  root, build, native, corpus, golden, hostile, tempDir, tarball, installPackage, run, runNative, runNpx, tree,
  copyFiles, corpusFiles,
};
