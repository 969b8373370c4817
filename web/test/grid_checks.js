// Every operation at once (view=grid), as a user meets it: the cells in the menu's order with its
// labels, a 1920x1080 file scaled to the cells' size, record=1's downloads reproduced by the
// commands the page shows for two temporal cells, one filter cell and the kernel cell, a cell's view as
// recorded, a click on a cell that shows it alone, and the button back to the grid.
// Used by browser.test.js, which passes its helpers (h) and runs these on its browsers.
const fs = require('fs');
const path = require('path');

module.exports = (h) => {
  const { check, waitForState, reproduce, work } = h;

  async function gridRecorded(context, base) {
    const page = await context.newPage();
    const downloads = {};
    page.on('download', (d) => { downloads[d.suggestedFilename()] = d; });
    await page.goto(`${base}?source=/media/big.webm&view=grid&record=1`);
    await waitForState(page, ['running', 'done', 'error']);
    const menu = await page.evaluate(() => [...document.querySelectorAll('#mode option')].slice(1)
      .map((o) => /^(.*?) ?(\S+) \[.\]$/.exec(o.textContent).slice(1).join('|')));
    const cells = await page.evaluate(() => [...document.querySelectorAll('#grid figure')]
      .map((f) => `${f.querySelector('figcaption').firstChild.textContent}|${f.dataset.mode}`));
    check(cells.length === 24 && cells.join(',') === menu.join(','),
      `view=grid: ${cells.length} cells in #grid, in the menu's order with its labels and data-mode (${cells.map((c) => c.split('|')[1]).join(' ')})`);
    const state = await waitForState(page, ['done', 'error'], 120000);
    const names = cells.map((c) => c.split('|')[1]);
    const dir = path.join(work, 'grid');
    fs.mkdirSync(dir);
    for (const file of ['recording.raw', ...names.map((n) => `results-${n}.bgrx`)]) {
      if (!downloads[file]) await page.waitForEvent('download', { predicate: (d) => d.suggestedFilename() === file, timeout: 10000 }).catch(() => {});
      if (downloads[file]) await downloads[file].saveAs(path.join(dir, file));
    }
    const w = Number(state.width), ht = Number(state.height), n = Number(state.frames);
    const size = (file) => (fs.existsSync(path.join(dir, file)) ? fs.statSync(path.join(dir, file)).size : -1);
    const whole = names.every((name) => size(`results-${name}.bgrx`) === n * w * ht * 4);
    check(state.view === 'grid' && state.ended === 'source-ended' && w === 320 && ht === 180 && state.scaledFrom === '1920x1080' && n >= 1 &&
          size('recording.raw') === n * w * ht * 3 && whole,
      `record=1 in the grid: ${n} frames of 1920x1080 at the cells' ${w}x${ht}, recording.raw and ${names.length} results-NAME.bgrx, each whole (${whole}); ended ${state.ended}`);
    const commands = (state.filterCommand || '').split('\n');
    const sobel = names.indexOf('sobel-x');
    for (const name of ['average8', 'frame-diff', 'sobel-x', 'kernel']) {
      const command = commands.find((c) => c.includes(`--mode ${name} `)) || '';
      const ok = command.endsWith(`recording.raw results-${name}.bgrx`) && fs.existsSync(path.join(dir, `results-${name}.bgrx`)) &&
        reproduce(command.replace(` results-${name}.bgrx`, ' out.bgrx'), dir).equals(fs.readFileSync(path.join(dir, `results-${name}.bgrx`)));
      check(ok, `the grid's ${name} cell: "${command}" reproduces results-${name}.bgrx`);
    }
    // The sobel-x cell shows the last frame's result as recorded (B,G,R,X bottom-up against R,G,B,A top-down).
    const shown = await page.evaluate(async (i) => Array.from((await window.pixelwellView(i)).data), sobel);
    const results = fs.readFileSync(path.join(dir, 'results-sobel-x.bgrx')).subarray((n - 1) * w * ht * 4);
    let same = shown.length === w * ht * 4;
    for (let y = 0; same && y < ht; ++y) for (let x = 0; x < w; ++x) {
      const a = ((ht - 1 - y) * w + x) * 4, b = (y * w + x) * 4;
      if (shown[b] !== results[a + 2] || shown[b + 1] !== results[a + 1] || shown[b + 2] !== results[a]) { same = false; break; }
    }
    check(same, 'the grid: the sobel-x cell shows its last result as recorded, pixel for pixel');
    await page.close();
  }

  // A click on a cell shows that operation alone, at the frames' own size; the button goes back.
  async function gridClicks(context, base) {
    const page = await context.newPage();
    await page.goto(`${base}?source=test&size=640x480&view=grid`);
    await page.waitForFunction(() => Number(document.documentElement.dataset.frames) >= 3);
    const before = await page.evaluate(() => ({ ...document.documentElement.dataset }));
    await page.click('#grid figure[data-mode="sobel-y"]');
    await page.waitForFunction(() => document.documentElement.dataset.view === 'single' && document.documentElement.dataset.width === '640' &&
      document.getElementById('panel').dataset.mode === 'sobel-y', null, { timeout: 10000 }).catch(() => {});
    const single = await page.evaluate(() => ({ ...document.documentElement.dataset, list: document.getElementById('mode').value,
      grid: getComputedStyle(document.getElementById('grid')).display, views: getComputedStyle(document.getElementById('views')).display }));
    check(before.view === 'grid' && before.width === '320' && single.view === 'single' && single.width === '640' && single.list === '1422' &&
          single.grid === 'none' && single.views !== 'none' && /--mode sobel-y -- recording\.raw results\.bgrx$/.test(single.filterCommand),
      `a click on the sobel-y cell shows it alone (view ${single.view}, ${single.width}x${single.height}, list ${single.list}, ${single.filterCommand})`);
    await page.click('#grid-button');
    const frames = Number(await page.evaluate(() => document.documentElement.dataset.frames));
    const back = await page.waitForFunction((f) => document.documentElement.dataset.view === 'grid' && document.documentElement.dataset.width === '320' &&
      Number(document.documentElement.dataset.frames) > f + 2, frames, { timeout: 10000 }).then(() => true, () => false);
    check(back, 'the grid button shows every operation again, at the cells\' size');
    await page.close();
  }

  return { gridRecorded, gridClicks };
};
