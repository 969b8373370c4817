// The page on the devices of a classroom: kept offline (the server stopped, then a rebuilt
// site on the same port taking over at the next load), a phone's narrow portrait screen with
// touch (swipes and taps), the full screen of a projector, and the front/back camera choice.
// Used by browser.test.js, which passes its helpers (h); whatever these start, they stop.
const { spawn, execFileSync } = require('child_process');
const fs = require('fs');
const net = require('net');
const path = require('path');

const kServe = path.join(__dirname, '..', 'serve.py');
const kFinish = path.join(__dirname, '..', 'finish_site.py');

function freePort() {
  return new Promise((resolve) => {
    const probe = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

// serve.py on a folder and a port; resolves to a stop function once the URL is printed.
function serveSite(site, port) {
  const server = spawn('python3', [kServe, '--site', site, '--port', String(port)], { stdio: ['ignore', 'pipe', 'inherit'] });
  const stop = () => new Promise((done) => {
    if (server.exitCode !== null) return done();
    server.once('exit', () => done());
    server.kill('SIGTERM');
  });
  return new Promise((resolve, reject) => {
    server.stdout.on('data', (d) => { if (String(d).startsWith('http://')) resolve(stop); });
    server.once('exit', (code) => reject(new Error(`serve.py ended (status ${code}) before serving ${site}`)));
  });
}

// A copy of the built site; changed: a rebuilt one whose files, and so whose version, differ.
function copySite(site, to, changed) {
  fs.cpSync(site, to, { recursive: true });
  if (changed) fs.appendFileSync(path.join(to, 'pixelwell.css'), '\n/* rebuilt */\n');
  return execFileSync('/usr/bin/python3', [kFinish, to]).toString().trim();
}

module.exports = (h) => {
  const { check, work, toStop } = h;
  const running = (page, more = 3) => page.waitForFunction((n) => document.documentElement.dataset.state === 'running' &&
    Number(document.documentElement.dataset.frames) > n, more, { timeout: 20000 }).then(() => true, () => false);
  const dataset = (page) => page.evaluate(() => ({ ...document.documentElement.dataset }));

  // Loaded once; the server stopped, another URL of the same origin runs on the test picture
  // and the camera; a rebuilt site on the same port is fetched in the background, said, and
  // runs from the next load.
  async function offline(context, site) {
    const port = await freePort();
    const first = copySite(site, path.join(work, 'site-first'), false);
    const rebuilt = copySite(site, path.join(work, 'site-rebuilt'), true);
    const base = `http://127.0.0.1:${port}/`;
    let stop = await serveSite(path.join(work, 'site-first'), port);
    const stopNow = () => stop();
    toStop.push(stopNow);
    const page = await context.newPage();
    await page.goto(`${base}?source=test&size=160x120`);
    const kept = await page.waitForFunction(() => document.documentElement.dataset.offline, null, { timeout: 30000 }).then(() => true, () => false);
    check(kept && (await dataset(page)).offline === first, `offline: the first load keeps version ${first} (${(await dataset(page)).offline})`);
    // Installable, as the browser itself judges it: the manifest, its icons and the worker.
    const cdp = await context.newCDPSession(page);
    const manifest = await cdp.send('Page.getAppManifest').catch((error) => ({ errors: [{ message: error.message }] }));
    const installability = await cdp.send('Page.getInstallabilityErrors').catch((error) => ({ installabilityErrors: [{ errorId: error.message }] }));
    const problems = [...(manifest.errors || []).map((e) => e.message), ...installability.installabilityErrors.map((e) => e.errorId)];
    check(problems.length === 0 && /"name": "Pixelwell"/.test(manifest.data || ''), `installable: the browser finds no fault in the manifest or the page (${problems.join('; ') || 'none'})`);
    await cdp.detach();
    await stop();
    const picture = `${base}index.html?source=test&size=200x150&mode=gray`;
    await page.goto(picture);
    const pictureRuns = await running(page);
    const onPicture = await dataset(page);
    await page.goto(`${base}?source=camera&mode=invert`);
    const cameraRuns = await running(page);
    const onCamera = await dataset(page);
    check(pictureRuns && onPicture.width === '200' && onPicture.offline === first && cameraRuns && onCamera.width === '320',
      `offline: with the server stopped, ${picture} runs (${onPicture.state}, ${onPicture.frames} frames of ${onPicture.width}x${onPicture.height}) ` +
      `and so does the camera (${onCamera.state}, ${onCamera.frames} frames of ${onCamera.width}x${onCamera.height}${onCamera.error ? ', ' + onCamera.error : ''})`);
    stop = await serveSite(path.join(work, 'site-rebuilt'), port);
    await page.goto(`${base}?source=test&size=160x120`);
    const fetched = await page.waitForFunction(() => document.documentElement.dataset.update, null, { timeout: 30000 }).then(() => true, () => false);
    const during = await dataset(page);
    const notice = await page.evaluate(() => document.getElementById('notice').textContent);
    check(fetched && during.update === rebuilt && during.offline === first && /new version .* next load/.test(notice),
      `a rebuilt site (${rebuilt}) is fetched in the background while ${during.offline} runs, and the page says so ("${notice.split('\n').pop()}")`);
    await page.goto(`${base}?source=test&size=160x120`);
    await running(page, 1);
    await page.waitForFunction(() => document.documentElement.dataset.offline, null, { timeout: 10000 }).catch(() => {});
    const next = await dataset(page);
    const css = await page.evaluate(() => fetch('pixelwell.css').then((r) => r.text()));
    check(next.offline === rebuilt && css.includes('rebuilt'), `the next load runs the rebuilt site (${next.offline})`);
    await page.close();
    await stop();
    toStop.splice(toStop.indexOf(stopNow), 1);
  }

  // A finger across the views, as CDP's touch events make it.
  async function swipe(page, cdp, from, to) {
    const point = (p) => [{ x: p.x, y: p.y, id: 1 }];
    await cdp.send('Input.dispatchTouchEvent', { type: 'touchStart', touchPoints: point(from) });
    for (let k = 1; k <= 5; ++k)
      await cdp.send('Input.dispatchTouchEvent', { type: 'touchMove', touchPoints: point({ x: from.x + (to.x - from.x) * k / 5, y: from.y + (to.y - from.y) * k / 5 }) });
    await cdp.send('Input.dispatchTouchEvent', { type: 'touchEnd', touchPoints: [] });
  }

  // Phones: no horizontal scroll, the views stacked, the panel below; a swipe steps, a tap freezes.
  async function phone(context, base, size) {
    const page = await context.newPage();
    await page.setViewportSize(size);
    await page.goto(`${base}?source=test&mode=gray`);
    await running(page);
    const layout = await page.evaluate(() => {
      const box = (id) => document.getElementById(id).getBoundingClientRect().toJSON();
      return { scroll: document.scrollingElement.scrollWidth, inner: innerWidth, source: box('source-view'), result: box('result-view'), panel: box('panel') };
    });
    const what = `${size.width}x${size.height}`;
    check(layout.scroll <= layout.inner && layout.result.right <= layout.inner, `${what}: no horizontal scroll (${layout.scroll} wide in ${layout.inner})`);
    check(layout.source.bottom <= layout.result.top && layout.panel.top >= layout.result.bottom && layout.result.width >= size.width - 24,
      `${what}: the views stacked (${Math.round(layout.source.top)}-${Math.round(layout.source.bottom)}, ${Math.round(layout.result.top)}-${Math.round(layout.result.bottom)}, ${Math.round(layout.result.width)} wide), the panel below (from ${Math.round(layout.panel.top)})`);
    await page.screenshot({ path: path.join(work, `phone-${what}.png`), fullPage: true });
    const cdp = await context.newCDPSession(page);
    const r = layout.result, y = r.top + r.height / 2;
    const mode = () => page.evaluate(() => { const m = document.getElementById('mode'); return `${m.selectedIndex} ${m.selectedOptions[0].textContent}`; });
    const before = await mode();
    await page.evaluate((t) => window.scrollTo(0, t - 100), r.top);
    const top = await page.evaluate(() => window.scrollY);
    await swipe(page, cdp, { x: r.left + r.width * 0.8, y: y - top }, { x: r.left + r.width * 0.2, y: y - top });
    const next = await mode();
    await swipe(page, cdp, { x: r.left + r.width * 0.2, y: y - top }, { x: r.left + r.width * 0.8, y: y - top });
    const back = await mode();
    check(/gray/.test(before) && parseInt(next, 10) === parseInt(before, 10) + 1 && back === before, `${what}: a swipe to the left steps to the next operation, to the right back ("${before}", "${next}", "${back}")`);
    await page.touchscreen.tap(r.left + r.width / 2, y - top);
    const frozen = (await dataset(page)).frozen;
    await page.touchscreen.tap(r.left + r.width / 2, y - top);
    const going = (await dataset(page)).frozen;
    check(frozen === '1' && going === '0', `${what}: a tap on the views freezes, another goes on (${frozen}, ${going})`);
    await page.close();
  }

  // w shows the processed view full screen with its label in large type; Escape leaves it.
  async function fullscreen(context, base) {
    const page = await context.newPage();
    await page.setViewportSize({ width: 1280, height: 720 });
    await page.goto(`${base}?source=test&mode=sobel-x`);
    await running(page);
    await page.keyboard.press('w');
    const on = await page.evaluate(() => {
      const view = document.getElementById('result-view').getBoundingClientRect();
      return { flag: document.documentElement.dataset.fullscreen, width: view.width, height: view.height,
               type: parseFloat(getComputedStyle(document.getElementById('result-title')).fontSize), title: document.getElementById('result-title').textContent };
    });
    await page.screenshot({ path: path.join(work, 'fullscreen.png') });
    await page.keyboard.press('Escape');
    const off = (await dataset(page)).fullscreen;
    await page.click('#fullscreen');
    const button = (await dataset(page)).fullscreen;
    await page.keyboard.press('Escape');
    const f = await page.evaluate(() => [document.documentElement.dataset.fullscreen, document.getElementById('mode').value]);
    await page.keyboard.press('f');
    const frameDiff = await page.evaluate(() => document.getElementById('mode').value);
    check(on.flag === '1' && (on.width >= 1270 || on.height >= 600) && on.type >= 24 && /sobel-x/.test(on.title) && off === '0' && button === '1' && f[0] === '0' && frameDiff === '1406',
      `full screen: w enters (${on.flag}, the view ${Math.round(on.width)}x${Math.round(on.height)}, its label "${on.title}" in ${on.type}px), Escape leaves (${off}); the button too (${button}); f stays frame-diff (${frameDiff})`);
    await page.close();
  }

  // The front/back choice where a device has both (the fake camera faces no way: the devices
  // and their facings are the test's), and the choice passed on to getUserMedia.
  async function facing(context, base) {
    const page = await context.newPage();
    await page.addInitScript(() => {
      const media = navigator.mediaDevices;
      const enumerate = media.enumerateDevices.bind(media), open = media.getUserMedia.bind(media);
      media.enumerateDevices = async () => {
        const real = (await enumerate()).find((d) => d.kind === 'videoinput');
        const faced = (id, way, label) => ({ deviceId: id, groupId: 'g', kind: 'videoinput', label, getCapabilities: () => ({ facingMode: [way] }), toJSON() { return this; } });
        return [faced(real ? real.deviceId : 'front', 'user', 'front camera'), faced('back', 'environment', 'back camera')];
      };
      media.getUserMedia = (constraints) => {
        const video = { ...constraints.video };
        window.askedFacing = video.facingMode ? video.facingMode.exact : null;
        delete video.facingMode;
        delete video.deviceId;
        return open({ ...constraints, video });
      };
    });
    await page.goto(`${base}?source=camera`);
    await running(page);
    const offered = await page.waitForFunction(() => !document.getElementById('facing-choice').hidden, null, { timeout: 5000 }).then(() => true, () => false);
    await page.selectOption('#facing', 'environment');
    await page.waitForFunction(() => window.askedFacing === 'environment', null, { timeout: 5000 }).catch(() => {});
    const asked = await page.evaluate(() => window.askedFacing);
    const goes = await running(page, Number((await dataset(page)).frames) + 3);
    check(offered && asked === 'environment' && goes, `front/back: offered where cameras face both ways (${offered}), back passed on as facingMode (${asked}), the camera runs (${goes})`);
    await page.close();
  }

  return { offline, phone, fullscreen, facing };
};
