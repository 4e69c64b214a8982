// The web viewer in a real browser (Debian's Chromium, headless, driven by puppeteer-core) against a
// stand-in computer that speaks the browser protocol from the other side, and against the real app.
// One browser; each stand-in row has a fresh context and a stand-in of its own, so rows run side by side. The page's clock runs SPEED
// times faster (its timers and Date.now, not the network), and "never again" checks run it ahead
// with Chromium's virtual time: nothing here sleeps, every wait is for something the page does.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { constants, mkdtempSync, mkdirSync, readFileSync, renameSync, rmSync, writeFileSync } from 'node:fs';
import { randomBytes, randomUUID } from 'node:crypto';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { once } from 'node:events';
import { setTimeout as delay } from 'node:timers/promises';
import { deflateSync, crc32 } from 'node:zlib';
import puppeteer from 'puppeteer-core';
import { MockComputer, makeIdentity, spkiPin } from './mock-server.js';
import { writeFrame } from './bplist-writer.js';

const [CHROMIUM, APP] = [process.env.CHROMIUM || '/usr/bin/chromium', process.env.GLASSWING_APP];
const [WAIT_MS, SPEED, STREAM] = [15000, 10, '?transport=stream'];
const IPHONE = 'Mozilla/5.0 (iPhone; CPU iPhone OS 17_5 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.5 Mobile/15E148 Safari/604.1';
const [RED, GREEN, BLUE, YELLOW, WHITE] = [[255, 0, 0, 255], [0, 255, 0, 255], [0, 0, 255, 255], [255, 255, 0, 255], [255, 255, 255, 255]];

// An RGBA PNG, unfiltered, of pixel(x, y): frames whose pixels the tests know.
function encodePng(width, height, pixel) {
  const raw = Buffer.alloc((width * 4 + 1) * height);
  for (let y = 0; y < height; ++y) for (let x = 0; x < width; ++x) raw.set(pixel(x, y), y * (width * 4 + 1) + 1 + x * 4);
  const u32 = (n) => Buffer.from([n >>> 24, n >>> 16, n >>> 8, n]);
  const chunk = (type, data) => Buffer.concat([u32(data.length), Buffer.from(type), data, u32(crc32(Buffer.concat([Buffer.from(type), data])))]);
  const header = Buffer.concat([u32(width), u32(height), Buffer.from([8, 6, 0, 0, 0])]);
  return Buffer.concat([Buffer.from('89504e470d0a1a0a', 'hex'), chunk('IHDR', header), chunk('IDAT', deflateSync(raw)), chunk('IEND', Buffer.alloc(0))]);
}

// Four quadrants of known colours, so that a read-back proves orientation too.
const quadrants = (width, height, colours) => encodePng(width, height, (x, y) => colours[(y < height / 2 ? 0 : 2) + (x < width / 2 ? 0 : 1)]);
const FRAME1 = quadrants(60, 120, [RED, GREEN, BLUE, YELLOW]);
const FRAME1_POINTS = [[5, 5], [55, 5], [5, 115], [55, 115]];
// Noise does not compress: 800 x 600 opaque pixels make a PNG of about 2 MiB.
const NOISE = randomBytes(800 * 600 * 3);
const LARGE = { points: [[0, 0], [799, 0], [0, 599], [799, 599], [400, 300], [17, 523]], colourAt: (x, y) => [...NOISE.subarray((y * 800 + x) * 3, (y * 800 + x) * 3 + 3), 255] };
LARGE.png = encodePng(800, 600, LARGE.colourAt);

const within = (promise, what, ms = WAIT_MS) =>
  Promise.race([promise, delay(ms, null, { ref: false }).then(() => Promise.reject(new Error(`no ${what} within ${ms} ms`)))]);
const frameOf = (png) => writeFrame(png, Date.now() / 1000 - 978307200);

// Resolves once check() holds, looked at every 50 ms; bounded.
async function until(check, what, ms = WAIT_MS) {
  for (const end = Date.now() + ms; !check(); await delay(50)) if (Date.now() > end) throw new Error(`no ${what} within ${ms} ms`);
}

// The real app (build/app/glasswing) as the computer, in a home of its own (temporary HOME, XDG
// folders inside it, offscreen): its web port read from its standard error, its web identity's SPKI
// pin from the file it keeps. Its alert is answered as a user would, through the app's test seam:
// words written to the FIFO named by GLASSWING_TEST_ALERT_ANSWERS press the alert's own buttons,
// and each alert shown is said on standard error.
class RealApp {
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
    const WEB_LINE = /web viewer for phones at https:\/\/[^/\s]*:(\d+)\//;
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

