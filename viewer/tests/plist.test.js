// The page's frame reader under Node's own test runner. Valid frames come from Python's plistlib
// (the library family that writes the Mac's frames) and from the test writer in integer widths
// plistlib does not use, which plistlib reads back first; malformed ones are a valid frame patched.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { randomBytes } from 'node:crypto';
import { parseFrame, PlistError } from '../plist.js';
import { writeFrame } from './bplist-writer.js';

// [name, image size, writer options]: encodings plistlib does not write.
const WRITER_ROWS = [
  ['2-byte offsets, forced 1-byte length', 20, { offsetSize: 2, lengthSize: 1 }],
  ['empty image, 8-byte offsets, references and length', 0, { offsetSize: 8, refSize: 8, lengthSize: 8 }],
];

// plistlib writes frames of each length and offset width it uses, and reads the writer's back.
const PYTHON = String.raw`
import base64, json, plistlib, random, sys
b64 = lambda b: base64.b64encode(b).decode()
out = {"plistlib": [], "writer": []}
for size, pad in [(0, 0), (14, 0), (15, 0), (70000, 0), (10, 300)]:
    # A key the reader does not know, always; with many items it widens the references.
    top = {"timestamp": 786000000.25 - size, "image": random.Random(size).randbytes(size), "pad": list(range(1000, 1000 + pad))}
    data = plistlib.dumps(top, fmt=plistlib.FMT_BINARY)
    out["plistlib"].append([f"plistlib, {size} bytes, offsets/references {data[-26]}/{data[-25]}", b64(data), b64(top["image"]), top["timestamp"]])
for name, data in json.load(sys.stdin):
    top = plistlib.loads(base64.b64decode(data), fmt=plistlib.FMT_BINARY)
    out["writer"].append([name, data, b64(top["image"]), top["timestamp"]])
print(json.dumps(out))
`;

test('valid frames: the image and timestamp, as a view into any kind of buffer', async (t) => {
  const images = WRITER_ROWS.map(([, size]) => randomBytes(size));
  const written = WRITER_ROWS.map(([name, , options], i) => [name, Buffer.from(writeFrame(images[i], 786000000.5, options)).toString('base64')]);
  const run = spawnSync('python3', ['-c', PYTHON], { input: JSON.stringify(written), maxBuffer: 256 << 20, encoding: 'utf8' });
  assert.equal(run.status, 0, run.stderr);
  const { plistlib, writer } = JSON.parse(run.stdout);
  // The rows cover 1-, 2- and 4-byte offsets, 2-byte references and both sides of the 15-byte length nibble, or they test less than they say.
  assert.deepEqual(plistlib.map(([name]) => name.split(' ').pop()), ['1/1', '1/1', '1/1', '4/1', '2/2']);
  for (const [i, [name, data, image, timestamp]] of [...plistlib, ...writer].entries()) {
    await t.test(name, () => {
      const [bytes, expected] = [data, image].map((b) => Buffer.from(b, 'base64'));
      if (i >= plistlib.length) assert.ok(expected.equals(images[i - plistlib.length]), 'plistlib read another image');
      // A whole ArrayBuffer (as a WebSocket gives it), and a view into the middle of a larger buffer
      // (as a stream record is): views are honoured, nothing outside is read, the image is not copied.
      assert.deepEqual(parseFrame(new Uint8Array(bytes).buffer), { image: new Uint8Array(expected), timestamp });
      const padded = new Uint8Array(bytes.length + 64).fill(0xee);
      padded.set(bytes, 32);
      const frame = parseFrame(padded.subarray(32, 32 + bytes.length));
      assert.ok(expected.equals(frame.image) && frame.image.buffer === padded.buffer && frame.image.byteOffset >= 32);
      assert.equal(frame.timestamp, timestamp);
    });
  }
});

