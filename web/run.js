// The run: which source feeds it, which of its frames are processed and recorded, and the rules
// for when it ends (frames reached, the source ended or lost, a size change, the record limit),
// for a hidden tab (a pause, never a loss), and for freezing, stepping and re-running a frame.
// Frames go through the pipeline (pipeline.js) one at a time; one that comes while one is on its
// way waits for it, and is dropped only when a newer one comes meanwhile.
import * as state from './state.js';
import { recordingMethods } from './run_recording.js';
import { viewMethods } from './run_grid.js';
import { kernelMethods } from './run_kernel.js';

const kStallMs = 5000;         // a source that delivers nothing this long is taken as lost
const kRecordLimit = 2 ** 30;  // record=1: bytes of frames and results at most

export class Run {
  constructor({ core, pipeline, views, ui, panel }) {
    Object.assign(this, { core, pipeline, views, ui, panel });
    this.source = null;
    this.automated = false;    // ends by itself (frames=N, record=1) and saves
    this.limit = Infinity;     // frames
    this.ended = false;
    this.frames = 0;           // processed since the run (or the recording) started
    this.serial = 0;           // frames processed and re-runs since the page started, for the panel
    this.log = [];             // mode switches as applied: [frame, mode]
    this.logStart = 0;         // the frame the core the log describes started at (a view's change makes a new one)
    this.scheduled = false;    // the URL's schedule, which belongs to the run it started only
    this.recording = null;     // while recording: { frames, room } as the last frame left them
    this.mode = core.none;     // the live mode, as chosen or scheduled last
    this.size = { width: 0, height: 0 };  // the processed size
    this.busy = false;         // a frame is on its way through the core
    this.busyGeneration = 0;   // the generation it was sent in
    this.held = null;          // a frame that came meanwhile, processed next
    this.generation = 0;       // frames sent before a new start (Record, a new run) are not counted
    this.frozen = false;       // Space: the source's frames are not processed, both views hold
    this.steps = 0;            // frames still to process while frozen ('.')
    this.pending = null;       // the mode chosen while frozen, live from the next frame on
    this.paused = false;       // the page is hidden
    this.view = 'single';      // or grid: every operation at once (run_grid.js)
    this.grid = null;          // the grid's cells: { source, size, probeMs }, once its first frame came
    this.fits = new Map();     // the processed size of each source size seen, as the module says
    this.commandText = '';     // the reproducing command(s) shown
    this.commandShown = Promise.resolve();
    this.sizeWait = Promise.resolve();  // a frame taken while its size is asked of the module
    this.kernelNow = null;     // the kernel mode's kernel in use: { rows, divisor } (run_kernel.js)
    this.kernelView = null;    // the panel's kernel editor, stage selector and inspector
    setInterval(() => this.checkStall(), 1000);
    document.addEventListener('visibilitychange', () => this.onVisibility());
  }

  // --- starting and ending -------------------------------------------------------------------
  /** The run the URL describes (automated: frames=N or record=1). */
  start(config, scheduleOk) {
    this.automated = config.automated;
    this.limit = config.frames === null ? Infinity : config.frames;
    this.scheduled = scheduleOk && (config.modes.length > 0 || config.kernel !== null || config.divisor !== null);
    this.logKernelNow();  // the kernel in use from frame 0, should the kernel mode be chosen
    if (this.scheduled) {  // the list and titles name it before the first frame
      this.pipeline.call('scheduleApply', 0).then((r) => this.scheduleApplied(0, r.modes, r.mode, r.kernel));
    }
    if (config.frozen) this.setFrozen(true);
    if (config.record) this.startRecorder(kRecordLimit);
    state.setState('running');
    this.onVisibility();
  }

  /** A source chosen after the run ended starts a new, ordinary run. */
  renew() {
    if (!this.ended) return;
    Object.assign(this, { ended: false, automated: false, limit: Infinity, scheduled: false, frames: 0, log: [], logStart: 0 });
    this.generation += 1;
    this.logKernelNow();
    this.logMode(this.mode);
    state.setEnded(null);
    state.setState('running');
    state.setFrames(0);
  }

  /** Feeds the run from a source (the one before is stopped). */
  use(source) {
    this.stopSource();
    this.source = source;
    if (this.paused) source.pause();
    source.start();
  }
  stopSource() { if (this.source) this.source.stop(); this.source = null; }

