// From a page's sign() call to the extension's PIN window showing the card's details, with the
// browser, extension and host already running: RUNS times (each signed with the PIN, so that the
// next starts from the same state), the median printed in milliseconds. The window's ready time
// is its own note of it (an older extension without one: when this script finds it ready, which
// adds the polling's own delay).
//
// usage: node web_latency.mjs --puppeteer DIR --browser chromium|firefox --host FILE --web DIR
//          --runs N   (SoftHSM2's settings from the environment: SOFTHSM2_CONF, DEMO_*)
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';
import { spawnSync } from 'node:child_process';

const args = {};
for (let i = 2; i < process.argv.length; i += 2) {
  args[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
}
const puppeteer = createRequire(path.join(args.puppeteer, 'node_modules', 'x.js'))('puppeteer-core');
const runs = Number(args.runs || 10);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'tessivo-latency-'));
const extension = path.join(args.web, 'extension');
const env = { ...process.env, HOME: path.join(work, 'home'), XDG_RUNTIME_DIR: path.join(work, 'runtime'),
              TESSIVO_PKCS11_MODULE: process.env.DEMO_MODULE };
fs.mkdirSync(env.XDG_RUNTIME_DIR, { mode: 0o700 });

const server = http.createServer((request, response) => {
  const full = path.join(args.web, path.normalize(new URL(request.url, 'http://x').pathname));
  if (!fs.existsSync(full) || fs.statSync(full).isDirectory()) {
    response.writeHead(404).end();
    return;
  }
  response.writeHead(200, { 'Content-Type': full.endsWith('.js') ? 'text/javascript' : 'text/html' });
  response.end(fs.readFileSync(full));
});
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));

let browser;
const manifests = path.join(work, args.browser === 'firefox' ? 'home/.mozilla/native-messaging-hosts'
  : 'profile/NativeMessagingHosts');
spawnSync(args.host, ['--install', '--manifest-dir', manifests,
  ...(args.browser === 'firefox' ? ['--browser', 'firefox'] : [])]);
if (args.browser === 'firefox') {
  browser = await puppeteer.launch({ browser: 'firefox', executablePath: '/usr/bin/firefox-esr',
    protocol: 'webDriverBiDi', headless: true, env,
    extraPrefsFirefox: { 'extensions.originControls.grantByDefault': true } });
  await browser.installExtension(path.resolve(extension));
} else {
  browser = await puppeteer.launch({ executablePath: '/usr/bin/chromium', headless: true, env,
    userDataDir: path.join(work, 'profile'), enableExtensions: [path.resolve(extension)], pipe: true,
    args: ['--no-sandbox', '--no-first-run'] });
}
const page = (await browser.pages())[0] || await browser.newPage();
await page.goto(`http://localhost:${server.address().port}/demo/index.html`);

// The first page for which `test` (run in the page) holds, waited for.
async function pageWhere(test) {
  for (;;) {
    for (const p of await browser.pages()) {
      if (await p.evaluate(test).catch(() => false)) {
        return p;
      }
    }
  }
}

const pinWindow = () => pageWhere(() => location.href.includes('pin.html') &&
  document.getElementById('holder') && document.getElementById('holder').textContent !== '');

const certificate = fs.readFileSync(path.join(path.dirname(process.env.DEMO_SIGN_CERT), 'sign.der'))
  .toString('base64');
const times = [];
// The first one starts the host and its agent: not counted.
for (let run = 0; run <= runs; run += 1) {
  const hash = createHash('sha256').update('run ' + run).digest('base64');
  const started = performance.now();
  const asked = await page.evaluate((c, h) => {
    window.outcome = null;
    import('/tessivo.js').then((m) => m.sign(c, h, 'SHA-256')).then(
      (r) => { window.outcome = 'signed'; }, (e) => { window.outcome = e.code; });
    return Date.now();
  }, certificate, hash);
  if (run === 0) {
    // The page is asked once before its first signature; the Allow holds for the page.
    const consent = await pageWhere(() => location.href.includes('consent.html') &&
      document.body.dataset.ready !== undefined);
    await consent.click('#ok');
  }
  const pin = await pinWindow();
  // The window's own note of when it was ready, where it keeps one; else when it was found ready.
  const readyAt = Number(await pin.evaluate(() => document.body.dataset.ready));
  const took = readyAt > 1 ? readyAt - asked : performance.now() - started;
  if (run > 0) {
    times.push(took);
  }
  await pin.type('#pin', process.env.DEMO_PIN);
  await pin.click('#ok');
  let outcome = null;
  while (!outcome) {
    await sleep(20);
    outcome = await page.evaluate(() => window.outcome);
  }
  if (outcome !== 'signed') {
    throw new Error('the signature failed: ' + outcome);
  }
}
await browser.close();
server.close();
fs.rmSync(work, { recursive: true, force: true });
times.sort((a, b) => a - b);
const median = (times[(times.length - 1) >> 1] + times[times.length >> 1]) / 2;
console.log(`${args.browser}: sign() to PIN window ready, median of ${runs}: ${median.toFixed(1)} ms ` +
  `(from ${times[0].toFixed(0)} to ${times[times.length - 1].toFixed(0)} ms)`);
