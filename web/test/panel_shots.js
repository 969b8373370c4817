// Takes the teaching panel's pictures for docs/: the page on the moving test picture, frozen
// after some frames, with the panel beside both views, for a filter, the binarisation and an
// average.   Usage: node web/test/panel_shots.js DOCS_DIR   (run from the project)
const fs = require('fs');
const os = require('os');
const path = require('path');
const { serve, launchChromium } = require('./chromium');

const docs = path.resolve(process.argv[2] || 'docs');
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'pixelwell-panel-'));
const shots = [['teaching-filter.png', 'sobel-x'], ['teaching-binarize.png', 'binarize'], ['teaching-average.png', 'average4']];

(async () => {
  const { server, url: served } = serve();
  let context;
  try {
    const url = await served;
    context = await launchChromium(path.join(work, 'profile'), { viewport: { width: 1300, height: 900 } });
    const page = await context.newPage();
    for (const [file, mode] of shots) {
      await page.goto(`${url}?source=test&size=320x240&mode=${mode}`);
      await page.waitForFunction(() => Number(document.documentElement.dataset.frames) > 40, null, { timeout: 60000 });
      await page.keyboard.press(' ');
      await page.waitForFunction(() => document.getElementById('panel').dataset.frame === document.documentElement.dataset.frames);
      // The page fills the window; the picture holds only what the views and the panel need.
      await page.addStyleTag({ content: 'body { height: auto; } #panel { overflow: visible; }' });
      await page.locator('main').screenshot({ path: path.join(docs, file) });
      console.log(path.join(docs, file));
    }
  } finally {
    if (context) await context.close();
    server.kill('SIGTERM');
    fs.rmSync(work, { recursive: true, force: true });
  }
})();
