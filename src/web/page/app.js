'use strict';
// The page of kavrel-mode-switch-web. At the top, in words and colour, what
// the module does now; a switch, while one runs, step by step; the figures,
// greyed once they are old; the exact log and every figure one tap away.
// What it says of the modes, the fixes, the survey-in and the restarts comes
// from the server (/api/ports), which has it from the engine's tables.
const $ = (id) => document.getElementById(id);
const SILENT_MS = 3000; // no message for this long is news
const LIVE_MS = 2500; // the server sends a status each second while it reads the port
const ANNOUNCE_GAP_MS = 5000; // between two polite announcements, at least
const SAVED_KEY = 'kms-job:'; // + port: the last job this tab saw
const QUIET_KEYS = ['switching', 'lost', 'listening', 'connecting', 'talking'];
const RESTARTS = { 2: ' twice', 3: ' three times' };
const MARKS = { good: '✓', fair: '◐', poor: '✗', busy: '↻', none: '…' };
let words = null; // the server's: modes, fixes, survey_in, restart_limit_ms
let source = null;
let view = fresh('');
let chosenMode = '';
let basePosition = '';

// Everything the page knows of the port it watches.
function fresh(port) {
  return { port, connected: false, job: null, jobSeenAt: 0, phase: -1, phaseAt: 0,
    everConnected: false, status: null, statusAt: 0, figures: null, figuresAt: 0, shown: null,
    count: -1, heardAt: 0, listenFrom: 0, lost: false, lostText: '', surveySeenAt: 0,
    headlineKey: '', ownKey: '', stepsKey: '', correctionsKey: '' };
}

async function api(path, body) {
  const options = body === undefined ? {} : { method: 'POST',
    headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) };
  const response = await fetch(path, options);
  if (response.status === 401 && path !== '/api/login') {
    showLogin($('app').hidden ? '' : 'Your session ended: log in again.');
  }
  return response;
}

function showLogin(why) {
  if (source) source.close();
  source = null;
  $('app').hidden = true;
  $('logout').hidden = true;
  $('login').hidden = false;
  $('login-error').textContent = why;
  $('password').focus();
}

function option(value, text) {
  const item = document.createElement('option');
  item.value = value;
  item.textContent = text;
  return item;
}

const modeOf = (name) => words.modes.find((m) => m.name === name) ||
  { name, button: name, title: name, does: '', shows: '', open_ms: 0, steps: [] };
const seconds = (ms) => Math.max(0, Math.floor(ms / 1000));

function modeButton(mode) {
  const button = document.createElement('button');
  button.type = 'button';
  button.dataset.mode = mode.name;
  button.dataset.shows = mode.shows;
  const now = document.createElement('span');
  now.className = 'now';
  now.textContent = 'now';
  now.hidden = true;
  button.append(mode.button, now);
  button.addEventListener('click', askSwitch);
  return button;
}

async function start() {
  const response = await api('/api/ports');
  if (!response.ok) return;
  const data = await response.json();
  words = data;
  const port = $('port');
  port.replaceChildren(...data.ports.map((p) => option(p.name, p.name)));
  port.ports = data.ports;
  const baud = $('baud');
  baud.replaceChildren(...data.bauds.map((b) => option(String(b), String(b))),
    option('auto', 'auto (find it first)'));
  baud.value = String(data.baud);
  $('modes').replaceChildren(...data.modes.map(modeButton));
  // One port needs no choosing: its line says which it is.
  $('connection').open = data.ports.length !== 1;
  $('login').hidden = true;
  $('app').hidden = false;
  $('logout').hidden = false;
  watchPort();
}

function describeConnection() {
  const name = $('port').value;
  const entry = ($('port').ports || []).find((p) => p.name === name);
  $('port-description').textContent = !name ? 'No serial port found.'
    : (entry && entry.description) || 'No details known.';
  const baud = $('baud').value === 'auto' ? 'baud rate found first' : `${$('baud').value} baud`;
  $('connection-summary').textContent = name ? `Connection: ${name}, ${baud}` : 'Connection: no port';
}

function watchPort() {
  const name = $('port').value;
  if (source) source.close();
  source = null;
  view = fresh(name);
  $('log').textContent = '';
  describeConnection();
  render();
  if (!name) return;
  const baud = $('baud').value === 'auto' ? '' : '&baud=' + $('baud').value;
  source = new EventSource('/api/events?port=' + encodeURIComponent(name) + baud);
  source.addEventListener('open', () => {
    view.connected = true;
    view.everConnected = true;
    view.listenFrom = Date.now();
    render();
  });
  source.addEventListener('error', lostConnection);
  source.addEventListener('log', (e) => appendLog(JSON.parse(e.data)));
  source.addEventListener('job', (e) => takeJob(JSON.parse(e.data)));
  source.addEventListener('status', (e) => takeStatus(JSON.parse(e.data)));
  source.addEventListener('notice', (e) => takeNotice(JSON.parse(e.data).text));
}

