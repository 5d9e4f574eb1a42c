// Puts the built module beside the page's files (site/) and the package's
// files (npm/package/): node assemble.js --src web --build build-web --version X
'use strict';
const fs = require('fs');
const path = require('path');

const args = process.argv.slice(2);
const arg = (name) => args[args.indexOf(name) + 1];
const src = arg('--src');
const build = arg('--build');
const version = arg('--version');

function copy(from, to) {
  fs.mkdirSync(path.dirname(to), { recursive: true });
  fs.copyFileSync(from, to);
}
function fresh(dir) {
  fs.rmSync(dir, { recursive: true, force: true });
  fs.mkdirSync(dir, { recursive: true });
}

const st = path.join(build, 'st', 'web');

// The page: static files only.
const site = path.join(build, 'site');
fresh(site);
for (const f of fs.readdirSync(path.join(src, 'page'))) copy(path.join(src, 'page', f), path.join(site, f));
copy(path.join(src, 'lib', 'core.js'), path.join(site, 'core.js'));
copy(path.join(st, 'yvn2psd.js'), path.join(site, 'yvn2psd.js'));
copy(path.join(st, 'yvn2psd.wasm'), path.join(site, 'yvn2psd.wasm'));

// The package.
const pkg = path.join(build, 'npm', 'package');
fresh(pkg);
const manifest = JSON.parse(fs.readFileSync(path.join(src, 'package.json'), 'utf8'));
manifest.version = version;
fs.writeFileSync(path.join(pkg, 'package.json'), JSON.stringify(manifest, null, 2) + '\n');
copy(path.join(src, 'README.npm.md'), path.join(pkg, 'README.md'));
for (const f of ['core.js', 'index.js', 'index.d.ts']) copy(path.join(src, 'lib', f), path.join(pkg, 'lib', f));
copy(path.join(src, 'bin', 'yvn2psd.js'), path.join(pkg, 'bin', 'yvn2psd.js'));
fs.chmodSync(path.join(pkg, 'bin', 'yvn2psd.js'), 0o755);
for (const f of ['yvn2psd.js', 'yvn2psd.wasm', 'yvn2psd-cli.js', 'yvn2psd-cli.wasm'])
  copy(path.join(st, f), path.join(pkg, 'lib', f));
