// The web viewer in a real browser (Debian's Chromium, headless, driven by puppeteer-core) against a
// stand-in computer that speaks the browser protocol from the other side. One browser; each row has
// a fresh context and a stand-in of its own, so rows run side by side. The page's clock runs SPEED
// times faster (its timers and Date.now, not the network), and "never again" checks run it ahead
// with Chromium's virtual time: nothing here sleeps, every wait is for something the page does.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync, watch } from 'node:fs';
import { randomUUID } from 'node:crypto';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { once } from 'node:events';
import { deflateSync, crc32 } from 'node:zlib';
import puppeteer from 'puppeteer-core';
import { MockComputer, makeIdentity } from './mock-server.js';
import { writeFrame } from './bplist-writer.js';
import { RealApp } from './real-app.js';

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const WAIT_MS = 15000;
const SPEED = 10;
const STREAM = '?transport=stream';
const UA = {
  iphone: 'Mozilla/5.0 (iPhone; CPU iPhone OS 17_5 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.5 Mobile/15E148 Safari/604.1',
  androidPhone: 'Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/125.0.0.0 Mobile Safari/537.36',
  androidTablet: 'Mozilla/5.0 (Linux; Android 14; SM-X710) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/125.0.0.0 Safari/537.36',
  desktop: 'Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/125.0.0.0 Safari/537.36',
};
const [RED, GREEN, BLUE, YELLOW, WHITE] = [[255, 0, 0, 255], [0, 255, 0, 255], [0, 0, 255, 255], [255, 255, 0, 255], [255, 255, 255, 255]];

// An RGBA PNG, unfiltered, of pixel(x, y): frames whose pixels the tests know.
function encodePng(width, height, pixel) {
  const raw = Buffer.alloc((width * 4 + 1) * height);
  for (let y = 0; y < height; ++y) for (let x = 0; x < width; ++x) raw.set(pixel(x, y), y * (width * 4 + 1) + 1 + x * 4);
  const chunk = (type, data) => {
    const out = Buffer.alloc(12 + data.length);
    out.writeUInt32BE(data.length, 0);
    out.write(type, 4, 'ascii');
    data.copy(out, 8);
    out.writeUInt32BE(crc32(out.subarray(4, 8 + data.length)), 8 + data.length);
    return out;
  };
  const header = Buffer.from([0, 0, 0, 0, 0, 0, 0, 0, 8, 6, 0, 0, 0]);
  header.writeUInt32BE(width, 0);
  header.writeUInt32BE(height, 4);
  return Buffer.concat([Buffer.from('89504e470d0a1a0a', 'hex'), chunk('IHDR', header), chunk('IDAT', deflateSync(raw)), chunk('IEND', Buffer.alloc(0))]);
}

// Four quadrants of known colours, so that a read-back proves orientation too.
const quadrants = (width, height, colours) => encodePng(width, height, (x, y) => colours[(y < height / 2 ? 0 : 2) + (x < width / 2 ? 0 : 1)]);

let identity;
let browser;
let profile;

function within(promise, what, ms = WAIT_MS) {
  let timer;
  const late = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`no ${what} within ${ms} ms`)), ms);
  });
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}

const frameOf = (png) => writeFrame(png, Date.now() / 1000 - 978307200);

// Chromium with a fresh profile that trusts exactly one certificate: the page's identity is pinned,
// not waved through, so a changed certificate would fail.
function launch(spkiPin, userDataDir) {
  return puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    userDataDir,
    args: ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', `--ignore-certificate-errors-spki-list=${spkiPin}`],
  });
}

before(async () => {
  identity = makeIdentity();
  profile = mkdtempSync(join(tmpdir(), 'viewer-chromium-'));
  browser = await launch(identity.spkiPin, profile);
});

after(async () => {
  await browser?.close();
  if (profile) rmSync(profile, { recursive: true, force: true });
});