// The browser retries a broken stream by itself; one that ended for good is
// started again once the server answers, or the login shows why not.
async function lostConnection() {
  view.connected = false;
  render();
  if (source && source.readyState === EventSource.CLOSED) {
    const response = await api('/api/ports').catch(() => null);
    if (response && response.ok) setTimeout(watchPort, 2000);
    else if (!response) setTimeout(lostConnection, 2000);
  }
}

function say(text) {
  $('announce').textContent = text;
}

// A switch's progress, polite and in a region of its own: at most one
// every ANNOUNCE_GAP_MS, the latest kept.
let stepSaidAt = 0;
let stepTimer = 0;
let stepNews = '';
function sayStep(text) {
  stepNews = text;
  if (stepTimer) return;
  stepTimer = setTimeout(() => {
    $('step-news').textContent = stepNews;
    stepSaidAt = Date.now();
    stepTimer = 0;
  }, Math.max(0, stepSaidAt + ANNOUNCE_GAP_MS - Date.now()));
}

function alarm(text) {
  $('alarm').textContent = '';
  setTimeout(() => { $('alarm').textContent = text; }, 50);
}

// ----- The switch: its steps as the script's sentences group them.

// The steps of a mode's switch: each run of sentences, then each restart
// (the reset sentence, the reboot wait and the reopen), with their times.
function planOf(mode) {
  const phases = [];
  let send = null;
  let restarts = 0;
  let atMs = mode.open_ms;
  mode.steps.forEach((s, i) => {
    if (s.restart) {
      phases.push({ restart: ++restarts, sentence: i + 1, ms: s.ms, startMs: atMs });
      send = null;
    } else if (send) {
      send.last = i + 1;
      send.ms += s.ms;
    } else {
      send = { first: i + 1, last: i + 1, ms: s.ms, startMs: atMs };
      phases.push(send);
    }
    atMs += s.ms;
  });
  return { phases, restarts, totalMs: atMs, sentences: mode.steps.length };
}

// The step a job's last step record belongs to; -1 before the first.
function phaseIndex(plan, step) {
  if (!step) return -1;
  const rebooting = step.kind === 'reboot' || step.kind === 'reopen';
  return plan.phases.findIndex((p) => (rebooting ? p.restart === step.index
    : p.restart ? p.sentence === step.index : step.index >= p.first && step.index <= p.last));
}

function phaseName(plan, p) {
  if (p.restart) {
    return 'restarting the module' + (plan.restarts > 1 ? ` (${p.restart} of ${plan.restarts})` : '');
  }
  return p.first === p.last ? `sending setting ${p.first} of ${plan.sentences}`
    : `sending settings ${p.first} to ${p.last} of ${plan.sentences}`;
}

function stepTitle(plan, index) {
  const p = plan.phases[index];
  return `Step ${index + 1} of ${plan.phases.length}: ${phaseName(plan, p)}`;
}

// How far into the step the job is: a restart by the server's own deadline,
// a sending step since this page saw it begin.
function intoPhaseMs(j, now) {
  const s = j.step;
  if (s && (s.kind === 'reboot' || s.kind === 'reopen')) {
    return s.timeout_ms - s.left_ms + (now - view.jobSeenAt);
  }
  return now - view.phaseAt;
}

function renderSwitching(now) {
  const j = view.job;
  const mode = modeOf(j.mode);
  const plan = planOf(mode);
  const index = phaseIndex(plan, j.step);
  $('switching-title').textContent = `Switching to ${mode.button}`;
  const p = plan.phases[index];
  let step = index < 0 ? (j.baud === 'auto' ? 'Before step 1: finding the module\'s baud rate'
    : 'Before step 1: opening the port') : stepTitle(plan, index);
  if (p && p.restart) {
    step += ` (usually about ${Math.round(p.ms / 1000)} s; gives up at ` +
      `${seconds(words.restart_limit_ms)} s)`;
  }
  $('switching-step').textContent = step;
  const into = index < 0 ? 0 : intoPhaseMs(j, now);
  if (view.connected) {
    const start = p ? p.startMs : 0;
    $('switching-bar').value = Math.min(1, (start + Math.min(into, p ? p.ms : 0)) / plan.totalMs);
    $('switching-time').textContent = timeText(j, p, into);
  } else {
    $('switching-time').textContent = 'Connection to the server lost: the switch may still be ' +
      'running. Trying again…';
  }
}

