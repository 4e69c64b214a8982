// The real app (build/app/glasswing) as the computer in browser tests: started in a home of its
// own (temporary HOME, XDG folders inside it, offscreen), its web port read from its standard error
// line, its web identity's SPKI pin read from the file it keeps, previews put in place as the
// plug-in does, status.json read back. Alerts cannot be answered from outside the process, so
// phones that must get in are pre-seeded as "Trusted Devices", as the end-to-end tests do.
import { spawn } from 'node:child_process';
import { mkdtempSync, mkdirSync, writeFileSync, readFileSync, renameSync, rmSync } from 'node:fs';
import { X509Certificate, createHash } from 'node:crypto';
import { once } from 'node:events';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const WEB_LINE = /web viewer for phones at https:\/\/[^/\s]*:(\d+)\//;

export class RealApp {
  constructor(binary, trusted = []) {
    this.binary = binary;
    this.home = mkdtempSync(join(tmpdir(), 'viewer-app-'));
    this.config = join(this.home, '.config', 'com.tessaro.Glasswing');
    this.cache = join(this.home, '.cache', 'com.tessaro.Preview');
    this.data = join(this.home, '.local', 'share', 'com.tessaro.Glasswing');
    this.runtime = join(this.home, 'runtime');
    mkdirSync(this.config, { recursive: true });
    mkdirSync(this.cache, { recursive: true });
    mkdirSync(this.runtime, { recursive: true, mode: 0o700 });
    writeFileSync(join(this.config, 'defaults.json'), JSON.stringify({ 'Trusted Devices': trusted }));
  }

  /** Starts the app and waits (bounded) until its web port is open. */
  async start(waitMs = 20000) {
    const env = { ...process.env, HOME: this.home, XDG_RUNTIME_DIR: this.runtime, QT_QPA_PLATFORM: 'offscreen' };
    for (const name of ['XDG_CACHE_HOME', 'XDG_CONFIG_HOME', 'XDG_DATA_HOME', 'DISPLAY', 'WAYLAND_DISPLAY']) delete env[name];
    this.stdout = '';
    this.stderr = '';
    const child = spawn(this.binary, [], { env, stdio: ['ignore', 'pipe', 'pipe'], cwd: this.home });
    this.child = child;
    this.exited = once(child, 'exit');
    child.stdout.setEncoding('utf8').on('data', (d) => {
      this.stdout += d;
    });
    child.stderr.setEncoding('utf8');
    const port = new Promise((resolve, reject) => {
      child.stderr.on('data', (d) => {
        this.stderr += d;
        const match = WEB_LINE.exec(this.stderr);
        if (match) resolve(Number(match[1]));
      });
      child.on('exit', (code, signal) => reject(new Error(`glasswing exited (${code ?? signal}) before its web port opened:\n${this.stderr}`)));
    });
    let timer;
    this.port = await Promise.race([port, new Promise((_, reject) => {
      timer = setTimeout(() => reject(new Error(`no web port from glasswing within ${waitMs} ms:\n${this.stderr}`)), waitMs);
    })]).finally(() => clearTimeout(timer));
    this.origin = `https://localhost:${this.port}`;
    const pem = readFileSync(join(this.data, 'web-identity.pem'), 'utf8');
    const cert = pem.match(/-----BEGIN CERTIFICATE-----[\s\S]+?-----END CERTIFICATE-----/)[0];
    const spki = new X509Certificate(cert).publicKey.export({ type: 'spki', format: 'der' });
    this.spkiPin = createHash('sha256').update(spki).digest('base64');
    return this;
  }

  /** Ends it as a user would (SIGTERM), killing it if it does not end in time. */
  async stop(waitMs = 10000) {
    if (!this.child || this.child.exitCode !== null || this.child.signalCode !== null) return;
    this.child.kill('SIGTERM');
    const timer = setTimeout(() => this.child.kill('SIGKILL'), waitMs);
    await this.exited;
    clearTimeout(timer);
  }

  async dispose() {
    await this.stop();
    rmSync(this.home, { recursive: true, force: true });
  }

  /** Puts a preview in place as the plug-in does: written beside it, then renamed. */
  writePreview(png) {
    const part = join(this.cache, '.Preview@3x.png.part');
    writeFileSync(part, png);
    renameSync(part, join(this.cache, 'Preview@3x.png'));
  }

  status() {
    try {
      return JSON.parse(readFileSync(join(this.cache, 'status.json'), 'utf8'));
    } catch {
      return null;
    }
  }

  lines() {
    return this.stdout.split('\n').filter(Boolean);
  }
}
