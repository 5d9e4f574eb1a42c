// The page in headless Chromium, served as any static host serves it. A
// screenshot of the page after the batch is kept.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const h = require('./helpers');
const { serve } = require('./serve');

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const artefacts = process.env.YVN_WEB_ARTEFACTS || path.join(h.build, 'test-artefacts');

test('a batch converts in the page to the native bytes, offline, with the damaged file failing alone', async (t) => {
  if (!fs.existsSync(CHROMIUM)) {
    t.skip(`no browser at ${CHROMIUM}`);
    return;
  }
  const puppeteer = require('puppeteer-core');
  const site = path.join(h.build, 'site');
  assert.ok(fs.existsSync(path.join(site, 'index.html')), 'the page is built (scripts/build-web.sh)');

  const work = h.tempDir('page');
  const inputs = path.join(work, 'in');
  h.copyFiles([path.join(h.hostile, 'psd-channel-length-beyond-file.psd'),
    ...h.corpusFiles().filter((f) => /pt_semi-transparent-layers|papi_clipping_masks/.test(f))], inputs);
  fs.copyFileSync(path.join(h.golden, 'painting', 'input.psd'), path.join(inputs, 'painting.psd'));
  fs.copyFileSync(path.join(h.golden, 'native-features', 'input.yvn'), path.join(inputs, 'features.yvn'));
  const names = fs.readdirSync(inputs).sort();
  // The native program's results and lines, file by file.
  const expected = path.join(work, 'native');
  h.copyFiles(names.map((n) => path.join(inputs, n)), expected);
  const lines = Object.fromEntries(names.map((n) => [n, h.runNative(['-q', '-W', n], expected).stdout.trim()]));

  const server = await serve(site);
  const downloads = path.join(work, 'downloads');
  fs.mkdirSync(downloads);
  const browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    userDataDir: path.join(work, 'profile'),
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1100, height: 900 });
    const cdp = await page.createCDPSession();
    await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads, eventsEnabled: true });
    const finished = new Set();
    cdp.on('Browser.downloadProgress', (e) => { if (e.state === 'completed') finished.add(e.guid); });

    await page.goto(server.url, { waitUntil: 'load' });
    await page.waitForSelector('body[data-ready="1"]', { timeout: 60000 });
    const loaded = server.requests.length;
    const afterLoad = [];
    page.on('request', (r) => afterLoad.push(r.url()));
    browser.on('targetcreated', async (target) => {
      // Workers' own requests, had they any.
      const s = await target.createCDPSession().catch(() => null);
      if (!s) return;
      s.on('Network.requestWillBeSent', (e) => afterLoad.push(e.request.url));
      await s.send('Network.enable').catch(() => {});
    });

    const input = await page.$('#files');
    await input.uploadFile(...names.map((n) => path.join(inputs, n)));
    await page.waitForFunction((count) => document.querySelectorAll('#list .file.done, #list .file.failed').length === count,
      { timeout: 120000 }, names.length);

    const rows = await page.$$eval('#list .file', (els) => els.map((el) => ({
      name: el.querySelector('.name').textContent,
      done: el.classList.contains('done'),
      line: el.querySelector('.line').textContent,
      bar: el.querySelector('progress').value,
      layers: el.querySelectorAll('.layers tbody tr').length,
      preview: el.querySelector('.preview').width,
    })));
    for (const row of rows) {
      const error = lines[row.name].match(/^error\(.*$/m);
      if (error) {
        assert.equal(row.done, false, `${row.name} failed natively`);
        assert.equal(row.line, error[0], 'the error line of the program');
      } else {
        assert.ok(row.done, `${row.name}: ${row.line}`);
        assert.equal(row.bar, 1);
        assert.ok(row.layers > 0 && row.preview > 1, `${row.name} shows its layers and merged image`);
      }
    }
    assert.ok(rows.some((r) => !r.done) && rows.filter((r) => r.done).length === names.length - 1);

    // Every result, downloaded one by one.
    const links = await page.$$('#list .file.done a.save');
    for (const link of links) await link.click();
    await waitFor(() => finished.size === links.length, 30000);
    for (const row of rows.filter((r) => r.done)) {
      const dest = row.name.replace(/\.(yvn|psd|psb)$/i, (m) => (m.toLowerCase() === '.yvn' ? '.psd' : '.yvn'));
      const got = fs.readFileSync(path.join(downloads, dest));
      assert.ok(got.equals(fs.readFileSync(path.join(expected, dest))), `${dest} is the native program's`);
    }

    fs.mkdirSync(artefacts, { recursive: true });
    await page.screenshot({ path: path.join(artefacts, 'web-page.png'), fullPage: true });
    assert.equal(server.requests.length, loaded, `requests after load: ${server.requests.slice(loaded).join(' ')}`);
    assert.deepEqual(afterLoad.filter((u) => !/^(blob|data):/.test(u)), [], 'no request leaves the page after load');
  } finally {
    await browser.close();
    server.close();
  }
});

async function waitFor(predicate, ms) {
  for (const end = Date.now() + ms; !predicate(); await new Promise((r) => setTimeout(r, 50)))
    if (Date.now() > end) throw new Error('timed out waiting');
}
