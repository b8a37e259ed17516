// The web server's figures for scripts/bench, one line each in its
// "name key=value..." form:
//   web-stream: the server's CPU time and memory while five pages (five
//     sessions, each with an event stream) watch a module streaming at the
//     full rate of a 921600-baud line, and its peak from their logins; six
//     runs, since one run's figure says little of a machine's spread;
//   web-latency: how long each log line of a Rover switch took from the
//     engine to a page, from the time the server gives each log event (its
//     monotonic clock, which process.hrtime.bigint() reads too).
// node web_bench.mjs WEB SIM DIR; loopback only, every wait bounded.
import { spawn, spawnSync } from 'node:child_process';
import { existsSync, readFileSync, writeFileSync } from 'node:fs';
import http from 'node:http';
import path from 'node:path';

// The web tests' own bounded polling; nothing else of theirs.
import { sleep, until } from '../../tests/web/harness.mjs';

const [web, sim, dir] = process.argv.slice(2);
const PASSWORD = 'bench password 1';
const PAGES = 5;
const STREAM_S = 20;
const STREAM_RUNS = 6;
const STREAM_BAUD = 921600;
const SWITCH_LIMIT_MS = 40000;
const started = [];

const monotonicMs = () => Number(process.hrtime.bigint() / 1000000n);

function startModule(name, args) {
  const link = path.join(dir, name);
  started.push(spawn(sim, ['--link', link, ...args], { stdio: 'ignore' }));
  return until(() => existsSync(link) && link, 5000, `the module's link ${link}`);
}

async function startServer(devices) {
  const file = path.join(dir, 'web-password');
  const made = spawnSync(web, ['password', file], { input: PASSWORD + '\n' });
  if (made.status !== 0) throw new Error(`password: ${made.stderr}`);
  const args = ['--listen', '127.0.0.1:0', '--password-file', file];
  devices.forEach((d) => args.push('--device', d));
  const proc = spawn(web, args, { stdio: ['ignore', 'ignore', 'pipe'] });
  started.push(proc);
  let log = '';
  proc.stderr.on('data', (chunk) => { log += chunk; });
  const url = await until(() => (log.match(/Listening on (\S+)/) || [])[1], 10000,
    'the server listening');
  return { proc, url };
}

function post(url, body, cookie) {
  return new Promise((resolve, reject) => {
    const req = http.request(url, { method: 'POST', timeout: 10000,
      headers: cookie ? { Cookie: cookie } : {} }, (res) => {
      res.resume();
      res.on('end', () => resolve(res));
    });
    req.on('error', reject);
    req.on('timeout', () => req.destroy(new Error(`POST ${url}: no answer in 10 s`)));
    req.end(JSON.stringify(body));
  });
}

async function login(url) {
  const res = await post(url + 'api/login', { password: PASSWORD });
  if (res.statusCode !== 204) throw new Error(`login: ${res.statusCode}`);
  return res.headers['set-cookie'][0].split(';')[0];
}

// One page's event stream: each event handed to seen with the moment it
// arrived, its name, its data and its comment lines.
function watch(url, cookie, seen) {
  const req = http.get(url, { headers: { Cookie: cookie } }, (res) => {
    let text = '';
    res.setEncoding('utf8');
    res.on('data', (chunk) => {
      const atMs = monotonicMs();
      text += chunk;
      const blocks = text.split('\n\n');
      text = blocks.pop();
      for (const block of blocks) {
        const lines = block.split('\n');
        const field = (name) => lines.filter((l) => l.startsWith(name))
          .map((l) => l.slice(name.length));
        seen({ atMs, event: field('event: ')[0], data: field('data: ')[0], notes: field(': ') });
      }
    });
  });
  req.on('error', () => {});
  return req;
}

function proc(pid) {
  const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  const status = readFileSync(`/proc/${pid}/status`, 'utf8');
  const kib = (key) => Number(status.match(new RegExp(`${key}:\\s+(\\d+)`))[1]);
  // utime and stime, the 14th and 15th fields, counted from after the name.
  return { ticks: Number(fields[11]) + Number(fields[12]), rss: kib('VmRSS'), hwm: kib('VmHWM') };
}

async function streamFigures(server, link, run) {
  const cookies = [];
  for (let i = 0; i < PAGES; ++i) cookies.push(await login(server.url));
  const statuses = new Array(PAGES).fill(0);
  const url = `${server.url}api/events?port=${encodeURIComponent(link)}&baud=${STREAM_BAUD}`;
  const pages = cookies.map((cookie, i) => watch(url, cookie, (e) => {
    statuses[i] += e.event === 'status' && /PZVKSEQ/.test(e.data) ? 1 : 0;
  }));
  await until(() => statuses.every((n) => n > 0), 10000, 'every page\'s first streamed status');
  const hz = Number(spawnSync('getconf', ['CLK_TCK']).stdout);
  // The peak so far is the logins' (yescrypt's work area, given back after
  // each); from here on it is the watch's. Writing 5 resets VmHWM to VmRSS.
  const loginHwm = proc(server.proc.pid).hwm;
  writeFileSync(`/proc/${server.proc.pid}/clear_refs`, '5');
  const before = proc(server.proc.pid);
  const startMs = monotonicMs();
  await sleep(STREAM_S * 1000);
  const after = proc(server.proc.pid);
  const wallMs = monotonicMs() - startMs;
  pages.forEach((p) => p.destroy());
  const cpuMs = ((after.ticks - before.ticks) * 1000) / hz;
  console.log(`web-stream run=${run} pages=${PAGES} wall_ms=${wallMs} cpu_ms=${cpuMs.toFixed(0)} ` +
    `rss_kib=${after.rss} hwm_kib=${after.hwm} login_hwm_kib=${loginHwm} ` +
    `statuses=${Math.min(...statuses)}`);
}

async function latencyFigures(server, link) {
  const cookie = await login(server.url);
  const delays = [];
  let done = false;
  const page = watch(`${server.url}api/events?port=${encodeURIComponent(link)}`, cookie, (e) => {
    const stamp = e.notes.map((n) => n.match(/^ms (\d+)$/)).find((m) => m);
    if (e.event === 'log' && stamp) delays.push(e.atMs - Number(stamp[1]));
    done = done || (e.event === 'job' && /"state":"(done|failed|no-reply)"/.test(e.data));
  });
  await sleep(500);
  const res = await post(server.url + 'api/switch', { port: link, mode: 'rover', baud: 460800 },
    cookie);
  if (res.statusCode !== 202) throw new Error(`switch: ${res.statusCode}`);
  await until(() => done, SWITCH_LIMIT_MS, 'the end of the switch');
  page.destroy();
  delays.sort((a, b) => a - b);
  const median = delays[Math.floor(delays.length / 2)];
  console.log(`web-latency lines=${delays.length} median_ms=${median} worst_ms=${delays.at(-1)}`);
}

try {
  const stream = await startModule('web-stream.port', ['--stream', String(STREAM_BAUD)]);
  const module = await startModule('web-switch.port',
    ['--talk', 'mode', '--reboot', 'vanish', '--reboot-delay-ms', '2000']);
  const server = await startServer([stream, module]);
  for (let run = 1; run <= STREAM_RUNS; ++run) await streamFigures(server, stream, run);
  await latencyFigures(server, module);
} finally {
  for (const p of started) p.kill('SIGTERM');
}
