// The page: files in, a worker per file (never more at once than the
// machine has cores), a bar and the program's progress line for each,
// results as downloads, each result's layers and merged image. Everything
// the workers need is fetched once while the page loads; afterwards nothing
// is requested from anywhere.
'use strict';

(function () {
  const $ = (selector, root) => (root || document).querySelector(selector);
  const cores = Math.max(1, navigator.hardwareConcurrency || 2);
  const queue = [];
  const results = [];
  let running = 0;
  let code = null;
  let workerUrl = null;

  const ready = (async () => {
    const text = (url) => fetch(url).then((r) => {
      if (!r.ok) throw new Error(`${url}: ${r.status}`);
      return r.text();
    });
    const [glue, core, worker, wasm] = await Promise.all([
      text('yvn2psd.js'), text('core.js'), text('worker.js'),
      fetch('yvn2psd.wasm').then((r) => {
        if (!r.ok) throw new Error(`yvn2psd.wasm: ${r.status}`);
        return r.arrayBuffer();
      }),
    ]);
    code = await WebAssembly.compile(wasm);
    workerUrl = URL.createObjectURL(new Blob([glue, '\n', core, '\n', worker], { type: 'text/javascript' }));
  })();

  ready.then(() => {
    $('#status').textContent = `Ready: up to ${cores} file${cores > 1 ? 's' : ''} at once.`;
    document.body.dataset.ready = '1';
    pump();
  }, (e) => {
    $('#status').textContent = `The converter could not be loaded: ${e.message}`;
    document.body.dataset.ready = 'failed';
  });

  // --- input --------------------------------------------------------------
  const drop = $('#drop');
  $('#files').addEventListener('change', (e) => {
    add(e.target.files);
    e.target.value = '';
  });
  for (const kind of ['dragenter', 'dragover'])
    drop.addEventListener(kind, (e) => {
      e.preventDefault();
      drop.classList.add('over');
    });
  for (const kind of ['dragleave', 'drop']) drop.addEventListener(kind, () => drop.classList.remove('over'));
  drop.addEventListener('drop', (e) => {
    e.preventDefault();
    add(e.dataTransfer.files);
  });
  // A file dropped beside the zone is not opened by the browser instead.
  window.addEventListener('dragover', (e) => e.preventDefault());
  window.addEventListener('drop', (e) => e.preventDefault());

  function destinationName(name) {
    const m = /^(.*)\.(yvn|psd|psb)$/i.exec(name);
    if (!m) return null;
    return m[1] + (m[2].toLowerCase() === 'yvn' ? '.psd' : '.yvn');
  }

  function add(files) {
    const options = { compress: $('#compress').checked, psdDepth: Number($('#depth').value) };
    for (const file of files) {
      const row = $('#row').content.firstElementChild.cloneNode(true);
      $('.name', row).textContent = file.name;
      const dest = destinationName(file.name);
      $('.dest', row).textContent = dest || '—';
      $('#list').appendChild(row);
      const item = { file, dest, row, options };
      if (!dest) {
        fail(item, 'not a .yvn, .psd or .psb file: left alone');
        continue;
      }
      $('.line', row).textContent = 'waiting…';
      queue.push(item);
    }
    pump();
  }

  // --- conversion ----------------------------------------------------------
  function pump() {
    if (!code) return;
    while (running < cores && queue.length) start(queue.shift());
  }

  function start(item) {
    running++;
    const worker = new Worker(workerUrl);
    const bar = $('progress', item.row);
    const line = $('.line', item.row);
    const finish = () => {
      worker.terminate();
      running--;
      pump();
    };
    worker.onmessage = (e) => {
      const msg = e.data;
      if (msg.type === 'progress') {
        const p = msg.progress;
        // The bar: reading takes the first fifth, writing the rest.
        const within = p.phases ? (p.phase - 1 + p.percent / 100) / p.phases : 0;
        bar.value = p.stage === 'read' ? 0.2 * within : 0.2 + 0.8 * within;
        line.textContent = progressLine(item, p);
      } else if (msg.type === 'done') {
        done(item, msg);
        finish();
      } else if (msg.type === 'failed') {
        fail(item, msg.line);
        finish();
      }
    };
    worker.onerror = (e) => {
      e.preventDefault();
      fail(item, `error:${e.message || 'the conversion stopped'}`);
      finish();
    };
    worker.postMessage({ code, file: item.file, options: item.options });
  }

  // As the program prints it: "reading...  42% 3/9: photo.psd".
  function progressLine(item, p) {
    const pct = String(p.percent).padStart(3);
    return p.stage === 'read'
      ? `reading... ${pct}% ${p.phase}/${p.phases}: ${item.file.name}`
      : ` => writing... ${pct}% ${p.phase}/${p.phases}: ${item.dest}`;
  }

  function fail(item, text) {
    item.row.classList.add('failed');
    $('progress', item.row).value = 0;
    $('.line', item.row).textContent = text;
  }

  function done(item, msg) {
    const row = item.row;
    row.classList.add('done');
    $('progress', row).value = 1;
    $('.line', row).textContent =
      `${item.dest}: ${size(msg.size)}, converted here${msg.memory ? ` (module memory ${size(msg.memory)})` : ''}`;
    const url = URL.createObjectURL(msg.blob);
    const link = $('.save', row);
    link.href = url;
    link.download = item.dest;
    link.hidden = false;
    results.push({ name: item.dest, blob: msg.blob, link });
    $('#save-all').disabled = false;

    const tbody = $('tbody', row);
    for (const l of (msg.layers || []).slice().reverse()) {
      const tr = document.createElement('tr');
      if (!l.visible) tr.className = 'hidden';
      for (const v of [l.name, l.mode, `${Math.round((l.opacity / 255) * 100)}%`, l.visible ? 'yes' : 'no']) {
        const td = document.createElement('td');
        td.textContent = v;
        tr.appendChild(td);
      }
      tbody.appendChild(tr);
    }
    if (msg.preview) {
      const canvas = $('.preview', row);
      canvas.width = msg.preview.width;
      canvas.height = msg.preview.height;
      canvas.getContext('2d').putImageData(new ImageData(msg.preview.data, msg.preview.width, msg.preview.height), 0, 0);
    }
    $('.detail', row).hidden = false;
  }

  function size(n) {
    if (n >= 1 << 30) return `${(n / (1 << 30)).toFixed(2)} GiB`;
    if (n >= 1 << 20) return `${(n / (1 << 20)).toFixed(1)} MiB`;
    if (n >= 1 << 10) return `${(n / (1 << 10)).toFixed(1)} KiB`;
    return `${n} bytes`;
  }

  // --- downloads -------------------------------------------------------------
  // Into a folder where the browser offers one; else one file after another.
  $('#save-all').addEventListener('click', async () => {
    if (window.showDirectoryPicker) {
      let folder;
      try {
        folder = await window.showDirectoryPicker({ mode: 'readwrite' });
      } catch (e) {
        return; // declined
      }
      for (const r of results) {
        const handle = await folder.getFileHandle(r.name, { create: true });
        const out = await handle.createWritable();
        await out.write(r.blob);
        await out.close();
      }
      $('#status').textContent = `${results.length} file${results.length > 1 ? 's' : ''} saved to ${folder.name}.`;
      return;
    }
    for (const r of results) {
      r.link.click();
      await new Promise((resolve) => setTimeout(resolve, 400));
    }
  });

  window.yvn2psdPage = { ready };
})();
