// The web viewer in a real browser (Debian's Chromium, headless, driven by puppeteer-core) against a
// stand-in computer that speaks the browser protocol from the other side. Every wait is bounded and
// waits for something the page or the server does; "never again" checks run the page's clock ahead
// (virtual time) instead of sleeping.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { once } from 'node:events';
import puppeteer from 'puppeteer-core';
import { MockComputer, makeIdentity } from './mock-server.js';
import { writeFrame } from './bplist-writer.js';
import { encodePng, quadrants } from './png.js';
import { realAppRows } from './real-app.js';

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const WAIT_MS = 15000;
const UA = {
  iphone: 'Mozilla/5.0 (iPhone; CPU iPhone OS 17_5 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.5 Mobile/15E148 Safari/604.1',
  androidPhone: 'Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/125.0.0.0 Mobile Safari/537.36',
  androidTablet: 'Mozilla/5.0 (Linux; Android 14; SM-X710) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/125.0.0.0 Safari/537.36',
  desktop: 'Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/125.0.0.0 Safari/537.36',
};

const RED = [255, 0, 0, 255];
const GREEN = [0, 255, 0, 255];
const BLUE = [0, 0, 255, 255];
const YELLOW = [255, 255, 0, 255];
const WHITE = [255, 255, 255, 255];
const BLACK = [0, 0, 0, 255];

let identity;
let server;
let browser;
let profile;

function within(promise, what, ms = WAIT_MS) {
  let timer;
  return Promise.race([
    promise,
    new Promise((_, reject) => {
      timer = setTimeout(() => reject(new Error(`no ${what} within ${ms} ms`)), ms);
    }),
  ]).finally(() => clearTimeout(timer));
}

function frameOf(png) {
  return writeFrame(png, Date.now() / 1000 - 978307200);
}

// Chromium with a fresh profile that trusts exactly one certificate: the page's identity is pinned,
// not waved through, so a changed certificate would fail.
async function launch(spkiPin, userDataDir) {
  return puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    userDataDir,
    args: [
      '--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      `--ignore-certificate-errors-spki-list=${spkiPin}`,
    ],
  });
}

before(async () => {
  identity = makeIdentity();
  server = await new MockComputer(identity).listen();
  profile = mkdtempSync(join(tmpdir(), 'viewer-chromium-'));
  browser = await launch(identity.spkiPin, profile);
});

after(async () => {
  await browser?.close();
  await server?.close();
  if (profile) rmSync(profile, { recursive: true, force: true });
});

// A fresh browser profile per scenario (its own storage), with a phone's screen.
async function phone(t, { query = '', ua = UA.iphone, width = 390, height = 844, fakeWakeLock = false, origin, userId, on = browser } = {}) {
  const context = await on.createBrowserContext();
  t.after(() => context.close().catch(() => {})); // a test may have closed it already
  const page = await context.newPage();
  const problems = [];
  page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  page.on('console', (m) => {
    if (process.env.VIEWER_TEST_VERBOSE) console.log(`[page] ${m.type()}: ${m.text()}`);
    if (m.type() === 'error') problems.push(`console: ${m.text()}`);
  });
  page.problems = problems;
  await page.setUserAgent(ua);
  await page.setViewport({ width, height, deviceScaleFactor: 3, isMobile: true, hasTouch: true });
  // Every state the page shows, in order, so that a test can say which it never showed.
  // Object URLs alive (made and not yet revoked), to catch a page that leaks one per frame.
  await page.evaluateOnNewDocument(() => {
    const create = URL.createObjectURL;
    const revoke = URL.revokeObjectURL;
    window.__urls = new Set();
    URL.createObjectURL = (blob) => {
      const url = create.call(URL, blob);
      window.__urls.add(url);
      return url;
    };
    URL.revokeObjectURL = (url) => {
      window.__urls.delete(url);
      revoke.call(URL, url);
    };
  });
  // Headless Chromium refuses screen wake locks; a stand-in that behaves like a phone's records them.
  if (fakeWakeLock) {
    await page.evaluateOnNewDocument(() => {
      window.__wake = { requests: 0, active: new Set() };
      Object.defineProperty(navigator, 'wakeLock', {
        configurable: true,
        value: {
          request: async (type) => {
            if (type !== 'screen') throw new TypeError(`wake lock of type ${type}`);
            const lock = new EventTarget();
            lock.released = false;
            lock.release = async () => {
              if (lock.released) return;
              lock.released = true;
              window.__wake.active.delete(lock);
              lock.dispatchEvent(new Event('release'));
            };
            window.__wake.requests += 1;
            window.__wake.active.add(lock);
            return lock;
          },
        },
      });
    });
  }
  await page.evaluateOnNewDocument(() => {
    window.__states = [];
    new MutationObserver(() => {
      const s = document.documentElement?.dataset.state;
      if (s && window.__states.at(-1) !== s) window.__states.push(s);
    }).observe(document, { attributes: true, childList: true, subtree: true, attributeFilter: ['data-state'] });
  });
  // A user ID chosen by the test (one the computer already trusts, say), kept as the page keeps its own.
  if (userId) {
    await page.evaluateOnNewDocument((id) => {
      if (!localStorage.getItem('glasswing.userId')) localStorage.setItem('glasswing.userId', id);
    }, userId);
  }
  // Counted before the page loads: its invitation may arrive before goto() returns.
  page.invitationsBefore = server.invitations.length;
  await page.goto(`${origin ?? server.origin}/${query}`);
  return page;
}

