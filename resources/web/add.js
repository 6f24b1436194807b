// Add devices from the network server's list: one or many, with consecutive
// register ranges from each type's span, checked by the API's dry run before
// anything is added; a problem is shown next to the field it concerns.
import { api } from './api.js';
import { $, h, setText, debounce, parseRange, plural, swatch } from './util.js';
import { typeMap } from './types.js';

let list = [];            // server devices, in table order
let types = new Map();
const picked = new Set(); // devEui
const rowCells = new Map(); // devEui -> {range, problem, box, unit, unitError}
let problems = false;
let checkSeq = 0;

export function init() {
  const recheck = debounce(check, 300);
  for (const id of ['add-port', 'add-start', 'add-name']) {
    $(id).addEventListener('input', () => {
      plan();
      recheck();
    });
  }
  $('add-all').addEventListener('change', () => {
    picked.clear();
    if ($('add-all').checked) for (const d of list) picked.add(d.devEui);
    for (const [eui, c] of rowCells) c.box.checked = picked.has(eui);
    plan();
    recheck();
  });
  $('add-refresh').addEventListener('click', load);
  $('add-form').addEventListener('submit', (event) => {
    event.preventDefault();
    submit();
  });
  $('add-rows').addEventListener('change', (event) => {
    const box = event.target.closest('input[type=checkbox]');
    if (!box) return;
    if (box.checked) picked.add(box.value);
    else picked.delete(box.value);
    plan();
    recheck();
  });
  $('add-rows').addEventListener('input', (event) => {
    if (!event.target.classList.contains('unit-input')) return;
    plan();
    recheck();
  });
}

export function enter() {
  load();
}

async function load() {
  setText('add-result', '');
  setText('add-status', 'Asking the network server…');
  $('add-rows').replaceChildren();
  list = [];
  picked.clear();
  rowCells.clear();
  $('add-all').checked = false;
  types = await typeMap();
  try {
    list = await api('GET', '/api/server-devices');
  } catch (e) {
    setText('add-status', e.message);
    plan();
    return;
  }
  setText('add-status', list.length ? `${plural(list.length, 'device', 'devices')} not registered yet`
    : 'No new devices: every device of a known type is registered');
  $('add-rows').replaceChildren(...list.map((d) => {
    const label = d.name || d.devEui;
    const box = h('input', { type: 'checkbox', value: d.devEui, 'aria-label': `Select ${label}`, title: `Select ${label}` });
    const range = h('td', { class: 'num' }, plural(d.registerSpan, 'register', 'registers'));
    const problem = h('td', { class: 'problem', 'aria-live': 'polite' });
    const unitError = h('span', { class: 'field-error', id: `add-unit-error-${d.devEui}`, 'aria-live': 'polite' });
    const unit = h('input', { type: 'number', min: 1, max: 247, inputmode: 'numeric', class: 'short unit-input', disabled: true,
      'aria-label': `Unit id of ${label} (optional)`, title: 'Modbus unit id, 1 to 247 (optional)',
      'aria-describedby': unitError.id });
    rowCells.set(d.devEui, { box, range, problem, unit, unitError });
    const type = types.get(d.devType);
    return h('tr', { 'data-dev-eui': d.devEui },
      h('td', {}, box),
      h('td', {}, h('strong', {}, label)),
      h('td', {}, swatch(type && type.color), d.devType),
      h('td', { class: 'mono' }, d.devEui),
      range,
      h('td', {}, unit, unitError),
      problem);
  }));
  plan();
}

function selected() {
  return list.filter((d) => picked.has(d.devEui));
}

// The request the form describes, or the first field error found locally.
function build() {
  const port = parseRange($('add-port').value, 'Port', 1, 65535);
  const start = parseRange($('add-start').value, 'Start register', 0, 65535);
  const chosen = selected();
  const rows = [];
  const unitErrors = new Map(); // devEui -> text
  let next = start.value;
  for (const d of chosen) {
    const row = { devEui: d.devEui, port: port.value, startRegister: next };
    const unitText = rowCells.get(d.devEui).unit.value;
    if (unitText.trim() !== '') {
      const unit = parseRange(unitText, 'Unit id', 1, 247);
      if (unit.error) unitErrors.set(d.devEui, unit.error);
      else row.unitId = unit.value;
    }
    if (chosen.length === 1 && $('add-name').value.trim()) row.name = $('add-name').value.trim();
    rows.push(row);
    if (next !== undefined) next += d.registerSpan;
  }
  return { port, start, rows, chosen, unitErrors };
}

