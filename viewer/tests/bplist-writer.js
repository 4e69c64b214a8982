// A small binary property list writer for tests: builds frames the way the Mac does, and also with
// every integer width the format allows, so that the reader is tried on encodings plistlib never
// writes (8-byte offsets, 8-byte references, padded lengths). Its output is checked against Python's
// plistlib in plist.test.js, so it can be trusted as a source of valid frames.

function uint(value, size) {
  const out = new Uint8Array(size);
  let v = BigInt(value);
  for (let i = size - 1; i >= 0; --i) {
    out[i] = Number(v & 0xffn);
    v >>= 8n;
  }
  if (v !== 0n) throw new Error(`${value} does not fit in ${size} bytes`);
  return out;
}

function minimalSize(value) {
  if (value < 0x100) return 1;
  if (value < 0x10000) return 2;
  if (value < 0x100000000) return 4;
  return 8;
}

// A marker with a count: inline when it fits in the nibble (unless a width is forced), else 0xF and
// an integer object of `lengthSize` bytes (default: the smallest).
function counted(kind, count, lengthSize) {
  if (lengthSize === undefined && count < 15) return Uint8Array.of((kind << 4) | count);
  const size = lengthSize ?? minimalSize(count);
  const log2 = { 1: 0, 2: 1, 4: 2, 8: 3 }[size];
  return Uint8Array.of((kind << 4) | 0x0f, 0x10 | log2, ...uint(count, size));
}

function concat(parts) {
  const total = parts.reduce((n, p) => n + p.length, 0);
  const out = new Uint8Array(total);
  let at = 0;
  for (const p of parts) {
    out.set(p, at);
    at += p.length;
  }
  return out;
}

/**
 * Encodes a frame. Options: offsetSize, refSize (1..8, default the smallest that fits),
 * lengthSize (force the data length as an integer object of 1, 2, 4 or 8 bytes), float32 (timestamp
 * as a 4-byte real), utf16Keys, padding (that many extra small objects under a key "pad", to push
 * reference sizes past one byte the honest way).
 */
export function writeFrame(image, timestamp, options = {}) {
  const objects = [];
  const add = (bytes) => objects.push(bytes) - 1;
  const key = (s) => {
    if (options.utf16Keys) {
      const body = new Uint8Array(s.length * 2);
      for (let i = 0; i < s.length; ++i) body.set(uint(s.charCodeAt(i), 2), i * 2);
      return concat([counted(0x6, s.length), body]);
    }
    return concat([counted(0x5, s.length), new TextEncoder().encode(s)]);
  };
  add(null); // the dictionary, filled in below once references are known
  const keys = [add(key('image')), add(key('timestamp'))];
  const realBytes = new Uint8Array(options.float32 ? 5 : 9);
  const view = new DataView(realBytes.buffer);
  realBytes[0] = options.float32 ? 0x22 : 0x23;
  if (options.float32) view.setFloat32(1, timestamp, false);
  else view.setFloat64(1, timestamp, false);
  const values = [add(concat([counted(0x4, image.length, options.lengthSize), image])), add(realBytes)];
  if (options.padding) {
    keys.push(add(key('pad')));
    const items = [];
    for (let i = 0; i < options.padding; ++i) items.push(add(Uint8Array.of(0x11, ...uint(i, 2))));
    values.push(objects.length);
    objects.push({ array: items });
  }
  const refSize = options.refSize ?? minimalSize(objects.length);
  const refs = (list) => concat(list.map((r) => uint(r, refSize)));
  objects[0] = concat([counted(0xd, keys.length), refs(keys), refs(values)]);
  for (let i = 0; i < objects.length; ++i) {
    if (objects[i].array) objects[i] = concat([counted(0xa, objects[i].array.length), refs(objects[i].array)]);
  }
  const offsets = [];
  let at = 8;
  for (const o of objects) {
    offsets.push(at);
    at += o.length;
  }
  const offsetSize = options.offsetSize ?? minimalSize(at);
  const table = concat(offsets.map((o) => uint(o, offsetSize)));
  const trailer = concat([
    new Uint8Array(6),
    Uint8Array.of(offsetSize, refSize),
    uint(objects.length, 8),
    uint(0, 8),
    uint(at, 8),
  ]);
  return concat([new TextEncoder().encode('bplist00'), ...objects, table, trailer]);
}
