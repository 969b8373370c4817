// The service worker: keeps every file of the site in a cache named by the site's content hash
// (so each build is a version of its own) and serves them from there, at any of the page's
// URLs, with or without the network. Media files (/media/NAME) always come from the network.
// The build fills in the version and the list of files.
const kVersion = 'VERSION';
const kFiles = ['FILES'];
const kCache = `pixelwell-${kVersion}`;

self.addEventListener('install', (event) => {
  event.waitUntil((async () => {
    const cache = await caches.open(kCache);
    // Past the browser's HTTP cache: a version holds its own files, never older ones.
    await cache.addAll(kFiles.map((name) => new Request(name, { cache: 'reload' })));
    // Fetched in the background, it serves from now on: the page that runs keeps what it has
    // loaded, and the next load is the new version's.
    await self.skipWaiting();
  })());
});

self.addEventListener('activate', (event) => {
  event.waitUntil((async () => {
    for (const name of await caches.keys()) if (name.startsWith('pixelwell-') && name !== kCache) await caches.delete(name);
  })());
});

self.addEventListener('fetch', (event) => {
  const request = event.request;
  if (request.method !== 'GET') return;
  const url = new URL(request.url);
  const scope = new URL(self.registration.scope);
  if (url.origin !== scope.origin || !url.pathname.startsWith(scope.pathname)) return;
  // The page at any of its URLs (any parameters) is index.html.
  const name = url.pathname.slice(scope.pathname.length) || 'index.html';
  if (!kFiles.includes(name)) return;
  event.respondWith((async () => {
    const kept = await (await caches.open(kCache)).match(name);
    return kept || fetch(request);
  })());
});

self.addEventListener('message', (event) => {
  if (event.data === 'version' && event.ports[0]) event.ports[0].postMessage({ version: kVersion });
});
