// A frame's way through the core, wherever the core runs (in the page's worker, or on its main
// thread where the browser lacks what the worker needs): the frame read once into the module's
// memory at the size the core processes, processed, both views drawn, and the recording kept.
// Every call takes and returns plain data (frames, blobs, numbers), so that the worker can
// answer it by message as well as the main thread in place. In the grid, every operation's core
// processes the frame at the cells' size and each cell's canvas shows its core.
import { Recorder } from './recording.js';
import { gridMethods } from './grid_processor.js';

function makeCanvas() {
  return typeof document !== 'undefined' ? document.createElement('canvas') : new OffscreenCanvas(1, 1);
}

function fit(canvas, w, h) {
  if (canvas.width !== w) canvas.width = w;
  if (canvas.height !== h) canvas.height = h;
}

function blobOf(canvas) {
  if (canvas.convertToBlob) return canvas.convertToBlob({ type: 'image/png' });
  return new Promise((resolve) => canvas.toBlob(resolve, 'image/png'));
}

export class Processor {
  /**
   * core: a Core; source, result: the views' canvases (HTML or offscreen); events(name, data).
   * direct: the core's result is copied out only as the view needs it, in the module's SIMD
   * pass, and for the recording only while it records (the worker's way), not both on every
   * frame (the main thread's, as the page always did).
   */
  constructor(core, source, result, events, direct = false) {
    this.core = core;
    this.direct = direct;
    this.source = source;
    this.result = result;
    // Opaque, as every pixel drawn is: the browser then keeps no alpha to multiply.
    this.sourceContext = source.getContext('2d', { colorSpace: 'srgb', alpha: !direct });
    this.resultContext = result.getContext('2d', { colorSpace: 'srgb', alpha: !direct });
    this.grab = makeCanvas();
    this.grabContext = this.grab.getContext('2d', { willReadFrequently: true, colorSpace: 'srgb', alpha: false });
    this.events = events;
    this.recorder = null;
    this.cells = [];    // the grid's canvases and their contexts (adoptCells)
    this.grid = false;  // the grid runs: frames go through every cell's core
    this.stage = 'result';  // what the result view shows of its frames
  }

  resize(width, height) {
    if (this.grid) return;  // the cells' size is the grid's (gridStart)
    this.core.setSize(width, height);
    fit(this.source, width, height);
    fit(this.result, width, height);
  }
  /** The size a frame of width x height is processed at in the single view. */
  fit(width, height) { return this.core.fitFrame(width, height); }
  select(mode) { this.core.select(mode); }
  reset() { if (this.grid) this.core.gridReset(); else this.core.reset(); }
  scheduleClear() { this.core.scheduleClear(); }
  scheduleAdd(text, what) { return this.core.scheduleAdd(text, what); }
  /** The modes scheduled before this frame, chosen now; and the mode they leave. */
  scheduleApply(frame) { return { modes: this.core.scheduleApply(frame), mode: this.core.mode(), kernel: this.core.kernel() }; }

  // --- the kernel mode's kernel, the stage the result view shows, the inspector -----------------
  /** The kernel from the next frame on (Core.setKernel's answer). */
  setKernel(rows, divisor) { return this.core.setKernel(rows, divisor); }
  kernel() { return this.core.kernel(); }
  sumDivisor() { return this.core.sumDivisor(); }
  /** The result view shows this stage of its frames (result, gray, values or levels), from now. */
  showStage(stage) { this.stage = stage; return this.core.width && !this.grid ? this.drawResult() : null; }
  /** The result view from the frame shown: its stage where the frame has it, else the result.
   *  Returns { stage } as drawn, with the values' range and largest magnitude. */
  drawResult() {
    const core = this.core;
    if (this.stage && this.stage !== 'result') {
      const made = core.stage(this.stage);
      if (made) {
        this.resultContext.putImageData(made.image, 0, 0);
        return { stage: this.stage, min: made.min, max: made.max, largest: made.largest, filtered: made.filtered };
      }
    }
    if (this.direct) core.resultToRgba();
    this.resultContext.putImageData(core.resultImage(), 0, 0);
    return { stage: 'result' };
  }
  inspect(x, y) { return this.core.width && !this.grid ? this.core.inspect(x, y) : null; }

