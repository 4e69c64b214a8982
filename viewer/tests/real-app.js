// The real app (build/app/glasswing) as the computer in browser tests: started in a home of its
// own (temporary HOME, XDG folders inside it, offscreen), its web port read from its standard error,
// its web identity's SPKI pin from the file it keeps, previews put in place as the plug-in does,
// status.json read back. Its alert is answered as a user would, through the app's test seam: words
// written to the FIFO named by GLASSWING_TEST_ALERT_ANSWERS press the alert's own buttons, and each
// alert shown is said on standard error.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { constants, mkdtempSync, mkdirSync, readFileSync, renameSync, rmSync, writeFileSync } from 'node:fs';
import { randomUUID } from 'node:crypto';
import { once } from 'node:events';
import { setTimeout as delay } from 'node:timers/promises';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { spkiPin } from './mock-server.js';

const WEB_LINE = /web viewer for phones at https:\/\/[^/\s]*:(\d+)\//;

// Resolves once check() holds, looked at every 50 ms; bounded.
async function until(check, what, ms = 15000) {
  for (const end = Date.now() + ms; !check(); await delay(50)) if (Date.now() > end) throw new Error(`no ${what} within ${ms} ms`);
}

export class RealApp {
  constructor(binary) {
    this.binary = binary;
    this.home = mkdtempSync(join(tmpdir(), 'viewer-app-'));
    [this.cache, this.runtime] = ['.cache/com.tessaro.Preview', 'runtime'].map((dir) => join(this.home, dir));
    for (const dir of [this.cache, this.runtime]) mkdirSync(dir, { recursive: true, mode: 0o700 });
    this.answers = join(this.home, 'alert-answers');
    execFileSync('mkfifo', ['-m', '600', this.answers]);
  }

  /** Starts the app and waits (bounded) until its web port is open. */
  async start() {
    const env = { ...process.env, HOME: this.home, XDG_RUNTIME_DIR: this.runtime, QT_QPA_PLATFORM: 'offscreen', GLASSWING_TEST_ALERT_ANSWERS: this.answers };
    for (const name of ['XDG_CACHE_HOME', 'XDG_CONFIG_HOME', 'XDG_DATA_HOME', 'DISPLAY', 'WAYLAND_DISPLAY']) delete env[name];
    const child = spawn(this.binary, [], { env, stdio: ['ignore', 'pipe', 'pipe'], cwd: this.home });
    Object.assign(this, { child, stdout: '', stderr: '', exited: once(child, 'exit') });
    child.stdout.setEncoding('utf8').on('data', (d) => (this.stdout += d));
    child.stderr.setEncoding('utf8').on('data', (d) => (this.stderr += d));
    await until(() => WEB_LINE.test(this.stderr) || child.exitCode !== null, 'web port', 20000).catch(() => {});
    this.port = Number(WEB_LINE.exec(this.stderr)?.[1] ?? assert.fail(`no web port from glasswing (exit ${child.exitCode}):\n${this.stderr}`));
    this.origin = `https://localhost:${this.port}`;
    this.spkiPin = spkiPin(readFileSync(join(this.home, '.local/share/com.tessaro.Glasswing/web-identity.pem'), 'utf8').match(/-----BEGIN CERTIFICATE-----[\s\S]+?-----END CERTIFICATE-----/)[0]);
    return this;
  }

  /** Ends it as a user would (SIGTERM), killing it if it does not end in time. */
  async stop() {
    if (this.child.exitCode !== null || this.child.signalCode !== null) return;
    this.child.kill('SIGTERM');
    const timer = setTimeout(() => this.child.kill('SIGKILL'), 10000);
    await this.exited;
    clearTimeout(timer);
  }

  /** Puts a preview in place as the plug-in does: written beside it, then renamed. */
  writePreview(png) {
    writeFileSync(join(this.cache, '.Preview@3x.png.part'), png);
    renameSync(join(this.cache, '.Preview@3x.png.part'), join(this.cache, 'Preview@3x.png'));
  }

  read(file) {
    try {
      return JSON.parse(readFileSync(join(this.home, file), 'utf8'));
    } catch {} // not there yet, or being replaced
  }

  lines = () => this.stdout.split('\n');
  incoming = (userId) => this.lines().filter((l) => l === `Incoming User ID: ${userId}`).length;
  trusted = () => this.read('.config/com.tessaro.Glasswing/defaults.json')?.['Trusted Devices'] ?? [];
  /** The text of every alert shown so far (title, informative text, check box), in order. */
  alerts = () => [...this.stderr.matchAll(/alert shown: (.*)/g)].map((m) => m[1]);
  /** Answers the alert on screen, or the next one: 'allow', 'allow-remember' or 'deny'. Never blocks:
   *  the app holds the FIFO open; without it this throws (ENXIO) instead of hanging. */
  answer = (word) => writeFileSync(this.answers, `${word}\n`, { flag: constants.O_WRONLY | constants.O_NONBLOCK });
}

