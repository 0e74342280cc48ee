// The extension's background: takes page requests from the content script, asks the holder in
// a window of its own (consent before anything about the card reaches a site, the PIN for a
// signature), and asks the native host. The PIN goes from the PIN window to the host only.
//
// Consent first: until the holder allows a site (remembered), or allows a page once, the host is
// asked nothing about the card for it. Any card-dependent answer (no card, another certificate,
// a locked PIN, a card the agent cannot use) would tell a site that never asked whether a card is
// there and whose it is.
//
// One window at a time: requests wait in one queue and run one after the other. A page (one
// document of a tab) may have one request pending; a site (origin) one more waiting. A page's
// requests go with it: when it closes, reloads or navigates away its window closes and nothing
// more is asked of the card for it.
'use strict';

const api = typeof browser !== 'undefined' ? browser : chrome;

const HOST_NAME = 'org.tessivo.host';
const PROTOCOL_VERSION = 1;
// The longest each request may take, the holder's answer in its window included.
const TIME_LIMITS_MS = {
  'status': 20000,
  'get-signing-certificate': 120000,
  'sign': 180000,
};
const HASH_ALGORITHMS = ['SHA-224', 'SHA-256', 'SHA-384', 'SHA-512'];
// A page may ask for a shorter limit, down to this, but never for a longer one.
const SHORTEST_LIMIT_MS = 1000;
// After the holder declines a site, that site may not open another window for this long.
const COOL_DOWN_MS = 3000;
const DESCRIPTION_MAX = 200;
// Remembered sites, kept by the extension: { origin: { since: ISO date } }.
const ALLOWED_KEY = 'allowedOrigins';

class RequestError extends Error {
  constructor(code, message, details) {
    super(message || code);
    this.code = code;
    this.details = details || {};
  }
}

// ---- the native host: one connection, one host (and one agent) for its life ----

let port = null;
let nextHostId = 1;
const waiting = new Map();

function hostPort() {
  if (port) {
    return port;
  }
  port = api.runtime.connectNative(HOST_NAME);
  port.onMessage.addListener((reply) => {
    const entry = reply && waiting.get(reply.id);
    if (!entry) {
      return;
    }
    waiting.delete(reply.id);
    if (reply.error) {
      entry.reject(new RequestError(reply.error.code, reply.error.message, reply.error));
    } else {
      entry.resolve(reply.result);
    }
  });
  port.onDisconnect.addListener((p) => {
    const why = (p && p.error && p.error.message) ||
      (api.runtime.lastError && api.runtime.lastError.message) || 'the host ended';
    port = null;
    for (const entry of waiting.values()) {
      entry.reject(new RequestError('no-host', why));
    }
    waiting.clear();
  });
  return port;
}

function askHost(command, args) {
  return new Promise((resolve, reject) => {
    const id = 'h' + nextHostId++;
    waiting.set(id, { resolve, reject });
    try {
      hostPort().postMessage({ version: PROTOCOL_VERSION, id, command, arguments: args || {} });
    } catch (e) {
      waiting.delete(id);
      reject(new RequestError('no-host', String(e && e.message || e)));
    }
  });
}

// ---- who may ask ----

function originAllowed(origin) {
  try {
    const url = new URL(origin);
    return url.protocol === 'https:' || (url.protocol === 'http:' && url.hostname === 'localhost');
  } catch (e) {
    return false;
  }
}

// Content scripts run beside pages: they have no business with the remembered sites.
if (api.storage.local.setAccessLevel) {
  api.storage.local.setAccessLevel({ accessLevel: 'TRUSTED_CONTEXTS' }).catch(() => {});
}

async function rememberedOrigins() {
  const stored = await api.storage.local.get(ALLOWED_KEY);
  return stored[ALLOWED_KEY] || {};
}

async function remember(origin) {
  const allowed = await rememberedOrigins();
  allowed[origin] = { since: new Date().toISOString() };
  await api.storage.local.set({ [ALLOWED_KEY]: allowed });
}

// Pages the holder allowed: page → origin. Without "remember", an Allow holds for that page's
// document until it closes, reloads or navigates away, and lets it sign; reading the
// certificate again asks again.
const allowedPages = new Map();

// A site taken back in the options page is asked again, by its open pages too.
api.storage.onChanged.addListener((changes, area) => {
  if (area !== 'local' || !changes[ALLOWED_KEY]) {
    return;
  }
  const before = changes[ALLOWED_KEY].oldValue || {};
  const after = changes[ALLOWED_KEY].newValue || {};
  for (const [page, origin] of allowedPages) {
    if (before[origin] && !after[origin]) {
      allowedPages.delete(page);
    }
  }
});

