// The kernel mode's part of the page: the panel's editable 3x3 or 5x5 kernel with its divisor,
// "divisor = sum of weights" and the presets (from the module: the page keeps no kernel of its
// own and reads none: the module takes ROWS as pixelwell-filter does, and names a bad cell); the
// stage the result view shows (gray levels, raw values, levels before the stretch, result); and
// the pixel inspector over either view.
const $ = (id) => document.getElementById(id);

export class KernelView {
  constructor(core, run, pipeline) {
    Object.assign(this, { core, run, pipeline });
    this.size = 0;         // of the grid of cells shown
    this.inputs = [];      // [row][entry]
    this.editing = false;  // an edit on its way: the kernel shown is not replaced meanwhile
    this.point = null;     // the inspected point: { view, x, y } (frame pixels, from the top left)
    this.asking = false;
    this.buildPresets();
    $('kernel-size').addEventListener('change', () => this.resize(Number($('kernel-size').value)));
    $('kernel-divisor').addEventListener('input', () => this.edited());
    $('kernel-sum').addEventListener('click', async () => {
      $('kernel-divisor').value = String(await this.pipeline.call('sumDivisor'));
      this.edited();
    });
    $('stage').addEventListener('change', () => run.showStage($('stage').value));
    for (const id of ['source-view', 'result-view']) {
      const canvas = $(id);
      canvas.addEventListener('pointermove', (e) => this.pointAt(id, canvas, e));
      canvas.addEventListener('pointerdown', (e) => this.pointAt(id, canvas, e));
    }
    if (run.kernelNow) this.show(run.kernelNow);
    this.modeShown(run.mode);
  }

  buildPresets() {
    const select = $('kernel-preset');
    const add = (parent, text, value) => {
      const o = document.createElement('option');
      o.textContent = text;
      o.value = value;
      parent.appendChild(o);
    };
    add(select, 'choose… / 選択', '');
    const groups = [['The nine filters / 9 種のフィルタ', (p) => p.mode], ['More / その他', (p) => !p.mode]];
    for (const [label, wanted] of groups) {
      const group = document.createElement('optgroup');
      group.label = label;
      this.core.presets.forEach((p, i) => { if (wanted(p)) add(group, `${p.name}${p.divisor !== 1 ? ` (÷${p.divisor})` : ''}`, String(i)); });
      select.appendChild(group);
    }
    select.addEventListener('change', () => {
      const preset = this.core.presets[Number(select.value)];
      select.value = '';
      if (!preset) return;
      this.fill(preset.rows, preset.divisor);
      this.edited();
    });
  }

  /** The editor is shown in the kernel mode (the mode the result view shows), the kernel table otherwise. */
  modeShown(mode) {
    const kernel = mode === this.core.kernelMode;
    $('kernel-editor').hidden = !kernel;
    $('panel').classList.toggle('kernel-mode', kernel);
  }

  // The cells of a size-by-size grid, made anew when the size changes.
  makeGrid(size) {
    if (size === this.size) return;
    this.size = size;
    const grid = $('kernel-grid');
    grid.textContent = '';
    grid.style.gridTemplateColumns = `repeat(${size}, 4.2em)`;
    this.inputs = [];
    for (let r = 0; r < size; ++r) {
      const row = [];
      for (let c = 0; c < size; ++c) {
        const input = document.createElement('input');
        input.inputMode = 'numeric';
        input.autocomplete = 'off';
        input.setAttribute('aria-label', `row ${r + 1}, entry ${c + 1}`);
        input.dataset.row = String(r + 1);
        input.dataset.entry = String(c + 1);
        input.addEventListener('input', () => this.edited());
        grid.appendChild(input);
        row.push(input);
      }
      this.inputs.push(row);
    }
    $('kernel-size').value = String(size);
  }

  // ROWS into the cells: the rows split by /, the entries by , (the module's own output).
  fill(rows, divisor) {
    const lines = rows.split('/').map((line) => line.split(','));
    this.makeGrid(lines.length);
    lines.forEach((line, r) => line.forEach((text, c) => { this.inputs[r][c].value = text; }));
    $('kernel-divisor').value = String(divisor);
    this.mark(null);
  }

  /** The kernel in use, shown (unless an edit is being typed: it is the edit's own answer). */
  show(kernel) {
    if (this.editing) return;
    const typed = this.rows();
    if (typed !== kernel.rows || $('kernel-divisor').value !== String(kernel.divisor)) this.fill(kernel.rows, kernel.divisor);
  }

  rows() { return this.inputs.map((row) => row.map((input) => input.value.trim()).join(',')).join('/'); }

