// A small binary property list writer for tests: frames as the Mac writes them, and in integer
// widths plistlib never writes, so that the reader meets those too. plist.test.js
// has plistlib read its output back, so it can be trusted as a source of valid frames.

function uint(value, size) {
  const out = new Uint8Array(size);
  let v = BigInt(value);
  for (let i = size - 1; i >= 0; --i, v >>= 8n) out[i] = Number(v & 0xffn);
  if (v !== 0n) throw new Error(`${value} does not fit in ${size} bytes`);
  return out;
}

const minimalSize = (value) => (value < 0x100 ? 1 : value < 0x10000 ? 2 : value < 2 ** 32 ? 4 : 8);

// A marker with a count: in the nibble when it fits (unless a width is forced), else 0xF and an
// integer object of `lengthSize` bytes (default: the smallest).
function counted(kind, count, lengthSize) {
  if (lengthSize === undefined && count < 15) return Uint8Array.of((kind << 4) | count);
  const size = lengthSize ?? minimalSize(count);
  return Uint8Array.of((kind << 4) | 0x0f, 0x10 | Math.log2(size), ...uint(count, size));
}

function concat(parts) {
  const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
  parts.reduce((at, p) => (out.set(p, at), at + p.length), 0);
  return out;
}

/**
 * Encodes a frame: dict(0), "image"(1), "timestamp"(2), data(3), real(4). Options: offsetSize,
 * refSize (1..8, default the smallest that fits), lengthSize (the image length as an integer object
 * of 1, 2, 4 or 8 bytes).
 */
export function writeFrame(image, timestamp, options = {}) {
  const key = (s) => concat([counted(0x5, s.length), new TextEncoder().encode(s)]);
  const real = Uint8Array.of(0x23, ...new Uint8Array(8));
  new DataView(real.buffer).setFloat64(1, timestamp);
  const objects = [null, key('image'), key('timestamp'), concat([counted(0x4, image.length, options.lengthSize), image]), real];
  const refSize = options.refSize ?? 1;
  objects[0] = concat([counted(0xd, 2), ...[1, 2, 3, 4].map((r) => uint(r, refSize))]);
  const offsets = [];
  const end = objects.reduce((at, o) => (offsets.push(at), at + o.length), 8);
  const offsetSize = options.offsetSize ?? minimalSize(end);
  const trailer = [new Uint8Array(6), Uint8Array.of(offsetSize, refSize), uint(objects.length, 8), uint(0, 8), uint(end, 8)];
  return concat([new TextEncoder().encode('bplist00'), ...objects, ...offsets.map((o) => uint(o, offsetSize)), ...trailer]);
}