// Set up in the page before its own script runs.
function instrument({ speed, wakeLock, userId }) {
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
  // Every state and card text the page shows, in order.
  window.__seen = [];
  new MutationObserver(() => {
    const [title, message, action] = ['title', 'message', 'action'].map((id) => document.getElementById(id));
    const seen = `${document.documentElement.dataset.state}: ${title?.textContent} | ${message?.textContent} | ${action?.hidden ? '' : action?.textContent}`;
    if (window.__seen.at(-1) !== seen) window.__seen.push(seen);
  }).observe(document, { attributes: true, childList: true, subtree: true, characterData: true });
  // The retry waits announced: each starts higher than the countdown before it.
  window.__waits = () => window.__seen.map((s) => Number(/in (\d+) s/.exec(s)?.[1] ?? 0)).filter((n, i, all) => n > (all[i - 1] ?? 0));
  if (userId && !localStorage.getItem('glasswing.userId')) localStorage.setItem('glasswing.userId', userId);
  if (!wakeLock) return;
  // Headless Chromium refuses screen wake locks; a stand-in that behaves like a phone's records them.
  window.__wake = { requests: 0, active: new Set() };
  const request = async (type) => {
    if (type !== 'screen') throw new TypeError(type);
    const lock = new EventTarget();
    lock.release = async () => window.__wake.active.delete(lock) && lock.dispatchEvent(new Event('release'));
    window.__wake.requests += 1;
    window.__wake.active.add(lock);
    return lock;
  };
  Object.defineProperty(navigator, 'wakeLock', { configurable: true, value: { request } });
}

// A phone: a fresh context (its own storage) with a phone's screen, on `origin` or else on a
// stand-in computer of its own (page.server).
async function phone(t, { query = '', ua = UA.iphone, origin, on = browser, speed, stand, wakeLock, userId } = {}) {
  const server = origin ? undefined : await new MockComputer(identity, { keepaliveMs: 100, ...stand }).listen();
  t.after(() => server?.close());
  const context = await on.createBrowserContext();
  t.after(() => context.close().catch(() => {})); // a test may have closed it already
  const page = await context.newPage();
  page.server = server;
  page.problems = [];
  page.on('pageerror', (e) => page.problems.push(`page error: ${e.message}`));
  page.on('console', (m) => m.type() === 'error' && page.problems.push(`console: ${m.text()}`));
  await page.setUserAgent(ua);
  await page.setViewport({ width: 390, height: 844, deviceScaleFactor: 1, isMobile: true, hasTouch: true });
  // A stream link counts 8 s of silence as lost: the stand-in's keepalives every 100 ms keep it at
  // 4x, the real app's every 2 s only at the real pace.
  const stream = query.includes('stream') || stand?.refuseWebSocket;
  await page.evaluateOnNewDocument(instrument, { speed: speed ?? (origin ? 1 : stream ? 4 : SPEED), wakeLock, userId });
  await page.goto(`${origin ?? server.origin}/${query}`);
  return page;
}

// Checked on each change to the page (a state, a text, an image), which is where every answer shows.
const waitFor = (page, fn, arg, polling = 'mutation') => page.waitForFunction(fn, { timeout: WAIT_MS, polling }, arg);
const stateIs = (page, state) => waitFor(page, (s) => document.documentElement.dataset.state === s, state);
const dataset = (page) => page.evaluate(() => ({ ...document.documentElement.dataset }));
const text = (page, id) => page.$eval(`#${id}`, (e) => e.textContent);
const visible = (page, id) => page.$eval(`#${id}`, (e) => !e.hidden && getComputedStyle(e).display !== 'none' && e.getClientRects().length > 0);
const imageBox = (page) => page.$eval('#stage .design', (e) => [e.clientWidth, e.clientHeight]);

// The shown image's size and the colours at the given image pixels, read back through a canvas.
function shownPixels(page, points) {
  return page.evaluate((points) => {
    const img = document.querySelector('#stage .design');
    if (!img) return null;
    const g = Object.assign(document.createElement('canvas'), { width: img.naturalWidth, height: img.naturalHeight }).getContext('2d');
    g.drawImage(img, 0, 0);
    return { width: img.naturalWidth, height: img.naturalHeight, pixels: points.map(([x, y]) => [...g.getImageData(x, y, 1, 1).data]) };
  }, points);
}