const coolDownUntil = new Map();

function coolingDown(origin) {
  const until = coolDownUntil.get(origin);
  if (until && until > Date.now()) {
    return true;
  }
  coolDownUntil.delete(origin);
  return false;
}

// ---- the queue ----

let current = null;
const queue = [];

function timeLimit(command, asked) {
  const standard = TIME_LIMITS_MS[command] || 20000;
  if (typeof asked !== 'number' || !Number.isFinite(asked) || asked <= 0) {
    return standard;
  }
  return Math.min(standard, Math.max(SHORTEST_LIMIT_MS, Math.ceil(asked)));
}

function randomId() {
  const bytes = new Uint8Array(16);
  crypto.getRandomValues(bytes);
  return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
}

function closeWindow(request) {
  if (request.windowId !== undefined) {
    const id = request.windowId;
    request.windowId = undefined;
    request.closing = api.windows.remove(id).catch(() => {});
  }
}

// Ends a request once: its window closes, the page gets its answer (if it is still there), and
// the next request in the queue may start.
function finish(request, error, result) {
  if (request.done) {
    return;
  }
  request.done = true;
  clearTimeout(request.timer);
  closeWindow(request);
  if (current === request) {
    current = null;
  } else {
    const at = queue.indexOf(request);
    if (at >= 0) {
      queue.splice(at, 1);
    }
  }
  if (error && error.declined) {
    coolDownUntil.set(request.origin, Date.now() + COOL_DOWN_MS);
  }
  request.reply(error ? { error: Object.assign({}, error.details || {}, {
    code: error.code || 'extension-failed', message: error.message || String(error),
  }) } : { result });
  pump();
}

function declined(message) {
  const error = new RequestError('user-cancelled', message);
  error.declined = true;
  return error;
}

function pump() {
  while (!current && queue.length > 0) {
    const request = queue.shift();
    if (coolingDown(request.origin)) {
      finish(request, new RequestError('busy', 'the holder has just declined this site: ask again in a few seconds'));
      continue;
    }
    current = request;
    run(request).then((result) => finish(request, null, result), (e) => finish(request, e));
  }
}

function submit(request) {
  const samePage = (r) => r.page === request.page;
  if ((current && samePage(current)) || queue.some(samePage)) {
    throw new RequestError('busy', 'this page already has a request pending');
  }
  if (queue.some((r) => r.origin === request.origin)) {
    throw new RequestError('busy', 'a request of this site is already waiting');
  }
  if (coolingDown(request.origin)) {
    throw new RequestError('busy', 'the holder has just declined this site: ask again in a few seconds');
  }
  request.timer = setTimeout(() => {
    finish(request, new RequestError('timeout', 'the request took too long'));
  }, request.limitMs);
  queue.push(request);
  pump();
}

// A page went away: its requests are dropped, their windows closed, nothing more done for them.
function dropPage(page) {
  for (const request of [current, ...queue]) {
    if (request && request.page === page) {
      finish(request, new RequestError('page-gone', 'the page went away'));
    }
  }
}

// ---- the holder's windows ----

async function openWindow(request, page, height) {
  // A request's consent window is gone before its PIN window opens: never two at once.
  await request.closing;
  const created = await api.windows.create({
    url: api.runtime.getURL(page) + '?request=' + request.id, type: 'popup', width: 480, height,
    focused: true,
  });
  request.windowId = created.id;
  if (request.done) {
    closeWindow(request);
  }
  return new Promise((resolve, reject) => {
    request.answer = resolve;
    request.fail = reject;
  });
}

api.windows.onRemoved.addListener((windowId) => {
  if (current && current.windowId === windowId) {
    current.windowId = undefined;
    if (current.fail) {
      current.fail(declined('the window was closed'));
    }
  }
});

// ---- the commands ----

async function cardFor(request, reader) {
  const card = await askHost('get-signing-certificate', { origin: request.origin, reader });
  if (card.pinLocked === true) {
    throw new RequestError('pin-locked', 'the card\'s PIN is locked');
  }
  return card;
}

// The consent window; `purpose` ('certificate' or 'sign') picks its wording, which says what the
// site will learn. Deny (or closing the window) rejects; Allow lets the page sign until it goes.
async function askConsent(request, purpose) {
  request.kind = 'consent';
  request.purpose = purpose;
  const answer = await openWindow(request, 'consent.html', 420);
  if (request.done) {
    return;
  }
  allowedPages.set(request.page, request.origin);
  if (answer.remember) {
    await remember(request.origin);
  }
}

