// The run's kernel mode: the kernel in use, each edit taken from the next frame on and logged for
// the reproducing command (as --kernel ROWS@K and --divisor N@K), the kernel in use at the start
// of each log (the filter wants it wherever the kernel mode is chosen), and the address bar kept
// as a link to it. Methods of the run (run.js), kept here by topic.

class RunKernel {
  /** The kernel and divisor in use, as a log starts (a new run, a recording, a view). */
  logKernelNow() {
    if (!this.kernelNow) return;
    this.logChoice(this.frames, `k ${this.kernelNow.rows}`);
    this.logChoice(this.frames, `d ${this.kernelNow.divisor}`);
  }

  // A kernel or divisor before a frame replaces one of its kind logged before the same frame.
  logChoice(at, choice) {
    const kind = choice[0];
    this.log = this.log.filter(([when, c]) => !(when === at && typeof c === 'string' && c[0] === kind));
    this.log.push([at, choice]);
  }

  /** The kernel in use changed (an edit, the URL's schedule): shown, logged from frame `at`. */
  kernelChanged(kernel, at) {
    const before = this.kernelNow || {};
    this.kernelNow = kernel;
    if (this.kernelView) this.kernelView.show(kernel);
    if (at === null || (before.rows === kernel.rows && before.divisor === kernel.divisor)) return;
    if (before.rows !== kernel.rows) this.logChoice(at, `k ${kernel.rows}`);
    if (before.divisor !== kernel.divisor) this.logChoice(at, `d ${kernel.divisor}`);
    this.showCommand();
  }

  /**
   * An edit of the kernel (ROWS and the divisor as typed): from the next frame on, or refused
   * with the cell it names, the kernel in use staying. While frozen in the kernel mode the held
   * frame is shown through it at once (not counted, as any re-run).
   */
  async editKernel(rows, divisor) {
    const answer = await this.pipeline.call('setKernel', rows, divisor);
    if (!answer.ok) return answer;
    const before = this.busy && this.busyGeneration === this.generation ? 1 : 0;
    this.kernelChanged(answer.kernel, this.frames + before);
    this.keepLink(answer.kernel);
    const shownMode = this.pending === null ? this.mode : this.pending;
    if (this.frozen && this.steps === 0 && shownMode === this.core.kernelMode && this.frames > 0) {
      const shown = await this.pipeline.call('rerun', this.core.kernelMode);
      if (shown) {
        this.serial += 1;
        this.panel.refresh(true);
        if (this.kernelView) this.kernelView.stageShown(shown);
      }
    }
    return answer;
  }

  /** The stage the result view shows (result, gray, values, levels), redrawn from the frame shown. */
  async showStage(stage) {
    const shown = await this.pipeline.call('showStage', stage);
    if (shown && this.kernelView) this.kernelView.stageShown(shown);
  }

  // The address bar holds the kernel (kernel=, divisor=), so that the page's link hands it on.
  keepLink(kernel) {
    if (typeof history === 'undefined' || !history.replaceState) return;
    const params = new URLSearchParams(location.search);
    if (params.get('kernel') === kernel.rows && (params.get('divisor') || '1') === String(kernel.divisor)) return;
    params.set('kernel', kernel.rows);
    if (kernel.divisor === 1) params.delete('divisor'); else params.set('divisor', String(kernel.divisor));
    history.replaceState(null, '', `${location.pathname}?${params.toString().replace(/%2C/g, ',').replace(/%2F/g, '/')}`);
  }
}

/** Copied onto the run's prototype. */
export const kernelMethods = Object.fromEntries(Object.getOwnPropertyNames(RunKernel.prototype)
  .filter((name) => name !== 'constructor').map((name) => [name, RunKernel.prototype[name]]));
