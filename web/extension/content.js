// Relays a page's requests (from tessivo.js, through window.postMessage) to the extension and
// its answers back. It never sees a PIN: the PIN window talks to the background worker only.
'use strict';

(() => {
  const api = typeof browser !== 'undefined' ? browser : chrome;
  const targetOrigin = window.location.origin === 'null' ? '*' : window.location.origin;

  function answer(message) {
    window.postMessage(Object.assign({ tessivo: 'from-extension' }, message), targetOrigin);
  }

  window.addEventListener('message', (event) => {
    if (event.source !== window || !event.data || event.data.tessivo !== 'to-extension') {
      return;
    }
    const { id, command } = event.data;
    const args = event.data.arguments;
    if (typeof id !== 'string' || id.length === 0 || id.length > 128 ||
        typeof command !== 'string' || command.length > 64) {
      return;
    }
    // Tells the page at once that the extension is there; the answer may take a while.
    answer({ id, type: 'ack' });
    const timeLimitMs = typeof event.data.timeLimitMs === 'number' ? event.data.timeLimitMs : undefined;
    api.runtime.sendMessage({ type: 'page-request', command, arguments: args, timeLimitMs })
      .then((reply) => answer(Object.assign({ id, type: 'reply' }, reply || {
        error: { code: 'extension-failed', message: 'no answer from the extension' },
      })))
      .catch((e) => answer({
        id, type: 'reply', error: { code: 'extension-failed', message: String(e && e.message || e) },
      }));
  });
})();
