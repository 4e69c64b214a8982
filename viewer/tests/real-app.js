// The real app (build/app/glasswing) as the computer in browser tests: started in a home of its
// own (temporary HOME, XDG folders inside it, offscreen), its web port read from its standard error
// line, its web identity's SPKI pin read from the file it keeps, previews put in place as the
// plug-in does, status.json read back. Its alert is answered as a user would, through the app's
// test seam: answers written to the FIFO named by GLASSWING_TEST_ALERT_ANSWERS press the alert's
// own buttons, and each alert shown is said on standard error.
//
// The rows at the end (realAppRows) run the page against it, with the browser test's helpers.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import {
  closeSync, constants, mkdtempSync, mkdirSync, openSync, readFileSync, renameSync, rmSync, watch, writeFileSync, writeSync,
} from 'node:fs';
import { X509Certificate, createHash, randomUUID } from 'node:crypto';
import { once } from 'node:events';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const WEB_LINE = /web viewer for phones at https:\/\/[^/\s]*:(\d+)\//;
const ALERT_LINE = /alert shown: (.*)/g;

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
    this.answers = join(this.home, 'alert-answers');
    execFileSync('mkfifo', ['-m', '600', this.answers]);
  }

  /** Starts the app and waits (bounded) until its web port is open. */
  async start(waitMs = 20000) {
    const env = {
      ...process.env, HOME: this.home, XDG_RUNTIME_DIR: this.runtime, QT_QPA_PLATFORM: 'offscreen', GLASSWING_TEST_ALERT_ANSWERS: this.answers,
    };
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

  /** The text of every alert shown so far (title, informative text, check box), in order. */
  alerts() {
    return [...this.stderr.matchAll(ALERT_LINE)].map((m) => m[1]);
  }

  /** Answers the alert on screen, or the next one: 'allow', 'allow-remember' or 'deny'. */
  answer(word) {
    // Never blocks: the app holds the FIFO open; without it this throws (ENXIO) instead of hanging.
    const fd = openSync(this.answers, constants.O_WRONLY | constants.O_NONBLOCK);
    try {
      writeSync(fd, `${word}\n`);
    } finally {
      closeSync(fd);
    }
  }

  trustedDevices() {
    try {
      return JSON.parse(readFileSync(join(this.config, 'defaults.json'), 'utf8'))['Trusted Devices'] ?? [];
    } catch {
      return [];
    }
  }
}


// Resolves once check() holds, re-checking whenever one of the sources reports; bounded.
function until(check, sources, what, ms) {
  return new Promise((resolve, reject) => {
    const off = [];
    const done = (error) => {
      clearTimeout(timer);
      for (const f of off) f();
      if (error) reject(error);
      else resolve();
    };
    const test = () => {
      try {
        if (check()) done();
      } catch (e) {
        done(e);
      }
    };
    const timer = setTimeout(() => done(new Error(`no ${what} within ${ms} ms`)), ms);
    for (const [emitter, event] of sources) {
      emitter.on(event, test);
      off.push(() => emitter.off(event, test));
    }
    test();
  });
}

const RED = [255, 0, 0, 255];
const GREEN = [0, 255, 0, 255];
const BLUE = [0, 0, 255, 255];
const YELLOW = [255, 255, 0, 255];

