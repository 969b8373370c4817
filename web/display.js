// The processed view full screen (w, the button; Escape leaves it) for a projector, and the
// touch gestures on the views: a swipe steps through the operations, a tap freezes.
import * as state from './state.js';

const $ = (id) => document.getElementById(id);

const kSwipePixels = 40;    // across, at least, and more across than along
const kTapPixels = 12;      // a tap moves less than this
const kTapMs = 400;         // and is shorter than this

export class Display {
  /** step(delta) steps through the operations; freeze() freezes or goes on. */
  constructor({ step, freeze }) {
    this.on = false;
    document.addEventListener('fullscreenchange', () => {
      // The browser left its full screen (its own Escape, a gesture): so does the view.
      if (!document.fullscreenElement && this.on) this.leave();
    });
    this.wireTouch($('views'), step, freeze);
  }

  // The figure takes the whole window by itself (so that it works where the browser refuses
  // its full screen), and the browser's full screen is asked for on top where it has one.
  enter() {
    if (this.on) return;
    this.on = true;
    document.body.classList.add('fullscreen');
    state.setFullscreen(true);
    const figure = document.body.classList.contains('grid') ? $('grid') : $('result-figure');
    if (figure.requestFullscreen && !document.fullscreenElement) figure.requestFullscreen().catch(() => {});
  }
  leave() {
    if (!this.on) return;
    this.on = false;
    document.body.classList.remove('fullscreen');
    state.setFullscreen(false);
    if (document.fullscreenElement) document.exitFullscreen().catch(() => {});
  }
  toggle() { if (this.on) this.leave(); else this.enter(); }

  // Pointer events from a finger only: a mouse click on a view keeps doing nothing.
  wireTouch(element, step, freeze) {
    let start = null;
    element.addEventListener('pointerdown', (e) => {
      if (e.pointerType === 'touch' && e.isPrimary) start = { x: e.clientX, y: e.clientY, t: performance.now() };
    });
    element.addEventListener('pointercancel', () => { start = null; });
    element.addEventListener('pointerup', (e) => {
      if (!start || e.pointerType !== 'touch' || !e.isPrimary) return;
      const dx = e.clientX - start.x, dy = e.clientY - start.y, ms = performance.now() - start.t;
      start = null;
      if (Math.abs(dx) >= kSwipePixels && Math.abs(dx) > 1.5 * Math.abs(dy)) step(dx < 0 ? 1 : -1);
      else if (Math.abs(dx) < kTapPixels && Math.abs(dy) < kTapPixels && ms < kTapMs) freeze();
    });
  }
}
