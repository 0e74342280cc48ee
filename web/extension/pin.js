// The PIN window: shows who asks, what is signed and with which card, takes the PIN and hands
// it to the background, which passes it to the host. The page never sees it.
'use strict';

(() => {
  const { api, text, $, requestId } = ui;

  function setBusy(busy) {
    $('pin').disabled = busy;
    $('ok').disabled = busy;
  }

  function showDate(iso) {
    const date = new Date(iso);
    if (!iso || Number.isNaN(date.getTime())) {
      return '';
    }
    return date.toLocaleDateString(document.documentElement.lang,
      { year: 'numeric', month: 'long', day: 'numeric', timeZone: 'UTC' });
  }

  function commonName(distinguishedName) {
    const found = /(?:^|,)\s*CN=((?:\\.|[^,\\])*)/.exec(distinguishedName || '');
    return found ? found[1].replace(/\\(.)/g, '$1') : distinguishedName;
  }

  function showTries(countLow, finalTry) {
    $('tries').hidden = !countLow && !finalTry;
    $('tries').textContent = finalTry ? text('pinFinalTry') : countLow ? text('pinCountLow') : '';
  }

  let pinPad = false;

  ui.withDetails('pin-details', (shown) => {
    // The site's own words, as plain text: never read as markup.
    $('description').textContent = shown.description
      ? text('pinQuoted', shown.description) : text('pinNoDescription');
    $('description').classList.toggle('none', !shown.description);
    $('hash').textContent = `${shown.hashAlgorithm} · ${shown.fingerprint}…`;
    $('holder').textContent = shown.holder || text('pinUnknown');
    // The issuer by its common name, as a holder knows it; the whole name on hover.
    $('issuer').textContent = commonName(shown.issuer);
    $('issuer').title = shown.issuer;
    $('valid-until').textContent = showDate(shown.notAfter);
    for (const element of document.querySelectorAll('.known')) {
      element.hidden = !shown.issuer;
    }
    $('reader').textContent = shown.reader || text('pinUnknown');
    showTries(shown.pinCountLow, shown.pinFinalTry);
    pinPad = shown.pinPad === true;
    if (pinPad) {
      // The reader asks for the PIN on its own keypad once OK is pressed. The instruction takes
      // the prompt's place: it is what to do, not an error.
      $('pin').hidden = true;
      $('prompt').textContent = text('pinOnPad');
      $('ok').focus();
    } else {
      $('pin').focus();
    }
    // When the window was ready, for tests and the latency benchmark.
    document.body.dataset.ready = String(Date.now());
  });

  // Progress ("signing…") is shown plain; only what the holder must act on is in the error colour.
  function showMessage(message, isError) {
    $('message').textContent = message;
    $('message').classList.toggle('progress', !isError);
  }

  $('form').addEventListener('submit', (event) => {
    event.preventDefault();
    const pin = pinPad ? '' : $('pin').value;
    if (!pin && !pinPad) {
      showMessage(text('pinEmpty'), true);
      return;
    }
    showMessage(text('pinSigning'), false);
    setBusy(true);
    api.runtime.sendMessage({ type: 'pin-submit', request: requestId, pin }).then((answer) => {
      $('pin').value = '';
      if (answer && answer.retry) {
        setBusy(false);
        showMessage(answer.reason === 'empty' ? text('pinEmpty') : text('pinWrong'), true);
        if (answer.reason !== 'empty') {
          showTries(answer.pinCountLow, answer.pinFinalTry);
        }
        $('pin').focus();
      }
      // Otherwise the background closes this window.
    });
  });

  $('cancel').addEventListener('click', () => {
    api.runtime.sendMessage({ type: 'pin-cancel', request: requestId });
  });
})();
