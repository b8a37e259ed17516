'use strict';
// The page of kavrel-mode-switch-web: the port, the switch with its live
// log, and the module's status, from the server's API and event stream.
const $ = (id) => document.getElementById(id);
const FIX_WORDS = { none: 'no fix', gps: 'GPS fix', differential: 'differential',
  'rtk-fixed': 'RTK fixed', 'rtk-float': 'RTK float', estimated: 'estimated' };
const SILENT_MS = 3000;
let source = null;
let jobId = -1;
let job = null;
let messages = -1;
let messageAt = 0;
let basePosition = '';
let chosenMode = '';

async function api(path, body) {
  const options = body === undefined ? {} : { method: 'POST',
    headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) };
  const response = await fetch(path, options);
  if (response.status === 401 && path !== '/api/login') showLogin();
  return response;
}

function showLogin() {
  if (source) source.close();
  source = null;
  $('app').hidden = true;
  $('logout').hidden = true;
  $('login').hidden = false;
  $('password').focus();
}

function option(value, text) {
  const item = document.createElement('option');
  item.value = value;
  item.textContent = text;
  return item;
}

async function start() {
  const response = await api('/api/ports');
  if (!response.ok) return;
  const data = await response.json();
  const port = $('port');
  port.replaceChildren(...data.ports.map((p) => option(p.name, p.name)));
  port.ports = data.ports;
  const baud = $('baud');
  baud.replaceChildren(...data.bauds.map((b) => option(String(b), String(b))),
    option('auto', 'auto (find it first)'));
  baud.value = String(data.baud);
  $('login').hidden = true;
  $('app').hidden = false;
  $('logout').hidden = false;
  if (data.ports.length === 0) $('port-description').textContent = 'No serial port found.';
  watchPort();
}

function watchPort() {
  const name = $('port').value;
  const entry = ($('port').ports || []).find((p) => p.name === name);
  if (entry) $('port-description').textContent = entry.description || 'No details known.';
  if (source) source.close();
  jobId = -1;
  $('log').textContent = '';
  $('job-state').textContent = '';
  showStatus(null);
  if (!name) return;
  const baud = $('baud').value === 'auto' ? '' : '&baud=' + $('baud').value;
  source = new EventSource('/api/events?port=' + encodeURIComponent(name) + baud);
  source.addEventListener('open', () => { $('connection').textContent = ''; });
  source.addEventListener('error', lostConnection);
  source.addEventListener('log', (e) => appendLog(JSON.parse(e.data)));
  source.addEventListener('job', (e) => showJob(JSON.parse(e.data)));
  source.addEventListener('status', (e) => showStatus(JSON.parse(e.data)));
  source.addEventListener('notice', (e) => {
    $('notice').textContent = JSON.parse(e.data).text;
    $('notice').dataset.silent = '';
    messageAt = 0; // silence is counted again from the next status
  });
}

async function lostConnection() {
  $('connection').textContent = 'Connection to the server lost; trying again…';
  if (source && source.readyState === EventSource.CLOSED) {
    const response = await api('/api/ports').catch(() => null);
    if (response && response.ok) setTimeout(watchPort, 2000);
    else if (!response) setTimeout(lostConnection, 2000);
  }
}

function appendLog(line) {
  const log = $('log');
  const atEnd = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
  log.append(line + '\n');
  if (atEnd) log.scrollTop = log.scrollHeight;
}

function showJob(next) {
  if (next.id !== jobId) {
    jobId = next.id;
    $('log').textContent = '';
  }
  job = next;
  job.seenAt = Date.now(); // left_ms is counted from here
  showJobState();
}

// A running switch's step as the server tells it: the sentence being
// written, or the reboot and the time left before the server gives up on it.
function progress(j) {
  const s = j.step;
  if (j.rebooting && s) {
    const left = Math.max(0, Math.ceil((s.left_ms - (Date.now() - j.seenAt)) / 1000));
    const doing = s.kind === 'reopen' ? 'Opening the port after' : 'Waiting for';
    return `${doing} reboot ${s.index} of ${s.count}: ${left} s left of ${s.timeout_ms / 1000} s`;
  }
  const kind = s && s.kind !== 'sentence' ? ` (${s.kind})` : '';
  const step = s ? `: sentence ${s.index} of ${s.count}${kind}` : '';
  return `Switching ${j.port} (${j.mode}, ${j.baud})${step}…`;
}

function showJobState() {
  const state = $('job-state');
  state.classList.toggle('bad', job !== null && job.state !== 'running' && job.state !== 'done');
  if (job === null) return;
  if (job.state === 'running') {
    state.textContent = progress(job);
  } else if (job.state === 'done') {
    state.textContent = job.last;
  } else {
    state.textContent = (job.state === 'failed' ? 'Failed: ' : '') + job.last;
  }
}

function degrees(value, positive, negative) {
  return `${Math.abs(value).toFixed(7)}° ${value < 0 ? negative : positive}`;
}

function rates(counts) {
  return Object.keys(counts || {}).map((n) => `${n} ${counts[n]}/s`).join(', ');
}

// One role's figures as a heading and a list of terms and values; a value
// of null leaves its row out.
function block(title, rows) {
  const heading = document.createElement('h3');
  heading.textContent = title;
  const list = document.createElement('dl');
  for (const [term, value] of rows) {
    if (value === null || value === '') continue;
    const dt = document.createElement('dt');
    const dd = document.createElement('dd');
    dt.textContent = term;
    dd.textContent = value;
    list.append(dt, dd);
  }
  return [heading, list];
}

