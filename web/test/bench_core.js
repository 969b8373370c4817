// The core's time per frame in node: the SIMD and scalar WebAssembly builds, and OpenCV.js
// running the nearest pipeline of each mode (the same pipelines as bench/bench_opencv.cpp, with
// the same ring copy and 32-bit output). Eight frames of the moving test picture, in turn.
// Prints JSON: {sizes: {WxH: {mode: {simd, scalar, opencv}}}} in ms per frame, the minimum of
// several rounds' means. Usage: node bench_core.js SITE_DIR   (env PIXELWELL_CLIP;
// PIXELWELL_BENCH_ROUNDS: rounds, default 3; PIXELWELL_BENCH_ONLY=simd: the SIMD build alone)
const { execFileSync } = require('child_process');
const { performance } = require('perf_hooks');
const { loadModule } = require('./load_module');

const site = process.argv[2];
const sizes = [[640, 480], [1280, 720]];
const kRounds = Number(process.env.PIXELWELL_BENCH_ROUNDS || 3);
const simdOnly = process.env.PIXELWELL_BENCH_ONLY === 'simd';

function framesOf(w, h) {
  const bytes = execFileSync(process.env.PIXELWELL_CLIP, ['--width', w, '--height', h, '--frames', '8'], { maxBuffer: 1 << 28 });
  return Array.from({ length: 8 }, (_, n) => bytes.subarray(n * w * h * 3, (n + 1) * w * h * 3));
}

function best(perRound, run) {
  let min = Infinity;
  for (let r = 0; r < kRounds; ++r) {
    const t0 = performance.now();
    for (let i = 0; i < perRound; ++i) run(i);
    min = Math.min(min, (performance.now() - t0) / perRound);
  }
  return min;
}

function timeWasm(m, w, h, frames, mode, perRound) {
  m._pw_reset();
  m._pw_set_size(w, h);
  m._pw_select_mode(mode);
  const at = m._pw_frame();
  const step = (i) => { m.HEAPU8.set(frames[i & 7], at); m._pw_process_only(); };
  for (let i = 0; i < 16; ++i) step(i);
  // The copy into the module's memory is the page's, not the core's: timed apart and taken off.
  const copy = best(perRound, (i) => m.HEAPU8.set(frames[i & 7], at));
  return best(perRound, step) - copy;
}

async function loadOpenCv() {
  // The module is a thenable that resolves to itself, so it is never awaited nor returned from
  // an async function (either would adopt it without end): wait for its runtime, hand it boxed.
  const cv = require('@techstark/opencv-js');
  if (!cv.Mat) await new Promise((resolve) => { cv.onRuntimeInitialized = resolve; });
  return { cv };
}

