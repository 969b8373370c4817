// Both WebAssembly builds against the native program: for every mode, the frames the kernel
// tests use (the generated pictures, odd and full sizes) go through each build's fast path and
// its plain path, and through every other table of the SIMD build (the native kernel tests
// cannot run these), and every surface must equal what the native pixelwell-filter writes with
// the scalar table. And the frozen view's re-runs: the last frame run again in each mode equals the
// filter with that mode chosen before it, and the live run then goes on as if none had run.
// Every operation at once, as the grid's cells run it. The entry's own passes too: a page's 32-bit pixels (R,G,B,A or B,G,R,A, top-down) and a
// camera's I420 frames into the core's bottom-up B,G,R, and the result as the worker draws and
// records it.
// Usage: node core_equivalence.js SITE_DIR   (env PIXELWELL_FILTER, PIXELWELL_CLIP)
const { execFileSync } = require('child_process');
const { loadModule } = require('./load_module');

const site = process.argv[2];
const filter = process.env.PIXELWELL_FILTER;
const clip = process.env.PIXELWELL_CLIP;
if (!site || !filter || !clip) {
  console.error('usage: PIXELWELL_FILTER=... PIXELWELL_CLIP=... node core_equivalence.js SITE_DIR');
  process.exit(2);
}

const cases = [
  { picture: 'shapes', width: 640, height: 480, frames: 10 },
  { picture: 'noise', width: 101, height: 67, frames: 10 },
  { picture: 'bars', width: 1280, height: 720, frames: 3 },
  { picture: 'shapes', width: 3, height: 5, frames: 4 },
];

function native(c, mode, frames) {
  return execFileSync(filter, ['--size', `${c.width}x${c.height}`, ...[].concat(mode).flatMap((m) => ['--mode', m])], {
    input: frames, stdio: ['pipe', 'pipe', 'ignore'], maxBuffer: 1 << 30, env: { ...process.env, PIXELWELL_SCALAR: '1' },
  });
}

function run(m, c, mode, frames, plain) {
  m._pw_reset();
  m._pw_set_size(c.width, c.height);
  m._pw_select_mode(mode);
  const frameBytes = c.width * c.height * 3, outBytes = c.width * c.height * 4;
  const out = Buffer.alloc(outBytes * c.frames);
  for (let n = 0; n < c.frames; ++n) {
    m.HEAPU8.set(frames.subarray(n * frameBytes, (n + 1) * frameBytes), m._pw_frame());
    plain ? m._pw_process_plain() : m._pw_process();
    out.set(m.HEAPU8.subarray(m._pw_result(), m._pw_result() + outBytes), n * outBytes);
  }
  return out;
}

// Live in average8 over all frames but the last; re-run the frame before in each mode; then the last.
const expectations = new Map();  // the filter's answers, the same for both builds
function nativeOnce(c, modes, frames) {
  const key = `${c.picture} ${c.width}x${c.height} ${modes.join(' ')}`;
  if (!expectations.has(key)) expectations.set(key, native(c, modes, frames));
  return expectations.get(key);
}

function rerunChecks(m, c, frames, modes) {
  const frameBytes = c.width * c.height * 3, outBytes = c.width * c.height * 4;
  const last = (out) => out.subarray(out.length - outBytes);
  const result = () => Buffer.from(m.HEAPU8.slice(m._pw_result(), m._pw_result() + outBytes));
  const live = nativeOnce(c, ['average8'], frames);
  let failures = 0;
  for (const { mode, name } of modes) {
    m._pw_reset();
    m._pw_set_size(c.width, c.height);
    m._pw_select_mode(1405);
    for (let n = 0; n < c.frames - 1; ++n) {
      m.HEAPU8.set(frames.subarray(n * frameBytes, (n + 1) * frameBytes), m._pw_frame());
      m._pw_process();
    }
    const shown = result();
    m._pw_rerun(mode);
    const rerun = result();
    m._pw_rerun(1421);  // a second re-run starts from the same records
    m._pw_rerun(mode);
    const again = result();
    m._pw_release();
    m.HEAPU8.set(frames.subarray((c.frames - 1) * frameBytes), m._pw_frame());
    m._pw_process();
    const before = frames.subarray(0, (c.frames - 1) * frameBytes);
    // Mode none draws nothing: the view stays as it was.
    const expected = name === 'none' ? shown : last(nativeOnce(c, ['average8', `${name}@${c.frames - 2}`], before));
    const goesOn = result().equals(last(live)) && shown.equals(live.subarray((c.frames - 2) * outBytes, (c.frames - 1) * outBytes));
    if (!rerun.equals(expected) || !again.equals(expected) || !goesOn) {
      console.error(`FAIL re-run of ${name} ${c.picture} ${c.width}x${c.height}: equal ${rerun.equals(expected)}, again ${again.equals(expected)}, live run goes on ${goesOn}`);
      ++failures;
    }
  }
  return failures;
}

