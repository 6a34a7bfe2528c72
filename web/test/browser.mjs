// What the browser tests share: a folder served on a port of the loopback
// address, and Debian's headless Chromium driven by puppeteer-core with a
// profile of the test's own and nothing fetched behind its back.
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

const types = {
  '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.json': 'application/json',
  '.txt': 'text/plain', '.wasm': 'application/wasm',
};

// Serves `root` (a folder's index.html for the folder); resolves to the
// server and its origin, as http://127.0.0.1:PORT.
export async function serveFolder(root) {
  const server = http.createServer((request, response) => {
    const file = path.join(root, decodeURIComponent(new URL(request.url, 'http://x').pathname));
    const name = file.endsWith('/') ? path.join(file, 'index.html') : file;
    if (!name.startsWith(root) || !fs.existsSync(name)) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { 'Content-Type': types[path.extname(name)] ?? 'application/octet-stream' });
    response.end(fs.readFileSync(name));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return { server, origin: `http://127.0.0.1:${server.address().port}` };
}

// Audio starts without a gesture, as the tests press no keys to allow it.
export function launchChromium(profile) {
  return puppeteer.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    userDataDir: profile,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--autoplay-policy=no-user-gesture-required'],
  });
}
