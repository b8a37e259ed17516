// A remote caster for the push's tests: it takes NTRIP 2.0 sources (POST,
// chunked) and 1.0 sources (SOURCE), records each attempt with its
// credentials and the bytes of each one it accepted, refuses when told, and
// stops and starts again on its port. Also the tests' own reading of RTCM 3
// frames, written apart from the product's: the CRC-24Q and the frames.
import net from 'node:net';

const CRC24Q = 0x1864CFB;

export function crc24q(bytes) {
  let crc = 0;
  for (const b of bytes) {
    crc ^= b << 16;
    for (let i = 0; i < 8; i++) {
      crc <<= 1;
      if (crc & 0x1000000) crc ^= CRC24Q;
    }
  }
  return crc & 0xFFFFFF;
}

// The frames of a byte stream that holds nothing else: each one's message
// number, the count an MSM frame of the simulated module carries (payload
// bytes 2 to 5), and its bytes. junk counts the bytes that are no checked
// frame, but for a frame cut short at the end (a client stopped).
export function readFrames(buffer) {
  const frames = [];
  let junk = 0;
  for (let at = 0; at < buffer.length;) {
    const length = at + 3 <= buffer.length ? ((buffer[at + 1] & 3) << 8) | buffer[at + 2] : -1;
    const end = at + 3 + length + 3;
    if (buffer[at] === 0xD3 && (length < 0 || end > buffer.length)) break;
    if (buffer[at] !== 0xD3 || length < 2 ||
        crc24q(buffer.subarray(at, end - 3)) !== buffer.readUIntBE(end - 3, 3)) {
      junk++;
      at++;
      continue;
    }
    const number = (buffer[at + 3] << 4) | (buffer[at + 4] >> 4);
    const count = length >= 6 && number !== 1005 ? buffer.readUInt32BE(at + 5) : null;
    frames.push({ number, count, bytes: buffer.subarray(at, end) });
    at = end;
  }
  return { frames, junk };
}

// A chunked body's data, as far as it is whole.
export function dechunk(buffer) {
  const parts = [];
  for (let at = 0; ;) {
    const line = buffer.indexOf('\r\n', at);
    if (line < 0) break;
    const size = parseInt(buffer.subarray(at, line).toString(), 16);
    if (!(size > 0) || line + 2 + size + 2 > buffer.length) break;
    parts.push(buffer.subarray(line + 2, line + 2 + size));
    at = line + 2 + size + 2;
  }
  return Buffer.concat(parts);
}

function readHead(text) {
  const [first, ...lines] = text.split('\r\n');
  const headers = {};
  for (const line of lines) {
    const colon = line.indexOf(':');
    if (colon > 0) headers[line.slice(0, colon).toLowerCase()] = line.slice(colon + 1).trim();
  }
  const source = first.match(/^SOURCE (\S+) \/(\S+)$/);
  if (source) return { version: 1, user: '', password: source[1], mount: source[2], first, headers };
  const post = first.match(/^POST \/(\S+) HTTP\/1\.1$/);
  const basic = (headers.authorization || '').match(/^Basic (\S+)$/);
  const pair = basic ? Buffer.from(basic[1], 'base64').toString() : ':';
  const colon = pair.indexOf(':');
  return { version: post ? 2 : 0, user: pair.slice(0, colon), password: pair.slice(colon + 1),
    mount: post ? post[1] : '', first, headers };
}

// { user, password, mount, refuse }: the source it takes.
export async function startTestCaster(want) {
  const caster = { ...want, attempts: [], sockets: new Set() };
  const serve = (socket) => {
    caster.sockets.add(socket);
    socket.on('close', () => caster.sockets.delete(socket));
    socket.on('error', () => {});
    let head = Buffer.alloc(0);
    let attempt = null;
    socket.on('data', (chunk) => {
      if (attempt) {
        attempt.raw = Buffer.concat([attempt.raw, chunk]);
        return;
      }
      head = Buffer.concat([head, chunk]);
      const end = head.indexOf('\r\n\r\n');
      if (end < 0) return;
      attempt = { at: Date.now(), ...readHead(head.subarray(0, end).toString('latin1')),
        raw: head.subarray(end + 4), open: true };
      socket.on('close', () => { attempt.open = false; attempt.closedAt = Date.now(); });
      caster.attempts.push(attempt);
      attempt.accepted = !caster.refuse && attempt.user === caster.user &&
        attempt.password === caster.password && attempt.mount === caster.mount;
      const v2 = attempt.version === 2;
      if (attempt.accepted) {
        socket.write(v2 ? 'HTTP/1.1 200 OK\r\nNtrip-Version: Ntrip/2.0\r\n\r\n' : 'ICY 200 OK\r\n');
      } else {
        socket.end(v2 ? 'HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n'
          : 'ERROR - Bad Password\r\n');
      }
    });
  };
  caster.listen = (port) => new Promise((resolve) => {
    caster.server = net.createServer(serve);
    caster.server.listen(port, '127.0.0.1', () => {
      caster.port = caster.server.address().port;
      resolve();
    });
  });
  caster.stop = () => new Promise((resolve) => {
    for (const socket of caster.sockets) socket.destroy();
    caster.server.close(resolve);
  });
  // The data of each accepted connection, as the source sent it.
  caster.received = () => caster.attempts.filter((a) => a.accepted)
    .map((a) => (a.version === 2 ? dechunk(a.raw) : a.raw));
  await caster.listen(0);
  return caster;
}
