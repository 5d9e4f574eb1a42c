// What the web tests share: where the builds are, the package installed
// from its tarball, the native program, and temporary folders.
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
process.on('exit', () => temporaries.forEach((d) => fs.rmSync(d, { recursive: true, force: true })));
function tempDir(prefix) {
  temporaries.push(fs.mkdtempSync(path.join(os.tmpdir(), `yvn2psd-web-${prefix}-`)));
  return temporaries.at(-1);
}

let installed = null;
// The package as a user gets it: npm install of the tarball into a fresh
// folder (the package has no dependencies, so nothing is fetched).
function installPackage() {
  if (installed) return installed;
  const npm = path.join(build, 'npm');
  const found = fs.existsSync(npm) ? fs.readdirSync(npm).filter((f) => /^yvn2psd-.*\.tgz$/.test(f)) : [];
  if (found.length !== 1) throw new Error(`no single package tarball in ${npm}: run scripts/build-web.sh`);
  const dir = tempDir('install');
  fs.writeFileSync(path.join(dir, 'package.json'), '{ "name": "consumer", "private": true }\n');
  const r = run('npm', ['install', '--no-audit', '--no-fund', '--offline', path.join(npm, found[0])], dir);
  if (r.status !== 0) throw new Error(`npm install of the tarball failed:\n${r.stdout}\n${r.stderr}`);
  installed = { dir, lib: require(path.join(dir, 'node_modules', 'yvn2psd')) };
  return installed;
}

// Runs a command; its output as latin1 text, so that progress lines compare exactly.
function run(cmd, args, cwd, input) {
  const r = spawnSync(cmd, args, { cwd, input: input || '', encoding: 'latin1', maxBuffer: 1 << 28 });
  if (r.error) throw r.error;
  return r;
}

const runNative = (args, cwd, input) => run(native, args, cwd, input);

// npx yvn2psd from a folder inside the consumer project.
function runNpx(args, cwd, input) {
  installPackage();
  return run('npx', ['--offline', '--no-install', 'yvn2psd', ...args], cwd, input);
}

// Every file below dir (relative names, sorted) and its bytes.
function tree(dir, out = new Map(), rel = '') {
  const entries = fs.readdirSync(path.join(dir, rel), { withFileTypes: true });
  for (const e of entries.sort((a, b) => (a.name < b.name ? -1 : 1))) {
    if (e.isDirectory()) tree(dir, out, path.join(rel, e.name));
    else out.set(path.join(rel, e.name), fs.readFileSync(path.join(dir, rel, e.name)));
  }
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

module.exports = { build, golden, hostile, tempDir, installPackage, runNative, runNpx, tree, copyFiles, corpusFiles };
