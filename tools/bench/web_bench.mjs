// The web server's figures for scripts/bench, one line each in its
// "name key=value..." form:
//   web-stream: the server's CPU time and memory while five pages (five
//     sessions, each with an event stream) watch a module streaming at the
//     full rate of a 921600-baud line, and its peak from their logins; six
//     runs, since one run's figure says little of a machine's spread;
//   web-latency: how long each log line of a Rover switch took from the
//     engine to a page, from the time the server gives each log event (its
//     monotonic clock, which process.hrtime.bigint() reads too);
//   caster-latency, caster-stream, caster-loss: ten NTRIP 1.0 rovers on a
//     mount whose module streams RTCM frames at the full rate of a
//     921600-baud line: each frame's delay from its last byte at the port
//     (the module notes when it wrote it, on the same clock) to each rover;
//     the server's CPU time and memory meanwhile; the frames rovers that
//     keep up missed, apart from those the module could not write.
// node web_bench.mjs WEB SIM DIR; loopback only, every wait bounded.
import { spawn, spawnSync } from 'node:child_process';
import { existsSync, readFileSync, writeFileSync } from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import path from 'node:path';

// The web tests' own bounded polling and reading of RTCM 3 frames; nothing
// else of theirs.
import { sleep, until } from '../../tests/web/harness.mjs';
import { readFrames } from '../../tests/web/test_caster.mjs';

const [web, sim, dir] = process.argv.slice(2);
const PASSWORD = 'bench password 1';
const PAGES = 5;
const STREAM_S = 20;
const STREAM_RUNS = 6;
const STREAM_BAUD = 921600;
const SWITCH_LIMIT_MS = 40000;
const ROVERS = 10;
const ROVER_USER = 'bench';
const ROVER_PASSWORD = 'bench rover 1';
const started = [];

const monotonicMs = () => Number(process.hrtime.bigint() / 1000000n);

function startModule(name, args) {
  const link = path.join(dir, name);
  started.push(spawn(sim, ['--link', link, ...args], { stdio: 'ignore' }));
  return until(() => existsSync(link) && link, 5000, `the module's link ${link}`);
}

// The server's own subcommand makes the file, the password on its input:
// "password FILE" or "caster-user FILE NAME".
function secretFile(command, name, secret, ...rest) {
  const file = path.join(dir, name);
  const made = spawnSync(web, [command, file, ...rest], { input: secret + '\n' });
  if (made.status !== 0) throw new Error(`${command}: ${made.stderr}`);
  return file;
}

