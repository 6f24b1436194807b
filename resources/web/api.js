// The gateway's JSON API and its event stream. A 401 from any call means the
// session ended: the app shows the sign-in form again.

export class ApiError extends Error {
  constructor(status, body, headers) {
    super((body && body.error) || `HTTP ${status}`);
    this.status = status;
    this.body = body || {};
    this.headers = headers;
  }
}

let unauthorized = () => {};
export function onUnauthorized(fn) {
  unauthorized = fn;
}

export async function api(method, path, body) {
  const options = { method, credentials: 'same-origin', headers: { Accept: 'application/json' } };
  if (body !== undefined) {
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(path, options);
  } catch (e) {
    throw new ApiError(0, { error: 'the gateway cannot be reached' }, new Headers());
  }
  const text = await response.text();
  let data = null;
  if (text) {
    try {
      data = JSON.parse(text);
    } catch (e) {
      data = { error: text.slice(0, 200) };
    }
  }
  if (response.status === 401 && path !== '/api/login') unauthorized();
  if (!response.ok) throw new ApiError(response.status, data, response.headers);
  return data;
}

export function query(params) {
  const q = new URLSearchParams();
  for (const [key, value] of Object.entries(params)) {
    if (value !== '' && value !== null && value !== undefined) q.set(key, value);
  }
  const s = q.toString();
  return s ? `?${s}` : '';
}

// One EventSource for the whole page; views subscribe by event name.
const handlers = new Map();
let source = null;
let stateListener = () => {};

export function on(name, fn) {
  if (!handlers.has(name)) {
    handlers.set(name, new Set());
    if (source) attach(name);
  }
  handlers.get(name).add(fn);
  return () => handlers.get(name).delete(fn);
}

export function onStreamState(fn) {
  stateListener = fn;
}

function attach(name) {
  source.addEventListener(name, (event) => {
    let data;
    try {
      data = JSON.parse(event.data);
    } catch (e) {
      return;
    }
    for (const fn of handlers.get(name)) fn(data);
  });
}

export function startEvents() {
  if (source) return;
  source = new EventSource('/api/events', { withCredentials: true });
  for (const name of handlers.keys()) attach(name);
  source.addEventListener('open', () => stateListener(true));
  source.addEventListener('error', () => {
    stateListener(false);
    // A closed stream is not retried by the browser (a 401, say): ask the
    // API whether the session is still valid, which signs out if it is not.
    if (source && source.readyState === EventSource.CLOSED) {
      stopEvents();
      api('GET', '/api/status').then(() => setTimeout(startEvents, 3000), () => {});
    }
  });
}

export function stopEvents() {
  if (source) source.close();
  source = null;
}
