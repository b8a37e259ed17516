// The server against requests without a session, from another origin, with
// wrong passwords, and under a flood of malformed ones: refused, nothing
// written to the module, and a phone on another address still served.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { chmodSync, readFileSync, statSync, writeFileSync } from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import { after, before, test } from 'node:test';
import { folder, holds, login, PASSWORD, received, request, sleep, startModule, startServer,
  stopAll, until, WEB } from './harness.mjs';

let module;
let server;
let cookie;
let port;
before(async () => {
  const dir = folder();
  module = await startModule(dir, 'module', ['--talk', 'rover']);
  server = await startServer(dir, [module.link]);
  cookie = await login(server.url);
  port = encodeURIComponent(module.link);
});
after(stopAll);

const switchBody = () => JSON.stringify({ port: module.link, mode: 'rover', baud: 460800 });

test('no session: every API route 401, nothing opened or written', async () => {
  const routes = [['GET', 'api/ports'], ['GET', `api/status?port=${port}`],
    ['GET', `api/events?port=${port}`], ['POST', 'api/switch', switchBody()],
    ['POST', 'api/logout', '{}'], ['GET', 'api/nothing'],
    ['GET', 'api/ports', undefined, 'kms_session=' + '0'.repeat(64)]];
  for (const [method, route, body, bad] of routes) {
    const answer = await request(server.url + route, { method, body,
      headers: bad ? { Cookie: bad } : {} });
    assert.equal(answer.status, 401, `${method} /${route} ${bad ? 'with a made-up cookie' : ''}`);
  }
  await sleep(300);
  assert.equal(holds(server.proc.pid, module.link), false, 'the port is open');
  assert.deepEqual(received(module.transcript), []);
});

test('a logged-out session\'s event stream ends, though status keeps coming', async () => {
  const own = await login(server.url);
  let text = '';
  const ended = new Promise((resolve) => {
    const req = http.get(`${server.url}api/events?port=${port}`, { headers: { Cookie: own } },
      (res) => {
        res.on('data', (chunk) => { text += chunk; });
        res.on('end', () => resolve(text));
        res.on('error', () => resolve(text));
      });
    req.on('error', () => resolve(''));
  });
  await until(() => /event: status/.test(text), 5000, 'the stream\'s first status');
  const out = await request(server.url + 'api/logout', { method: 'POST', body: '{}',
    headers: { Cookie: own } });
  assert.equal(out.status, 204, out.body);
  const start = Date.now();
  const end = await Promise.race([ended, sleep(4000).then(() => null)]);
  assert.notEqual(end, null, 'the stream still open 4 s after its logout');
  assert.ok(Date.now() - start < 4000);
  const again = await request(`${server.url}api/events?port=${port}`, { headers: { Cookie: own } });
  assert.equal(again.status, 401, 'the stream opened again with the closed session');
});

// An answer's headers, the body left unread: an event stream never ends.
const headersOf = (route, headers) => new Promise((resolve) => {
  const req = http.get(server.url + route, { headers }, (res) => {
    resolve(res.headers);
    req.destroy();
  });
  req.on('error', () => resolve({}));
});

test('the login\'s cookie, and the headers of every answer', async () => {
  const given = await request(server.url + 'api/login', { method: 'POST',
    body: JSON.stringify({ password: PASSWORD }) });
  const attributes = given.headers['set-cookie'][0].split(/; */).slice(1).sort();
  assert.deepEqual(attributes, ['HttpOnly', 'Path=/', 'SameSite=Strict'], 'the cookie over HTTP');
  const always = { 'x-content-type-options': /^nosniff$/, 'x-frame-options': /^DENY$/,
    'content-security-policy': /^(?=.*default-src 'self'(;|$))(?=.*frame-ancestors 'none')/ };
  const answers = [['POST api/login', given.headers, true]];
  for (const [route, own, api] of [['', false, false], ['app.js', false, false],
    ['api/ports', true, true], ['api/ports', false, true], [`api/events?port=${port}`, true, true]]) {
    answers.push([`GET /${route}${own ? '' : ' without a session'}`,
      await headersOf(route, own ? { Cookie: cookie } : {}), api]);
  }
  for (const [what, headers, api] of answers) {
    const wanted = api ? { ...always, 'cache-control': /^no-store$/ } : always;
    for (const [name, pattern] of Object.entries(wanted)) {
      assert.match(headers[name] ?? '(none)', pattern, `${what}: ${name}`);
    }
  }
});