function stateIs(page, state) {
  return page.waitForFunction((s) => document.documentElement.dataset.state === s, { timeout: WAIT_MS }, state);
}

async function dataset(page) {
  return page.evaluate(() => ({ ...document.documentElement.dataset }));
}

async function text(page, id) {
  return page.$eval(`#${id}`, (e) => e.textContent);
}

async function visible(page, id) {
  return page.$eval(`#${id}`, (e) => !e.hidden && getComputedStyle(e).display !== 'none' && e.getClientRects().length > 0);
}

// The shown image's size and the colours at the given image pixels, read back through a canvas.
async function shownPixels(page, points) {
  return page.evaluate((points) => {
    const img = document.querySelector('#stage .design');
    if (!img) return null;
    const canvas = document.createElement('canvas');
    canvas.width = img.naturalWidth;
    canvas.height = img.naturalHeight;
    const g = canvas.getContext('2d', { willReadFrequently: true });
    g.drawImage(img, 0, 0);
    return { width: img.naturalWidth, height: img.naturalHeight, pixels: points.map(([x, y]) => [...g.getImageData(x, y, 1, 1).data]) };
  }, points);
}

// Waits until the shown image's top-left pixel is `colour` (frames may be skipped on the way).
function showsColour(page, colour) {
  return page.waitForFunction(
    (c) => {
      const img = document.querySelector('#stage .design');
      if (!img) return false;
      const canvas = document.createElement('canvas');
      canvas.width = canvas.height = 1;
      const g = canvas.getContext('2d', { willReadFrequently: true });
      g.drawImage(img, 0, 0);
      return g.getImageData(0, 0, 1, 1).data.every((v, i) => v === c[i]);
    },
    { timeout: WAIT_MS },
    colour,
  );
}

async function storedUserId(page) {
  return page.evaluate(() => localStorage.getItem('glasswing.userId'));
}

// Runs the page's clock 30 s ahead (past every back-off) after nudging it with every event that
// could make it reconnect, and checks that it started no connection and sent no invitation.
async function staysPut(page, state) {
  const attempts = (await dataset(page)).attempts;
  const invitations = server.invitations.length;
  await page.evaluate(() => {
    document.dispatchEvent(new Event('visibilitychange'));
    window.dispatchEvent(new PageTransitionEvent('pageshow', { persisted: true }));
    window.dispatchEvent(new Event('online'));
  });
  const cdp = await page.createCDPSession();
  const expired = once(cdp, 'Emulation.virtualTimeBudgetExpired');
  await cdp.send('Emulation.setVirtualTimePolicy', { policy: 'advance', budget: 30000 });
  await within(expired, 'end of the virtual 30 s');
  const after = await dataset(page);
  assert.equal(after.state, state);
  assert.equal(after.attempts, attempts, 'the page connected again by itself');
  assert.equal(server.invitations.length, invitations, 'the page invited again by itself');
}

async function joinPhone(t, options = {}) {
  const page = await phone(t, options);
  const session = await within(server.invitation(page.invitationsBefore + 1), 'invitation');
  await stateIs(page, 'waiting');
  const joined = once(session, 'joined');
  session.accept();
  await within(joined, 'joined');
  await stateIs(page, 'mirroring');
  return { page, session };
}

