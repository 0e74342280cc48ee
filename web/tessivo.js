// tessivo.js: signing with the card holder's smart card from a web page, through the Tessivo
// extension. Every call returns a promise; a failure is a TessivoError with a stable `code`:
//   no-extension, timeout, origin-refused, user-cancelled, busy, no-card, no-reader,
//   ambiguous-reader, unsupported-card, pin-locked, certificate-mismatch,
//   certificate-not-public, no-certificate, no-host, sign-failed, invalid-request, and the
//   host's other codes.
// The PIN is typed in the extension's own window: this page never sees it. Nothing about the
// card, not even whether one is there, reaches the page before the holder allowed this site in
// the extension's window: for good (until they take it back in the extension's options), or
// once, which holds for this page until it closes, reloads or navigates away. The certificate
// is asked for each time unless the site is remembered; sign() from an allowed page goes
// straight to the PIN window.
// `busy`: this page already has a request pending, another of this site is already waiting, or
// the holder has just declined this site (it may ask again after a few seconds).
// getSigningCertificate() and sign() take `options.timeLimitMs`: a page may shorten a request's
// time limit (the extension then closes its PIN window and answers `timeout`), never lengthen it.

const TIME_LIMITS_MS = {
  'status': 25000,
  'get-signing-certificate': 125000,
  'sign': 190000,
};
// How long the extension has to show that it is there.
const ACK_MS = 1500;
// Beyond a shorter limit the page asked for: time for the extension's own `timeout` to arrive.
const ANSWER_MARGIN_MS = 5000;

export class TessivoError extends Error {
  constructor(code, message, details) {
    super(message || code);
    this.name = 'TessivoError';
    this.code = code;
    this.details = details || {};
  }
}

let counter = 0;

function newId() {
  counter += 1;
  const random = Math.random().toString(36).slice(2, 10);
  return `t${Date.now().toString(36)}-${counter}-${random}`;
}

function call(command, args, timeLimitMs) {
  const asked = Number.isFinite(timeLimitMs) && timeLimitMs > 0 ? Math.ceil(timeLimitMs) : undefined;
  const limit = asked ? Math.min(TIME_LIMITS_MS[command], asked + ANSWER_MARGIN_MS)
    : TIME_LIMITS_MS[command];
  return new Promise((resolve, reject) => {
    const id = newId();
    let acknowledged = false;
    const finish = () => {
      clearTimeout(ackTimer);
      clearTimeout(timer);
      window.removeEventListener('message', onMessage);
    };
    const ackTimer = setTimeout(() => {
      if (!acknowledged) {
        finish();
        reject(new TessivoError('no-extension', 'the Tessivo extension is not installed'));
      }
    }, ACK_MS);
    const timer = setTimeout(() => {
      finish();
      reject(new TessivoError('timeout', `no answer within ${limit / 1000} s`));
    }, limit);
    function onMessage(event) {
      const data = event.data;
      if (event.source !== window || !data || data.tessivo !== 'from-extension' || data.id !== id) {
        return;
      }
      if (data.type === 'ack') {
        acknowledged = true;
        return;
      }
      finish();
      if (data.error) {
        reject(new TessivoError(data.error.code, data.error.message, data.error));
      } else {
        resolve(data.result);
      }
    }
    window.addEventListener('message', onMessage);
    const target = window.location.origin === 'null' ? '*' : window.location.origin;
    window.postMessage({ tessivo: 'to-extension', id, command, arguments: args || {},
                         timeLimitMs: asked }, target);
  });
}

function toBase64(bytes) {
  let text = '';
  for (const b of new Uint8Array(bytes)) {
    text += String.fromCharCode(b);
  }
  return btoa(text);
}

// Whether the extension and its host are there: { extension: true, host: true, protocolVersion }.
export function status() {
  return call('status');
}

// The card's signing certificate, read without a PIN once the holder allowed this site:
// { certificate (Base64 DER), reader, holderName, subject, issuer, serialNumber, notBefore,
// notAfter, cardSerial }. Declined: `user-cancelled`.
export function getSigningCertificate(options = {}) {
  return call('get-signing-certificate', options.reader ? { reader: options.reader } : {},
              options.timeLimitMs);
}

// Signs a hash made by the page (e.g. crypto.subtle.digest) with the certificate's card key.
// `certificate` is getSigningCertificate()'s result or its Base64 certificate; `hash` an
// ArrayBuffer, typed array or Base64 text; `hashAlgorithm` SHA-224, SHA-256, SHA-384 or SHA-512.
// `options.description`: what is signed, in the site's own words, shown as plain text in the PIN
// window (at most 200 characters on one line).
// Resolves to { signature (Base64, RSASSA-PKCS1-v1_5), hashAlgorithm, signatureAlgorithm }.
// A page not yet allowed is asked for first (declined: `user-cancelled`); any answer about the
// card comes after that.
// A card that shows its certificate only after the PIN (`certificate-not-public`) still signs
// when the page has the certificate from elsewhere; the card's is compared after the PIN.
export function sign(certificate, hash, hashAlgorithm, options = {}) {
  const args = { hashAlgorithm };
  if (options.description !== undefined) {
    args.description = options.description;
  }
  if (certificate && typeof certificate === 'object') {
    args.certificate = certificate.certificate;
    if (certificate.reader) {
      args.reader = certificate.reader;
    }
  } else {
    args.certificate = certificate;
  }
  args.hash = typeof hash === 'string' ? hash
    : toBase64(hash instanceof ArrayBuffer ? hash : hash.buffer.slice(hash.byteOffset,
                                                                       hash.byteOffset + hash.byteLength));
  return call('sign', args, options.timeLimitMs);
}