test('password FILE: the hash readable by the owner and group alone, also over a 0644 file',
  () => {
    const file = `${folder()}/web-password`;
    for (const before of ['none', 0o644]) {
      if (before !== 'none') {
        writeFileSync(file, 'old\n');
        chmodSync(file, before);
      }
      const made = spawnSync(WEB, ['password', file], { input: PASSWORD + '\n', encoding: 'utf8' });
      assert.equal(made.status, 0, made.stderr);
      const mode = statSync(file).mode & 0o777;
      assert.equal(mode & 0o027, 0, `mode ${mode.toString(8)} over ${before.toString(8)}`);
      assert.match(made.stdout, /next restart:\n +sudo systemctl restart kavrel-mode-switch-web\n$/);
    }
  });

test('cross-origin POSTs 403 and bad bodies 400, nothing written', async () => {
  const foreign = [{ Origin: 'http://evil.example' }, { Origin: 'null' },
    { Referer: 'http://evil.example/' }, { Origin: server.url.replace(/\/$/, '.evil') }];
  for (const headers of foreign) {
    const answer = await request(server.url + 'api/switch', { method: 'POST', body: switchBody(),
      headers: { ...headers, Cookie: cookie } });
    assert.equal(answer.status, 403, JSON.stringify(headers));
  }
  const bad = ['', '{', '[]', '{"port":1}', `{"port":"${module.link}","mode":"rover","mode":"rover"}`,
    `{"port":"${module.link}","mode":"rover"} x`, `{"port":"${module.link}","mode":"rov\\q"}`,
    `{"port":"${module.link}","mode":{"a":1}}`, `{"port":"${module.link}","mode":"rover","baud":4.6}`,
    `{"port":"${module.link}","mode":"rover","baud":57600}`, `{"port":"/dev/null","mode":"rover"}`,
    `{"port":"${module.link}","mode":"rover","x":"${'a'.repeat(600)}"}`,
    `{"port":"${module.link}","mode":"rover","extra":1}`, `{"port":"${module.link}\\u0000","mode":"rover"}`];
  for (const body of bad) {
    const answer = await request(server.url + 'api/switch', { method: 'POST', body,
      headers: { Cookie: cookie } });
    assert.equal(answer.status, 400, `body ${body.slice(0, 80)}: ${answer.body}`);
  }
  const huge = await request(server.url + 'api/login', { method: 'POST', body: 'x'.repeat(5000) });
  assert.equal(huge.status, 413, 'a 5000-byte body');
  await sleep(500);
  assert.deepEqual(received(module.transcript), []);
});

test('a blocked address has one try in 10 s checked: the right password gets in', async () => {
  const from = '127.0.6.1';
  const tryLogin = (password) => request(server.url + 'api/login', { method: 'POST', from,
    body: JSON.stringify({ password }) });
  for (let i = 1; i <= 5; ++i) assert.equal((await tryLogin(`wrong ${i}`)).status, 401, `try ${i}`);
  const blockedAt = Date.now();
  let refused = 0;
  await until(async () => {
    const answer = await tryLogin(PASSWORD);
    assert.ok(answer.status === 204 || answer.status === 429, `${answer.status}: ${answer.body}`);
    refused += answer.status === 429 ? 1 : 0;
    return answer.status === 204;
  }, 12000, 'the right password from the blocked address');
  const tookMs = Date.now() - blockedAt;
  assert.ok(refused > 0 && tookMs > 9000, `admitted after ${tookMs} ms, ${refused} refused`);
  const lines = (text) => server.log.split('\n').filter((l) => l.includes(text)).length;
  assert.equal(lines(`Wrong password from ${from}`), 5, server.log);
  assert.equal(lines(`Logins from ${from} refused`), 1, `${refused} refusals logged once`);
  assert.doesNotMatch(server.log, /wrong \d/, 'a password in the log');
});

test('the sixth wrong password in a minute: 429, the right one too; sessions go on', async () => {
  const from = '127.0.0.3';
  const tries = ['wrong 1', 'wrong 2', 'wrong 3', 'wrong 4', 'wrong 5', 'wrong 6', 'field base 42'];
  const got = [];
  for (const password of tries) {
    got.push((await request(server.url + 'api/login', { method: 'POST', from,
      body: JSON.stringify({ password }) })).status);
  }
  assert.deepEqual(got, [401, 401, 401, 401, 401, 429, 429]);
  // At once, each check made before any password was: still five tries.
  const together = await Promise.all(Array.from({ length: 8 }, (_, i) =>
    request(server.url + 'api/login', { method: 'POST', from: '127.0.0.5',
      body: JSON.stringify({ password: `wrong ${i}` }) }).then((a) => a.status)));
  assert.deepEqual(together.sort(), [401, 401, 401, 401, 401, 429, 429, 429],
    'eight wrong passwords at once from 127.0.0.5');
  const other = await request(server.url + 'api/ports', { headers: { Cookie: cookie } });
  assert.equal(other.status, 200, 'a session opened before');
});

