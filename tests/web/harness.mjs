// What both test files start: a simulated module on a pseudo-terminal and
// the server in front of it, on loopback only, and a plain HTTP client that
// can choose its source address.
import { spawn, spawnSync } from 'node:child_process';
import assert from 'node:assert/strict';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, readlinkSync, readdirSync, rmSync } from
  'node:fs';
import http from 'node:http';
import { tmpdir } from 'node:os';
import path from 'node:path';

export const root = path.resolve(import.meta.dirname, '../..');
export const build = path.resolve(root, process.env.KMS_BUILD || 'build/native');
export const WEB = path.join(build, 'kavrel-mode-switch-web');
export const SIM = path.join(build, 'tools/module-sim/kavrel-module-sim');
export const PASSWORD = 'field base 42';
const started = [];
const folders = [];

export const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

// Polls until check() gives a truthy value; fails naming what was awaited,
// and with seen (if given) what there was instead.
export async function until(check, ms, what, seen) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) {
      throw new Error(`${what}: not within ${ms} ms${seen ? `; instead: ${await seen()}` : ''}`);
    }
    await sleep(50);
  }
}

export function folder() {
  folders.push(mkdtempSync(path.join(tmpdir(), 'kms-web-test.')));
  return folders.at(-1);
}

export async function startModule(dir, name, args = []) {
  const link = path.join(dir, name);
  const transcript = link + '.transcript';
  const proc = spawn(SIM, ['--link', link, '--transcript', transcript, ...args],
    { stdio: 'ignore' });
  started.push(proc);
  await until(() => existsSync(link), 5000, `the module's link ${link}`);
  return { link, transcript, proc };
}

// The sentences the module received, as "$body*hh".
export function received(transcript) {
  if (!existsSync(transcript)) return [];
  return readFileSync(transcript, 'utf8').split('\n')
    .filter((l) => / RX /.test(l)).map((l) => l.split(' ').pop());
}

// The server with a password made by its own subcommand; its log kept.
// Started again on the same address, a page keeps its origin.
export async function startServer(dir, devices, extra = [], listen = '127.0.0.1:0') {
  const file = path.join(dir, 'password');
  const made = spawnSync(WEB, ['password', file], { input: PASSWORD + '\n' });
  if (made.status !== 0) throw new Error(`password: ${made.stderr}`);
  const args = ['--listen', listen, '--password-file', file];
  devices.forEach((d) => args.push('--device', d));
  args.push(...extra);
  // A small quarantine, so that resident memory shows the server's own use.
  const env = { ...process.env, ASAN_OPTIONS: 'quarantine_size_mb=4:detect_leaks=0' };
  const proc = spawn(WEB, args, { stdio: ['ignore', 'ignore', 'pipe'], env });
  started.push(proc);
  const server = { proc, log: '' };
  proc.stderr.on('data', (chunk) => { server.log += chunk; });
  server.url = await until(() => (server.log.match(/Listening on (\S+)/) || [])[1], 10000,
    'the server listening');
  return server;
}

// One request; resolves with status, headers and body, or with status 0
// when the connection failed.
export function request(url, { method = 'GET', headers = {}, body, from, timeoutMs = 10000 } = {}) {
  return new Promise((resolve) => {
    const req = http.request(url, { method, headers, localAddress: from, timeout: timeoutMs },
      (res) => {
        let text = '';
        res.on('data', (c) => { text += c; });
        res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: text }));
        res.on('error', () => resolve({ status: 0, body: text }));
      });
    req.on('error', () => resolve({ status: 0 }));
    req.on('timeout', () => { req.destroy(); resolve({ status: 0 }); });
    if (body !== undefined) req.write(body);
    req.end();
  });
}

export async function login(url, from) {
  const answer = await request(url + 'api/login', { method: 'POST', from,
    body: JSON.stringify({ password: PASSWORD }) });
  if (answer.status !== 204) throw new Error(`login gave ${answer.status}: ${answer.body}`);
  return answer.headers['set-cookie'][0].split(';')[0];
}