// The page against build/app/glasswing (GLASSWING_APP), with the browser test's helpers (`h`). One
// app followed through its alert: Allow (remembered), Allow (this once) and Don't Allow, then a
// restart. The rows run in order and build on each other, as one person's session would.
export function realAppRows(h) {
  const { RED, GREEN, BLUE, YELLOW, quadrants } = h;
  const APP = process.env.GLASSWING_APP;
  describe('against the real app', { concurrency: 1, skip: !APP && 'GLASSWING_APP names no app binary' }, () => {
    let app, appBrowser, appProfile, remembered;
    before(async () => {
      app = await new RealApp(APP).start();
      appProfile = mkdtempSync(join(tmpdir(), 'viewer-chromium-app-'));
      appBrowser = await h.launch(app.spkiPin, appProfile);
    });
    after(async () => {
      if (process.env.VIEWER_TEST_VERBOSE) console.log(`app stdout:\n${app?.stdout}\napp stderr:\n${app?.stderr}`);
      await appBrowser?.close();
      if (app?.child) await app.stop();
      if (app) rmSync(app.home, { recursive: true, force: true });
      if (appProfile) rmSync(appProfile, { recursive: true, force: true });
    });

    const statusIs = (connected) => until(() => app.read('.cache/com.tessaro.Preview/status.json')?.isConnected === connected, `status.json saying ${connected}`);
    const alertNumber = (n) => until(() => app.alerts().length >= n, `alert number ${n}`);
    const open = (t, options) => h.phone(t, { on: appBrowser, origin: app.origin, ...options });

    // Opens a page that is not yet trusted and returns it once the app's alert about it is up; the
    // alert names the phone and shows the code the page shows.
    async function asked(t, options = {}) {
      const userId = randomUUID();
      const alerts = app.alerts().length;
      const page = await open(t, { userId, ...options });
      await h.stateIs(page, 'waiting');
      await alertNumber(alerts + 1);
      assert.equal(app.alerts().at(-1), `Begin mirroring with "iPhone"? | A web browser on a phone, showing the code ${await h.text(page, 'code')}. | Remember this device: ticked`);
      await until(() => app.incoming(userId) === 1, `${userId} on standard output`);
      return { page, userId };
    }

    test('real app: the alert shows the page\'s code; Allow lets it in, previews show, and the remembered page rejoins without asking', async (t) => {
      const { page, userId } = await asked(t);
      app.answer('allow-remember');
      await h.stateIs(page, 'mirroring');
      await statusIs(true); // only a browser is connected, and the plug-in is told a phone is
      app.writePreview(h.FRAME1);
      await h.showsColour(page, RED);
      assert.deepEqual(await h.shownPixels(page, h.FRAME1_POINTS), { width: 60, height: 120, pixels: [RED, GREEN, BLUE, YELLOW] });
      // Written before the reloaded page joins: the app sends it on join, with no new write, and
      // lets the page in as a remembered device, with no alert.
      app.writePreview(quadrants(90, 90, [BLUE, YELLOW, RED, GREEN]));
      await h.showsColour(page, BLUE);
      const alerts = app.alerts().length;
      await page.reload();
      await h.showsColour(page, BLUE);
      assert.deepEqual((await h.shownPixels(page, [[10, 10], [80, 10], [10, 80], [80, 80]])).pixels, [BLUE, YELLOW, RED, GREEN]);
      await until(() => app.lines().includes(`Allowing Incoming User ID ${userId}`), 'the remembered device allowed');
      assert.equal(app.alerts().length, alerts);
      assert.ok(app.trusted().includes(userId), `trusted devices: ${JSON.stringify(app.trusted())}`);
      remembered = userId;
      await page.browserContext().close();
      await statusIs(false);
    });

    test('real app: over the forced stream path, Allow without remembering shows the current design and the next', async (t) => {
      const { page, userId } = await asked(t, { query: '?transport=stream' });
      assert.equal((await h.dataset(page)).transport, 'stream');
      app.answer('allow');
      await h.showsColour(page, BLUE); // the newest preview the app has read
      app.writePreview(quadrants(40, 80, [YELLOW, YELLOW, BLUE, BLUE]));
      await h.showsColour(page, YELLOW);
      assert.deepEqual((await h.shownPixels(page, [[5, 5], [35, 75]])).pixels, [YELLOW, BLUE]);
      assert.ok(!app.trusted().includes(userId), 'allowed once, yet remembered');
    });

    test('real app: Don\'t Allow shows the declined state, and the app is asked again only when the user taps "Ask again"', async (t) => {
      const { page, userId } = await asked(t);
      app.answer('deny');
      await h.stateIs(page, 'declined');
      assert.match(await page.evaluate(() => window.__seen.at(-1)), /chose Don’t Allow\. \| Ask again$/);
      await h.staysPut(page, () => app.incoming(userId));
      assert.deepEqual([app.incoming(userId), app.lines().includes(`Allowing Incoming User ID ${userId}`), app.trusted().includes(userId)], [1, false, false]);
      const alerts = app.alerts().length;
      await page.click('#action');
      await alertNumber(alerts + 1);
      await until(() => app.incoming(userId) === 2, 'the second invitation on standard output');
    });

    test('real app: restarted with the same identity, the open page rejoins by itself', async (t) => {
      const page = await open(t, { userId: remembered });
      await h.showsColour(page, YELLOW);
      const port = app.port;
      await app.stop();
      await h.stateIs(page, 'retrying');
      await app.start();
      assert.equal(app.port, port, `the web port is kept from run to run:\n${app.stderr}`);
      // The browser still pins the first identity: joining again proves the certificate is the same.
      await page.waitForFunction(() => document.documentElement.dataset.state === 'mirroring', { timeout: 40000 });
      app.writePreview(quadrants(80, 40, [GREEN, RED, GREEN, RED]));
      await h.showsColour(page, GREEN);
    });
  });
}
