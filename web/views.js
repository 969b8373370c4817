// The line of figures under the views (fps, times, dropped frames), with their means on the
// root's dataset for benchmarks. The views themselves are drawn where the core runs
// (processor.js); the size frames are processed at is the module's rule (run_grid.js).
import * as state from './state.js';

const $ = (id) => document.getElementById(id);

const kSamples = 4096;  // the last frames' times kept for benchmarks (medians)

export class Views {
  constructor() {
    this.stats = { capture: 0, process: 0, draw: 0, dropped: 0, times: [], shown: 0, sums: [0, 0, 0], count: 0 };
    /** [capture, process, draw] ms of the last frames, oldest first (scripts/bench-web reads them). */
    this.samples = [];
  }

  dropped(n) { this.stats.dropped += n; }

  /** Folds one frame's times into the figures; the line and the means are shown 4 times a second. */
  count(t, frames, size, recordingText) {
    const s = this.stats, a = 0.1;
    s.capture += a * (t.captured - t.started - s.capture);
    s.process += a * (t.processed - t.captured - s.process);
    s.draw += a * (t.drawn - t.processed - s.draw);
    s.sums[0] += t.captured - t.started;
    s.sums[1] += t.processed - t.captured;
    s.sums[2] += t.drawn - t.processed;
    s.count += 1;
    this.samples.push([t.captured - t.started, t.processed - t.captured, t.drawn - t.processed]);
    if (this.samples.length > kSamples) this.samples.splice(0, this.samples.length - kSamples);
    // The worker's clock and the page's start at different moments: the rate is the page's own.
    const now = performance.now();
    s.times.push(now);
    while (s.times.length && s.times[0] < now - 1000) s.times.shift();
    if (now - s.shown > 250) this.showLine(frames, size, recordingText, now);
  }

  showLine(frames, size, recordingText, now = performance.now()) {
    const s = this.stats;
    s.shown = now;
    $('stats').textContent = `${s.times.length} fps · ${size.width}x${size.height} · capture and conversion ${s.capture.toFixed(2)} ms, ` +
      `processing ${s.process.toFixed(2)} ms, drawing ${s.draw.toFixed(2)} ms · dropped ${s.dropped} · ` +
      `frames ${frames}${recordingText ? ' · ' + recordingText : ''}`;
    this.showMeans();
  }

  showMeans() {
    const s = this.stats;
    if (s.count) state.setMeans(s.sums[0] / s.count, s.sums[1] / s.count, s.sums[2] / s.count, s.dropped);
  }
}
