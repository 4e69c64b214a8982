// The phone's web viewer: joins the computer like any phone (PROTOCOL.md sections 3-7 and 10) and
// shows the newest preview. Everything runs on the page's main thread except image decoding, which
// the browser does off it (img.decode()). One connection ("link") at a time; the controller below
// owns it, the state shown, the retry timer and the displayed image.
import { parseFrame } from './plist.js';

// ---- Identity ------------------------------------------------------------------------------------

const USER_ID_KEY = 'glasswing.userId';
const NAME_KEY = 'glasswing.name';

function load(key) {
  try {
    return localStorage.getItem(key);
  } catch {
    return null; // storage refused (private mode): the page still works, it just forgets
  }
}

function store(key, value) {
  try {
    localStorage.setItem(key, value);
  } catch {
    // as above
  }
}

function randomId() {
  if (crypto.randomUUID) return crypto.randomUUID();
  const b = crypto.getRandomValues(new Uint8Array(16));
  b[6] = (b[6] & 0x0f) | 0x40;
  b[8] = (b[8] & 0x3f) | 0x80;
  const h = [...b].map((x) => x.toString(16).padStart(2, '0')).join('');
  return `${h.slice(0, 8)}-${h.slice(8, 12)}-${h.slice(12, 16)}-${h.slice(16, 20)}-${h.slice(20)}`;
}

// Kept for good, so that the computer's "Remember this device" recognises this browser next time.
function userId() {
  let id = load(USER_ID_KEY);
  if (!id) {
    id = randomId();
    store(USER_ID_KEY, id);
  }
  return id;
}

// What a person calls the device in front of them; the computer's alert shows it.
function defaultName() {
  const ua = navigator.userAgent;
  if (/iPhone/.test(ua)) return 'iPhone';
  // iPadOS asks for the desktop site and says "Macintosh"; only its touch screen gives it away.
  if (/iPad/.test(ua) || (/Macintosh/.test(ua) && navigator.maxTouchPoints > 1)) return 'iPad';
  if (/Android/.test(ua)) return /Mobile/.test(ua) ? 'Android phone' : 'Android tablet';
  return /Mobi/.test(ua) ? 'Phone' : 'Browser';
}

function phoneName() {
  return displayable(load(NAME_KEY) ?? '') || defaultName();
}

// A name as text to show: no control or invisible formatting characters (a right-to-left override
// would turn the sentence around it backwards), white space runs as one space, at most 63 characters.
function displayable(name) {
  return name
    .replace(/[\u0000-\u001f\u007f-\u009f\u00ad\u061c\u180e\u200b-\u200f\u202a-\u202e\u2060-\u206f\ufeff\ufff9-\ufffb]/g, '')
    .replace(/\s+/g, ' ')
    .trim()
    .slice(0, 63);
}

function base64Utf8(text) {
  let binary = '';
  for (const b of new TextEncoder().encode(text)) binary += String.fromCharCode(b);
  return btoa(binary);
}

function invitation() {
  return { type: 'invitation', name: phoneName(), context: base64Utf8(userId()) };
}

// ---- Transports ----------------------------------------------------------------------------------
// A link reports, in this order: control messages (hello, accept, decline; others are ignored by the
// controller), frames (Uint8Array, only after accept), then exactly one close({code, reason, opened}),
// unless the controller closed it first, after which it reports nothing. `opened` says whether the
// transport itself was established (WebSocket open, or the stream's 200 answer).

const MAX_RECORD = 32 * 1024 * 1024 + 1024; // the largest frame the computer sends, and some slack
const STREAM_SILENCE_MS = 8000; // keepalive records come every 2 s

class SocketLink {
  constructor(handlers) {
    this.handlers = handlers;
    this.ended = false;
    this.opened = false;
  }