const fixed = (value, digits, unit) => (value === null ? null : `${value.toFixed(digits)}${unit}`);

function roverBlock(s) {
  return block('Rover', [['Fix', FIX_WORDS[s.fix] || `quality ${s.quality}`],
    ['Satellites', s.satellites === null ? null : String(s.satellites)],
    ['HDOP', fixed(s.hdop, 1, '')], ['Corrections', fixed(s.age_s, 1, ' s old')],
    ['Latitude', s.lat === null ? null : degrees(s.lat, 'N', 'S')],
    ['Longitude', s.lon === null ? null : degrees(s.lon, 'E', 'W')],
    ['Altitude', fixed(s.alt_m, 1, ' m above sea level')], ['NMEA', rates(s.nmea)]]);
}

function baseBlock(b, s) {
  const e = b.ecef_m;
  return block('Base: station position', [['Latitude', degrees(b.lat, 'N', 'S')],
    ['Longitude', degrees(b.lon, 'E', 'W')], ['Height', `${b.height_m.toFixed(3)} m ellipsoidal`],
    ['Antenna height', fixed(b.antenna_height_m, 3, ' m')],
    ['ECEF X', `${e[0].toFixed(4)} m`], ['ECEF Y', `${e[1].toFixed(4)} m`],
    ['ECEF Z', `${e[2].toFixed(4)} m`], ['Station', String(b.station)], ['RTCM', rates(s.rtcm)]]);
}

function statusNodes(s) {
  const nodes = [];
  if (s.fix !== null) nodes.push(...roverBlock(s));
  if (s.base !== null) nodes.push(...baseBlock(s.base, s));
  if (nodes.length === 0 && s.module.length === 0) {
    const p = document.createElement('p');
    const heard = [rates(s.nmea), rates(s.rtcm)].filter((t) => t).join(', ');
    p.textContent = 'Listening: no fix, station position or sentence of the module\'s own' +
      (heard ? ` (heard ${heard})` : '') + '.';
    nodes.push(p);
  }
  return nodes;
}

function showOwn(sentences) {
  $('own').hidden = sentences.length === 0;
  $('own-list').replaceChildren(...sentences.map((text) => {
    const item = document.createElement('li');
    item.textContent = text;
    return item;
  }));
}

function showStatus(s) {
  if (s === null) {
    $('status').replaceChildren();
    $('base-actions').hidden = true;
    showOwn([]);
    return;
  }
  if (s.messages !== messages) {
    messages = s.messages;
    messageAt = Date.now();
  }
  $('status').replaceChildren(...statusNodes(s));
  showOwn(s.module);
  const base = s.base;
  $('base-actions').hidden = base === null;
  if (base !== null) {
    basePosition = `${base.lat.toFixed(7)},${base.lon.toFixed(7)},${base.height_m.toFixed(3)}`;
    $('geo').href = `geo:${base.lat.toFixed(7)},${base.lon.toFixed(7)}`;
  }
}

function tick() {
  if (job && job.state === 'running' && job.rebooting) showJobState();
  const silent = messageAt > 0 && Date.now() - messageAt >= SILENT_MS && !$('app').hidden;
  const note = silent ? `No message from the module for ${Math.floor((Date.now() - messageAt) / 1000)} s.` : '';
  if (!$('notice').textContent || $('notice').dataset.silent) {
    $('notice').textContent = note;
    $('notice').dataset.silent = note ? '1' : '';
  }
}

// The clipboard API needs a secure context, which a phone on the server's
// plain http address is not: the older copy command then.
async function copyBase() {
  let copied = true;
  try {
    await navigator.clipboard.writeText(basePosition);
  } catch {
    const area = document.createElement('textarea');
    area.value = basePosition;
    document.body.append(area);
    area.select();
    copied = document.execCommand('copy');
    area.remove();
  }
  $('copied').textContent = copied ? `Copied ${basePosition}` : 'Not copied: select the figures.';
  setTimeout(() => { $('copied').textContent = ''; }, 4000);
}

function askSwitch(event) {
  chosenMode = event.currentTarget.dataset.mode;
  $('confirm-text').textContent =
    `Switch the module on ${$('port').value} to ${event.currentTarget.textContent}?`;
  $('confirm').showModal();
}

async function confirmed() {
  if ($('confirm').returnValue !== 'switch') return;
  const baud = $('baud').value === 'auto' ? 'auto' : Number($('baud').value);
  const response = await api('/api/switch', { port: $('port').value, mode: chosenMode, baud });
  if (!response.ok && response.status !== 401) {
    const answer = await response.json().catch(() => ({ error: `Refused (${response.status}).` }));
    $('job-state').textContent = answer.error;
    $('job-state').classList.add('bad');
  }
}

async function logIn(event) {
  event.preventDefault();
  const response = await api('/api/login', { password: $('password').value });
  $('password').value = '';
  if (response.ok) {
    $('login-error').textContent = '';
    start();
  } else {
    // The server says how long a refused login must wait.
    const answer = await response.json().catch(() => ({}));
    $('login-error').textContent = answer.error || `Refused (${response.status}).`;
  }
}

$('login').addEventListener('submit', logIn);
$('logout').addEventListener('click', async () => { await api('/api/logout', {}); showLogin(); });
$('port').addEventListener('change', watchPort);
$('baud').addEventListener('change', watchPort);
document.querySelectorAll('[data-mode]').forEach((b) => b.addEventListener('click', askSwitch));
$('confirm').addEventListener('close', confirmed);
$('copy').addEventListener('click', copyBase);
setInterval(tick, 1000);
start().then(() => { if ($('app').hidden) showLogin(); }, showLogin);
