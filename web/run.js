// The run: which source feeds it, which of its frames are processed and recorded, and the rules
// for when it ends (frames reached, the source ended or lost, a size change, the record limit),
// for a hidden tab (a pause, never a loss), and for freezing, stepping and re-running a frame.
import * as state from './state.js';
import { Recorder, download } from './recording.js';
import { processedSize } from './views.js';

const kStallMs = 5000;         // a source that delivers nothing this long is taken as lost
const kRecordLimit = 2 ** 30;  // record=1: bytes of frames and results at most

export class Run {
  constructor({ core, views, ui, panel }) {
    Object.assign(this, { core, views, ui, panel });
    this.source = null;
    this.automated = false;    // ends by itself (frames=N, record=1) and saves
    this.limit = Infinity;     // frames
    this.ended = false;
    this.frames = 0;           // processed since the run (or the recording) started
    this.serial = 0;           // frames processed and re-runs since the page started, for the panel
    this.log = [];             // mode switches as applied: [frame, mode]
    this.scheduled = false;    // the URL's schedule, which belongs to the run it started only
    this.recorder = null;
    this.frozen = false;       // Space: the source's frames are not processed, both views hold
    this.steps = 0;            // frames still to process while frozen ('.')
    this.pending = null;       // the mode chosen while frozen, live from the next frame on
    this.paused = false;       // the page is hidden
    setInterval(() => this.checkStall(), 1000);
    document.addEventListener('visibilitychange', () => this.onVisibility());
  }

  // --- starting and ending -------------------------------------------------------------------
  /** The run the URL describes (automated: frames=N or record=1). */
  start(config, scheduleOk) {
    this.automated = config.automated;
    this.limit = config.frames === null ? Infinity : config.frames;
    this.scheduled = scheduleOk && config.modes.length > 0;
    if (this.scheduled) this.applySchedule(0);  // the list and titles name it before the first frame
    if (config.frozen) this.setFrozen(true);
    if (config.record) this.startRecorder(kRecordLimit);
    state.setState('running');
    this.onVisibility();
  }

  /** A source chosen after the run ended starts a new, ordinary run. */
  renew() {
    if (!this.ended) return;
    Object.assign(this, { ended: false, automated: false, limit: Infinity, scheduled: false, frames: 0, log: [] });
    this.logMode(this.core.mode());
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
    state.setEnded(why);
    if (message) this.ui.error(message);
    this.stopSource();
    this.views.showMeans();
    if (this.recorder) await this.stopRecording('end');
    state.setState('done');
  }

