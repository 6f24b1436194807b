// The register map: the API's export as a download (per port or all) and the
// same table on screen, shown a page at a time.
import { api, query } from './api.js';
import { $, h, setText, plural } from './util.js';
import { latest } from './status.js';

const PAGE = 500;
let rows = [];
let offset = 0;
let seq = 0;

export function init() {
  $('map-port').addEventListener('change', () => load());
  $('map-prev').addEventListener('click', () => {
    offset = Math.max(0, offset - PAGE);
    render();
  });
  $('map-next').addEventListener('click', () => {
    if (offset + PAGE < rows.length) offset += PAGE;
    render();
  });
}

export async function enter() {
  const select = $('map-port');
  let ports = [];
  try {
    const st = latest() || (await api('GET', '/api/status'));
    ports = ((st.modbus && st.modbus.ports) || []).map((p) => p.port);
  } catch (e) {
    ports = [];
  }
  const keep = select.value;
  select.replaceChildren(h('option', { value: '' }, 'All ports'),
    ...ports.sort((a, b) => a - b).map((p) => h('option', { value: p }, `Port ${p}`)));
  select.value = ports.includes(Number(keep)) ? keep : '';
  load();
}

async function load() {
  const port = $('map-port').value;
  const q = query({ port });
  const link = $('map-download');
  link.href = `/api/register-map.csv${q}`;
  link.setAttribute('download', port ? `register-map-port-${port}.csv` : 'register-map.csv');
  link.title = port ? `Download the registers of port ${port} as CSV` : 'Download the register map as CSV';
  const mine = ++seq;
  setText('map-count', 'Loading…');
  try {
    const answer = await api('GET', `/api/register-map${q}`);
    if (mine !== seq) return;
    rows = answer || [];
  } catch (e) {
    if (mine !== seq) return;
    rows = [];
    setText('map-count', e.message);
  }
  offset = 0;
  render();
}

function render() {
  const page = rows.slice(offset, offset + PAGE);
  setText('map-count', plural(rows.length, 'register', 'registers'));
  $('map-rows').replaceChildren(...page.map((r) => h('tr', {},
    h('td', { class: 'num' }, r.port),
    h('td', { class: 'num' }, r.unitId ?? ''),
    h('td', { class: 'num' }, r.address),
    h('td', {}, r.device),
    h('td', { class: 'mono' }, r.devEui),
    h('td', {}, r.field),
    h('td', {}, r.dataType),
    h('td', { class: 'num' }, r.bitSize),
    h('td', {}, r.wordOrder),
    h('td', {}, r.unit),
    h('td', { class: 'num' }, r.multiplier),
    h('td', { class: 'num' }, r.extraValue))));
  if (!page.length) $('map-rows').replaceChildren(h('tr', {}, h('td', { colspan: 12 }, 'No registers served')));
  const pager = rows.length > PAGE;
  $('map-prev').hidden = !pager;
  $('map-next').hidden = !pager;
  setText('map-range', pager ? `${offset + 1}–${Math.min(rows.length, offset + PAGE)} of ${rows.length}` : '');
  $('map-prev').disabled = offset === 0;
  $('map-next').disabled = offset + PAGE >= rows.length;
}
