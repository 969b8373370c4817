// The page's faults found by hand, each checked as a user meets it: a hidden tab, a download
// that breaks off, sizes, Record after a URL schedule, the run after frames=N, camera=0.5,
// frames over 1280, the storage quota, the layout at projector sizes, files that loop, stills,
// a missing file, a misspelt mode, and a .wasm that cannot be loaded.
// Used by browser.test.js, which passes its helpers (h) and runs these on its browsers.
const { execFileSync } = require('child_process');
const fs = require('fs');
const http = require('http');
const path = require('path');

// Media files made with ffmpeg: the clip as a VP8 file, a 1920x1080 one, a PNG and a JPEG.
function makeMedia(media, clipFile) {
  const ff = (args) => execFileSync('ffmpeg', ['-v', 'error', ...args, '-y']);
  ff(['-i', clipFile, '-c:v', 'libvpx', '-b:v', '2M', path.join(media, 'clip.webm')]);
  ff(['-f', 'lavfi', '-i', 'testsrc2=size=1920x1080:rate=30', '-frames:v', '15', '-c:v', 'libvpx', '-b:v', '4M', path.join(media, 'big.webm')]);
  ff(['-f', 'lavfi', '-i', 'testsrc2=size=200x150', '-frames:v', '1', path.join(media, 'still.png')]);
  ff(['-f', 'lavfi', '-i', 'testsrc2=size=300x200', '-frames:v', '1', path.join(media, 'photo.jpg')]);
}

// A server on another port that passes every request to scripts/web's, except /media/cut.webm:
// it promises the whole clip and sends half, then closes the connection.
function cuttingServer(upstream, media) {
  const server = http.createServer(async (req, res) => {
    if (req.url.startsWith('/media/cut.webm')) {
      const bytes = fs.readFileSync(path.join(media, 'clip.webm'));
      res.writeHead(200, { 'Content-Type': 'video/webm', 'Content-Length': bytes.length, 'Cache-Control': 'no-store' });
      if (req.method === 'HEAD') { res.end(); return; }
      res.write(bytes.subarray(0, bytes.length >> 1));
      setTimeout(() => res.socket.destroy(), 100);
      return;
    }
    try {
      const answer = await fetch(upstream.replace(/\/$/, '') + req.url, { method: req.method });
      const headers = {};
      for (const name of ['content-type', 'content-length', 'cache-control']) if (answer.headers.get(name)) headers[name] = answer.headers.get(name);
      res.writeHead(answer.status, headers);
      res.end(Buffer.from(await answer.arrayBuffer()));
    } catch (error) {
      res.writeHead(502);
      res.end();
    }
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve({ server, url: `http://127.0.0.1:${server.address().port}/` })));
}

// Emulates a hidden tab as the browser makes one: the page is told it is hidden and gets no
// video frame callbacks until it is shown (headless Chromium never hides a page itself).
function emulateHiding() {
  const held = [];
  const request = HTMLVideoElement.prototype.requestVideoFrameCallback;
  HTMLVideoElement.prototype.requestVideoFrameCallback = function (callback) {
    return request.call(this, (now, meta) => { if (window.pixelwellHidden) held.push([this, callback]); else callback(now, meta); });
  };
  window.pixelwellHide = (hidden) => {
    window.pixelwellHidden = hidden;
    Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => (hidden ? 'hidden' : 'visible') });
    Object.defineProperty(document, 'hidden', { configurable: true, get: () => hidden });
    document.dispatchEvent(new Event('visibilitychange'));
    if (!hidden) for (const [video, callback] of held.splice(0)) request.call(video, callback);
  };
}