const FRAME1 = quadrants(60, 120, [RED, GREEN, BLUE, YELLOW]);
// Noise does not compress: 1100 x 1000 opaque pixels make a PNG of about 4 MiB.
const LARGE = (() => {
  const width = 1100;
  const height = 1000;
  const colourAt = (x, y) => {
    let h = Math.imul(x + 1, 0x9e3779b1) ^ Math.imul(y + 1, 0x85ebca6b);
    h = Math.imul(h ^ (h >>> 15), 0x2c1b3c6d);
    return [h & 0xff, (h >>> 8) & 0xff, (h >>> 16) & 0xff, 255];
  };
  const png = encodePng(width, height, colourAt);
  const points = [[0, 0], [1099, 0], [0, 999], [1099, 999], [550, 500], [17, 923]];
  return { width, height, colourAt, png, points };
})();
const FRAME1_POINTS = [[5, 5], [55, 5], [5, 115], [55, 115]];

for (const [transport, query] of [['websocket', ''], ['stream', '?transport=stream']]) {
  test(`first join over the ${transport}: waits with the code, then shows each newest frame`, async (t) => {
    server.newest = null;
    const page = await phone(t, { query });
    const session = await within(server.invitation(page.invitationsBefore + 1), 'invitation');
    assert.equal(session.transport, transport);
    await stateIs(page, 'waiting');
    // The code the computer's alert shows, large on the page; the names the user will recognise.
    assert.equal(await text(page, 'code'), session.code);
    assert.ok(await visible(page, 'code'));
    assert.match(await text(page, 'message'), /Studio Mac.*“iPhone”/);
    const invitation = session.invitation;
    assert.equal(invitation.type, 'invitation');
    assert.equal(invitation.name, 'iPhone');
    const userId = await storedUserId(page);
    assert.match(userId, /^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$/);
    assert.equal(session.userId, userId);

    const joined = once(session, 'joined');
    session.accept();
    await within(joined, 'joined');
    await stateIs(page, 'mirroring');
    assert.match(await text(page, 'title'), /Connected to Studio Mac/);

    session.sendFrame(frameOf(FRAME1));
    await page.waitForFunction(() => document.documentElement.dataset.frames === '1', { timeout: WAIT_MS });
    const shown = await shownPixels(page, FRAME1_POINTS);
    assert.deepEqual(shown, { width: 60, height: 120, pixels: [RED, GREEN, BLUE, YELLOW] });
    // Nothing covers the design while mirroring.
    assert.equal(await visible(page, 'card'), false);
    assert.equal(await page.$eval('#controls', (e) => getComputedStyle(e).opacity), '0');
    // The design fills the screen's width (portrait 1:2 image on a 390x844 screen).
    const box = await page.$eval('#stage .design', (e) => [e.clientWidth, e.clientHeight]);
    assert.deepEqual(box, [390, 844]);

    // Frames in a burst: whatever is skipped, the last one ends up shown.
    for (const c of [WHITE, BLACK, BLUE]) session.sendFrame(frameOf(quadrants(30, 30, [c, c, c, c])));
    await showsColour(page, BLUE);
    // A frame the page cannot read leaves the design as it was; the next good one shows.
    session.sendFrame(Buffer.from('bplist00 but nothing after it, not a frame at all'));
    session.sendFrame(frameOf(Buffer.from('not a PNG')));
    session.sendFrame(frameOf(Buffer.alloc(0)));
    session.sendFrame(frameOf(FRAME1));
    await showsColour(page, RED);
    assert.deepEqual((await shownPixels(page, FRAME1_POINTS)).pixels, [RED, GREEN, BLUE, YELLOW]);
    // A large frame (about 4 MiB of PNG) arrives whole across many reads.
    session.sendFrame(frameOf(LARGE.png));
    await showsColour(page, LARGE.colourAt(0, 0));
    const large = await shownPixels(page, LARGE.points);
    assert.deepEqual(large, { width: LARGE.width, height: LARGE.height, pixels: LARGE.points.map(([x, y]) => LARGE.colourAt(x, y)) });
    // Only one image on the stage, and its object URL is the only one alive.
    const stage = await page.$$eval('#stage img', (imgs) => imgs.map((i) => i.src));
    assert.equal(stage.length, 1);
    assert.deepEqual(await page.evaluate(() => [...window.__urls]), stage);
    assert.deepEqual(page.problems, []);
  });
}