function openCvPipelines(cv) {
  const a = new cv.Mat(), b = new cv.Mat(), c = new cv.Mat(), gray = new cv.Mat(), values = new cv.Mat();
  const levels = new cv.Mat(), hist = new cv.Mat(), none = new cv.Mat();
  const toGray = (f) => { cv.cvtColor(f, gray, cv.COLOR_BGR2GRAY); return gray; };
  const lut = new Uint8Array(256);
  const histogram = (m) => {
    const v = new cv.MatVector(); v.push_back(m);
    cv.calcHist(v, [0], none, hist, [256], [0, 256]);
    v.delete();
    return hist.data32F;
  };
  const normaliseAndShow = (vals, out) => {
    const { minVal: lo, maxVal: hi } = cv.minMaxLoc(vals);
    const scale = hi > lo ? 255 / (hi - lo) : 1;
    vals.convertTo(levels, cv.CV_8U, scale, -lo * scale);
    const h = histogram(levels), tail = Math.floor(levels.total() / 20);
    let low = 0, high = 255, sum = 0;
    for (let l = 0; l < 256; ++l) if ((sum += h[l]) < tail) low = l;
    sum = 255;
    for (let l = 255; l >= 1; --l) if ((sum += h[l]) < tail) high = l;
    for (let l = 0; l < 256; ++l) lut[l] = l <= low ? 0 : l >= high ? 255 : Math.floor(255 * (l - low) / Math.max(1, high - low));
    // OpenCV.js has no LUT: the table is applied in JS, in place.
    const d = levels.data;
    for (let i = 0; i < d.length; ++i) d[i] = lut[d[i]];
    cv.cvtColor(levels, out, cv.COLOR_GRAY2BGRA);
  };
  const kernel3 = (w, d) => cv.matFromArray(3, 3, cv.CV_32F, w.map((x) => x / d));
  const filter = (k) => (f, r, s, o) => { cv.filter2D(toGray(f), values, cv.CV_16S, k); normaliseAndShow(values, o); };
  const sum16 = new cv.Mat(), mean = new cv.Mat(), wide = new cv.Mat();
  const average = (count) => (f, r, s, o) => {
    r[s & 7].convertTo(sum16, cv.CV_16U);
    for (let k = 1; k < count; ++k) { r[(s + 8 - k) & 7].convertTo(wide, cv.CV_16U); cv.add(sum16, wide, sum16); }
    sum16.convertTo(mean, cv.CV_8U, 1 / count);
    cv.cvtColor(mean, o, cv.COLOR_BGR2BGRA);
  };
  const k5 = cv.matFromArray(5, 5, cv.CV_32F, new Array(25).fill(1 / 25));
  const h5 = cv.matFromArray(5, 5, cv.CV_32F, new Array(25).fill(-1 / 25).map((x, i) => (i === 12 ? 24 / 25 : x)));
  let s127 = null;
  const squares = new cv.Mat(), total = new cv.Mat(), mask = new cv.Mat(), ones = cv.matFromArray(1, 3, cv.CV_32F, [1, 1, 1]);
  return {
    normal: (f, r, s, o) => cv.cvtColor(f, o, cv.COLOR_BGR2BGRA),
    invert: (f, r, s, o) => { cv.bitwise_not(f, a); cv.cvtColor(a, o, cv.COLOR_BGR2BGRA); },
    average2: average(2), average4: average(4), average8: average(8),
    'frame-diff': (f, r, s, o) => {
      cv.subtract(r[s & 7], r[(s + 7) & 7], a);
      if (!s127 || s127.rows !== a.rows) {
        if (s127) s127.delete();
        s127 = new cv.Mat(a.rows, a.cols, a.type(), new cv.Scalar(127, 127, 127, 0));
      }
      cv.add(a, s127, a);
      cv.cvtColor(a, o, cv.COLOR_BGR2BGRA);
    },
    'simple-diff': (f, r, s, o) => { cv.absdiff(f, r[(s + 1) & 7], a); cv.cvtColor(a, o, cv.COLOR_BGR2BGRA); },
    diff: (f, r, s, o) => {
      cv.absdiff(f, r[(s + 1) & 7], a);
      a.convertTo(wide, cv.CV_32S);
      cv.multiply(wide, wide, squares);
      squares.convertTo(squares, cv.CV_32F);
      cv.transform(squares, total, ones);
      cv.threshold(total, mask, 360, 255, cv.THRESH_BINARY);
      mask.convertTo(mask, cv.CV_8U);
      f.copyTo(a, mask);
      cv.cvtColor(a, o, cv.COLOR_BGR2BGRA);
    },
    gray: (f, r, s, o) => cv.cvtColor(toGray(f), o, cv.COLOR_GRAY2BGRA),
    'laplacian-a': filter(kernel3([0, -1, 0, -1, 4, -1, 0, -1, 0], 1)),
    'laplacian-b': filter(kernel3([-1, -1, -1, -1, 8, -1, -1, -1, -1], 1)),
    'laplacian-c': filter(kernel3([1, -2, 1, -2, 4, -2, 1, -2, 1], 1)),
    'sobel-x': (f, r, s, o) => { cv.Sobel(toGray(f), b, cv.CV_16S, 1, 0); normaliseAndShow(b, o); },
    'sobel-y': (f, r, s, o) => { cv.Sobel(toGray(f), b, cv.CV_16S, 0, 1); normaliseAndShow(b, o); },
    lowpass3: filter(kernel3([1, 1, 1, 1, 1, 1, 1, 1, 1], 9)),
    highpass3: filter(kernel3([-1, -1, -1, -1, 8, -1, -1, -1, -1], 9)),
    lowpass5: filter(k5),
    highpass5: filter(h5),
    min3: (f, r, s, o) => { cv.erode(toGray(f), c, cv.Mat.ones(3, 3, cv.CV_8U)); cv.cvtColor(c, o, cv.COLOR_GRAY2BGRA); },
    max3: (f, r, s, o) => { cv.dilate(toGray(f), c, cv.Mat.ones(3, 3, cv.CV_8U)); cv.cvtColor(c, o, cv.COLOR_GRAY2BGRA); },
    median3: (f, r, s, o) => { cv.medianBlur(toGray(f), c, 3); cv.cvtColor(c, o, cv.COLOR_GRAY2BGRA); },
    mean3: (f, r, s, o) => { cv.blur(toGray(f), c, new cv.Size(3, 3)); cv.cvtColor(c, o, cv.COLOR_GRAY2BGRA); },
    binarize: (f, r, s, o) => {
      const g = toGray(f);
      const { minVal: lo, maxVal: hi } = cv.minMaxLoc(g);
      const scale = hi > lo ? 255 / (hi - lo) : 1;
      g.convertTo(levels, cv.CV_8U, scale, -lo * scale);
      const h = histogram(levels);
      let sum = 0, median = 255;
      for (let l = 0; l < 256; ++l) if ((sum += h[l]) >= levels.total() / 2) { median = l; break; }
      cv.threshold(levels, c, median - 1, 255, cv.THRESH_BINARY);
      cv.cvtColor(c, o, cv.COLOR_GRAY2BGRA);
    },
  };
}