  start(invite) {
    const ws = new WebSocket(`wss://${location.host}/session`);
    this.ws = ws;
    ws.binaryType = 'arraybuffer';
    ws.onopen = () => {
      this.opened = true;
    };
    ws.onmessage = (event) => {
      if (this.ended) return;
      if (typeof event.data !== 'string') {
        this.handlers.frame(new Uint8Array(event.data));
        return;
      }
      let msg;
      try {
        msg = JSON.parse(event.data);
      } catch {
        return; // the computer writes JSON; anything else is not for us
      }
      if (!msg || typeof msg !== 'object') return;
      // The computer speaks first; the invitation answers its hello.
      if (msg.type === 'hello' && !this.invited) {
        this.invited = true;
        ws.send(JSON.stringify(invite));
      }
      if (msg.type === 'accept') ws.send('{"type":"joined"}');
      this.handlers.control(msg);
    };
    ws.onclose = (event) => this.finish(event.code, event.reason);
  }

  finish(code, reason) {
    if (this.ended) return;
    this.ended = true;
    this.handlers.closed({ code, reason, opened: this.opened });
  }

  close() {
    this.ended = true;
    try {
      this.ws.close(1000);
    } catch {
      // already closing
    }
  }
}

// Bytes of a stream answer, taken out record by record without copying more than a record's own.
class ByteQueue {
  constructor() {
    this.chunks = [];
    this.size = 0;
  }
  push(chunk) {
    if (chunk.length) {
      this.chunks.push(chunk);
      this.size += chunk.length;
    }
  }
  peek(n) {
    return this.take(n, true);
  }
  take(n, keep = false) {
    const first = this.chunks[0];
    let out;
    if (first.length >= n) {
      out = first.subarray(0, n);
      if (!keep) {
        this.chunks[0] = first.subarray(n);
        if (!this.chunks[0].length) this.chunks.shift();
      }
    } else {
      out = new Uint8Array(n);
      let at = 0;
      let i = 0;
      while (at < n) {
        const c = this.chunks[i];
        const part = Math.min(c.length, n - at);
        out.set(c.subarray(0, part), at);
        at += part;
        if (keep) {
          ++i;
        } else if (part === c.length) {
          this.chunks.shift();
        } else {
          this.chunks[0] = c.subarray(part);
        }
      }
    }
    if (!keep) this.size -= n;
    return out;
  }
}

// POST /stream: the invitation goes with the request; records come back until the computer closes.
class StreamLink {
  constructor(handlers) {
    this.handlers = handlers;
    this.ended = false;
    this.opened = false;
    this.abort = new AbortController();
  }

  async start(invite) {
    let response;
    try {
      response = await fetch('/stream', {
        method: 'POST',
        headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify(invite),
        cache: 'no-store',
        signal: this.abort.signal,
      });
    } catch {
      this.finish(1006, '');
      return;
    }
    if (!response.ok || !response.body) {
      this.finish(4000 + response.status, `HTTP ${response.status} ${response.statusText}`.trim());
      return;
    }
    this.opened = true;
    const reader = response.body.getReader();
    const queue = new ByteQueue();
    this.watch();
    try {
      for (;;) {
        const { done, value } = await reader.read();
        if (this.ended) return;
        if (done) break;
        this.watch();
        queue.push(value);
        while (queue.size >= 5) {
          const head = queue.peek(5);
          const kind = head[0];
          const length = ((head[1] << 24) >>> 0) + (head[2] << 16) + (head[3] << 8) + head[4];
          if (length > MAX_RECORD) {
            this.finish(1009, 'record too large');
            return;
          }
          if (queue.size < 5 + length) break;
          queue.take(5);
          const payload = length ? queue.take(length) : new Uint8Array(0);
          if (!this.record(kind, payload)) return;
        }
      }
    } catch {
      // a broken body is a lost connection, reported below
    }
    this.finish(1006, '');
  }

