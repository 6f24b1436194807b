// One device and its registers, updated live from the event stream. A
// changed value flashes briefly. Scaling (unit, multiplier, extra value) is
// edited in place with the edit dialog's rule: whole numbers in the signed
// 32-bit range.
import { api, on, ApiError } from './api.js';
import { $, h, setText, ago, localTime, paint, parseInt32 } from './util.js';

let devEui = null;
let device = null;
let clock = 0;
const regs = new Map(); // address -> {reg, tr, cells, editing}

export function init() {
  on('registers', (e) => {
    if (e.devEui === devEui && device) update(e.registers || []);
  });
  on('silence', (e) => {
    if (e.devEui !== devEui || !device) return;
    device.silentSince = e.silent ? e.silentSince : null;
    renderHead();
  });
  on('device-removed', (e) => {
    if (e.devEui !== devEui) return;
    setText('device-error', 'This device was deleted.');
    device = null;
  });
  $('device-delete').addEventListener('click', confirmDelete);
}

export async function enter(eui) {
  devEui = eui;
  device = null;
  regs.clear();
  setText('device-name', eui);
  setText('device-error', '');
  for (const id of ['device-type', 'device-eui', 'device-port', 'device-start', 'device-unit', 'device-last', 'device-state']) setText(id, '');
  $('reg-rows').replaceChildren(h('tr', {}, h('td', { colspan: 9 }, 'Loading…')));
  $('device-delete').disabled = true;
  clock = setInterval(() => device && setText('device-last', ago(device.lastUplink)), 1000);
  try {
    const d = await api('GET', `/api/devices/${encodeURIComponent(eui)}`);
    if (eui !== devEui) return;
    show(d);
  } catch (e) {
    if (eui !== devEui) return;
    $('reg-rows').replaceChildren();
    setText('device-error', e.status === 404 ? 'No such device.' : e.message);
  }
}

export function leave() {
  clearInterval(clock);
  devEui = null;
  device = null;
}

function show(d) {
  device = d;
  $('device-delete').disabled = false;
  renderHead();
  regs.clear();
  const trs = (d.registers || []).map(makeRow);
  if (!trs.length) trs.push(h('tr', {}, h('td', { colspan: 9 }, 'No registers')));
  $('reg-rows').replaceChildren(...trs);
}

function renderHead() {
  const d = device;
  setText('device-name', d.name || d.devEui);
  paint($('device-swatch'), d.color);
  setText('device-type', d.devType);
  setText('device-eui', d.devEui);
  setText('device-port', d.port);
  setText('device-start', d.startRegister);
  setText('device-unit', d.unitId ?? '');
  setText('device-last', ago(d.lastUplink));
  const stateText = d.served === false ? `not served: ${d.notServedReason || ''}`
    : d.silentSince ? `silent since ${localTime(d.silentSince)}` : 'active';
  setText('device-state', stateText);
  $('device-state').className = d.served === false ? 'bad' : d.silentSince ? 'warn' : 'ok';
}

function addressText(r) {
  const words = Math.max(1, Math.ceil((r.bitSize || 16) / 16));
  return words > 1 ? `${r.address}..${r.address + words - 1}` : String(r.address);
}

function makeRow(r) {
  const cells = {
    raw: h('td', { class: 'raw' }, r.raw),
    value: h('td', { class: 'value' }, r.value),
    unit: h('td', {}, r.unit),
    multiplier: h('td', { class: 'num' }, r.multiplier),
    extraValue: h('td', { class: 'num' }, r.extraValue),
    updated: h('td', { class: 'updated', 'data-time': r.updated || null }, localTime(r.updated)),
    action: h('td'),
  };
  const tr = h('tr', { 'data-address': r.address },
    h('td', { class: 'num' }, addressText(r)),
    h('td', { class: 'regname', title: r.dataType ? `${r.dataType}, ${r.bitSize} bits` : null }, r.name),
    cells.raw, cells.value, cells.unit, cells.multiplier, cells.extraValue, cells.updated, cells.action);
  const entry = { reg: r, tr, cells, editing: false };
  regs.set(r.address, entry);
  showValues(entry);
  return tr;
}

function showValues(entry) {
  const { reg, cells } = entry;
  if (entry.editing) return;
  cells.unit.textContent = reg.unit ?? '';
  cells.multiplier.textContent = reg.multiplier ?? '';
  cells.extraValue.textContent = reg.extraValue ?? '';
  // The button stays the same element across live updates, so that focus
  // and a pointer on it survive an uplink.
  if (reg.editable && !cells.action.querySelector('button')) {
    cells.action.replaceChildren(h('button', { type: 'button', class: 'btn btn-blue btn-small',
      title: `Edit the scaling of ${reg.name}`, 'aria-label': `Edit the scaling of ${reg.name}`,
      onclick: () => startEdit(entry) }, 'Edit'));
  }
}

