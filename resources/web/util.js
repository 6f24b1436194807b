// Small helpers shared by the views. Every text that comes from the gateway
// goes through h() or textContent: never through innerHTML.

// h('td', {class: 'x', title: 't'}, 'text', childNode, ...)
export function h(tag, attrs, ...children) {
  const el = document.createElement(tag);
  for (const [key, value] of Object.entries(attrs || {})) {
    if (value === null || value === undefined || value === false) continue;
    if (key === 'class') el.className = value;
    else if (key.startsWith('on')) el.addEventListener(key.slice(2), value);
    else if (value === true) el.setAttribute(key, '');
    else el.setAttribute(key, String(value));
  }
  for (const child of children) {
    if (child === null || child === undefined || child === false) continue;
    el.append(child instanceof Node ? child : String(child));
  }
  return el;
}

export function $(id) {
  return document.getElementById(id);
}

export function setText(id, text) {
  $(id).textContent = text === null || text === undefined ? '' : String(text);
}

// A device type's colour as a swatch; the colour is set through the CSSOM,
// which the content security policy allows (style attributes it does not).
export function swatch(color) {
  const el = h('span', { class: 'swatch', 'aria-hidden': 'true' });
  paint(el, color);
  return el;
}

export function paint(el, color) {
  el.style.backgroundColor = isColor(color) ? color : '';
}

export function isColor(color) {
  return typeof color === 'string' && /^#[0-9a-fA-F]{6}$/.test(color);
}

// "12 s ago", "3 min ago", "5 h ago", "2 d ago"; "never" for null.
export function ago(time, now = Date.now()) {
  if (!time) return 'never';
  const t = Date.parse(time);
  if (Number.isNaN(t)) return 'never';
  const s = Math.max(0, Math.round((now - t) / 1000));
  if (s < 60) return `${s} s ago`;
  if (s < 3600) return `${Math.floor(s / 60)} min ago`;
  if (s < 86400) return `${Math.floor(s / 3600)} h ago`;
  return `${Math.floor(s / 86400)} d ago`;
}

// Two largest units of a duration in milliseconds: "2 d 4 h", "5 min 12 s".
export function duration(ms) {
  if (ms === null || ms === undefined || Number.isNaN(ms)) return '…';
  let s = Math.max(0, Math.floor(ms / 1000));
  const parts = [];
  for (const [unit, size] of [['d', 86400], ['h', 3600], ['min', 60], ['s', 1]]) {
    if (s >= size || (unit === 's' && parts.length === 0)) {
      parts.push(`${Math.floor(s / size)} ${unit}`);
      s %= size;
    }
    if (parts.length === 2) break;
  }
  return parts.join(' ');
}

export function bytes(n) {
  if (typeof n !== 'number') return '…';
  if (n < 1024) return `${n} B`;
  if (n < 1024 * 1024) return `${(n / 1024).toFixed(1)} KiB`;
  return `${(n / 1024 / 1024).toFixed(1)} MiB`;
}

export function localTime(time) {
  if (!time) return '';
  const d = new Date(time);
  return Number.isNaN(d.getTime()) ? '' : d.toLocaleString();
}

// The edit dialog's rule for multiplier and extra value: an integer in the
// signed 32-bit range. Returns the number, or an error text.
export function parseInt32(text, label) {
  const t = String(text).trim();
  if (!/^[+-]?\d+$/.test(t)) return { error: `${label} must be a whole number` };
  const n = Number(t);
  if (n < -2147483648 || n > 2147483647) return { error: `${label} must be between -2147483648 and 2147483647` };
  return { value: n };
}

// Port and register fields of the add forms: whole numbers in a range.
export function parseRange(text, label, min, max) {
  const t = String(text).trim();
  if (t === '') return { error: `${label} is empty` };
  if (!/^\d+$/.test(t)) return { error: `${label} must be a whole number` };
  const n = Number(t);
  if (n < min || n > max) return { error: `${label} must be between ${min} and ${max}` };
  return { value: n };
}

export function debounce(fn, ms) {
  let timer = 0;
  return (...args) => {
    clearTimeout(timer);
    timer = setTimeout(() => fn(...args), ms);
  };
}

export function plural(n, one, many) {
  return `${n} ${n === 1 ? one : many}`;
}