async function getSigningCertificate(request, args) {
  const reader = typeof args.reader === 'string' ? args.reader : undefined;
  if (!(await rememberedOrigins())[request.origin]) {
    await askConsent(request, 'certificate');
  }
  if (request.done) {
    return undefined;
  }
  const card = await cardFor(request, reader);
  return {
    certificate: card.certificate, reader: card.reader, subject: card.subject,
    holderName: card.holderName, issuer: card.issuer, serialNumber: card.serialNumber,
    notBefore: card.notBefore, notAfter: card.notAfter, cardSerial: card.cardSerial,
  };
}

function checkDescription(description) {
  if (description === undefined) {
    return '';
  }
  // Plain text on one line: control characters and direction overrides could make it say
  // something else than it reads.
  if (typeof description !== 'string' || [...description].length > DESCRIPTION_MAX ||
      /[\u0000-\u001f\u007f-\u009f\u200e\u200f\u202a-\u202e\u2066-\u2069]/.test(description)) {
    throw new RequestError('invalid-request',
      `the description is plain text on one line, at most ${DESCRIPTION_MAX} characters`);
  }
  return description.trim();
}

// The first eight bytes of the hash, in groups of four hex digits: enough for the holder to
// compare with what the site shows.
function fingerprint(hashBase64) {
  try {
    const bytes = Array.from(atob(hashBase64).slice(0, 8), (c) => c.charCodeAt(0));
    const hex = bytes.map((b) => b.toString(16).padStart(2, '0')).join('').toUpperCase();
    return hex.match(/.{1,4}/g).join(' ');
  } catch (e) {
    throw new RequestError('invalid-request', 'the hash is not Base64');
  }
}

async function sign(request, args) {
  if (typeof args.certificate !== 'string' || typeof args.hash !== 'string' ||
      !HASH_ALGORITHMS.includes(args.hashAlgorithm)) {
    throw new RequestError('invalid-request', 'sign needs a certificate, a hash and its algorithm');
  }
  const description = checkDescription(args.description);
  const reader = typeof args.reader === 'string' ? args.reader : undefined;
  // What the PIN window shows of the card; the card must hold the certificate. Anything the
  // card cannot do is answered after the holder's consent and before the PIN window.
  const shown = {
    origin: request.origin, description, hashAlgorithm: args.hashAlgorithm,
    fingerprint: fingerprint(args.hash), holder: '', issuer: '', notAfter: '',
    reader: reader || '', pinPad: false, pinCountLow: false, pinFinalTry: false,
  };
  if (!allowedPages.has(request.page) && !(await rememberedOrigins())[request.origin]) {
    await askConsent(request, 'sign');
  }
  if (request.done) {
    return undefined;
  }
  try {
    const card = await cardFor(request, reader);
    if (card.certificate !== args.certificate) {
      throw new RequestError('certificate-mismatch', 'the card holds another certificate');
    }
    Object.assign(shown, {
      holder: card.holderName, issuer: card.issuer, notAfter: card.notAfter, reader: card.reader,
      pinPad: card.pinPad === true, pinCountLow: card.pinCountLow === true,
      pinFinalTry: card.pinFinalTry === true,
    });
  } catch (e) {
    if (e.code !== 'certificate-not-public') {
      throw e;
    }
    // The card is compared with the certificate after the PIN; its reader, and whether that
    // reader has its own PIN pad, are known without it.
    const { readers } = await askHost('readers');
    const cards = readers.filter((r) => r.cardPresent && (!reader || r.name === reader));
    if (cards.length === 1) {
      Object.assign(shown, { reader: cards[0].name, pinPad: cards[0].pinPad === true,
                             pinCountLow: cards[0].pinCountLow === true,
                             pinFinalTry: cards[0].pinFinalTry === true });
    }
  }
  if (request.done) {
    return undefined;
  }
  request.kind = 'pin';
  request.shown = shown;
  request.hostArguments = {
    origin: request.origin, reader: shown.reader || undefined, certificate: args.certificate,
    hash: args.hash, hashAlgorithm: args.hashAlgorithm,
  };
  return openWindow(request, 'pin.html', 560);
}

async function run(request) {
  const args = request.arguments;
  switch (request.command) {
  case 'get-signing-certificate':
    return getSigningCertificate(request, args);
  case 'sign':
    // A site that asked to sign gets the signature, and of a card it cannot use only why: the
    // host's message lists the card's certificates, subjects and all.
    return sign(request, args).then(
      (r) => r && { signature: r.signature, hashAlgorithm: r.hashAlgorithm,
                    signatureAlgorithm: r.signatureAlgorithm },
      (e) => {
        throw e.code === 'unsupported-card'
          ? new RequestError(e.code, 'the card lacks a certificate that signing with it needs') : e;
      });
  default:
    throw new RequestError('unknown-command', 'no such command');
  }
}

