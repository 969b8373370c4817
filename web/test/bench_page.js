// The whole frame in headless Chromium, per mode at 640x480: from the fake camera (the moving
// test picture) to both views drawn, split into capture and conversion, processing, and drawing
// (the page's own means over a run). Prints JSON {mode: {capture, process, draw, dropped}}.
// Usage: node bench_page.js SITE_URL CLIP.y4m [FRAMES]
const { chromium } = require('playwright-core');
const fs = require('fs');
const os = require('os');
const path = require('path');

const [url, clipFile, framesText] = process.argv.slice(2);
const frames = Number(framesText || 90);

(async () => {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'pixelwell-bench-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium', headless: true, viewport: { width: 1400, height: 900 },
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync', '--use-fake-device-for-media-stream',
           `--use-file-for-fake-video-capture=${clipFile}`, '--use-fake-ui-for-media-stream'],
  });
  const result = {};
  try {
    const page = await context.newPage();
    await page.goto(`${url}?source=test`);
    await page.waitForFunction(() => document.documentElement.dataset.state === 'running');
    const modes = await page.evaluate(() => [...document.querySelectorAll('#mode option')].map((o) => o.textContent.split(' [')[0].split(' ').pop()));
    for (const mode of modes.slice(1)) {
      await page.goto(`${url}?source=camera&mode=${mode}&frames=${frames}`);
      await page.waitForFunction(() => ['done', 'error'].includes(document.documentElement.dataset.state), null, { timeout: 60000 });
      const d = await page.evaluate(() => ({ ...document.documentElement.dataset }));
      result[mode] = { capture: Number(d.msCapture), process: Number(d.msProcess), draw: Number(d.msDraw),
                       dropped: Number(d.dropped), size: `${d.width}x${d.height}`, build: d.build };
      process.stderr.write(`${mode}: ${JSON.stringify(result[mode])}\n`);
    }
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
  console.log(JSON.stringify(result));
})().catch((e) => { console.error(e); process.exit(1); });