// The reference frame: objects in order dict(0), "image"(1), "timestamp"(2), data(3), real(4),
// with 1-byte offsets and references.
const IMAGE = randomBytes(20);
const base = () => writeFrame(IMAGE, 786000000.5, { offsetSize: 1, refSize: 1 });
const tableOffset = (f) => f[f.length - 1]; // small enough for its last byte
function trailer(field, value) {
  const f = base();
  const at = f.length - 32 + { offsetSize: 6, refSize: 7, count: 8, top: 16, table: 24 }[field];
  if (typeof value === 'number' && value < 256) f[at + (field.endsWith('Size') ? 0 : 7)] = value;
  else new DataView(f.buffer).setBigUint64(at, BigInt(value));
  return f;
}
// Object `index` moved to `value` (or to where value(frame) says, after it wrote there), or patched in place.
const offset = (index, value) => ((f) => Object.assign(f, { [tableOffset(f) + index]: typeof value === 'function' ? value(f) : value }))(base());
const patch = (index, ...bytes) => ((f) => (f.set(bytes, f[tableOffset(f) + index]), f))(base());

// A handful of named shapes; the truncation and byte-change sweep below covers breadth.
const MALFORMED = [
  ['wrong magic', () => Object.assign(base(), { 7: 0x31 }), /bplist00/],
  ['huge object count', () => trailer('count', 2n ** 62n), /too large/],
  ['top object out of range', () => trailer('top', 5), /top object/],
  ['offset table at 2^64-1', () => trailer('table', 2n ** 64n - 1n), /too large/],
  ['object offset inside the header', () => offset(0, 2), /outside the object area/],
  // Objects that would run into the offset table: the reader must stop at the object area's end.
  ['real cut by the offset table', () => offset(4, (f) => (f[tableOffset(f) - 4] = 0x23) && tableOffset(f) - 4), /runs past/],
  ['data length cut by the offset table', () => offset(3, (f) => f.fill(0x4f, tableOffset(f) - 2, tableOffset(f) - 1).fill(0x13, tableOffset(f) - 1, tableOffset(f)) && tableOffset(f) - 2), /length lies outside/],
  ['data length one past the object area', () => patch(3, 0x4f, 0x10, IMAGE.length + 10), /runs past/],
  ['key reference out of range', () => patch(0, 0xd2, 9, 2), /out of range/],
  ['image is the dictionary itself (cycle)', () => patch(0, 0xd2, 1, 2, 0), /not data/],
  ['dictionary count 2^53', () => patch(0, 0xdf, 0x13, 0, 0x20, 0, 0, 0, 0, 0, 0), /too large/],
  ['no image', () => patch(0, 0xd1, 2, 4), /no "image"/],
];

test('malformed frames throw a PlistError naming the fault', () => {
  assert.ok(IMAGE.equals(parseFrame(base()).image)); // so every row fails for its own fault
  for (const [name, make, message] of MALFORMED) {
    assert.throws(() => parseFrame(make()), (e) => e instanceof PlistError && message.test(e.message), name);
  }
});

test('every truncation and every single-byte change either parses in bounds or throws a PlistError', () => {
  for (const options of [{ offsetSize: 1, refSize: 1 }, { offsetSize: 8, refSize: 8, lengthSize: 8 }]) {
    const good = writeFrame(randomBytes(33), 1.25, options);
    for (let n = 0; n < good.length; ++n) assert.throws(() => parseFrame(good.slice(0, n)), PlistError, `prefix of ${n} bytes`);
    for (let i = 0; i < good.length; ++i) {
      for (const v of [0x00, 0x01, 0x0f, 0x10, 0x7f, 0x80, 0xdf, 0xff]) {
        const f = good.slice();
        f[i] = v;
        try {
          const { image, timestamp } = parseFrame(f);
          // Whatever it found lies inside the frame's object area, before the offset table.
          const end = new DataView(f.buffer).getBigUint64(f.length - 8);
          assert.ok(image.buffer === f.buffer && image.byteOffset >= 8 && image.byteOffset + image.length <= end, `byte ${i} = ${v}`);
          assert.equal(typeof timestamp, 'number');
        } catch (e) {
          if (!(e instanceof PlistError)) throw new Error(`byte ${i} = ${v}: ${e.stack}`);
        }
      }
    }
  }
});
