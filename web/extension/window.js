// What the extension's own windows share: texts in the language shown, the asking site, and
// the buttons in the platform's order.
'use strict';

const ui = (() => {
  const api = typeof browser !== 'undefined' ? browser : chrome;
  const text = (key, ...values) => api.i18n.getMessage(key, values) || key;
  const $ = (id) => document.getElementById(id);

  // The language the texts are in (English when the browser's is not translated), not the
  // browser's own.
  document.documentElement.lang = text('language');
  for (const element of document.querySelectorAll('[data-i18n]')) {
    element.textContent = text(element.dataset.i18n);
  }

  // Windows puts the confirming button first, the other desktops last.
  const buttonsOrdered = api.runtime.getPlatformInfo().then((info) => {
    const row = document.querySelector('.buttons');
    if (row && info.os === 'win') {
      row.prepend($('ok'));
    }
  }, () => {});

  // The host name as the holder knows it, and under it the full origin (scheme and port).
  function showSite(origin) {
    let hostName = origin;
    try {
      hostName = new URL(origin).hostname;
    } catch (e) {
      // shown as it came
    }
    $('site-host').textContent = hostName;
    $('site-origin').textContent = origin;
  }

  const requestId = new URLSearchParams(window.location.search).get('request') || '';

  // The request's details from the background (a message of `type`), once the buttons are in
  // their order: `show` gets them after the asking site is shown. The window closes when the
  // request is gone.
  function withDetails(type, show) {
    const details = api.runtime.sendMessage({ type, request: requestId });
    Promise.all([details, buttonsOrdered]).then(([answer]) => {
      if (!answer || answer.gone) {
        window.close();
        return;
      }
      showSite(answer.origin);
      show(answer);
    });
  }

  return { api, text, $, requestId, withDetails };
})();
