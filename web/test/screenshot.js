// Takes docs/web.png: the page at work on Chromium's fake camera, which plays the moving test
// picture at 640x480, through the Sobel X filter.
// Usage: node web/test/screenshot.js OUT.png   (env PIXELWELL_CLIP; run from the project)
const { execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { serve, launchChromium } = require('./chromium');

const out = path.resolve(process.argv[2] || 'docs/web.png');
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'pixelwell-shot-'));
const clipFile = path.join(work, 'clip.y4m');
const frames = execFileSync(process.env.PIXELWELL_CLIP, ['--width', '640', '--height', '480', '--frames', '90', '--top-down'],
  { maxBuffer: 1 << 30 });
execFileSync('ffmpeg', ['-v', 'error', '-f', 'rawvideo', '-pix_fmt', 'bgr24', '-s', '640x480', '-framerate', '30', '-i', '-',
  '-pix_fmt', 'yuv420p', '-y', clipFile], { input: frames });

(async () => {
  const { server, url: served } = serve();
  let context;
  try {
    const url = await served;
    context = await launchChromium(path.join(work, 'profile'), {
      viewport: { width: 1330, height: 740 },
      extra: ['--use-fake-device-for-media-stream', `--use-file-for-fake-video-capture=${clipFile}`,
              '--use-fake-ui-for-media-stream'],
    });
    const page = await context.newPage();
    await page.goto(`${url}?source=camera&mode=sobel-x`);
    await page.waitForFunction(() => Number(document.documentElement.dataset.frames) > 45, null, { timeout: 60000 });
    await page.screenshot({ path: out });
    console.log(out);
  } finally {
    if (context) await context.close();
    server.kill('SIGTERM');
    fs.rmSync(work, { recursive: true, force: true });
  }
})();