  // Returns false once the stream is over.
  record(kind, payload) {
    if (kind === 1) {
      let msg;
      try {
        msg = JSON.parse(new TextDecoder().decode(payload));
      } catch {
        return true;
      }
      if (msg && typeof msg === 'object') this.handlers.control(msg);
    } else if (kind === 2) {
      this.handlers.frame(payload);
    } else if (kind === 4) {
      const code = payload.length >= 2 ? (payload[0] << 8) | payload[1] : 1005;
      this.finish(code, new TextDecoder().decode(payload.subarray(2)));
      return false;
    }
    return !this.ended; // kind 3 (keepalive) and unknown kinds only prove the link is alive
  }

  // A stream that falls silent is as good as lost: the computer sends a keepalive every 2 s.
  watch() {
    clearTimeout(this.silence);
    this.silence = setTimeout(() => this.finish(1006, 'silent'), STREAM_SILENCE_MS);
  }

  finish(code, reason) {
    if (this.ended) return;
    this.ended = true;
    clearTimeout(this.silence);
    this.abort.abort();
    this.handlers.closed({ code, reason, opened: this.opened });
  }

  close() {
    this.ended = true;
    clearTimeout(this.silence);
    this.abort.abort();
  }
}

// ---- Page ----------------------------------------------------------------------------------------

const $ = (id) => document.getElementById(id);
const root = document.documentElement;

// The preview is the design tool's 3x render of the artboard. "Actual size" shows one design point as
// one CSS pixel (naturalWidth / 3), which is how the design looks on a phone built from it; image
// pixels / devicePixelRatio would show it at the wrong size on any screen that is not exactly 3x.
const RENDER_SCALE = 3;
const BACKOFF_S = [1, 2, 4, 8, 10];
const CONTROLS_MS = 3000;
const WAITING_GRACE_MS = 800;

// ?transport=stream forces the stream path (tests; or a browser known to refuse the WebSocket);
// ?transport=websocket never falls back.
const forced = new URLSearchParams(location.search).get('transport');

const GLYPHS = {
  spinner: '<svg viewBox="0 0 48 48"><circle class="track" cx="24" cy="24" r="20"/><circle class="arc" cx="24" cy="24" r="20"/></svg>',
  phone: '<svg viewBox="0 0 48 48"><rect x="15" y="6" width="18" height="36" rx="4.5"/><path d="M21 11h6"/><circle class="fill" cx="24" cy="37" r="1.4"/></svg>',
  declined: '<svg viewBox="0 0 48 48"><circle cx="24" cy="24" r="17"/><path d="M12 36 36 12"/></svg>',
  clock: '<svg viewBox="0 0 48 48"><circle cx="24" cy="24" r="17"/><path d="M24 14v10l7 5"/></svg>',
  unplugged: '<svg viewBox="0 0 48 48"><path d="M19 13v8M29 13v8M15 21h18v5a9 9 0 0 1-18 0zM24 35v7"/><path class="strike" d="M9 9 39 39"/></svg>',
  warning: '<svg viewBox="0 0 48 48"><path d="M24 8 42 39H6z"/><path d="M24 20v9"/><circle class="fill" cx="24" cy="34" r="1.6"/></svg>',
  connected: '<svg viewBox="0 0 48 48"><rect x="15" y="6" width="18" height="36" rx="4.5"/><path d="m19.5 24 3.2 3.2 6-6.4"/></svg>',
};

class Viewer {
  constructor() {
    this.state = 'connecting';
    this.link = null;
    this.transport = forced === 'stream' ? 'stream' : 'websocket';
    this.macName = '';
    this.code = '';
    this.phase = 'idle'; // idle, invited, accepted (per link)
    this.backoff = 0; // index into BACKOFF_S of the next wait
    this.retryTimer = 0;
    this.retryAt = 0;
    this.everAccepted = false;
    this.attempts = 0;
    this.framesShown = 0;
    this.actualSize = false;
    this.image = null; // the <img> on the stage
    this.imageUrl = '';
    this.pending = null; // newest frame bytes waiting to be decoded
    this.decoding = false;
    this.wakeLock = null;
    this.wakePending = false;
    this.controlsTimer = 0;
  }

