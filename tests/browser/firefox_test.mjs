// The browser road in Debian's Firefox ESR, driven by puppeteer-core over WebDriver BiDi (no
// geckodriver, no browser download): the extension installed as a temporary add-on, the host's
// Firefox manifest in a private HOME, the demo page served on localhost, the test module as the
// card (one login log for the whole session).
//
// One browser session, several rounds: what `status` tells a page, consent denied (nothing
// reaches the page before the holder answers), a page that signs without consent asked first,
// allowed and remembered, a signature checked with openssl, the site taken back in the options
// page, a tab closed while its PIN window is open (nothing logs in), and two sites asking at once.
//
// usage: node firefox_test.mjs --puppeteer DIR --host FILE --web DIR --token-script FILE
//          --test-module FILE --out DIR
// Exit status 77 when firefox-esr or puppeteer-core is missing.
import { spawnSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';

const SKIP = 77;
const FIREFOX = '/usr/bin/firefox-esr';

const args = {};
// Folders and files as absolute paths: the browser is told them.
for (let i = 2; i < process.argv.length; i += 2) {
  const value = process.argv[i + 1];
  args[process.argv[i].replace(/^--/, '')] = value && value.startsWith('.') ? path.resolve(value) : value;
}
const log = (...words) => console.log('firefox_test:', ...words);
const failures = [];
function check(condition, what) {
  log((condition ? 'ok   ' : 'FAIL ') + what);
  if (!condition) {
    failures.push(what);
  }
}
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function until(what, test, ms = 15000) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await test();
    if (value) {
      return value;
    }
    if (Date.now() > end) {
      throw new Error('gave up waiting for ' + what);
    }
    await sleep(100);
  }
}

if (!fs.existsSync(FIREFOX)) {
  log('firefox-esr is not installed: skipped');
  process.exit(SKIP);
}
let puppeteer;
try {
  puppeteer = createRequire(path.join(args.puppeteer, 'node_modules', 'x.js'))('puppeteer-core');
} catch (e) {
  log('puppeteer-core is missing: skipped');
  process.exit(SKIP);
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'tessivo-firefox-'));
fs.mkdirSync(args.out, { recursive: true });
const run = (command, list, options = {}) => spawnSync(command, list, { encoding: 'utf8', ...options });

// ---- the card: the demo token's keys and certificates, presented by the test module ----
const tokenDir = path.join(work, 'token');
run(args['token-script'], [tokenDir]);
const demo = Object.fromEntries(fs.readFileSync(path.join(tokenDir, 'demo.env'), 'utf8')
  .split('\n').filter((l) => l.includes('=')).map((l) => {
    const at = l.indexOf('=');
    return [l.slice(0, at), l.slice(at + 1).replace(/^'|'$/g, '')];
  }));
const certificate = fs.readFileSync(path.join(tokenDir, 'sign.der')).toString('base64');
const texts = Object.fromEntries(Object.entries(JSON.parse(fs.readFileSync(
  path.join(args.web, 'extension', '_locales', 'en', 'messages.json'), 'utf8')))
  .map(([key, value]) => [key, value.message]));
const loginLog = path.join(work, 'login.log');
const config = path.join(work, 'card.conf');
const file = (name) => path.join(tokenDir, name);
// The card in the first reader; `encipherment` false leaves out the certificate and key the
// agent's login needs beside the signature's.
function writeCard(readers, encipherment = true) {
  fs.writeFileSync(config, [...readers,
    `pin = ${demo.DEMO_PIN}`,
    `login_log = ${loginLog}`,
    `object = cert ; SIGN ; ${file('sign.pem')}`,
    `object = key ; SIGN ; ${file('sign.key')}`,
    ...(encipherment ? [`object = cert ; KEYX ; ${file('keyx.pem')}`,
                        `object = key ; KEYX ; ${file('keyx.key')}`] : []),
    ''].join('\n'));
}
writeCard(['slot = Tessivo Reader ; 1 ; CITIZEN ; FFX00001']);
const logins = () => (fs.existsSync(loginLog) ? fs.readFileSync(loginLog, 'utf8').trim() : '')
  .split('\n').filter(Boolean).length;

function verifies(data, signature) {
  fs.writeFileSync(path.join(work, 'data.bin'), data);
  fs.writeFileSync(path.join(work, 'signature.bin'), Buffer.from(signature, 'base64'));
  const r = run('openssl', ['dgst', '-sha256', '-verify', demo.DEMO_SIGN_PUB, '-signature',
    path.join(work, 'signature.bin'), path.join(work, 'data.bin')]);
  return r.status === 0 && r.stdout.includes('Verified OK');
}
const hashOf = (data) => createHash('sha256').update(data).digest('base64');