  said = (line) => this.stdout.split('\n').filter((l) => l === line).length;
  trusted = () => this.read('.config/com.tessaro.Glasswing/defaults.json')?.['Trusted Devices'] ?? [];
  /** The text of every alert shown so far (title, informative text, check box), in order. */
  alerts = () => [...this.stderr.matchAll(/alert shown: (.*)/g)].map((m) => m[1]);
  /** Answers the alert on screen, or the next one: 'allow', 'allow-remember' or 'deny'. Never blocks:
   *  the app holds the FIFO open; without it this throws (ENXIO) instead of hanging. */
  answer = (word) => writeFileSync(this.answers, `${word}\n`, { flag: constants.O_WRONLY | constants.O_NONBLOCK });
}

// One browser with a fresh profile that trusts exactly the stand-ins' certificate and the real
// app's: identities are pinned, not waved through, so a changed certificate would fail.
let identity, browser, profile, app;
before(async () => {
  const starting = APP && new RealApp(APP).start(); // while the stand-ins' identity is made
  identity = makeIdentity();
  app = await starting;
  profile = mkdtempSync(join(tmpdir(), 'viewer-chromium-'));
  const args = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--disable-component-update',
    `--ignore-certificate-errors-spki-list=${[identity.spkiPin, app?.spkiPin].filter(Boolean).join(',')}`];
  browser = await puppeteer.launch({ executablePath: CHROMIUM, headless: true, userDataDir: profile, args });
});
after(async () => {
  if (process.env.VIEWER_TEST_VERBOSE) console.log(`app stdout:\n${app?.stdout}\napp stderr:\n${app?.stderr}`);
  await browser?.close();
  if (app?.child) await app.stop();
  for (const dir of [profile, app?.home]) if (dir) rmSync(dir, { recursive: true, force: true });
});

// Set up in the page before its own script runs.
function instrument({ speed, userId }) {
  // The clock: timers and Date.now run `speed` times faster.
  const [setT, setI, now, start] = [setTimeout, setInterval, Date.now, Date.now()];
  window.setTimeout = (f, ms = 0, ...a) => setT(f, ms / speed, ...a);
  window.setInterval = (f, ms = 0, ...a) => setI(f, ms / speed, ...a);
  Date.now = () => start + (now() - start) * speed;
  // Object URLs alive (made and not yet revoked), to catch a page that leaks one per frame.
  const [create, revoke] = [URL.createObjectURL, URL.revokeObjectURL];
  window.__urls = new Set();
  URL.createObjectURL = (blob) => window.__urls.add(create(blob)) && [...window.__urls].at(-1);
  URL.revokeObjectURL = (url) => window.__urls.delete(url) && revoke(url);
  // Every state the page shows with its title, message and button, in order.
  window.__seen = [];
  new MutationObserver(() => {
    const [title, message, action] = ['title', 'message', 'action'].map((id) => document.getElementById(id));
    const seen = `${document.documentElement.dataset.state}: ${title?.textContent} | ${message?.textContent} | ${action?.hidden ? '' : action?.textContent}`;
    if (window.__seen.at(-1) !== seen) window.__seen.push(seen);
  }).observe(document, { attributes: true, childList: true, subtree: true, characterData: true });
  // The retry waits announced: each starts higher than the countdown before it.
  window.__waits = () => window.__seen.map((s) => Number(/in (\d+) s/.exec(s)?.[1] ?? 0)).filter((n, i, all) => n > (all[i - 1] ?? 0));
  // The shown image's size and the colours at the given image pixels, read back through a canvas
  // no larger than those points need.
  window.__pixels = (points) => {
    const img = document.querySelector('#stage .design');
    const [width, height] = [0, 1].map((i) => Math.max(...points.map((p) => p[i])) + 1);
    const g = img?.naturalWidth && Object.assign(document.createElement('canvas'), { width, height }).getContext('2d');
    g?.drawImage(img, 0, 0);
    return g && { width: img.naturalWidth, height: img.naturalHeight, pixels: points.map(([x, y]) => [...g.getImageData(x, y, 1, 1).data]) };
  };
  if (userId && !localStorage.getItem('glasswing.userId')) localStorage.setItem('glasswing.userId', userId);
}