  /** What a source reports, for as long as it is the run's own. */
  sinkFor(getSource, atStart) {
    const mine = () => this.source === getSource();
    return {
      videoFrames: this.pipeline.kind === 'worker',  // frames as VideoFrames, which move to the worker
      frame: (input) => (mine() ? this.onFrame(input) : false),
      dropped: (n) => { if (mine()) this.views.dropped(n); },
      ended: () => { if (mine()) this.sourceEnded(); },
      lost: (message) => { if (mine()) this.lost(message); },
      failed: (message) => { if (mine()) this.failed(message, atStart); },
    };
  }

  async end(why, message) {
    if (this.ended) return;
    this.ended = true;
    await this.sizeWait;  // a frame taken while its size was asked goes through first
    state.setEnded(why);
    if (message) this.ui.error(message);
    this.stopSource();
    this.views.showMeans();
    if (this.recording) await this.stopRecording('end');
    await this.commandShown;
    state.setState('done');
  }

  // The source went away: an automated run ends there; otherwise the page waits for a choice.
  lost(message) {
    if (this.automated) { this.end('source-lost', message); return; }
    this.stopSource();
    if (this.recording) this.stopRecording('lost');
    this.ui.error(message);
  }

  failed(message, atStart) {
    if (atStart && this.frames === 0 && !this.ended) {
      this.stopSource();
      this.ui.fail(message);
      return;
    }
    this.lost(message);
  }

  sourceEnded() {
    if (this.automated) { this.end('source-ended'); return; }
    const source = this.source;
    if (!source.still) {
      source.finished = true;
      this.ui.note('source', `${source.name} has ended: choose a source to go on.`);
    }
  }

  checkStall() {
    const s = this.source;
    if (!s || !s.stallable || s.finished || this.paused || this.ended) return;
    if (performance.now() - s.lastProgress <= kStallMs) return;
    const who = s.kind === 'camera' ? 'The camera has' : `${s.name} has`;
    const why = s.kind === 'camera' ? '' : ' (its download may have broken off)';
    this.lost(`${who} delivered no frame for ${kStallMs / 1000} s${why}. Choose a source to go on.`);
  }

  onVisibility() {
    const hidden = document.visibilityState === 'hidden';
    if (hidden === this.paused) return;
    this.paused = hidden;
    state.setPaused(hidden);
    if (this.source) { if (hidden) this.source.pause(); else this.source.resume(); }
    this.ui.note('pause', hidden ? 'Paused while the page is hidden: it goes on when shown again.' : '');
  }

  // --- one frame -----------------------------------------------------------------------------------
  /** A source's new frame; false when it was not taken (its VideoFrame is then the source's to close). */
  onFrame(input) {
    if (this.ended || this.paused || (this.frozen && this.steps === 0)) return false;
    if (this.busy) {
      // A frame of its own (a VideoFrame, a still's picture) waits for the one on its way, so
      // that a short hold-up in the worker drops nothing; a newer one takes its place. The test
      // picture offers its frame again, and a video element holds no frame to wait with.
      if (input.test !== undefined) return false;
      if (!input.frame && !input.still) { this.views.dropped(1); return false; }
      if (this.held) {
        if (!this.held.still) this.views.dropped(1);
        if (this.held.frame) this.held.frame.close();
      }
      this.held = input;
      return true;
    }
    const size = this.sizeFor(input);
    return size ? this.take(input, size) : this.waitForSize(input);
  }

  // A frame taken, at its size: through the pipeline, unless its size ends the run.
  take(input, size) {
    if (!this.acceptSize(size, input)) return false;
    const schedule = this.scheduled && this.frames > 0 && this.view !== 'grid' ? this.frames : -1;
    const generation = this.generation;
    this.busy = true;
    this.busyGeneration = generation;
    const sent = input.frame ? { frame: input.frame, width: input.width, height: input.height } : input;
    this.pipeline.send('frame', [sent, { schedule, automated: this.automated }], input.frame ? [input.frame] : [])
      .then((r) => this.frameDone(r, schedule, generation), (error) => {
        this.busy = false;
        this.lost(`A frame could not be processed: ${error.message}`);
      });
    return true;
  }

