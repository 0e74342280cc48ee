// The demo: hash the text with WebCrypto, have the card sign the hash, verify the signature
// here with the certificate's public key.
import { getSigningCertificate, sign } from '../tessivo.js';

const $ = (id) => document.getElementById(id);

function fromBase64(text) {
  return Uint8Array.from(atob(text), (c) => c.charCodeAt(0));
}

function hex(bytes) {
  return Array.from(new Uint8Array(bytes), (b) => b.toString(16).padStart(2, '0')).join('');
}

// DER: the element at `offset` as { start of its content, end }.
function element(der, offset) {
  let length = der[offset + 1];
  let start = offset + 2;
  if (length & 0x80) {
    const count = length & 0x7f;
    length = 0;
    for (let i = 0; i < count; i += 1) {
      length = length * 256 + der[start + i];
    }
    start += count;
  }
  return { tag: der[offset], start, end: start + length };
}

// The certificate's SubjectPublicKeyInfo: the seventh element of the TBSCertificate when it
// has a version, else the sixth.
function publicKeyInfo(der) {
  const certificate = element(der, 0);
  const tbs = element(der, certificate.start);
  let at = tbs.start;
  let item = element(der, at);
  const skip = item.tag === 0xa0 ? 6 : 5;
  for (let i = 0; i < skip; i += 1) {
    at = item.end;
    item = element(der, at);
  }
  return der.slice(at, item.end);
}

function show(state, text) {
  $('outcome').dataset.state = state;
  $('outcome').className = state;
  $('outcome').textContent = text;
}

$('sign').addEventListener('click', async () => {
  show('busy', '簽章中… / Signing…');
  $('outcome').dataset.code = '';
  try {
    const data = new TextEncoder().encode($('text').value);
    const hash = await crypto.subtle.digest('SHA-256', data);
    $('hash').textContent = hex(hash);
    const certificate = await getSigningCertificate();
    $('holder').textContent = certificate.holderName;
    $('reader').textContent = certificate.reader;
    const signed = await sign(certificate, hash, 'SHA-256',
      { description: $('text').value.split('\n')[0].slice(0, 200) });
    $('signature').textContent = signed.signature;
    const key = await crypto.subtle.importKey('spki', publicKeyInfo(fromBase64(certificate.certificate)),
      { name: 'RSASSA-PKCS1-v1_5', hash: 'SHA-256' }, false, ['verify']);
    const good = await crypto.subtle.verify('RSASSA-PKCS1-v1_5', key, fromBase64(signed.signature), data);
    $('outcome').dataset.verified = String(good);
    show(good ? 'ok' : 'failed', good ? '簽章已驗證 / Signature verified'
      : '簽章驗證失敗 / Signature does not verify');
  } catch (e) {
    $('outcome').dataset.code = e.code || 'error';
    show('failed', `${e.code || 'error'}: ${e.message}`);
  }
});