function timeText(j, p, into) {
  if (!p) return '';
  if (!p.restart) return `Setting ${j.step.index} of ${j.step.count}`;
  if (j.step.kind === 'reopen' && into > p.ms) {
    return `Not back yet: ${seconds(j.step.left_ms - (Date.now() - view.jobSeenAt))} s left ` +
      'before the server gives up.';
  }
  return `${seconds(into)} s since the module was told to restart`;
}

// ----- The job: the switch in progress, or how the last one ended.

function savedJob(port) {
  try { return JSON.parse(sessionStorage.getItem(SAVED_KEY + port)); } catch { return null; }
}

function saveJob(j) {
  try { sessionStorage.setItem(SAVED_KEY + view.port, JSON.stringify(j)); } catch { /* private mode */ }
}

// The job to show: the server's, or the one this tab saw running when the
// server no longer knows it (it restarted: job ids start again from 1).
// Whether this tab saw it running comes with it, also across a reload.
function jobToShow(next) {
  const saved = savedJob(view.port);
  const sawRunning = saved !== null && saved.state === 'running' &&
    (saved.id === next.id || next.id === 0 || next.id < saved.id);
  if (saved && (next.id === 0 || next.id < saved.id)) {
    if (saved.state === 'running') {
      Object.assign(saved, { state: 'interrupted', cause: 'none', serverLost: true });
      saveJob(saved);
    }
    return [saved, sawRunning];
  }
  if (next.id !== 0) saveJob({ ...next, seenAt: Date.now() });
  return [next.id === 0 ? null : next, sawRunning];
}

function takeJob(next) {
  const before = view.job;
  const [j, sawRunning] = jobToShow(next);
  view.job = j;
  view.jobSeenAt = Date.now();
  if (j && (!before || before.id !== j.id)) $('log').textContent = '';
  if (j && j.state === 'running') startedOrStepped(before, j);
  else if (j && sawRunning) ended(j);
  render();
}

function startedOrStepped(before, j) {
  const fresh = !before || before.id !== j.id || before.state !== 'running';
  const plan = planOf(modeOf(j.mode));
  const index = phaseIndex(plan, j.step);
  if (index !== view.phase || fresh) {
    view.phase = index;
    view.phaseAt = Date.now();
    const step = index >= 0 ? stepTitle(plan, index) : 'starting';
    sayStep(fresh ? `Switching to ${modeOf(j.mode).button}: ${step}.` : `${step}.`);
  }
  if (!fresh) return;
  if ($('confirm').open) $('confirm').close('cancel'); // another page started it
  // Focus follows the buttons the switch replaces.
  const at = document.activeElement;
  if (!at || at === document.body || $('modes-section').contains(at)) {
    $('switching').hidden = false;
    $('switching').focus();
    $('switching').scrollIntoView({ block: 'start' });
  }
}

// A switch this page watched has ended: the old figures are of the old mode.
function ended(j) {
  view.figures = null;
  view.listenFrom = Date.now();
  const o = outcomeOf(j);
  if (o.level === 'good') say(o.title);
  else alarm(`${o.title}. ${o.text}`);
}

const ERRNO_WORDS = { 2: 'The port is not there (is the module unplugged?)',
  5: 'The port gave an input/output error', 13: 'The server may not use this port (permission)',
  16: 'The port is busy' };

function failureOf(j, mode, where) {
  const limit = seconds(words.restart_limit_ms);
  const causes = {
    'not-back': ['The module did not come back', `It restarted at ${where}, and its port did not ` +
      `come back within ${limit} s. The module may be half switched: check its cable and power, ` +
      'then run the switch again.'],
    'port-busy': ['The port is in use', 'Another program has the port open (its name is below, ' +
      'when known). Nothing was sent to the module. Close that program, then run the switch again.'],
    'open-failed': ['The port could not be opened', `${ERRNO_WORDS[j.errno] || 'The system ' +
      `refused it (error ${j.errno})`}. Nothing was sent to the module. Check that it is plugged ` +
      'in, then run the switch again.'],
    'write-failed': ['A setting could not be sent', `Writing to the module failed at ${where}. ` +
      'The module may be half switched: check its cable, then run the switch again.'],
    'no-rate': ['No baud rate found', 'Nothing readable came from the module at any baud rate. ' +
      'Nothing was sent to it. Check its cable and power, then try again.'],
  };
  const [title, text] = causes[j.cause] || ['The switch failed', `It stopped at ${where}. The ` +
    'module may be half switched: run the switch again.'];
  return { level: 'poor', title, text };
}

