// The landing page: link state, device counts, uplink rates with a chart of
// the last hour, Modbus ports, version and uptime. Counters come live from
// the event stream; the rest is read again every 10 s.
import { api, on } from './api.js';
import { $, h, setText, duration, bytes } from './util.js';

const SVG = 'http://www.w3.org/2000/svg';
const HOUR = 3600 * 1000;
const MINUTE = 60 * 1000;

let last = null;          // the last /api/status answer, kept current by events
let linkSince = null;
let pollTimer = 0;
let tickTimer = 0;
let visible = false;
// Uplink counters as this page saw them: [{t, decoded, rejected}], one hour.
const samples = [];

export function init() {
  on('status', (server) => {
    if (!last) return;
    last.server = server;
    showLink(server);
    if (visible) render();
  });
  on('counters', (counters) => {
    if (!last) return;
    if (counters.uplinks) {
      last.uplinks = counters.uplinks;
      sample(counters.uplinks);
    }
    if (counters.modbus) last.modbus = counters.modbus;
    if (visible) render();
  });
  on('silence', () => refreshSoon());
  on('device-added', () => refreshSoon());
  on('device-removed', () => refreshSoon());
  window.addEventListener('resize', () => visible && drawChart());
}

let soon = 0;
function refreshSoon() {
  if (soon) return;
  soon = setTimeout(() => {
    soon = 0;
    refresh();
  }, 1000);
}

// `fresh`: an answer just read, so the first poll waits its turn.
export function startPolling(fresh = false) {
  stopPolling();
  if (!fresh) refresh();
  pollTimer = setInterval(refresh, 10000);
}

export function stopPolling() {
  clearInterval(pollTimer);
  pollTimer = 0;
}

async function refresh() {
  try {
    show(await api('GET', '/api/status'));
  } catch (e) {
    // A 401 signs out; anything else keeps the last figures.
  }
}

export function show(st) {
  last = st;
  if (st.uplinks) sample(st.uplinks);
  showLink(st.server);
  if (visible) render();
}

export function latest() {
  return last;
}

// The side panel's chip: the window's status name, green when logged in.
function showLink(server) {
  if (!server) return;
  const ok = server.status === 'SUCCESS';
  const text = server.statusText || server.status;
  setText('link-chip-text', text);
  $('link-chip').classList.toggle('link-ok', ok);
  $('link-chip-icon').src = ok ? 'connectionGoodIco.png' : 'connectionFailIco.png';
  $('link-chip').title = `Network server link: ${text}`;
  linkSince = server.since ? Date.parse(server.since) : null;
}

function sample(uplinks) {
  const t = Date.now();
  const prev = samples[samples.length - 1];
  // A restarted gateway counts from zero again: start over rather than
  // drawing a negative rate.
  if (prev && (uplinks.decoded < prev.decoded || uplinks.rejected < prev.rejected)) samples.length = 0;
  samples.push({ t, decoded: uplinks.decoded, rejected: uplinks.rejected });
  while (samples.length > 2 && samples[0].t < t - HOUR - MINUTE) samples.shift();
}

// Uplinks per minute over the last minute seen (or what there is of it).
function rate(key) {
  if (samples.length < 2) return null;
  const end = samples[samples.length - 1];
  let start = samples[0];
  for (const s of samples) {
    if (s.t >= end.t - MINUTE) {
      start = s;
      break;
    }
  }
  if (start === end) start = samples[samples.length - 2];
  const dt = end.t - start.t;
  if (dt < 2000) return null;
  return ((end[key] - start[key]) * MINUTE) / dt;
}

// Per-minute buckets of the last hour, newest last; null where the page saw nothing.
function buckets(key) {
  const now = Date.now();
  const out = [];
  for (let i = 59; i >= 0; i -= 1) {
    const from = now - (i + 1) * MINUTE;
    const to = now - i * MINUTE;
    out.push(countBetween(key, from, to));
  }
  return out;
}

function countBetween(key, from, to) {
  let a = null;
  let b = null;
  for (const s of samples) {
    if (s.t <= from) a = s;
    if (s.t <= to) b = s;
  }
  if (!a) a = samples.find((s) => s.t >= from && s.t <= to) || null;
  if (!a || !b || b.t <= a.t) return null;
  const covered = b.t - a.t;
  return ((b[key] - a[key]) * MINUTE) / Math.max(covered, MINUTE / 6);
}

export function enter() {
  visible = true;
  render();
  tickTimer = setInterval(() => {
    if (last) renderClock();
  }, 1000);
}

export function leave() {
  visible = false;
  clearInterval(tickTimer);
}

