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
  const running = navigator.serviceWorker.controller;  // null on the first visit
  let registration;
  try {
    registration = await navigator.serviceWorker.register('sw.js');
  } catch (error) {
    note(`This page could not be kept for use offline (${error.message}).`);
    return;
  }
  registration.addEventListener('updatefound', () => {
    const incoming = registration.installing;
    if (!incoming) return;
    incoming.addEventListener('statechange', async () => {
      if (incoming.state !== 'activated') return;
      const version = await askVersion(incoming);
      if (running) {
        state.setUpdate(version);
        note('A new version of this page was fetched: it runs from the next load (reload the page).');
      } else {
        state.setOffline(version);
      }
    });
  });
  const ready = await navigator.serviceWorker.ready;
  if (running) state.setOffline(await askVersion(running));
  else if (ready.active && ready.active.state === 'activated') state.setOffline(await askVersion(ready.active));
  registration.update().catch(() => {});  // no network: the version kept goes on
}