// How a session ends when the page must not ask again by itself.
const ENDINGS = [
  { name: 'declined over the websocket', query: '', end: (s) => s.decline(), state: 'declined', button: 'Ask again' },
  { name: 'declined over the stream', query: '?transport=stream', end: (s) => s.decline(), state: 'declined', button: 'Ask again' },
  { name: 'unanswered alert', query: '', end: (s) => s.close(1008, 'time-out'), state: 'timeout', button: 'Ask again' },
  { name: 'unanswered alert over the stream', query: '?transport=stream', end: (s) => s.close(1008, 'time-out'), state: 'timeout', button: 'Ask again' },
  { name: 'disconnected by the computer', query: '', accept: true, end: (s) => s.close(1000, 'disconnected'), state: 'disconnected', button: 'Connect again' },
  { name: 'refused by the computer', query: '', end: (s) => s.close(1008, '"name" must be a string'), state: 'error', button: 'Try again' },
  { name: 'disconnected over the stream', query: '?transport=stream', accept: true, end: (s) => s.close(1000, 'disconnected'), state: 'disconnected', button: 'Connect again' },
];

for (const row of ENDINGS) {
  test(`${row.name}: says so, offers "${row.button}" and never invites again by itself`, async (t) => {
    const page = row.accept ? (await joinPhone(t, { query: row.query })).page : await phone(t, { query: row.query });
    const session = await within(server.invitation(page.invitationsBefore + 1), 'invitation');
    if (!row.accept) await stateIs(page, 'waiting');
    row.end(session);
    await stateIs(page, row.state);
    assert.equal(await text(page, 'action'), row.button);
    assert.ok(await visible(page, 'action'));
    await staysPut(page, row.state);
    assert.deepEqual(page.problems, []);
  });

  test(`${row.name}: "${row.button}" asks again under the same user ID`, async (t) => {
    const page = row.accept ? (await joinPhone(t, { query: row.query })).page : await phone(t, { query: row.query });
    const first = await within(server.invitation(page.invitationsBefore + 1), 'invitation');
    if (!row.accept) await stateIs(page, 'waiting');
    row.end(first);
    await stateIs(page, row.state);
    const count = server.invitations.length;
    await page.click('#action');
    const again = await within(server.invitation(count + 1), 'second invitation');
    assert.equal(again.userId, first.userId);
    await stateIs(page, 'waiting');
    again.accept();
    await stateIs(page, 'mirroring');
  });
}

for (const [transport, query] of [['websocket', ''], ['stream', '?transport=stream']]) {
  test(`a lost ${transport} is retried by itself and the current design comes back`, async (t) => {
    const { page, session } = await joinPhone(t, { query });
    server.remembered.add(session.userId); // "Remember this device": the next join needs no alert
    server.broadcast(frameOf(FRAME1));
    await showsColour(page, RED);
    const count = server.invitations.length;
    session.drop();
    await stateIs(page, 'retrying');
    assert.equal(await text(page, 'title'), 'Connection lost');
    // The old design stays behind the notice.
    assert.equal(await page.$$eval('#stage .design', (i) => i.length), 1);
    const again = await within(server.invitation(count + 1), 'invitation after the loss');
    assert.equal(again.userId, session.userId);
    await stateIs(page, 'mirroring');
    // The computer sends its newest frame on join: shown again, whole.
    await page.waitForFunction(() => Number(document.documentElement.dataset.frames) >= 2, { timeout: WAIT_MS });
    assert.deepEqual((await shownPixels(page, FRAME1_POINTS)).pixels, [RED, GREEN, BLUE, YELLOW]);
    server.newest = null;
    assert.deepEqual(page.problems.filter((p) => !/ERR_|WebSocket/.test(p)), []);
  });
}

test('a computer out of reach is retried with back-off until it answers', async (t) => {
  server.unreachable = true;
  t.after(() => {
    server.unreachable = false;
  });
  const page = await phone(t);
  const count = page.invitationsBefore;
  await stateIs(page, 'retrying');
  assert.equal(await text(page, 'title'), 'Cannot reach the computer');
  // It tries again by itself (the first wait is 1 s, then 2 s)...
  await page.waitForFunction(() => Number(document.documentElement.dataset.attempts) >= 2, { timeout: WAIT_MS });
  assert.equal(server.invitations.length, count);
  // ...and joins once the computer answers.
  server.unreachable = false;
  await within(server.invitation(count + 1), 'invitation once reachable');
  await stateIs(page, 'waiting');
});

