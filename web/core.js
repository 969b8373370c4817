// The core's client: chooses and loads one of the two WebAssembly builds (SIMD128 where the
// browser validates it) and makes every call into it, on the page's main thread or in its
// worker. What the page knows of modes, operations and the explanation's layout comes from the
// module itself (pw_page_info), and the main thread keeps that (CoreInfo) wherever the module runs.

// A module holding one SIMD128 instruction validates only where WebAssembly SIMD exists.
function hasSimd() {
  try {
    return WebAssembly.validate(new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3,
      2, 1, 0, 10, 10, 1, 8, 0, 65, 0, 253, 15, 253, 98, 11]));
  } catch (e) { return false; }
}

function loadScript(src) {
  return new Promise((resolve, reject) => {
    const s = document.createElement('script');
    s.src = src;
    s.onload = resolve;
    s.onerror = () => reject(new Error(`${src} could not be loaded`));
    document.head.appendChild(s);
  });
}

const kServeAdvice = 'Serve the whole folder of the page (scripts/web does, or any static host that serves .wasm as application/wasm) and reload.';

/** The build to load: simd where the browser validates SIMD128 and scalar was not asked for. */
export function chooseBuild(scalar) {
  if (typeof WebAssembly !== 'object') throw new Error('This browser has no WebAssembly: the page cannot run here.');
  const simd = hasSimd();
  const build = scalar || !simd ? 'scalar' : 'simd';
  const note = !simd ? 'This browser has no WebAssembly SIMD: the scalar build is used (the same results, more slowly).'
    : scalar ? 'simd=0: the scalar build is used.' : '';
  return { build, note };
}

/** The module of a build whose script is loaded (createPixelwell defined); its errors say what to do. */
export async function startModule(build) {
  let m;
  try {
    // eslint-disable-next-line no-undef
    m = await createPixelwell({ printErr: () => {} });
  } catch (error) {
    const reason = (error && error.message) || String(error);
    throw new Error(`pixelwell-${build}.wasm could not be loaded (${reason}). ${kServeAdvice}`);
  }
  m._pw_init();
  return new Core(m, build);
}

/** The message for a build's script that could not be loaded. */
export function scriptMissing(build) { return `pixelwell-${build}.js could not be loaded: ${kServeAdvice}`; }

/** Loads the build the browser can run (scalar when asked) on this thread: { core, note }. */
export async function loadCore(scalar) {
  const { build, note } = chooseBuild(scalar);
  try {
    await loadScript(`pixelwell-${build}.js`);
  } catch (error) {
    throw new Error(scriptMissing(build));
  }
  return { core: await startModule(build), note };
}

/** What the module says of itself (pw_page_info, its version and build), as plain data. */
export function describe(m, build) {
  return { build, version: m.UTF8ToString(m._pw_version()), ...JSON.parse(m.UTF8ToString(m._pw_page_info())),
           presets: JSON.parse(m.UTF8ToString(m._pw_kernel_presets())) };
}

/** The operations, texts and layouts, wherever the module runs. */
export class CoreInfo {
  constructor(info) {
    this.build = info.build;
    this.version = info.version;
    /** The operations in the menu's order: {id, name, label, key, family, takesReference}; 0 is none. */
    this.operations = info.operations;
    this.none = info.none;
    this.maxSide = info.maxSide;
    /** Offsets into the explanation block, and its length (fields). */
    this.explainLayout = info.explain;
    /** The program's own texts: control, result, tooLarge, noDevice, formatError. */
    this.texts = info.texts;
    /** The kernel mode's identifier on the page (its last operation), and the kernels offered:
     *  {name, rows, divisor, mode} (mode: the filter's name for the nine, '' for the others). */
    this.kernelMode = info.kernelMode;
    this.presets = info.presets;
  }

