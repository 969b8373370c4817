// The page kept for use offline: registers the service worker (sw.js, made by the build with
// every file of the site and their content hash), tells which version is kept, and says when a
// newer one has been fetched in the background, which the next load of the page runs.
import * as state from './state.js';

function askVersion(worker) {
  return new Promise((resolve) => {
    const channel = new MessageChannel();
    channel.port1.onmessage = (e) => resolve(e.data && e.data.version);
    worker.postMessage('version', [channel.port2]);
    setTimeout(() => resolve(null), 5000);
  });
}

/** note(text) shows a line on the page. */
export async function keepOffline(note) {
  if (!('serviceWorker' in navigator) || !window.isSecureContext) return;
  const container = navigator.serviceWorker;
  const running = container.controller;  // the version this page came from; none on a first visit
  const runningVersion = running ? await askVersion(running) : null;
  if (running) state.setOffline(runningVersion);
  // A newer version, once fetched, serves this page's requests from then on (the worker takes
  // over at once), but the page keeps the code it loaded: the next load runs it.
  container.addEventListener('controllerchange', async () => {
    if (!running || !container.controller) return;
    const version = await askVersion(container.controller);
    if (!version || version === runningVersion) return;
    state.setUpdate(version);
    note('A new version of this page was fetched: it runs from the next load (reload the page).');
  });
  try {
    const registration = await container.register('sw.js');
    registration.update().catch(() => {});  // no network: the version kept goes on
  } catch (error) {
    // With no network a kept version goes on; on a first visit the page is not kept.
    if (!running) note(`This page could not be kept for use offline (${error.message}).`);
    return;
  }
  if (running) return;
  const ready = await container.ready;
  const settle = async () => { if (ready.active.state === 'activated') state.setOffline(await askVersion(ready.active)); };
  ready.active.addEventListener('statechange', settle);
  settle();
}