function renderClock() {
  setText('st-link-for', linkSince ? duration(Date.now() - linkSince) : '…');
  setText('st-uptime', last.startedAt ? duration(Date.now() - Date.parse(last.startedAt)) : '…');
}

function fmtRate(r) {
  return r === null ? '…' : r < 10 ? r.toFixed(1) : Math.round(r).toString();
}

function render() {
  const st = last;
  if (!st) return;
  const server = st.server || {};
  const ok = server.status === 'SUCCESS';
  setText('st-link', server.statusText || server.status || '…');
  $('st-link').className = ok ? 'ok' : 'bad';
  $('st-link-icon').src = ok ? 'connectionGoodIco.png' : 'connectionFailIco.png';
  setText('st-address', server.address || '—');
  setText('st-login', server.login || '—');
  const d = st.devices || {};
  setText('st-total', d.total);
  setText('st-silent', d.silent);
  setText('st-active', typeof d.total === 'number' ? d.total - (d.silent || 0) : '…');
  setText('st-notserved', d.notServed || 0);
  setText('st-version', st.version);
  setText('st-db', bytes(st.databaseBytes));
  const u = st.uplinks || {};
  setText('st-decoded-rate', fmtRate(rate('decoded')));
  setText('st-rejected-rate', fmtRate(rate('rejected')));
  setText('st-uplink-totals', `${u.decoded ?? 0} decoded, ${u.rejected ?? 0} rejected`);
  const m = st.modbus || { ports: [], connections: 0 };
  setText('st-connections', m.connections ?? 0);
  const rows = (m.ports || []).map((p) =>
    h('tr', {},
      h('td', {}, p.port),
      h('td', { class: 'num' }, p.connections),
      h('td', { class: p.listening ? 'ok' : 'bad' }, p.listening ? 'yes' : 'no')));
  if (!rows.length) rows.push(h('tr', {}, h('td', { colspan: 3 }, 'No device ports')));
  $('st-ports').replaceChildren(...rows);
  renderClock();
  drawChart();
}

function svg(tag, attrs, text) {
  const el = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs)) el.setAttribute(k, String(v));
  if (text !== undefined) el.textContent = text;
  return el;
}

// A hand-drawn SVG line chart: decoded and rejected per minute, 60 minutes.
function drawChart() {
  const box = $('st-chart');
  const width = Math.max(280, box.clientWidth || 600);
  const height = 160;
  const left = 34;
  const right = 8;
  const top = 10;
  const bottom = 20;
  const decoded = buckets('decoded');
  const rejected = buckets('rejected');
  const peak = Math.max(1, ...decoded.filter((v) => v !== null), ...rejected.filter((v) => v !== null));
  const max = niceCeil(peak);
  const x = (i) => left + (i * (width - left - right)) / 59;
  const y = (v) => top + (height - top - bottom) * (1 - v / max);
  const root = svg('svg', { viewBox: `0 0 ${width} ${height}`, width, height, 'aria-hidden': 'true' });
  for (const v of [0, max / 2, max]) {
    root.append(svg('line', { class: 'grid-line', x1: left, x2: width - right, y1: y(v), y2: y(v) }));
    root.append(svg('text', { class: 'axis-text', x: left - 4, y: y(v) + 3, 'text-anchor': 'end' }, formatTick(v)));
  }
  for (const [i, label] of [[0, '-60 min'], [30, '-30 min'], [59, 'now']]) {
    root.append(svg('text', { class: 'axis-text', x: x(i), y: height - 5,
      'text-anchor': i === 0 ? 'start' : i === 59 ? 'end' : 'middle' }, label));
  }
  for (const [values, cls] of [[rejected, 'line-rejected'], [decoded, 'line-decoded']]) {
    let points = [];
    const flush = () => {
      if (points.length === 1) points.push(`${parseFloat(points[0]) + 2},${points[0].split(',')[1]}`);
      if (points.length) root.append(svg('polyline', { class: cls, points: points.join(' ') }));
      points = [];
    };
    values.forEach((v, i) => {
      if (v === null) flush();
      else points.push(`${x(i).toFixed(1)},${y(Math.max(0, v)).toFixed(1)}`);
    });
    flush();
  }
  box.replaceChildren(root);
}

function niceCeil(v) {
  const p = 10 ** Math.floor(Math.log10(v));
  for (const m of [1, 2, 5, 10]) if (v <= m * p) return m * p;
  return 10 * p;
}

function formatTick(v) {
  return v >= 1000 ? `${(v / 1000).toFixed(v % 1000 ? 1 : 0)}k` : String(Math.round(v * 10) / 10);
}