test('a browser that cannot open the WebSocket falls back to the stream by itself', async (t) => {
  server.refuseWebSocket = true;
  t.after(() => {
    server.refuseWebSocket = false;
  });
  const { page, session } = await joinPhone(t);
  assert.equal(session.transport, 'stream');
  assert.equal((await dataset(page)).transport, 'stream');
  session.sendFrame(frameOf(FRAME1));
  await showsColour(page, RED);
});

test('a reload keeps the user ID, and a remembered page joins without waiting for approval', async (t) => {
  const { page, session } = await joinPhone(t);
  const userId = await storedUserId(page);
  server.remembered.add(userId);
  server.broadcast(frameOf(FRAME1));
  await showsColour(page, RED);
  const count = server.invitations.length;
  await page.reload();
  const again = await within(server.invitation(count + 1), 'invitation after the reload');
  assert.equal(again.userId, userId);
  assert.equal(again.invitation.name, session.invitation.name);
  await showsColour(page, RED);
  const states = await page.evaluate(() => window.__states);
  assert.ok(!states.includes('waiting'), `states after the reload: ${states}`);
  server.newest = null;
});

test('a page hidden when its connection is lost reconnects as soon as it is shown again', async (t) => {
  const { page, session } = await joinPhone(t);
  server.remembered.add(session.userId);
  server.broadcast(frameOf(FRAME1));
  await showsColour(page, RED);
  // The phone locks: the page is hidden, then its connection goes.
  await page.evaluate(() => {
    Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => window.__visibility });
    window.__visibility = 'hidden';
    document.dispatchEvent(new Event('visibilitychange'));
  });
  const count = server.invitations.length;
  const attempts = (await dataset(page)).attempts;
  session.drop();
  await stateIs(page, 'retrying');
  // While hidden it waits (no timer runs), however long.
  await staysPut(page, 'retrying');
  assert.equal((await dataset(page)).attempts, attempts);
  // Unlocked: it connects at once, without waiting out a back-off, and shows the current design.
  const cdp = await page.createCDPSession();
  await cdp.send('Emulation.setVirtualTimePolicy', { policy: 'advance' });
  await page.evaluate(() => {
    window.__visibility = 'visible';
    document.dispatchEvent(new Event('visibilitychange'));
  });
  assert.equal(Number((await dataset(page)).attempts), Number(attempts) + 1);
  await within(server.invitation(count + 1), 'invitation on coming back');
  await stateIs(page, 'mirroring');
  await page.waitForFunction(() => Number(document.documentElement.dataset.frames) >= 2, { timeout: WAIT_MS });
  server.newest = null;
});

const NAMES = [
  ['iPhone', UA.iphone, 'iPhone'],
  ['Android phone', UA.androidPhone, 'Android phone'],
  ['Android tablet', UA.androidTablet, 'Android tablet'],
  ['desktop browser', UA.desktop, 'Browser'],
];

for (const [name, ua, expected] of NAMES) {
  test(`the name in the alert defaults to what a person calls a ${name}`, async (t) => {
    const page = await phone(t, { ua });
    const session = await within(server.invitation(page.invitationsBefore + 1), 'invitation');
    assert.equal(session.invitation.name, expected);
    await stateIs(page, 'waiting');
    assert.equal(await text(page, 'name-button'), expected);
  });
}

test('renaming the phone while it waits asks again under the new name, and the name is kept', async (t) => {
  const page = await phone(t);
  await within(server.invitation(page.invitationsBefore + 1), 'invitation');
  await stateIs(page, 'waiting');
  const count = server.invitations.length;
  await page.click('#name-button');
  assert.ok(await visible(page, 'name-input'));
  await page.$eval('#name-input', (e) => {
    e.value = '';
  });
  await page.type('#name-input', '  Ada’s   iPhone ');
  await page.click('#name-form button[type=submit]');
  const renamed = await within(server.invitation(count + 1), 'invitation under the new name');
  assert.equal(renamed.invitation.name, 'Ada’s iPhone');
  await stateIs(page, 'waiting');
  await page.reload();
  const after = await within(server.invitation(count + 2), 'invitation after the reload');
  assert.equal(after.invitation.name, 'Ada’s iPhone');
});

