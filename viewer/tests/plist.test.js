// Unit tests of the page's frame reader, under Node's own test runner (no dependencies).
// Valid frames come from Python's plistlib (the same library family that writes the Mac's frames in
// the other tests) and from the test writer, whose output plistlib reads back first.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import { parseFrame, PlistError } from '../plist.js';
import { writeFrame } from './bplist-writer.js';

function python(script, input) {
  const run = spawnSync('python3', ['-c', script], { input: input ?? '', maxBuffer: 256 << 20, encoding: 'utf8' });
  assert.equal(run.status, 0, `python3 failed: ${run.stderr}`);
  return JSON.parse(run.stdout);
}

function sha(bytes) {
  return createHash('sha256').update(bytes).digest('hex');
}

// A deterministic image of n bytes (not compressible, so sizes are what they say).
function pattern(n, seed = 1) {
  const out = new Uint8Array(n);
  let x = seed >>> 0 || 1;
  for (let i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >>> 17;
    x ^= x << 5;
    out[i] = x & 0xff;
  }
  return out;
}

// Frames written by plistlib: sizes chosen for each length and offset width it uses.
const PLISTLIB_FRAMES = String.raw`
import base64, json, plistlib, random
rows = []
def frame(name, size, timestamp, pad=0):
    rnd = random.Random(size)
    image = bytes(rnd.getrandbits(8) for _ in range(size)) if size < 100000 else rnd.randbytes(size)
    top = {"timestamp": timestamp, "image": image}
    if pad:
        top["pad"] = list(range(1000, 1000 + pad))
    data = plistlib.dumps(top, fmt=plistlib.FMT_BINARY)
    trailer = data[-32:]
    rows.append({"name": name, "plist": base64.b64encode(data).decode(), "image": base64.b64encode(image).decode(),
                 "timestamp": timestamp, "offsetSize": trailer[6], "refSize": trailer[7]})
frame("empty image", 0, 786000000.25)
frame("1-byte image", 1, 0.0)
frame("14-byte image, length in the marker", 14, -1.5)
frame("15-byte image, 1-byte length", 15, 1e9)
frame("300-byte image, 2-byte length, 2-byte offsets", 300, 786000000.123456)
frame("70000-byte image, 4-byte length and offsets", 70000, 786000001.0)
frame("large 5 MiB image", 5 << 20, 786000002.5)
frame("2-byte object references", 10, 786000003.0, pad=300)
print(json.dumps(rows))
`;

test('frames written by plistlib', async (t) => {
  const rows = python(PLISTLIB_FRAMES);
  const widths = new Set(rows.map((r) => `${r.offsetSize}/${r.refSize}`));
  // The rows must really cover 1-, 2- and 4-byte offsets and 2-byte references, or they test less than they say.
  for (const w of ['1/1', '2/1', '4/1']) assert.ok(widths.has(w), `no plistlib frame with offset/ref sizes ${w}`);
  assert.ok(rows.some((r) => r.refSize === 2), 'no plistlib frame with 2-byte references');
  for (const row of rows) {
    await t.test(row.name, () => {
      const bytes = Buffer.from(row.plist, 'base64');
      const expected = Buffer.from(row.image, 'base64');
      const frame = parseFrame(new Uint8Array(bytes));
      assert.equal(frame.timestamp, row.timestamp);
      assert.equal(frame.image.length, expected.length);
      assert.equal(sha(frame.image), sha(expected));
      // The same bytes in the middle of a larger buffer: views are honoured, nothing outside is read.
      const padded = new Uint8Array(bytes.length + 64).fill(0xee);
      padded.set(bytes, 32);
      const inner = parseFrame(padded.subarray(32, 32 + bytes.length));
      assert.equal(sha(inner.image), sha(expected));
      assert.equal(inner.image.byteOffset >= 32 && inner.image.byteOffset + inner.image.length <= 32 + bytes.length, true);
      // An ArrayBuffer is accepted as well.
      assert.equal(parseFrame(bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length)).image.length, expected.length);
    });
  }
});

// Encodings plistlib does not write but the format allows; plistlib must read each of them too.
const WRITER_ROWS = [
  { name: '1-byte offsets and references', image: 3, options: { offsetSize: 1, refSize: 1 } },
  { name: '2-byte offsets, 1-byte length', image: 20, options: { offsetSize: 2, lengthSize: 1 } },
  { name: '8-byte offsets and references', image: 40, options: { offsetSize: 8, refSize: 8 } },
  { name: '8-byte length of an empty image', image: 0, options: { lengthSize: 8 } },
  { name: '8-byte length of a 1-byte image', image: 1, options: { lengthSize: 8, offsetSize: 8 } },
  { name: '2-byte length, 4-byte references', image: 5, options: { lengthSize: 2, refSize: 4 } },
  { name: '4-byte real timestamp', image: 7, options: { float32: true }, timestamp: 1.5 },
  { name: 'UTF-16 keys', image: 9, options: { utf16Keys: true } },
  { name: '2-byte references from many objects', image: 11, options: { padding: 400 } },
  { name: 'large image, 8-byte everything', image: 3 << 20, options: { offsetSize: 8, refSize: 8, lengthSize: 8 } },
];

