// The page in Debian's Chromium at a phone's size, against a simulated module.
import assert from 'node:assert/strict';
import { mkdirSync, readFileSync } from 'node:fs';
import path from 'node:path';
import { after, test } from 'node:test';
import { chromium } from 'playwright-core';
import { folder, PASSWORD, received, root, sentence, startModule, startServer, stopAll,
  until } from './harness.mjs';

const ROVER_SCRIPT = ['PZVKCFGMSGRATE,W,PZVKSVINSTATUS,0,1', 'PZVKCFGRCVRMODE,W,1', 'PZVKSAVEPAR',
  'PZVKSRR'].map(sentence);
const LAUNCH = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];
const SWITCH_MS = 40000;
// The base's station as the simulator sends it (1006, with its antenna
// height), and the ECEF figures worked out apart from both programs.
const BASE = { lat: '52.1234567', lon: '4.1234567', height: '45.678', antenna: '1.234' };
const BASE_ECEF = ['3913996.6718', '282169.4277', '5011284.9782'];
// A sentence of the base's own that is markup, should the page take it as such.
const MARKUP = 'PZVKNOTE,<img src=x onerror=window.__ran=1>';
let context;
after(async () => { await context?.close(); stopAll(); });

// Whatever the viewport: no sideways scrolling, and every control a finger
// can hit (44 px or more each way).
async function checkLayout(page, width) {
  await page.setViewportSize({ width, height: 844 });
  const { scroll, small } = await page.evaluate(() => ({
    scroll: document.documentElement.scrollWidth - document.documentElement.clientWidth,
    small: [...document.querySelectorAll('button, select, input, a')]
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
async function checkPage(page, problems, shot) {
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

async function pressMode(page, mode) {
  await page.getByRole('button', { name: mode, exact: true }).click();
  const dialog = page.getByRole('dialog');
  await dialog.waitFor();
  return dialog;
}

test('a rover switch from a phone, watched by a second page; then a base\'s station, and its ' +
  'switch to Base Survey-In', async () => {
  const dir = folder();
  const module = await startModule(dir, 'module',
    ['--talk', 'mode', '--reboot', 'vanish', '--reboot-delay-ms', '1000']);
  const base = await startModule(dir, 'base', ['--talk', 'mode', '--mode', 'survey-in',
    '--survey-s', '1', '--position', `${BASE.lat},${BASE.lon},${BASE.height}`,
    '--antenna-height', BASE.antenna, '--own', MARKUP]);
  const server = await startServer(dir, [module.link, base.link]);
  context = await chromium.launchPersistentContext(path.join(dir, 'profile'), {
    executablePath: '/usr/bin/chromium', args: LAUNCH, viewport: { width: 390, height: 844 } });
  await context.grantPermissions(['clipboard-read', 'clipboard-write']);
  const page = context.pages()[0] || await context.newPage();
  // A failure shows what the server said.
  process.on('exit', () => {
    if (process.exitCode) console.log(`# server log:\n${server.log.slice(-3000)}`);
  });
  const problems = [];
  page.on('pageerror', (e) => problems.push(e.message));
  page.on('console', (m) => { if (/Content Security Policy/.test(m.text())) problems.push(m.text()); });

  await page.goto(server.url);
  await page.getByLabel('Password').fill(PASSWORD);
  await page.getByRole('button', { name: 'Log in' }).click();
  await page.getByLabel('Port').waitFor();
  assert.equal(await page.getByLabel('Baud rate').inputValue(), '460800');

  const dialog = await pressMode(page, 'Rover');
  const asked = await dialog.textContent();
  assert.ok(asked.includes('Rover') && asked.includes(module.link), `dialog: ${asked}`);
  await dialog.getByRole('button', { name: 'Switch' }).click();
  const log = page.getByRole('log');
  await until(async () => (await log.textContent()).includes('>> '), 10000, 'the first sentence');

  // A page opened during the switch: the log so far, then the live lines.
  const second = await context.newPage();
  await second.goto(server.url);
  const secondLog = second.getByRole('log');
  await until(async () => (await secondLog.textContent()).includes('Start: Rover mode'), 10000,
    'the second page\'s log so far');
  (await pressMode(second, 'Rover')).getByRole('button', { name: 'Switch' }).click();
  await until(async () => /Port busy/.test(await second.locator('#job-state').textContent()),
    5000, 'the busy port\'s refusal on the second page');

  for (const [name, p] of [['first', log], ['second', secondLog]]) {
    await until(async () => (await p.textContent()).includes('Done: Rover mode'), SWITCH_MS,
      `"Done: Rover mode" on the ${name} page`);
  }
  assert.deepEqual(received(module.transcript), ROVER_SCRIPT, 'what the module received');
  await until(async () => /^Rover\n[^]*GPS fix/m.test(await page.locator('#status').innerText()),
    10000, 'the rover\'s fix in the status');
  await checkPage(page, problems, 'web-rover.png');

  // The second port: a base, its station position and its own sentences.
  await page.getByLabel('Port').selectOption(base.link);
  const status = page.locator('#status');
  const shown = await until(async () => {
    const text = await status.innerText();
    return /Antenna height/.test(text) && (await page.locator('#own').isVisible()) && text;
  }, 10000, 'the base\'s station position with its antenna height');
  for (const figure of [`${BASE.lat}° N`, `${BASE.lon}° E`, `${BASE.height} m ellipsoidal`,
    `${BASE.antenna} m`, ...BASE_ECEF.map((v) => `${v} m`)]) {
    assert.ok(shown.includes(figure), `base status lacks "${figure}":\n${shown}`);
  }
  const own = await page.locator('#own').innerText();
  assert.match(own, /\$PZVKSVINSTATUS,1,1,[\d.]+,1\*[0-9A-F]{2}/, 'the survey-in\'s own sentence');
  assert.ok(own.includes(sentence(MARKUP)), `"${sentence(MARKUP)}" as text, in:\n${own}`);
  assert.deepEqual(await page.evaluate(() => [document.querySelectorAll('img').length, window.__ran]),
    [0, undefined], 'images made of the module\'s sentence, and whether its handler ran');
  assert.equal(await page.getByRole('link', { name: 'Show on map' }).getAttribute('href'),
    `geo:${BASE.lat},${BASE.lon}`);
  await page.getByRole('button', { name: 'Copy position' }).click();
  await until(async () => /Copied/.test(await page.locator('#copied').textContent()), 5000,
    'the copy\'s confirmation');
  assert.equal(await page.evaluate(() => navigator.clipboard.readText()),
    `${BASE.lat},${BASE.lon},${BASE.height}`, 'the clipboard');
  await checkPage(page, problems, 'web-base.png');

  // The base switched to Base Survey-In: the page counts its sentences, and
  // each of its two reboots down to the server's 30 s limit.
  (await pressMode(page, 'Base Survey-In')).getByRole('button', { name: 'Switch' }).click();
  const state = page.locator('#job-state');
  await until(async () => /: sentence [1-7] of 7/.test(await state.textContent()), 10000,
    'the sentence count');
  for (const reboot of [1, 2]) {
    const pattern = new RegExp(`reboot ${reboot} of 2: (\\d+) s left of 30 s`);
    const left = async () => Number(((await state.textContent()).match(pattern) || [])[1]);
    const first = await until(left, SWITCH_MS, `reboot ${reboot} of 2 and its seconds left`);
    assert.ok(first <= 30, `reboot ${reboot} of 2: ${first} s left at first`);
    await until(async () => (await left()) < first, 5000, `reboot ${reboot} of 2 counting down`);
  }
  await until(async () => (await log.textContent()).includes('Done: Base Survey-In mode'),
    SWITCH_MS, '"Done: Base Survey-In mode"');
});
