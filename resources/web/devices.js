// The device table: search, type and port filters, sorting and paging all
// done by the API (offset/limit), so 10,000 devices cost one page of rows.
import { api, on, query } from './api.js';
import { $, h, setText, ago, debounce, swatch } from './util.js';
import { loadTypes } from './types.js';

const LIMIT = 100;
const state = { q: '', type: '', port: '', sort: 'name', order: 'asc', offset: 0 };
let total = 0;
let visible = false;
let seq = 0;
let clock = 0;
const rows = new Map(); // devEui -> {device, lastCell, stateCell}

export function init() {
  const reload = debounce(() => {
    state.offset = 0;
    load();
  }, 250);
  $('dev-search').addEventListener('input', () => {
    state.q = $('dev-search').value.trim();
    reload();
  });
  $('dev-type').addEventListener('change', () => {
    state.type = $('dev-type').value;
    reload();
  });
  $('dev-port').addEventListener('input', () => {
    state.port = /^\d+$/.test($('dev-port').value) ? $('dev-port').value : '';
    reload();
  });
  for (const th of document.querySelectorAll('.devices th[data-sort]')) {
    th.querySelector('button').addEventListener('click', () => {
      const key = th.dataset.sort;
      state.order = state.sort === key && state.order === 'asc' ? 'desc' : 'asc';
      state.sort = key;
      state.offset = 0;
      load();
    });
  }
  $('dev-prev').addEventListener('click', () => {
    state.offset = Math.max(0, state.offset - LIMIT);
    load();
  });
  $('dev-next').addEventListener('click', () => {
    if (state.offset + LIMIT < total) state.offset += LIMIT;
    load();
  });
  on('registers', (e) => {
    const row = visible && rows.get(e.devEui);
    if (!row) return;
    let latest = row.device.lastUplink;
    for (const r of e.registers || []) if (r.updated && (!latest || r.updated > latest)) latest = r.updated;
    row.device.lastUplink = latest || new Date().toISOString();
    row.lastCell.textContent = ago(row.device.lastUplink);
  });
  on('silence', (e) => {
    const row = visible && rows.get(e.devEui);
    if (!row) return;
    row.device.silentSince = e.silent ? e.silentSince : null;
    fillState(row.stateCell, row.device);
  });
  const reloadSoon = debounce(() => visible && load(), 1000);
  on('device-added', reloadSoon);
  on('device-removed', reloadSoon);
}

export function enter() {
  visible = true;
  fillTypes();
  load();
  clock = setInterval(() => {
    const now = Date.now();
    for (const row of rows.values()) row.lastCell.textContent = ago(row.device.lastUplink, now);
  }, 1000);
}

export function leave() {
  visible = false;
  clearInterval(clock);
}

async function fillTypes() {
  const select = $('dev-type');
  if (select.options.length > 1) return;
  try {
    for (const t of await loadTypes()) select.append(h('option', { value: t.devType }, t.devType));
  } catch (e) {
    // The filter stays at "All types".
  }
}

async function load() {
  const mine = ++seq;
  const params = { q: state.q, type: state.type, port: state.port, sort: state.sort, order: state.order,
    offset: state.offset, limit: LIMIT };
  let page;
  try {
    page = await api('GET', `/api/devices${query(params)}`);
  } catch (e) {
    if (mine !== seq) return;
    rows.clear();
    $('dev-rows').replaceChildren(h('tr', {}, h('td', { colspan: 8, class: 'problem' }, e.message)));
    return;
  }
  if (mine !== seq) return; // an older answer overtaken by a newer query
  total = page.total;
  render(page.devices || []);
  const first = total ? page.offset + 1 : 0;
  const lastShown = page.offset + (page.devices || []).length;
  setText('dev-range', `${first}–${lastShown} of ${total}`);
  $('dev-prev').disabled = page.offset <= 0;
  $('dev-next').disabled = lastShown >= total;
  for (const th of document.querySelectorAll('.devices th[data-sort]')) {
    if (th.dataset.sort === state.sort) th.setAttribute('aria-sort', state.order === 'asc' ? 'ascending' : 'descending');
    else th.removeAttribute('aria-sort');
  }
}

function fillState(cell, d) {
  let flag;
  if (d.served === false) {
    flag = h('span', { class: 'flag-off', title: d.notServedReason || 'not served' }, 'not served');
  } else if (d.silentSince) {
    flag = h('span', { class: 'flag-silent', title: `silent since ${new Date(d.silentSince).toLocaleString()}` }, 'silent');
  } else {
    flag = h('span', { class: 'flag-active' }, 'active');
  }
  cell.replaceChildren(flag);
}

function render(list) {
  rows.clear();
  if (!list.length) {
    const text = state.q || state.type || state.port ? 'No device matches' : 'No devices yet: add some from the network server\u2019s list';
    $('dev-rows').replaceChildren(h('tr', {}, h('td', { colspan: 8 }, text)));
    return;
  }
  const now = Date.now();
  const trs = list.map((d) => {
    const href = `#devices/${encodeURIComponent(d.devEui)}`;
    const lastCell = h('td', { class: 'num', title: d.lastUplink ? new Date(d.lastUplink).toLocaleString() : null },
      ago(d.lastUplink, now));
    const stateCell = h('td');
    fillState(stateCell, d);
    const tr = h('tr', { 'data-dev-eui': d.devEui },
      h('td', { class: 'name' }, h('a', { href, title: `Registers of ${d.name || d.devEui}` }, d.name || d.devEui)),
      h('td', {}, swatch(d.color), d.devType),
      h('td', { class: 'mono' }, d.devEui),
      h('td', { class: 'num' }, d.port),
      h('td', { class: 'num' }, d.startRegister),
      h('td', { class: 'num' }, d.unitId ?? ''),
      lastCell,
      stateCell);
    tr.style.borderLeftColor = d.color || '';
    tr.addEventListener('click', (event) => {
      if (event.target.closest('a')) return;
      location.hash = href;
    });
    rows.set(d.devEui, { device: d, lastCell, stateCell });
    return tr;
  });
  $('dev-rows').replaceChildren(...trs);
}