  // ---- connection --------------------------------------------------------------------------------

  connect() {
    clearTimeout(this.retryTimer);
    clearInterval(this.countdown);
    this.retryTimer = 0;
    if (this.link) this.link.close();
    this.phase = 'idle';
    this.code = '';
    this.attempts += 1;
    root.dataset.attempts = String(this.attempts);
    this.show(this.state === 'retrying' ? 'retrying' : 'connecting');
    this.open(this.transport);
  }

  open(transport) {
    const handlers = {
      control: (msg) => this.onControl(link, msg),
      frame: (bytes) => this.onFrame(link, bytes),
      closed: (info) => this.onClosed(link, transport, info),
    };
    const link = transport === 'stream' ? new StreamLink(handlers) : new SocketLink(handlers);
    this.link = link;
    root.dataset.transport = transport;
    if (transport === 'stream') this.phase = 'invited'; // the invitation is the request itself
    link.start(invitation());
  }

  onControl(link, msg) {
    if (link !== this.link) return;
    if (msg.type === 'hello') {
      // Both come from the computer, but a screen has room for a short code and a host name only.
      if (typeof msg.name === 'string') this.macName = displayable(msg.name);
      if (typeof msg.code === 'string') this.code = msg.code.slice(0, 8);
      this.phase = 'invited';
      // A remembered phone is accepted at once: showing "waiting" for those few milliseconds would
      // only flash. Anyone who really waits sees the code a moment later.
      clearTimeout(this.waitingTimer);
      this.waitingTimer = setTimeout(() => {
        if (this.link === link && this.phase === 'invited') this.show('waiting');
      }, WAITING_GRACE_MS);
      this.render();
    } else if (msg.type === 'accept') {
      if (typeof msg.name === 'string' && displayable(msg.name)) this.macName = displayable(msg.name);
      this.phase = 'accepted';
      this.everAccepted = true;
      this.backoff = 0;
      this.show('mirroring');
    } else if (msg.type === 'decline') {
      this.phase = 'declined';
      this.show('declined');
    }
  }

  onClosed(link, transport, { code, reason, opened }) {
    if (link !== this.link) return;
    this.link = null;
    // A WebSocket that never opened may be refused by this browser (iOS Safari behind a self-signed
    // certificate) while plain HTTPS works: try the stream at once, and keep to it if it works.
    if (transport === 'websocket' && !opened && forced !== 'websocket') {
      this.streamFallback = true;
      this.open('stream');
      return;
    }
    if (transport === 'stream' && this.streamFallback && opened) this.transport = 'stream';
    if (this.phase === 'declined' || (code === 1000 && reason === 'declined')) {
      this.show('declined');
    } else if (code === 1008 && reason === 'time-out' && this.phase === 'invited') {
      this.show('timeout');
    } else if (code === 1000 && reason === 'disconnected') {
      this.show('disconnected');
    } else if ((code === 1008 && reason !== 'time-out') || code === 1009 || (code >= 4400 && code < 4500)) {
      // The computer refused what this page sent: retrying would only be refused again.
      this.failure = reason || `closed with code ${code}`;
      this.show('error');
    } else {
      this.reachable = opened || this.everAccepted;
      this.scheduleRetry();
    }
  }

  scheduleRetry() {
    this.show('retrying');
    // A hidden page waits: the phone is locked or in another app, and comes back through visibility.
    if (document.visibilityState === 'hidden') {
      this.retryAt = 0;
      this.render();
      return;
    }
    const seconds = BACKOFF_S[Math.min(this.backoff, BACKOFF_S.length - 1)];
    this.backoff += 1;
    this.retryAt = Date.now() + seconds * 1000;
    this.retryTimer = setTimeout(() => this.connect(), seconds * 1000);
    clearInterval(this.countdown);
    this.countdown = setInterval(() => this.render(), 1000);
    this.render();
  }