  /**
   * One frame: input is {test: n}, {frame: VideoFrame} or {image: a canvas image source}, with
   * its width and height. options: schedule (the frame's number in the URL's schedule, or -1),
   * automated (a run that ends at the recording's limit). Returns what the page counts.
   */
  async frame(input, { schedule, automated }) {
    try {
      const core = this.core;
      let recordFull = null;
      const pair = core.width * core.height * (this.grid ? 3 + 4 * this.cells.length : 7);  // a frame and its results
      if (this.recorder && !this.recorder.closed && !this.recorder.fits(pair)) {
        const refused = { full: this.recorder.full, frames: this.recorder.frames };
        if (automated) return { processed: false, refused };
        this.recorder.closed = true;  // the page stops the recording: this frame is not in it
        recordFull = refused;
      }
      const applied = schedule >= 0 ? core.scheduleApply(schedule) : [];
      const started = performance.now();
      const view = await this.read(input);
      const captured = performance.now();
      let processed, shown = null;
      if (this.grid) {
        core.gridProcess();
        processed = performance.now();
        this.drawCells();
      } else {
        if (this.direct) core.processOnly(); else core.process();
        processed = performance.now();
        if (!view) this.sourceContext.drawImage(input.frame, 0, 0, core.width, core.height);
        else this.sourceContext.putImageData(view, 0, 0);
        shown = this.drawResult();
      }
      const drawn = performance.now();
      const recorder = this.recorder && !this.recorder.closed ? this.recorder : null;
      if (recorder) {
        if (this.grid) recorder.add([core.frameBytes(), ...core.gridResults()]);
        else {
          // Read anew: a stage shown (or the worker's way) leaves no result there.
          core.readResult();
          recorder.add([core.frameBytes(), core.resultBytes()]);
        }
      }
      return { processed: true, times: { started, captured, processed, drawn }, applied, mode: core.mode(), recordFull, shown,
               kernel: applied.length ? core.kernel() : null,
               recorded: recorder ? recorder.frames : 0, room: recorder ? recorder.roomFrames() : Infinity };
    } finally {
      if (input.frame) input.frame.close();
    }
  }

  // The input into the core's frame; returns the source view's picture (null: draw the frame).
  async read(input) {
    const core = this.core, w = core.width, h = core.height;
    if (input.test !== undefined) return core.testPicture(input.test);
    const frame = input.frame;
    if (frame && frame.displayWidth === w && frame.displayHeight === h && frame.visibleRect &&
        frame.visibleRect.width === w && frame.visibleRect.height === h) {
      // A camera's usual I420 is copied as it is and converted by the module in one pass.
      if (await core.putI420(frame)) return core.pixelImage();
      // Other frames are copied once, converted by the browser to the 32-bit order it gives at
      // no cost, straight into the module's memory; the module then lays it out for the core.
      const bgra = frame.format === 'BGRA' || frame.format === 'BGRX';
      const format = bgra ? 'BGRA' : 'RGBA';
      if (frame.allocationSize({ format }) === w * h * 4) {
        await frame.copyTo(core.pixelBuffer(), { format, colorSpace: 'srgb', layout: [{ offset: 0, stride: w * 4 }] });
        core.putPixels(bgra);
        return bgra ? null : core.pixelImage();
      }
    }
    // Scaled to the processed size (frames over 1280), or where the browser cannot convert.
    fit(this.grab, w, h);
    this.grabContext.drawImage(frame || input.image, 0, 0, w, h);
    const image = this.grabContext.getImageData(0, 0, w, h, { colorSpace: 'srgb' });
    core.putRgba(image.data);
    return image;
  }

  /** The last frame processed again in another mode, shown; false when there is none yet. */
  rerun(mode) {
    if (!this.core.rerun(mode)) return false;
    return this.drawResult();
  }
  /** The live records back after re-runs, and the view from them. */
  release() {
    if (this.grid) return;
    this.core.release();
    if (this.core.width) this.drawResult();
  }
  explain() { return this.core.explain(); }

  // --- the recording ---------------------------------------------------------------------------
  /** From the next frame on; limit in bytes (Infinity: as much as the storage allows); grid:
   *  the cells' results, one file each. */
  recordStart(limit, grid) {
    const names = grid ? this.cellModes().map((op) => `results-${op.name}.bgrx`) : ['results.bgrx'];
    const recorder = new Recorder(limit, ['recording.raw', ...names]);
    recorder.onFull = () => { if (this.recorder === recorder) this.events('full', { frames: recorder.frames }); };
    this.recorder = recorder;
  }
  /** The commands that reproduce the recording: [{ log, output }] each with its results' name. */
  commands(width, height, frames, wanted) {
    return wanted.map(({ log, output }) => this.core.reproduceCommand(width, height, log, frames, 'recording.raw', output));
  }
  /** Stops the recording: { frames, files: [{ name, blob }] }, the downloads. */
  async recordStop() {
    const recorder = this.recorder;
    this.recorder = null;
    if (!recorder) return { frames: 0, files: [] };
    const kept = await recorder.finish();
    recorder.dispose();
    return kept;
  }

  // --- pictures of the views -----------------------------------------------------------------
  /** Both views as PNG blobs, for Snapshot. */
  async snapshot() { return { viewer: await blobOf(this.source), result: await blobOf(this.result) }; }
  /** A view's pixels as shown (source, result, or a grid cell's number), for tests that read the page back. */
  pixels(which) {
    const cell = typeof which === 'number' ? this.cells[which] : null;
    const canvas = cell ? cell.canvas : which === 'source' ? this.source : this.result;
    const context = cell ? cell.context : which === 'source' ? this.sourceContext : this.resultContext;
    const image = context.getImageData(0, 0, canvas.width, canvas.height);
    return { width: image.width, height: image.height, data: image.data };
  }
}

Object.assign(Processor.prototype, gridMethods);
