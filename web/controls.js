// The menu, keys and messages: the operation list (from the core's table), the buttons and
// their looks, the keys of pixelwell-live, the notices and the error line.
import * as state from './state.js';
import { kTextSizes } from './config.js';

const $ = (id) => document.getElementById(id);

export class Controls {
  constructor(core) {
    this.core = core;
    this.notes = new Map();  // notice lines by topic, shown in the order first given
    this.errorText = '';
  }

  // --- messages ----------------------------------------------------------------------------------
  /** One line of the notice, by topic ('' removes it). */
  note(topic, text) {
    if (text) this.notes.set(topic, text); else this.notes.delete(topic);
    $('notice').textContent = [...this.notes.values()].join('\n');
  }
  error(text) {
    this.errorText = text || '';
    $('error').textContent = this.errorText;
    state.setError(this.errorText);
  }
  clearError() { this.error(''); }
  /** The run could not start. */
  fail(text) {
    this.error(text);
    state.setState('error');
  }

  // --- the operation list --------------------------------------------------------------------------
  buildMenu(choose) {
    const select = $('mode');
    for (const op of this.core.operations) {
      const o = document.createElement('option');
      o.value = String(op.id);
      o.textContent = `${op.label ? op.label + ' ' : ''}${op.name} [${op.key}]`;
      select.appendChild(o);
    }
    select.addEventListener('change', () => choose(Number(select.value)));
  }

  /** The list and the result view's title show the mode. */
  syncMenu(mode) {
    const op = this.core.operation(mode);
    $('mode').value = op ? String(op.id) : '';
    $('result-title').textContent = `${this.core.texts.result} ${this.core.title(mode)}`;
    if (this.onMode) this.onMode(mode);
  }

  /** The operation delta places after the one shown, round the list (the buttons, ← →, a swipe). */
  step(run, delta) {
    const core = this.core, ops = core.operations;
    const p = Math.max(0, core.position(run.pending === null ? run.mode : run.pending));
    run.choose(ops[(p + delta + ops.length) % ops.length].id);
  }

  /** The keys of pixelwell-live: ← → (or p n) step through the list, each operation's own key;
   *  w the full screen, which Escape leaves. */
  wireKeys(run, display) {
    const core = this.core;
    const stepList = (delta) => this.step(run, delta);
    document.addEventListener('keydown', (e) => {
      if (e.ctrlKey || e.altKey || e.metaKey) return;
      if (e.key === 'Escape' && display.on) { display.leave(); e.preventDefault(); return; }
      const tag = e.target && e.target.tagName;
      if (tag === 'SELECT' || tag === 'INPUT') return;
      const key = e.key.length === 1 ? e.key.toLowerCase() : e.key;
      if (key === 'ArrowRight' || key === 'n') stepList(1);
      else if (key === 'ArrowLeft' || key === 'p') stepList(-1);
      else if (key === 'w') display.toggle();
      else if (key === ' ') run.toggleFreeze();
      else if (key === '.') run.step();
      else if (key === 'r') {
        const op = core.operation(run.pending === null ? run.mode : run.pending);
        if (op && op.takesReference) run.choose(op.id);
        else {
          const names = core.operations.filter((o) => o.takesReference).map((o) => `${o.name} (${o.key})`);
          this.note('info', `r takes a new reference in ${names.join(' and ')} only`);
        }
      } else if (key.length === 1) {
        const op = core.operationForKey(key);
        if (!op) return;
        run.choose(op.id);
      } else return;
      e.preventDefault();
    });
  }

  // --- buttons -------------------------------------------------------------------------------------
  showRecording(on) {
    $('record').classList.toggle('recording', on);
    $('record').textContent = on ? '■ Stop and save / 録画を保存' : '● Record / 録画';
    if (!on) this.note('room', '');
  }
  showFrozen(frozen) {
    $('freeze').classList.toggle('frozen', frozen);
    $('freeze').textContent = frozen ? '▶ Go on / 再開 [Space]' : '❚❚ Freeze / 静止 [Space]';
  }
  showCommand(command) {
    $('command').textContent = command;
    $('command-line').hidden = false;
  }
  showLoop(on) {
    $('loop').setAttribute('aria-pressed', on ? 'true' : 'false');
    $('loop').textContent = on ? '⟳ Loop: on / ループ' : '⟳ Loop: off / ループ';
  }
  /** The panel's type: normal, large or larger, for a lecture hall. */
  setTextSize(size) {
    for (const s of kTextSizes) document.body.classList.toggle(`text-${s}`, s === size);
    $('text-size').value = size;
  }
  showSize(text) {
    const select = $('size');
    if (![...select.options].some((o) => o.value === text)) {
      const o = document.createElement('option');
      o.textContent = text;
      select.appendChild(o);
    }
    select.value = text;
  }
}