function timeOpenCv(cv, pipeline, w, h, frames, perRound) {
  const frame = new cv.Mat(h, w, cv.CV_8UC3);
  const ring = Array.from({ length: 8 }, () => new cv.Mat(h, w, cv.CV_8UC3));
  const out = new cv.Mat();
  let n = 0;
  const step = (i) => {
    frame.data.set(frames[i & 7]);
    const slot = ++n & 7;
    ring[slot].data.set(frame.data);  // the ring copy processFrame makes
    pipeline(frame, ring, slot, out);
  };
  for (let i = 0; i < 16; ++i) step(i);
  const copy = best(perRound, (i) => frame.data.set(frames[i & 7]));
  const ms = best(perRound, step) - copy;
  [frame, ...ring, out].forEach((mat) => mat.delete());
  return ms;
}

(async () => {
  const builds = { simd: await loadModule(site, 'simd'), scalar: simdOnly ? null : await loadModule(site, 'scalar') };
  const cv = simdOnly ? null : (await loadOpenCv()).cv;
  if (cv && cv.setNumThreads) cv.setNumThreads(1);
  const pipelines = cv ? openCvPipelines(cv) : null;
  const m = builds.simd;
  const result = { sizes: {} };
  for (const [w, h] of sizes) {
    const frames = framesOf(w, h);
    // Every mode first, in both builds, then a pause: the engine compiles a module's functions
    // quickly first and optimises those that run, in the background; the modes timed first
    // were otherwise timed before that (normal at 640x480 at 4x the native table's time).
    for (const m of [builds.simd, builds.scalar]) {
      if (!m) continue;
      for (let p = 1; p < m._pw_positions(); ++p) timeWasm(m, w, h, frames, m._pw_position_mode(p), 2);
    }
    Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 500);
    const perRound = w * h > 400000 ? 12 : 24;
    const table = (result.sizes[`${w}x${h}`] = {});
    for (let p = 1; p < m._pw_positions(); ++p) {
      const mode = m._pw_position_mode(p), name = m.UTF8ToString(m._pw_position_name(p));
      table[name] = { simd: timeWasm(builds.simd, w, h, frames, mode, perRound) };
      if (!simdOnly) {
        table[name].scalar = timeWasm(builds.scalar, w, h, frames, mode, perRound);
        table[name].opencv = timeOpenCv(cv, pipelines[name], w, h, frames, perRound);
      }
      process.stderr.write(`${w}x${h} ${name}: ${JSON.stringify(table[name])}\n`);
    }
  }
  console.log(JSON.stringify(result));
})().catch((e) => { console.error(e); process.exit(1); });