function flash(cell) {
  cell.classList.remove('changed');
  void cell.offsetWidth; // restart the animation
  cell.classList.add('changed');
}

function update(list) {
  for (const r of list) {
    const entry = regs.get(r.address);
    if (!entry) continue;
    const old = entry.reg;
    entry.reg = { ...old, ...r };
    if (r.raw !== undefined && r.raw !== old.raw) {
      entry.cells.raw.textContent = r.raw;
      flash(entry.cells.raw);
    }
    if (r.value !== undefined && r.value !== old.value) {
      entry.cells.value.textContent = r.value;
      flash(entry.cells.value);
    }
    if (r.updated) {
      entry.cells.updated.textContent = localTime(r.updated);
      entry.cells.updated.dataset.time = r.updated;
      if (!device.lastUplink || r.updated > device.lastUplink) device.lastUplink = r.updated;
    }
    showValues(entry);
  }
  setText('device-last', ago(device.lastUplink));
}

function field(entry, key, label, value) {
  const id = `edit-${entry.reg.address}-${key}`;
  const input = h('input', { id, value: value ?? '', 'aria-label': `${label} of ${entry.reg.name}`,
    title: label, inputmode: key === 'unit' ? null : 'numeric', autocomplete: 'off' });
  const error = h('span', { class: 'field-error', id: `${id}-error`, 'aria-live': 'polite' });
  input.setAttribute('aria-describedby', error.id);
  entry.cells[key].replaceChildren(input, error);
  return { input, error };
}

function startEdit(entry) {
  entry.editing = true;
  const { reg, cells } = entry;
  const f = {
    unit: field(entry, 'unit', 'Unit', reg.unit),
    multiplier: field(entry, 'multiplier', 'Multiplier', reg.multiplier),
    extraValue: field(entry, 'extraValue', 'Extra value', reg.extraValue),
  };
  const save = h('button', { type: 'button', class: 'btn btn-green btn-small', title: `Save the scaling of ${reg.name}` }, 'Save');
  const cancel = h('button', { type: 'button', class: 'btn btn-blue btn-small', title: 'Keep the scaling as it was' }, 'Cancel');
  cells.action.replaceChildren(save, ' ', cancel);
  f.multiplier.input.focus();
  const stop = () => {
    entry.editing = false;
    cells.action.replaceChildren();
    showValues(entry);
  };
  cancel.addEventListener('click', stop);
  for (const { input } of Object.values(f)) {
    input.addEventListener('keydown', (event) => {
      if (event.key === 'Enter') save.click();
      if (event.key === 'Escape') stop();
    });
  }
  save.addEventListener('click', async () => {
    let ok = true;
    const body = { address: reg.address, unit: f.unit.input.value.trim() };
    for (const [key, label] of [['multiplier', 'Multiplier'], ['extraValue', 'Extra value']]) {
      const parsed = parseInt32(f[key].input.value, label);
      f[key].error.textContent = parsed.error || '';
      f[key].input.classList.toggle('invalid', !!parsed.error);
      if (parsed.error) ok = false;
      else body[key] = parsed.value;
    }
    if (!ok) return;
    save.disabled = true;
    try {
      const d = await api('PATCH', `/api/devices/${encodeURIComponent(devEui)}/registers`, [body]);
      if (d && d.devEui === devEui) show(d);
      else stop();
    } catch (e) {
      save.disabled = false;
      const target = e instanceof ApiError && f[e.body.field] ? f[e.body.field] : f.multiplier;
      target.error.textContent = e.message;
      target.input.classList.add('invalid');
    }
  });
}

function confirmDelete() {
  if (!device) return;
  const d = device;
  const dialog = $('confirm');
  setText('confirm-text', `Delete the device \u201c${d.name || d.devEui}\u201d (${d.devEui})? Its registers on port ${d.port} stop being served.`);
  dialog.returnValue = '';
  dialog.addEventListener('close', async () => {
    if (dialog.returnValue !== 'ok') return;
    try {
      await api('DELETE', `/api/devices/${encodeURIComponent(d.devEui)}`);
      location.hash = '#devices';
    } catch (e) {
      setText('device-error', e.message);
    }
  }, { once: true });
  dialog.showModal();
}