// The page against build/app/glasswing (GLASSWING_APP), with the browser test's helpers (`h`). Rows
// that need the mock's scripting (time-outs, drops, hostile bytes) stay with the mock; these follow
// one app through its alert: answered Allow (remembered), Allow (this once) and Don't Allow, then a
// restart. They run in order and build on each other, as one person's session would.
export function realAppRows(h) {
  const { quadrants } = h;
  const APP = process.env.GLASSWING_APP;
  describe('against the real app', { concurrency: 1, skip: !APP && 'GLASSWING_APP names no app binary' }, () => {
    let app;
    let appBrowser;
    let appProfile;
    let folderEvents;
    let remembered; // the user ID the first row's Allow remembered
    const P1 = quadrants(60, 120, [RED, GREEN, BLUE, YELLOW]);
    const P2 = quadrants(90, 90, [BLUE, YELLOW, RED, GREEN]);
    const P3 = quadrants(40, 80, [YELLOW, YELLOW, BLUE, BLUE]);
    const P4 = quadrants(80, 40, [GREEN, RED, GREEN, RED]);

    before(async () => {
      app = await new RealApp(APP).start();
      appProfile = mkdtempSync(join(tmpdir(), 'viewer-chromium-app-'));
      appBrowser = await h.launch(app.spkiPin, appProfile);
      folderEvents = watch(app.cache); // status.json and previews are replaced by rename: each shows here
    });

    after(async () => {
      if (process.env.VIEWER_TEST_VERBOSE) console.log(`app stdout:\n${app?.stdout}\napp stderr:\n${app?.stderr}`);
      folderEvents?.close();
      await appBrowser?.close();
      await app?.dispose();
      if (appProfile) rmSync(appProfile, { recursive: true, force: true });
    });

    const statusIs = (connected) =>
      until(() => app.status()?.isConnected === connected, [[folderEvents, 'change']], `status.json saying ${connected}`, h.WAIT_MS);
    const printed = (line) => until(() => app.lines().includes(line), [[app.child.stdout, 'data']], `"${line}" on standard output`, h.WAIT_MS);
    const alertNumber = (n, ms = h.WAIT_MS) => until(() => app.alerts().length >= n, [[app.child.stderr, 'data']], `alert number ${n}`, ms);

    // Opens a page that is not yet trusted and returns it once the app's alert about it is up; the
    // alert names the phone and shows the code the page shows.
    async function asked(t, options = {}) {
      const userId = randomUUID();
      const before = app.alerts().length;
      const page = await h.phone(t, { on: appBrowser, origin: app.origin, userId, ...options });
      await h.stateIs(page, 'waiting');
      const code = await h.text(page, 'code');
      assert.match(code, /^[ACDEFGHJKMNPQRTUVWXY3479]{4}$/);
      assert.match(await h.text(page, 'message'), /choose Allow when Glasswing asks about “iPhone”/);
      await alertNumber(before + 1);
      assert.equal(app.alerts().length, before + 1);
      assert.equal(
        app.alerts().at(-1),
        `Begin mirroring with "iPhone"? | A web browser on a phone, showing the code ${code}. | Remember this device: ticked`,
      );
      await printed(`Incoming User ID: ${userId}`);
      assert.ok(!app.lines().includes(`Allowing Incoming User ID ${userId}`));
      return { page, userId };
    }

    test('real app: the alert shows the page\'s code; Allow lets it in, previews show, and the remembered page rejoins without asking', async (t) => {
      const { page, userId } = await asked(t);
      app.answer('allow-remember');
      await h.stateIs(page, 'mirroring');
      // Only a browser is connected, and the plug-in is told a phone is.
      await statusIs(true);
      app.writePreview(P1);
      await h.showsColour(page, RED);
      assert.deepEqual(await h.shownPixels(page, [[5, 5], [55, 5], [5, 115], [55, 115]]), { width: 60, height: 120, pixels: [RED, GREEN, BLUE, YELLOW] });
      app.writePreview(P2);
      await h.showsColour(page, BLUE);
      // Written before the reloaded page joins: the app sends it on join, with no new write, and
      // lets the page in as a remembered device, with no alert.
      const alerts = app.alerts().length;
      await page.reload();
      await h.showsColour(page, BLUE);
      assert.deepEqual((await h.shownPixels(page, [[10, 10], [80, 10], [10, 80], [80, 80]])).pixels, [BLUE, YELLOW, RED, GREEN]);
      await printed(`Allowing Incoming User ID ${userId}`);
      await h.stateIs(page, 'mirroring');
      assert.equal(app.alerts().length, alerts);
      assert.ok(app.trustedDevices().includes(userId), `trusted devices: ${JSON.stringify(app.trustedDevices())}`);
      remembered = userId;
      await page.browserContext().close();
      await statusIs(false);
      assert.deepEqual(page.problems, []);
    });

    test('real app: over the forced stream path, Allow without remembering shows the current design and the next', async (t) => {
      const { page, userId } = await asked(t, { query: '?transport=stream' });
      assert.equal((await h.dataset(page)).transport, 'stream');
      app.answer('allow');
      await h.stateIs(page, 'mirroring');
      await statusIs(true);
      await h.showsColour(page, BLUE); // P2, the newest the app has read
      app.writePreview(P3);
      await h.showsColour(page, YELLOW);
      assert.deepEqual((await h.shownPixels(page, [[5, 5], [35, 75]])).pixels, [YELLOW, BLUE]);
      assert.ok(!app.trustedDevices().includes(userId), 'allowed once, yet remembered');
      assert.deepEqual(page.problems, []);
    });

    test('real app: Don\'t Allow shows the declined state, and the app is asked again only when the user taps "Ask again"', async (t) => {
      const { page, userId } = await asked(t);
      const attempts = (await h.dataset(page)).attempts;
      app.answer('deny');
      await h.stateIs(page, 'declined');
      assert.match(await h.text(page, 'message'), /chose Don’t Allow/);
      assert.ok(await h.visible(page, 'action'));
      assert.equal(await h.text(page, 'action'), 'Ask again');
      // The page's clock is run 30 s ahead, past every back-off of its retries: it connects again to
      // no one. The app, for its part, puts up no second alert by itself.
      const alerts = app.alerts().length;
      const cdp = await page.createCDPSession();
      const expired = once(cdp, 'Emulation.virtualTimeBudgetExpired');
      await cdp.send('Emulation.setVirtualTimePolicy', { policy: 'advance', budget: 30000 });
      await Promise.all([expired, assert.rejects(alertNumber(alerts + 1, 1000), /no alert number/)]);
      assert.equal((await h.dataset(page)).attempts, attempts);
      assert.equal((await h.dataset(page)).state, 'declined');
      await cdp.send('Emulation.setVirtualTimePolicy', { policy: 'advance' });
      assert.equal(app.lines().filter((l) => l === `Incoming User ID: ${userId}`).length, 1);
      assert.ok(!app.lines().includes(`Allowing Incoming User ID ${userId}`));
      assert.ok(!app.trustedDevices().includes(userId));
      // Asked again by the user, the app asks its user again.
      await page.click('#action');
      await alertNumber(alerts + 1);
      assert.match(app.alerts().at(-1), /^Begin mirroring with "iPhone"\? \| A web browser on a phone, showing the code [A-Z0-9]{4}\./);
      const incoming = () => app.lines().filter((l) => l === `Incoming User ID: ${userId}`).length;
      await until(() => incoming() === 2, [[app.child.stdout, 'data']], 'the second invitation on standard output', h.WAIT_MS);
      assert.deepEqual(page.problems, []);
    });

    test('real app: restarted with the same identity, the open page rejoins by itself', async (t) => {
      const page = await h.phone(t, { on: appBrowser, origin: app.origin, userId: remembered });
      await h.stateIs(page, 'mirroring');
      await h.showsColour(page, YELLOW);
      const port = app.port;
      await app.stop();
      await h.stateIs(page, 'retrying');
      await app.start();
      assert.equal(app.port, port, `the web port is kept from run to run:\n${app.stderr}`);
      // The browser still pins the first identity: joining again proves the certificate is the same.
      await page.waitForFunction(() => document.documentElement.dataset.state === 'mirroring', { timeout: 40000 });
      app.writePreview(P4);
      await h.showsColour(page, GREEN);
      const problems = page.problems.filter((p) => !/ERR_|WebSocket|Failed to load resource/.test(p));
      assert.deepEqual(problems, []);
    });
  });
}
