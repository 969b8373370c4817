// The worker pipeline's thread: owns the module, the core, both views (OffscreenCanvases the
// page hands over) and the recording, and answers the page's calls one at a time, in the order
// sent. A classic worker, so that the module's script loads as the browser loads any script
// (importScripts); the page's own modules come in by import().
let processor = null;
let chain = Promise.resolve();

function transferables(value) {
  if (!value || typeof value !== 'object') return [];
  if (ArrayBuffer.isView(value)) return [value.buffer];
  if (value.data && ArrayBuffer.isView(value.data)) return [value.data.buffer];
  return [];
}

async function start({ build, source, result }) {
  const core = await import('./core.js');
  try {
    importScripts(`pixelwell-${build}.js`);
  } catch (error) {
    throw new Error(core.scriptMissing(build));
  }
  const { Processor } = await import('./processor.js');
  const module = await core.startModule(build);
  processor = new Processor(module, source, result, (name, data) => self.postMessage({ event: name, data }), true);
  return core.describe(module.m, build);
}

self.onmessage = (e) => {
  const { id, op, args } = e.data;
  chain = chain.then(async () => {
    try {
      const value = op === 'start' ? await start(args[0]) : await processor[op](...args);
      // A copy the page takes whole (an explanation, a view's pixels) is moved, not copied.
      const copy = op === 'explain' || op === 'pixels';
      self.postMessage({ id, value }, copy ? transferables(value) : []);
    } catch (error) {
      self.postMessage({ id, error: (error && error.message) || String(error) });
    }
  });
};