  frameDone(r, schedule, generation) {
    this.busy = false;
    // Counted even when the run ended meanwhile: the recording, stopped after it, holds it.
    if (generation === this.generation && !r.processed) {  // the recording's limit, in a run that ends there
      const message = r.refused.full ? this.quotaMessage(r.refused.frames)
        : `The recording reached its limit of 1 GiB after ${r.refused.frames} frames: saved as it is.`;
      this.end('record-limit', message);
    } else if (generation === this.generation) {
      if (r.applied.length) this.scheduleApplied(schedule, r.applied, r.mode, r.kernel);
      this.frames += 1;
      if (this.steps > 0) this.steps -= 1;
      if (this.recording) Object.assign(this.recording, { frames: r.recorded, room: r.room });
      if (r.recordFull) this.stopRecording('full');
    }
    if (r.processed) {
      this.serial += 1;
      if (r.shown && this.kernelView) this.kernelView.stageShown(r.shown);
      state.setFrames(this.frames);
      if (this.frozen) this.panel.refresh(true);  // a step: its numbers at once
      this.views.count(r.times, this.frames, this.size, this.recordingText());
    }
    if (this.automated && !this.ended && this.frames >= this.limit) this.end('frames');
    const held = this.held;  // the frame that waited (an ended run takes none: it is closed)
    this.held = null;
    if (held && this.onFrame(held) === false && held.frame) held.frame.close();
  }

  // Whether frames of this size may be processed; a change of size follows the run's rules.
  acceptSize(size, input) {
    if (size.width === this.size.width && size.height === this.size.height) return true;
    if (this.size.width && this.recording) {
      const change = `The frame size changed from ${this.size.width}x${this.size.height} to ${size.width}x${size.height}`;
      if (this.automated) { this.end('size-changed', `${change}: a recording holds one size.`); return false; }
      this.stopRecording('size');
    }
    this.size = { width: size.width, height: size.height };
    this.pipeline.call('resize', size.width, size.height);
    state.setSize(size.width, size.height);
    state.setScaledFrom(size.scaled ? `${input.width}x${input.height}` : null);
    this.ui.note('scale', this.sizeNote(size, input));
    this.showCommand();
    return true;
  }

  // --- modes ---------------------------------------------------------------------------------------
  // The URL's schedule chose modes before this frame; mode: the one they leave.
  scheduleApplied(frame, modes, mode, kernel) {
    for (const m of modes) if (typeof m === 'string' && 'kd'.includes(m[0])) this.logChoice(frame, m); else this.log.push([frame, m]);
    if (!modes.length) return;
    if (kernel) this.kernelChanged(kernel, null);
    this.mode = mode;
    this.ui.syncMenu(mode);
    this.showCommand();
  }

  // A choice takes effect from the next frame sent: after the one on its way, if any.
  logMode(mode) {
    const before = this.busy && this.busyGeneration === this.generation ? 1 : 0;
    this.log.push([this.frames + before, mode]);
    this.showCommand();
  }

  select(mode) {
    this.pipeline.call('select', mode);
    this.mode = mode;
    this.logMode(mode);
  }

  /** Chosen as the menu command chooses it (the reference modes take a new reference); in the
   *  grid, the single view of that operation. */
  choose(mode) {
    if (this.view === 'grid') { this.setView('single', mode); return; }
    this.ui.syncMenu(mode);
    if (this.frozen && this.steps === 0) {
      // Shown on the frame held, from the core as it stood before it; live from the next frame.
      this.pending = mode;
      this.pipeline.call('rerun', mode).then((shown) => {
        if (!shown) return;
        this.serial += 1;
        this.panel.refresh(true);
      });
      return;
    }
    this.select(mode);
    if (this.source && this.source.still && !this.ended) this.source.redraw();
  }

  /** The live records back, and the mode chosen while frozen chosen for real. */
  release() {
    this.pipeline.call('release');
    if (this.pending === null) return;
    const mode = this.pending;
    this.pending = null;
    this.select(mode);
  }

  // --- freeze and step -----------------------------------------------------------------------------
  setFrozen(frozen) {
    if (!frozen && this.frozen) this.release();
    this.frozen = frozen;
    this.steps = 0;
    state.setFrozen(frozen);
    this.ui.showFrozen(frozen);
    if (!frozen && this.source && this.source.still && !this.ended) this.source.redraw();
  }
  toggleFreeze() { this.setFrozen(!this.frozen); }
  step() {
    if (!this.frozen) { this.setFrozen(true); return; }
    this.release();
    this.steps += 1;
    if (this.source && this.source.still && !this.ended) this.source.redraw();
  }
}

Object.assign(Run.prototype, recordingMethods, viewMethods, kernelMethods);