  /** The operation of a mode, or null when the menu has none. */
  operation(mode) { return this.operations.find((op) => op.id === mode) || null; }
  position(mode) { return this.operations.findIndex((op) => op.id === mode); }
  /** As the program's keys: a capital is its small letter, = is the + key unshifted. */
  operationForKey(key) {
    const k = key === '=' ? '+' : key.toLowerCase();
    return this.operations.find((op) => op.key === k) || null;
  }
  /** The mode's name, or its number where it has none. */
  modeName(mode) { const op = this.operation(mode); return op ? op.name : String(mode); }
  /** "ゾーベル X方向 sobel-x", or the bare name where the menu has no label. */
  title(mode) {
    const op = this.operation(mode);
    return op ? `${op.label ? op.label + ' ' : ''}${op.name}` : this.modeName(mode);
  }
}

export class Core extends CoreInfo {
  constructor(m, build) {
    super(describe(m, build));
    this.m = m;
    this.heap = m.HEAPU8;  // the memory never grows, so this view stays valid
    this.width = 0;
    this.height = 0;
  }

  // The module's own answers where it has them (the kernel mode is the page's list's own).
  position(mode) { const p = this.m._pw_position_of_mode(mode); return p >= 0 ? p : super.position(mode); }
  operationForKey(key) {
    const p = this.m._pw_position_for_key(key.charCodeAt(0));
    return p >= 0 ? this.operations[p] : super.operationForKey(key);
  }
  /** Calls fn with the texts in the module's memory (freed after). */
  withTexts(texts, fn) {
    const m = this.m;
    const at = texts.map((t) => { const n = m.lengthBytesUTF8(t) + 1, a = m._malloc(n); m.stringToUTF8(t, a, n); return a; });
    try { return fn(...at); } finally { for (const a of at) m._free(a); }
  }
  modeName(mode) { return this.m.UTF8ToString(this.m._pw_mode_name(mode)); }

  setSize(width, height) {
    if (!this.m._pw_set_size(width, height)) return false;
    this.width = width;
    this.height = height;
    return true;
  }
  /** Every record back to its start, the surface all zero. */
  reset() { this.m._pw_reset(); }
  /** As the menu command chooses a mode (a reference mode takes a new reference). */
  select(mode) { this.m._pw_select_mode(mode); }
  mode() { return this.m._pw_mode(); }

  /** The frame from a canvas's pixels (RGBA, top-down) into the core's layout. */
  putRgba(data) {
    this.heap.set(data, this.m._pw_source_rgba());
    this.m._pw_frame_from_rgba();
  }
  /** Where a frame's pixels go (width x height x 4 bytes, top-down), for putPixels. */
  pixelBuffer() {
    const at = this.m._pw_source_rgba();
    return this.heap.subarray(at, at + this.width * this.height * 4);
  }
  /**
   * A VideoFrame in I420 at the core's size into the core's layout and pixelBuffer() (RGBA),
   * converted by the module: copied as it is (its planes), which costs a sixth of the browser's
   * own conversion. False, and nothing done, for a colour matrix the module does not know.
   */
  async putI420(frame) {
    const cs = frame.colorSpace || {};
    if (frame.format !== 'I420' || ![null, 'bt709', 'smpte170m', 'bt470bg'].includes(cs.matrix ?? null)) return false;
    const at = this.m._pw_source_yuv(), size = frame.allocationSize();
    if (size > this.m._pw_source_yuv_bytes()) return false;
    const [y, u, v] = await frame.copyTo(this.heap.subarray(at, at + size));
    this.m._pw_frame_from_i420(y.offset, y.stride, u.offset, u.stride, v.offset, v.stride, cs.matrix === 'bt709' ? 1 : 0, cs.fullRange ? 1 : 0);
    return true;
  }
  /** The pixels in pixelBuffer() (R,G,B,A or, bgra, B,G,R,A) into the core's layout. */
  putPixels(bgra) { if (bgra) this.m._pw_frame_from_bgra(); else this.m._pw_frame_from_rgba(); }
  /** The pixels in pixelBuffer(), as they are, for the source view (RGBA). */
  pixelImage() { return new ImageData(new Uint8ClampedArray(this.heap.buffer, this.m._pw_source_rgba(), this.width * this.height * 4), this.width, this.height); }
  /** Frame n of the moving test picture, as pixelwell-clip makes it; its picture as ImageData. */
  testPicture(n) {
    this.m._pw_test_picture(n);
    return this.image(this.m._pw_source_rgba());
  }
  process() { this.m._pw_process(); }
  /** Only the core's work: resultImage() then needs resultToRgba(), and resultBytes() readResult(). */
  processOnly() { this.m._pw_process_only(); }
  resultToRgba() { this.m._pw_result_to_rgba(); }
  readResult() { this.m._pw_read_result(); }
  /** The surface's frame region, for the result view. */
  resultImage() { return this.image(this.m._pw_result_rgba()); }
  // Over the module's memory, not a copy: drawn at once, before the next call changes it.
  image(at) {
    const w = this.width, h = this.height;
    return new ImageData(new Uint8ClampedArray(this.heap.buffer, at, w * h * 4), w, h);
  }
  /** Copies of the frame as the core received it and of the result as pixelwell-filter writes it. */
  frameBytes() { const at = this.m._pw_frame(); return this.heap.slice(at, at + this.width * this.height * 3); }
  resultBytes() { const at = this.m._pw_result(); return this.heap.slice(at, at + this.width * this.height * 4); }