// Random pixels at widths around the 16-pixel steps, each conversion against its plain reading.
function conversionChecks(m, variant) {
  let failures = 0, seed = 12345;
  const random = () => (seed = (seed * 1103515245 + 12345) >>> 0) >>> 24;
  for (const [w, h] of [[1, 1], [15, 3], [16, 2], [17, 5], [33, 4], [639, 3], [640, 2], [1280, 2], [9, 7]]) {
    const pixels = Uint8Array.from({ length: w * h * 4 }, random);
    m._pw_set_size(w, h);
    for (const [name, order] of [['rgba', [2, 1, 0]], ['bgra', [0, 1, 2]]]) {
      m.HEAPU8.set(pixels, m._pw_source_rgba());
      m[`_pw_frame_from_${name}`]();
      const got = m.HEAPU8.subarray(m._pw_frame(), m._pw_frame() + w * h * 3);
      const expected = new Uint8Array(w * h * 3);
      for (let i = 0; i < h; ++i) for (let x = 0; x < w; ++x)
        for (let c = 0; c < 3; ++c) expected[(i * w + x) * 3 + c] = pixels[((h - 1 - i) * w + x) * 4 + order[c]];
      const at = got.findIndex((b, k) => b !== expected[k]);
      if (at >= 0) {
        console.error(`FAIL ${variant}: ${name} pixels into the core's layout at ${w}x${h}: byte ${at} is ${got[at]}, not ${expected[at]}`);
        ++failures;
      }
    }
    // An I420 frame (odd sizes have a last half-used chroma sample), each matrix and range.
    const cw = (w + 1) >> 1, ch = (h + 1) >> 1, yuv = Uint8Array.from({ length: w * h + 2 * cw * ch }, random);
    for (const [bt709, full] of [[0, 0], [1, 0], [0, 1], [1, 1]]) {
      m.HEAPU8.set(yuv, m._pw_source_yuv());
      m._pw_frame_from_i420(0, w, w * h, cw, w * h + cw * ch, cw, bt709, full);
      const k = [[[298, 409, -100, -208, 516], [256, 359, -88, -183, 454]], [[298, 459, -55, -136, 541], [256, 403, -48, -120, 475]]][bt709][full];
      const clamp = (x) => Math.max(0, Math.min(255, x));
      const bgr = new Uint8Array(w * h * 3), rgba = new Uint8Array(w * h * 4);
      for (let row = 0; row < h; ++row) for (let x = 0; x < w; ++x) {
        const c = k[0] * (yuv[row * w + x] - (full ? 0 : 16));
        const d = yuv[w * h + (row >> 1) * cw + (x >> 1)] - 128, e = yuv[w * h + cw * ch + (row >> 1) * cw + (x >> 1)] - 128;
        const rgb = [clamp((c + k[1] * e + 128) >> 8), clamp((c + k[2] * d + k[3] * e + 128) >> 8), clamp((c + k[4] * d + 128) >> 8)];
        for (let j = 0; j < 3; ++j) { bgr[((h - 1 - row) * w + x) * 3 + 2 - j] = rgb[j]; rgba[(row * w + x) * 4 + j] = rgb[j]; }
        rgba[(row * w + x) * 4 + 3] = 255;
      }
      const frame = m.HEAPU8.subarray(m._pw_frame(), m._pw_frame() + w * h * 3);
      const view = m.HEAPU8.subarray(m._pw_source_rgba(), m._pw_source_rgba() + w * h * 4);
      if (!Buffer.from(frame).equals(Buffer.from(bgr)) || !Buffer.from(view).equals(Buffer.from(rgba))) {
        console.error(`FAIL ${variant}: an I420 frame at ${w}x${h} (${bt709 ? 'BT.709' : 'BT.601'}, ${full ? 'full' : 'limited'} range) ` +
          `differs from the formula: the core's frame ${Buffer.from(frame).equals(Buffer.from(bgr))}, the view's ${Buffer.from(view).equals(Buffer.from(rgba))}`);
        ++failures;
      }
    }
    // The worker's two passes out of the surface equal the one the main thread's frames take.
    m._pw_reset();
    m._pw_select_mode(1402);
    m._pw_process();
    const pixels4 = w * h * 4, result = m._pw_result(), rgba = m._pw_result_rgba();
    const expected = [Buffer.from(m.HEAPU8.slice(result, result + pixels4)), Buffer.from(m.HEAPU8.slice(rgba, rgba + pixels4))];
    m.HEAPU8.fill(7, result, result + pixels4);
    m.HEAPU8.fill(7, rgba, rgba + pixels4);
    m._pw_read_result();
    m._pw_result_to_rgba();
    const got = [Buffer.from(m.HEAPU8.subarray(result, result + pixels4)), Buffer.from(m.HEAPU8.subarray(rgba, rgba + pixels4))];
    if (!got[0].equals(expected[0]) || !got[1].equals(expected[1])) {
      console.error(`FAIL ${variant}: the worker's result (${got[0].equals(expected[0])}) or view pixels (${got[1].equals(expected[1])}) differ at ${w}x${h}`);
      ++failures;
    }
  }
  return failures;
}

