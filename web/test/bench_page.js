// The whole frame in headless Chromium, per mode at 640x480 from the fake camera (the moving
// test picture), on the worker pipeline and on pipeline=main in turn, mode by mode: the medians
// of capture and conversion, processing, drawing and the whole frame over FRAMES frames (the
// page's own per-frame times, after a few to warm up). Then, with CLIP720 given, 60 s of the
// camera at 1280x720 on the worker pipeline: frames processed and dropped.
// Prints JSON {modes: {mode: {worker: {...}, main: {...}}}, hd: {...}}.
// Usage: node bench_page.js SITE_URL CLIP.y4m [FRAMES] [CLIP720.y4m]
const { chromium } = require('playwright-core');
const fs = require('fs');
const os = require('os');
const path = require('path');

const [url, clipFile, framesText, hdClip] = process.argv.slice(2);
const frames = Number(framesText || 300);
const kWarmUp = 30;

const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  const m = sorted.length >> 1;
  return sorted.length % 2 ? sorted[m] : (sorted[m - 1] + sorted[m]) / 2;
};

async function browser(clip) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'pixelwell-bench-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium', headless: true, viewport: { width: 1400, height: 900 },
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync', '--use-fake-device-for-media-stream',
           `--use-file-for-fake-video-capture=${clip}`, '--use-fake-ui-for-media-stream'],
  });
  return { context, close: async () => { await context.close(); fs.rmSync(profile, { recursive: true, force: true }); } };
}

async function measure(page, mode, pipeline) {
  await page.goto(`${url}?source=camera&mode=${mode}&frames=${frames + kWarmUp}${pipeline === 'main' ? '&pipeline=main' : ''}`);
  await page.waitForFunction(() => ['done', 'error'].includes(document.documentElement.dataset.state), null, { timeout: 120000 });
  const d = await page.evaluate(() => ({ ...document.documentElement.dataset, samples: window.pixelwellSamples() }));
  const kept = d.samples.slice(kWarmUp);
  return {
    capture: median(kept.map((s) => s[0])), process: median(kept.map((s) => s[1])), draw: median(kept.map((s) => s[2])),
    whole: median(kept.map((s) => s[0] + s[1] + s[2])), frames: kept.length, dropped: Number(d.dropped),
    size: `${d.width}x${d.height}`, build: d.build, pipeline: d.pipeline,
  };
}

(async () => {
  const result = { modes: {} };
  let run = await browser(clipFile);
  try {
    const page = await run.context.newPage();
    await page.goto(`${url}?source=test`);
    await page.waitForFunction(() => document.documentElement.dataset.state === 'running');
    const modes = await page.evaluate(() => [...document.querySelectorAll('#mode option')].map((o) => o.textContent.split(' [')[0].split(' ').pop()));
    for (const mode of modes.slice(1)) {
      result.modes[mode] = {};
      for (const pipeline of ['worker', 'main']) result.modes[mode][pipeline] = await measure(page, mode, pipeline);
      process.stderr.write(`${mode}: ${JSON.stringify(result.modes[mode])}\n`);
    }
  } finally {
    await run.close();
  }
  if (hdClip) {
    run = await browser(hdClip);
    try {
      const page = await run.context.newPage();
      await page.goto(`${url}?source=camera&size=1280x720&mode=lowpass5`);
      await page.waitForFunction(() => Number(document.documentElement.dataset.frames) > 30, null, { timeout: 60000 });
      const start = await page.evaluate(() => ({ ...document.documentElement.dataset }));
      await page.waitForTimeout(60000);
      const end = await page.evaluate(() => ({ ...document.documentElement.dataset, samples: window.pixelwellSamples() }));
      const processed = Number(end.frames) - Number(start.frames), dropped = Number(end.dropped) - Number(start.dropped);
      const kept = end.samples.slice(-processed);
      result.hd = { mode: 'lowpass5', size: `${end.width}x${end.height}`, pipeline: end.pipeline, seconds: 60, processed, dropped,
                    whole: median(kept.map((s) => s[0] + s[1] + s[2])) };
      process.stderr.write(`1280x720: ${JSON.stringify(result.hd)}\n`);
    } finally {
      await run.close();
    }
  }
  console.log(JSON.stringify(result));
})().catch((e) => { console.error(e); process.exit(1); });