// A phone: a fresh context (its own storage) with an iPhone's user agent, on `origin` or else on a
// stand-in computer of its own (page.server) that says nothing a page should complain of.
async function phone(t, { query = '', origin, speed, stand, userId, virtualTime } = {}) {
  const server = origin ? undefined : await new MockComputer(identity, { keepaliveMs: 100, ...stand }).listen();
  const context = await browser.createBrowserContext();
  const page = Object.assign(await context.newPage(), { server, problems: [] });
  page.on('pageerror', (e) => page.problems.push(`page error: ${e.message}`));
  page.on('console', (m) => m.type() === 'error' && page.problems.push(`console: ${m.text()}`));
  t.after(async () => {
    await context.close().catch(() => {}); // a test may have closed it already
    await server?.close();
    assert.deepEqual(page.problems.filter((p) => !/ERR_|WebSocket|Failed to load/.test(p)), []);
  });
  await page.setUserAgent(IPHONE);
  // A stream link counts 8 s of silence as lost: the stand-in's keepalives every 100 ms keep it at
  // 2x even on a busy machine, the real app's every 2 s only at the real pace.
  const stream = query.includes('stream') || stand?.refuseWebSocket;
  await page.evaluateOnNewDocument(instrument, { speed: speed ?? (origin ? 1 : stream ? 2 : SPEED), userId });
  // Chromium's virtual time: timers run as soon as nothing else is pending, and no time passes while
  // the page's own script runs, however busy the machine.
  if (virtualTime) await (await page.createCDPSession()).send('Emulation.setVirtualTimePolicy', { policy: 'pauseIfNetworkFetchesPending' });
  await page.goto(`${origin ?? server.origin}/${query}`);
  return page;
}

// Checked on each change to the page (a state, a text, an image), which is where every answer shows.
const waitFor = (page, fn, arg, polling = 'mutation') => page.waitForFunction(fn, { timeout: WAIT_MS, polling }, arg);
const stateIs = (page, state) => waitFor(page, (s) => document.documentElement.dataset.state === s, state);
const shows = (page, seen) => waitFor(page, (s) => window.__seen.includes(s), seen);
const dataset = (page) => page.evaluate(() => ({ ...document.documentElement.dataset }));
const shownPixels = (page, points) => page.evaluate((p) => window.__pixels(p), points);
// Until the shown image's top-left pixel is `colour` (frames may be skipped on the way).
const showsColour = (page, colour) => waitFor(page, (c) => window.__pixels([[0, 0]])?.pixels[0].every((v, i) => v === c[i]), colour);

// Runs the page's clock 30 s ahead (past every back-off) after nudging it with every event that
// could make it reconnect, and checks that it started no connection and sent no invitation.
async function staysPut(page) {
  const invitations = () => page.server.invitations.length;
  const [{ state, attempts }, invited] = [await dataset(page), invitations()];
  await page.evaluate(() => [document.dispatchEvent(new Event('visibilitychange')), window.dispatchEvent(new PageTransitionEvent('pageshow', { persisted: true })), window.dispatchEvent(new Event('online'))]);
  const cdp = await page.createCDPSession();
  const expired = once(cdp, 'Emulation.virtualTimeBudgetExpired');
  await cdp.send('Emulation.setVirtualTimePolicy', { policy: 'advance', budget: 30000 });
  await within(expired, 'end of the virtual 30 s');
  await cdp.send('Emulation.setVirtualTimePolicy', { policy: 'advance' });
  assert.deepEqual(await dataset(page).then((d) => [d.state, d.attempts]), [state, attempts], 'the page connected again by itself');
  assert.equal(invitations(), invited, 'the page invited again by itself');
}

const letIn = (session) => within(new Promise((joined) => session.once('joined', joined).accept()), 'joined');