test('a tap shows the controls, which fade; a double tap toggles actual size', async (t) => {
  const { page, session } = await joinPhone(t);
  // A 3x render of a 130 x 260 point screen.
  session.sendFrame(frameOf(quadrants(390, 780, [RED, GREEN, BLUE, YELLOW])));
  await showsColour(page, RED);
  await page.touchscreen.tap(195, 422);
  await page.waitForFunction(() => document.documentElement.classList.contains('controls-shown'), { timeout: WAIT_MS });
  assert.equal(await text(page, 'bar-title'), 'Studio Mac');
  await page.waitForFunction(() => !document.documentElement.classList.contains('controls-shown'), { timeout: WAIT_MS });
  await page.touchscreen.tap(195, 422);
  await page.touchscreen.tap(195, 422);
  await page.waitForFunction(() => document.documentElement.classList.contains('actual-size'), { timeout: WAIT_MS });
  assert.deepEqual(await page.$eval('#stage .design', (e) => [e.clientWidth, e.clientHeight]), [130, 260]);
  await page.touchscreen.tap(195, 422);
  await page.touchscreen.tap(195, 422);
  await page.waitForFunction(() => !document.documentElement.classList.contains('actual-size'), { timeout: WAIT_MS });
  assert.deepEqual(await page.$eval('#stage .design', (e) => [e.clientWidth, e.clientHeight]), [390, 844]);
  assert.deepEqual(page.problems, []);
});

test('the screen is kept awake while mirroring, taken again on coming back, and let go after', async (t) => {
  const { page, session } = await joinPhone(t, { fakeWakeLock: true });
  await page.waitForFunction(() => window.__wake.active.size === 1, { timeout: WAIT_MS });
  // The phone locks: the browser drops the lock with the page hidden.
  await page.evaluate(() => {
    Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => window.__visibility });
    window.__visibility = 'hidden';
    for (const lock of window.__wake.active) lock.release();
    document.dispatchEvent(new Event('visibilitychange'));
  });
  assert.equal(await page.evaluate(() => window.__wake.requests), 1);
  await page.evaluate(() => {
    window.__visibility = 'visible';
    document.dispatchEvent(new Event('visibilitychange'));
  });
  await page.waitForFunction(() => window.__wake.requests === 2 && window.__wake.active.size === 1, { timeout: WAIT_MS });
  session.close(1000, 'disconnected');
  await stateIs(page, 'disconnected');
  await page.waitForFunction(() => window.__wake.active.size === 0, { timeout: WAIT_MS });
  assert.equal(await page.evaluate(() => window.__wake.requests), 2);
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
      const message = await text(page, 'message');
      assert.ok(!message.includes('\u202e'));
      assert.match(message, /^On Studio Mac x+, choose Allow when Glasswing asks about “iPhone”\.$/);
      // The card still fits the screen's width.
      assert.ok(await page.$eval('#card', (c) => c.scrollWidth <= c.clientWidth + 1));
    },
  },
  {
    name: 'a hello whose code and name are not strings',
    hello: { code: 1234, name: { a: 1 } },
    check: async (page) => {
      await stateIs(page, 'waiting');
      assert.equal(await visible(page, 'code-block'), false);
      assert.match(await text(page, 'message'), /the computer/);
    },
  },
  {
    name: 'a stream record that claims 4 GiB',
    query: '?transport=stream',
    act: (session) => session.write(Buffer.from([2, 0xff, 0xff, 0xff, 0xff, 1, 2, 3])),
    check: async (page) => {
      await stateIs(page, 'error');
      assert.match(await text(page, 'message'), /record too large/);
    },
  },
  {
    name: 'frames and unknown records before the answer',
    query: '?transport=stream',
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
      await stateIs(page, 'mirroring');
      session.sendFrame(frameOf(FRAME1));
      await showsColour(page, RED);
    },
  },
];

for (const row of HOSTILE) {
  test(`hostile computer: ${row.name}`, async (t) => {
    server.helloExtra = row.hello ?? {};
    t.after(() => {
      server.helloExtra = {};
    });
    const page = await phone(t, { query: row.query ?? '' });
    const session = await within(server.invitation(page.invitationsBefore + 1), 'invitation');
    row.act?.(session);
    await row.check(page, session);
    assert.deepEqual(page.problems, []);
  });
}

// ---- The real app as the computer: rows in real-app.js, run with this file's helpers ----------
realAppRows({ launch, phone, stateIs, text, dataset, visible, showsColour, shownPixels, WAIT_MS });
