// The last lines of history.log, following live, with a filter box.
import { api, on } from './api.js';
import { $, setText, debounce } from './util.js';

const MAX = 2000;
let lines = [];
let visible = false;

export function init() {
  $('log-filter').addEventListener('input', debounce(render, 150));
  $('log-follow').addEventListener('change', () => $('log-follow').checked && scrollDown());
  on('log', (e) => {
    if (!visible || typeof e.line !== 'string') return;
    lines.push(e.line);
    if (lines.length > MAX + 200) {
      lines = lines.slice(-MAX);
      render();
      return;
    }
    if (matches(e.line)) {
      const pre = $('log-lines');
      pre.append(pre.firstChild ? `\n${e.line}` : e.line);
      count();
      if ($('log-follow').checked) scrollDown();
    }
  });
}

export async function enter() {
  visible = true;
  setText('log-count', 'Loading…');
  try {
    const answer = await api('GET', '/api/log?lines=1000');
    lines = answer.lines || [];
  } catch (e) {
    setText('log-count', e.message);
    return;
  }
  render();
}

export function leave() {
  visible = false;
}

function matches(line) {
  const f = $('log-filter').value.trim().toLowerCase();
  return !f || line.toLowerCase().includes(f);
}

function shown() {
  return lines.filter(matches);
}

function count() {
  const n = $('log-lines').textContent ? $('log-lines').textContent.split('\n').length : 0;
  setText('log-count', $('log-filter').value.trim() ? `${n} of ${lines.length} lines` : `${lines.length} lines`);
}

function render() {
  $('log-lines').textContent = shown().join('\n');
  count();
  if ($('log-follow').checked) scrollDown();
}

function scrollDown() {
  const pre = $('log-lines');
  pre.scrollTop = pre.scrollHeight;
}
