// Where frames are processed: in a worker (the default where the browser has VideoFrame,
// MediaStreamTrackProcessor and OffscreenCanvas) or on the page's main thread (pipeline=main,
// and browsers without them). Both answer the same calls (processor.js) as promises, in the
// order made; the run (run.js) never knows which.
import { Processor } from './processor.js';

const $ = (id) => document.getElementById(id);
// The grid's canvases, one per operation in the menu's order (grid.js makes them).
const cellCanvases = () => [...document.querySelectorAll('#grid canvas')];

/** Whether this browser can run the worker pipeline. */
export function workerPossible() {
  return typeof Worker === 'function' && typeof VideoFrame === 'function' && 'MediaStreamTrackProcessor' in self &&
    typeof OffscreenCanvas === 'function' && 'transferControlToOffscreen' in HTMLCanvasElement.prototype;
}

/** The processor on this thread. */
export class MainPipeline {
  constructor(core, events) {
    this.kind = 'main';
    this.processor = new Processor(core, $('source-view'), $('result-view'), events);
    this.chain = Promise.resolve();
    this.waiting = 0;  // calls not yet settled
  }
  // One call after the other, as the worker answers them: a frame that waits for its pixels
  // is recorded before a stop made meanwhile. With none waiting, a call runs at once, so that a
  // frame is read from its video in the callback that announced it, not from a later one.
  call(op, ...args) {
    let result;
    if (this.waiting === 0) {
      try {
        result = Promise.resolve(this.processor[op](...args));
      } catch (error) {
        result = Promise.reject(error);
      }
    } else {
      result = this.chain.then(() => this.processor[op](...args));
    }
    this.waiting += 1;
    this.chain = result.then(() => { this.waiting -= 1; }, () => { this.waiting -= 1; });
    return result;
  }
  /** The same, handing over what can be moved (a VideoFrame): here nothing moves. */
  send(op, args) { return this.call(op, ...args); }
  /** The grid's canvases, made once the operations are known (grid.js), to the processor. */
  adoptCells() { return this.call('adoptCells', cellCanvases()); }
}

/** The processor in a worker, reached by messages. */
export class WorkerPipeline {
  constructor(events) {
    this.kind = 'worker';
    this.worker = new Worker('worker.js');
    this.waiting = new Map();
    this.next = 1;
    this.worker.onmessage = (e) => {
      const { id, value, error, event, data } = e.data;
      if (event) { events(event, data); return; }
      const call = this.waiting.get(id);
      this.waiting.delete(id);
      if (error !== undefined) call.reject(new Error(error)); else call.resolve(value);
    };
    this.worker.onerror = (e) => {
      const error = new Error(`The page's worker failed: ${e.message || 'it could not be started'}.`);
      for (const call of this.waiting.values()) call.reject(error);
      this.waiting.clear();
    };
  }

  /** Starts the module of a build in the worker, with both views: resolves to what it says of itself. */
  start(build) {
    const source = $('source-view').transferControlToOffscreen();
    const result = $('result-view').transferControlToOffscreen();
    return this.send('start', [{ build, source, result }], [source, result]);
  }
  /** The grid's canvases, made once the operations are known (grid.js), handed to the worker. */
  adoptCells() {
    const cells = cellCanvases().map((canvas) => canvas.transferControlToOffscreen());
    return this.send('adoptCells', [cells], cells);
  }

  call(op, ...args) { return this.send(op, args); }
  send(op, args, transfer = []) {
    return new Promise((resolve, reject) => {
      const id = this.next++;
      this.waiting.set(id, { resolve, reject });
      this.worker.postMessage({ id, op, args }, transfer);
    });
  }
}