// The grid: one core per mode at once, every cell equal to the filter in its mode on the same
// frames; then the single view's core back, as at its start. And the largest grid (24 cells of
// 320x480), in turn with the single view and a re-run, fits the module's fixed memory.
function gridChecks(m, variant, c, frames, modes) {
  let failures = 0;
  const frameBytes = c.width * c.height * 3, outBytes = c.width * c.height * 4;
  m._pw_grid_start(c.width, c.height, modes.length);
  modes.forEach(({ mode }, i) => m._pw_grid_select(i, mode));
  const got = modes.map(() => Buffer.alloc(outBytes * c.frames));
  for (let n = 0; n < c.frames; ++n) {
    m.HEAPU8.set(frames.subarray(n * frameBytes, (n + 1) * frameBytes), m._pw_frame());
    m._pw_grid_process();
    m._pw_grid_read_results();
    got.forEach((out, i) => out.set(m.HEAPU8.subarray(m._pw_grid_results() + i * outBytes, m._pw_grid_results() + (i + 1) * outBytes), n * outBytes));
  }
  m._pw_grid_stop();
  modes.forEach(({ name }, i) => {
    if (!got[i].equals(nativeOnce(c, [name], frames))) {
      console.error(`FAIL ${variant}: the grid's ${name} cell differs from the filter at ${c.width}x${c.height}`);
      ++failures;
    }
  });
  const single = run(m, c, 1421, frames, false);
  if (!single.equals(nativeOnce(c, ['sobel-x'], frames))) {
    console.error(`FAIL ${variant}: after the grid, the single view's core differs from the filter`);
    ++failures;
  }
  try {
    for (let round = 0; round < 3; ++round) {
      m._pw_set_size(1280, 720);
      m._pw_select_mode(1421);
      m._pw_process();
      m._pw_process();
      m._pw_rerun(1433);
      if (!m._pw_grid_start(320, 480, 24)) throw new Error('refused');
      m._pw_grid_process();
      m._pw_grid_read_results();
      m._pw_grid_stop();
    }
  } catch (error) {
    console.error(`FAIL ${variant}: the largest grid in turn with the single view: ${error.message || error}`);
    ++failures;
  }
  return failures;
}