// How a job ended, in words: what state the module may be in and what to do.
function outcomeOf(j) {
  const mode = modeOf(j.mode);
  const plan = planOf(mode);
  const index = phaseIndex(plan, j.step);
  const where = index < 0 ? 'the start' : `step ${index + 1} of ${plan.phases.length}` +
    (plan.phases[index].restart ? '' : ` (${phaseName(plan, plan.phases[index])})`);
  if (j.state === 'done' && mode.shows === 'survey') {
    return { level: 'good', title: 'Survey-in started', text: 'The base is ready once the ' +
      `module's survey-in ends (it was set to ${surveyTarget()}); the line at the top says when.` };
  }
  if (j.state === 'done') {
    return { level: 'good', title: `Switched to ${mode.button}`, text: 'The module took the ' +
      `settings and restarted. ${mode.does}` };
  }
  if (j.state === 'no-reply') {
    return { level: 'poor', title: 'No reply from the module', text: `Nothing came back at ${j.baud} ` +
      'baud, so the module may not have taken the settings. Choose the baud rate "auto" under ' +
      'Connection to find its rate, then run the switch again.' };
  }
  if (j.state === 'interrupted') {
    return { level: 'poor', title: 'Switch interrupted', text: `The switch to ${mode.button} was ` +
      `cut short at ${where}${j.serverLost ? ' when the server stopped' : ''}. The module may be ` +
      'half switched: run the switch again.' };
  }
  return failureOf(j, mode, where);
}

function clock(j) {
  const at = j.ended_at ? new Date(j.ended_at) : new Date(j.seenAt || NaN);
  return Number.isNaN(at.getTime()) ? ''
    : at.toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' });
}

function renderOutcome(running) {
  const j = view.job;
  $('outcome').hidden = running || !j;
  if (running || !j) return;
  const o = outcomeOf(j);
  $('outcome').dataset.level = o.level;
  $('outcome').querySelector('.mark').textContent = MARKS[o.level];
  $('outcome-text-title').textContent = o.title;
  $('outcome-text').textContent = o.text;
  const failed = o.level !== 'good' && j.last;
  $('outcome-last').textContent = failed ? `The log's last line: ${j.last}` : '';
  const when = clock(j);
  $('outcome-when').textContent = `Last switch${when ? ` at ${when}` : ''}: to ${modeOf(j.mode).button}` +
    (j.serverLost ? ', as this page last saw it before the server restarted.' : '.');
}

// The last switch's steps: done, under way, where it stopped, not reached.
// A switch with no reply went through every step; its module said nothing.
function renderSteps(running) {
  const j = view.job;
  $('last-switch').hidden = !j;
  const plan = j && planOf(modeOf(j.mode));
  const at = j ? phaseIndex(plan, j.step) : -1;
  const key = j ? `${j.id} ${j.state} ${at}` : '';
  if (!j || key === view.stepsKey) return;
  view.stepsKey = key;
  const items = plan.phases.map((p, i) => {
    const state = j.state === 'done' || j.state === 'no-reply' || i < at ? ['good', 'done']
      : i > at ? ['none', 'not reached']
        : running ? ['busy', 'under way'] : ['poor', 'stopped here'];
    const name = phaseName(plan, p);
    return markedItem([state[0], `${name[0].toUpperCase()}${name.slice(1)}: ${state[1]}`]);
  });
  $('steps').replaceChildren(...items);
}

function appendLog(line) {
  const log = $('log');
  const atEnd = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
  log.append(line + '\n');
  if (atEnd) log.scrollTop = log.scrollHeight;
}

// ----- What the module says: the status each second, and the notices.

function takeStatus(s) {
  const now = Date.now();
  if (view.lost) {
    // The port is back: figures from before it went are not shown again.
    view.lost = false;
    view.figures = null;
    view.listenFrom = now;
  }
  if (s.messages > view.count || (s.messages < view.count && s.messages > 0)) view.heardAt = now;
  view.count = s.messages;
  view.status = s;
  view.statusAt = now;
  if (s.fix !== null || s.base !== null) {
    view.figures = s;
    view.figuresAt = now;
  }
  if (!surveySentence(s) || s.base) view.surveySeenAt = 0;
  else if (!view.surveySeenAt) view.surveySeenAt = now;
  render();
}

// A notice is why the server reads nothing: a switch holds the port, or the
// port is gone or will not open.
function takeNotice(text) {
  const running = view.job && view.job.state === 'running';
  if (text && !running) {
    if (!view.lost || view.lostText !== text) alarm(`Module not found. ${text}`);
    view.lost = true;
    view.lostText = text;
  }
  render();
}