  // --- the mode schedule, as pixelwell-filter's --mode takes it -------------------------------
  scheduleClear() { this.m._pw_schedule_clear(); }
  /** Adds "M" or "M@K"; returns null, or the reason it was refused. */
  scheduleAdd(text, what = 'mode') {
    const add = { mode: '_pw_schedule_add', kernel: '_pw_schedule_add_kernel', divisor: '_pw_schedule_add_divisor' }[what];
    const ok = this.withTexts([text], (at) => this.m[add](at));
    return ok ? null : this.m.UTF8ToString(this.m._pw_message());
  }
  /** Makes the choices scheduled before this frame; returns them in order, as the run logs them
   *  (a mode's number as the menu chooses it; 'k ROWS', 'd N', or 't N' for a typed number). */
  scheduleApply(frame) {
    const count = this.m._pw_schedule_apply(frame);
    const choices = [];
    for (let i = 0; i < count; ++i) {
      const entry = this.m.UTF8ToString(this.m._pw_schedule_entry(frame, i));
      choices.push(entry.startsWith('m ') ? Number(entry.slice(2)) : entry);
    }
    return choices;
  }

  // --- the kernel mode's kernel, its stages and the inspector ----------------------------------
  /** The kernel in use: { rows, divisor }. */
  kernel() { return { rows: this.m.UTF8ToString(this.m._pw_kernel_rows()), divisor: this.m._pw_kernel_divisor() }; }
  /** ROWS and the divisor's text from the next frame on: { ok, kernel } or, refused (the kernel
   *  in use stays), { ok: false, message, row, entry } (row, entry from 1; 0: none; divisor: true). */
  setKernel(rows, divisor) {
    const taken = this.withTexts([rows, String(divisor)], (r, d) => this.m._pw_kernel_set(r, d));
    if (taken === 1) return { ok: true, kernel: this.kernel() };
    const at = this.m._pw_kernel_error_cell() >> 2;
    return { ok: false, message: this.m.UTF8ToString(this.m._pw_message()), row: this.m.HEAP32[at], entry: this.m.HEAP32[at + 1],
             divisor: taken === -1, kernel: this.kernel() };
  }
  /** "divisor = sum of weights" for the kernel in use (1 when the sum is 0). */
  sumDivisor() { return this.m._pw_kernel_sum_divisor(); }
  /** A stage of the frame shown (gray, values, levels) as a picture; null when it has none. */
  stage(name) {
    if (!this.m._pw_stage(['gray', 'values', 'levels'].indexOf(name))) return null;
    const i = this.m._pw_stage_info() >> 2, H = this.m.HEAP32;
    return { image: this.image(this.m._pw_stage_rgba()), min: H[i], max: H[i + 1], largest: H[i + 2], filtered: H[i + 3] === 1 };
  }
  /** Every stage at a pixel of the frame shown (x, y from the top left). */
  inspect(x, y) {
    const i = this.m._pw_inspect(x, y) >> 2, H = this.m.HEAP32;
    if (!H[i]) return null;
    return { x, y, gray: H[i + 1] ? H[i + 3] : null, value: H[i + 2] ? H[i + 4] : null, level: H[i + 2] ? H[i + 5] : null,
             result: [H[i + 6], H[i + 7], H[i + 8]] };
  }

