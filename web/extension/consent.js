// The consent window: a site asks for the card's certificate and holder data; nothing is read
// from the card before Allow.
'use strict';

(() => {
  const { api, $, requestId } = ui;

  const details = api.runtime.sendMessage({ type: 'consent-details', request: requestId });
  Promise.all([details, ui.buttonsOrdered]).then(([answer]) => {
    if (!answer || answer.gone) {
      window.close();
      return;
    }
    ui.showSite(answer.origin);
    $('ok').focus();
    document.body.dataset.ready = 'true';
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