test('frames in every integer width', async (t) => {
  const frames = WRITER_ROWS.map((row) => ({ ...row, bytes: writeFrame(pattern(row.image, row.image + 7), row.timestamp ?? 786000000.5, row.options) }));
  // plistlib reads each one back to the same values: the writer makes valid property lists.
  const checked = python(String.raw`
import base64, hashlib, json, plistlib, sys
out = []
for b in json.load(sys.stdin):
    top = plistlib.loads(base64.b64decode(b), fmt=plistlib.FMT_BINARY)
    out.append({"sha": hashlib.sha256(top["image"]).hexdigest(), "timestamp": top["timestamp"]})
print(json.dumps(out))
`, JSON.stringify(frames.map((f) => Buffer.from(f.bytes).toString('base64'))));
  for (const [i, row] of frames.entries()) {
    await t.test(row.name, () => {
      const expected = pattern(row.image, row.image + 7);
      assert.equal(checked[i].sha, sha(expected), 'plistlib read a different image');
      const frame = parseFrame(row.bytes);
      assert.equal(sha(frame.image), sha(expected));
      assert.equal(frame.timestamp, checked[i].timestamp);
    });
  }
});

// ---- Malformed frames --------------------------------------------------------------------------

// The reference frame: objects in order dict(0), "image"(1), "timestamp"(2), data(3), real(4).
const IMAGE = pattern(20, 3);
const base = () => writeFrame(IMAGE, 786000000.5, { offsetSize: 1, refSize: 1 });

function trailerAt(f) {
  return f.length - 32;
}
function setTrailer(f, field, value) {
  const t = trailerAt(f);
  const at = { offsetSize: t + 6, refSize: t + 7, count: t + 8, top: t + 16, table: t + 24 }[field];
  if (field === 'offsetSize' || field === 'refSize') f[at] = value;
  else new DataView(f.buffer, f.byteOffset).setBigUint64(at, BigInt(value), false);
  return f;
}
function tableOffset(f) {
  return Number(new DataView(f.buffer, f.byteOffset).getBigUint64(trailerAt(f) + 24, false));
}
function objectAt(f, index) {
  return f[tableOffset(f) + index]; // 1-byte offsets in the reference frame
}
function setOffset(f, index, value) {
  f[tableOffset(f) + index] = value;
  return f;
}
function patch(f, index, ...bytes) {
  f.set(bytes, objectAt(f, index));
  return f;
}

