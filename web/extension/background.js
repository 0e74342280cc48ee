// The extension's background worker: takes page requests from the content script, one at a
// time, asks the native host, and for a signature opens the extension's own PIN window. The
// PIN goes from that window to the host only.
'use strict';

const api = typeof browser !== 'undefined' ? browser : chrome;

const HOST_NAME = 'org.tessivo.host';
const PROTOCOL_VERSION = 1;
// The longest each request may take, PIN typing included for a signature.
const TIME_LIMITS_MS = {
  'status': 20000,
  'readers': 20000,
  'get-signing-certificate': 30000,
  'sign': 180000,
};
const HASH_ALGORITHMS = ['SHA-224', 'SHA-256', 'SHA-384', 'SHA-512'];
// A page may ask for a shorter limit, down to this, but never for a longer one.
const SHORTEST_LIMIT_MS = 1000;

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

function pinPageUrl() {
  return api.runtime.getURL('pin.html');
}

// ---- one request at a time ----

let queue = Promise.resolve();

function enqueue(task) {
  const run = queue.then(task, task);
  queue = run.catch(() => {});
  return run;
}

function timeLimit(command, asked) {
  const standard = TIME_LIMITS_MS[command] || 20000;
  if (typeof asked !== 'number' || !Number.isFinite(asked) || asked <= 0) {
    return standard;
  }
  return Math.min(standard, Math.max(SHORTEST_LIMIT_MS, Math.ceil(asked)));
}

function withTimeLimit(promise, ms, onTimeout) {
  let timer;
  const limit = new Promise((_, reject) => {
    timer = setTimeout(() => {
      if (onTimeout) {
        onTimeout();
      }
      reject(new RequestError('timeout', 'the request took too long'));
    }, ms);
  });
  return Promise.race([promise, limit]).finally(() => clearTimeout(timer));
}

// ---- the PIN window ----

// The signature waiting for its PIN, at most one (requests are queued).
let pinRequest = null;

function randomId() {
  const bytes = new Uint8Array(16);
  crypto.getRandomValues(bytes);
  return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
}

function closePinWindow(request) {
  if (request && request.windowId !== undefined) {
    const id = request.windowId;
    request.windowId = undefined;
    api.windows.remove(id).catch(() => {});
  }
}

function finishPin(request, error, result) {
  if (pinRequest !== request || request.done) {
    return;
  }
  request.done = true;
  pinRequest = null;
  closePinWindow(request);
  if (error) {
    request.reject(error);
  } else {
    request.resolve(result);
  }
}

api.windows.onRemoved.addListener((windowId) => {
  if (pinRequest && pinRequest.windowId === windowId) {
    pinRequest.windowId = undefined;
    finishPin(pinRequest, new RequestError('user-cancelled', 'the PIN window was closed'));
  }
});

async function sign(origin, args, ticket) {
  args = args || {};
  if (typeof args.certificate !== 'string' || typeof args.hash !== 'string' ||
      !HASH_ALGORITHMS.includes(args.hashAlgorithm)) {
    throw new RequestError('invalid-request', 'sign needs a certificate, a hash and its algorithm');
  }
  const reader = typeof args.reader === 'string' ? args.reader : undefined;
  // The certificate's holder and reader, shown in the PIN window; the card must hold it.
  let holder = '';
  let readerName = reader || '';
  let pinPad = false;
  try {
    const card = await askHost('get-signing-certificate', { origin, reader });
    if (card.certificate !== args.certificate) {
      throw new RequestError('certificate-mismatch', 'the card holds another certificate');
    }
    holder = card.holderName;
    readerName = card.reader;
    pinPad = card.pinPad === true;
  } catch (e) {
    if (e.code !== 'certificate-not-public') {
      throw e;
    }
    // The card is compared with the certificate after the PIN; its reader, and whether that
    // reader has its own PIN pad, are known without it.
    const { readers } = await askHost('readers');
    const cards = readers.filter((r) => r.cardPresent && (!reader || r.name === reader));
    if (cards.length === 1) {
      readerName = cards[0].name;
      pinPad = cards[0].pinPad === true;
    }
  }
  // The page got its `timeout` while the card was read: no PIN window for it any more.
  if (ticket.expired) {
    throw new RequestError('timeout', 'the request took too long');
  }
  const request = {
    id: randomId(), origin, holder, reader: readerName, pinPad, done: false, busy: false,
    hostArguments: { origin, reader: readerName || undefined, certificate: args.certificate,
                     hash: args.hash, hashAlgorithm: args.hashAlgorithm },
  };
  const result = new Promise((resolve, reject) => {
    request.resolve = resolve;
    request.reject = reject;
  });
  pinRequest = request;
  const created = await api.windows.create({
    url: pinPageUrl() + '?request=' + request.id, type: 'popup', width: 440, height: 400,
    focused: true,
  });
  request.windowId = created.id;
  if (request.done) {
    closePinWindow(request);
  }
  return result;
}

