// A browser phone for bench/latency: the web viewer page in Debian's Chromium (headless, driven by
// puppeteer-core), joined to a running app, reporting every preview the page has decoded. It speaks
// the way the reference phone does, one line each on standard output:
//
//   accepted by "HOST"                      the page is mirroring
//   decoded N WIDTHxHEIGHT at SECONDS received RECEIVED
//                                          the page's Nth image is decoded and on its stage
//
// SECONDS is the wall clock (as CLOCK_REALTIME), read in the page the moment the page put the decoded
// image up (it sets data-frames right after img.decode() resolves), not when this line is written.
// RECEIVED is when the newest binary WebSocket message before it reached the page (its message
// event), so that the time in the page can be told from the time on the way; "-" over the stream.
//
// Usage: node browser-phone.js --origin https://localhost:PORT --identity WEB_IDENTITY_PEM
//        --user-id ID [--transport websocket|stream] [--chromium PATH]
// Ends (closing its browser) on SIGTERM, SIGINT, or when its standard input closes: a benchmark that
// dies leaves no browser behind.
import { parseArgs } from 'node:util';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { X509Certificate, createHash } from 'node:crypto';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';

const { values: args } = parseArgs({
  options: {
    origin: { type: 'string' },
    identity: { type: 'string' },
    'user-id': { type: 'string' },
    transport: { type: 'string', default: 'websocket' },
    chromium: { type: 'string', default: process.env.CHROMIUM || '/usr/bin/chromium' },
  },
});
if (!args.origin || !args.identity || !args['user-id']) {
  process.stderr.write('usage: browser-phone.js --origin URL --identity PEM --user-id ID [--transport websocket|stream] [--chromium PATH]\n');
  process.exit(1);
}

const say = (line) => process.stdout.write(`${line}\n`);

// The browser trusts exactly the app's web identity, as a phone that accepted it once does.
const pem = readFileSync(args.identity, 'utf8');
const cert = pem.match(/-----BEGIN CERTIFICATE-----[\s\S]+?-----END CERTIFICATE-----/)[0];
const spki = new X509Certificate(cert).publicKey.export({ type: 'spki', format: 'der' });
const pin = createHash('sha256').update(spki).digest('base64');

const profile = mkdtempSync(join(tmpdir(), 'glasswing-browser-phone-'));
let browser;
let ending = false;
async function end(code) {
  if (ending) return;
  ending = true;
  await browser?.close().catch(() => {});
  rmSync(profile, { recursive: true, force: true });
  process.exit(code);
}
for (const signal of ['SIGTERM', 'SIGINT', 'SIGHUP']) process.on(signal, () => end(0));
process.stdin.on('end', () => end(0)).on('error', () => end(0)).resume();

try {
  browser = await puppeteer.launch({
    executablePath: args.chromium,
    headless: true,
    userDataDir: profile,
    handleSIGINT: false,
    handleSIGTERM: false,
    handleSIGHUP: false,
    args: [
      '--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--disable-background-timer-throttling', '--disable-renderer-backgrounding',
      `--ignore-certificate-errors-spki-list=${pin}`,
    ],
  });
  const page = await browser.newPage();
  page.on('pageerror', (e) => process.stderr.write(`page error: ${e.message}\n`));
  await page.setViewport({ width: 390, height: 844, deviceScaleFactor: 3, isMobile: true, hasTouch: true });
  await page.setUserAgent('Mozilla/5.0 (iPhone; CPU iPhone OS 17_5 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.5 Mobile/15E148 Safari/604.1');
  let accepted = false;
  await page.exposeFunction('__benchReport', (report) => {
    if (report.state === 'mirroring' && !accepted) {
      accepted = true;
      say(`accepted by "${report.name}"`);
    }
    if (report.frames !== undefined) {
      const received = report.received ? (report.received / 1000).toFixed(6) : '-';
      say(`decoded ${report.frames} ${report.width}x${report.height} at ${(report.at / 1000).toFixed(6)} received ${received}`);
    }
  });
  await page.evaluateOnNewDocument((id) => {
    localStorage.setItem('glasswing.userId', id);
    // When each binary message arrives: the page's own handler is wrapped, and runs unchanged.
    const onmessage = Object.getOwnPropertyDescriptor(WebSocket.prototype, 'onmessage');
    Object.defineProperty(WebSocket.prototype, 'onmessage', {
      configurable: true,
      get() {
        return onmessage.get.call(this);
      },
      set(handler) {
        onmessage.set.call(this, (event) => {
          if (typeof event.data !== 'string') window.__received = performance.timeOrigin + performance.now();
          return handler(event);
        });
      },
    });
    // Watches the page's own marks: data-state, and data-frames, set the moment a decoded image is up.
    new MutationObserver((records) => {
      const at = performance.timeOrigin + performance.now();
      const root = document.documentElement;
      for (const record of records) {
        if (record.attributeName === 'data-frames') {
          const img = document.querySelector('#stage .design');
          window.__benchReport({
            frames: Number(root.dataset.frames), width: img?.naturalWidth, height: img?.naturalHeight, at, received: window.__received,
          });
        } else if (record.attributeName === 'data-state') {
          window.__benchReport({ state: root.dataset.state, name: document.getElementById('bar-title')?.textContent });
        }
      }
    }).observe(document, { attributes: true, subtree: true, attributeFilter: ['data-state', 'data-frames'] });
  }, args['user-id']);
  const query = args.transport === 'stream' ? '?transport=stream' : '';
  await page.goto(`${args.origin}/${query}`);
} catch (e) {
  process.stderr.write(`browser-phone: ${e.message}\n`);
  await end(4);
}