const MALFORMED = [
  ['empty input', () => new Uint8Array(0), /too short/],
  ['header only', () => new TextEncoder().encode('bplist00'), /too short/],
  ['not binary data', () => 'bplist00', /not binary/],
  ['wrong magic', () => { const f = base(); f[7] = 0x31; return f; }, /bplist00/],
  ['trailer cut by one byte', () => base().subarray(0, base().length - 1), /./],
  ['trailer cut in half', () => base().subarray(0, base().length - 16), /./],
  ['offset size 0', () => setTrailer(base(), 'offsetSize', 0), /offset size/],
  ['offset size 9', () => setTrailer(base(), 'offsetSize', 9), /offset size/],
  ['reference size 0', () => setTrailer(base(), 'refSize', 0), /reference size/],
  ['no objects', () => setTrailer(base(), 'count', 0), /no objects/],
  ['huge object count', () => setTrailer(base(), 'count', 2n ** 62n), /too large/],
  ['object count past the table', () => setTrailer(base(), 'count', 1000), /offset table too short/],
  ['top object out of range', () => setTrailer(base(), 'top', 5), /top object/],
  ['offset table past the end', () => setTrailer(base(), 'table', 1 << 20), /offset table/],
  ['offset table at 2^64-1', () => setTrailer(base(), 'table', 2n ** 64n - 1n), /too large/],
  ['offset table inside the header', () => setTrailer(base(), 'table', 3), /offset table/],
  ['object offset past the end', () => setOffset(base(), 3, 250), /outside the object area/],
  ['object offset inside the header', () => setOffset(base(), 0, 2), /outside the object area/],
  ['object offset at the table', () => { const f = base(); return setOffset(f, 4, tableOffset(f)); }, /outside/],
  ['key reference out of range', () => patch(base(), 0, 0xd2, 9, 2), /out of range/],
  ['value reference out of range', () => patch(base(), 0, 0xd2, 1, 2, 200), /out of range/],
  ['top object is data', () => setTrailer(base(), 'top', 3), /not a dictionary/],
  ['top object is an array', () => patch(base(), 0, 0xa2, 1, 2), /not a dictionary/],
  ['key is the dictionary itself (cycle)', () => patch(base(), 0, 0xd2, 0, 2), /not a string/],
  ['image is the dictionary itself (cycle)', () => patch(base(), 0, 0xd2, 1, 2, 0), /not data/],
  ['timestamp is the dictionary itself (cycle)', () => patch(base(), 0, 0xd2, 1, 2, 3, 0), /not a real/],
  ['image is a real', () => patch(base(), 0, 0xd2, 1, 2, 4, 4), /not data/],
  ['timestamp is data', () => patch(base(), 0, 0xd2, 1, 2, 3, 3), /not a real/],
  ['timestamp is an integer', () => patch(base(), 4, 0x13), /not a real/],
  ['no image', () => patch(base(), 0, 0xd1, 2, 4), /no "image"/],
  ['no timestamp', () => patch(base(), 0, 0xd1, 1, 3), /no "timestamp"/],
  ['image twice', () => patch(base(), 0, 0xd2, 1, 1, 3, 3), /twice/],
  ['key is not ASCII', () => patch(base(), 1, 0x55, 0xc3, 0xa9), /over 0x7f/],
  ['dictionary count 2^62', () => patch(base(), 0, 0xdf, 0x13, 0x40, 0, 0, 0, 0, 0, 0, 0), /too large/],
  ['dictionary count 2^40', () => patch(base(), 0, 0xdf, 0x13, 0, 0, 1, 0, 0, 0, 0, 0), /runs past/],
  ['dictionary count 2^53', () => patch(base(), 0, 0xdf, 0x13, 0, 0x20, 0, 0, 0, 0, 0, 0), /too large/],
  ['dictionary count 255', () => patch(base(), 0, 0xdf, 0x10, 0xff), /runs past/],
  ['dictionary count not an integer', () => patch(base(), 0, 0xdf, 0x23), /not an integer/],
  ['data length 2^53-1', () => patch(base(), 3, 0x4f, 0x13, 0, 0x1f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff), /runs past/],
  ['data length negative', () => patch(base(), 3, 0x4f, 0x13, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff), /negative/],
  ['data length a 16-byte integer', () => patch(base(), 3, 0x4f, 0x14), /16-byte/],
  ['data length one past the object area', () => patch(base(), 3, 0x4f, 0x10, 0xff), /runs past/],
  ['string length past the object area', () => patch(base(), 1, 0x5f, 0x11, 0x7f, 0xff), /runs past/],
  ['UTF-16 string length past the object area', () => patch(base(), 1, 0x6f, 0x12, 0x40, 0, 0, 0), /runs past/],
  ['length marker on the last byte of the object area', () => { const f = base(); return setOffset(f, 3, tableOffset(f) - 1).fill(0x4f, tableOffset(f) - 1, tableOffset(f)); }, /outside/],
  ['real cut by the offset table', () => { const f = base(); return setOffset(f, 4, tableOffset(f) - 4); }, /./],
];

test('malformed frames throw a PlistError', async (t) => {
  // The reference frame itself is valid, so every row fails for its own fault.
  assert.equal(sha(parseFrame(base()).image), sha(IMAGE));
  for (const [name, make, message] of MALFORMED) {
    await t.test(name, () => {
      assert.throws(() => parseFrame(make()), (e) => e instanceof PlistError && message.test(e.message), name);
    });
  }
});

test('every truncation and every single-byte change either parses in bounds or throws a PlistError', () => {
  for (const options of [{ offsetSize: 1, refSize: 1 }, { offsetSize: 8, refSize: 8, lengthSize: 8 }, { padding: 20 }]) {
    const good = writeFrame(pattern(33, 5), 1.25, options);
    for (let n = 0; n < good.length; ++n) {
      assert.throws(() => parseFrame(good.slice(0, n)), PlistError, `prefix of ${n} bytes`);
    }
    let parsed = 0;
    for (let i = 0; i < good.length; ++i) {
      for (const v of [0x00, 0x01, 0x0f, 0x10, 0x7f, 0x80, 0xdf, 0xff]) {
        const f = good.slice();
        f[i] = v;
        try {
          const frame = parseFrame(f);
          ++parsed;
          // Whatever it found lies inside the frame's object area.
          assert.equal(frame.image.buffer, f.buffer);
          assert.ok(frame.image.byteOffset >= 8 && frame.image.byteOffset + frame.image.length <= f.length - 32);
          assert.equal(typeof frame.timestamp, 'number');
        } catch (e) {
          if (!(e instanceof PlistError)) throw new Error(`byte ${i} = ${v}: ${e.stack}`);
        }
      }
    }
    assert.ok(parsed > 0, 'no changed frame parsed at all: the bytes of the image itself can change freely');
  }
});