// Whether the process holds the terminal the link leads to.
export function holds(pid, link) {
  const target = readlinkSync(link);
  return readdirSync(`/proc/${pid}/fd`).some((fd) => {
    try { return readlinkSync(`/proc/${pid}/fd/${fd}`) === target; } catch { return false; }
  });
}

export function stopAll() {
  for (const proc of started.splice(0)) if (proc.exitCode === null) proc.kill('SIGKILL');
  for (const dir of folders.splice(0)) rmSync(dir, { recursive: true, force: true });
}

// "$body*hh", the checksum the XOR of the body's bytes: the oracle of what
// the module must receive, written apart from the product's tables.
export function sentence(body) {
  let sum = 0;
  for (const c of Buffer.from(body)) sum ^= c;
  return `$${body}*${sum.toString(16).toUpperCase().padStart(2, '0')}`;
}

// ----- The page in Debian's Chromium.

export const LAUNCH = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic',
  '--no-first-run', '--disable-background-networking', '--disable-component-update',
  '--disable-sync'];

// Whatever the viewport: no sideways scrolling, and every control a finger
// can hit (44 px or more each way).
async function checkLayout(page, width) {
  await page.setViewportSize({ width, height: 844 });
  const { scroll, small } = await page.evaluate(() => ({
    scroll: document.documentElement.scrollWidth - document.documentElement.clientWidth,
    small: [...document.querySelectorAll('button, select, input, a, summary')]
      .filter((e) => e.offsetParent !== null)
      .map((e) => ({ e, r: e.getBoundingClientRect() }))
      .filter(({ r }) => r.width < 44 || r.height < 44)
      .map(({ e, r }) => `${e.tagName} "${e.textContent.trim()}" ${r.width}x${r.height}`),
  }));
  assert.equal(scroll, 0, `horizontal scroll of ${scroll} px at ${width} px`);
  assert.deepEqual(small, [], `tap targets under 44 px at ${width} px`);
}

// Layout at two phone widths, accessibility in light and dark, no script
// error, then the screenshot.
export async function checkPage(page, problems, shot) {
  await checkLayout(page, 390);
  await checkLayout(page, 360);
  await page.setViewportSize({ width: 390, height: 844 });
  if (!(await page.evaluate(() => 'axe' in window))) {
    await page.evaluate(readFileSync(path.join(import.meta.dirname,
      'node_modules/axe-core/axe.min.js'), 'utf8'));
  }
  for (const colorScheme of ['light', 'dark']) {
    await page.emulateMedia({ colorScheme });
    const found = await page.evaluate(() => axe.run().then((r) => r.violations
      .filter((v) => v.impact === 'serious' || v.impact === 'critical')
      .map((v) => v.id + ': ' + v.nodes.map((n) => n.target).join(' '))));
    assert.deepEqual(found, [], `serious or critical accessibility violations, ${colorScheme}`);
  }
  await page.emulateMedia({ colorScheme: 'light' });
  assert.deepEqual(problems, [], 'script errors and CSP refusals in the page');
  const shots = path.join(root, 'build/screenshots');
  mkdirSync(shots, { recursive: true });
  await page.screenshot({ path: path.join(shots, shot), fullPage: true });
}

// A page of the context, its script errors and refused loads gathered.
export async function openPage(context, url) {
  const page = await context.newPage();
  page.problems = [];
  page.on('pageerror', (e) => page.problems.push(e.message));
  page.on('console', (m) => {
    if (/Content Security Policy/.test(m.text())) page.problems.push(m.text());
  });
  await page.goto(url);
  return page;
}

export async function logInPage(page) {
  await page.getByLabel('Password').fill(PASSWORD);
  await page.getByRole('button', { name: 'Log in' }).click();
  await page.locator('#headline-text').waitFor();
}

// What a part of the page says, by its id.
export const says = (page, id) => page.locator('#' + id).textContent();

// Waits until that part says want: the text, or a match of the pattern.
export function untilSays(page, id, want, ms) {
  const match = (text) => (want instanceof RegExp ? want.test(text) : text === want);
  return until(async () => match(await says(page, id)), ms, `#${id} saying ${want}`,
    () => says(page, id));
}