// Connections that send part of a request and wait, from 127.0.0.1.
function slowConnections(url, count) {
  const { hostname, port: tcp } = new URL(url);
  return Array.from({ length: count }, () => {
    const socket = net.connect({ host: hostname, port: Number(tcp) });
    socket.on('error', () => {});
    socket.on('connect', () => socket.write('GET /api/ports HTTP/1.1\r\nHost: x\r\n'));
    return socket;
  });
}

// One raw request on its own connection from 127.0.0.4; resolves with the
// answer's first line once the server is done ('' when it closed unanswered).
function raw(url, text) {
  const { hostname, port: tcp } = new URL(url);
  return new Promise((resolve) => {
    let answer = '';
    const socket = net.connect({ host: hostname, port: Number(tcp), localAddress: '127.0.0.4' },
      () => socket.end(text));
    socket.on('data', (chunk) => { answer += chunk; });
    socket.on('error', () => {});
    socket.on('close', () => resolve(answer.split('\r\n')[0]));
    socket.setTimeout(3000, () => { answer = 'no answer in 3 s'; socket.destroy(); });
  });
}

const rss = (pid) => Number(readFileSync(`/proc/${pid}/status`, 'utf8').match(/VmRSS:\s+(\d+)/)[1]);

test('a flood of malformed requests leaves another address served within 2 s', async (t) => {
  const hostile = ['FOO BAR\r\n\r\n', 'GET\r\n\r\n', `GET /${'a'.repeat(70000)} HTTP/1.1\r\n\r\n`,
    `GET / HTTP/1.1\r\nHost: x\r\nX: ${'b'.repeat(60000)}\r\n\r\n`,
    `POST /api/login HTTP/1.1\r\nHost: x\r\nContent-Length: 9999999\r\n\r\n${'c'.repeat(20000)}`,
    `POST /api/login HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n2000\r\n${'d'.repeat(8192)}\r\n0\r\n\r\n`,
    'GET /api/status?port=%00%zz HTTP/1.1\r\nHost: x\r\n\r\n', 'GET / HTTP/9.9\r\n\r\n'];
  // The phone has the page open: its status is watched.
  const page = http.get(`${server.url}api/events?port=${port}`,
    { headers: { Cookie: cookie }, localAddress: '127.0.0.2' });
  page.on('error', () => {});
  await until(() => holds(server.proc.pid, module.link), 5000, 'the phone\'s page watching');
  const before = rss(server.proc.pid);
  const slow = slowConnections(server.url, 200);
  for (let round = 0; round < 250; ++round) {
    const answers = await Promise.all(hostile.map((text) => raw(server.url, text)));
    answers.forEach((line, i) => assert.match(line, /^(HTTP\/1\.[01] [45]\d\d |$)/,
      `round ${round}, request ${i} (${hostile[i].slice(0, 40)}...)`));
  }
  const start = Date.now();
  const phone = await request(`${server.url}api/status?port=${port}`,
    { from: '127.0.0.2', headers: { Cookie: cookie }, timeoutMs: 2000 });
  const tookMs = Date.now() - start;
  slow.forEach((s) => s.destroy());
  page.destroy();
  assert.equal(phone.status, 200, `status from 127.0.0.2 during the flood: ${phone.body}`);
  assert.ok(tookMs < 2000, `answered in ${tookMs} ms`);
  assert.match(phone.body, /"fix":"gps"/);
  const grownKiB = rss(server.proc.pid) - before;
  t.diagnostic(`resident memory grew ${grownKiB} KiB; the phone was answered in ${tookMs} ms`);
  assert.ok(grownKiB < 64 * 1024, `resident memory grew ${grownKiB} KiB`);
});

// An event stream until its first status, then closed.
function watchOnce(url) {
  return new Promise((resolve) => {
    const req = http.get(url, { headers: { Cookie: cookie } }, (res) => {
      res.on('data', (chunk) => { if (/event: status/.test(chunk)) { req.destroy(); resolve(); } });
    });
    req.on('error', resolve);
  });
}

test('the port is let go within 2 s after the last page; SIGTERM ends a switch within 2 s',
  async () => {
    await until(() => !holds(server.proc.pid, module.link), 4500, 'the port let go after status');
    await watchOnce(`${server.url}api/events?port=${port}`);
    await until(() => !holds(server.proc.pid, module.link), 2000, 'the port let go after a page');
    const answer = await request(server.url + 'api/switch', { method: 'POST', body: switchBody(),
      headers: { Cookie: cookie } });
    assert.equal(answer.status, 202, answer.body);
    await until(() => received(module.transcript).length > 0, 10000, 'the first sentence');
    const start = Date.now();
    server.proc.kill('SIGTERM');
    await until(() => server.proc.exitCode !== null, 2000, 'the end after SIGTERM');
    assert.match(server.log, /Interrupted: the module may have taken part of the script/);
    assert.ok(Date.now() - start < 2000);
  });
