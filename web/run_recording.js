// The run's recording: started by the URL (record=1) or the Record button, kept where the core
// runs, stopped at the end, at a limit or by the button, and handed over as the downloads
// (recording.raw and the results). Methods of the run (run.js), kept here by topic.
import * as state from './state.js';
import { download } from './recording.js';

class RunRecording {
  // --- recording -----------------------------------------------------------------------------------
  startRecorder(limit) {
    this.pipeline.call('recordStart', limit, this.view === 'grid');
    this.recording = { frames: 0, room: Infinity };
    this.ui.showRecording(true);
  }

  /** The storage refused a write (the pipeline says so): frames is what the recording holds. */
  storageFull(frames) {
    if (!this.recording) return;
    if (this.automated) this.end('record-limit', this.quotaMessage(frames));
    else this.stopRecording('full');
  }

  /** The Record button: from the next frame on, from what is shown, with the core back at its start. */
  startRecording() {
    this.renew();
    const mode = this.pending === null ? this.mode : this.pending;
    this.pipeline.call('release');
    this.pending = null;
    this.pipeline.call('reset');
    Object.assign(this, { frames: 0, log: [], logStart: 0, scheduled: false });
    this.generation += 1;  // a frame on its way belongs to what came before
    this.logKernelNow();
    if (this.source && this.source.rewind) this.source.rewind();
    this.select(mode);
    this.startRecorder(Infinity);
    if (this.source && this.source.still) this.source.redraw();
  }

  quotaMessage(frames) { return `The browser's storage for this page (its quota) is full after ${frames} frames: the recording stopped there and was handed over.`; }

  /** Stops the recording and hands it over as the two downloads. */
  async stopRecording(why) {
    if (!this.recording) return;
    this.recording = null;
    this.ui.showRecording(false);
    state.setRecording(null, null);
    this.ui.note('record', 'Saving the recording…');
    const kept = await this.pipeline.call('recordStop');
    for (const [k, file] of kept.files.entries()) {
      // Browsers refuse a burst of downloads from one page (Chromium keeps ten): the grid's come one by one.
      if (k > 0 && kept.files.length > 2) await new Promise((resolve) => setTimeout(resolve, 150));
      download(file.name, file.blob);
    }
    await this.updateCommand(kept.frames);
    const full = why === 'full' && !this.ended ? ' The storage for recordings (the browser\'s quota for this page) is full: the recording stopped there, and the page goes on.' : '';
    const saved = kept.files.length > 2
      ? `recording.raw and ${kept.files.length - 1} results-NAME.bgrx, one per cell, NAME its mode.${full} The commands that reproduce them are below.`
      : `recording.raw and results.bgrx.${full} ${this.commandText}`;
    this.ui.note('record', `Saved ${kept.frames} frames: ${saved}`);
  }

  recordingText() {
    if (!this.recording) return '';
    const { frames, room } = this.recording;
    state.setRecording(frames, room === Infinity ? null : room);
    if (room === Infinity) return `recording ${frames} frames`;
    const seconds = Math.round(room / 30);
    this.ui.note('room', room < 30 * 30 ? `The recording nears its limit: room for about ${room} more frames (${seconds} s at 30 fps).` : '');
    return `recording ${frames} frames, room for about ${room} more (${seconds} s at 30 fps)`;
  }
}

/** Copied onto the run's prototype. */
export const recordingMethods = Object.fromEntries(Object.getOwnPropertyNames(RunRecording.prototype)
  .filter((name) => name !== 'constructor').map((name) => [name, RunRecording.prototype[name]]));