module.exports = (h) => {
  const { check, waitForState, recordRun, reproduce, dataset } = h;
  const frames = (page) => page.evaluate(() => Number(document.documentElement.dataset.frames || 0));
  const text = (page, id) => page.evaluate((i) => document.getElementById(i).textContent, id);
  const reproduces = (state, dir, what) => {
    const out = reproduce(state.filterCommand.replace(' results.bgrx', ' out.bgrx'), dir);
    check(out.equals(fs.readFileSync(path.join(dir, 'results.bgrx'))), `${what}: ${state.filterCommand} reproduces results.bgrx`);
  };
  const rawFrames = (dir, w, h3) => fs.readFileSync(path.join(dir, 'recording.raw')).length / (w * h3 * 3);

  // A hidden tab pauses and goes on; 6 s hidden is no loss of the camera.
  async function hiddenTab(context, base) {
    const page = await context.newPage();
    await page.addInitScript(emulateHiding);
    const downloads = {};
    page.on('download', (d) => { downloads[d.suggestedFilename()] = d; });
    await page.goto(`${base}?source=camera&frames=40&record=1&mode=average4`);
    await page.waitForFunction(() => Number(document.documentElement.dataset.frames) >= 10).catch(async (error) => {
      throw new Error(`${error.message}: ${JSON.stringify(await dataset(page))} ${await text(page, 'stats')}`);
    });
    await page.evaluate(() => window.pixelwellHide(true));
    const hiddenAt = await frames(page);
    await page.waitForTimeout(6000);
    const during = await dataset(page);
    const notice = await text(page, 'notice');
    check(during.state === 'running' && during.paused === '1' && Number(during.frames) === hiddenAt && /Paused while the page is hidden/.test(notice),
      `a hidden tab pauses for 6 s (state ${during.state}, paused ${during.paused}, frames ${hiddenAt} then ${during.frames}, "${notice.split('\n').pop()}"${during.error ? ', ' + during.error : ''})`);
    await page.evaluate(() => window.pixelwellHide(false));
    const state = await waitForState(page, ['done', 'error']);
    check(state.ended === 'frames' && state.frames === '40' && !state.paused, `shown again, the run goes on to its end (ended ${state.ended}, ${state.frames} frames)`);
    const dir = await h.saveDownloads(page, downloads, 'hidden');
    await page.close();
    reproduces(state, dir, 'a run with a pause');
  }

  // Record starts from what is shown; the URL's schedule stays with the run it started.
  async function recordFromView(context, base) {
    const page = await context.newPage();
    const downloads = {};
    page.on('download', (d) => { downloads[d.suggestedFilename()] = d; });
    await page.goto(`${base}?source=test&size=160x120&frozen=1&mode=gray&mode=sobel-x@30`);
    await waitForState(page, ['running']);
    const before = await page.evaluate(() => ({ list: document.getElementById('mode').selectedOptions[0]?.textContent || '',
      title: document.getElementById('result-title').textContent, command: document.documentElement.dataset.filterCommand || '' }));
    check(/gray/.test(before.list) && /gray/.test(before.title), `before the first frame the list and title name the URL's first mode ("${before.list}", "${before.title}")`);
    await page.keyboard.press('.');
    await page.waitForFunction(() => Number(document.documentElement.dataset.frames) === 1);
    const first = (await dataset(page)).filterCommand;
    check(/--size 160x120 --mode gray -- recording/.test(first), `mode=gray: the command names it once (${first})`);
    await page.keyboard.press(' ');
    await page.waitForFunction(() => Number(document.documentElement.dataset.frames) >= 5);
    await page.keyboard.press('b');
    await page.click('#record');
    const stop = await page.evaluate(() => document.getElementById('record').textContent);
    const freeze = await page.evaluate(() => document.getElementById('freeze').textContent);
    await page.waitForFunction(() => Number(document.documentElement.dataset.frames) >= 40);
    const recording = await page.evaluate(() => ({ mode: document.getElementById('mode').selectedOptions[0].textContent, command: document.documentElement.dataset.filterCommand }));
    check(/laplacian-b/.test(recording.mode) && /--size 160x120 --mode laplacian-b -- recording\.raw/.test(recording.command),
      `Record starts from what is shown, the URL's schedule left behind ("${recording.mode}", ${recording.command})`);
    await page.click('#record');
    const dir = await h.saveDownloads(page, downloads, 'record-view');
    await page.close();
    reproduces({ filterCommand: recording.command }, dir, 'a recording after a URL schedule');
    const ja = (t) => (t.split('/')[1] || '').replace(/\[.*\]/, '').trim();
    check(ja(freeze) && ja(stop) && ja(freeze) !== ja(stop) && !(ja(freeze).includes('停止') && ja(stop).includes('停止')),
      `"Freeze" and "Stop and save" have their own Japanese words ("${freeze}", "${stop}")`);
  }

  // Sizes: out of range is refused with one message; a size the list lacks is shown in it.
  async function sizes(context, base) {
    const page = await context.newPage();
    for (const size of ['0x0', '0x5', '99999x1', 'abc']) {
      for (const source of ['test', 'camera']) {
        await page.goto(`${base}?source=${source}&size=${size}`);
        const state = await waitForState(page, ['error', 'running', 'done']);
        check(state.state === 'error' && state.error.startsWith(`size=${size}: give the size as WxH`), `size=${size} (${source}): ${state.state}, "${state.error}"`);
      }
    }
    await page.goto(`${base}?source=test&size=800x600`);
    await page.waitForFunction(() => Number(document.documentElement.dataset.frames) >= 2);
    const shown = await page.evaluate(() => [document.getElementById('size').value, document.documentElement.dataset.width, document.documentElement.dataset.height]);
    check(shown.join(' ') === '800x600 800 600', `size=800x600: the Size list shows it, and frames are 800x600 (${shown.join(', ')})`);
    // A frame over 1280 is scaled down to fit, with a notice that says so.
    await page.goto(`${base}?source=test&size=1281x720`);
    await page.waitForFunction(() => Number(document.documentElement.dataset.frames) >= 2);
    const scaled = await dataset(page);
    const notice = await text(page, 'notice');
    check(scaled.width === '1280' && scaled.height === '719' && scaled.scaledFrom === '1281x720' && /1280x1280 以下に設定してください.*scaled down to 1280x719/.test(notice),
      `size=1281x720: processed at ${scaled.width}x${scaled.height}, "${notice}"`);
    // After a frames=N run, a source chosen starts an ordinary run.
    await page.goto(`${base}?source=test&size=160x120&frames=5`);
    await waitForState(page, ['done']);
    await page.selectOption('#source', 'test');
    const going = await page.waitForFunction(() => Number(document.documentElement.dataset.frames) > 8, null, { timeout: 10000 }).then(() => true, () => false);
    const after = await dataset(page);
    check(going && after.state === 'running' && !after.ended, `after frames=5 ended, the test picture chosen runs on (state ${after.state}, ${after.frames} frames)`);
    // A misspelt mode: the message, and the run in the default mode.
    await page.goto(`${base}?source=test&mode=sobel-z`);
    await page.waitForFunction(() => Number(document.documentElement.dataset.frames) >= 2, null, { timeout: 10000 }).catch(() => {});
    const misspelt = await dataset(page);
    const list = await page.evaluate(() => document.getElementById('mode').selectedOptions[0]?.textContent || '');
    check(misspelt.state === 'running' && /^mode=sobel-z: .*sobel-x, sobel-y.*default mode, none/.test(misspelt.error || '') && Number(misspelt.frames) >= 2 && /none/.test(list),
      `mode=sobel-z: runs in mode none (${misspelt.state}, list "${list}"), "${misspelt.error}"`);
    // Large type for a lecture hall; and at a projector's 1280x720 everything shows without scrolling.
    await page.setViewportSize({ width: 1280, height: 720 });
    await page.goto(`${base}?source=test&text=larger`);
    await page.waitForFunction(() => Number(document.documentElement.dataset.frames) >= 2);
    const layout = await page.evaluate(() => {
      const box = (id) => document.getElementById(id).getBoundingClientRect();
      return { result: box('result-view'), panel: box('panel'), stats: box('stats'), command: box('command-line'),
               type: parseFloat(getComputedStyle(document.getElementById('panel')).fontSize), text: document.getElementById('text-size').value };
    });
    check(layout.result.bottom <= 720 && layout.result.right <= layout.panel.left && layout.panel.bottom <= 720 && layout.stats.bottom <= 720 &&
          layout.type >= 24 && layout.text === 'larger',
      `1280x720, text=larger: views (to ${Math.round(layout.result.right)}x${Math.round(layout.result.bottom)}), the panel beside them (${layout.type}px type) and the figures (to ${Math.round(layout.stats.bottom)}) within the window`);
    await page.setViewportSize({ width: 1400, height: 900 });
    await page.close();
  }

  // Files: a video loops unless told not to; record=1 does not loop; stills; a missing file.
  async function files(context, base) {
    const page = await context.newPage();
    await page.goto(`${base}?source=/media/clip.webm&mode=gray`);
    const looped = await page.waitForFunction(() => Number(document.documentElement.dataset.frames) > 80, null, { timeout: 15000 }).then(() => true, () => false);
    check(looped, `a 64-frame video file loops (${await frames(page)} frames)`);
    await page.click('#loop');
    const ended = await page.waitForFunction(() => /has ended/.test(document.getElementById('notice').textContent), null, { timeout: 10000 }).then(() => true, () => false);
    check(ended && (await dataset(page)).state === 'running', `Loop off: the file ends, the page says so and stays (${await text(page, 'notice')})`);
    // A still: processed once, and again when the operation changes.
    await page.goto(`${base}?source=/media/still.png&mode=gray`);
    await page.waitForFunction(() => Number(document.documentElement.dataset.frames) === 1);
    await page.waitForTimeout(300);
    const once = await frames(page);
    await page.keyboard.press('x');
    await page.waitForFunction(() => document.getElementById('panel').dataset.mode === 'sobel-x', null, { timeout: 5000 }).catch(() => {});
    const again = await dataset(page);
    check(once === 1 && again.frames === '2' && again.width === '200' && again.height === '150', `a PNG is a still: 1 frame, then 1 more when x is pressed (${once}, ${again.frames}; ${again.width}x${again.height})`);
    for (const [source, pattern] of [['/media/missing.webm', /missing\.webm was not found .*404/], ['/media/', /names no file/]]) {
      await page.goto(`${base}?source=${source}`);
      const state = await waitForState(page, ['error', 'done']);
      check(state.state === 'error' && pattern.test(state.error), `source=${source}: ${state.state}, "${state.error}"`);
    }
    // A .wasm that cannot be loaded is named, with what to do. The page kept offline would
    // serve its own copy: it is forgotten first.
    await page.evaluate(async () => { for (const r of await navigator.serviceWorker.getRegistrations()) await r.unregister(); });
    await page.route('**/pixelwell-simd.wasm', (route) => route.abort());
    await page.goto(`${base}?source=test`);
    const broken = await waitForState(page, ['error', 'running']);
    check(broken.state === 'error' && /pixelwell-simd\.wasm could not be loaded.*Serve the whole folder/.test(broken.error), `a .wasm that fails to load: "${broken.error}"`);
    await page.close();
    // record=1 on files: no loop; a still ends after its frame; frames over 1280 are scaled.
    // Both pipelines: a video file's frames and a still's come into the core differently.
    const png = execFileSync('/usr/bin/python3', ['-c', 'import sys; from PIL import Image; im = Image.open(sys.argv[1]).convert("RGB"); ' +
      'sys.stdout.buffer.write(im.transpose(Image.FLIP_TOP_BOTTOM).tobytes("raw", "BGR"))', path.join(h.media, 'still.png')]);
    for (const pipeline of ['worker', 'main']) await (pipeline === 'main' ? (f) => h.timed('pipeline=main', f) : (f) => f())(async () => {
      const extra = pipeline === 'main' ? '&pipeline=main' : '';
      const clip = await recordRun(context, `${base}?source=/media/clip.webm&record=1&mode=sobel-x${extra}`, `file-clip-${pipeline}`);
      check(clip.state.ended === 'source-ended' && Number(clip.state.frames) >= 30 && Number(clip.state.frames) <= 64 && clip.state.pipeline === pipeline &&
            rawFrames(clip.dir, 320, 240) === Number(clip.state.frames), `record=1 on a file (${pipeline}): no loop, ${clip.state.frames} frames recorded, ended ${clip.state.ended}${clip.state.error ? ` ("${clip.state.error}")` : ''}`);
      reproduces(clip.state, clip.dir, `a file recorded (${pipeline})`);
      const still = await recordRun(context, `${base}?source=/media/still.png&record=1&mode=binarize${extra}`, `file-still-${pipeline}`);
      check(still.state.ended === 'source-ended' && fs.readFileSync(path.join(still.dir, 'recording.raw')).equals(png),
        `record=1 on a PNG (${pipeline}): one frame, the picture's own pixels (ended ${still.state.ended}, ${still.state.frames} frame)`);
      reproduces(still.state, still.dir, `a still recorded (${pipeline})`);
    });
    const photo = await recordRun(context, `${base}?source=/media/photo.jpg&record=1`, 'file-photo');
    check(photo.state.width === '300' && rawFrames(photo.dir, 300, 200) === 1, `record=1 on a JPEG: one 300x200 frame (${photo.state.width}x${photo.state.height})`);
    // The short clip may end before a poll sees its notices: every notice and room figure the page
    // shows is kept as it appears.
    const keepNotices = () => {
      window.seenNotices = { notice: '', room: 0 };
      new MutationObserver(() => {
        const notice = document.getElementById('notice');
        if (notice && notice.textContent && !window.seenNotices.notice.includes(notice.textContent))
          window.seenNotices.notice += `${notice.textContent}\n`;
        const room = Number(document.documentElement.dataset.recordRoom);
        if (room > 0) window.seenNotices.room = room;
      }).observe(document, { subtree: true, childList: true, characterData: true, attributes: true });
    };
    const big = await recordRun(context, `${base}?source=/media/big.webm&record=1`, 'file-big', async (page) => {
      await waitForState(page, ['done', 'error'], 120000);
      return page.evaluate(() => window.seenNotices);
    }, keepNotices);
    check(big.state.ended === 'source-ended' && big.state.width === '1280' && big.state.height === '720' && big.state.scaledFrom === '1920x1080' &&
          rawFrames(big.dir, 1280, 720) === Number(big.state.frames) && Number(big.state.frames) >= 1,
      `record=1 on a 1920x1080 file: ${big.state.frames} frames scaled to ${big.state.width}x${big.state.height}, recorded`);
    check(/scaled down to 1280x720/.test(big.seen.notice) && /nears its limit: room for about \d+ more frames/.test(big.seen.notice) && Number(big.seen.room) > 0,
      `the notices: scaled, and the room left as the 1 GiB limit nears (${big.seen.room} frames; "${big.seen.notice.replace(/\n/g, ' | ')}")`);
    reproduces(big.state, big.dir, 'a scaled file recorded');
  }

  // A download that breaks off: the stall ends the run, which says why and saves.
  async function brokenDownload(context, base) {
    const { server, url } = await cuttingServer(base, h.media);
    try {
      const run = await recordRun(context, `${url}?source=/media/cut.webm&record=1&mode=gray`, 'cut');
      check(run.state.state === 'done' && run.state.ended === 'source-lost' && /cut\.webm has delivered no frame for 5 s|cannot decode cut\.webm/.test(run.state.error || '') &&
            Number(run.state.frames) > 0 && rawFrames(run.dir, 320, 240) === Number(run.state.frames),
        `a download broken off: ended ${run.state.ended} after ${run.state.frames} frames, saved ("${run.state.error}")`);
      if (Number(run.state.frames) > 0) reproduces(run.state, run.dir, 'the broken download');
    } finally {
      server.close();
    }
  }

  // The storage quota: the Record button stops and hands over; record=1 ends at it, frames kept exact.
  async function quota(context, base) {
    // The quota holds while the DevTools session that set it is open: one for each page.
    const limitedPage = async () => {
      const page = await context.newPage();
      const cdp = await context.newCDPSession(page);
      await cdp.send('Storage.overrideQuotaForOrigin', { origin: new URL(base).origin, quotaSize: 6 << 20 });
      const downloads = {};
      page.on('download', (d) => { downloads[d.suggestedFilename()] = d; });
      return { page, downloads };
    };
    let { page, downloads } = await limitedPage();
    await page.goto(`${base}?source=test&size=160x120&mode=median3`);
    await page.waitForFunction(() => Number(document.documentElement.dataset.frames) >= 3);
    await page.click('#record');
    const command = await page.evaluate(() => document.documentElement.dataset.filterCommand);
    const stopped = await page.waitForFunction(() => /storage for recordings .* is full/.test(document.getElementById('notice').textContent), null, { timeout: 30000 }).then(() => true, () => false);
    let dir = await h.saveDownloads(page, downloads, 'quota-button');
    const before = await frames(page);
    await page.waitForFunction((b) => Number(document.documentElement.dataset.frames) > b + 3, before, { timeout: 5000 }).catch(() => {});
    const after = await dataset(page);
    const button = await page.evaluate(() => document.getElementById('record').textContent);
    const kept = fs.existsSync(path.join(dir, 'recording.raw')) ? rawFrames(dir, 160, 120) : 0;
    check(stopped && after.state === 'running' && Number(after.frames) > before && /Record/.test(button) && kept >= 30,
      `Record at the storage quota: stopped and handed over (${kept} frames), the page goes on (${after.state}, frames ${before} then ${after.frames})`);
    if (kept) reproduces({ filterCommand: command }, dir, 'a recording stopped by the quota');
    await page.close();
    ({ page, downloads } = await limitedPage());
    await page.goto(`${base}?source=test&size=160x120&record=1&mode=sobel-y`);
    const state = await waitForState(page, ['done', 'error'], 60000);
    dir = await h.saveDownloads(page, downloads, 'quota-url');
    await page.close();
    const held = fs.existsSync(path.join(dir, 'recording.raw')) ? rawFrames(dir, 160, 120) : 0;
    check(state.ended === 'record-limit' && held === Number(state.frames) && held >= 30 && /storage .* is full after \d+ frames/.test(state.error),
      `record=1 at the storage quota: ended ${state.ended}, ${state.frames} frames processed and ${held} recorded ("${state.error}")`);
    if (held) reproduces(state, dir, 'record=1 at the quota');
  }

  // The default fake camera, which gives any size asked: 1920x1080 is scaled; camera=0.5.
  async function bigCamera(context, base) {
    const run = await recordRun(context, `${base}?source=camera&size=1920x1080&frames=12&record=1`, 'camera-big');
    check(run.state.ended === 'frames' && run.state.width === '1280' && run.state.height === '720' && rawFrames(run.dir, 1280, 720) === 12,
      `camera at 1920x1080, frames=12: ends, 12 frames at ${run.state.width}x${run.state.height} recorded (ended ${run.state.ended})`);
    const page = await context.newPage();
    await page.goto(`${base}?source=camera&camera=0.5`);
    await h.expectMessage(page, 'There is no camera 0\\.5 \\(there is 1 camera', 'camera=0.5');
    await page.close();
  }

  return { makeMedia, hiddenTab, recordFromView, sizes, files, brokenDownload, quota, bigCamera };
};