async function startServer(devices, extra = []) {
  const file = secretFile('password', 'web-password', PASSWORD);
  const args = ['--listen', '127.0.0.1:0', '--password-file', file, ...extra];
  devices.forEach((d) => args.push('--device', d));
  const proc = spawn(web, args, { stdio: ['ignore', 'ignore', 'pipe'] });
  started.push(proc);
  let log = '';
  proc.stderr.on('data', (chunk) => { log += chunk; });
  const url = await until(() => (log.match(/Listening on (\S+)/) || [])[1], 10000,
    'the server listening');
  const caster = extra.length ? await until(() => (log.match(/Caster on ntrip:\/\/[^:]+:(\d+)/) ||
    [])[1], 10000, 'the caster listening') : null;
  return { proc, url, caster: Number(caster) };
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

// CPU time and memory over STREAM_S from now, with the peak before it (the
// logins': yescrypt's work area, given back after each). Writing 5 to
// clear_refs resets VmHWM to VmRSS.
async function measureServer(pid) {
  const hz = Number(spawnSync('getconf', ['CLK_TCK']).stdout);
  const loginHwm = proc(pid).hwm;
  writeFileSync(`/proc/${pid}/clear_refs`, '5');
  const before = proc(pid);
  const startMs = monotonicMs();
  await sleep(STREAM_S * 1000);
  const after = proc(pid);
  const wallMs = monotonicMs() - startMs;
  return { startMs, wallMs, after, loginHwm, cpuMs: ((after.ticks - before.ticks) * 1000) / hz };
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
  const { wallMs, after, loginHwm, cpuMs } = await measureServer(server.proc.pid);
  pages.forEach((p) => p.destroy());
  console.log(`web-stream run=${run} pages=${PAGES} wall_ms=${wallMs} cpu_ms=${cpuMs.toFixed(0)} ` +
    `rss_kib=${after.rss} hwm_kib=${after.hwm} login_hwm_kib=${loginHwm} ` +
    `statuses=${Math.min(...statuses)}`);
}

// A switch through the API, followed on a page to its end, which it
// returns; each of the port's events on the way goes to seen.
async function runSwitch(server, link, mode, baud, seen) {
  const cookie = await login(server.url);
  let end = null;
  const page = watch(`${server.url}api/events?port=${encodeURIComponent(link)}`, cookie, (e) => {
    seen(e);
    // Job 0 is the port's none yet, which shows as done.
    const over = e.event === 'job' && /^\{"id":[1-9]/.test(e.data) &&
      /"state":"(done|failed|no-reply|interrupted)"/.test(e.data);
    end = end || (over && e.data);
  });
  await sleep(500);
  const res = await post(server.url + 'api/switch', { port: link, mode, baud }, cookie);
  if (res.statusCode !== 202) throw new Error(`switch: ${res.statusCode}`);
  await until(() => end, SWITCH_LIMIT_MS, 'the end of the switch');
  page.destroy();
  return end;
}

const median = (sorted) => sorted[Math.floor(sorted.length / 2)];

async function latencyFigures(server, link) {
  const delays = [];
  await runSwitch(server, link, 'rover', 460800, (e) => {
    const stamp = e.notes.map((n) => n.match(/^ms (\d+)$/)).find((m) => m);
    if (e.event === 'log' && stamp) delays.push(e.atMs - Number(stamp[1]));
  });
  delays.sort((a, b) => a - b);
  console.log(`web-latency lines=${delays.length} median_ms=${median(delays)} ` +
    `worst_ms=${delays.at(-1)}`);
}

// An NTRIP 1.0 rover, from an address of its own (the caster takes only a
// few from one address): what came after its answer, as chunks, each with
// the microsecond its last byte came; null when the answer was not ICY 200
// (a mount not live yet gets the source table).
function rover(port, i, authorization) {
  return new Promise((resolve) => {
    const r = { chunks: [], head: Buffer.alloc(0) };
    r.socket = net.connect({ host: '127.0.0.1', port, localAddress: `127.0.0.${2 + i}` }, () =>
      r.socket.write(`GET /BASE HTTP/1.0\r\nUser-Agent: NTRIP bench\r\n${authorization}\r\n\r\n`));
    r.socket.on('data', (chunk) => {
      const atUs = Number(process.hrtime.bigint() / 1000n);
      if (r.head.length < ICY_OK.length) {
        r.head = Buffer.concat([r.head, chunk]);
        if (r.head.length < ICY_OK.length) return;
        if (!r.head.subarray(0, ICY_OK.length).equals(ICY_OK)) return r.socket.destroy();
        chunk = r.head.subarray(ICY_OK.length);
        resolve(r);
      }
      if (chunk.length) r.chunks.push({ chunk, atUs });
    });
    r.socket.on('error', () => resolve(null));
    r.socket.on('close', () => resolve(null));
  });
}
const ICY_OK = Buffer.from('ICY 200 OK\r\n\r\n');

// A rover's frames, each with its count and the microsecond it came whole.
function roverFrames(r) {
  const data = Buffer.concat(r.chunks.map((c) => c.chunk));
  let e = 0;
  let ended = r.chunks.length ? r.chunks[0].chunk.length : 0;
  return readFrames(data).frames.map((f) => {
    const end = f.bytes.byteOffset - data.byteOffset + f.bytes.length;
    while (ended < end) ended += r.chunks[++e].chunk.length;
    return { count: f.count, atUs: r.chunks[e].atUs };
  });
}

// The module's notes "WROTE FIRST LAST US DROPPED": each message's moment,
// and whether its write step left some unwritten (a message missing from
// such a step may be one of them).
function moduleWrites(transcript) {
  const wrote = new Map();
  for (const line of readFileSync(transcript, 'utf8').split('\n')) {
    const m = line.match(/ WROTE (\d+) (\d+) (\d+) (\d+)$/);
    for (let n = m ? Number(m[1]) : 1; m && n <= Number(m[2]); ++n) {
      wrote.set(n, { us: Number(m[3]), whole: m[4] === '0' });
    }
  }
  return wrote;
}

async function roversOn(server, count) {
  const key = Buffer.from(`${ROVER_USER}:${ROVER_PASSWORD}`).toString('base64');
  const rovers = [];
  // Until the mount is live after the switch, a rover gets the source table.
  for (let i = 0; i < count; ++i) {
    rovers.push(await until(() => rover(server.caster, i, `Authorization: Basic ${key}`), 20000,
      `rover ${i + 1} streaming`));
  }
  return rovers;
}

// A mount's port is read at the rate of its module's last switch, 460800
// until one: a Base Only switch at the stream's rate comes first.
async function casterFigures(server, module) {
  const end = await runSwitch(server, module.link, 'base-only', STREAM_BAUD, () => {});
  if (!/"state":"done"/.test(end)) throw new Error(`the mount's switch to ${STREAM_BAUD}: ${end}`);
  const rovers = await roversOn(server, ROVERS);
  // A paused mount takes rovers while its module comes back from the switch.
  await until(() => rovers.every((r) => r.chunks.length > 0), 20000, 'every rover\'s first frames');
  const { startMs, wallMs, after, loginHwm, cpuMs } = await measureServer(server.proc.pid);
  rovers.forEach((r) => r.socket.destroy());
  rovers.forEach((r) => { r.chunks = r.chunks.filter((c) => c.atUs >= startMs * 1000); });
  console.log(`caster-stream rovers=${ROVERS} wall_ms=${wallMs} cpu_ms=${cpuMs.toFixed(0)} ` +
    `rss_kib=${after.rss} hwm_kib=${after.hwm} login_hwm_kib=${loginHwm}`);
  module.proc.kill('SIGTERM');
  await until(() => / STREAM /.test(readFileSync(module.transcript, 'utf8')), 5000,
    'the module\'s count of its stream');
  casterDelivery(rovers, moduleWrites(module.transcript));
}

// Each frame's delay to each rover, and the frames each missed between its
// first and its last that the module did write.
function casterDelivery(rovers, wrote) {
  const delays = [];
  let frames = 0, lost = 0, notWritten = 0;
  for (const r of rovers) {
    const got = roverFrames(r);
    frames += got.length;
    got.forEach((f) => wrote.has(f.count) && delays.push((f.atUs - wrote.get(f.count).us) / 1000));
    for (let i = 1; i < got.length; ++i) {
      for (let n = got[i - 1].count + 1; n < got[i].count; ++n) {
        if (wrote.get(n)?.whole) ++lost; else ++notWritten;
      }
    }
  }
  delays.sort((a, b) => a - b);
  console.log(`caster-latency rovers=${rovers.length} frames=${delays.length} ` +
    `median_ms=${median(delays).toFixed(1)} worst_ms=${delays.at(-1).toFixed(1)}`);
  console.log(`caster-loss rovers=${rovers.length} frames=${frames} lost=${lost} ` +
    `not_written=${notWritten}`);
}


try {
  const stream = await startModule('web-stream.port', ['--stream', String(STREAM_BAUD)]);
  const module = await startModule('web-switch.port',
    ['--talk', 'mode', '--reboot', 'vanish', '--reboot-delay-ms', '2000']);
  const server = await startServer([stream, module]);
  for (let run = 1; run <= STREAM_RUNS; ++run) await streamFigures(server, stream, run);
  await latencyFigures(server, module);
  server.proc.kill('SIGTERM');
  const base = { transcript: path.join(dir, 'caster.transcript') };
  base.link = await startModule('caster.port', ['--stream', String(STREAM_BAUD),
    '--stream-format', 'rtcm', '--stream-stamps', 'on', '--transcript', base.transcript,
    '--reboot', 'vanish', '--reboot-delay-ms', '2000']);
  base.proc = started.at(-1);
  const users = secretFile('caster-user', 'caster-users', ROVER_PASSWORD, ROVER_USER);
  await casterFigures(await startServer([base.link], ['--caster', '127.0.0.1:0',
    '--mount', `BASE=${base.link}`, '--caster-users', users]), base);
} finally {
  for (const p of started) p.kill('SIGTERM');
}
