// A stand-in for the computer's web port in browser tests: serves the page's files with the real
// headers and speaks PROTOCOL.md section 10 from the computer's side, over a WebSocket (/session)
// and over the stream (/stream). Each session is driven by the test: accept, decline, send frames,
// close with a code, or drop the connection. Loopback only.
import { createServer } from 'node:https';
import { readFileSync, mkdtempSync, rmSync } from 'node:fs';
import { execFileSync } from 'node:child_process';
import { X509Certificate, createHash, randomInt } from 'node:crypto';
import { EventEmitter, once } from 'node:events';
import { tmpdir } from 'node:os';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import { WebSocketServer } from 'ws';

const VIEWER = join(dirname(fileURLToPath(import.meta.url)), '..');
const FILES = {
  '/': ['index.html', 'text/html; charset=utf-8'],
  '/viewer.js': ['viewer.js', 'text/javascript; charset=utf-8'],
  '/viewer.css': ['viewer.css', 'text/css; charset=utf-8'],
  '/plist.js': ['plist.js', 'text/javascript; charset=utf-8'],
  '/icon.svg': ['icon.svg', 'image/svg+xml'],
};
const CSP =
  "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob:; connect-src 'self'; " +
  "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
const COMMON = { 'Cache-Control': 'no-store', 'X-Content-Type-Options': 'nosniff', 'Referrer-Policy': 'no-referrer' };
const CODE_LETTERS = 'ACDEFGHJKMNPQRTUVWXY3479';

/** A throwaway self-signed identity for 127.0.0.1 and localhost, and its SPKI pin for Chromium. */
export function makeIdentity() {
  const dir = mkdtempSync(join(tmpdir(), 'viewer-cert-'));
  try {
    execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes',
      '-keyout', join(dir, 'key.pem'), '-out', join(dir, 'cert.pem'), '-days', '2', '-subj', '/CN=localhost',
      '-addext', 'subjectAltName=DNS:localhost,IP:127.0.0.1', '-addext', 'extendedKeyUsage=serverAuth'], { stdio: 'pipe' });
    const cert = readFileSync(join(dir, 'cert.pem'));
    const key = readFileSync(join(dir, 'key.pem'));
    const spki = new X509Certificate(cert).publicKey.export({ type: 'spki', format: 'der' });
    return { cert, key, spkiPin: createHash('sha256').update(spki).digest('base64') };
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
}

function record(kind, payload) {
  const head = Buffer.alloc(5);
  head[0] = kind;
  head.writeUInt32BE(payload.length, 1);
  return Buffer.concat([head, payload]);
}

// One browser phone, whichever path it came by. Events: 'invitation', 'joined', 'closed'.
class Session extends EventEmitter {
  constructor(server, transport) {
    super();
    this.server = server;
    this.transport = transport;
    this.code = server.code ?? Array.from({ length: 4 }, () => CODE_LETTERS[randomInt(CODE_LETTERS.length)]).join('');
    this.state = 'new';
    this.invitation = null;
  }

  get userId() {
    return this.invitation?.context === undefined ? undefined : Buffer.from(this.invitation.context, 'base64').toString('utf8');
  }

  invited(message) {
    this.invitation = message;
    this.state = 'invited';
    this.server.invitations.push({ session: this, ...message });
    this.emit('invitation', message);
    this.server.emit('invitation', this);
    if (this.server.remembered.has(this.userId)) this.accept();
  }

  accept() {
    this.state = 'accepted';
    this.sendControl({ name: this.server.name, type: 'accept' });
    if (this.transport === 'stream') this.join(); // a stream cannot answer: joined once accept is written
  }

  decline() {
    this.sendControl({ type: 'decline' });
    this.close(1000, 'declined');
  }

  join() {
    this.state = 'joined';
    this.emit('joined');
    this.server.emit('joined', this);
    if (this.server.newest) this.sendFrame(this.server.newest); // a joining phone sees the current design
  }
}

class SocketSession extends Session {
  constructor(server, ws) {
    super(server, 'websocket');
    this.ws = ws;
    ws.on('message', (data, isBinary) => {
      if (isBinary) return;
      const message = JSON.parse(data.toString('utf8'));
      if (message.type === 'invitation' && this.state === 'new') this.invited(message);
      else if (message.type === 'joined' && this.state === 'accepted') this.join();
      else this.close(1008, `unexpected ${message.type}`);
    });
    ws.on('close', () => {
      this.state = 'closed';
      this.emit('closed');
    });
    this.sendControl({ code: this.code, name: server.name, type: 'hello', ...server.helloExtra });
  }
  sendControl(message) {
    this.ws.send(JSON.stringify(message));
  }
  sendFrame(bytes) {
    if (this.state === 'joined') this.ws.send(bytes, { binary: true });
  }
  close(code, reason) {
    this.ws.close(code, reason);
  }
  drop() {
    this.ws.terminate();
  }
}