// A PIN from the window: one signature attempt; a wrong PIN lets the window ask again.
async function submitPin(request, pin) {
  if (request.busy) {
    return { done: false };
  }
  // On a reader with its own PIN pad the holder types the PIN there: none travels from here.
  if (!request.shown.pinPad && (typeof pin !== 'string' || pin.length === 0)) {
    return { retry: true, reason: 'empty' };
  }
  request.busy = true;
  try {
    const pinArgument = request.shown.pinPad ? {} : { pin };
    const result = await askHost('sign', Object.assign({}, request.hostArguments, pinArgument));
    request.answer(result);
    return { done: true };
  } catch (e) {
    if (e.code === 'pin-incorrect' && !request.done) {
      return { retry: true, reason: 'pin-incorrect', pinCountLow: !!e.details.pinCountLow,
               pinFinalTry: !!e.details.pinFinalTry };
    }
    request.fail(e);
    return { done: true };
  } finally {
    request.busy = false;
  }
}

// ---- pages: one port per document, opened by the content script ----

function senderOrigin(sender) {
  if (sender.origin) {
    return sender.origin;
  }
  try {
    return new URL(sender.url).origin;
  } catch (e) {
    return '';
  }
}

let nextPage = 1;

api.runtime.onConnect.addListener((pagePort) => {
  const sender = pagePort.sender || {};
  if (pagePort.name !== 'tessivo-page' || sender.id !== api.runtime.id || !sender.tab) {
    pagePort.disconnect();
    return;
  }
  const page = nextPage++;
  const origin = senderOrigin(sender);
  let connected = true;
  pagePort.onDisconnect.addListener(() => {
    connected = false;
    allowedPages.delete(page);
    dropPage(page);
  });
  pagePort.onMessage.addListener((message) => {
    if (!message || typeof message.requestId !== 'string' || typeof message.command !== 'string') {
      return;
    }
    const reply = (answer) => {
      if (connected) {
        pagePort.postMessage(Object.assign({ requestId: message.requestId }, answer));
      }
    };
    const args = message.arguments && typeof message.arguments === 'object' ? message.arguments : {};
    if (!originAllowed(origin)) {
      reply({ error: { code: 'origin-refused', message: 'only https pages (and http://localhost) may ask' } });
      return;
    }
    if (message.command === 'status') {
      // Only that the extension and the host are there, and the protocol they speak.
      askHost('status').then(
        (s) => reply({ result: { extension: true, host: true, protocolVersion: s.protocolVersion } }),
        (e) => reply({ error: { code: e.code || 'extension-failed', message: e.message } }));
      return;
    }
    const request = {
      id: randomId(), page, origin, command: message.command, arguments: args, done: false,
      limitMs: timeLimit(message.command, message.timeLimitMs), reply,
    };
    try {
      submit(request);
    } catch (e) {
      reply({ error: { code: e.code, message: e.message } });
    }
  });
});

// ---- the holder's windows talk to the background ----

function windowRequest(message, kind) {
  const request = current;
  return request && request.id === message.request && request.kind === kind && !request.done
    ? request : null;
}

api.runtime.onMessage.addListener((message, sender, sendResponse) => {
  if (sender.id !== api.runtime.id || !message || typeof message.type !== 'string' ||
      typeof sender.url !== 'string') {
    return false;
  }
  const fromConsent = sender.url.startsWith(api.runtime.getURL('consent.html'));
  const fromPin = sender.url.startsWith(api.runtime.getURL('pin.html'));
  if (message.type === 'consent-details' && fromConsent) {
    const request = windowRequest(message, 'consent');
    sendResponse(request ? { origin: request.origin, purpose: request.purpose } : { gone: true });
  } else if (message.type === 'consent-answer' && fromConsent) {
    const request = windowRequest(message, 'consent');
    if (request) {
      closeWindow(request);
      if (message.allow === true) {
        request.answer({ remember: message.remember === true });
      } else {
        request.fail(declined('the holder declined'));
      }
    }
    sendResponse({ done: true });
  } else if (message.type === 'pin-details' && fromPin) {
    const request = windowRequest(message, 'pin');
    sendResponse(request ? request.shown : { gone: true });
  } else if (message.type === 'pin-submit' && fromPin) {
    const request = windowRequest(message, 'pin');
    if (!request) {
      sendResponse({ done: true });
      return false;
    }
    submitPin(request, message.pin).then(sendResponse);
    return true;
  } else if (message.type === 'pin-cancel' && fromPin) {
    const request = windowRequest(message, 'pin');
    if (request) {
      request.fail(declined('the holder cancelled'));
    }
    sendResponse({ done: true });
  }
  return false;
});
