// The one place that writes the page's state on the root element's dataset, where tests and
// scripts read it (docs/web.md names every attribute).
const root = document.documentElement;

function put(name, value) {
  if (value === null || value === undefined) delete root.dataset[name];
  else root.dataset[name] = String(value);
}

/** loading, running, done or error. */
export function setState(state) { put('state', state); }
export function getState() { return root.dataset.state; }
/** Why the run ended: frames, source-ended, source-lost, size-changed or record-limit. */
export function setEnded(why) { put('ended', why); }
/** The message shown as the page's error (null: none). */
export function setError(text) { put('error', text || null); }
export function setSize(width, height) { put('width', width); put('height', height); }
export function setFrames(count) { put('frames', count); }
export function setBuild(build, version) { put('build', build); put('version', version); }
export function setCommand(command) { put('filterCommand', command); }
export function setFrozen(frozen) { put('frozen', frozen ? '1' : '0'); }
/** worker or main: where frames are processed. */
export function setPipeline(pipeline) { put('pipeline', pipeline); }
/** single or grid. */
export function setView(view) { put('view', view); }
/** 1 while the processed view is full screen. */
export function setFullscreen(on) { put('fullscreen', on ? '1' : '0'); }
/** The version of the site kept for use offline (the cache's), once it is kept; and a newer
 *  one fetched in the background, which the next load runs. */
export function setOffline(version) { put('offline', version); }
export function setUpdate(version) { put('update', version); }
/** 1 while the page is in a hidden tab, and so takes no frame. */
export function setPaused(paused) { put('paused', paused ? '1' : null); }
/** The source's own size when frames are scaled down to fit within 1280x1280 (null: not scaled). */
export function setScaledFrom(size) { put('scaledFrom', size); }
/** While recording: the frames kept and the room left for more, as the page estimates it. */
export function setRecording(frames, roomFrames) {
  put('recordedFrames', frames);
  put('recordRoom', roomFrames);
}
/** The means per frame since the page started, for benchmarks. */
export function setMeans(capture, process, draw, dropped) {
  put('msCapture', capture.toFixed(3));
  put('msProcess', process.toFixed(3));
  put('msDraw', draw.toFixed(3));
  put('dropped', dropped);
}