  // The user asked (Ask again, Connect again, Try again) or the page came back into view.
  connectNow() {
    this.backoff = 0;
    this.failure = '';
    this.connect();
  }

  comeBack() {
    if (document.visibilityState !== 'visible') return;
    if (this.state === 'retrying' || (!this.link && this.state === 'connecting')) this.connectNow();
    if (this.state === 'mirroring') this.keepAwake(true);
  }

  // ---- frames ------------------------------------------------------------------------------------

  onFrame(link, bytes) {
    if (link !== this.link || this.phase !== 'accepted') return;
    this.pending = bytes; // a newer frame replaces one not yet decoded
    if (!this.decoding) this.decodeNext();
  }

  async decodeNext() {
    this.decoding = true;
    while (this.pending) {
      const bytes = this.pending;
      this.pending = null;
      let image;
      try {
        ({ image } = parseFrame(bytes));
      } catch (e) {
        console.warn('Glasswing: unreadable frame:', e.message);
        continue;
      }
      if (!image.length) continue; // the design tool was mid-write: keep what is shown
      const url = URL.createObjectURL(new Blob([image], { type: 'image/png' }));
      const img = new Image();
      img.alt = 'Design preview';
      img.decoding = 'async';
      img.draggable = false;
      img.src = url;
      try {
        await img.decode(); // off the main thread; the shown image stays until this one is ready
      } catch {
        URL.revokeObjectURL(url);
        console.warn('Glasswing: a frame did not decode as an image');
        continue;
      }
      this.showImage(img, url);
    }
    this.decoding = false;
  }

  showImage(img, url) {
    const stage = $('stage');
    img.className = 'design';
    this.sizeImage(img);
    if (this.image) stage.replaceChild(img, this.image);
    else stage.append(img);
    if (this.imageUrl) URL.revokeObjectURL(this.imageUrl);
    this.image = img;
    this.imageUrl = url;
    this.framesShown += 1;
    root.dataset.frames = String(this.framesShown);
    root.classList.add('has-image');
    if (this.state === 'mirroring') this.render();
  }

  sizeImage(img) {
    if (this.actualSize) {
      img.style.width = `${img.naturalWidth / RENDER_SCALE}px`;
      img.style.height = `${img.naturalHeight / RENDER_SCALE}px`;
    } else {
      img.style.width = '';
      img.style.height = '';
    }
  }

  toggleActualSize() {
    this.actualSize = !this.actualSize;
    root.classList.toggle('actual-size', this.actualSize);
    if (this.image) this.sizeImage(this.image);
    $('size-button').textContent = this.actualSize ? 'Fit to screen' : 'Actual size';
    if (this.actualSize && this.image) {
      // Start from the top centre of the design, where a screen's content begins.
      const stage = $('stage');
      stage.scrollTop = 0;
      stage.scrollLeft = Math.max(0, (stage.scrollWidth - stage.clientWidth) / 2);
    }
  }

  // ---- screen ------------------------------------------------------------------------------------

  async keepAwake(on) {
    if (!on) {
      const lock = this.wakeLock;
      this.wakeLock = null;
      if (lock) lock.release().catch(() => {});
      return;
    }
    if (this.wakeLock || this.wakePending || !navigator.wakeLock || document.visibilityState !== 'visible') return;
    this.wakePending = true;
    try {
      const lock = await navigator.wakeLock.request('screen');
      if (this.state === 'mirroring') {
        this.wakeLock = lock;
        // The browser drops the lock when the page is hidden; visibility brings it back.
        lock.addEventListener('release', () => {
          if (this.wakeLock === lock) this.wakeLock = null;
        });
      } else {
        lock.release().catch(() => {});
      }
    } catch {
      // refused (battery saver, no permission): the screen may sleep, nothing else changes
    } finally {
      this.wakePending = false;
    }
  }