function surveySentence(s) {
  const name = words.survey_in && words.survey_in.status;
  return name ? s.module.find((text) => text.slice(1).startsWith(name + ',')) : undefined;
}

function surveyTarget() {
  const t = words.survey_in;
  return t ? `${t.minimum_s} s and ${t.accuracy_m.toFixed(1)} m` : 'its own limits';
}

// The survey-in's time: from the end of the switch that started it, both
// by the server's clock, else from when this page first saw it running.
function surveyText(s, now) {
  const j = view.job;
  const fromSwitch = j && j.state === 'done' && modeOf(j.mode).shows === 'survey' &&
    j.ended_at && s.time;
  const ms = fromSwitch ? Date.parse(s.time) - Date.parse(j.ended_at) + (now - view.statusAt)
    : now - view.surveySeenAt;
  return `Survey-in running: ${seconds(ms)} s since ${fromSwitch ? 'the switch'
    : 'this page first saw it'} (the module was set to ${surveyTarget()})`;
}

const names = (counts) => Object.keys(counts || {}).sort((a, b) => Number(a) - Number(b) ||
  a.localeCompare(b));

function heardText(s) {
  const heard = [...names(s.nmea), ...names(s.rtcm)];
  return heard.length ? `It sends ${heard.join(' ')}.` : '';
}

function fixWords(s) {
  const f = words.fixes.find((x) => x.key === s.fix);
  return f || { words: `fix quality ${s.quality}`, level: 'poor' };
}

// A live status in words: what the module is, and how well it does.
function reading(s, now) {
  const survey = surveySentence(s);
  if (s.base) {
    const sending = names(s.rtcm).join(' ');
    return { key: 'base', level: 'good', text: sending ? `Base ready · sending ${sending}`
      : 'Base ready', detail: `${survey ? 'The survey-in is over. ' : ''}Its station position is ` +
      'below.', shows: survey ? 'survey' : 'base' };
  }
  if (survey) {
    return { key: 'survey', level: 'fair', text: 'Base · survey-in running',
      detail: surveyText(s, now), shows: 'survey' };
  }
  if (s.fix) {
    const f = fixWords(s);
    const parts = [s.satellites === null ? '' : `${s.satellites} satellites`,
      s.age_s === null ? '' : `corrections ${s.age_s.toFixed(1)} s old`].filter((t) => t);
    return { key: `fix-${s.fix}`, level: f.level, text: `Rover · ${f.words}`,
      detail: parts.join(' · '), shows: 'fix' };
  }
  return { key: 'talking', level: 'fair', text: 'No fix and no station position',
    detail: heardText(s) };
}

// The headline: what the module does now, or why that is not known.
function glance(now, running) {
  if (!view.port) {
    return { key: 'no-port', level: 'poor', text: 'No serial port found',
      detail: 'Plug in the module, then reload the page.' };
  }
  if (!view.connected) {
    return view.everConnected ? { key: 'server', level: 'poor', text: 'No connection to the server',
      detail: 'Trying again…' } : { key: 'connecting', level: 'none', text: 'Connecting…', detail: '' };
  }
  if (running) {
    return { key: 'switching', level: 'busy', text: `Switching to ${modeOf(view.job.mode).button}`,
      detail: 'The module restarts: its figures come back after the switch.' };
  }
  if (view.lost) {
    return { key: 'lost', level: 'poor', text: 'Module not found', detail: 'Check that it is ' +
      'plugged in and that no other program uses its port.', more: `The server says: ${view.lostText}` };
  }
  const silentMs = now - Math.max(view.heardAt, view.listenFrom);
  if (view.status && now - view.statusAt < LIVE_MS && silentMs < SILENT_MS) {
    return reading(view.status, now);
  }
  if (silentMs >= SILENT_MS) {
    return { key: 'silent', level: 'poor', text: `No message for ${seconds(silentMs)} s`,
      detail: 'Check the module\'s power and cable, and the baud rate under Connection.' };
  }
  return { key: 'listening', level: 'none', text: 'Listening to the module…', detail: '' };
}

function renderGlance(g) {
  $('glance').dataset.level = g.level;
  $('glance').querySelector('.mark').textContent = MARKS[g.level];
  $('headline-text').textContent = g.text;
  $('headline-detail').textContent = g.detail;
  $('headline-more').textContent = g.more || '';
  if (g.key !== view.headlineKey) {
    // The switch, a lost module and a waiting page are told apart.
    if (view.headlineKey && !QUIET_KEYS.includes(g.key)) say(g.text);
    view.headlineKey = g.key;
  }
  for (const button of $('modes').children) {
    const now = g.shows !== undefined && button.dataset.shows === g.shows;
    button.querySelector('.now').hidden = !now;
    if (now) button.setAttribute('aria-current', 'true');
    else button.removeAttribute('aria-current');
  }
}