(async () => {
  let failures = 0, checked = 0;
  const builds = { simd: await loadModule(site, 'simd'), scalar: await loadModule(site, 'scalar') };
  const tables = Object.fromEntries(Object.entries(builds).map(([k, m]) => [k, m.UTF8ToString(m._pw_kernels())]));
  console.log(`kernel tables: simd build ${tables.simd}, scalar build ${tables.scalar}`);
  const variants = [{ variant: 'simd', m: builds.simd, table: 'wasm', paths: [false, true] },
    { variant: 'simd (ssse3 table)', m: builds.simd, table: 'ssse3', paths: [false] },
    { variant: 'simd (sse2 table)', m: builds.simd, table: 'sse2', paths: [false] },
    { variant: 'scalar', m: builds.scalar, table: 'scalar', paths: [false, true] }];
  if (tables.simd !== 'wasm') { console.error(`FAIL the SIMD build runs the ${tables.simd} table, not its own (wasm)`); failures += 1; }
  for (const [variant, m] of Object.entries(builds)) {
    const failed = conversionChecks(m, variant);
    failures += failed;
    console.log(`${variant}: the pixel conversions and the result's passes ${failed ? 'FAILED' : 'equal their references'}`);
  }
  for (const c of cases) {
    const frames = execFileSync(clip, ['--width', c.width, '--height', c.height, '--frames', c.frames,
      '--picture', c.picture], { maxBuffer: 1 << 30 });
    const m0 = builds.simd;
    const expected = [...Array(m0._pw_positions()).keys()].map((p) => native(c, String(m0._pw_position_mode(p)), frames));
    // The SIMD build's own table (wasm) and the scalar build, fast and plain paths; the SIMD
    // build's SSE tables as Emscripten maps them, fast path, where the frames are small.
    for (const { variant, m, table, paths } of variants) {
      if (table !== 'wasm' && table !== 'scalar' && c.width * c.height > 640 * 480) continue;
      m._pw_use_kernels(table);
      for (let p = 0; p < m0._pw_positions(); ++p) {
        const mode = m0._pw_position_mode(p), name = m0.UTF8ToString(m0._pw_position_name(p));
        for (const plain of paths) {
          const got = run(m, c, mode, frames, plain);
          ++checked;
          if (!got.equals(expected[p])) {
            const at = got.findIndex((b, i) => b !== expected[p][i]);
            const frameAt = Math.floor(at / (c.width * c.height * 4));
            console.error(`FAIL ${variant}${plain ? ' plain' : ''} ${name} ${c.picture} ${c.width}x${c.height}: ` +
              `first differing byte ${at} (frame ${frameAt}): ${got[at]} instead of ${expected[p][at]}`);
            ++failures;
          }
        }
      }
      m._pw_use_kernels(m === builds.simd ? 'wasm' : 'scalar');
    }
    console.log(`${c.picture} ${c.width}x${c.height}, ${c.frames} frames: every mode compared`);
    if (c.picture !== 'noise') continue;  // one odd size says as much: each re-run copies 71 MB of records
    // The kernel mode as the page sets it (ROWS and divisor through the module's own syntax), a
    // 5x5 whose values leave 16 bits, fast and plain paths of both builds, against the filter.
    const rows = '1,-4,6,-4,1/-4,16,-24,16,-4/6,-24,900,-24,6/-4,16,-24,16,-4/1,-4,6,-4,1';
    const expectedKernel = execFileSync(filter, ['--size', `${c.width}x${c.height}`, '--kernel', rows, '--divisor', '7'],
      { input: frames, maxBuffer: 1 << 30, env: { ...process.env, PIXELWELL_SCALAR: '1' } });
    for (const [variant, m] of Object.entries(builds)) {
      const text = (t) => { const at = m._malloc(t.length + 1); m.stringToUTF8(t, at, t.length + 1); return at; };
      const [r, d] = [text(rows), text('7')];
      const taken = m._pw_kernel_set(r, d);
      m._free(r); m._free(d);
      for (const plain of [false, true]) {
        const got = taken === 1 ? run(m, c, 1460, frames, plain) : Buffer.alloc(0);
        ++checked;
        if (!got.equals(expectedKernel)) {
          console.error(`FAIL ${variant}${plain ? ' plain' : ''}: the kernel mode with --kernel ${rows} --divisor 7 (taken: ${taken}) differs from the filter`);
          ++failures;
        }
      }
      console.log(`${variant}, ${c.picture} ${c.width}x${c.height}: the kernel mode with a 5x5 of its own equals the filter`);
    }
    const modes = [...Array(m0._pw_positions()).keys()].map((p) => ({ mode: m0._pw_position_mode(p), name: m0.UTF8ToString(m0._pw_position_name(p)) }));
    for (const [variant, m] of Object.entries(builds)) {
      const cells = modes.filter((op) => op.name !== 'none');
      const failed = gridChecks(m, variant, c, frames, cells);
      failures += failed;
      checked += cells.length + 1;
      console.log(`${variant}, ${c.picture} ${c.width}x${c.height}: the grid's ${cells.length} cells ${failed ? 'FAILED' : 'equal the filter'}, and the largest grid fits`);
    }
    for (const [variant, m] of Object.entries(builds)) {
      const failed = rerunChecks(m, c, frames, modes);
      failures += failed;
      checked += modes.length;
      console.log(`${variant}, ${c.picture} ${c.width}x${c.height}: ${modes.length - failed} of ${modes.length} re-runs while frozen equal the filter`);
    }
  }
  console.log(`${checked - failures} of ${checked} runs and re-runs equal pixelwell-filter's output`);
  process.exit(failures ? 1 : 0);
})().catch((e) => { console.error(e); process.exit(1); });
