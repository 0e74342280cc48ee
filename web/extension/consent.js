// The consent window: a site asks for the card's certificate and holder data; nothing is read
// from the card before Allow.
'use strict';

(() => {
  const { api, $, requestId } = ui;

  // Allow takes effect only once the window has been seen: a page could open it just as the
  // holder clicks or presses Enter for something else. The keyboard starts on Deny.
  const ALLOW_DELAY_MS = 500;
  $('ok').disabled = true;

  ui.withDetails('consent-details', () => {
    $('cancel').focus();
    setTimeout(() => {
      $('ok').disabled = false;
      document.body.dataset.ready = String(Date.now());
    }, ALLOW_DELAY_MS);
  });

  function send(allow) {
    $('ok').disabled = true;
    $('cancel').disabled = true;
    api.runtime.sendMessage({ type: 'consent-answer', request: requestId, allow,
                              remember: allow && $('remember').checked });
  }

  $('form').addEventListener('submit', (event) => {
    event.preventDefault();
    send(true);
  });
  $('cancel').addEventListener('click', () => send(false));
})();
