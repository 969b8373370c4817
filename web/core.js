// The core's client: loads one of the two WebAssembly builds (SIMD128 where the browser
// validates it) and makes every call into it. What the page knows of modes, operations and
// the explanation's layout comes from the module itself (pw_page_info).

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

/** Loads the build the browser can run (scalar when asked): { core, note }. */
export async function loadCore(scalar) {
  if (typeof WebAssembly !== 'object') throw new Error('This browser has no WebAssembly: the page cannot run here.');
  const simd = hasSimd();
  const build = scalar || !simd ? 'scalar' : 'simd';
  try {
    await loadScript(`pixelwell-${build}.js`);
  } catch (error) {
    throw new Error(`pixelwell-${build}.js could not be loaded: ${kServeAdvice}`);
  }
  let m;
  try {
    // eslint-disable-next-line no-undef
    m = await createPixelwell({ printErr: () => {} });
  } catch (error) {
    const reason = (error && error.message) || String(error);
    throw new Error(`pixelwell-${build}.wasm could not be loaded (${reason}). ${kServeAdvice}`);
  }
  m._pw_init();
  const note = !simd ? 'This browser has no WebAssembly SIMD: the scalar build is used (the same results, more slowly).'
    : scalar ? 'simd=0: the scalar build is used.' : '';
  return { core: new Core(m, build), note };
}

export class Core {
  constructor(m, build) {
    this.m = m;
    this.build = build;
    this.heap = m.HEAPU8;  // the memory never grows, so this view stays valid
    this.version = m.UTF8ToString(m._pw_version());
    const info = JSON.parse(m.UTF8ToString(m._pw_page_info()));
    /** The operations in the menu's order: {id, name, label, key, family, takesReference}; 0 is none. */
    this.operations = info.operations;
    this.none = info.none;
    this.maxSide = info.maxSide;
    /** Offsets into the explanation block, and its length (fields). */
    this.explainLayout = info.explain;
    /** The program's own texts: control, result, tooLarge, noDevice, formatError. */
    this.texts = info.texts;
    this.width = 0;
    this.height = 0;
  }

  /** The operation of a mode, or null when the menu has none. */
  operation(mode) { return this.operations.find((op) => op.id === mode) || null; }
  position(mode) { return this.m._pw_position_of_mode(mode); }
  operationForKey(key) {
    const p = this.m._pw_position_for_key(key.charCodeAt(0));
    return p >= 0 ? this.operations[p] : null;
  }
  modeName(mode) { return this.m.UTF8ToString(this.m._pw_mode_name(mode)); }
  /** "ゾーベル X方向 sobel-x", or the bare name where the menu has no label. */
  title(mode) {
    const op = this.operation(mode);
    return op ? `${op.label ? op.label + ' ' : ''}${op.name}` : this.modeName(mode);
  }

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
  /** Frame n of the moving test picture, as pixelwell-clip makes it; its picture as ImageData. */
  testPicture(n) {
    this.m._pw_test_picture(n);
    return this.image(this.m._pw_source_rgba());
  }
  process() { this.m._pw_process(); }
  /** The surface's frame region, for the result view. */
  resultImage() { return this.image(this.m._pw_result_rgba()); }
  image(at) {
    const w = this.width, h = this.height;
    return new ImageData(new Uint8ClampedArray(this.heap.buffer, at, w * h * 4).slice(), w, h);
  }
  /** Copies of the frame as the core received it and of the result as pixelwell-filter writes it. */
  frameBytes() { const at = this.m._pw_frame(); return this.heap.slice(at, at + this.width * this.height * 3); }
  resultBytes() { const at = this.m._pw_result(); return this.heap.slice(at, at + this.width * this.height * 4); }

  // --- the mode schedule, as pixelwell-filter's --mode takes it -------------------------------
  scheduleClear() { this.m._pw_schedule_clear(); }
  /** Adds "M" or "M@K"; returns null, or the reason it was refused. */
  scheduleAdd(text) {
    const m = this.m;
    const bytes = m.lengthBytesUTF8(text) + 1;
    const buffer = m._malloc(bytes);
    m.stringToUTF8(text, buffer, bytes);
    const ok = m._pw_schedule_add(buffer);
    m._free(buffer);
    return ok ? null : m.UTF8ToString(m._pw_message());
  }
  /** Chooses the modes scheduled before this frame; returns them in order. */
  scheduleApply(frame) {
    const count = this.m._pw_schedule_apply(frame);
    const modes = [];
    for (let i = 0; i < count; ++i) modes.push(this.m._pw_schedule_at(frame, i));
    return modes;
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