describe('the web viewer', { concurrency: true }, () => {
  describe('the page against a stand-in computer', { concurrency: 6 }, () => {
    // Over the WebSocket, over the stream when asked to, and over the stream when the WebSocket fails.
    for (const [query, stand, transport] of [['', undefined, 'websocket'], [STREAM, undefined, 'stream'], ['', { refuseWebSocket: true }, 'stream']]) {
      test(`first join${query}${stand ? ' with no WebSocket' : ''}: waits with the code, then shows each newest frame whole`, async (t) => {
        const page = await phone(t, { query, stand });
        const session = await within(page.server.invitation(1), 'invitation');
        assert.deepEqual([session.transport, (await dataset(page)).transport], [transport, transport]);
        // A hello is answered once: the stand-in refuses a second invitation.
        // A right-to-left override or a control character in the name never reaches the screen.
        session.out.control({ code: session.code, name: 'Studio\u202e\u0007  Mac 2', type: 'hello' });
        // The code the computer's alert shows (on screen); the name the user will recognise.
        await shows(page, 'waiting: Waiting for approval | On Studio Mac 2, choose Allow when Glasswing asks about “iPhone”. | ');
        assert.equal(await page.$eval('#code', (e) => e.getClientRects().length > 0 && e.textContent), session.code);
        assert.match(session.userId, /^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$/);
        await letIn(session);
        await shows(page, 'mirroring: Connected to Studio Mac | The design shows here as soon as the computer has a preview. | ');
        session.sendFrame(frameOf(FRAME1));
        await showsColour(page, RED);
        assert.deepEqual(await shownPixels(page, FRAME1_POINTS), { width: 60, height: 120, pixels: [RED, GREEN, BLUE, YELLOW] });
        if (stand) return; // the rest is the stream row's
        // Frames in a burst: whatever is skipped, the last one ends up shown. Frames the page cannot
        // read leave the design as it was.
        for (const c of [WHITE, BLUE]) session.sendFrame(frameOf(quadrants(30, 30, [c, c, c, c])));
        await showsColour(page, BLUE);
        for (const bad of [Buffer.from('bplist00 but nothing after it, not a frame at all'), frameOf(Buffer.from('not a PNG')), frameOf(Buffer.alloc(0)), frameOf(FRAME1)]) session.sendFrame(bad);
        await showsColour(page, RED);
        // A large frame (about 2 MiB of PNG) arrives whole across many reads.
        session.sendFrame(frameOf(LARGE.png));
        await showsColour(page, LARGE.colourAt(0, 0));
        assert.deepEqual(await shownPixels(page, LARGE.points), { width: 800, height: 600, pixels: LARGE.points.map(([x, y]) => LARGE.colourAt(x, y)) });
        // Only one image on the stage, and its object URL is the only one alive.
        const [urls, shown] = await page.evaluate(() => [[...window.__urls], [...document.querySelectorAll('#stage img')].map((i) => i.src)]);
        assert.deepEqual([urls, shown.length], [shown, 1]);
      });
    }

    // How a session ends when the page must not ask again by itself: what it says, and its button,
    // which asks again under the same user ID.
    const DECLINED = 'declined: Not allowed | Someone on Studio Mac chose Don’t Allow. | Ask again';
    const decline = (s) => [s.out.control({ type: 'decline' }), s.close(1000, 'declined')];
    const ENDINGS = [
      { name: 'declined', end: decline, says: DECLINED },
      { name: 'declined over the stream', query: STREAM, end: decline, says: DECLINED },
      // Said no, then the connection just went: still a no.
      { name: 'declined, then dropped', end: async (s, page) => [s.out.control({ type: 'decline' }), await stateIs(page, 'declined'), s.drop()], says: DECLINED },
      { name: 'unanswered', end: (s) => s.close(1008, 'time-out'), says: 'timeout: No answer | Nobody answered on Studio Mac in time. | Ask again' },
      { name: 'disconnected', accept: true, end: (s) => s.close(1000, 'disconnected'), says: 'disconnected: Disconnected | Studio Mac stopped mirroring to this phone. | Connect again' },
      { name: 'refused', end: (s) => s.close(1008, '"name" must be a string'), says: 'error: Cannot connect | Studio Mac refused this page: "name" must be a string. | Try again' },
      // A hostile computer: a record claiming 4 GiB is refused before anything is read into memory.
      { name: 'a stream record that claims 4 GiB', query: STREAM, end: (s) => s.write(Buffer.from([2, 0xff, 0xff, 0xff, 0xff, 1, 2, 3])),
        says: 'error: Cannot connect | Studio Mac refused this page: record too large. | Try again' },
    ];
    for (const row of ENDINGS) {
      test(`${row.name}: says so, and asks again only when told to`, async (t) => {
        const page = await phone(t, { query: row.query });
        const first = await within(page.server.invitation(1), 'invitation');
        await stateIs(page, 'waiting');
        if (row.accept) await Promise.all([letIn(first), stateIs(page, 'mirroring')]);
        await row.end(first, page);
        await waitFor(page, (s) => window.__seen.at(-1) === s, row.says);
        await staysPut(page);
        await page.click('#action');
        assert.equal((await within(page.server.invitation(2), 'second invitation')).userId, first.userId);
        await stateIs(page, 'waiting');
      });
    }

    // (That the page gets through once the computer is back is the real app's restart row.)
    test('a computer out of reach is tried again after 1, 2, 4, 8, then every 10 s', async (t) => {
      const page = await phone(t, { stand: { unreachable: true }, speed: 1, virtualTime: true });
      await shows(page, 'retrying: Cannot reach the computer | Trying again in 1 s. Check that Glasswing is running and this phone is on the same network. | Try now');
      await waitFor(page, () => window.__waits().length > 6);
      assert.deepEqual((await page.evaluate(() => window.__waits())).slice(0, 6), [1, 2, 4, 8, 10, 10]);
    });
  });

  // The real app as the computer, followed through its alert as one person's session would be:
  // Allow (remembered) and a reload; over the stream Don't Allow, then Allow (this once); a restart.
  // The rows run in order and build on each other; rows that need the stand-in's scripting stay above.
  describe('against the real app', { concurrency: 1, skip: !APP && 'GLASSWING_APP names no app binary' }, () => {
    let remembered;
    const statusIs = (connected) => until(() => app.read('.cache/com.tessaro.Preview/status.json')?.isConnected === connected, `status.json saying ${connected}`);
    const incoming = (userId) => app.said(`Incoming User ID: ${userId}`);
    const allowed = (userId) => app.said(`Allowing Incoming User ID ${userId}`) > 0;

    // Opens a page that is not yet trusted and returns it once the app's one alert about it is up;
    // the alert names the phone and shows the code the page shows.
    async function asked(t, options = {}) {
      const userId = randomUUID();
      const alerts = app.alerts().length;
      const page = await phone(t, { origin: app.origin, userId, ...options });
      await stateIs(page, 'waiting');
      await until(() => app.alerts().length > alerts && incoming(userId) === 1, `the alert about ${userId}`);
      assert.equal(app.alerts().slice(alerts).join('\n'), `Begin mirroring with "iPhone"? | A web browser on a phone, showing the code ${await page.$eval('#code', (e) => e.textContent)}. | Remember this device: ticked`);
      return { page, userId };
    }

    test('real app: Allow, remembered, shows the previews, and the reloaded page rejoins without asking', async (t) => {
      const { page, userId } = await asked(t);
      app.answer('allow-remember');
      await stateIs(page, 'mirroring');
      await statusIs(true); // only a browser is connected, and the plug-in is told a phone is
      app.writePreview(FRAME1);
      await showsColour(page, RED);
      assert.deepEqual(await shownPixels(page, FRAME1_POINTS), { width: 60, height: 120, pixels: [RED, GREEN, BLUE, YELLOW] });
      // The reloaded page is let in as a remembered device, with no alert, and sent the newest
      // preview on joining, with no new write.
      const alerts = app.alerts().length;
      await page.reload();
      await showsColour(page, RED);
      await until(() => allowed(userId), 'the remembered device allowed');
      assert.deepEqual([app.alerts().length, app.trusted().includes(userId)], [alerts, true]);
      remembered = userId;
      await page.browserContext().close();
      await statusIs(false);
    });

    test('real app: over the forced stream path, Don\'t Allow is shown, "Ask again" brings exactly one alert more, and Allow without remembering shows the current design and the next', async (t) => {
      const { page, userId } = await asked(t, { query: STREAM });
      assert.equal((await dataset(page)).transport, 'stream');
      app.answer('deny');
      await stateIs(page, 'declined');
      assert.match(await page.evaluate(() => window.__seen.at(-1)), /chose Don’t Allow\. \| Ask again$/);
      // (That the page does not ask again by itself is the stand-in rows' to prove, in virtual time.)
      const alerts = app.alerts().length;
      await page.click('#action');
      await until(() => incoming(userId) === 2 && app.alerts().length > alerts, 'the second invitation and its alert');
      app.answer('allow');
      await showsColour(page, RED); // the newest preview the app has read
      app.writePreview(quadrants(40, 80, [YELLOW, YELLOW, BLUE, BLUE]));
      await showsColour(page, YELLOW);
      assert.deepEqual((await shownPixels(page, [[5, 5], [35, 75]])).pixels, [YELLOW, BLUE]);
      // Allowed once: neither asked about again nor remembered.
      assert.deepEqual([app.alerts().length, incoming(userId), app.trusted().includes(userId)], [alerts + 1, 2, false]);
    });

    test('real app: restarted with the same identity, the open page rejoins by itself', async (t) => {
      const page = await phone(t, { origin: app.origin, userId: remembered });
      await showsColour(page, YELLOW);
      const port = app.port;
      await app.stop();
      await stateIs(page, 'retrying');
      await app.start();
      assert.equal(app.port, port, `the web port is kept from run to run:\n${app.stderr}`);
      // The browser still pins the first identity: joining again proves the certificate is the same.
      await page.waitForFunction(() => document.documentElement.dataset.state === 'mirroring', { timeout: 40000 });
      app.writePreview(quadrants(80, 40, [GREEN, RED, GREEN, RED]));
      await showsColour(page, GREEN);
    });
  });
});
