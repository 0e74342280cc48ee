// The extension's PIN window: shows who asks and with which card, takes the PIN and hands it
// to the background worker, which passes it to the host. The page never sees it.
'use strict';

(() => {
  const api = typeof browser !== 'undefined' ? browser : chrome;
  const requestId = new URLSearchParams(window.location.search).get('request') || '';
  const text = (key) => api.i18n.getMessage(key) || key;
  const $ = (id) => document.getElementById(id);

  document.documentElement.lang = api.i18n.getUILanguage();
  for (const element of document.querySelectorAll('[data-i18n]')) {
    element.textContent = text(element.dataset.i18n);
  }

  function setBusy(busy) {
    $('pin').disabled = busy;
    $('ok').disabled = busy;
  }

  let pinPad = false;

  api.runtime.sendMessage({ type: 'pin-details', request: requestId }).then((details) => {
    if (!details || details.gone) {
      window.close();
      return;
    }
    $('origin').textContent = details.origin;
    $('holder').textContent = details.holder || text('pinUnknown');
    $('reader').textContent = details.reader || text('pinUnknown');
    pinPad = details.pinPad === true;
    if (pinPad) {
      // The reader asks for the PIN on its own keypad once OK is pressed. The instruction takes
      // the prompt's place: it is what to do, not an error.
      $('pin').hidden = true;
      $('prompt').textContent = text('pinOnPad');
      $('ok').focus();
    } else {
      $('pin').focus();
    }
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
        showMessage(answer.reason === 'empty' ? text('pinEmpty')
          : answer.pinFinalTry ? text('pinWrongFinal')
          : answer.pinCountLow ? text('pinWrongLow') : text('pinWrong'), true);
        $('pin').focus();
      }
      // Otherwise the background worker closes this window.
    });
  });

  $('cancel').addEventListener('click', () => {
    api.runtime.sendMessage({ type: 'pin-cancel', request: requestId });
  });
})();