// A PIN from the window: one signature attempt; a wrong PIN lets the window ask again.
async function submitPin(requestId, pin) {
  const request = pinRequest;
  if (!request || request.id !== requestId || request.done || request.busy) {
    return { done: true };
  }
  // On a reader with its own PIN pad the holder types the PIN there: none travels from here.
  if (!request.pinPad && (typeof pin !== 'string' || pin.length === 0)) {
    return { retry: true, reason: 'empty' };
  }
  request.busy = true;
  try {
    const pinArgument = request.pinPad ? {} : { pin };
    const result = await askHost('sign', Object.assign({}, request.hostArguments, pinArgument));
    finishPin(request, null, result);
    return { done: true };
  } catch (e) {
    if (e.code === 'pin-incorrect' && !request.done) {
      return { retry: true, reason: 'pin-incorrect', pinCountLow: !!e.details.pinCountLow,
               pinFinalTry: !!e.details.pinFinalTry };
    }
    finishPin(request, e);
    return { done: true };
  } finally {
    request.busy = false;
  }
}

// ---- requests from pages ----

async function pageRequest(origin, command, args, ticket) {
  if (!originAllowed(origin)) {
    throw new RequestError('origin-refused', 'only https pages (and http://localhost) may ask');
  }
  args = args && typeof args === 'object' ? args : {};
  switch (command) {
  case 'status': {
    const status = await askHost('status');
    return Object.assign({ extensionVersion: api.runtime.getManifest().version }, status);
  }
  case 'get-signing-certificate':
    return askHost('get-signing-certificate', {
      origin, reader: typeof args.reader === 'string' ? args.reader : undefined,
    });
  case 'sign':
    return sign(origin, args, ticket);
  default:
    throw new RequestError('unknown-command', 'no such command');
  }
}

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

function asReply(promise) {
  return promise.then(
    (result) => ({ result }),
    (e) => ({ error: Object.assign({}, e.details || {}, {
      code: e.code || 'extension-failed', message: e.message || String(e),
    }) }));
}

api.runtime.onMessage.addListener((message, sender, sendResponse) => {
  if (sender.id !== api.runtime.id || !message || typeof message.type !== 'string') {
    return false;
  }
  const fromPinPage = typeof sender.url === 'string' && sender.url.startsWith(pinPageUrl());
  if (message.type === 'page-request' && sender.tab && !fromPinPage) {
    const origin = senderOrigin(sender);
    const command = message.command;
    // The limit counts from the page's request, time in the queue included, as the page's does.
    const deadline = Date.now() + timeLimit(command, message.timeLimitMs);
    const ticket = { expired: false };
    const work = enqueue(() => {
      if (Date.now() >= deadline) {
        return Promise.reject(new RequestError('timeout', 'the request waited too long'));
      }
      return withTimeLimit(pageRequest(origin, command, message.arguments, ticket),
        deadline - Date.now(), () => {
          ticket.expired = true;
          if (pinRequest) {
            finishPin(pinRequest, new RequestError('timeout', 'no PIN was given in time'));
          }
        });
    });
    asReply(work).then(sendResponse);
    return true; // the answer comes later
  }
  if (!fromPinPage) {
    return false;
  }
  const request = pinRequest;
  if (message.type === 'pin-details') {
    sendResponse(request && request.id === message.request
      ? { origin: request.origin, holder: request.holder, reader: request.reader,
          pinPad: request.pinPad }
      : { gone: true });
    return false;
  }
  if (message.type === 'pin-submit') {
    submitPin(message.request, message.pin).then(sendResponse);
    return true;
  }
  if (message.type === 'pin-cancel') {
    if (request && request.id === message.request) {
      finishPin(request, new RequestError('user-cancelled', 'the user cancelled'));
    }
    sendResponse({ done: true });
    return false;
  }
  return false;
});
