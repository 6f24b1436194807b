// The console's entry: sign in, the side panel's link state, and the views
// chosen by the address's fragment (#status, #devices, #devices/<DevEUI>, ...).
import { api, onUnauthorized, onStreamState, startEvents, stopEvents } from './api.js';
import { $, setText } from './util.js';
import * as status from './status.js';
import * as devices from './devices.js';
import * as device from './device.js';
import * as add from './add.js';
import * as importCsv from './import.js';
import * as map from './map.js';
import * as log from './log.js';
import * as types from './types.js';

const views = { status, devices, device, add, import: importCsv, map, log, types };
let current = null;
let signedIn = false;
let retryTimer = 0;

function route() {
  if (!signedIn) return;
  const [name, ...rest] = (location.hash.slice(1) || 'status').split('/');
  let view = views[name] ? name : 'status';
  let arg = rest.length ? decodeURIComponent(rest.join('/')) : '';
  if (view === 'devices' && arg) view = 'device';
  if (current && current.leave) current.leave();
  for (const section of document.querySelectorAll('.view')) section.hidden = section.id !== `view-${view}`;
  const navName = view === 'device' ? 'devices' : view;
  for (const a of document.querySelectorAll('.nav a')) {
    if (a.dataset.view === navName) a.setAttribute('aria-current', 'page');
    else a.removeAttribute('aria-current');
  }
  current = views[view];
  current.enter(arg);
}

function showApp(fresh = false) {
  signedIn = true;
  $('login-view').hidden = true;
  $('app').hidden = false;
  if (!current) route();
  startEvents();
  status.startPolling(fresh);
}

function showLogin() {
  if (current && current.leave) current.leave();
  current = null;
  signedIn = false;
  stopEvents();
  status.stopPolling();
  $('app').hidden = true;
  $('login-view').hidden = false;
  $('login-password').focus();
}

function countDown(seconds) {
  clearInterval(retryTimer);
  let left = seconds;
  const submit = $('login-submit');
  const tick = () => {
    if (left <= 0) {
      clearInterval(retryTimer);
      submit.disabled = false;
      setText('login-error', '');
      return;
    }
    submit.disabled = true;
    setText('login-error', `Too many failed sign-ins: try again in ${left} s`);
    left -= 1;
  };
  tick();
  retryTimer = setInterval(tick, 1000);
}

async function signIn(event) {
  event.preventDefault();
  const input = $('login-password');
  setText('login-error', '');
  $('login-submit').disabled = true;
  try {
    await api('POST', '/api/login', { password: input.value });
    input.value = '';
    $('login-submit').disabled = false;
    showApp();
  } catch (e) {
    $('login-submit').disabled = false;
    if (e.status === 401) {
      setText('login-error', 'Wrong password');
      input.select();
    } else if (e.status === 429) {
      const seconds = Number(e.body.retryAfter) || Number(e.headers.get('Retry-After')) || 60;
      countDown(Math.ceil(seconds));
    } else {
      setText('login-error', e.message);
    }
  }
}

async function signOut() {
  try {
    await api('POST', '/api/logout', {});
  } catch (e) {
    // Signed out either way: the form comes back.
  }
  showLogin();
}

async function boot() {
  for (const view of Object.values(views)) if (view.init) view.init();
  onUnauthorized(showLogin);
  onStreamState((open) => {
    $('banner').hidden = open;
    if (!open) setText('banner', 'Live updates interrupted: reconnecting…');
  });
  $('login-form').addEventListener('submit', signIn);
  $('logout').addEventListener('click', signOut);
  window.addEventListener('hashchange', route);
  // The view asks for its data beside the status, not after it; the page
  // shows once the status has said the session is valid (a 401 from either
  // brings the sign-in form instead).
  signedIn = true;
  const answer = api('GET', '/api/status');
  route();
  try {
    const st = await answer;
    status.show(st);
    showApp(true);
  } catch (e) {
    if (e.status !== 401) {
      // Not a session problem: show the form with what went wrong.
      setText('login-error', e.message);
    }
    showLogin();
  }
}

boot();
