// The kernel mode on the page, in one short load of a frozen, recorded run: kernel= and divisor=
// in the URL used from the first frame (no mode= given); a kernel typed into the panel's grid and
// a second edit, each from the next frame, reproduced byte for byte by the shown command; a bad
// cell marked while the last kernel stays; then the result view's stages (gray, raw values in
// their colour map, levels before the stretch) and the inspector against pixelwell-filter
// --stage on the recorded frames.
// Used by browser.test.js, which passes its helpers (h) and runs these on its browsers.
const { execFileSync } = require('child_process');
const fs = require('fs');
const path = require('path');

module.exports = (h) => {
  const { check, waitForState, saveDownloads, filter } = h;
  const W = 48, H = 36, kFrames = 7;

  async function kernelRun(context, base) {
    const page = await context.newPage();
    const downloads = {};
    page.on('download', (d) => { downloads[d.suggestedFilename()] = d; });
    await page.goto(`${base}?source=test&size=${W}x${H}&record=1&frames=${kFrames}&frozen=1&kernel=1,2,1/2,4,2/1,2,1&divisor=16`);
    await waitForState(page, ['running']);
    const root = () => page.evaluate(() => ({ ...document.documentElement.dataset }));
    const step = async () => {
      const before = Number((await root()).frames || 0);
      await page.click('#step');  // the button: the keys are the cells' while one has the focus
      await page.waitForFunction((b) => Number(document.documentElement.dataset.frames) === b + 1, before);
    };
    const commandWith = (text) => page.waitForFunction((t) => (document.documentElement.dataset.filterCommand || '').includes(t), text,
      { timeout: 5000 }).then(() => true, () => false);
    const cell = (r, e) => `#kernel-grid input[data-row="${r}"][data-entry="${e}"]`;
    await step();
    const first = await root();
    const editor = await page.evaluate(() => ({ shown: !document.getElementById('kernel-editor').hidden,
      cells: [...document.querySelectorAll('#kernel-grid input')].map((i) => i.value).join(','),
      divisor: document.getElementById('kernel-divisor').value, mode: document.getElementById('mode').selectedOptions[0].textContent }));
    check(editor.shown && editor.cells === '1,2,1,2,4,2,1,2,1' && editor.divisor === '16' && /kernel \[k\]$/.test(editor.mode) &&
          / --mode kernel --kernel 1,2,1\/2,4,2\/1,2,1 --divisor 16 -- /.test(first.filterCommand),
      `kernel= and divisor= without mode= start in the kernel mode, the panel's grid shows them (${editor.cells} ÷ ${editor.divisor}): ${first.filterCommand}`);
    await step();
    // Two edits while recording, each from the next frame: a cell typed, then another and the divisor.
    await page.click(cell(2, 2), { clickCount: 3 });
    await page.keyboard.type('12');
    const edit1 = await commandWith('--kernel 1,2,1/2,12,2/1,2,1@2');
    await step();
    await step();
    await page.fill(cell(1, 1), '-3');
    await page.fill('#kernel-divisor', '5');
    const edit2 = await commandWith('--kernel -3,2,1/2,12,2/1,2,1@4 --divisor 5@4');
    await step();
    // A bad cell: marked there, the kernel in use stays (and the command with it).
    const before = (await root()).filterCommand;
    await page.fill(cell(3, 2), '7x');
    await page.waitForFunction(() => document.getElementById('kernel-editor').dataset.invalid === '3,2', null, { timeout: 5000 }).catch(() => {});
    const bad = await page.evaluate(() => ({ marked: [...document.querySelectorAll('#kernel-grid input.invalid')].map((i) => `${i.dataset.row},${i.dataset.entry}`).join(' '),
      message: document.getElementById('kernel-message').textContent }));
    await step();
    await step();
    const end = await waitForState(page, ['done', 'error'], 30000);
    check(bad.marked === '3,2' && /row 3, entry 2 is "7x"/.test(bad.message) && end.filterCommand === before,
      `a bad cell is marked (${bad.marked}: ${bad.message}) and the last kernel stays in use (the command unchanged)`);
    const dir = await saveDownloads(page, downloads, 'kernel');
    const command = end.filterCommand;
    let same = false;
    try {
      execFileSync(filter, command.split(' ').slice(1).map((w) => (w === 'results.bgrx' ? 'out.bgrx' : w)), { cwd: dir, stdio: 'ignore' });
      same = fs.readFileSync(path.join(dir, 'out.bgrx')).equals(fs.readFileSync(path.join(dir, 'results.bgrx')));
    } catch (e) { same = false; }
    check(edit1 && edit2 && end.frames === String(kFrames) && same,
      `a kernel typed into the grid and a second edit, recorded: ${command} reproduces results.bgrx byte for byte`);

    // The stages of the last frame, as the result view shows them, against the filter's --stage.
    const stageOf = (stage) => {
      const words = command.split(' ').slice(1);
      const at = words.indexOf('--');
      words.splice(at, 0, '--stage', stage);
      execFileSync(filter, words.map((w) => (w === 'results.bgrx' ? `stage-${stage}.raw` : w)), { cwd: dir, stdio: 'ignore' });
      const bytes = fs.readFileSync(path.join(dir, `stage-${stage}.raw`)), size = stage === 'values' ? 4 : 1;
      const last = bytes.subarray(bytes.length - W * H * size);
      // Rows bottom-up as recorded: (x, y) from the top left.
      return (x, y) => (size === 4 ? last.readInt32LE(((H - 1 - y) * W + x) * 4) : last[(H - 1 - y) * W + x]);
    };
    const stages = { gray: stageOf('gray'), values: stageOf('values'), levels: stageOf('levels') };
    let largest = 0;
    for (let y = 0; y < H; ++y) for (let x = 0; x < W; ++x) largest = Math.max(largest, Math.abs(stages.values(x, y)));
    const expected = {
      gray: (x, y) => { const g = stages.gray(x, y); return [g, g, g]; },
      levels: (x, y) => { const g = stages.levels(x, y); return [g, g, g]; },
      values: (x, y) => {
        const v = stages.values(x, y), level = largest ? Math.floor((255 * Math.abs(v) + Math.floor(largest / 2)) / largest) : 0;
        return [v > 0 ? level : 0, 0, v < 0 ? level : 0];
      },
    };
    const shown = [];
    for (const stage of ['gray', 'values', 'levels']) {
      await page.selectOption('#stage', stage);
      await page.waitForFunction((s) => document.getElementById('stage-range').dataset.stage === s, stage, { timeout: 5000 }).catch(() => {});
      const view = await page.evaluate(async () => Array.from((await window.pixelwellView('result')).data));
      let differ = view.length === W * H * 4 ? -1 : 0;
      for (let p = 0; differ < 0 && p < W * H; ++p) {
        const want = expected[stage](p % W, Math.floor(p / W));
        if (view[4 * p] !== want[0] || view[4 * p + 1] !== want[1] || view[4 * p + 2] !== want[2]) differ = p;
      }
      shown.push(`${stage} ${differ < 0 ? 'equal' : `differs at pixel ${differ}`}`);
    }
    const range = await page.evaluate(() => document.getElementById('stage-range').textContent);
    check(shown.every((s) => s.endsWith('equal')), `the result view's stages equal pixelwell-filter --stage on the last frame (${shown.join(', ')}; ${range})`);
    // The inspector at a point of the source view: the same stages there.
    const box = await page.locator('#source-view').boundingBox();
    await page.mouse.move(box.x + box.width * (30.5 / W), box.y + box.height * (10.5 / H));
    await page.waitForFunction(() => document.getElementById('inspector').dataset.x === '30', null, { timeout: 5000 }).catch(() => {});
    const point = await page.evaluate(() => ({ ...document.getElementById('inspector').dataset }));
    const want = { gray: stages.gray(30, 10), value: stages.values(30, 10), level: stages.levels(30, 10) };
    check(point.y === '10' && Number(point.gray) === want.gray && Number(point.value) === want.value && Number(point.level) === want.level,
      `the inspector at (30, 10): gray ${point.gray}, value ${point.value}, level ${point.level}, result ${point.result} (the filter's: ${want.gray}, ${want.value}, ${want.level})`);
    await page.close();
  }

  return { kernelRun };
};