class StreamSession extends Session {
  constructor(server, response) {
    super(server, 'stream');
    this.response = response;
    response.writeHead(200, { ...COMMON, 'Content-Type': 'application/octet-stream' });
    response.flushHeaders();
    this.keepalive = setInterval(() => this.write(record(3, Buffer.alloc(0))), 2000);
    response.on('close', () => {
      clearInterval(this.keepalive);
      this.state = 'closed';
      this.emit('closed');
    });
    this.sendControl({ code: this.code, name: server.name, type: 'hello', ...server.helloExtra });
  }
  write(bytes) {
    if (!this.response.writableEnded && !this.response.destroyed) this.response.write(bytes);
  }
  sendControl(message) {
    this.write(record(1, Buffer.from(JSON.stringify(message))));
  }
  sendFrame(bytes) {
    if (this.state === 'joined') this.write(record(2, Buffer.from(bytes)));
  }
  close(code, reason) {
    const payload = Buffer.alloc(2 + Buffer.byteLength(reason));
    payload.writeUInt16BE(code, 0);
    payload.write(reason, 2);
    this.write(record(4, payload));
    clearInterval(this.keepalive);
    this.response.end();
  }
  drop() {
    clearInterval(this.keepalive);
    this.response.socket?.destroy();
  }
}

export class MockComputer extends EventEmitter {
  constructor(identity, name = 'Studio Mac') {
    super();
    this.name = name;
    this.invitations = [];
    this.sessions = [];
    this.remembered = new Set();
    this.newest = null;
    this.code = undefined; // a fixed code for screenshots; random otherwise, like the computer's
    this.helloExtra = {}; // keys that replace the hello's own, for hostile rows
    this.refuseWebSocket = false; // as a browser that will not open wss: behind a self-signed certificate sees it
    this.unreachable = false; // /session and /stream dropped at once, as when the computer is away
    this.server = createServer({ cert: identity.cert, key: identity.key }, (req, res) => this.request(req, res));
    this.wss = new WebSocketServer({ noServer: true, maxPayload: 16 << 20 });
    this.server.on('upgrade', (req, socket, head) => this.upgrade(req, socket, head));
  }

  async listen() {
    this.server.listen(0, '127.0.0.1');
    await once(this.server, 'listening');
    this.port = this.server.address().port;
    this.origin = `https://127.0.0.1:${this.port}`;
    return this;
  }

  async close() {
    for (const s of this.sessions) if (s.state !== 'closed') s.drop();
    this.server.closeAllConnections?.();
    this.server.close();
  }

  originOk(req) {
    return req.headers.origin === `https://${req.headers.host}`;
  }

  adopt(session) {
    this.sessions.push(session);
    this.emit('session', session);
  }

  upgrade(req, socket, head) {
    if (this.refuseWebSocket || this.unreachable) {
      socket.destroy();
      return;
    }
    if (req.url !== '/session' || !this.originOk(req)) {
      socket.end('HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Length: 0\r\n\r\n');
      return;
    }
    this.wss.handleUpgrade(req, socket, head, (ws) => this.adopt(new SocketSession(this, ws)));
  }

  request(req, res) {
    const url = new URL(req.url, 'https://x');
    if (url.pathname === '/stream') {
      if (this.unreachable) return req.socket.destroy();
      if (req.method !== 'POST') return this.plain(res, 405, { Allow: 'POST' });
      if (!this.originOk(req)) return this.plain(res, 403);
      const parts = [];
      let size = 0;
      req.on('data', (d) => {
        size += d.length;
        if (size > 16384) req.destroy();
        else parts.push(d);
      });
      req.on('end', () => {
        const session = new StreamSession(this, res);
        this.adopt(session);
        session.invited(JSON.parse(Buffer.concat(parts).toString('utf8')));
      });
      return undefined;
    }
    const file = FILES[url.pathname];
    if (!file) return this.plain(res, 404);
    if (req.method !== 'GET' && req.method !== 'HEAD') return this.plain(res, 405, { Allow: 'GET, HEAD' });
    const body = readFileSync(join(VIEWER, file[0]));
    res.writeHead(200, { ...COMMON, 'Content-Type': file[1], 'Content-Security-Policy': CSP, 'Content-Length': body.length });
    res.end(req.method === 'HEAD' ? undefined : body);
    return undefined;
  }

  plain(res, status, headers = {}) {
    res.writeHead(status, { ...COMMON, ...headers, 'Content-Length': 0, Connection: 'close' });
    res.end();
  }

  /** Records a frame as the newest and sends it to every joined phone, as the computer does. */
  broadcast(frame) {
    this.newest = frame;
    for (const s of this.sessions) if (s.state === 'joined') s.sendFrame(frame);
  }

  /** The next session to send an invitation, after `count` invitations in all. */
  async invitation(count = this.invitations.length + 1) {
    while (this.invitations.length < count) await once(this, 'invitation');
    return this.invitations[count - 1].session;
  }
}
