// The caster and the pushes against real clients: Debian's str2str as an
// NTRIP 1.0 rover, curl as a 2.0 rover, a rover that stops reading, wrong
// passwords, and pushes to a caster of the tests' own that refuses, stops
// and starts again. The simulated base's MSM frames carry its count of
// seconds, so that each frame can be seen to arrive once and in order.
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { readFileSync, statSync, writeFileSync } from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { chromium } from 'playwright-core';
import { LAUNCH, WEB, checkPage, folder, logInPage, login, openPage, request, sleep, startModule,
  startServer, stopAll, until, untilSays } from './harness.mjs';
import { readFrames, startTestCaster } from './test_caster.mjs';

const USER = 'alice';
const ROVER_PASSWORD = 'rover pass 1';
const FIRST_WAIT_MS = 200; // the pushes' first wait in these tests, for the product's 5 s
// Each second the base sends its station (1005, a 19-byte payload) and two
// MSM7 (120 bytes), each framed in 6 bytes; the simulator places it at
// 48.1173020 N 11.5166745 E.
const SECOND = [1005, 1077, 1087];
const SECOND_BITS = 8 * (25 + 126 + 126);

let dir;
let base;
let fast;
let server;
let casterPort;
const casters = {};
const children = [];

before(async () => {
  dir = folder();
  base = await startModule(dir, 'base', ['--talk', 'mode', '--mode', 'base', '--own', 'PZVKTEST,1']);
  fast = await startModule(dir, 'fast', ['--stream', '460800', '--stream-format', 'rtcm']);
  const users = path.join(dir, 'users');
  for (const [name, password] of [[USER, 'first pass 1'], ['bob', 'bobs pass 1'], [USER, ROVER_PASSWORD]]) {
    const made = spawnSync(WEB, ['caster-user', users, name], { input: `${password}\n` });
    assert.equal(made.status, 0, `caster-user ${name}: ${made.stderr}`);
  }
  const lines = readFileSync(users, 'utf8').trim().split('\n');
  assert.deepEqual(lines.map((l) => l.split(':')[0]), ['bob', USER], 'the users file\'s names');
  assert.equal(statSync(users).mode & 0o777, 0o640, 'the users file\'s mode');
  const targets = [['v2', 2, 'kms', 'push-pass-2', false], ['v1', 1, '', 'push-pass-1', false],
    ['refusing2', 2, 'kms', 'push-pass-3', true], ['refusing1', 1, '', 'push-pass-4', true]];
  const pushes = [];
  for (const [key, version, user, password, refuse] of targets) {
    const mount = `UP_${key}`;
    casters[key] = await startTestCaster({ user, password, mount, refuse });
    const file = path.join(dir, `push-${key}`);
    writeFileSync(file, `ntrip${version}://${user}:${password}@127.0.0.1:${casters[key].port}/${mount}\n`);
    pushes.push('--push', `BASE=${file}`);
  }
  process.env.KMS_TEST_PUSH_BACKOFF_MS = String(FIRST_WAIT_MS);
  server = await startServer(dir, [base.link, fast.link], ['--caster', '127.0.0.1:0',
    '--mount', `BASE=${base.link}`, '--mount', `FAST=${fast.link}`, '--caster-users', users,
    ...pushes]);
  casterPort = Number(await until(() => (server.log.match(/Caster on ntrip:\/\/127\.0\.0\.1:(\d+)\//) || [])[1],
    5000, 'the caster listening'));
  process.on('exit', () => {
    if (process.exitCode) console.log(`# server log:\n${server.log.slice(-4000)}`);
  });
  await until(async () => (await ask('GET / HTTP/1.0\r\n\r\n')).includes('STR;BASE;'), 10000,
    'the base\'s mount live');
});
after(async () => {
  for (const child of children) if (child.exitCode === null) child.kill('SIGKILL');
  await Promise.all(Object.values(casters).map((c) => c.stop()));
  stopAll();
});

const basic = (user, password) => `Basic ${Buffer.from(`${user}:${password}`).toString('base64')}`;
const rtcmHead = (mount, password, v2) => `GET /${mount} HTTP/1.1\r\nHost: x\r\n` +
  `${v2 ? 'Ntrip-Version: Ntrip/2.0\r\n' : ''}Authorization: ${basic(USER, password)}\r\n\r\n`;

// One request on a connection of its own: all it got once the caster
// closed, or after ms.
function ask(head, { from = '127.0.0.1', ms = 3000 } = {}) {
  return new Promise((resolve) => {
    const socket = net.connect({ host: '127.0.0.1', port: casterPort, localAddress: from });
    let got = Buffer.alloc(0);
    const timer = setTimeout(() => socket.destroy(), ms);
    const done = () => { clearTimeout(timer); resolve(got.toString('latin1')); };
    socket.on('data', (chunk) => { got = Buffer.concat([got, chunk]); });
    socket.on('close', done);
    socket.on('error', () => {});
    socket.write(head);
  });
}

// The seconds the base talked, as its transcript counts them.
const talked = () => readFileSync(base.transcript, 'utf8').split('\n')
  .map((l) => (l.match(/ TALK plain \d+ bytes second (\d+)$/) || [])[1]).filter(Boolean).map(Number);

const countsOf = (bytes) => new Set(readFrames(bytes).frames.map((f) => f.count)
  .filter((c) => c !== null)).size;

// Whole seconds of the base, each 1005, 1077, 1087, the two MSMs with one
// count, one more than the second's before and one the base talked; the
// first second and the last may be cut.
function checkSeconds(name, bytes) {
  const { frames, junk } = readFrames(bytes);
  assert.equal(junk, 0, `${name}: bytes that are no checked frame`);
  assert.ok(!bytes.includes('$PZVK'), `${name}: the base's NMEA passed on`);
  const start = frames.findIndex((f) => f.number === 1005);
  const numbers = frames.map((f) => f.number);
  const expected = numbers.map((n, i) => SECOND[(i - start + 3 * frames.length) % 3]);
  assert.deepEqual(numbers, expected, `${name}: the frames' order`);
  const counts = frames.map((f) => f.count).filter((c) => c !== null);
  const seconds = counts.filter((c, i) => i === 0 || c !== counts[i - 1]);
  assert.ok(counts.every((c, i) => i === 0 || c === counts[i - 1] || c === counts[i - 1] + 1),
    `${name}: counts not one second after another: ${counts}`);
  assert.equal(counts.length, seconds.length * 2 - (frames[0].number === 1087 ? 1 : 0) -
    (frames.at(-1).number === 1077 ? 1 : 0), `${name}: an MSM twice or missing: ${counts}`);
  const sent = talked();
  assert.ok(seconds.every((c) => sent.includes(c)), `${name}: seconds the base never sent`);
  return frames;
}

test('the source table as a rover sees it: a line for each live mount, from what it sends',
  async () => {
    await until(() => talked().length >= 4, 10000, 'four seconds of the base');
    const v1 = await ask('GET / HTTP/1.0\r\nUser-Agent: NTRIP test\r\n\r\n');
    const [head1, body1] = v1.split(/\r\n\r\n(.*)/s);
    assert.match(head1, /^SOURCETABLE 200 OK\r\n/);
    assert.match(head1, /\r\nContent-Type: text\/plain(\r|$)/);
    assert.match(head1, new RegExp(`\r\nContent-Length: ${body1.length}(\r|$)`));
    const curl = spawnSync('curl', ['-s', '-i', '-H', 'Ntrip-Version: Ntrip/2.0',
      `http://127.0.0.1:${casterPort}/`], { encoding: 'latin1' });
    const [head2, body2] = curl.stdout.split(/\r\n\r\n(.*)/s);
    assert.match(head2, /^HTTP\/1\.1 200 OK\r\n/);
    assert.match(head2, /\r\nNtrip-Version: Ntrip\/2\.0\r\n/);
    assert.match(head2, /\r\nContent-Type: gnss\/sourcetable\r\n/);
    console.log(`# the source table (NTRIP 1.0):\n${v1.replace(/\r\n/g, '\n')}`);
    for (const body of [body1, body2]) {
      assert.ok(body.endsWith('\r\nENDSOURCETABLE\r\n'), body);
      assert.ok(body.includes('\r\nSTR;FAST;FAST;RTCM 3;1077'), body);
      const fields = body.split('\r\n').find((l) => l.startsWith('STR;BASE;')).split(';');
      assert.equal(fields.length, 19, fields.join(';'));
      assert.deepEqual(fields.slice(0, 17), ['STR', 'BASE', 'BASE', 'RTCM 3',
        '1005(1),1077(1),1087(1)', '2', 'GPS+GLO', 'none', '', '48.12', '11.52', '0', '0',
        'kavrel-mode-switch', 'none', 'B', 'N']);
      assert.ok(Math.abs(Number(fields[17]) - SECOND_BITS) <= SECOND_BITS / 4,
        `bit rate ${fields[17]}, sent ${SECOND_BITS} a second`);
    }
    const browser = await ask('GET /BASE HTTP/1.1\r\nHost: x\r\nUser-Agent: Mozilla/5.0 (X11)\r\n' +
      'Accept: text/html,*/*\r\n\r\n');
    assert.match(browser, /^HTTP\/1\.1 401 Unauthorized\r\n[^]*WWW-Authenticate: Basic realm="BASE"/);
    const unknown2 = await ask('GET /NONE HTTP/1.1\r\nNtrip-Version: Ntrip/2.0\r\n\r\n');
    assert.match(unknown2, /^HTTP\/1\.1 404 /);
    assert.match(await ask('GET /NONE HTTP/1.0\r\n\r\n'), /^SOURCETABLE 200 OK\r\n/);
  });

test('str2str (NTRIP 1.0) and curl (2.0) get exactly the base\'s frames, in order, no NMEA',
  async () => {
    const files = { str2str: path.join(dir, 'v1.rtcm'), curl: path.join(dir, 'v2.rtcm') };
    const url = `127.0.0.1:${casterPort}/BASE`;
    children.push(spawn('str2str', ['-in', `ntrip://${USER}:${ROVER_PASSWORD}@${url}`,
      '-out', `file://${files.str2str}`], { stdio: 'ignore' }));
    children.push(spawn('curl', ['-s', '-N', '-H', 'Ntrip-Version: Ntrip/2.0', '-u',
      `${USER}:${ROVER_PASSWORD}`, `http://${url}`, '-o', files.curl], { stdio: 'ignore' }));
    // str2str keeps what follows "ICY 200 OK\r\n": the answer's empty line.
    const read = (name) => {
      try {
        const bytes = readFileSync(files[name]);
        return name === 'str2str' && bytes.subarray(0, 2).toString() === '\r\n' ? bytes.subarray(2) : bytes;
      } catch {
        return Buffer.alloc(0);
      }
    };
    await until(() => countsOf(read('str2str')) >= 5 && countsOf(read('curl')) >= 5, 20000,
      'five seconds at both rovers');
    for (const child of children.splice(0)) child.kill();
    const got = {};
    for (const name of ['str2str', 'curl']) {
      got[name] = checkSeconds(name, read(name));
      const counts = [...new Set(got[name].map((f) => f.count).filter((c) => c !== null))];
      console.log(`# ${name}: ${got[name].length} frames, seconds ${counts.join(' ')}`);
    }
    const key = (f) => `${f.number}:${f.count}`;
    const curlFrames = new Map(got.curl.map((f) => [key(f), f.bytes]));
    for (const frame of got.str2str.filter((f) => curlFrames.has(key(f)))) {
      assert.ok(frame.bytes.equals(curlFrames.get(key(frame))), `frame ${key(frame)} differs`);
    }
    assert.match(server.log, /rover 127\.0\.0\.1 port \d+ \(user alice, NTRIP 1\.0\) connected to BASE/);
    await until(() => /\(user alice, NTRIP 2\.0\) left BASE after \d+ bytes/.test(server.log), 5000,
      'the 2.0 rover\'s line at its end');
    console.log(server.log.split('\n').filter((l) => / rover .* BASE/.test(l)).join('\n'));
  });

test('a rover that stops reading is let go; another keeps every frame', async () => {
  let data = Buffer.alloc(0);
  const reader = net.connect({ host: '127.0.0.1', port: casterPort, localAddress: '127.0.0.4' });
  reader.on('data', (chunk) => { data = Buffer.concat([data, chunk]); });
  reader.write(rtcmHead('FAST', ROVER_PASSWORD, false));
  const stalled = net.connect({ host: '127.0.0.1', port: casterPort, localAddress: '127.0.0.3' });
  stalled.on('error', () => {});
  stalled.write(rtcmHead('FAST', ROVER_PASSWORD, true));
  stalled.pause();
  await until(() => /rover 127\.0\.0\.3 port \d+ .* left FAST after \d+ bytes: fell behind/.test(server.log),
    30000, 'the rover that stopped reading let go');
  const before = data.length;
  await until(() => data.length > before + 65536, 10000, 'the reader fed on');
  reader.destroy();
  stalled.destroy();
  assert.equal(data.subarray(0, 14).toString(), 'ICY 200 OK\r\n\r\n');
  const { frames, junk } = readFrames(data.subarray(14));
  assert.equal(junk, 0, 'bytes that are no checked frame');
  // A frame the module itself could not write (the line full) is a gap no
  // rover can fill; any other is one the caster lost.
  fast.proc.kill('SIGTERM');
  const dropped = Number(await until(() => (readFileSync(fast.transcript, 'utf8')
    .match(/ STREAM \d+ sent (\d+) dropped/) || [])[1], 5000, 'the module\'s count of its stream'));
  const counts = frames.map((f) => f.count);
  assert.ok(counts.every((c, i) => i === 0 || c > counts[i - 1]), 'a frame twice, or out of order');
  const lost = counts.reduce((sum, c, i) => sum + (i > 0 ? c - counts[i - 1] - 1 : 0), 0);
  assert.ok(lost <= dropped, `of ${counts.length} frames, ${lost} missing between ` +
    `${counts[0]} and ${counts.at(-1)}; the module dropped ${dropped}`);
  console.log(`# the reader: ${counts.length} frames, ${counts[0]} to ${counts.at(-1)}, ${lost} lost`);
});

test('wrong passwords: 401 with the realm, then 429 even for the right one; logged without them',
  async () => {
    const from = '127.0.0.2';
    for (let i = 1; i <= 5; i++) {
      const answer = await ask(rtcmHead('BASE', `wrong ${i}`, true), { from });
      assert.match(answer, /^HTTP\/1\.1 401 Unauthorized\r\n[^]*WWW-Authenticate: Basic realm="BASE"/,
        `wrong password ${i}`);
    }
    for (const [password, what] of [['wrong 6', 'the sixth wrong one'], [ROVER_PASSWORD, 'the right one']]) {
      const answer = await ask(rtcmHead('BASE', password, false), { from });
      assert.match(answer, /^HTTP\/1\.1 429 Too Many Requests\r\n[^]*Retry-After: \d+/, what);
    }
    const other = await ask(rtcmHead('BASE', ROVER_PASSWORD, false), { from: '127.0.0.5', ms: 1500 });
    assert.match(other, /^ICY 200 OK\r\n\r\n\xD3/, 'a rover at another address');
    assert.equal(server.log.match(/wrong password for user alice from 127\.0\.0\.2\n/g).length, 5);
    assert.match(server.log, /127\.0\.0\.2 refused, too many wrong passwords/);
    assert.ok(!/wrong \d|rover pass/.test(server.log), 'a password in the log');
  });

test('the pushes send whole frames in order with their files\' credentials; no password logged',
  async () => {
    for (const [key, version] of [['v2', 2], ['v1', 1]]) {
      const caster = casters[key];
      await until(() => caster.received().some((b) => countsOf(b) >= 3), 20000,
        `three seconds at the ${key} caster`);
      const attempt = caster.attempts.find((a) => a.accepted);
      assert.deepEqual([attempt.version, attempt.user, attempt.password, attempt.mount],
        [version, caster.user, caster.password, caster.mount]);
      if (version === 2) {
        assert.deepEqual([attempt.headers['ntrip-version'], attempt.headers['content-type'],
          attempt.headers['transfer-encoding'], attempt.headers.host],
        ['Ntrip/2.0', 'gnss/data', 'chunked', `127.0.0.1:${caster.port}`]);
      } else {
        assert.match(attempt.headers['source-agent'], /^NTRIP kavrel-mode-switch\/\d+\.\d+\.\d+$/);
      }
      checkSeconds(`the ${key} push`, caster.received().find((b) => countsOf(b) >= 3));
    }
    assert.ok(!/push-pass/.test(server.log), 'a push\'s password in the log');
  });

test('a refused push waits 0.2, 0.4, 0.8, 1.6 s (±10 %) between tries, one at a time',
  async () => {
    for (const key of ['refusing2', 'refusing1']) {
      const tries = casters[key].attempts;
      await until(() => tries.length >= 5 && !tries[4].open, 20000, `five tries at ${key}`);
      const gaps = tries.slice(1, 5).map((a, i) => a.at - tries[i].at);
      console.log(`# ${key}: tries ${gaps.map((g) => `${g} ms`).join(', ')} apart`);
      gaps.forEach((gap, i) => {
        const wanted = FIRST_WAIT_MS * 2 ** i;
        assert.ok(gap >= wanted * 0.9 - 20 && gap <= wanted * 1.1 + 300,
          `${key}: try ${i + 2} ${gap} ms after the one before, not ${wanted} ms ±10 %`);
      });
      tries.slice(1).forEach((a, i) => assert.ok(tries[i].closedAt <= a.at,
        `${key}: try ${i + 2} began before the one before ended`));
    }
    assert.match(server.log, /Push BASE to ntrip2:\/\/kms@127\.0\.0\.1:\d+\/UP_refusing2: refused: HTTP\/1\.1 401 Unauthorized; next try in/);
    assert.match(server.log, /Push BASE to ntrip1:\/\/127\.0\.0\.1:\d+\/UP_refusing1: refused: ERROR - Bad Password; next try in/);
    console.log(server.log.split('\n').filter((l) => /^Push .*refusing/.test(l)).slice(0, 6)
      .join('\n'));
    casters.refusing2.refuse = false;
    await until(() => casters.refusing2.received().some((b) => countsOf(b) >= 2), 20000,
      'frames once the caster lets the push in');
  });

test('a push connects again after its caster restarts', async () => {
  const caster = casters.v2;
  const before = caster.attempts.length;
  await caster.stop();
  await sleep(300);
  await caster.listen(caster.port);
  await until(() => caster.attempts.length > before && caster.attempts.at(-1).accepted &&
    countsOf(caster.received().at(-1)) >= 2, 15000, 'frames after the restart');
  assert.ok(caster.attempts.filter((a) => a.open).length <= 1, 'more than one connection');
  checkSeconds('after the restart', caster.received().at(-1));
});

test('a switch from the page pauses a rover\'s frames; it stays connected and they come back',
  async () => {
    let data = Buffer.alloc(0);
    let closed = false;
    const rover = net.connect({ host: '127.0.0.1', port: casterPort, localAddress: '127.0.0.6' });
    rover.on('data', (chunk) => { data = Buffer.concat([data, chunk]); });
    rover.on('close', () => { closed = true; });
    rover.write(rtcmHead('BASE', ROVER_PASSWORD, false));
    const cookie = await login(server.url);
    const status = `${server.url}api/status?port=${encodeURIComponent(base.link)}`;
    const seen = await until(async () => {
      const answer = await request(status, { headers: { Cookie: cookie } });
      const caster = answer.status === 200 && JSON.parse(answer.body).caster;
      return caster && caster.clients.some((c) => /^127\.0\.0\.6/.test(c.address)) && caster;
    }, 10000, 'the rover in the port\'s status');
    assert.equal(seen.mount, 'BASE');
    const switched = await request(`${server.url}api/switch`, { method: 'POST',
      headers: { Cookie: cookie }, body: JSON.stringify({ port: base.link, mode: 'base-only' }) });
    assert.equal(switched.status, 202, switched.body);
    await until(() => /Done: Base mode only/.test(server.log), 40000, 'the switch done');
    const after = data.length;
    await until(() => countsOf(data.subarray(after)) >= 2, 15000, 'frames after the switch');
    rover.destroy();
    assert.equal(closed, false, 'the rover was let go during the switch');
    assert.equal(readFrames(data.subarray(14)).junk, 0, 'bytes that are no checked frame');
  });

test('the page\'s Corrections: what a rover types in, the rover connected, the pushes', async () => {
  const rover = net.connect({ host: '127.0.0.1', port: casterPort, localAddress: '127.0.0.7' });
  rover.on('error', () => {});
  rover.write(rtcmHead('BASE', ROVER_PASSWORD, false));
  const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: LAUNCH });
  try {
    const page = await openPage(await browser.newContext({ viewport: { width: 390, height: 844 } }),
      server.url);
    await logInPage(page);
    await page.getByLabel('Port').selectOption(base.link);
    await untilSays(page, 'corrections-lines', /1 rover connected: 127\.0\.0\.7 \(alice\) \d/, 10000);
    await untilSays(page, 'corrections-lines', /Refused by 127\.0\.0\.1:\d+\/UP_refusing1: wrong/, 10000);
    assert.equal(await page.locator('#rover-settings-summary').textContent(),
      `Rover settings: port ${casterPort}, mount BASE`);
    await page.locator('#rover-settings-summary').click();
    // The caster listens on loopback alone: loopback is the address to give.
    assert.match(await page.locator('#rover-settings-list').textContent(),
      new RegExp(`^Address127\\.0\\.0\\.1Port${casterPort}Mount pointBASE`));
    await checkPage(page, page.problems, 'web-corrections.png');
  } finally {
    rover.destroy();
    await browser.close();
  }
});