  // 3x3 to 5x5 keeps the kernel in the middle, zeros round it; 5x5 to 3x3 keeps the middle.
  resize(size) {
    const old = this.inputs.map((row) => row.map((input) => input.value.trim()));
    const shift = (this.size - size) / 2;
    const next = [...Array(size).keys()].map((r) => [...Array(size).keys()].map((c) => (old[r + shift] || [])[c + shift] ?? '0'));
    this.fill(next.map((row) => row.join(',')).join('/'), $('kernel-divisor').value);
    this.edited();
  }

  /** A cell or the divisor changed: the module takes it, or names what it refused. */
  async edited() {
    this.editing = true;
    const answer = await this.run.editKernel(this.rows(), $('kernel-divisor').value.trim());
    this.editing = false;
    this.mark(answer.ok ? null : answer);
  }

  // A refused entry marked at its cell (or the divisor), with the module's reason; the kernel in
  // use is said to stay.
  mark(refusal) {
    for (const input of [...this.inputs.flat(), $('kernel-divisor')]) {
      input.classList.remove('invalid');
      input.removeAttribute('aria-invalid');
    }
    const editor = $('kernel-editor');
    if (!refusal) {
      $('kernel-message').textContent = 'An edit applies from the next frame / 編集は次のフレームから反映';
      delete editor.dataset.invalid;
      return;
    }
    const cell = refusal.divisor ? $('kernel-divisor') : refusal.row && refusal.entry ? this.inputs[refusal.row - 1][refusal.entry - 1]
      : refusal.row ? null : null;
    const marked = cell ? [cell] : refusal.row ? this.inputs[refusal.row - 1] || [] : this.inputs.flat();
    for (const input of marked) {
      input.classList.add('invalid');
      input.setAttribute('aria-invalid', 'true');
    }
    editor.dataset.invalid = refusal.divisor ? 'divisor' : `${refusal.row},${refusal.entry}`;
    $('kernel-message').textContent = `${refusal.message}: the last valid kernel stays in use (${refusal.kernel.rows} ÷ ${refusal.kernel.divisor}) / 直前の正しいカーネルのまま`;
  }

  /** What the result view shows now: the stage asked, with the values' range, or the result. */
  stageShown(shown) {
    const asked = $('stage').value, range = $('stage-range');
    range.dataset.stage = shown.stage;
    if (asked !== 'result' && shown.stage === 'result') {
      range.textContent = `This operation has no ${asked} stage: the result is shown / この処理にはその段階がありません`;
      return;
    }
    if (!shown.filtered || shown.stage === 'result') {
      range.textContent = '';
      return;
    }
    const values = shown.min <= shown.max ? `values ${shown.min} to ${shown.max}` : 'every value the same';
    range.textContent = shown.stage === 'values'
      ? `${values}; colours: blue −${shown.largest} · black 0 · red +${shown.largest} / 値の範囲`
      : `${values} / 値の範囲 ${shown.min}〜${shown.max}`;
  }

  // --- the inspector -------------------------------------------------------------------------------
  pointAt(view, canvas, event) {
    const { width, height } = this.run.size;
    const rect = canvas.getBoundingClientRect();
    if (!width || !rect.width || !rect.height) return;
    const x = Math.floor(((event.clientX - rect.left) / rect.width) * width);
    const y = Math.floor(((event.clientY - rect.top) / rect.height) * height);
    this.point = { view, x: Math.min(width - 1, Math.max(0, x)), y: Math.min(height - 1, Math.max(0, y)) };
    this.inspect();
  }

  /** The inspected point's stages, again (a new frame, or a point moved); one question at a time. */
  async inspect() {
    if (!this.point || this.asking || this.run.view === 'grid') return;
    this.asking = true;
    const point = this.point;
    try {
      const p = await this.pipeline.call('inspect', point.x, point.y);
      const out = $('inspector');
      if (!p) return;
      const parts = [`(${p.x}, ${p.y})`, p.gray === null ? 'no gray stage' : `gray ${p.gray}`];
      if (p.value !== null) parts.push(`value ${p.value}`, `level ${p.level}`);
      parts.push(`result ${p.result.join(',')}`);
      out.textContent = `${parts.join(' · ')} / 濃淡・値・階調・結果`;
      Object.assign(out.dataset, { x: p.x, y: p.y, gray: p.gray ?? '', value: p.value ?? '', level: p.level ?? '', result: p.result.join(',') });
    } finally {
      this.asking = false;
      if (this.point !== point) this.inspect();
    }
  }
}