  showControls() {
    if (this.state !== 'mirroring') return;
    root.classList.add('controls-shown');
    $('controls').setAttribute('aria-hidden', 'false');
    clearTimeout(this.controlsTimer);
    this.controlsTimer = setTimeout(() => this.hideControls(), CONTROLS_MS);
  }

  hideControls() {
    clearTimeout(this.controlsTimer);
    root.classList.remove('controls-shown');
    $('controls').setAttribute('aria-hidden', 'true');
  }

  // ---- state shown -------------------------------------------------------------------------------

  show(state) {
    const was = this.state;
    this.state = state;
    if (state !== 'retrying') clearInterval(this.countdown);
    if (state === 'mirroring') this.keepAwake(true);
    else if (was === 'mirroring') {
      this.keepAwake(false);
      this.hideControls();
    }
    this.render();
  }

  render() {
    const s = this.state;
    const mac = this.macName || 'the computer';
    root.dataset.state = s;
    let glyph = 'spinner';
    let title = '';
    let message = '';
    let action = '';
    switch (s) {
      case 'connecting':
        title = 'Connecting';
        message = `Reaching ${mac}…`;
        break;
      case 'waiting':
        glyph = 'phone';
        title = 'Waiting for approval';
        message = `On ${mac}, choose Allow when Glasswing asks about “${phoneName()}”.`;
        break;
      case 'mirroring':
        glyph = 'connected';
        title = `Connected to ${mac}`;
        message = 'The design shows here as soon as the computer has a preview.';
        break;
      case 'declined':
        glyph = 'declined';
        title = 'Not allowed';
        message = `Someone on ${mac} chose Don’t Allow.`;
        action = 'Ask again';
        break;
      case 'timeout':
        glyph = 'clock';
        title = 'No answer';
        message = `Nobody answered on ${mac} in time.`;
        action = 'Ask again';
        break;
      case 'disconnected':
        glyph = 'unplugged';
        title = 'Disconnected';
        message = `${mac} stopped mirroring to this phone.`;
        action = 'Connect again';
        break;
      case 'error':
        glyph = 'warning';
        title = 'Cannot connect';
        message = `${mac} refused this page: ${this.failure}.`;
        action = 'Try again';
        break;
      case 'retrying': {
        const waiting = this.retryTimer && this.retryAt > Date.now();
        const left = Math.max(1, Math.ceil((this.retryAt - Date.now()) / 1000));
        const when = waiting ? `Trying again in ${left} s.` : 'Trying again…';
        if (this.everAccepted || this.reachable) {
          title = 'Connection lost';
          message = `${when} Keep this phone on the same network as ${mac}.`;
        } else {
          title = 'Cannot reach the computer';
          message = `${when} Check that Glasswing is running and this phone is on the same network.`;
        }
        action = waiting ? 'Try now' : '';
        break;
      }
    }
    const glyphBox = $('glyph');
    if (glyphBox.dataset.glyph !== glyph) {
      glyphBox.dataset.glyph = glyph;
      glyphBox.innerHTML = GLYPHS[glyph];
    }
    $('title').textContent = title;
    $('message').textContent = message;
    const codeBlock = $('code-block');
    codeBlock.hidden = !(s === 'waiting' && this.code);
    if (!codeBlock.hidden) {
      const code = $('code');
      code.replaceChildren(
        ...[...this.code].map((c) => {
          const tile = document.createElement('span');
          tile.textContent = c;
          return tile;
        }),
      );
    }
    const button = $('action');
    button.hidden = !action;
    button.textContent = action;
    // The page retries by itself: "Try now" is a shortcut, not the way on.
    button.classList.toggle('secondary', s === 'retrying');
    $('name-button').textContent = phoneName();
    $('name-row').hidden = s === 'mirroring' || !$('name-form').hidden;
    // While mirroring with a design, nothing covers it: the card goes away.
    root.classList.toggle('card-hidden', s === 'mirroring' && this.image !== null);
    $('bar-title').textContent = this.macName || 'Glasswing';
    $('bar-sub').textContent = `Mirroring to ${phoneName()}`;
  }

