// Relays a page's requests (from tessivo.js, through window.postMessage) to the extension and
// its answers back. It never sees a PIN: the PIN window talks to the background only. One port
// per document: when the page goes (closed, reloaded, navigated away) the port closes, and the
// extension drops the page's requests and closes their windows.
'use strict';

(() => {
  const api = typeof browser !== 'undefined' ? browser : chrome;
  const targetOrigin = window.location.origin === 'null' ? '*' : window.location.origin;
  let port = null;
  // The page's ids of the requests sent on the port.
  const pending = new Set();

  function answer(message) {
    window.postMessage(Object.assign({ tessivo: 'from-extension' }, message), targetOrigin);
  }

  function extensionPort() {
    if (port) {
      return port;
    }
    port = api.runtime.connect({ name: 'tessivo-page' });
    port.onMessage.addListener((reply) => {
      if (!reply || !pending.delete(reply.requestId)) {
        return;
      }
      answer(Object.assign({ id: reply.requestId, type: 'reply' },
        reply.error ? { error: reply.error } : { result: reply.result }));
    });
    port.onDisconnect.addListener(() => {
      // The extension was reloaded or ended: what was asked is lost.
      port = null;
      for (const id of pending) {
        answer({ id, type: 'reply',
                 error: { code: 'extension-failed', message: 'the extension went away' } });
      }
      pending.clear();
    });
    return port;
  }

  window.addEventListener('message', (event) => {
    if (event.source !== window || !event.data || event.data.tessivo !== 'to-extension') {
      return;
    }
    const { id, command } = event.data;
    const args = event.data.arguments;
    if (typeof id !== 'string' || id.length === 0 || id.length > 128 || pending.has(id) ||
        typeof command !== 'string' || command.length > 64) {
      return;
    }
    // Tells the page at once that the extension is there; the answer may take a while.
    answer({ id, type: 'ack' });
    const timeLimitMs = typeof event.data.timeLimitMs === 'number' ? event.data.timeLimitMs : undefined;
    pending.add(id);
    try {
      extensionPort().postMessage({ requestId: id, command, arguments: args, timeLimitMs });
    } catch (e) {
      pending.delete(id);
      answer({ id, type: 'reply',
               error: { code: 'extension-failed', message: String(e && e.message || e) } });
    }
  });
})();