// Waits until the shown image's top-left pixel is `colour` (frames may be skipped on the way).
function showsColour(page, colour) {
  return waitFor(page, (c) => {
    const img = document.querySelector('#stage .design');
    const g = img && Object.assign(document.createElement('canvas'), { width: 1, height: 1 }).getContext('2d');
    g?.drawImage(img, 0, 0);
    return g?.getImageData(0, 0, 1, 1).data.every((v, i) => v === c[i]);
  }, colour);
}

// Runs the page's clock 30 s ahead (past every back-off) after nudging it with every event that
// could make it reconnect, and checks that it started no connection and sent no invitation.
async function staysPut(page, state) {
  const { attempts } = await dataset(page);
  const invitations = page.server.invitations.length;
  await page.evaluate(() => {
    document.dispatchEvent(new Event('visibilitychange'));
    window.dispatchEvent(new PageTransitionEvent('pageshow', { persisted: true }));
    window.dispatchEvent(new Event('online'));
  });
  const cdp = await page.createCDPSession();
  const expired = once(cdp, 'Emulation.virtualTimeBudgetExpired');
  await cdp.send('Emulation.setVirtualTimePolicy', { policy: 'advance', budget: 30000 });
  await within(expired, 'end of the virtual 30 s');
  assert.deepEqual(await dataset(page).then((d) => [d.state, d.attempts]), [state, attempts], 'the page connected again by itself');
  assert.equal(page.server.invitations.length, invitations, 'the page invited again by itself');
  return cdp;
}

// A page invited, waiting with the code, then let in.
async function joinPhone(t, options = {}) {
  const page = await phone(t, options);
  const session = await within(page.server.invitation(1), 'invitation');
  await stateIs(page, 'waiting');
  const joined = once(session, 'joined');
  session.accept();
  await within(joined, 'joined');
  await stateIs(page, 'mirroring');
  return { page, session };
}

async function hide(page, hidden, releaseLocks = false) {
  await page.evaluate((hidden, releaseLocks) => {
    Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => (hidden ? 'hidden' : 'visible') });
    if (releaseLocks) for (const lock of window.__wake.active) lock.release();
    document.dispatchEvent(new Event('visibilitychange'));
  }, hidden, releaseLocks);
}

const FRAME1 = quadrants(60, 120, [RED, GREEN, BLUE, YELLOW]);
const FRAME1_POINTS = [[5, 5], [55, 5], [5, 115], [55, 115]];
// Noise does not compress: 800 x 600 opaque pixels make a PNG of about 2 MiB.
const LARGE = (() => {
  const colourAt = (x, y) => {
    let h = Math.imul(x + 1, 0x9e3779b1) ^ Math.imul(y + 1, 0x85ebca6b);
    h = Math.imul(h ^ (h >>> 15), 0x2c1b3c6d);
    return [h & 0xff, (h >>> 8) & 0xff, (h >>> 16) & 0xff, 255];
  };
  const points = [[0, 0], [799, 0], [0, 599], [799, 599], [400, 300], [17, 523]];
  return { colourAt, png: encodePng(800, 600, colourAt), points, expected: { width: 800, height: 600, pixels: points.map(([x, y]) => colourAt(x, y)) } };
})();