  // ---- name --------------------------------------------------------------------------------------

  editName() {
    const form = $('name-form');
    const input = $('name-input');
    input.value = phoneName();
    form.hidden = false;
    $('name-row').hidden = true;
    input.focus();
    input.select();
  }

  saveName(value) {
    const name = displayable(value);
    store(NAME_KEY, name === defaultName() ? '' : name);
    $('name-form').hidden = true;
    // An alert already showing carries the old name: ask again under the new one.
    if (this.state === 'waiting') this.connectNow();
    else this.render();
  }

  // ---- wiring ------------------------------------------------------------------------------------

  wire() {
    $('action').addEventListener('click', () => this.connectNow());
    $('name-button').addEventListener('click', () => this.editName());
    $('name-form').addEventListener('submit', (event) => {
      event.preventDefault(); // nothing is sent anywhere: the name is kept in this browser
      this.saveName($('name-input').value);
    });
    $('name-input').addEventListener('keydown', (event) => {
      if (event.key === 'Escape') {
        $('name-form').hidden = true;
        this.render();
      }
    });
    $('size-button').addEventListener('click', () => {
      this.toggleActualSize();
      this.showControls();
    });
    const fs = $('fullscreen-button');
    const canFullscreen = document.fullscreenEnabled || document.webkitFullscreenEnabled;
    fs.hidden = !canFullscreen;
    fs.addEventListener('click', () => {
      const inFullscreen = document.fullscreenElement || document.webkitFullscreenElement;
      if (inFullscreen) (document.exitFullscreen || document.webkitExitFullscreen).call(document);
      else (root.requestFullscreen || root.webkitRequestFullscreen).call(root).catch?.(() => {});
      this.showControls();
    });
    document.addEventListener('fullscreenchange', () => {
      fs.textContent = document.fullscreenElement ? 'Exit full screen' : 'Full screen';
    });
    this.wireTaps();
    document.addEventListener('visibilitychange', () => this.comeBack());
    window.addEventListener('pageshow', () => this.comeBack());
    window.addEventListener('online', () => this.comeBack());
  }

  // One tap shows the controls; two quick taps toggle actual size. Pinches (two fingers) are left
  // to the browser. The stage has touch-action: manipulation, so the browser does not take the
  // double tap for its own zoom.
  wireTaps() {
    const stage = $('stage');
    let lastUp = 0;
    let lastX = 0;
    let lastY = 0;
    let fingers = 0;
    let multi = false;
    let single = 0;
    stage.addEventListener('pointerdown', () => {
      fingers += 1;
      if (fingers > 1) multi = true;
    });
    const up = (event) => {
      fingers = Math.max(0, fingers - 1);
      if (event.type !== 'pointerup' || multi) {
        if (fingers === 0) multi = false;
        return;
      }
      const now = event.timeStamp;
      const near = Math.hypot(event.clientX - lastX, event.clientY - lastY) < 40;
      if (now - lastUp < 320 && near) {
        clearTimeout(single);
        lastUp = 0;
        if (this.state === 'mirroring' && this.image) this.toggleActualSize();
        return;
      }
      lastUp = now;
      lastX = event.clientX;
      lastY = event.clientY;
      clearTimeout(single);
      single = setTimeout(() => {
        if (root.classList.contains('controls-shown')) this.hideControls();
        else this.showControls();
      }, 320);
    };
    stage.addEventListener('pointerup', up);
    stage.addEventListener('pointercancel', up);
  }
}

const viewer = new Viewer();
viewer.wire();
viewer.render();
viewer.connect();
