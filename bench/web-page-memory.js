// The page in headless Chromium on one large file, both ways: time, the
// module's memory as the page reports it (WebAssembly memory never shrinks,
// so it is the module's peak) and the peak resident memory of the browser's
// processes, sampled. Needs tests/web's packages (npm ci there) and the page
// (scripts/build-web.sh):
//
//   node bench/web-page-memory.js [bench-data/photo-4096-8L.psd]
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const root = path.resolve(__dirname, '..');
const puppeteer = require(path.join(root, 'tests', 'web', 'node_modules', 'puppeteer-core'));
const { serve } = require(path.join(root, 'tests', 'web', 'serve.js'));

const input = path.resolve(process.argv[2] || path.join(root, 'bench-data', 'photo-4096-8L.psd'));
const site = path.join(process.env.YVN_WEB_BUILD || path.join(root, 'build-web'), 'site');

// Resident memory of a process and all its descendants, in bytes.
function treeRss(pid) {
  const children = new Map();
  for (const d of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(d)) continue;
    try {
      const stat = fs.readFileSync(`/proc/${d}/stat`, 'utf8');
      const ppid = Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
      if (!children.has(ppid)) children.set(ppid, []);
      children.get(ppid).push(Number(d));
    } catch (e) { /* gone */ }
  }
  let total = 0;
  let largest = 0;
  const walk = (p) => {
    try {
      const kb = Number(/VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${p}/status`, 'utf8'))[1]);
      total += kb * 1024;
      largest = Math.max(largest, kb * 1024);
    } catch (e) { /* gone */ }
    for (const c of children.get(p) || []) walk(c);
  };
  walk(pid);
  return { total, largest };
}

async function main() {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'yvn2psd-page-memory-'));
  const downloads = path.join(work, 'downloads');
  fs.mkdirSync(downloads);
  const server = await serve(site);
  const browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    userDataDir: path.join(work, 'profile'),
    protocolTimeout: 0,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const pid = browser.process().pid;
  try {
    const page = await browser.newPage();
    const cdp = await page.createCDPSession();
    await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads, eventsEnabled: true });
    let downloaded = 0;
    cdp.on('Browser.downloadProgress', (e) => { if (e.state === 'completed') downloaded++; });
    await page.goto(server.url);
    await page.waitForSelector('body[data-ready="1"]');

    const convert = async (file, index) => {
      let peak = { total: 0, largest: 0 };
      const timer = setInterval(() => {
        const now = treeRss(pid);
        peak = { total: Math.max(peak.total, now.total), largest: Math.max(peak.largest, now.largest) };
      }, 200);
      const start = Date.now();
      await (await page.$('#files')).uploadFile(file);
      await page.waitForFunction((n) => document.querySelectorAll('#list .file.done, #list .file.failed').length === n,
        { timeout: 0, polling: 500 }, index + 1);
      const seconds = (Date.now() - start) / 1000;
      clearInterval(timer);
      const line = await page.$eval(`#list .file:nth-child(${index + 1}) .line`, (el) => el.textContent);
      const links = await page.$$('#list .file.done a.save');
      const before = downloaded;
      await links[links.length - 1].click();
      while (downloaded === before) await new Promise((r) => setTimeout(r, 200));
      const name = path.basename(file).replace(/\.(psd|yvn)$/i, (m) => (m.toLowerCase() === '.yvn' ? '.psd' : '.yvn'));
      const mib = (n) => `${(n / 2 ** 20).toFixed(0)} MiB`;
      console.log(`${path.basename(file)} -> ${name}: ${seconds.toFixed(1)} s; ${line}; browser processes: peak ` +
        `${mib(peak.total)} in all, ${mib(peak.largest)} the largest`);
      return path.join(downloads, name);
    };
    const yvn = await convert(input, 0);
    const renamed = path.join(work, `back-${path.basename(yvn)}`);
    fs.renameSync(yvn, renamed);
    const psd = await convert(renamed, 1);
    console.log(`outputs: ${yvn} (${fs.statSync(renamed).size} bytes), ${psd} (${fs.statSync(psd).size} bytes)`);
    if (process.env.KEEP) console.log(`kept in ${work}`);
  } finally {
    await browser.close();
    server.close();
    if (!process.env.KEEP) fs.rmSync(work, { recursive: true, force: true });
  }
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