  // --- the sizes frames are processed at, and the command that reproduces a recording ----------
  // pixelwell-live's rules, from the module: the page keeps no copy of them.
  sizeAt(at) { const i = at >> 2; return { width: this.m.HEAP32[i], height: this.m.HEAP32[i + 1] }; }
  /** A frame of width x height as processed: within 1280x1280, keeping its shape. */
  fitFrame(width, height) {
    const fit = this.sizeAt(this.m._pw_fit_frame(width, height));
    return { ...fit, scaled: fit.width !== width || fit.height !== height };
  }
  /** A grid cell's size for frames of width x height: cellWidth wide, keeping their shape. */
  fitCell(width, height, cellWidth) { return this.sizeAt(this.m._pw_fit_cell(width, height, cellWidth)); }
  /** The pixelwell-filter command for a recording: log [[before frame, choice], ...] (a mode's
   *  number, or 'k ROWS', 'd N', 't N' as scheduleApply gives them); frames < 0: all. */
  reproduceCommand(width, height, log, frames, recording, output) {
    const lines = log.map(([at, choice]) => `${at} ${choice}`).join('\n');
    return this.withTexts([lines, recording, output], (l, r, o) => this.m.UTF8ToString(this.m._pw_reproduce_command(width, height, l, frames, r, o)));
  }

  // --- the grid: a core per cell, each in its own mode ------------------------------------------
  /** Cores for width x height frames, one per mode, in that mode; the single view's set aside. */
  gridStart(width, height, modes) {
    if (!this.m._pw_grid_start(width, height, modes.length)) return false;
    modes.forEach((mode, i) => this.m._pw_grid_select(i, mode));
    this.width = width;
    this.height = height;
    this.cells = modes.length;
    return true;
  }
  /** The single view's core back (at its start), the grid's given up. */
  gridStop() { this.m._pw_grid_stop(); this.cells = 0; }
  /** Every cell back to its start, in its mode. */
  gridReset() { this.m._pw_grid_reset(); }
  /** The frame through every cell; gridImage(i) is then cell i's view. */
  gridProcess() { this.m._pw_grid_process(); }
  gridImage(i) { return this.image(this.m._pw_grid_rgba() + i * this.width * this.height * 4); }
  /** Copies of every cell's result, as pixelwell-filter writes them. */
  gridResults() {
    this.m._pw_grid_read_results();
    const bytes = this.width * this.height * 4, at = this.m._pw_grid_results();
    return Array.from({ length: this.cells }, (_, i) => this.heap.slice(at + i * bytes, at + (i + 1) * bytes));
  }

  // --- the teaching panel and the frozen view ----------------------------------------------------
  /** A copy of the explanation of the last frame processed (slow: not on every frame). */
  explain() {
    return new Int32Array(this.heap.buffer, this.m._pw_explain(), this.explainLayout.fields).slice();
  }
  /** The last frame processed again in another mode, from the records before it; false: none yet. */
  rerun(mode) { return this.m._pw_rerun(mode) === 1; }
  /** The live records back after re-runs. */
  release() { this.m._pw_release(); }
}
