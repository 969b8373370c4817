// Pixelwell in the browser: frames from a camera, a video file, a picture or the test picture
// go through the core (WebAssembly, built from the same sources as the program, in a worker
// where the browser allows) and both views are drawn. This module wires the others together:
// the URL, the pipeline and its core, the controls, the sources and the run.
import { readConfig, parseSize } from './config.js';
import { loadCore, chooseBuild, CoreInfo } from './core.js';
import { workerPossible, WorkerPipeline, MainPipeline } from './pipeline.js';
import * as state from './state.js';
import { Controls } from './controls.js';
import { Views } from './views.js';
import { Panel } from './panel.js';
import { KernelView } from './kernel_view.js';
import { Run } from './run.js';
import { snapshot } from './chart.js';
import { testSource, mediaSource, chosenFileSource, kAcceptedFiles } from './sources.js';
import { openCamera } from './camera.js';
import { removeStaleRecordings } from './recording.js';
import { Display } from './display.js';
import { keepOffline } from './offline.js';
import { buildGrid, showView } from './grid.js';

const $ = (id) => document.getElementById(id);

function failPage(text) {
  $('error').textContent = text;
  state.setError(text);
  state.setState('error');
}

async function main() {
  if (location.protocol === 'file:') return;  // index.html says how to serve the page
  const config = readConfig(location.search);
  let core, pipeline, note, run = null;
  const events = (name, data) => { if (name === 'full' && run) run.storageFull(data.frames); };
  try {
    if (config.pipeline === 'worker' && workerPossible()) {
      const chosen = chooseBuild(config.scalar);
      note = chosen.note;
      pipeline = new WorkerPipeline(events);
      core = new CoreInfo(await pipeline.start(chosen.build));
    } else {
      ({ core, note } = await loadCore(config.scalar));
      pipeline = new MainPipeline(core, events);
    }
  } catch (error) {
    failPage(error.message || String(error));
    return;
  }
  state.setPipeline(pipeline.kind);
  state.setView('single');
  window.pixelwellView = (which) => pipeline.call('pixels', which);  // what a view shows, for tests
  state.setBuild(core.build, core.version);
  $('version').textContent = `Pixelwell ${core.version}`;
  $('source-title').textContent = core.texts.control;
  const ui = new Controls(core);
  if (note) ui.note('build', note);
  keepOffline((text) => ui.note('update', text));
  if (config.errors.length) { ui.fail(config.errors.join('\n')); return; }
  // The grid's cells, whose canvases go where the core runs; a click shows one operation alone.
  buildGrid(core, (mode) => run && run.choose(mode));
  await pipeline.adoptCells();
  showView('single');
  if (config.gridAsked && config.modes.length) ui.note('view', 'view=grid runs every operation at once: the mode= schedule is not used.');

  // A schedule the filter would refuse is refused with the filter's reason; the run goes on.
  // kernel= and divisor= as the filter's --kernel and --divisor; without mode= they choose the
  // kernel mode, as --kernel alone does.
  let scheduleOk = true;
  pipeline.call('scheduleClear');
  const kernelAsked = config.kernel !== null || config.divisor !== null;
  const schedule = [...config.modes.map((text) => ['mode', text]), ...(kernelAsked && !config.modes.length ? [['mode', 'kernel']] : []),
    ...(config.kernel !== null ? [['kernel', config.kernel]] : []), ...(config.divisor !== null ? [['divisor', config.divisor]] : [])];
  for (const [what, text] of schedule) {
    const reason = await pipeline.call('scheduleAdd', text, what);
    if (reason) {
      ui.error(`${what}=${text}: ${reason}. The run goes on in the default mode, ${core.modeName(core.none)}.`);
      pipeline.call('scheduleClear');
      scheduleOk = false;
      break;
    }
  }

  const views = new Views();
  run = new Run({ core, pipeline, views, ui, panel: null });
  window.pixelwellSamples = () => views.samples;  // each frame's times, for scripts/bench-web
  if (config.gridAsked) run.setView('grid');
  const panel = new Panel(core, run);
  run.panel = panel;
  run.kernelNow = await pipeline.call('kernel');
  run.kernelView = new KernelView(core, run, pipeline);
  ui.onMode = (mode) => run.kernelView.modeShown(mode);
  let loop = config.loop;

  // --- sources -----------------------------------------------------------------------------------
  let opening = 0;  // a source chosen later wins over one still opening
  let kind = '';    // the kind of source last chosen: camera, test or file
  const requested = () => parseSize($('size').value) || { width: 640, height: 480 };
  const openTest = (reason) => {
    kind = 'test';
    $('source').value = 'test';
    ui.note('source', reason || '');
    const size = requested();
    const source = testSource(size.width, size.height, run.sinkFor(() => source, false));
    run.use(source);
  };
  const openCam = async (deviceId, atStart, facing) => {
    kind = 'camera';
    $('source').value = 'camera';
    const mine = ++opening;
    run.stopSource();
    let source = null;
    const opened = await openCamera({ deviceId, facing, index: atStart ? config.camera : null, size: requested(),
                                      noDevice: core.texts.noDevice }, run.sinkFor(() => source, atStart));
    if (mine !== opening) { if (opened.source) opened.source.stop(); return; }
    if (opened.fallback) { openTest(opened.fallback); return; }
    source = opened.source;
    ui.note('source', '');
    run.use(source);
  };
  const openMedia = async (path, atStart) => {
    kind = 'file';
    $('source').value = 'file';
    const mine = ++opening;
    run.stopSource();
    let source = null;
    try {
      source = await mediaSource(path, loop, run.sinkFor(() => source, atStart));
    } catch (error) {
      if (mine === opening) run.failed(error.message, atStart);
      return;
    }
    if (mine !== opening) return;
    run.use(source);
  };

  // --- controls ----------------------------------------------------------------------------------
  ui.buildMenu((mode) => run.choose(mode));
  const display = new Display({ step: (delta) => ui.step(run, delta), freeze: () => run.toggleFreeze() });
  state.setFullscreen(false);
  ui.wireKeys(run, display);
  $('previous').addEventListener('click', () => ui.step(run, -1));
  $('next').addEventListener('click', () => ui.step(run, 1));
  $('fullscreen').addEventListener('click', () => display.toggle());
  $('grid-button').addEventListener('click', () => run.toggleView());
  ui.setTextSize(config.textSize);
  ui.showLoop(loop);
  if (config.size) ui.showSize(`${config.size.width}x${config.size.height}`);
  $('file').accept = kAcceptedFiles;
  $('source').addEventListener('change', () => {
    const chosen = $('source').value;
    run.renew();
    ui.clearError();
    ui.note('source', '');
    if (chosen === 'camera') openCam($('camera').value || undefined, false);
    else if (chosen === 'test') { ++opening; openTest(''); }
    else $('file').click();
  });
  $('camera').addEventListener('change', () => { run.renew(); ui.clearError(); openCam($('camera').value, false); });
  $('facing').addEventListener('change', () => { run.renew(); ui.clearError(); openCam(undefined, false, $('facing').value); });
  $('size').addEventListener('change', () => {
    run.renew();
    if (kind === 'camera') openCam($('camera').value || undefined, false);
    else if (kind === 'test') { ++opening; openTest(''); }
  });
  $('file').addEventListener('change', () => {
    const file = $('file').files[0];
    if (!file) return;
    ++opening;
    kind = 'file';
    run.renew();
    ui.clearError();
    ui.note('source', '');
    const source = chosenFileSource(file, loop, run.sinkFor(() => source, false));
    run.use(source);
  });
  $('loop').addEventListener('click', () => {
    loop = !loop;
    ui.showLoop(loop);
    if (run.source && run.source.setLoop) run.source.setLoop(loop);
  });
  $('text-size').addEventListener('change', () => ui.setTextSize($('text-size').value));
  $('record').addEventListener('click', () => (run.recording ? run.stopRecording('button') : run.startRecording()));
  $('freeze').addEventListener('click', () => run.toggleFreeze());
  $('step').addEventListener('click', () => run.step());
  $('snapshot').addEventListener('click', async () => {
    panel.refresh(true);
    ui.note('info', `Saved ${(await snapshot(await pipeline.call('snapshot'))).join(', ')}`);
  });
  // A button keeps no focus, so that Space and Enter stay the page's keys.
  for (const button of document.querySelectorAll('button')) button.addEventListener('click', () => button.blur());
  setInterval(() => panel.refresh(false), 250);

  // --- the URL's run -------------------------------------------------------------------------------
  run.start(config, scheduleOk && !config.gridAsked);
  ui.syncMenu(run.mode);
  removeStaleRecordings().catch(() => {});
  if (config.source === 'test') openTest('');
  else if (config.source === 'camera') await openCam(undefined, true);
  else await openMedia(config.media, true);
}

main();
