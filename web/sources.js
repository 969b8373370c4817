// The sources behind one interface: the moving test picture, a video file and a still picture
// (the camera is in camera.js). Each calls its sink: frame(input) for every new frame, ended()
// when it has no more, failed(message) when it cannot go on, dropped(n) for frames the browser
// presented unseen. Each keeps lastProgress (ms), which the run's stall check reads.
// input: { image, width, height } to be read from a canvas image source,
//        { frame, width, height } a VideoFrame, where the sink asks for them (videoFrames: the
//          worker pipeline), which the sink takes over when it returns anything but false, or
//        { test: n, width, height } for frame n of the test picture, which the core draws.
// A still's frames say still: true.

/** @typedef {{kind: string, name: string, still: boolean, stallable: boolean, lastProgress: number,
 *   start(): void, stop(): void, pause(): void, resume(): void, rewind?(): void, redraw?(): void}} Source */

/** The moving test picture at 30 frames a second, from frame 0. @returns {Source} */
export function testSource(width, height, sink) {
  let timer = 0, n = 0, paused = false, stopped = false;
  const source = {
    kind: 'test', name: 'the test picture', still: false, stallable: false, lastProgress: performance.now(),
    start() { tick(); },
    stop() { stopped = true; clearTimeout(timer); },
    pause() { paused = true; clearTimeout(timer); },
    resume() { if (paused && !stopped) { paused = false; tick(); } },
    rewind() { n = 0; },
  };
  const tick = () => {
    if (stopped || paused) return;
    const started = performance.now();
    if (sink.frame({ test: n, width, height }) !== false) n += 1;
    timer = setTimeout(tick, Math.max(0, 1000 / 30 - (performance.now() - started)));
  };
  return source;
}

/** Hands a VideoFrame to the sink; closes it when the sink does not take it. */
export function offerFrame(sink, frame, extra) {
  if (sink.frame({ frame, width: frame.displayWidth, height: frame.displayHeight, ...extra }) === false) frame.close();
}

// Every new frame of a video element, once: requestVideoFrameCallback where there is one.
export function followVideo(video, source, sink) {
  const input = () => ({ image: video, width: video.videoWidth, height: video.videoHeight });
  const deliver = (meta) => {
    if (!sink.videoFrames) { sink.frame(input()); return; }
    let frame;
    try {
      frame = new VideoFrame(video, { timestamp: Math.round((meta ? meta.mediaTime : video.currentTime) * 1e6) });
    } catch (error) {
      return;  // no picture yet
    }
    offerFrame(sink, frame);
  };
  if ('requestVideoFrameCallback' in HTMLVideoElement.prototype) {
    let last = -1;
    const onFrame = (now, meta) => {
      if (source.stopped) return;
      source.lastProgress = performance.now();
      if (last >= 0 && meta.presentedFrames > last + 1) sink.dropped(meta.presentedFrames - last - 1);
      last = meta.presentedFrames;
      if (video.videoWidth && video.videoHeight) deliver(meta);
      video.requestVideoFrameCallback(onFrame);
    };
    video.requestVideoFrameCallback(onFrame);
  } else {
    let lastTime = -1;
    const onAnimation = () => {
      if (source.stopped) return;
      if (video.currentTime !== lastTime && video.videoWidth) {
        lastTime = video.currentTime;
        source.lastProgress = performance.now();
        deliver(null);
      }
      requestAnimationFrame(onAnimation);
    };
    requestAnimationFrame(onAnimation);
  }
}

/** A video file; loops when asked (never in an automated run). @returns {Source} */
export function videoSource(url, name, loop, sink) {
  const video = document.createElement('video');
  video.muted = true;
  video.playsInline = true;
  video.loop = loop;
  const source = {
    kind: 'file', name, still: false, stallable: true, stopped: false, lastProgress: performance.now(), video,
    start() {
      video.src = url;
      followVideo(video, source, sink);
      video.play().catch(() => {});  // a refusal shows as a stall
    },
    stop() {
      source.stopped = true;
      video.pause();
      video.removeAttribute('src');
      video.load();
    },
    pause() { video.pause(); },
    resume() { source.lastProgress = performance.now(); if (!source.stopped && !source.finished) video.play().catch(() => {}); },
    // Loop turned on after the end starts the file again.
    setLoop(on) {
      video.loop = on;
      if (on && source.finished && !source.stopped) {
        source.finished = false;
        source.lastProgress = performance.now();
        video.play().catch(() => {});
      }
    },
  };
  // A file that plays on counts as alive even where frames repeat (its time moves on).
  video.addEventListener('timeupdate', () => { source.lastProgress = performance.now(); });
  video.addEventListener('error', () => {
    if (!source.stopped) sink.failed(`The browser cannot decode ${name}: choose another file or source.`);
  });
  video.addEventListener('ended', () => { if (!source.stopped) sink.ended(); });
  return source;
}

/** A PNG or JPEG held as a still: one frame, and again when the operation changes. @returns {Source} */
export function stillSource(blob, name, sink) {
  let bitmap = null;
  const source = {
    kind: 'still', name, still: true, stallable: false, stopped: false, lastProgress: performance.now(),
    start() {
      createImageBitmap(blob).then((b) => {
        if (source.stopped) { b.close(); return; }
        bitmap = b;
        source.redraw();
        sink.ended();
      }, () => { if (!source.stopped) sink.failed(`The browser cannot decode ${name}: choose another file or source.`); });
    },
    // Not closed: a frame of it may still be on its way to the core (the collector frees it).
    stop() { source.stopped = true; bitmap = null; },
    pause() {},
    resume() {},
    redraw() {
      if (!bitmap || source.stopped) return;
      if (sink.videoFrames) offerFrame(sink, new VideoFrame(bitmap, { timestamp: 0 }), { still: true });
      else sink.frame({ image: bitmap, width: bitmap.width, height: bitmap.height, still: true });
    },
  };
  return source;
}

const kStillTypes = ['image/png', 'image/jpeg'];
export const kAcceptedFiles = 'video/*,image/png,image/jpeg';

/**
 * A source for a file the page's own server serves (/media/NAME): a missing file is "not
 * found", a PNG or JPEG a still, anything else a video. Resolves to a Source, or throws an
 * Error whose message says what went wrong.
 */
export async function mediaSource(path, loop, sink) {
  const name = decodeURIComponent(path.slice('/media/'.length));
  let response;
  try {
    response = await fetch(path, { method: 'HEAD', cache: 'no-store' });
  } catch (error) {
    throw new Error(`${name} could not be fetched from the page's server (${error.message}): is scripts/web still running?`);
  }
  if (response.status === 404) throw new Error(`${name} was not found on the page's server (404): check the name given to source=/media/, or the folder given to --media.`);
  const headless = response.status === 405 || response.status === 501;  // a host that answers no HEAD
  if (!response.ok && !headless) throw new Error(`${name} could not be fetched from the page's server (status ${response.status}).`);
  const type = headless ? '' : (response.headers.get('content-type') || '').split(';')[0].trim();
  if (kStillTypes.includes(type) || /\.(png|jpe?g)$/i.test(name)) {
    const body = await fetch(path, { cache: 'no-store' });
    if (!body.ok) throw new Error(`${name} could not be fetched from the page's server (status ${body.status}).`);
    return stillSource(await body.blob(), name, sink);
  }
  return videoSource(path, name, loop, sink);
}

/** A source for a file the user chose. */
export function chosenFileSource(file, loop, sink) {
  if (kStillTypes.includes(file.type)) return stillSource(file, file.name, sink);
  return videoSource(URL.createObjectURL(file), file.name, loop, sink);
}