  // The source went away: an automated run ends there; otherwise the page waits for a choice.
  lost(message) {
    if (this.automated) { this.end('source-lost', message); return; }
    this.stopSource();
    if (this.recorder) this.stopRecording('lost');
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
  /** A source's new frame; false when it was not processed. */
  onFrame(input) {
    if (this.ended || this.paused || (this.frozen && this.steps === 0)) return false;
    const size = processedSize(input.width, input.height, this.core.maxSide);
    if (!this.acceptSize(size, input)) return false;
    if (this.recorder && !this.recorder.fits(size.width * size.height * 7)) {
      const message = this.recorder.full ? this.quotaMessage() : `The recording reached its limit of 1 GiB after ${this.recorder.frames} frames: saved as it is.`;
      if (this.automated) { this.end('record-limit', message); return false; }
      this.stopRecording('full');
    }
    if (this.scheduled && this.frames > 0) this.applySchedule(this.frames);
    const times = this.views.processFrame(input);
    if (this.recorder) this.recorder.add(this.core.frameBytes(), this.core.resultBytes());
    this.frames += 1;
    this.serial += 1;
    if (this.steps > 0) this.steps -= 1;
    state.setFrames(this.frames);
    if (this.frozen) this.panel.refresh(true);  // a step: its numbers at once
    this.views.count(times, this.frames, this.recordingText());
    if (this.automated && this.frames >= this.limit) this.end('frames');
    return true;
  }

  // Whether frames of this size may be processed; a change of size follows the run's rules.
  acceptSize(size, input) {
    if (size.width === this.core.width && size.height === this.core.height) return true;
    if (this.core.width && this.recorder) {
      const change = `The frame size changed from ${this.core.width}x${this.core.height} to ${size.width}x${size.height}`;
      if (this.automated) { this.end('size-changed', `${change}: a recording holds one size.`); return false; }
      this.stopRecording('size');
    }
    this.views.resize(size.width, size.height);
    state.setSize(size.width, size.height);
    state.setScaledFrom(size.scaled ? `${input.width}x${input.height}` : null);
    this.ui.note('scale', size.scaled
      ? `${input.width}x${input.height} is over 1280x1280 (${this.core.texts.tooLarge.replace('\n', '')}): frames are scaled down to ${size.width}x${size.height}, and processed and recorded at that size.`
      : '');
    this.showCommand();
    return true;
  }

  // --- modes ---------------------------------------------------------------------------------------
  applySchedule(frame) {
    const modes = this.core.scheduleApply(frame);
    for (const mode of modes) this.log.push([frame, mode]);
    if (modes.length) { this.ui.syncMenu(this.core.mode()); this.showCommand(); }
  }

  logMode(mode) { this.log.push([this.frames, mode]); this.showCommand(); }

  /** Chosen as the menu command chooses it (the reference modes take a new reference). */
  choose(mode) {
    this.ui.syncMenu(mode);
    if (this.frozen && this.steps === 0) {
      // Shown on the frame held, from the core as it stood before it; live from the next frame.
      this.pending = mode;
      if (this.core.rerun(mode)) {
        this.views.drawResult();
        this.serial += 1;
        this.panel.refresh(true);
      }
      return;
    }
    this.core.select(mode);
    this.logMode(mode);
    if (this.source && this.source.still && !this.ended) this.source.redraw();
  }

  /** The live records back, and the mode chosen while frozen chosen for real. */
  release() {
    this.core.release();
    if (this.core.width) this.views.drawResult();
    if (this.pending === null) return;
    const mode = this.pending;
    this.pending = null;
    this.core.select(mode);
    this.logMode(mode);
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

  // --- recording -----------------------------------------------------------------------------------
  startRecorder(limit) {
    this.recorder = new Recorder(limit);
    this.recorder.onFull = () => {
      if (this.automated) this.end('record-limit', this.quotaMessage());
      else if (this.recorder) this.stopRecording('full');
    };
    this.ui.showRecording(true);
  }

  /** The Record button: from the next frame on, from what is shown, with the core back at its start. */
  startRecording() {
    this.renew();
    const mode = this.pending === null ? this.core.mode() : this.pending;
    this.core.release();
    this.pending = null;
    this.core.reset();
    Object.assign(this, { frames: 0, log: [], scheduled: false });
    if (this.source && this.source.rewind) this.source.rewind();
    this.core.select(mode);
    this.logMode(mode);
    this.startRecorder(Infinity);
    if (this.source && this.source.still) this.source.redraw();
  }

  quotaMessage() { return `The browser's storage for this page (its quota) is full after ${this.recorder.frames} frames: the recording stopped there and was handed over.`; }

  /** Stops the recording and hands it over as the two downloads. */
  async stopRecording(why) {
    const recorder = this.recorder;
    this.recorder = null;
    this.ui.showRecording(false);
    state.setRecording(null, null);
    this.ui.note('record', 'Saving the recording…');
    const kept = await recorder.finish();
    download('recording.raw', kept.raw);
    download('results.bgrx', kept.results);
    recorder.dispose();
    const full = why === 'full' && !this.ended ? ' The storage for recordings (the browser\'s quota for this page) is full: the recording stopped there, and the page goes on.' : '';
    this.ui.note('record', `Saved ${kept.frames} frames: recording.raw and results.bgrx.${full} ${this.command()}`);
  }

  recordingText() {
    if (!this.recorder) return '';
    const room = this.recorder.roomFrames();
    state.setRecording(this.recorder.frames, room === Infinity ? null : room);
    if (room === Infinity) return `recording ${this.recorder.frames} frames`;
    const seconds = Math.round(room / 30);
    this.ui.note('room', room < 30 * 30 ? `The recording nears its limit: room for about ${room} more frames (${seconds} s at 30 fps).` : '');
    return `recording ${this.recorder.frames} frames, room for about ${room} more (${seconds} s at 30 fps)`;
  }

  // --- the reproducing command ---------------------------------------------------------------------
  command() {
    const switches = [];
    let last = '';
    for (const [k, mode] of this.log) {
      const name = this.core.modeName(mode);
      const word = `--mode ${k ? name + '@' + k : name}`;
      if (word !== last) switches.push(word);  // the same mode twice before one frame is once
      last = word;
    }
    if (!this.log.length || this.log[0][0] !== 0) switches.unshift('--mode none');
    return `pixelwell-filter --size ${this.core.width}x${this.core.height} ${switches.join(' ')} recording.raw results.bgrx`;
  }
  showCommand() {
    if (!this.core.width) return;
    const command = this.command();
    state.setCommand(command);
    this.ui.showCommand(command);
  }
}