function render() {
  if (!words) return;
  const now = Date.now();
  const running = view.job !== null && view.job.state === 'running';
  renderGlance(glance(now, running));
  $('glance').hidden = running; // the switch has the top to itself
  $('switching').hidden = !running;
  $('modes-section').hidden = running;
  for (const button of $('modes').children) button.disabled = running;
  if (running) renderSwitching(now);
  renderOutcome(running);
  renderSteps(running);
  renderFigures(now, running);
  renderCorrections(running);
}

// ----- The figures, and every figure under Details.

function degrees(value, positive, negative) {
  return `${Math.abs(value).toFixed(7)}° ${value < 0 ? negative : positive}`;
}

function rates(counts) {
  return Object.keys(counts || {}).map((n) => `${n} ${counts[n]}/s`).join(', ');
}

// Terms and values into the list; a value of null leaves its row out.
function fillList(list, rows) {
  list.replaceChildren();
  for (const [term, value] of rows) {
    if (value === null || value === undefined || value === '') continue;
    const dt = document.createElement('dt');
    const dd = document.createElement('dd');
    dt.textContent = term;
    dd.textContent = value;
    list.append(dt, dd);
  }
  return list;
}

// One role's figures as a heading and a list of terms and values.
function block(title, rows) {
  const heading = document.createElement('h3');
  heading.textContent = title;
  return [heading, fillList(document.createElement('dl'), rows)];
}

const fixed = (value, digits, unit) => (value === null ? null : `${value.toFixed(digits)}${unit}`);

function roverBlocks(s) {
  return [block('Rover', [['Fix', fixWords(s).words],
    ['Satellites', s.satellites === null ? null : String(s.satellites)],
    ['Corrections', fixed(s.age_s, 1, ' s old')],
    ['Latitude', s.lat === null ? null : degrees(s.lat, 'N', 'S')],
    ['Longitude', s.lon === null ? null : degrees(s.lon, 'E', 'W')],
    ['Altitude', fixed(s.alt_m, 1, ' m above sea level')]]),
  block('Rover', [['HDOP', fixed(s.hdop, 1, '')], ['NMEA', rates(s.nmea)]])];
}

function baseBlocks(b, s) {
  const e = b.ecef_m;
  return [block('Base: station position', [['Latitude', degrees(b.lat, 'N', 'S')],
    ['Longitude', degrees(b.lon, 'E', 'W')], ['Height', `${b.height_m.toFixed(3)} m ellipsoidal`],
    ['Antenna height', fixed(b.antenna_height_m, 3, ' m')]]),
  block('Base', [['ECEF X', `${e[0].toFixed(4)} m`], ['ECEF Y', `${e[1].toFixed(4)} m`],
    ['ECEF Z', `${e[2].toFixed(4)} m`], ['Station', String(b.station)], ['RTCM', rates(s.rtcm)]])];
}

function showFigures(s) {
  const shown = [];
  const details = [];
  for (const [main, more] of [s.fix !== null ? roverBlocks(s) : null,
    s.base !== null ? baseBlocks(s.base, s) : null].filter((b) => b)) {
    shown.push(...main);
    details.push(...more);
  }
  $('status').replaceChildren(...shown);
  $('details-figures').replaceChildren(...details);
  const base = s.base;
  $('base-actions').hidden = base === null;
  if (base !== null) {
    basePosition = `${base.lat.toFixed(7)},${base.lon.toFixed(7)},${base.height_m.toFixed(3)}`;
    $('geo').href = `geo:${base.lat.toFixed(7)},${base.lon.toFixed(7)}`;
  }
}

function showOwn(sentences) {
  const key = sentences.join('\n');
  if (key === view.ownKey) return;
  view.ownKey = key;
  $('own').hidden = sentences.length === 0;
  $('own-list').replaceChildren(...sentences.map((text) => {
    const item = document.createElement('li');
    item.textContent = text;
    return item;
  }));
}

