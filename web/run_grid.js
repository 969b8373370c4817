// The run's two views and the sizes its frames are processed at: the single view (one
// operation, frames over 1280 scaled to fit) or the grid (every operation at once, at the cells'
// size, chosen where the core runs when the grid's first frame comes). Both sizes are the
// module's rules, asked once for each source size. Methods of the run (run.js), kept here by topic.
import * as state from './state.js';
import { showView } from './grid.js';

class RunViews {
  /** The size this input is processed at, where known; null: to be asked first (prepareSize). */
  sizeFor(input) {
    const key = `${input.width}x${input.height}`;
    if (this.view === 'grid') return this.grid && this.grid.source === key ? this.grid.size : null;
    return this.fits.get(key) || null;
  }

  /** Takes the input once its size is known: frames that come meanwhile wait as for one on its way. */
  waitForSize(input) {
    this.busy = true;
    this.busyGeneration = this.generation;
    this.sizeWait = this.prepareSize(input).then(() => {
      this.busy = false;
      const size = this.sizeFor(input);  // (another view meanwhile: asked again)
      if ((size ? this.take(input, size) : this.onFrame(input)) !== false) return;
      if (input.frame) input.frame.close();
      const held = this.held;  // not taken: what waited behind it goes in its turn
      this.held = null;
      if (held && this.onFrame(held) === false && held.frame) held.frame.close();
    }, (error) => {
      this.busy = false;
      if (input.frame) input.frame.close();
      this.lost(`A frame could not be processed: ${error.message}`);
    });
    return true;
  }

  /** Asks where the core runs for the size of this input (in the grid: starts its cells). */
  async prepareSize(input) {
    const key = `${input.width}x${input.height}`;
    if (this.view !== 'grid') {
      this.fits.set(key, await this.pipeline.call('fit', input.width, input.height));
      return;
    }
    const cells = await this.pipeline.call('gridStart', input.width, input.height);
    const scaled = cells.width !== input.width || cells.height !== input.height;
    this.grid = { source: key, size: { width: cells.width, height: cells.height, scaled, grid: true }, probeMs: cells.probeMs };
    this.size = { width: 0, height: 0 };  // new cores: the size is taken anew (acceptSize)
  }

  /**
   * The grid or the single view from the next frame on (mode: the one the single view shows).
   * A recording holds one view: the Record button's is handed over, and a run that records by
   * itself ends there.
   */
  setView(view, mode = null) {
    if (view === this.view) {
      if (mode !== null) this.choose(mode);
      return;
    }
    if (this.recording && this.automated && this.size.width) {
      this.end('size-changed', `The view changed to ${view === 'grid' ? 'every operation' : 'one operation'}: a recording holds one view and one frame size.`);
      return;
    }
    if (this.recording) this.stopRecording('view');
    if (this.pending !== null) this.release();
    this.view = view;
    this.grid = null;
    this.size = { width: 0, height: 0 };
    this.generation += 1;  // a frame on its way belongs to the view before
    state.setView(view);
    showView(view);
    this.scheduled = false;  // the URL's schedule belongs to the view it started
    this.log = [];
    this.logStart = this.frames;  // each view's cores start anew
    this.logKernelNow();
    if (view !== 'grid') {
      this.pipeline.call('gridStop');
      this.select(mode === null ? this.mode : mode);
      this.ui.syncMenu(this.mode);
    }
    if (this.source && this.source.still && !this.ended) this.source.redraw();
  }
  toggleView() { this.setView(this.view === 'grid' ? 'single' : 'grid'); }

  /** What the page says of the processed size: the grid's cells, or frames over 1280 scaled. */
  sizeNote(size, input) {
    const from = `${input.width}x${input.height}`, to = `${size.width}x${size.height}`;
    if (size.grid) {
      const probe = this.grid ? this.grid.probeMs : 0;
      return `Every operation at once: each of the ${this.core.operations.length - 1} cells has its own core, and frames of ${from} are ` +
        `processed and recorded at ${to}${size.width < 320 && probe ? ` (at 320 wide the cells took ${probe.toFixed(0)} ms a frame, under 15 frames a second)` : ''}.`;
    }
    return size.scaled ? `${from} is over 1280x1280 (${this.core.texts.tooLarge.replace('\n', '')}): frames are scaled down to ${to}, ` +
      'and processed and recorded at that size.' : '';
  }

  /** The commands that reproduce the results (one per cell in the grid), from the module's rule. */
  async updateCommand(frames = -1) {
    if (!this.size.width) return;
    const { width, height } = this.size;
    const wanted = this.view === 'grid'
      ? this.core.operations.filter((op) => op.id !== this.core.none).map((op) => ({ log: this.cellLog(op.id), output: `results-${op.name}.bgrx` }))
      : [{ log: this.log.map(([at, mode]) => [at - this.logStart, mode]).filter(([at]) => at >= 0), output: 'results.bgrx' }];
    const commands = await this.pipeline.call('commands', width, height, frames, wanted);
    this.commandText = commands.join('\n');
    state.setCommand(this.commandText);
    this.ui.showCommand(this.commandText);
  }
  showCommand() { this.commandShown = this.updateCommand(); }
  // A cell's choices: its mode (the kernel cell's with the kernel it started with).
  cellLog(mode) {
    const k = this.kernelNow;
    return mode === this.core.kernelMode && k ? [[0, mode], [0, `k ${k.rows}`], [0, `d ${k.divisor}`]] : [[0, mode]];
  }
}

/** Copied onto the run's prototype. */
export const viewMethods = Object.fromEntries(Object.getOwnPropertyNames(RunViews.prototype)
  .filter((name) => name !== 'constructor').map((name) => [name, RunViews.prototype[name]]));
