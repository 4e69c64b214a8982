// A stand-in for the computer's web port in browser tests: serves the page's files (the real app's
// headers are the real-app rows' to meet) and speaks PROTOCOL.md section 10 from the computer's
// side, over a WebSocket (/session) and over the stream (/stream). Each session is driven by the
// test: accept, send control messages and frames, close with a code, or drop the connection.
// Loopback only.
import { createServer } from 'node:https';
import { readFileSync } from 'node:fs';
import { execFileSync } from 'node:child_process';
import { X509Certificate, createHash } from 'node:crypto';
import { EventEmitter, once } from 'node:events';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import { WebSocketServer } from 'ws';

const VIEWER = join(dirname(fileURLToPath(import.meta.url)), '..');
const TYPES = { html: 'text/html; charset=utf-8', js: 'text/javascript; charset=utf-8', css: 'text/css; charset=utf-8', svg: 'image/svg+xml' };
const FILES = ['/viewer.js', '/viewer.css', '/plist.js', '/icon.svg'];

/** The SPKI pin Chromium takes for a certificate (PEM). */
export const spkiPin = (cert) => createHash('sha256').update(new X509Certificate(cert).publicKey.export({ type: 'spki', format: 'der' })).digest('base64');

/** A throwaway self-signed identity for 127.0.0.1 and localhost, and its SPKI pin. */
export function makeIdentity() {
  // Key and certificate both on standard output, one PEM block after the other: nothing on disk.
  const pem = execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes',
    '-keyout', '-', '-out', '-', '-days', '2', '-subj', '/CN=localhost',
    '-addext', 'subjectAltName=DNS:localhost,IP:127.0.0.1', '-addext', 'extendedKeyUsage=serverAuth'], { encoding: 'utf8', stdio: 'pipe' });
  const [key, cert] = ['PRIVATE KEY', 'CERTIFICATE'].map((label) => pem.match(new RegExp(`-----BEGIN ${label}-----[^-]+-----END ${label}-----`))[0]);
  return { cert, key, spkiPin: spkiPin(cert) };
}

/** A stream record: kind, 4-byte length, payload (bytes or text). */
function record(kind, payload) {
  const body = Buffer.from(payload);
  return Buffer.concat([Buffer.from([kind, body.length >>> 24, body.length >>> 16, body.length >>> 8, body.length]), body]);
}

// One browser phone, whichever path it came by; emits 'joined'. `out` sends a control message or a
// frame, closes with a code or drops the connection (as close and drop here); a stream session has no
// way back, so it counts as joined once accept is written.
class Session extends EventEmitter {
  constructor(server, transport, out, closed) {
    super();
    Object.assign(this, { server, transport, out, state: 'new', invitation: null, close: out.close, drop: out.drop });
    server.sessions.push(this);
    closed.on('close', () => (this.state = 'closed'));
    this.code = `K${'3479'[server.sessions.length % 4]}Q2`; // one per session, so that a page showing another's fails
    out.control({ code: this.code, name: server.name, type: 'hello' });
  }
  get userId() {
    return this.invitation && Buffer.from(this.invitation.context ?? '', 'base64').toString('utf8');
  }
  invited(message) {
    Object.assign(this, { invitation: message, state: 'invited' });
    this.server.invitations.push(this);
    this.server.emit('invitation');
  }
  accept() {
    this.state = 'accepted';
    this.out.control({ name: this.server.name, type: 'accept' });
    if (this.transport === 'stream') this.join();
  }
  join() {
    this.state = 'joined';
    this.emit('joined');
  }
  sendFrame(bytes) {
    if (this.state === 'joined') this.out.frame(Buffer.from(bytes));
  }
}

export class MockComputer extends EventEmitter {
  // Options: refuseWebSocket (as a browser behind a self-signed certificate may see it),
  // unreachable (/session and /stream dropped at once, as when the computer is away).
  constructor(identity, options = {}) {
    super();
    Object.assign(this, { name: 'Studio Mac', keepaliveMs: 2000, invitations: [], sessions: [] }, options);
    this.server = createServer({ cert: identity.cert, key: identity.key }, (req, res) => this.request(req, res));
    this.wss = new WebSocketServer({ noServer: true, maxPayload: 16 << 20 });
    this.server.on('upgrade', (req, socket, head) => this.upgrade(req, socket, head));
  }

  async listen() {
    await once(this.server.listen(0, '127.0.0.1'), 'listening');
    this.origin = `https://127.0.0.1:${this.server.address().port}`;
    return this;
  }

  async close() {
    for (const s of this.sessions) if (s.state !== 'closed') s.drop();
    this.server.closeAllConnections();
    this.server.close();
  }

  upgrade(req, socket, head) {
    if (this.refuseWebSocket || this.unreachable || req.url !== '/session') return socket.destroy();
    return this.wss.handleUpgrade(req, socket, head, (ws) => {
      const session = new Session(this, 'websocket', {
        control: (m) => ws.send(JSON.stringify(m)),
        frame: (bytes) => ws.send(bytes, { binary: true }),
        close: (code, reason) => ws.close(code, reason),
        drop: () => ws.terminate(),
      }, ws);
      ws.on('message', (data) => {
        const message = JSON.parse(data.toString('utf8'));
        if (message.type === 'invitation' && session.state === 'new') session.invited(message);
        else if (message.type === 'joined' && session.state === 'accepted') session.join();
        else session.close(1008, `unexpected ${message.type}`);
      });
    });
  }

  request(req, res) {
    const path = new URL(req.url, 'https://x').pathname;
    if (path === '/stream') return this.stream(req, res);
    if (path !== '/' && !FILES.includes(path)) return res.writeHead(404).end();
    const file = path === '/' ? 'index.html' : path.slice(1);
    res.writeHead(200, { 'Content-Type': TYPES[file.split('.').pop()] });
    return res.end(readFileSync(join(VIEWER, file)));
  }

  stream(req, res) {
    if (this.unreachable) return req.socket.destroy();
    const parts = [];
    req.on('data', (d) => parts.push(d));
    return req.on('end', () => {
      res.writeHead(200, { 'Content-Type': 'application/octet-stream' });
      res.flushHeaders();
      const write = (bytes) => !res.writableEnded && !res.destroyed && res.write(bytes);
      const keepalive = setInterval(() => write(record(3, [])), this.keepaliveMs);
      res.on('close', () => clearInterval(keepalive));
      const session = new Session(this, 'stream', {
        control: (m) => write(record(1, JSON.stringify(m))),
        frame: (bytes) => write(record(2, bytes)),
        close: (code, reason) => {
          write(record(4, Buffer.concat([Buffer.from([code >> 8, code]), Buffer.from(reason)])));
          res.end();
        },
        drop: () => res.socket?.destroy(),
      }, res);
      session.write = write;
      session.invited(JSON.parse(Buffer.concat(parts).toString('utf8')));
    });
  }

  /** The session that sent the `count`th invitation (by default the next one). */
  async invitation(count = this.invitations.length + 1) {
    while (this.invitations.length < count) await once(this, 'invitation');
    return this.invitations[count - 1];
  }
}
