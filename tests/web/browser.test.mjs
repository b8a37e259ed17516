// The page in Debian's Chromium at a phone's size, against a simulated module.
import assert from 'node:assert/strict';
import path from 'node:path';
import { after, test } from 'node:test';
import { chromium } from 'playwright-core';
import { LAUNCH, checkPage, folder, logInPage, openPage, received, says, sentence, startModule,
  startServer, stopAll, until } from './harness.mjs';

const ROVER_SCRIPT = ['PZVKCFGMSGRATE,W,PZVKSVINSTATUS,0,1', 'PZVKCFGRCVRMODE,W,1', 'PZVKSAVEPAR',
  'PZVKSRR'].map(sentence);
const SWITCH_MS = 40000;
// The base's station as the simulator sends it (1006, with its antenna
// height), and the ECEF figures worked out apart from both programs.
const BASE = { lat: '52.1234567', lon: '4.1234567', height: '45.678', antenna: '1.234' };
const BASE_ECEF = ['3913996.6718', '282169.4277', '5011284.9782'];
// A sentence of the base's own that is markup, should the page take it as such.
const MARKUP = 'PZVKNOTE,<img src=x onerror=window.__ran=1>';
// Base Survey-In: two runs of sentences, each ended by a restart that the
// server gives up on 30 s after the reset, as the terminal program does.
const SURVEY_IN_STEPS = ['sending settings 1 to 2 of 7', 'restarting the module (1 of 2)',
  'sending settings 4 to 6 of 7', 'restarting the module (2 of 2)'];
let context;
after(async () => { await context?.close(); stopAll(); });

async function pressMode(page, mode) {
  await page.getByRole('button', { name: new RegExp(`^${mode}( now)?$`) }).click();
  const dialog = page.getByRole('dialog');
  await dialog.waitFor();
  return dialog;
}

test('a rover switch from a phone, watched by a second page; then a base\'s station, and its ' +
  'switch to Base Survey-In on both pages', async () => {
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
  // A failure shows what the server said.
  process.on('exit', () => {
    if (process.exitCode) console.log(`# server log:\n${server.log.slice(-3000)}`);
  });
  const page = await openPage(context, server.url);
  await logInPage(page);
  assert.equal(await page.getByLabel('Baud rate').inputValue(), '460800');

  const dialog = await pressMode(page, 'Rover');
  const asked = await dialog.textContent();
  assert.ok(asked.includes('Rover') && asked.includes(module.link), `dialog: ${asked}`);
  await dialog.getByRole('button', { name: 'Switch to Rover' }).click();
  await until(async () => (await says(page, 'log')).includes('>> '), 10000, 'the first sentence');

  // A page opened during the switch: the log so far, then the live lines;
  // no mode to press, and the server refuses a second switch of the port.
  const second = await openPage(context, server.url);
  await until(async () => (await says(second, 'log')).includes('Start: Rover mode'), 10000,
    'the second page\'s log so far');
  assert.ok(await second.locator('#modes-section').isHidden(), 'the second page\'s modes');
  const refused = await second.evaluate((port) => fetch('/api/switch', { method: 'POST',
    body: JSON.stringify({ port, mode: 'rover', baud: 460800 }) })
    .then(async (r) => `${r.status} ${await r.text()}`), module.link);
  assert.match(refused, /^409 .*Port busy/, 'a second switch of the busy port');

  for (const [name, p] of [['first', page], ['second', second]]) {
    await until(async () => (await says(p, 'outcome-text-title')) === 'Switched to Rover',
      SWITCH_MS, `"Switched to Rover" on the ${name} page`);
    assert.ok((await says(p, 'log')).includes('Done: Rover mode'), `the ${name} page's log`);
  }
  await second.close();
  assert.deepEqual(received(module.transcript), ROVER_SCRIPT, 'what the module received');
  await until(async () => (await says(page, 'headline-text')) === 'Rover · GPS fix' &&
    /^Rover\n[^]*GPS fix/m.test(await page.locator('#status').innerText()), 10000,
  'the rover\'s fix at the top and in the figures');
  await checkPage(page, page.problems, 'web-rover.png');

  // The second port: a base, its station position and its own sentences.
  await page.getByLabel('Port').selectOption(base.link);
  await page.getByText('Details: every figure').click();
  const shown = await until(async () => {
    const text = await page.locator('#status').innerText() +
      await page.locator('#details').innerText();
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
  await checkPage(page, page.problems, 'web-base.png');

  // The base switched to Base Survey-In, a second page watching: both show
  // each step, both restarts among them, and the second has no mode to press.
  const watcher = await openPage(context, server.url);
  await watcher.getByLabel('Port').selectOption(base.link);
  await until(() => watcher.locator('#figures').isVisible(), 10000, 'the second page\'s figures');
  (await pressMode(page, 'Base Survey-In')).getByRole('button', { name: /^Switch to/ }).click();
  for (const [i, step] of SURVEY_IN_STEPS.entries()) {
    const want = `Step ${i + 1} of 4: ${step}`;
    await until(async () => (await Promise.all([page, watcher].map((p) => says(p, 'switching-step'))))
      .every((t) => t.startsWith(want)), SWITCH_MS, `"${want}" on both pages`);
    assert.deepEqual(await watcher.$$eval('[data-mode]', (b) => b.map((e) => e.disabled)),
      [true, true, true], `the second page's mode buttons at step ${i + 1}`);
    if (i === 1) assert.match(await says(page, 'switching-step'), /gives up at 30 s\)$/);
  }
  for (const p of [page, watcher]) {
    await until(async () => (await says(p, 'outcome-text-title')) === 'Survey-in started', SWITCH_MS,
      '"Survey-in started"');
  }
  // The log's frames by number and size, the base's among its replies.
  assert.match(await says(page, 'log'), /\[RTCM 1077, 126 bytes\]/);
});
