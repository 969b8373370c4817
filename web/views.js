// The two views and a frame's way through them: the source's picture read once at the size
// the core processes (scaled down to fit within 1280x1280 when larger), handed to the core,
// and both views drawn; and the line of figures under them (fps, times, dropped frames).
import * as state from './state.js';

const $ = (id) => document.getElementById(id);

function fitCanvas(canvas, w, h) {
  if (canvas.width !== w) canvas.width = w;
  if (canvas.height !== h) canvas.height = h;
}

/** The size a frame is processed at: within max x max, keeping the aspect ratio. */
export function processedSize(width, height, max) {
  if (width <= max && height <= max) return { width, height, scaled: false };
  const scale = Math.min(max / width, max / height);
  return { width: Math.max(1, Math.floor(width * scale)), height: Math.max(1, Math.floor(height * scale)), scaled: true };
}

export class Views {
  constructor(core) {
    this.core = core;
    this.source = $('source-view');
    this.result = $('result-view');
    this.sourceContext = this.source.getContext('2d', { colorSpace: 'srgb' });
    this.resultContext = this.result.getContext('2d', { colorSpace: 'srgb' });
    this.grab = document.createElement('canvas');
    this.grabContext = this.grab.getContext('2d', { willReadFrequently: true, colorSpace: 'srgb', alpha: false });
    this.stats = { capture: 0, process: 0, draw: 0, dropped: 0, times: [], shown: 0, sums: [0, 0, 0], count: 0 };
  }

  /** The core and both views at the processed size. */
  resize(width, height) {
    this.core.setSize(width, height);
    fitCanvas(this.source, width, height);
    fitCanvas(this.result, width, height);
  }

  /**
   * Reads the input into the core at the core's size and processes it; draws both views.
   * Returns the times for the status line.
   */
  processFrame(input) {
    const started = performance.now();
    const w = this.core.width, h = this.core.height;
    let image;
    if (input.test !== undefined) {
      image = this.core.testPicture(input.test);
    } else {
      fitCanvas(this.grab, w, h);
      this.grabContext.drawImage(input.image, 0, 0, w, h);
      image = this.grabContext.getImageData(0, 0, w, h, { colorSpace: 'srgb' });
      this.core.putRgba(image.data);
    }
    const captured = performance.now();
    this.core.process();
    const processed = performance.now();
    this.sourceContext.putImageData(image, 0, 0);
    this.drawResult();
    return { started, captured, processed, drawn: performance.now() };
  }

  /** The result view from the core's last result (a frame, or a re-run while frozen). */
  drawResult() { this.resultContext.putImageData(this.core.resultImage(), 0, 0); }

  dropped(n) { this.stats.dropped += n; }

  /** Folds one frame's times into the figures; the line and the means are shown 4 times a second. */
  count(t, frames, recordingText) {
    const s = this.stats, a = 0.1;
    s.capture += a * (t.captured - t.started - s.capture);
    s.process += a * (t.processed - t.captured - s.process);
    s.draw += a * (t.drawn - t.processed - s.draw);
    s.sums[0] += t.captured - t.started;
    s.sums[1] += t.processed - t.captured;
    s.sums[2] += t.drawn - t.processed;
    s.count += 1;
    s.times.push(t.drawn);
    while (s.times.length && s.times[0] < t.drawn - 1000) s.times.shift();
    if (t.drawn - s.shown > 250) this.showLine(frames, recordingText, t.drawn);
  }

  showLine(frames, recordingText, now = performance.now()) {
    const s = this.stats;
    s.shown = now;
    $('stats').textContent = `${s.times.length} fps · ${this.core.width}x${this.core.height} · capture and conversion ${s.capture.toFixed(2)} ms, ` +
      `processing ${s.process.toFixed(2)} ms, drawing ${s.draw.toFixed(2)} ms · dropped ${s.dropped} · ` +
      `frames ${frames}${recordingText ? ' · ' + recordingText : ''}`;
    this.showMeans();
  }

  showMeans() {
    const s = this.stats;
    if (s.count) state.setMeans(s.sums[0] / s.count, s.sums[1] / s.count, s.sums[2] / s.count, s.dropped);
  }
}
