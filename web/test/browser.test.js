// The page in Debian's Chromium, headless, driven through playwright-core: the camera path from
// Chromium's fake capture device, the test picture, every operation by keyboard and the errors
// (run_checks.js), the teaching panel (here), the kernel mode (kernel_checks.js), the faults found
// by hand (page_checks.js), every operation at once (grid_checks.js) and the classroom's devices (device_checks.js). Whatever it starts (server, browsers) it stops, also
// when a check fails.
// Usage: node browser.test.js SITE_DIR   (env PIXELWELL_FILTER, PIXELWELL_CLIP; CHROMIUM optional)
const { serve, launchChromium } = require('./chromium');
const { execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const site = path.resolve(process.argv[2] || '');
const filter = process.env.PIXELWELL_FILTER && path.resolve(process.env.PIXELWELL_FILTER);
const clip = process.env.PIXELWELL_CLIP && path.resolve(process.env.PIXELWELL_CLIP);
const explain = process.env.PIXELWELL_EXPLAIN && path.resolve(process.env.PIXELWELL_EXPLAIN);
const chromiumPath = process.env.CHROMIUM || '/usr/bin/chromium';
if (!process.argv[2] || !filter || !clip || !explain) {
  console.error('usage: PIXELWELL_FILTER=... PIXELWELL_CLIP=... PIXELWELL_EXPLAIN=... node browser.test.js SITE_DIR');
  process.exit(2);
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'pixelwell-web-'));
const media = path.join(work, 'media');
fs.mkdirSync(media);
const toStop = [];  // run at the end, last first
let failures = 0;
function check(ok, what) {
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}`);
  if (!ok) failures += 1;
  return ok;
}

// --- fixtures -----------------------------------------------------------------------------------
// A clip that changes every frame: testsrc2 (which moves), and a gray block in the top-left
// corner whose level says the frame's number (16 + 3n, n = 0..63), so that order can be read back.
const kClipFrames = 64;
function makeClip() {
  const file = path.join(work, 'clip.y4m');
  execFileSync('ffmpeg', ['-v', 'error', '-f', 'lavfi', '-i', 'testsrc2=size=320x240:rate=30',
    '-frames:v', String(kClipFrames), '-vf',
    "format=yuv420p,geq=lum='if(lt(X,32)*lt(Y,32),16+3*N,lum(X,Y))':cb='if(lt(X,16)*lt(Y,16),128,cb(X,Y))'" +
    ":cr='if(lt(X,16)*lt(Y,16),128,cr(X,Y))'", '-y', file]);
  return file;
}

function startServer() {
  // As a user starts it: scripts/web builds what is missing (nothing, here) and serves.
  const { server, url } = serve(['--media', media]);
  toStop.push(() => new Promise((done) => {
    if (server.exitCode !== null) return done();
    server.once('exit', (code, signal) => {
      check(code === 0, `scripts/web stops on SIGTERM with status 0 (${code ?? signal})`);
      done();
    });
    server.kill('SIGTERM');
  }));
  return url;
}

async function launch(extra, options = {}) {
  const profile = fs.mkdtempSync(path.join(work, 'profile-'));
  const context = await launchChromium(profile, {
    executablePath: chromiumPath, acceptDownloads: true, viewport: { width: 1400, height: 900 }, extra, ...options,
  });
  toStop.push(() => context.close().catch(() => {}));
  return context;
}

async function waitForState(page, states, timeout = 60000) {
  await page.waitForFunction((s) => s.includes(document.documentElement.dataset.state), states, { timeout });
  return page.evaluate(() => ({ ...document.documentElement.dataset }));
}

function dataset(page) {
  return page.evaluate(() => ({ ...document.documentElement.dataset }));
}

// Saves the two downloads of a recording (waiting for them) into a folder of that name.
async function saveDownloads(page, downloads, name) {
  const dir = path.join(work, name);
  fs.mkdirSync(dir);
  for (const file of ['recording.raw', 'results.bgrx']) {
    if (!downloads[file]) await page.waitForEvent('download', { predicate: (d) => d.suggestedFilename() === file, timeout: 10000 }).catch(() => {});
    if (downloads[file]) await downloads[file].saveAs(path.join(dir, file));
  }
  return dir;
}

// Runs the page until done and saves both downloads; during(page), if given, looks on meanwhile.
async function recordRun(context, url, name, during, init) {
  const page = await context.newPage();
  const downloads = {};
  page.on('download', (d) => { downloads[d.suggestedFilename()] = d; });
  if (init) await page.addInitScript(init);
  await page.goto(url);
  const seen = during ? await during(page) : null;
  const state = await waitForState(page, ['done', 'error'], 120000);
  const dir = await saveDownloads(page, downloads, name);
  await page.close();
  return { state, dir, seen };
}

// The command the page shows, run as a user would (in the folder of the downloads).
function reproduce(command, dir) {
  const words = command.split(' ');
  if (words[0] !== 'pixelwell-filter') throw new Error(`unexpected command: ${command}`);
  execFileSync(filter, words.slice(1), { cwd: dir, stdio: ['ignore', 'ignore', 'ignore'] });
  return fs.readFileSync(path.join(dir, 'out.bgrx'));
}

// --- the teaching panel, freeze and step -----------------------------------------------------------
// The core's explanation of frame N of a recording, as the native program computes it.
function nativeExplanation(dir, command, frame) {
  const words = command.split(' ');
  const args = [];
  for (let i = 1; i < words.length; ++i) if (words[i] === '--size' || words[i] === '--mode') args.push(words[i], words[++i]);
  const line = execFileSync(explain, [...args, path.join(dir, 'recording.raw'), String(frame)]).toString().trim();
  return Object.fromEntries(line.split(' ').map((pair) => pair.split('=')));
}

async function panelData(page) {
  return page.evaluate(() => ({ ...document.getElementById('panel').dataset, frames: document.documentElement.dataset.frames }));
}
// The panel once it explains the last frame processed.
async function settledPanel(page) {
  await page.waitForFunction(() => document.getElementById('panel').dataset.frame === document.documentElement.dataset.frames);
  return panelData(page);
}
async function pressStep(page) {
  const before = Number(await page.evaluate(() => document.documentElement.dataset.frames || 0));
  await page.keyboard.press('.');
  await page.waitForFunction((b) => Number(document.documentElement.dataset.frames) === b + 1, before);
  return settledPanel(page);
}

async function teachingRun(context, base) {
  const page = await context.newPage();
  const downloads = {};
  page.on('download', (d) => { downloads[d.suggestedFilename()] = d; });
  // frozen=1: the page starts frozen, so every frame below is one step.
  await page.goto(`${base}?source=test&size=160x120&record=1&frozen=1&mode=sobel-x&mode=binarize@12`);
  await waitForState(page, ['running']);
  let frozen;
  for (let k = 0; k < 5; ++k) frozen = await pressStep(page);
  // What the result view shows, from where it is drawn (the worker's canvas, or the page's).
  const view = () => page.evaluate(async () => Array.from((await window.pixelwellView('result')).data).join(','));
  const held = await view();
  await page.waitForTimeout(500);
  const after = await panelData(page);
  check(after.frames === frozen.frames && (await view()) === held,
    `Space freezes: no frame processed in 0.5 s (${frozen.frames}, ${after.frames}), the result view holds`);
  const filterPanel = frozen;
  // Step into the binarisation (chosen before frame 12, that is at the 13th frame).
  let binarizePanel;
  while (Number((binarizePanel = await pressStep(page)).frames) < 14) {}
  const livePixels = await page.evaluate(async () => Array.from((await window.pixelwellView('result')).data));
  // Chosen while frozen, an operation re-runs the held frame, from the core as it stood before it;
  // the next frame processed (a step) is in the mode chosen last.
  const reruns = [];
  for (const [key, name] of [['x', 'sobel-x'], ['y', 'sobel-y'], ['a', 'laplacian-a'], ['2', 'average2']]) {
    await page.keyboard.press(key);
    await page.waitForFunction((n) => document.getElementById('panel').dataset.mode === n, name, { timeout: 5000 }).catch(() => {});
    const shown = await panelData(page);
    const pixels = await page.evaluate(async () => Array.from((await window.pixelwellView('result')).data));
    reruns.push({ name, shown, pixels });
  }
  const stepped = await pressStep(page);
  check(reruns.every((r) => r.shown.mode === r.name && r.shown.frame === binarizePanel.frame && r.shown.frames === binarizePanel.frames) &&
        stepped.mode === 'average2' && Number(stepped.frame) === Number(binarizePanel.frame) + 1,
    `re-runs while frozen show the held frame ${binarizePanel.frame} (${reruns.map((r) => `${r.shown.mode} at ${r.shown.frame}`).join(', ')}, ${binarizePanel.frames} frames counted); ` +
    `the next step is ${stepped.mode} at ${stepped.frame}`);
  // Space goes on, and freezes again.
  await page.keyboard.press(' ');
  await page.waitForFunction((f) => Number(document.documentElement.dataset.frames) >= f + 3, Number(stepped.frames));
  await page.keyboard.press(' ');
  const last = await settledPanel(page);
  check(filterPanel.mode === 'sobel-x' && filterPanel.cutLow !== '' && filterPanel.threshold === '' &&
        binarizePanel.mode === 'binarize' && binarizePanel.threshold !== '' && binarizePanel.cutLow === '',
    `the panel's attributes apply to their mode (sobel-x: cuts ${filterPanel.cutLow}, ${filterPanel.cutHigh}; binarize: threshold ${binarizePanel.threshold})`);
  // Snapshot: both views and the panel, named by frame and mode.
  await page.click('#snapshot');
  const prefix = `pixelwell-${last.frame.padStart(6, "0")}-average2`;
  const shots = {};
  for (const part of ['viewer', 'result', 'panel']) {
    const name = `${prefix}-${part}.png`;
    if (!downloads[name]) await page.waitForEvent('download', { predicate: (d) => d.suggestedFilename() === name, timeout: 10000 }).catch(() => {});
    if (downloads[name]) {
      await downloads[name].saveAs(path.join(work, name));
      const png = fs.readFileSync(path.join(work, name));
      shots[part] = png.subarray(1, 4).toString() === 'PNG' ? `${png.readUInt32BE(16)}x${png.readUInt32BE(20)}` : 'not a PNG';
    }
  }
  check(shots.viewer === '160x120' && shots.result === '160x120' && /^\d+x\d+$/.test(shots.panel || ''),
    `snapshot: ${prefix}-viewer/result/panel.png (${shots.viewer}, ${shots.result}, ${shots.panel})`);
  // Stop and save: the recording holds exactly the frames processed.
  const command = await page.evaluate(() => document.documentElement.dataset.filterCommand);
  await page.click('#record');
  const dir = path.join(work, 'stepped');
  fs.mkdirSync(dir);
  for (const file of ['recording.raw', 'results.bgrx']) {
    if (!downloads[file]) await page.waitForEvent('download', { predicate: (d) => d.suggestedFilename() === file, timeout: 10000 }).catch(() => {});
    if (downloads[file]) await downloads[file].saveAs(path.join(dir, file));
  }
  await page.close();
  const raw = fs.existsSync(path.join(dir, 'recording.raw')) ? fs.readFileSync(path.join(dir, 'recording.raw')) : Buffer.alloc(0);
  check(raw.length === 160 * 120 * 3 * Number(last.frames), `a stepped run records exactly the ${last.frames} frames processed (${raw.length / (160 * 120 * 3)})`);
  const out = reproduce(command.replace(' results.bgrx', ' out.bgrx'), dir);
  check(out.equals(fs.readFileSync(path.join(dir, 'results.bgrx'))), `a stepped run: ${command} reproduces results.bgrx`);
  // Each re-run's view equals the filter on the held frame (the filters), or on the frames up to
  // it with the mode chosen before it (the average, which reads the frames before).
  const heldFrame = Number(binarizePanel.frame), frameBytes = 160 * 120 * 3;
  const bgrx = (rgba) => {  // the view's pixels (top-down RGBA) as the filter writes them (B,G,R, bottom-up)
    const out = Buffer.alloc(160 * 120 * 3);
    for (let y = 0; y < 120; ++y) for (let x = 0; x < 160; ++x) {
      const from = ((119 - y) * 160 + x) * 4, to = (y * 160 + x) * 3;
      out[to] = rgba[from + 2]; out[to + 1] = rgba[from + 1]; out[to + 2] = rgba[from];
    }
    return out;
  };
  const dropX = (b) => { const out = Buffer.alloc(b.length / 4 * 3); for (let i = 0, j = 0; i < b.length; i += 4, j += 3) { out[j] = b[i]; out[j + 1] = b[i + 1]; out[j + 2] = b[i + 2]; } return out; };
  const schedule = command.split(' ').filter((w, i, all) => all[i - 1] === '--mode');
  const recorded = fs.readFileSync(path.join(dir, 'results.bgrx'));
  const liveAt = (Number(binarizePanel.frames) - 1) * 160 * 120 * 4;
  check(dropX(recorded.subarray(liveAt, liveAt + 160 * 120 * 4)).equals(bgrx(livePixels)),
    `the result view shows frame ${binarizePanel.frames} as recorded, pixel for pixel`);
  for (const r of reruns) {
    const temporal = r.name === 'average2';
    const input = path.join(dir, `held-${r.name}.raw`);
    fs.writeFileSync(input, raw.subarray(temporal ? 0 : (heldFrame - 1) * frameBytes, heldFrame * frameBytes));
    const modes = temporal ? [...schedule, `${r.name}@${heldFrame - 1}`] : [r.name];
    execFileSync(filter, ['--size', '160x120', ...modes.flatMap((m) => ['--mode', m]), input, path.join(dir, 'held.bgrx')], { stdio: 'ignore' });
    const out = fs.readFileSync(path.join(dir, 'held.bgrx'));
    check(dropX(out.subarray(out.length - 160 * 120 * 4)).equals(bgrx(r.pixels)), `frozen, ${r.name}: the view equals the filter on the held frame${temporal ? ' after the frames before it' : ''}`);
  }
  // The panel's numbers are the core's own, frame for frame.
  for (const shown of [filterPanel, binarizePanel, stepped, last]) {
    const native = nativeExplanation(dir, command, shown.frame);
    const same = native.frame === shown.frame && native.cutLow === (shown.cutLow || '-1') && native.cutHigh === (shown.cutHigh || '-1') &&
                 native.threshold === (shown.threshold || '-1') && (shown.min === '' || (native.min === shown.min && native.max === shown.max));
    check(same, `${shown.mode} at frame ${shown.frame}: the panel (cuts ${shown.cutLow}, ${shown.cutHigh}, threshold ${shown.threshold}, range ${shown.min}..${shown.max}) ` +
      `equals the native explanation (cuts ${native.cutLow}, ${native.cutHigh}, threshold ${native.threshold}, range ${native.min}..${native.max})`);
  }
}

