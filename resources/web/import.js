// Import devices from CSV (devEui,port,startRegister[,name[,unitId]]): every row is
// checked by the API's dry run and shown with its problem; only a clean file
// can be imported, and it is added as one request: all rows or none.
import { api } from './api.js';
import { $, h, setText, debounce, parseRange, plural } from './util.js';

let checkedText = null;
let seq = 0;

export function init() {
  const recheck = debounce(check, 400);
  $('import-text').addEventListener('input', () => {
    checkedText = null;
    $('import-submit').disabled = true;
    recheck();
  });
  $('import-check').addEventListener('click', check);
  $('import-submit').addEventListener('click', submit);
  $('import-file').addEventListener('change', async () => {
    const file = $('import-file').files[0];
    if (!file) return;
    $('import-text').value = await file.text();
    check();
  });
}

export function enter() {}

// Splits one CSV line; double quotes may enclose a field (with "" inside).
export function splitCsv(line) {
  const out = [];
  let cur = '';
  let quoted = false;
  for (let i = 0; i < line.length; i += 1) {
    const c = line[i];
    if (quoted) {
      if (c === '"' && line[i + 1] === '"') {
        cur += '"';
        i += 1;
      } else if (c === '"') quoted = false;
      else cur += c;
    } else if (c === '"') quoted = true;
    else if (c === ',') {
      out.push(cur);
      cur = '';
    } else cur += c;
  }
  out.push(cur);
  return out.map((s) => s.trim());
}

function parse(text) {
  const rows = [];
  text.split(/\r?\n/).forEach((line, i) => {
    if (!line.trim()) return;
    const cells = splitCsv(line);
    if (rows.length === 0 && i === firstLine(text) && /^deveui$/i.test(cells[0])) return; // header
    const row = { line: i + 1, devEui: cells[0] || '', portText: cells[1] ?? '', startText: cells[2] ?? '',
      name: cells[3] ?? '', unitText: cells[4] ?? '', problems: [] };
    if (cells.length > 5) row.problems.push({ field: 'name', error: 'Too many columns: put a name with commas in double quotes' });
    if (!/^[0-9a-fA-F]{16}$/.test(row.devEui)) row.problems.push({ field: 'devEui', error: 'DevEUI must be 16 hexadecimal digits' });
    const port = parseRange(row.portText, 'Port', 1, 65535);
    if (port.error) row.problems.push({ field: 'port', error: port.error });
    const start = parseRange(row.startText, 'Start register', 0, 65535);
    if (start.error) row.problems.push({ field: 'startRegister', error: start.error });
    row.port = port.value;
    row.startRegister = start.value;
    if (row.unitText !== '') {
      const unit = parseRange(row.unitText, 'Unit id', 1, 247);
      if (unit.error) row.problems.push({ field: 'unitId', error: unit.error });
      row.unitId = unit.value;
    }
    rows.push(row);
  });
  return rows;
}

function firstLine(text) {
  return text.split(/\r?\n/).findIndex((l) => l.trim());
}

function body(row) {
  const b = { devEui: row.devEui, port: row.port, startRegister: row.startRegister };
  if (row.name) b.name = row.name;
  if (row.unitId !== undefined) b.unitId = row.unitId;
  return b;
}

async function check() {
  const text = $('import-text').value;
  const mine = ++seq;
  const rows = parse(text);
  // Rows that parse go to the dry run; its indices map back through `sent`.
  const sent = rows.filter((r) => !r.problems.length);
  if (sent.length) {
    try {
      const answer = await api('POST', '/api/devices?dryRun=true', sent.map(body));
      for (const r of answer.rows || []) if (sent[r.index]) sent[r.index].problems.push(...(r.problems || []));
    } catch (e) {
      if (mine !== seq) return;
      const row = sent[e.body.index];
      if (row) row.problems.push({ field: e.body.field, error: e.message });
      else {
        setText('import-status', e.message);
        render(rows);
        return;
      }
    }
  }
  if (mine !== seq) return;
  render(rows);
  const bad = rows.filter((r) => r.problems.length).length;
  if (!rows.length) setText('import-status', 'No rows');
  else if (bad) setText('import-status', `${plural(rows.length, 'row', 'rows')}, ${bad} with a problem: nothing will be added until every row is fine`);
  else setText('import-status', `${plural(rows.length, 'row', 'rows')}, all fine`);
  checkedText = !bad && rows.length ? text : null;
  $('import-submit').disabled = checkedText === null;
}

function render(rows, addedNote) {
  $('import-rows').replaceChildren(...rows.map((r) => {
    const badFields = new Set(r.problems.map((p) => p.field));
    const cell = (fieldName, text, cls) => h('td', { class: [cls, badFields.has(fieldName) ? 'bad' : ''].filter(Boolean).join(' ') || null }, text);
    return h('tr', { class: r.problems.length ? 'bad-row' : null, 'data-line': r.line },
      h('td', { class: 'num' }, r.line),
      cell('devEui', r.devEui, 'mono'),
      cell('port', r.portText, 'num'),
      cell('startRegister', r.startText, 'num'),
      cell('name', r.name),
      cell('unitId', r.unitText, 'num'),
      h('td', { class: 'problem' }, r.problems.map((p) => p.error).join('; ') || addedNote || ''));
  }));
}

async function submit() {
  const text = $('import-text').value;
  if (text !== checkedText) return check();
  const rows = parse(text);
  $('import-submit').disabled = true;
  try {
    const answer = await api('POST', '/api/devices', rows.map(body));
    const n = (answer && answer.added ? answer.added.length : rows.length);
    render(rows, '');
    setText('import-status', `Added ${plural(n, 'device', 'devices')}`);
    checkedText = null;
  } catch (e) {
    const row = rows[e.body.index];
    if (row) row.problems.push({ field: e.body.field, error: e.message });
    render(rows);
    setText('import-status', `Nothing was added: ${e.message}`);
    checkedText = null;
  }
}