// Figures never pass for live ones: greyed and stamped once nothing new
// came, while a switch holds the port, or once the port is gone.
function renderFigures(now, running) {
  const f = view.figures;
  $('figures').hidden = f === null;
  $('details').hidden = view.status === null;
  if (view.status) showOwn(view.status.module);
  if (f === null) return;
  if (f !== view.shown) {
    view.shown = f;
    showFigures(f);
  }
  const s = view.status;
  // Heard last: when the figures came, or, should the module have fallen
  // silent, its last message (the server keeps a value for a while).
  const heardAt = Math.min(view.figuresAt, view.heardAt);
  const live = !running && !view.lost && view.connected && now - view.statusAt < LIVE_MS &&
    now - Math.max(view.heardAt, view.listenFrom) < SILENT_MS && s !== null &&
    (s.fix !== null || s.base !== null);
  $('figures').classList.toggle('stale', !live);
  $('stamp').textContent = live ? '' : `Last heard ${seconds(now - heardAt)} s ago: ` +
    'these figures are old.';
}

// ----- The corrections: what the caster's rovers get, and each push.

const plural = (n, one) => `${n} ${one}${n === 1 ? '' : 's'}`;

function size(bytes) {
  const [scale, unit] = [[1e9, 'GB'], [1e6, 'MB'], [1e3, 'kB']].find(([at]) => bytes >= at) ||
    [1, 'B'];
  const value = bytes / scale;
  return `${scale === 1 ? value : value.toFixed(value < 10 ? 1 : 0)} ${unit}`;
}

// Why the module's corrections reach no one, from what it says of itself.
function noCorrections(s) {
  const bases = words.modes.filter((m) => m.shows !== 'fix').map((m) => m.button).join(' or ');
  if (s.caster && s.caster.paused) {
    return ['busy', 'Paused while the module is switched: connected rovers wait for it.'];
  }
  if (s.base) return ['poor', 'Rovers get nothing yet: the base sends no RTCM corrections.'];
  if (surveySentence(s)) {
    return ['fair', 'Rovers get nothing yet: the survey-in is still running. The base sends ' +
      'corrections once it has its station position.'];
  }
  if (s.fix) {
    return ['poor', 'Rovers get nothing yet: the module is a rover and sends no corrections. ' +
      `Switch it to ${bases} to serve them.`];
  }
  return ['poor', 'Rovers get nothing yet: the module sends no RTCM corrections.'];
}

// A push's last failure in words; its own text when it is none of these.
const PUSH_ERRORS = [
  [/^refused/, 'wrong user or password — check the push file'],
  [/^cannot find/, 'its name is not found — check the board\'s network and the push file'],
  [/Connection refused/, 'nothing answers at that port — check the push file'],
  [/timed out/i, 'no answer — check the board\'s network'],
  [/unreachable/i, 'no way there — check the board\'s network'],
  [/^no answer/, 'it did not answer'],
  [/^the caster answered: (HTTP\/1\.\d 404|SOURCETABLE)/, 'no such mount there — check the push file'],
  [/closed the connection/, 'it closed the connection'],
  [/^connection lost/, 'the connection was lost'],
  [/^fell behind/, 'the connection was too slow'],
];

const pushTarget = (p) => p.url.replace(/^ntrip\d:\/\/([^@/]*@)?/, '');

function pushLine(p, live) {
  const to = pushTarget(p);
  const wait = p.retry_s ? ` Waiting ${p.retry_s} s before trying again.` : '';
  if (p.state === 'connected') return ['good', `Sending to ${to}: ${size(p.bytes)} sent.`];
  if (p.state === 'connecting') return ['busy', `Connecting to ${to}…`];
  if (p.error) {
    const known = PUSH_ERRORS.find(([pattern]) => pattern.test(p.error));
    const refused = p.state === 'refused';
    return [refused ? 'poor' : 'fair', `${refused ? 'Refused by' : 'Cannot send to'} ${to}: ` +
      `${known ? known[1] : p.error}.${wait}`];
  }
  return ['none', live ? `Sending to ${to} soon.${wait}`
    : `Sends to ${to} once the module sends corrections.`];
}

// The lines: the rovers' stream, the rovers connected, each push.
function correctionLines(s) {
  const c = s.caster;
  const live = c ? c.live : names(s.rtcm).length > 0;
  const lines = [live ? ['good', c ? `Serving corrections: ${(c.bitrate / 1000).toFixed(1)} ` +
    'kbit/s.' : 'The module sends corrections.'] : noCorrections(s)];
  if (c && c.clients.length === 0) lines.push(['none', 'No rover connected.']);
  if (c && c.clients.length > 0) {
    lines.push(['good', `${plural(c.clients.length, 'rover')} connected: ` +
      `${c.clients.map((r) => `${r.address} (${r.user}) ${size(r.bytes)}`).join(', ')}.`]);
  }
  return lines.concat((s.pushes || []).map((p) => pushLine(p, live)));
}