// Seconds spent by a part of the run, printed at its end (docs/testing.md keeps them).
const spent = {};
async function timed(part, work) {
  const started = Date.now();
  try { return await work(); } finally { spent[part] = (spent[part] || 0) + (Date.now() - started) / 1000; }
}

const runs = require('./run_checks')({ check, recordRun, reproduce, waitForState, launch, work, media, clip, site, kClipFrames });
const { serverChecks, cameraRun, testPictureRun, keyboardRun, errorRuns } = runs;

(async () => {
  const clipFile = makeClip();
  const url = await startServer();
  await serverChecks(url);
  const camera = await launch(['--use-fake-device-for-media-stream', `--use-file-for-fake-video-capture=${clipFile}`,
                               '--use-fake-ui-for-media-stream']);
  await cameraRun(camera, url, true);
  await cameraRun(camera, url, false);
  await testPictureRun(camera, url);
  // The main-thread pipeline (pipeline=main, and browsers without the worker's needs): what it
  // does differently, capture, conversion and drawing, with recordings the filter reproduces.
  await timed('pipeline=main', async () => {
    await cameraRun(camera, url, true, 'main');
    await cameraRun(camera, url, false, 'main');
    await testPictureRun(camera, url, 'main');
  });
  await keyboardRun(camera, url);
  await teachingRun(camera, url);
  const kernel = require('./kernel_checks')({ check, waitForState, saveDownloads, filter });
  await timed('kernel mode', () => kernel.kernelRun(camera, url));
  const checks = require('./page_checks')({ check, waitForState, recordRun, reproduce, dataset, saveDownloads, expectMessage: runs.expectMessage, media, timed });
  checks.makeMedia(media, clipFile);
  // The two checks that wait out the 5 s stall rule run side by side.
  await Promise.all([checks.hiddenTab(camera, url), checks.brokenDownload(camera, url)]);
  await checks.recordFromView(camera, url);
  await checks.sizes(camera, url);
  await checks.files(camera, url);
  await checks.quota(camera, url);
  const grid = require('./grid_checks')({ check, waitForState, reproduce, work });
  await timed('grid', async () => { await grid.gridRecorded(camera, url); await grid.gridClicks(camera, url); });
  const devices = require('./device_checks')({ check, work, toStop });
  await timed('offline', () => devices.offline(camera, site));
  await timed('full screen, front/back, phones', async () => {
    await devices.fullscreen(camera, url);
    await devices.facing(camera, url);
    const phone = await launch([], { isMobile: true, hasTouch: true, viewport: { width: 360, height: 740 } });
    await devices.phone(phone, url, { width: 360, height: 740 });
    await devices.phone(phone, url, { width: 390, height: 844 });
    await phone.close();
  });
  await camera.close();
  const pattern = await launch(['--use-fake-device-for-media-stream', '--use-fake-ui-for-media-stream']);
  await checks.bigCamera(pattern, url);
  await pattern.close();
  await errorRuns(url, clipFile);
})().catch((error) => {
  console.error(`FAIL ${error.stack || error}`);
  failures += 1;
}).finally(async () => {
  for (const stop of toStop.reverse()) await stop();
  console.log(`time: ${Object.entries(spent).map(([part, s]) => `${part} ${s.toFixed(1)} s`).join(', ')}, the whole run ${process.uptime().toFixed(0)} s`);
  if (failures === 0) fs.rmSync(work, { recursive: true, force: true });
  else console.error(`the run's files are kept in ${work}`);
  console.log(failures ? `${failures} checks failed` : 'every check passed');
  process.exit(failures ? 1 : 0);
});