describe('the web viewer', { concurrency: true }, () => {
  describe('the page against a stand-in computer', { concurrency: 6 }, () => {
    for (const query of ['', STREAM]) {
      test(`first join${query}: waits with the code, then shows each newest frame whole`, async (t) => {
        const page = await phone(t, { query });
        const session = await within(page.server.invitation(1), 'invitation');
        assert.equal(session.transport, query ? 'stream' : 'websocket');
        await stateIs(page, 'waiting');
        // The code the computer's alert shows; the names the user will recognise.
        assert.equal(await text(page, 'code'), session.code);
        assert.ok(await visible(page, 'code'));
        assert.equal(await text(page, 'message'), 'On Studio Mac, choose Allow when Glasswing asks about “iPhone”.');
        assert.equal(session.invitation.name, 'iPhone');
        const userId = await page.evaluate(() => localStorage.getItem('glasswing.userId'));
        assert.match(userId, /^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$/);
        assert.equal(session.userId, userId);
        const joined = once(session, 'joined');
        session.accept();
        await within(joined, 'joined');
        await stateIs(page, 'mirroring');
        assert.equal(await text(page, 'title'), 'Connected to Studio Mac');

        session.sendFrame(frameOf(FRAME1));
        await showsColour(page, RED);
        assert.deepEqual(await shownPixels(page, FRAME1_POINTS), { width: 60, height: 120, pixels: [RED, GREEN, BLUE, YELLOW] });
        // Nothing covers the design, which fills the screen's width (a 1:2 image on a 390x844 screen).
        assert.equal(await visible(page, 'card'), false);
        assert.deepEqual(await imageBox(page), [390, 844]);
        // Frames in a burst: whatever is skipped, the last one ends up shown. Frames the page cannot
        // read leave the design as it was.
        for (const c of [WHITE, BLUE]) session.sendFrame(frameOf(quadrants(30, 30, [c, c, c, c])));
        await showsColour(page, BLUE);
        session.sendFrame(Buffer.from('bplist00 but nothing after it, not a frame at all'));
        session.sendFrame(frameOf(Buffer.from('not a PNG')));
        session.sendFrame(frameOf(Buffer.alloc(0)));
        session.sendFrame(frameOf(FRAME1));
        await showsColour(page, RED);
        // A large frame (about 2 MiB of PNG) arrives whole across many reads.
        session.sendFrame(frameOf(LARGE.png));
        await showsColour(page, LARGE.colourAt(0, 0));
        assert.deepEqual(await shownPixels(page, LARGE.points), LARGE.expected);
        // Only one image on the stage, and its object URL is the only one alive.
        const stage = await page.$$eval('#stage img', (imgs) => imgs.map((i) => i.src));
        assert.deepEqual(await page.evaluate(() => [...window.__urls]), stage);
        assert.equal(stage.length, 1);
        assert.deepEqual(page.problems, []);
      });
    }

    // How a session ends when the page must not ask again by itself: what it says, and its button.
    const ENDINGS = [
      { name: 'declined', end: (s) => s.decline(), state: 'declined', says: 'Not allowed: Someone on Studio Mac chose Don’t Allow.', button: 'Ask again' },
      { name: 'unanswered', end: (s) => s.close(1008, 'time-out'), state: 'timeout', says: 'No answer: Nobody answered on Studio Mac in time.', button: 'Ask again' },
      { name: 'disconnected', accept: true, end: (s) => s.close(1000, 'disconnected'), state: 'disconnected', says: 'Disconnected: Studio Mac stopped mirroring to this phone.', button: 'Connect again' },
      { name: 'refused', end: (s) => s.close(1008, '"name" must be a string'), state: 'error', says: 'Cannot connect: Studio Mac refused this page: "name" must be a string.', button: 'Try again' },
    ].flatMap((row) => [row, { ...row, name: `${row.name} over the stream`, query: STREAM }]);

    for (const row of ENDINGS) {
      test(`${row.name}: says so, never invites again by itself, and "${row.button}" asks under the same user ID`, async (t) => {
        const page = row.accept ? (await joinPhone(t, { query: row.query })).page : await phone(t, { query: row.query });
        const first = await within(page.server.invitation(1), 'invitation');
        if (!row.accept) await stateIs(page, 'waiting');
        row.end(first);
        await stateIs(page, row.state);
        assert.equal(`${await text(page, 'title')}: ${await text(page, 'message')}`, row.says);
        assert.equal(await text(page, 'action'), row.button);
        const cdp = await staysPut(page, row.state);
        await cdp.send('Emulation.setVirtualTimePolicy', { policy: 'advance' });
        await page.click('#action');
        const again = await within(page.server.invitation(2), 'second invitation');
        assert.equal(again.userId, first.userId);
        await stateIs(page, 'waiting');
        assert.deepEqual(page.problems, []);
      });
    }

    // A lost connection, or a computer out of reach: the page tries again by itself, waiting 1, 2, 4,
    // 8, then every 10 s, and saying so; the current design comes back with the connection.
    const RETRIES = [
      { name: 'a lost websocket', says: 'Connection lost | Trying again in 1 s. Keep this phone on the same network as Studio Mac. | Try now' },
      { name: 'a lost stream', query: STREAM, says: 'Connection lost | Trying again in 1 s. Keep this phone on the same network as Studio Mac. | Try now' },
      { name: 'a computer out of reach', unreachable: true, speed: 40, waits: [1, 2, 4, 8, 10, 10],
        says: 'Cannot reach the computer | Trying again in 1 s. Check that Glasswing is running and this phone is on the same network. | Try now' },
    ];
    for (const row of RETRIES) {
      test(`${row.name} is retried by itself with back-off`, async (t) => {
        let page;
        let session;
        if (row.unreachable) {
          page = await phone(t, { stand: { unreachable: true }, speed: row.speed });
        } else {
          ({ page, session } = await joinPhone(t, { query: row.query }));
          page.server.remembered.add(session.userId); // "Remember this device": the next join needs no alert
          page.server.broadcast(frameOf(FRAME1));
          await showsColour(page, RED);
          session.drop();
        }
        await waitFor(page, (says) => window.__seen.includes(`retrying: ${says}`), row.says);
        if (row.waits) {
          // Each wait shown starts higher than the countdown before it.
          await waitFor(page, (n) => window.__waits().length > n, row.waits.length);
          assert.deepEqual((await page.evaluate(() => window.__waits())).slice(0, row.waits.length), row.waits);
          assert.equal(page.server.invitations.length, 0);
          page.server.unreachable = false;
          await within(page.server.invitation(1), 'invitation once reachable');
          await stateIs(page, 'waiting');
        } else {
          // The old design stays behind the notice, and is shown again, whole, on rejoining.
          assert.equal(await page.$$eval('#stage .design', (i) => i.length), 1);
          const again = await within(page.server.invitation(2), 'invitation after the loss');
          assert.equal(again.userId, session.userId);
          await stateIs(page, 'mirroring');
          await waitFor(page, () => Number(document.documentElement.dataset.frames) >= 2);
          assert.deepEqual((await shownPixels(page, FRAME1_POINTS)).pixels, [RED, GREEN, BLUE, YELLOW]);
        }
      });
    }

    test('a browser that cannot open the WebSocket falls back to the stream by itself', async (t) => {
      const { page, session } = await joinPhone(t, { stand: { refuseWebSocket: true } });
      assert.equal(session.transport, 'stream');
      assert.equal((await dataset(page)).transport, 'stream');
      session.sendFrame(frameOf(FRAME1));
      await showsColour(page, RED);
    });

    test('a reload keeps the user ID, and a remembered page joins without waiting for approval', async (t) => {
      const { page, session } = await joinPhone(t, { speed: 1 }); // at the real pace a remembered phone is let in
      page.server.remembered.add(session.userId);
      page.server.broadcast(frameOf(FRAME1));
      await showsColour(page, RED);
      await page.reload();
      const again = await within(page.server.invitation(2), 'invitation after the reload');
      assert.deepEqual([again.userId, again.invitation.name], [session.userId, session.invitation.name]);
      await showsColour(page, RED);
      const seen = await page.evaluate(() => window.__seen);
      assert.ok(!seen.some((s) => s.startsWith('waiting')), `states after the reload: ${seen}`);
    });

    test('a page hidden when its connection is lost waits, and reconnects as soon as it is shown', async (t) => {
      const { page, session } = await joinPhone(t);
      page.server.remembered.add(session.userId);
      page.server.broadcast(frameOf(FRAME1));
      await showsColour(page, RED);
      await hide(page, true); // the phone locks, then the connection goes
      session.drop();
      await stateIs(page, 'retrying');
      const cdp = await staysPut(page, 'retrying');
      await cdp.send('Emulation.setVirtualTimePolicy', { policy: 'advance' });
      const { attempts } = await dataset(page);
      await hide(page, false);
      // At once, without waiting out a back-off, and with the current design.
      assert.equal(Number((await dataset(page)).attempts), Number(attempts) + 1);
      await within(page.server.invitation(2), 'invitation on coming back');
      await waitFor(page, () => Number(document.documentElement.dataset.frames) >= 2);
    });

    const NAMES = [[UA.iphone, 'iPhone'], [UA.androidPhone, 'Android phone'], [UA.androidTablet, 'Android tablet'], [UA.desktop, 'Browser']];
    for (const [ua, name] of NAMES) {
      test(`the name in the alert defaults to "${name}" for its browser`, async (t) => {
        const page = await phone(t, { ua });
        assert.equal((await within(page.server.invitation(1), 'invitation')).invitation.name, name);
        await stateIs(page, 'waiting');
        assert.equal(await text(page, 'name-button'), name);
      });
    }

    test('renaming the phone while it waits asks again under the new name, and the name is kept', async (t) => {
      const page = await phone(t);
      await within(page.server.invitation(1), 'invitation');
      await stateIs(page, 'waiting');
      await page.click('#name-button');
      await page.$eval('#name-input', (e) => {
        e.value = '';
      });
      await page.type('#name-input', '  Ada’s \u202e  iPhone ');
      await page.click('#name-form button[type=submit]');
      assert.equal((await within(page.server.invitation(2), 'invitation under the new name')).invitation.name, 'Ada’s iPhone');
      await stateIs(page, 'waiting');
      await page.reload();
      assert.equal((await within(page.server.invitation(3), 'invitation after the reload')).invitation.name, 'Ada’s iPhone');
    });

    test('a tap shows the controls, which fade; a double tap toggles actual size', async (t) => {
      const { page, session } = await joinPhone(t);
      session.sendFrame(frameOf(quadrants(390, 780, [RED, GREEN, BLUE, YELLOW]))); // a 130 x 260 point screen at 3x
      await showsColour(page, RED);
      const controls = (shown) => waitFor(page, (s) => document.documentElement.classList.contains('controls-shown') === s, shown);
      await page.touchscreen.tap(195, 422);
      await controls(true);
      assert.equal(await text(page, 'bar-title'), 'Studio Mac');
      await controls(false);
      // Both taps sent at once, so that a busy machine cannot space them out.
      const cdp = await page.createCDPSession();
      const touches = ['touchStart', 'touchEnd', 'touchStart', 'touchEnd'].map((type) => ({ type, touchPoints: type === 'touchEnd' ? [] : [{ x: 195, y: 422 }] }));
      for (const box of [[130, 260], [390, 844]]) {
        await Promise.all(touches.map((touch) => cdp.send('Input.dispatchTouchEvent', touch)));
        await waitFor(page, (b) => document.querySelector('#stage .design').clientWidth === b[0], box);
        assert.deepEqual(await imageBox(page), box);
      }
      assert.deepEqual(page.problems, []);
    });

    test('the screen is kept awake while mirroring, taken again on coming back, and let go after', async (t) => {
      const { page, session } = await joinPhone(t, { wakeLock: true });
      const wake = (requests, active) => waitFor(page, ([r, a]) => window.__wake.requests === r && window.__wake.active.size === a, [requests, active], 50);
      await wake(1, 1);
      await hide(page, true, true); // the browser drops the lock with the page hidden
      await hide(page, false);
      await wake(2, 1);
      session.close(1000, 'disconnected');
      await wake(2, 0);
    });

    // A computer that sends what it should not: the page stays bounded and says what it can.
    const HOSTILE = [
      {
        name: 'a hello with an endless code and name',
        hello: { code: 'K7Q2'.repeat(5000), name: `Studio\u202e Mac ${'x'.repeat(20000)}` },
        check: async (page) => {
          await stateIs(page, 'waiting');
          assert.equal(await page.$$eval('#code span', (s) => s.length), 8);
          // No bidirectional override reaches the screen to turn the sentence around.
          assert.match(await text(page, 'message'), /^On Studio Mac x{52}, choose Allow when Glasswing asks about “iPhone”\.$/);
          assert.ok(await page.$eval('#card', (c) => c.scrollWidth <= c.clientWidth + 1));
        },
      },
      {
        name: 'a hello whose code and name are not strings',
        hello: { code: 1234, name: { a: 1 } },
        check: async (page) => {
          await stateIs(page, 'waiting');
          assert.equal(await visible(page, 'code-block'), false);
          assert.match(await text(page, 'message'), /^On the computer,/);
        },
      },
      {
        name: 'a stream record that claims 4 GiB',
        query: STREAM,
        act: (session) => session.write(Buffer.from([2, 0xff, 0xff, 0xff, 0xff, 1, 2, 3])),
        check: async (page) => {
          await stateIs(page, 'error');
          assert.match(await text(page, 'message'), /record too large/);
        },
      },
      {
        name: 'frames and unknown records before the answer',
        query: STREAM,
        act: (session) => {
          session.write(Buffer.from([2, 0, 0, 0, 3, 1, 2, 3, 9, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0x7b, 0x7d]));
          session.state = 'joined'; // sent as if joined: the page has not been accepted yet
          session.sendFrame(frameOf(FRAME1));
          session.state = 'invited';
        },
        check: async (page, session) => {
          await stateIs(page, 'waiting');
          assert.equal((await dataset(page)).frames, undefined);
          session.accept();
          session.sendFrame(frameOf(FRAME1));
          await showsColour(page, RED);
        },
      },
    ];

    for (const row of HOSTILE) {
      test(`hostile computer: ${row.name}`, async (t) => {
        const page = await phone(t, { query: row.query, stand: { helloExtra: row.hello } });
        const session = await within(page.server.invitation(1), 'invitation');
        row.act?.(session);
        await row.check(page, session);
        assert.deepEqual(page.problems, []);
      });
    }
  });

  // ---- The real app as the computer ------------------------------------------------------------
  // Rows that need the mock's scripting (decline, time-out, drops, hostile bytes) stay above; these
  // run the page against build/app/glasswing. The app's alert cannot be answered from outside its
  // process, so pages that must get in use user IDs pre-seeded in "Trusted Devices".

  const APP = process.env.GLASSWING_APP;

  // Resolves once check() holds, re-checking whenever one of the sources reports; bounded.
  function until(check, sources, what, ms = WAIT_MS) {
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

  describe('against the real app', { concurrency: 1, skip: !APP && 'GLASSWING_APP names no app binary' }, () => {
    const trusted = randomUUID();
    const trustedStream = randomUUID();
    let app;
    let appBrowser;
    let appProfile;
    let folderEvents;
    const P1 = quadrants(60, 120, [RED, GREEN, BLUE, YELLOW]);
    const P2 = quadrants(90, 90, [BLUE, YELLOW, RED, GREEN]);
    const P3 = quadrants(40, 80, [YELLOW, YELLOW, BLUE, BLUE]);
    const P4 = quadrants(80, 40, [GREEN, RED, GREEN, RED]);

    before(async () => {
      app = await new RealApp(APP, [trusted, trustedStream]).start();
      appProfile = mkdtempSync(join(tmpdir(), 'viewer-chromium-app-'));
      appBrowser = await launch(app.spkiPin, appProfile);
      folderEvents = watch(app.cache); // status.json and previews are replaced by rename: each shows here
    });

    after(async () => {
      folderEvents?.close();
      await appBrowser?.close();
      await app?.dispose();
      if (appProfile) rmSync(appProfile, { recursive: true, force: true });
    });

    const statusIs = (connected) =>
      until(() => app.status()?.isConnected === connected, [[folderEvents, 'change']], `status.json saying ${connected}`);
    const printed = (line) => until(() => app.lines().includes(line), [[app.child.stdout, 'data']], `"${line}" on standard output`);

    test('real app: a first join shows the alert, and the page waits with a code', async (t) => {
      const userId = randomUUID();
      const page = await phone(t, { on: appBrowser, origin: app.origin, userId });
      await stateIs(page, 'waiting');
      assert.match(await text(page, 'code'), /^[ACDEFGHJKMNPQRTUVWXY3479]{4}$/);
      assert.match(await text(page, 'message'), /choose Allow when Glasswing asks about “iPhone”/);
      await printed(`Incoming User ID: ${userId}`);
      assert.ok(!app.lines().includes(`Allowing Incoming User ID ${userId}`));
      assert.deepEqual(page.problems, []);
    });

    test('real app: a remembered page joins at once, shows each preview, and the newest again after a reload', async (t) => {
      const page = await phone(t, { on: appBrowser, origin: app.origin, userId: trusted });
      await stateIs(page, 'mirroring');
      await printed(`Allowing Incoming User ID ${trusted}`);
      // Only a browser is connected, and the plug-in is told a phone is.
      await statusIs(true);
      app.writePreview(P1);
      await showsColour(page, RED);
      assert.deepEqual(await shownPixels(page, FRAME1_POINTS), { width: 60, height: 120, pixels: [RED, GREEN, BLUE, YELLOW] });
      app.writePreview(P2);
      await showsColour(page, BLUE);
      // Written before this page joins: the app sends it on join, with no new write. The app lets the
      // reloaded page in as a remembered device, with no alert.
      const allowed = () => app.lines().filter((l) => l === `Allowing Incoming User ID ${trusted}`).length;
      const before = allowed();
      await page.reload();
      await showsColour(page, BLUE);
      assert.deepEqual((await shownPixels(page, [[10, 10], [80, 10], [10, 80], [80, 80]])).pixels, [BLUE, YELLOW, RED, GREEN]);
      await until(() => allowed() === before + 1, [[app.child.stdout, 'data']], 'the reloaded page allowed as remembered');
      await stateIs(page, 'mirroring');
      await page.browserContext().close();
      await statusIs(false);
      assert.deepEqual(page.problems, []);
    });

    test('real app: the forced stream path shows the current design and the next', async (t) => {
      const page = await phone(t, { on: appBrowser, origin: app.origin, userId: trustedStream, query: '?transport=stream' });
      await stateIs(page, 'mirroring');
      assert.equal((await dataset(page)).transport, 'stream');
      await statusIs(true);
      await showsColour(page, BLUE); // P2, the newest the app has read
      app.writePreview(P3);
      await showsColour(page, YELLOW);
      assert.deepEqual((await shownPixels(page, [[5, 5], [35, 75]])).pixels, [YELLOW, BLUE]);
      assert.deepEqual(page.problems, []);
    });

    test('real app: restarted with the same identity, the open page rejoins by itself', async (t) => {
      const page = await phone(t, { on: appBrowser, origin: app.origin, userId: trusted });
      await stateIs(page, 'mirroring');
      await showsColour(page, YELLOW);
      const port = app.port;
      await app.stop();
      await stateIs(page, 'retrying');
      await app.start();
      assert.equal(app.port, port, `the web port is kept from run to run:\n${app.stderr}`);
      // The browser still pins the first identity: joining again proves the certificate is the same.
      await page.waitForFunction(() => document.documentElement.dataset.state === 'mirroring', { timeout: 40000 });
      app.writePreview(P4);
      await showsColour(page, GREEN);
      const problems = page.problems.filter((p) => !/ERR_|WebSocket|Failed to load resource/.test(p));
      assert.deepEqual(problems, []);
    });
  });
});