function markedItem([level, text]) {
  const item = document.createElement('li');
  item.dataset.level = level;
  const mark = document.createElement('span');
  mark.className = 'mark';
  mark.setAttribute('aria-hidden', 'true');
  mark.textContent = MARKS[level];
  item.append(mark, text);
  return item;
}

// What a rover's NTRIP settings take, and every figure one tap away.
function showCaster(c, pushes) {
  $('rover-settings').hidden = !c;
  if (c) {
    $('rover-settings-summary').textContent = `Rover settings: port ${c.port}, mount ${c.mount}`;
    fillList($('rover-settings-list'), [['Address', c.addresses.join(' or ') || 'the board\'s'],
      ['Port', String(c.port)], ['Mount point', c.mount], ['NTRIP', '1.0 or 2.0'],
      ['Login', 'a user and password made on the board with kavrel-mode-switch-web caster-user']]);
  }
  const blocks = c ? [block('Caster', [['Mount', c.mount], ['Port', String(c.port)],
    ['Addresses', c.addresses.join(', ')], ['Bit rate', `${c.bitrate} bit/s`],
    ['Live', c.live ? 'yes' : 'no'], ['Paused', c.paused ? 'yes' : 'no']])] : [];
  for (const r of c ? c.clients : []) {
    blocks.push(block(`Rover ${r.address}`, [['User', r.user], ['NTRIP', r.version],
      ['Sent', `${r.bytes} bytes`], ['Connected', `${r.since_s} s`]]));
  }
  for (const p of pushes) {
    blocks.push(block(`Push to ${pushTarget(p)}`, [['Address', p.url], ['State', p.state],
      ['Last error', p.error], ['Tries again', String(p.reconnects)], ['Sent', `${p.bytes} bytes`],
      ['Next try', p.retry_s === null ? null : `in ${p.retry_s} s`]]));
  }
  $('corrections-figures').replaceChildren(...blocks.flat());
}

function renderCorrections(running) {
  const s = view.status;
  const pushes = (s && s.pushes) || [];
  $('corrections').hidden = running || !s || (!s.caster && pushes.length === 0);
  const key = $('corrections').hidden ? '' : JSON.stringify([s.caster, pushes, s.fix, s.base, s.module]);
  if (key === view.correctionsKey) return;
  view.correctionsKey = key;
  if (!key) return;
  $('corrections-lines').replaceChildren(...correctionLines(s).map(markedItem));
  showCaster(s.caster, pushes);
}

// ----- Copy, the switch's confirmation, the login.

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
  const mode = modeOf(event.currentTarget.dataset.mode);
  const plan = planOf(mode);
  chosenMode = mode.name;
  const baud = $('baud').value === 'auto' ? 'the baud rate it finds first' : `${$('baud').value} baud`;
  $('confirm-title').textContent = `Switch to ${mode.button}?`;
  $('confirm-does').textContent = mode.does;
  $('confirm-time').textContent = `It takes about ${Math.round(plan.totalMs / 1000)} s: the module ` +
    `restarts${RESTARTS[plan.restarts] || ''} and sends no position or ` +
    'corrections until it is back.';
  $('confirm-port').textContent = `Port ${$('port').value}, ${baud}.`;
  $('confirm-switch').textContent = `Switch to ${mode.button}`;
  $('confirm').showModal();
  $('confirm').querySelector('.secondary').focus();
}

async function confirmed() {
  if ($('confirm').returnValue !== 'switch') return;
  const baud = $('baud').value === 'auto' ? 'auto' : Number($('baud').value);
  const response = await api('/api/switch', { port: $('port').value, mode: chosenMode, baud })
    .catch(() => ({ ok: false, status: 0, json: async () => ({ error: 'The server did not answer.' }) }));
  if (response.ok) {
    takeJob(await response.json());
  } else if (response.status !== 401) {
    const answer = await response.json().catch(() => ({ error: `Refused (${response.status}).` }));
    alarm(`Switch refused. ${answer.error}`);
    $('outcome').hidden = false;
    $('outcome').dataset.level = 'poor';
    $('outcome').querySelector('.mark').textContent = MARKS.poor;
    $('outcome-text-title').textContent = 'Switch refused';
    $('outcome-text').textContent = answer.error;
    $('outcome-last').textContent = '';
    $('outcome-when').textContent = '';
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
$('logout').addEventListener('click', async () => { await api('/api/logout', {}); showLogin(''); });
$('port').addEventListener('change', watchPort);
$('baud').addEventListener('change', watchPort);
$('confirm').addEventListener('close', confirmed);
$('copy').addEventListener('click', copyBase);
setInterval(() => { if (!$('app').hidden) render(); }, 1000);
start().then(() => { if ($('app').hidden) showLogin(''); }, () => showLogin(''));
