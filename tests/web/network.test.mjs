// The server on a shared network: slow clients from many addresses, a page
// on a name the server does not answer to, old TLS, and a module whose
// reply would forge a log line.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { chmodSync } from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { WEB, folder, login, request, startModule, startServer, stopAll, until } from
  './harness.mjs';

let dir;
let module;
let server;
before(async () => {
  dir = folder();
  module = await startModule(dir, 'module', ['--talk', 'mode',
    '--own', 'PZVKX,OK\r\n[07:00:00] Done: the module is now in Rover mode.']);
  server = await startServer(dir, [module.link], ['--host', 'board.example', '--trust-proxy', '127.0.0.7']);
});
after(stopAll);

// A client that sends a request's first lines and then one header line
// every second, never the end: each line used to restart the time-out.
function trickle(url, from) {
  const { hostname, port } = new URL(url);
  const socket = net.connect({ host: hostname, port: Number(port), localAddress: from });
  socket.ended = false;
  socket.on('error', () => {});
  socket.on('close', () => { socket.ended = true; });
  socket.on('connect', () => socket.write('GET / HTTP/1.1\r\nHost: x\r\n'));
  socket.timer = setInterval(() => socket.ended || socket.write('X-Slow: 1\r\n'), 1000);
  return socket;
}

test('slow clients from 16 addresses: a phone is answered within 2 s; none outlasts 12 s',
  async () => {
    const slow = [];
    for (let a = 2; a < 18; ++a) {
      for (let i = 0; i < 16; ++i) slow.push(trickle(server.url, `127.0.1.${a}`));
    }
    const startMs = Date.now();
    try {
      for (let round = 0; round < 4; ++round) {
        await until(() => Date.now() - startMs > round * 3000, 4000, 'the next round');
        const t0 = Date.now();
        const phone = await request(server.url, { from: '127.0.0.9', timeoutMs: 2000 });
        assert.equal(phone.status, 200, `round ${round}: the phone got ${phone.status}`);
        assert.ok(Date.now() - t0 < 2000, `round ${round}: answered in ${Date.now() - t0} ms`);
      }
      await until(() => slow.every((s) => s.ended), 13000 - (Date.now() - startMs),
        'every slow client closed 13 s after it came');
    } finally {
      slow.forEach((s) => { clearInterval(s.timer); s.destroy(); });
    }
  });

test('a Host the server does not answer to: 421, also with its own Origin', async () => {
  const { port } = new URL(server.url);
  const local = `localhost:${port}`;
  // [Host, Origin's scheme, from]: a trusted proxy may serve the page over HTTPS.
  const cases = [['rebind.evil.example', 'http', 421], [`rebind.evil.example:${port}`, 'http', 421],
    ['127.0.0.1.evil.example', 'http', 421], [local, 'http', 204], [`board.example:${port}`, 'http', 204],
    [`127.0.0.1:${port}`, 'http', 204], [`[::1]:${port}`, 'http', 204], ['localhost:80x', 'http', 421],
    [local, 'https', 403], [local, 'https', 204, '127.0.0.7']];
  for (const [host, scheme, expected, from] of cases) {
    const answer = await request(server.url + 'api/login', { method: 'POST', from,
      headers: { Host: host, Origin: `${scheme}://${host}` },
      body: JSON.stringify({ password: 'field base 42' }) });
    assert.equal(answer.status, expected, `Host: ${host}, ${scheme}, from ${from}: ${answer.body}`);
  }
});

test('a reply with CR LF in it is one line on standard error and on the page', async () => {
  const cookie = await login(server.url);
  const answer = await request(server.url + 'api/switch', { method: 'POST', headers: { Cookie: cookie },
    body: JSON.stringify({ port: module.link, mode: 'rover', baud: 460800 }) });
  assert.equal(answer.status, 202, answer.body);
  await until(() => /Done: Rover mode/.test(server.log), 30000, 'the switch done');
  const forged = server.log.split('\n').filter((l) => /\[07:00:00\] Done/.test(l));
  assert.ok(forged.length > 0, `the banner logged: ${server.log}`);
  for (const line of forged) {
    assert.match(line, /^\S+: \[\d\d:\d\d:\d\d\] << .*PZVKX,OK\\r\\n\[07:00:00\] Done/, line);
  }
  // The page's lines, as the event stream sends them: the reply one JSON string.
  const page = await new Promise((resolve) => {
    let text = '';
    const req = http.get(`${server.url}api/events?port=${encodeURIComponent(module.link)}`,
      { headers: { Cookie: cookie } }, (res) => res.on('data', (chunk) => {
        text += chunk;
        if (/Done: Rover mode/.test(text)) { req.destroy(); resolve(text); }
      }));
    req.on('error', () => resolve(text));
  });
  assert.match(page, /data: "\[\d\d:\d\d:\d\d\] << .*PZVKX,OK\\\\r\\\\n\[07:00:00\] Done/);
});

test('TLS: only 1.2 and 1.3 with forward secrecy; a key others may read is refused', async () => {
  const key = path.join(dir, 'key.pem');
  const cert = path.join(dir, 'cert.pem');
  const made = spawnSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout',
    key, '-out', cert, '-days', '1', '-subj', '/CN=localhost']);
  assert.equal(made.status, 0, String(made.stderr));
  chmodSync(key, 0o640);
  const refused = spawnSync(WEB, ['--listen', '127.0.0.1:0', '--password-file',
    path.join(dir, 'password'), '--tls-cert', cert, '--tls-key', key], { timeout: 5000 });
  assert.equal(refused.status, 1, `a key of mode 0640: ${refused.stderr}`);
  assert.match(String(refused.stderr), /may be read by others/);
  chmodSync(key, 0o600);
  const tls = await startServer(folder(), [module.link], ['--tls-cert', cert, '--tls-key', key]);
  const { port } = new URL(tls.url);
  const cases = [[['-tls1_1', '-cipher', 'DEFAULT:@SECLEVEL=0'], false],
    [['-tls1_2', '-cipher', 'AES128-GCM-SHA256'], false], [['-tls1_2'], true], [['-tls1_3'], true]];
  for (const [flags, expected] of cases) {
    const client = spawnSync('openssl', ['s_client', '-connect', `127.0.0.1:${port}`, ...flags],
      { input: '', timeout: 10000 });
    assert.equal(client.status === 0, expected,
      `openssl s_client ${flags.join(' ')}: exit ${client.status}, ${client.stdout}`);
  }
});
