// The page's runs as a user makes them, on the default pipeline and on pipeline=main where the
// check is of what differs: what the server serves, the camera through a schedule, recorded and
// reproduced by the filter, the test picture against pixelwell-clip, every operation by its key,
// and the errors a user can meet. Used by browser.test.js, which passes its helpers (h) and runs these on its browsers.
const { execFileSync } = require('child_process');
const fs = require('fs');
const path = require('path');

module.exports = (h) => {
  const { check, recordRun, reproduce, waitForState, launch, work, media, clip, site, kClipFrames } = h;

  // What the server serves: the module's type, a media file, and nothing outside the folder.
  // A GET of a path exactly as written (fetch would resolve the dots first).
  function rawGet(url, rawPath) {
    return new Promise((resolve) => {
      const u = new URL(url);
      require('http').get({ host: u.hostname, port: u.port, path: rawPath }, (res) => {
        let body = '';
        res.on('data', (d) => { body += d; });
        res.on('end', () => resolve({ status: res.statusCode, body }));
      }).on('error', (error) => resolve({ status: 0, body: String(error) }));
    });
  }

  async function serverChecks(url) {
    fs.writeFileSync(path.join(media, 'a b.txt'), 'media file');
    const wasm = await fetch(`${url}pixelwell-simd.wasm`);
    check(wasm.ok && wasm.headers.get('content-type') === 'application/wasm', `.wasm served as ${wasm.headers.get('content-type')}`);
    const file = await fetch(`${url}media/a%20b.txt`);
    check(file.ok && (await file.text()) === 'media file', '--media DIR: its files at /media/NAME');
    // Nothing outside DIR, by any path or link: each answer is a refusal, never the secret.
    fs.writeFileSync(path.join(work, 'secret.txt'), 'secret');
    fs.mkdirSync(path.join(work, 'secrets'), { recursive: true });
    fs.writeFileSync(path.join(work, 'secrets', 'inside.txt'), 'secret');
    fs.symlinkSync(path.join(work, 'secret.txt'), path.join(media, 'link.txt'));
    fs.symlinkSync('../secret.txt', path.join(media, 'relative-link.txt'));
    fs.symlinkSync(path.join(work, 'secrets'), path.join(media, 'folder-link'));
    fs.symlinkSync('a b.txt', path.join(media, 'inner-link.txt'));
    const attempts = ['link.txt', 'relative-link.txt', 'folder-link', 'folder-link/inside.txt', 'folder-link%2Finside.txt', '..%2Fsecret.txt',
      '%2e%2e%2fsecret.txt', '%2E%2E/secret.txt', '../secret.txt', '..%5csecret.txt', 'x/../../secret.txt', '%2Fetc%2Fpasswd', '/etc/passwd',
      '..', '.', '%00', 'a%00b', ''];
    const refused = [];
    for (const attempt of attempts) {
      const answer = await rawGet(url, `/media/${attempt}`);
      if (answer.status !== 200 && !answer.body.includes('secret')) refused.push(attempt);
      else console.log(`     /media/${attempt}: ${answer.status} ${answer.body.slice(0, 40)}`);
    }
    check(refused.length === attempts.length, `/media/ serves nothing outside DIR: ${refused.length} of ${attempts.length} attempts refused (links out of it among them)`);
    const inner = await fetch(`${url}media/inner-link.txt`);
    check(inner.ok && (await inner.text()) === 'media file', '/media/: a link to a file inside DIR is served');
    const bad = require('child_process').spawnSync(path.join(__dirname, '..', '..', 'scripts', 'web'), ['--media', path.join(work, 'none')]);
    check(bad.status === 2 && /--media .*none: no such folder/.test(bad.stderr), `--media with no such folder: status ${bad.status}, "${String(bad.stderr).trim().split('\n').pop()}"`);
  }

  // --- the camera path ----------------------------------------------------------------------------
  const kSchedule = ['average4', 'average8@5', 'diff@10', 'sobel-x@15', 'median3@20', 'binarize@25'];
  async function cameraRun(context, base, simd, pipeline = 'worker') {
    const what = `${simd ? 'SIMD build' : 'simd=0'}, ${pipeline === 'main' ? 'pipeline=main' : 'worker'}`;
    const query = new URLSearchParams([['source', 'camera'], ...kSchedule.map((m) => ['mode', m]),
      ['frames', '30'], ['record', '1'], ...(simd ? [] : [['simd', '0']]), ...(pipeline === 'main' ? [['pipeline', 'main']] : [])]);
    const { state, dir } = await recordRun(context, `${base}?${query}`, `camera-${simd ? 'simd' : 'scalar'}-${pipeline}`);
    check(state.pipeline === pipeline, `camera, ${what}: frames processed on the ${state.pipeline} pipeline`);
    check(state.state === 'done' && state.ended === 'frames', `camera, ${what}: the run ends after its frames (state ${state.state}, ended ${state.ended}${state.error ? ', ' + state.error : ''})`);
    check(state.build === (simd ? 'simd' : 'scalar'), `camera, ${what}: build ${state.build}`);
    const raw = fs.readFileSync(path.join(dir, 'recording.raw'));
    const results = fs.readFileSync(path.join(dir, 'results.bgrx'));
    const w = Number(state.width), h = Number(state.height), n = Number(state.frames);
    check(w === 320 && h === 240 && n === 30 && raw.length === w * h * 3 * n && results.length === w * h * 4 * n,
      `camera, ${what}: 30 frames of 320x240 recorded (${raw.length} and ${results.length} bytes)`);
    const command = state.filterCommand.replace(' results.bgrx', ' out.bgrx');
    const out = reproduce(command, dir);
    check(out.equals(results), `camera, ${what}: ${command} equals results.bgrx byte for byte`);
    // No two equal consecutive frames, and the frames' numbers come in order.
    const frameBytes = w * h * 3;
    let repeats = 0, disorder = 0, last = -1;
    const numbers = [];
    for (let k = 0; k < n; ++k) {
      const frame = raw.subarray(k * frameBytes, (k + 1) * frameBytes);
      if (k > 0 && frame.equals(raw.subarray((k - 1) * frameBytes, k * frameBytes))) repeats += 1;
      // The block's centre, near the top of the picture: bottom-up, so near the last row.
      const at = ((h - 1 - 12) * w + 12) * 3;
      const number = Math.round(((frame[at + 1] * 219) / 255) / 3);
      numbers.push(number);
      if (last >= 0 && !((number - last + kClipFrames) % kClipFrames >= 1 && (number - last + kClipFrames) % kClipFrames < kClipFrames / 2)) disorder += 1;
      last = number;
    }
    check(repeats === 0, `camera, ${what}: no two equal consecutive frames (${repeats})`);
    check(disorder === 0, `camera, ${what}: frames in order (clip frames ${numbers.join(' ')})`);
  }

  // --- the test picture -----------------------------------------------------------------------------
  async function testPictureRun(context, base, pipeline = 'worker') {
    const extra = pipeline === 'main' ? '&pipeline=main' : '';
    const { state, dir } = await recordRun(context, `${base}?source=test&size=160x120&frames=12&record=1&mode=gray${extra}`, `test-${pipeline}`);
    const raw = fs.readFileSync(path.join(dir, 'recording.raw'));
    const expected = execFileSync(clip, ['--width', '160', '--height', '120', '--frames', '12']);
    check(state.state === 'done' && raw.equals(expected), `source=test: recording.raw equals pixelwell-clip (${raw.length} bytes)`);
    const version = /project\(pixelwell VERSION ([0-9.]+)/.exec(fs.readFileSync(path.join(__dirname, '..', '..', 'CMakeLists.txt'), 'utf8'))[1];
    check(state.version === version, `the page's version is the project's (${state.version}, ${version})`);
    const out = reproduce(state.filterCommand.replace(' results.bgrx', ' out.bgrx'), dir);
    check(out.equals(fs.readFileSync(path.join(dir, 'results.bgrx'))), 'source=test: the command reproduces results.bgrx');
  }

  // --- every operation by keyboard -----------------------------------------------------------------
  async function keyboardRun(context, base) {
    const page = await context.newPage();
    await page.goto(`${base}?source=test&size=96x64`);
    await waitForState(page, ['running']);
    const operations = await page.evaluate(() => [...document.querySelectorAll('#mode option')]
      .map((o) => ({ id: Number(o.value), key: /\[(.)\]$/.exec(o.textContent)[1], text: o.textContent })));
    check(operations.length === 25, `the list holds none, the 23 operations and the kernel mode (${operations.length})`);
    const shots = [];
    for (const op of operations) {
      await page.keyboard.press(op.key === '+' ? 'Shift+Equal' : op.key);
      const chosen = await page.evaluate(() => Number(document.getElementById('mode').value));
      const frames = Number(await page.evaluate(() => document.documentElement.dataset.frames));
      await page.waitForFunction((f) => Number(document.documentElement.dataset.frames) >= f + 2, frames);
      const file = path.join(work, `key-${op.id}.png`);
      await page.locator('#result-view').screenshot({ path: file });
      shots.push({ file, id: op.id, chosen, text: op.text });
    }
    // Then ← and →, which step through the menu's order.
    await page.keyboard.press('ArrowLeft');
    const left = await page.evaluate(() => Number(document.getElementById('mode').value));
    await page.keyboard.press('ArrowRight');
    await page.keyboard.press('ArrowRight');
    const right = await page.evaluate(() => Number(document.getElementById('mode').value));
    check(left === 1444 && right === 1400, `← from the kernel mode gives mean3 (${left}), → twice wraps round to none (${right})`);
    await page.close();
    for (const s of shots) check(s.chosen === s.id, `key for ${s.text} chooses it (${s.chosen})`);
    // The screenshots read back: size, gray B=G=R, binarize only 0 and 255.
    const report = execFileSync('/usr/bin/python3', [path.join(__dirname, 'read_shots.py')],
      { input: JSON.stringify(shots.map((s) => ({ file: s.file, id: s.id, width: 96, height: 64 }))) }).toString();
    for (const line of report.trim().split('\n')) check(line.startsWith('ok'), line.replace(/^(ok|FAIL) /, ''));
  }

  // --- errors -----------------------------------------------------------------------------------------
  async function expectMessage(page, pattern, what) {
    const shown = await page.waitForFunction((p) => new RegExp(p).test(document.getElementById('error').textContent +
      ' ' + document.getElementById('notice').textContent), pattern, { timeout: 20000 }).then(() => true, () => false);
    const text = await page.evaluate(() => `${document.getElementById('error').textContent} | ${document.getElementById('notice').textContent}`);
    check(shown, `${what}: the message shows ("${text.trim()}")`);
  }
  async function expectWorking(page, what) {
    const before = Number(await page.evaluate(() => document.documentElement.dataset.frames || 0));
    await page.selectOption('#source', 'test');
    await page.keyboard.press('g');
    const going = await page.waitForFunction((b) => Number(document.documentElement.dataset.frames) > b + 2 &&
      document.getElementById('mode').value === '1409', before, { timeout: 20000 }).then(() => true, () => false);
    check(going, `${what}: the page keeps working (the test picture, gray by key)`);
  }

  async function errorRuns(base, clipFile) {
    // No camera at all.
    let context = await launch([]);
    let page = await context.newPage();
    await page.goto(`${base}?source=camera`);
    await expectMessage(page, 'No camera was found', 'no camera');
    await expectWorking(page, 'no camera');
    await context.close();
    // Permission refused.
    context = await launch(['--use-fake-device-for-media-stream', '--deny-permission-prompts']);
    page = await context.newPage();
    await page.goto(`${base}?source=camera`);
    await expectMessage(page, 'permission was refused', 'permission refused');
    await expectWorking(page, 'permission refused');
    await context.close();
    // A track that ends (unplugged): the browser's own ended event on the camera's track.
    context = await launch(['--use-fake-device-for-media-stream', `--use-file-for-fake-video-capture=${clipFile}`,
                            '--use-fake-ui-for-media-stream']);
    page = await context.newPage();
    await page.addInitScript(() => {
      const original = navigator.mediaDevices.getUserMedia.bind(navigator.mediaDevices);
      navigator.mediaDevices.getUserMedia = async (c) => { const s = await original(c); window.lastStream = s; return s; };
    });
    await page.goto(`${base}?source=camera`);
    await page.waitForFunction(() => Number(document.documentElement.dataset.frames) > 3);
    await page.evaluate(() => { const t = window.lastStream.getVideoTracks()[0]; t.stop(); t.dispatchEvent(new Event('ended')); });
    await expectMessage(page, 'The camera stopped', 'a track that ends');
    await expectWorking(page, 'a track that ends');
    // A file the browser cannot decode, chosen by the user.
    fs.writeFileSync(path.join(work, 'broken.mp4'), Buffer.from('not a video at all, only bytes '.repeat(400)));
    await page.evaluate(() => { document.getElementById('file').hidden = false; });
    await page.setInputFiles('#file', path.join(work, 'broken.mp4'));
    await expectMessage(page, 'cannot decode broken.mp4', 'an undecodable file');
    await expectWorking(page, 'an undecodable file');
    // Opened from a file: the page says how to serve it.
    await page.goto(`file://${site}/index.html?source=camera`);
    const opened = await waitForState(page, ['error', 'running', 'done']);
    check(opened.state === 'error' && /file:\/\/.*scripts\/web/.test(opened.error), `file://: ${opened.state}, "${opened.error}"`);
    await page.close();
  }

  return { serverChecks, cameraRun, testPictureRun, keyboardRun, expectMessage, errorRuns };
};
