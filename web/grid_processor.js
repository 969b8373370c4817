// The grid where the core runs: a core per operation at one reduced size, chosen once when the
// grid starts (320 wide, or 160 where the cells at 320 would fall under 15 frames a second),
// each cell's view drawn on its own canvas. Methods of the processor (processor.js).
const kCellWidths = [320, 160];
const kLeastRate = 15;     // frames a second the cells must keep up with at 320
const kProbeFrames = 5;    // of the test picture through every cell and drawn, then undone:
const kWarmFrames = 2;     // the first touch the cells' fresh memory and code, and are not timed

function fit(canvas, w, h) {
  if (canvas.width !== w) canvas.width = w;
  if (canvas.height !== h) canvas.height = h;
}

class GridProcessor {
  /** The grid's canvases (HTML or offscreen), one per operation in the menu's order, none left out. */
  adoptCells(canvases) {
    this.cells = canvases.map((canvas) => ({ canvas, context: canvas.getContext('2d', { colorSpace: 'srgb', alpha: !this.direct }) }));
  }

  /** The operations of the cells, in the menu's order (none left out). */
  cellModes() { return this.core.operations.filter((op) => op.id !== this.core.none); }

  /**
   * Starts the grid for source frames of width x height: the cells' cores at 320 wide, timed on
   * a few frames of the test picture, and at 160 instead where they would not keep 15 frames a
   * second. Resolves to { width, height, probeMs } (the cells' size, and ms a frame at 320).
   */
  gridStart(width, height) {
    const modes = this.cellModes().map((op) => op.id);
    let probeMs = 0, size = null;
    for (const cellWidth of kCellWidths) {
      size = this.core.fitCell(width, height, cellWidth);
      if (!this.core.gridStart(size.width, size.height, modes)) throw new Error(`the grid's cells could not be made at ${size.width}x${size.height}`);
      this.grid = true;
      for (const cell of this.cells) fit(cell.canvas, size.width, size.height);
      if (cellWidth !== kCellWidths[0]) break;
      const times = [];
      for (let n = 0; n < kProbeFrames; ++n) {
        const started = performance.now();
        this.core.testPicture(n);
        this.core.gridProcess();
        this.drawCells();
        times.push(performance.now() - started);
      }
      const timed = times.slice(kWarmFrames).sort((a, b) => a - b);
      probeMs = timed[timed.length >> 1];
      if (probeMs <= 1000 / kLeastRate) break;
    }
    // The probe's frames belong to no run: every cell starts again, its view blank.
    this.core.gridReset();
    for (const cell of this.cells) cell.context.clearRect(0, 0, size.width, size.height);
    return { width: size.width, height: size.height, probeMs };
  }

  /** The single view's core back, at its start; the grid's cores given up. */
  gridStop() {
    if (!this.grid) return;
    this.grid = false;
    this.core.gridStop();
  }

  drawCells() {
    this.cells.forEach((cell, i) => cell.context.putImageData(this.core.gridImage(i), 0, 0));
  }
}

/** Copied onto the processor's prototype. */
export const gridMethods = Object.fromEntries(Object.getOwnPropertyNames(GridProcessor.prototype)
  .filter((name) => name !== 'constructor').map((name) => [name, GridProcessor.prototype[name]]));