// ---- the pages: two servers, two origins ----
function serve() {
  const server = http.createServer((request, response) => {
    const name = path.normalize(decodeURIComponent(new URL(request.url, 'http://x').pathname));
    const full = path.join(args.web, name);
    if (!full.startsWith(path.resolve(args.web)) || !fs.existsSync(full) || fs.statSync(full).isDirectory()) {
      response.writeHead(404).end();
      return;
    }
    const type = { '.js': 'text/javascript', '.html': 'text/html; charset=utf-8', '.png': 'image/png' };
    response.writeHead(200, { 'Content-Type': type[path.extname(full)] || 'application/octet-stream' });
    response.end(fs.readFileSync(full));
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// ---- the browser: a private HOME holding the host's Firefox manifest ----
const home = path.join(work, 'home');
const runtime = path.join(work, 'runtime');
fs.mkdirSync(runtime, { mode: 0o700 });
const manifestDir = path.join(home, '.mozilla', 'native-messaging-hosts');
const installed = run(args.host, ['--install', '--manifest-dir', manifestDir, '--browser', 'firefox']);
if (installed.status !== 0) {
  log('the host cannot write its Firefox manifest: ' + installed.stderr);
  process.exit(1);
}

let browser;
const servers = [];
try {
  servers.push(await serve(), await serve());
  const origins = servers.map((s) => `http://localhost:${s.address().port}`);
  const demoUrl = origins[0] + '/demo/index.html';
  browser = await puppeteer.launch({
    browser: 'firefox', executablePath: FIREFOX, protocol: 'webDriverBiDi', headless: true,
    env: { ...process.env, HOME: home, XDG_RUNTIME_DIR: runtime, TESSIVO_PKCS11_MODULE: args['test-module'],
           TESSIVO_TESTMODULE_CONFIG: config },
    extraPrefsFirefox: {
      // Host permissions asked for by the content script, granted at install as a holder would.
      'extensions.originControls.grantByDefault': true,
    },
  });
  const started = Date.now();
  await browser.installExtension(path.join(args.web, 'extension'));
  const page = (await browser.pages())[0];
  await page.goto(demoUrl);

  // The extension's windows: puppeteer reports them as about:blank, so each page is asked.
  async function extensionPages(kind) {
    const found = [];
    for (const p of await browser.pages()) {
      const href = await p.evaluate(() => location.href).catch(() => '');
      if (href.startsWith('moz-extension:') && (!kind || href.includes(kind))) {
        found.push(p);
      }
    }
    return found;
  }
  async function extensionWindow(kind) {
    const found = await until(kind, async () => (await extensionPages(kind))[0]);
    await until(kind + ' ready', () => found.evaluate(() => document.body.dataset.ready));
    return found;
  }
  const windowsClose = () => until('windows closed', async () => (await extensionPages()).length === 0, 5000)
    .then(() => true, () => false);
  const text = (p, id) => p.$eval('#' + id, (e) => e.textContent);
  // One of tessivo.js's calls, its outcome kept in the page.
  const start = (p, command, ...callArgs) => p.evaluate((c, a) => {
    window.testOutcome = null;
    import('/tessivo.js').then((m) => m[c](...a)).then(
      (result) => { window.testOutcome = { result }; },
      (e) => { window.testOutcome = { code: e.code || 'error', message: e.message }; });
  }, command, callArgs);
  const outcome = (p) => until('an answer', () => p.evaluate(() => window.testOutcome));

  // status tells a page only that the extension and the host are there.
  await start(page, 'status');
  let answer = await outcome(page);
  check(JSON.stringify(answer.result) === '{"extension":true,"host":true,"protocolVersion":1}',
    'status tells only that extension and host are there: ' + JSON.stringify(answer));

  // Consent denied: nothing reaches the page while the window is open.
  await start(page, 'getSigningCertificate');
  let consent = await extensionWindow('consent.html');
  check(await text(consent, 'site-host') === 'localhost' &&
        await text(consent, 'site-origin') === origins[0],
    'the consent window shows the host name and under it the origin');
  check(await consent.evaluate(() => document.documentElement.lang) === 'en',
    'the consent window is marked as English');
  await consent.screenshot({ path: path.join(args.out, 'firefox-consent-en.png') });
  check(await page.evaluate(() => window.testOutcome) === null, 'nothing reaches the page before the holder answers');
  await consent.click('#cancel');
  answer = await outcome(page);
  check(answer.code === 'user-cancelled' && !answer.result, 'consent denied gives user-cancelled');
  check(await windowsClose(), 'the consent window closes');
  await start(page, 'getSigningCertificate');
  answer = await outcome(page);
  check(answer.code === 'busy', 'right after a denial the site gets busy: ' + answer.code);
  await sleep(3200);

  // A page never allowed probes with a certificate of its own guessing: the consent window asks
  // first, in its signing wording, and nothing reaches the page before the holder answers.
  // Denied: user-cancelled, never certificate-mismatch.
  const guessed = fs.readFileSync(file('keyx.der')).toString('base64');
  await start(page, 'sign', guessed, hashOf('probe'), 'SHA-256');
  consent = await extensionWindow('consent.html');
  check(await consent.$eval('h1', (e) => e.textContent) === texts.consentSignTitle,
    'a sign without consent: the consent window asks in its signing wording');
  check(await page.evaluate(() => window.testOutcome) === null,
    'a probing page hears nothing before the holder answers');
  await consent.click('#cancel');
  answer = await outcome(page);
  check(answer.code === 'user-cancelled', 'a probe denied gives user-cancelled: ' + answer.code);
  await sleep(3200);

  // Allowed once (not remembered): the same page learns that its certificate is not the card's,
  // with no PIN window; its next signature goes straight to the PIN window and gets the
  // signature and nothing more.
  const loginsBefore = logins();
  await start(page, 'sign', guessed, hashOf('probe'), 'SHA-256');
  consent = await extensionWindow('consent.html');
  await consent.click('#ok');
  answer = await outcome(page);
  check(answer.code === 'certificate-mismatch' && await windowsClose(),
    'allowed once: another certificate gives certificate-mismatch, no PIN window: ' + answer.code);
  await start(page, 'sign', certificate, hashOf('probe'), 'SHA-256');
  const first = await until('a window', async () => (await extensionPages())[0]);
  check((await first.evaluate(() => location.href)).includes('pin.html'),
    'allowed once: the page\'s next signature opens the PIN window, no second consent');
  let pin = await extensionWindow('pin.html');
  await pin.type('#pin', demo.DEMO_PIN);
  await pin.click('#ok');
  answer = await outcome(page);
  check(answer.result && Object.keys(answer.result).sort().join() ===
        'hashAlgorithm,signature,signatureAlgorithm' && verifies(Buffer.from('probe'), answer.result.signature),
    'allowed once: the page gets the signature and nothing more: ' + JSON.stringify(answer));

  // Allowed and remembered, then a signature with the right PIN. Reading the certificate asks
  // again though the page may sign.
  await page.click('#sign');
  consent = await extensionWindow('consent.html');
  await consent.click('#remember');
  await consent.click('#ok');
  pin = await extensionWindow('pin.html');
  check(await text(pin, 'holder') === '林美華' && await text(pin, 'reader') === 'Tessivo Reader',
    'the PIN window shows the holder and the reader');
  check((await text(pin, 'description')).startsWith('“申請書 2024-117'),
    'the PIN window shows the site\'s description');
  const order = await pin.$$eval('.buttons button', (list) => list.map((e) => e.id).join(','));
  check(order === 'cancel,ok', 'Cancel then OK outside Windows: ' + order);
  await pin.screenshot({ path: path.join(args.out, 'firefox-pin-en.png') });
  // A page may not open an extension page; the extension's own window may (for the options
  // round below).
  await pin.evaluate(() => browser.runtime.openOptionsPage());
  await pin.type('#pin', demo.DEMO_PIN);
  await pin.click('#ok');
  await until('the demo\'s outcome', () => page.$eval('#outcome', (e) => ['ok', 'failed'].includes(e.dataset.state)));
  const text0 = await page.$eval('#text', (e) => e.value);
  const signature = await page.$eval('#signature', (e) => e.textContent);
  check(await page.$eval('#outcome', (e) => e.dataset.verified) === 'true' &&
        verifies(Buffer.from(text0), signature), 'the signature verifies in the page and with openssl');
  check(logins() === loginsBefore + 2, 'one login for each signature');

  // Remembered: the certificate without a window.
  await start(page, 'getSigningCertificate');
  answer = await outcome(page);
  check(answer.result && answer.result.certificate === certificate, 'a remembered site gets the certificate at once');

  // Taken back in the options page: asked again.
  const options = await extensionWindow('options.html');
  const listed = await options.$$eval('#sites li span', (list) => list.map((e) => e.textContent));
  check(JSON.stringify(listed) === JSON.stringify([origins[0]]), 'the options page lists the site: ' + listed);
  await options.click(`button[data-origin="${origins[0]}"]`);
  await until('removed', () => options.evaluate(() => !document.getElementById('none').hidden));
  await options.close();
  await start(page, 'getSigningCertificate');
  consent = await extensionWindow('consent.html');
  await consent.click('#cancel');
  check((await outcome(page)).code === 'user-cancelled', 'a site taken back is asked again');
  await sleep(3200);

  // A tab closed while its PIN window is open (after its consent): the window closes and
  // nothing logs in.
  const doomed = await browser.newPage();
  await doomed.goto(demoUrl);
  await start(doomed, 'sign', certificate, hashOf('never'), 'SHA-256');
  consent = await extensionWindow('consent.html');
  await consent.click('#ok');
  await extensionWindow('pin.html');
  await doomed.close();
  check(await windowsClose(), 'a tab closed: its PIN window closes');
  await sleep(500);
  check(logins() === loginsBefore + 2, 'a tab closed: nothing logs in');

  // Two sites at once: one window at a time, each gets the signature of its own hash.
  const second = await browser.newPage();
  await second.goto(origins[1] + '/demo/index.html');
  const data = ['first site', 'second site'];
  const tabs = [page, second];
  // The page allowed once before its site was remembered and taken back is asked again.
  await start(page, 'sign', certificate, hashOf(data[0]), 'SHA-256');
  consent = await extensionWindow('consent.html');
  await consent.click('#ok');
  await extensionWindow('pin.html');
  await start(second, 'sign', certificate, hashOf(data[1]), 'SHA-256');
  await sleep(1000);
  check((await extensionPages()).length === 1, 'two sites asking: one window at a time');
  for (let round = 0; round < 2; round += 1) {
    if (round === 1) {
      consent = await extensionWindow('consent.html');
      check(await text(consent, 'site-origin') === origins[1],
        'the second site, never allowed, is asked before its PIN window');
      await consent.click('#ok');
    }
    pin = await extensionWindow('pin.html');
    check((await extensionPages()).length === 1, 'never two windows at once');
    const asking = origins.indexOf(await text(pin, 'site-origin'));
    await pin.type('#pin', demo.DEMO_PIN);
    await pin.click('#ok');
    answer = await outcome(tabs[asking]);
    check(answer.result && verifies(Buffer.from(data[asking]), answer.result.signature),
      `${origins[asking]} gets the signature of its own hash`);
  }
  await second.close();

  // Cards the agent's login cannot use, refused before any PIN window (the page is allowed by
  // now: no consent window either). The host is stopped, as if
  // it had died, so that the next request starts a new one whose agent reads the new card: one
  // without its encipherment certificate, and two readers sharing a description.
  writeCard(['slot = Tessivo Reader ; 1 ; CITIZEN ; FFX00002', 'slot = Twin Reader ; 1 ; TWIN ; TWIN0001',
             'slot = Twin Reader ; 1 ; TWIN ; TWIN0002'], false);
  const hosts = () => fs.readdirSync('/proc').filter((name) => /^\d+$/.test(name)).filter((pid) => {
    try {
      return fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').includes(manifestDir);
    } catch (e) {
      return false;
    }
  });
  for (const pid of hosts()) {
    process.kill(Number(pid));
  }
  await until('the host gone', () => hosts().length === 0);
  const before = logins();
  for (const [what, reader, code] of [
    ['a card without its encipherment certificate', undefined, 'unsupported-card'],
    ['readers sharing a description', 'Twin Reader', 'ambiguous-reader'],
  ]) {
    await start(page, 'sign', { certificate, reader }, hashOf(what), 'SHA-256');
    answer = await outcome(page);
    if (answer.code === 'no-host') {
      // The request raced the browser noticing that the stopped host's pipe closed: it was
      // answered as lost, rightly; the next one starts a new host.
      await start(page, 'sign', { certificate, reader }, hashOf(what), 'SHA-256');
      answer = await outcome(page);
    }
    check(answer.code === code && (await extensionPages()).length === 0,
      `${what}: ${code} and no window (${answer.code}: ${answer.message})`);
  }
  check(logins() === before, 'refused cards: nothing logs in');
  log(`rounds took ${((Date.now() - started) / 1000).toFixed(1)} s`);
} catch (e) {
  check(false, 'the rounds ran through: ' + (e && e.stack || e));
} finally {
  if (browser) {
    await browser.close().catch(() => {});
  }
  for (const server of servers) {
    server.close();
  }
  fs.rmSync(work, { recursive: true, force: true });
}
process.exit(failures.length ? 1 : 0);
