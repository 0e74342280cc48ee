// The sites the holder let read the card's certificate without asking again; each can be
// taken back.
'use strict';

(() => {
  const { api, text, $ } = ui;
  const KEY = 'allowedOrigins';

  async function show() {
    const allowed = (await api.storage.local.get(KEY))[KEY] || {};
    const origins = Object.keys(allowed).sort();
    $('sites').replaceChildren(...origins.map((origin) => {
      const item = document.createElement('li');
      const name = document.createElement('span');
      name.textContent = origin;
      const remove = document.createElement('button');
      remove.textContent = text('optionsRemove');
      remove.dataset.origin = origin;
      remove.addEventListener('click', async () => {
        const now = (await api.storage.local.get(KEY))[KEY] || {};
        delete now[origin];
        await api.storage.local.set({ [KEY]: now });
      });
      item.append(name, remove);
      return item;
    }));
    $('none').hidden = origins.length > 0;
    document.body.dataset.ready = 'true';
  }

  api.storage.onChanged.addListener((changes, area) => {
    if (area === 'local' && changes[KEY]) {
      show();
    }
  });
  show();
})();
