// The page read at a glance, at a phone's size against simulated modules:
// the line at the top for each state the module can be in, old figures that
// never pass for live ones, a switch's endings in words.
import assert from 'node:assert/strict';
import { rmSync } from 'node:fs';
import { after, before, test } from 'node:test';
import { chromium } from 'playwright-core';
import { LAUNCH, checkPage, folder, logInPage, openPage, says, startModule, startServer, stopAll,
  until, untilSays } from './harness.mjs';

// The survey-in's target as the Survey-In script sets it.
const SURVEY_TARGET = '(the module was set to 60 s and 15.0 m)';
let browser;
before(async () => { browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: LAUNCH }); });
after(async () => { await browser?.close(); stopAll(); });

async function phone() {
  return browser.newContext({ viewport: { width: 390, height: 844 } });
}

async function headline(page, text, level, ms = 10000) {
  await until(async () => (await says(page, 'headline-text')) === text &&
    (await page.locator('#glance').getAttribute('data-level')) === level, ms,
  `the headline "${text}", ${level} (it said "${await says(page, 'headline-text')}")`);
}

test('the headline for a rover with an RTK fix, one with none, a survey-in running and a base ' +
  'that is ready, the mode marked; an unplugged module\'s figures greyed', async () => {
  const dir = folder();
  const talk = (mode, ...more) => ['--talk', 'mode', '--mode', mode, ...more];
  const modules = {
    fixed: await startModule(dir, 'fixed', talk('rover', '--fix-quality', '4')),
    none: await startModule(dir, 'none', talk('rover', '--fix-quality', '0')),
    survey: await startModule(dir, 'survey', talk('survey-in', '--survey-s', '600')),
    base: await startModule(dir, 'base', talk('base')),
  };
  const server = await startServer(dir, Object.values(modules).map((m) => m.link));
  const page = await openPage(await phone(), server.url);
  await logInPage(page);
  const cases = [
    ['fixed', 'Rover · RTK fixed', 'good', 'Rover', 'web-glance-rtk-fixed.png'],
    ['none', 'Rover · no fix', 'poor', 'Rover', null],
    ['survey', 'Base · survey-in running', 'fair', 'Base Survey-In', 'web-glance-survey-in.png'],
    ['base', 'Base ready · sending 1005 1077 1087', 'good', 'Base Only', 'web-glance-base-ready.png'],
  ];
  for (const [name, text, level, now, shot] of cases) {
    await page.getByLabel('Port').selectOption(modules[name].link);
    await headline(page, text, level);
    assert.equal(await page.locator('[data-mode] .now:visible').evaluateAll((n) =>
      n.map((e) => e.parentElement.firstChild.textContent).join()), now, `the mode now, ${name}`);
    if (name === 'survey') {
      const detail = await says(page, 'headline-detail');
      assert.ok(/^Survey-in running: \d+ s since this page first saw it /.test(detail) &&
        detail.endsWith(SURVEY_TARGET), detail);
    }
    if (shot) await checkPage(page, page.problems, shot);
  }

  // The confirmation starts on Cancel: Enter does not switch.
  await page.getByRole('button', { name: /^Rover/ }).click();
  assert.equal(await page.evaluate(() => document.activeElement.textContent), 'Cancel');
  await page.keyboard.press('Enter');
  assert.equal(await page.getByRole('dialog').count(), 0, 'the dialog after Enter');

  // Unplugged: the figures stay, greyed, with their age; the top says so.
  await page.getByLabel('Port').selectOption(modules.fixed.link);
  await headline(page, 'Rover · RTK fixed', 'good');
  // As a USB device's node goes with it: a link left behind would lead to
  // the next module given the same terminal.
  modules.fixed.proc.kill('SIGKILL');
  rmSync(modules.fixed.link);
  await until(async () => (await page.locator('#figures').getAttribute('class')) === 'stale' &&
    /^Last heard \d+ s ago/.test(await says(page, 'stamp')), 4000, 'the figures greyed');
  await headline(page, 'Module not found', 'poor', 4000);
  await page.context().close();
});

test('a module that never comes back, and a switch the server\'s restart cut short, each end ' +
  'in words', async () => {
  const dir = folder();
  const gone = await startModule(dir, 'gone', ['--talk', 'mode', '--reboot', 'vanish',
    '--reboot-delay-ms', '3600000']);
  const cut = await startModule(dir, 'cut', ['--talk', 'mode', '--reboot', 'vanish']);
  const first = await startServer(dir, [gone.link]);
  let second = await startServer(dir, [cut.link]);
  const [goner, cutter] = [await openPage(await phone(), first.url),
    await openPage(await phone(), second.url)];
  await Promise.all([logInPage(goner), logInPage(cutter)]);
  for (const page of [goner, cutter]) {
    await page.getByRole('button', { name: /^Rover/ }).click();
    await page.getByRole('button', { name: 'Switch to Rover' }).click();
  }
  const restarting = /^Step 2 of 2: restarting the module \(usually about 8 s; gives up at 30 s\)$/;
  await untilSays(goner, 'switching-step', restarting, 20000);
  await checkPage(goner, goner.problems, 'web-switching.png');
  // The server restarted at the module's restart, on the same address: the
  // count stops, and the page, logged in again, says what it last saw.
  await untilSays(cutter, 'switching-step', restarting, 20000);
  second.proc.kill('SIGKILL');
  await untilSays(cutter, 'switching-time', /^Connection to the server lost/, 5000);
  second = await startServer(dir, [cut.link], [], new URL(second.url).host);
  await untilSays(cutter, 'login-error', 'Your session ended: log in again.', 10000);
  await logInPage(cutter);
  await untilSays(cutter, 'outcome-text-title', 'Switch interrupted', 10000);
  assert.equal(await says(cutter, 'outcome-text'), 'The switch to Rover was cut short at step 2 ' +
    'of 2 when the server stopped. The module may be half switched: run the switch again.');
  await checkPage(cutter, cutter.problems, 'web-interrupted.png');

  await untilSays(goner, 'outcome-text-title', 'The module did not come back', 45000);
  const failed = await says(goner, 'outcome-text');
  assert.ok(failed.startsWith('It restarted at step 2 of 2, and its port did not come back within ' +
    '30 s. The module may be half switched'), failed);
  assert.equal(await goner.locator('#outcome').getAttribute('data-level'), 'poor');
  await checkPage(goner, goner.problems, 'web-failed.png');
});
