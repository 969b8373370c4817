// What the scripts that drive the page share: scripts/web started as a user starts it, and
// Debian's Chromium, headless, with the flags a root user on a machine with no outside network
// needs (no sandbox for root; no background connections, which would all be refused).
const { chromium } = require('playwright-core');
const { spawn } = require('child_process');
const path = require('path');

const kFlags = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
                '--disable-component-update', '--disable-sync'];

// Starts scripts/web with args: { server, url }, url a promise of the http:// line it prints.
function serve(args = []) {
  const server = spawn(path.join(__dirname, '..', '..', 'scripts', 'web'), args, { stdio: ['ignore', 'pipe', 'inherit'] });
  const url = new Promise((resolve, reject) => {
    let out = '';
    server.stdout.on('data', (d) => {
      out += d;
      const line = out.split('\n').find((l) => l.startsWith('http://'));
      if (line) resolve(line.trim());
    });
    server.once('exit', (code) => reject(new Error(`the server ended (status ${code}) before printing its URL`)));
  });
  return { server, url };
}

// A browser with its own profile folder; extra: more command-line flags.
function launchChromium(profile, { extra = [], executablePath = process.env.CHROMIUM || '/usr/bin/chromium', ...options }) {
  return chromium.launchPersistentContext(profile, {
    executablePath, headless: true, deviceScaleFactor: 1, ...options, args: [...kFlags, ...extra],
  });
}

module.exports = { serve, launchChromium };
