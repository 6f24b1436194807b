// Device types: the loaded templates and the parts the loader refused.
// Also the cache other views use for a type's colour and register span.
import { api } from './api.js';
import { $, h, swatch } from './util.js';

let cache = null;

export function loadTypes(fresh = false) {
  if (!cache || fresh) {
    cache = api('GET', '/api/device-types').catch((e) => {
      cache = null;
      throw e;
    });
  }
  return cache;
}

export async function typeMap() {
  try {
    return new Map((await loadTypes()).map((t) => [t.devType, t]));
  } catch (e) {
    return new Map();
  }
}

export async function enter() {
  const body = $('types-rows');
  body.replaceChildren(h('tr', {}, h('td', { colspan: 7 }, 'Loading…')));
  let list;
  try {
    list = await loadTypes(true);
  } catch (e) {
    body.replaceChildren(h('tr', {}, h('td', { colspan: 7, class: 'problem' }, e.message)));
    return;
  }
  if (!list.length) {
    body.replaceChildren(h('tr', {}, h('td', { colspan: 7 }, 'No device types loaded')));
    return;
  }
  body.replaceChildren(...list.map((t) => {
    const problems = t.problems || [];
    return h('tr', { class: problems.length ? 'bad-row' : null },
      h('td', {}, swatch(t.color), h('strong', {}, t.devType)),
      h('td', { class: 'mono' }, t.appEui),
      h('td', { class: 'num' }, t.registerSpan),
      h('td', {}, t.silentAfterS === null || t.silentAfterS === undefined ? 'never' : `${t.silentAfterS} s`),
      h('td', {}, t.silentAnswer === 'exception' ? 'exception' : 'last values'),
      h('td', { class: 'mono' }, t.file),
      h('td', { class: problems.length ? 'problem' : null },
        problems.length
          ? h('ul', {}, ...problems.map((p) => h('li', {}, h('strong', {}, p.part), `: ${p.reason}`)))
          : 'none'));
  }));
}
