// The consent window: a site asks for the card's certificate and holder data, or to sign with
// the card; nothing is asked of the card before Allow.
'use strict';

(() => {
  const { api, $, requestId } = ui;

  // A site that asks to sign learns less than one that reads the certificate: the window says
  // what, in its own wording.
  const SIGN_TEXTS = {
    consentTitle: 'consentSignTitle', consentAsks: 'consentSignAsks',
    consentHolder: 'consentSignCard', consentCertificate: 'consentSignMatch',
    consentSerial: 'consentSignSignature', consentRememberNote: 'consentSignRememberNote',
  };

  // Allow takes effect only once the window has been seen: a page could open it just as the
  // holder clicks or presses Enter for something else. The keyboard starts on Deny.
  const ALLOW_DELAY_MS = 500;
  $('ok').disabled = true;

  ui.withDetails('consent-details', (answer) => {
    if (answer.purpose === 'sign') {
      for (const element of document.querySelectorAll('[data-i18n]')) {
        const key = SIGN_TEXTS[element.dataset.i18n];
        if (key) {
          element.textContent = ui.text(key);
        }
      }
    }
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
