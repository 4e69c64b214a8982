// Screenshots of the web viewer at a phone's size (390x844 CSS px, 3x) against the stand-in
// computer, mirroring a sample design rendered by the same browser. Not a test: run by hand or by
// scripts/screenshots.sh, then look at the PNGs.
//   node viewer/screenshots/screenshots.js [output folder, default docs/]
import { mkdirSync, mkdtempSync, rmSync, readFileSync, statSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, dirname, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { execFileSync } from 'node:child_process';
import { once } from 'node:events';
import puppeteer from 'puppeteer-core';
import { MockComputer, makeIdentity } from '../tests/mock-server.js';
import { writeFrame } from '../tests/bplist-writer.js';

const here = dirname(fileURLToPath(import.meta.url));
const out = resolve(process.argv[2] ?? join(here, '..', '..', 'docs'));
const LIMIT = 400 * 1024;
mkdirSync(out, { recursive: true });

const identity = makeIdentity();
const server = await new MockComputer(identity).listen();
server.code = 'K7Q2';
const profile = mkdtempSync(join(tmpdir(), 'viewer-shots-'));
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  userDataDir: profile,
  args: ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    '--hide-scrollbars', '--font-render-hinting=none',
    `--ignore-certificate-errors-spki-list=${identity.spkiPin}`],
});

const waitFor = (page, fn, arg) => page.waitForFunction(fn, { timeout: 15000 }, arg);
const stateIs = (page, s) => waitFor(page, (x) => document.documentElement.dataset.state === x, s);

try {
  // The design: a phone screen of 375x812 points rendered at 3x, as the design tool's plugin does.
  const designPage = await browser.newPage();
  await designPage.setViewport({ width: 375, height: 812, deviceScaleFactor: 3 });
  await designPage.setContent(readFileSync(join(here, 'design.html'), 'utf8'));
  const design = await designPage.screenshot({ type: 'png' });
  await designPage.close();
  const frame = () => writeFrame(design, Date.now() / 1000 - 978307200);

  const shots = [];
  const scale = 3;
  async function take(page, file) {
    await page.screenshot({ path: file, type: 'png' });
    // Moderate compression keeps docs/ small without touching a pixel.
    execFileSync('convert', [file, '-strip', '-define', 'png:compression-level=9', file]);
    return statSync(file).size;
  }
  async function shoot(page, name) {
    const file = join(out, name);
    let size = await take(page, file);
    let at = scale;
    if (size > LIMIT) {
      // Too heavy for the repository at 3x (a blurred design, say): the same state at 2x.
      const viewport = page.viewport();
      await page.setViewport({ ...viewport, deviceScaleFactor: 2 });
      size = await take(page, file);
      await page.setViewport(viewport);
      at = 2;
    }
    shots.push([file, size, at]);
  }

  async function phone(landscape = false) {
    const context = await browser.createBrowserContext();
    const page = await context.newPage();
    await page.setUserAgent('Mozilla/5.0 (iPhone; CPU iPhone OS 17_5 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.5 Mobile/15E148 Safari/604.1');
    await page.setViewport({ width: landscape ? 844 : 390, height: landscape ? 390 : 844, deviceScaleFactor: scale, isMobile: true, hasTouch: true, isLandscape: landscape });
    const before = server.invitations.length;
    await page.goto(`${server.origin}/`);
    const session = await server.invitation(before + 1);
    return { page, session, context };
  }

  // Waiting for approval, with the code.
  const a = await phone();
  await stateIs(a.page, 'waiting');
  await shoot(a.page, 'viewer-waiting.png');
  // Mirroring a design.
  const joined = once(a.session, 'joined');
  a.session.accept();
  await joined;
  a.session.sendFrame(frame());
  await waitFor(a.page, () => document.documentElement.dataset.frames === '1');
  await shoot(a.page, 'viewer-mirroring.png');
  // The controls a tap brings up.
  await a.page.touchscreen.tap(195, 422);
  await waitFor(a.page, () => document.documentElement.classList.contains('controls-shown'));
  await new Promise((r) => setTimeout(r, 400)); // let the fade-in finish for the picture
  await shoot(a.page, 'viewer-controls.png');
  // Connection lost, computer out of reach: retrying, the old design dimmed behind.
  server.unreachable = true;
  a.session.drop();
  await stateIs(a.page, 'retrying');
  await waitFor(a.page, () => /in \d s/.test(document.getElementById('message').textContent));
  await shoot(a.page, 'viewer-retrying.png');
  server.unreachable = false;
  await a.context.close();
  // Declined.
  const b = await phone();
  await stateIs(b.page, 'waiting');
  b.session.out.control({ type: 'decline' });
  b.session.close(1000, 'declined');
  await stateIs(b.page, 'declined');
  await shoot(b.page, 'viewer-declined.png');
  await b.context.close();
  // Landscape.
  const c = await phone(true);
  const joinedC = once(c.session, 'joined');
  c.session.accept();
  await joinedC;
  c.session.sendFrame(frame());
  await waitFor(c.page, () => document.documentElement.dataset.frames === '1');
  await shoot(c.page, 'viewer-mirroring-landscape.png');
  await c.context.close();
  for (const [file, size, at] of shots) console.log(`${file}: ${Math.round(size / 1024)} KiB at ${at}x`);
} finally {
  await browser.close();
  await server.close();
  rmSync(profile, { recursive: true, force: true });
}