// Shows each selected device's consecutive range before anything is sent.
function plan() {
  const { port, start, rows, chosen, unitErrors } = build();
  $('add-name').disabled = chosen.length !== 1;
  for (const d of list) {
    const c = rowCells.get(d.devEui);
    c.problem.textContent = '';
    c.unit.disabled = !picked.has(d.devEui);
    c.unitError.textContent = unitErrors.get(d.devEui) || '';
    c.range.textContent = plural(d.registerSpan, 'register', 'registers');
  }
  let over = false;
  rows.forEach((row, i) => {
    const d = chosen[i];
    const c = rowCells.get(d.devEui);
    if (row.startRegister === undefined) return;
    const end = row.startRegister + d.registerSpan - 1;
    c.range.textContent = `${row.startRegister}..${end}`;
    if (end > 65535) {
      c.problem.textContent = 'register range passes 65535';
      over = true;
    }
  });
  setText('add-port-error', chosen.length && port.error ? port.error : '');
  setText('add-start-error', chosen.length && start.error ? start.error : '');
  setText('add-name-error', '');
  problems = over || !!port.error || !!start.error || unitErrors.size > 0;
  const n = chosen.length;
  setText('add-submit-text', n > 1 ? `Add ${n} devices` : 'Add');
  $('add-submit').disabled = n === 0 || problems;
  if (n && !port.error && !start.error) {
    const last = rows[rows.length - 1].startRegister + chosen[n - 1].registerSpan - 1;
    $('add-submit').title = `Add ${plural(n, 'device', 'devices')} on port ${port.value}, registers ${start.value}..${last}`;
  } else {
    $('add-submit').title = 'Add the selected devices';
  }
}

// Problems of form fields go next to the field, once per text (naming the
// devices when only some have it); a device's own problem goes on its row.
function showProblems(found, chosen) {
  const byField = new Map();
  for (const p of found) {
    const d = chosen[p.index];
    const target = { port: 'add-port-error', startRegister: 'add-start-error', name: 'add-name-error' }[p.field];
    if (p.field === 'unitId' && d) {
      rowCells.get(d.devEui).unitError.textContent = p.error;
    } else if (target) {
      if (!byField.has(target)) byField.set(target, new Map());
      const texts = byField.get(target);
      if (!texts.has(p.error)) texts.set(p.error, []);
      if (d) texts.get(p.error).push(d.name || d.devEui);
    } else if (d) {
      rowCells.get(d.devEui).problem.textContent = p.error;
    } else {
      setText('add-result', p.error);
    }
  }
  for (const [target, texts] of byField) {
    const parts = [];
    for (const [text, names] of texts) {
      parts.push(names.length && names.length < chosen.length ? `${names.join(', ')}: ${text}` : text);
    }
    setText(target, parts.join('; '));
  }
}

// The API's dry run: every row's problems, nothing added.
async function check() {
  const { port, start, rows, chosen, unitErrors } = build();
  if (!rows.length || port.error || start.error || unitErrors.size) return;
  const mine = ++checkSeq;
  let answer;
  try {
    answer = await api('POST', '/api/devices?dryRun=true', rows);
  } catch (e) {
    if (mine !== checkSeq) return;
    plan();
    problems = true;
    showProblems([{ index: e.body.index ?? -1, field: e.body.field, error: e.message }], chosen);
    $('add-submit').disabled = true;
    return;
  }
  if (mine !== checkSeq) return;
  plan();
  const found = [];
  for (const row of answer.rows || []) {
    for (const p of row.problems || []) found.push({ index: row.index, field: p.field, error: p.error });
  }
  showProblems(found, chosen);
  if (found.length) problems = true;
  $('add-submit').disabled = problems || !rows.length;
}

async function submit() {
  const { rows, chosen, unitErrors } = build();
  if (!rows.length || unitErrors.size) return;
  setText('add-result', '');
  $('add-submit').disabled = true;
  try {
    const answer = await api('POST', '/api/devices', rows);
    const added = (answer && answer.added) || rows.map((r) => r.devEui);
    await load();
    setText('add-status', `Added ${plural(added.length, 'device', 'devices')}. ${$('add-status').textContent}`);
    $('add-name').value = '';
  } catch (e) {
    plan();
    showProblems([{ index: e.body.index ?? -1, field: e.body.field, error: e.message }], chosen);
    $('add-submit').disabled = false;
  }
}
