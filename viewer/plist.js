// Reads one preview frame: a binary property list (bplist00) whose top object is a dictionary
// holding "timestamp" (real) and "image" (data). Nothing else of the format is read: other keys are
// skipped without looking at their values, so no container is ever walked and no cycle can loop.
//
// Contract: parseFrame() is pure and synchronous; it works in a browser and in Node (an ES module
// with no imports). It never reads outside the given bytes: every offset, length and count is
// checked before use, and anything malformed throws a PlistError naming the fault. The returned
// image is a view into the caller's buffer (no copy), valid as long as that buffer is.

export class PlistError extends Error {
  constructor(message) {
    super(message);
    this.name = 'PlistError';
  }
}

const HEADER = [0x62, 0x70, 0x6c, 0x69, 0x73, 0x74, 0x30, 0x30]; // "bplist00"
const TRAILER_SIZE = 32;

function fail(message) {
  throw new PlistError(message);
}

function toBytes(input) {
  if (input instanceof Uint8Array) return input;
  if (input instanceof ArrayBuffer) return new Uint8Array(input);
  if (ArrayBuffer.isView(input)) return new Uint8Array(input.buffer, input.byteOffset, input.byteLength);
  fail('frame is not binary data');
}

// An unsigned big-endian integer of `size` bytes (1..8) at `at`, as a Number. Values past 2^53 can
// never be a valid offset or count in a buffer we hold, so they are refused rather than rounded.
function readUnsigned(bytes, at, size, what) {
  if (!Number.isInteger(at) || at < 0 || size < 1 || size > 8 || at + size > bytes.length) {
    fail(`${what} lies outside the frame`);
  }
  let value = 0n;
  for (let i = 0; i < size; ++i) value = (value << 8n) | BigInt(bytes[at + i]);
  if (value > BigInt(Number.MAX_SAFE_INTEGER)) fail(`${what} is too large (${value})`);
  return Number(value);
}

class Reader {
  constructor(bytes) {
    this.bytes = bytes;
    const n = bytes.length;
    if (n < HEADER.length + TRAILER_SIZE) fail(`frame too short (${n} bytes) for a binary property list`);
    for (let i = 0; i < HEADER.length; ++i) {
      if (bytes[i] !== HEADER[i]) fail('frame does not start with "bplist00"');
    }
    const t = n - TRAILER_SIZE;
    this.offsetSize = bytes[t + 6];
    this.refSize = bytes[t + 7];
    if (this.offsetSize < 1 || this.offsetSize > 8) fail(`offset size ${this.offsetSize} is not 1 to 8`);
    if (this.refSize < 1 || this.refSize > 8) fail(`object reference size ${this.refSize} is not 1 to 8`);
    this.objectCount = readUnsigned(bytes, t + 8, 8, 'object count');
    this.topObject = readUnsigned(bytes, t + 16, 8, 'top object');
    this.tableOffset = readUnsigned(bytes, t + 24, 8, 'offset table');
    if (this.objectCount < 1) fail('frame holds no objects');
    if (this.topObject >= this.objectCount) {
      fail(`top object ${this.topObject} is out of range (${this.objectCount} objects)`);
    }
    // Objects lie between the header and the offset table; the table ends where the trailer starts.
    if (this.tableOffset < HEADER.length || this.tableOffset > t) fail('offset table lies outside the frame');
    if (this.objectCount > Math.floor((t - this.tableOffset) / this.offsetSize)) {
      fail(`offset table too short for ${this.objectCount} objects`);
    }
  }

  // Where object `ref` starts; always inside the object area.
  offsetOf(ref) {
    if (!Number.isInteger(ref) || ref < 0 || ref >= this.objectCount) {
      fail(`object reference ${ref} is out of range (${this.objectCount} objects)`);
    }
    const at = readUnsigned(this.bytes, this.tableOffset + ref * this.offsetSize, this.offsetSize, 'object offset');
    if (at < HEADER.length || at >= this.tableOffset) fail(`object ${ref} starts outside the object area`);
    return at;
  }

  // The byte count that follows a marker whose low nibble is `nibble`: the nibble itself, or for
  // 0xF an integer object (1, 2, 4 or 8 bytes) right after the marker. Returns [count, start].
  countAfterMarker(at, nibble, what) {
    if (nibble !== 0x0f) return [nibble, at + 1];
    if (at + 1 >= this.tableOffset) fail(`${what} length lies outside the object area`);
    const marker = this.bytes[at + 1];
    if (marker >> 4 !== 0x1) fail(`${what} length is not an integer`);
    const size = 1 << (marker & 0x0f);
    if (size > 8) fail(`${what} length is a ${size}-byte integer`);
    if (at + 2 + size > this.tableOffset) fail(`${what} length lies outside the object area`);
    if (size === 8 && this.bytes[at + 2] & 0x80) fail(`${what} length is negative`);
    return [readUnsigned(this.bytes, at + 2, size, `${what} length`), at + 2 + size];
  }

  // The bytes [start, start + length) of an object, checked to lie inside the object area.
  span(start, length, what) {
    if (length > this.tableOffset - start) fail(`${what} runs past the object area (${length} bytes)`);
    return this.bytes.subarray(start, start + length);
  }

  string(ref) {
    const at = this.offsetOf(ref);
    const marker = this.bytes[at];
    const kind = marker >> 4;
    if (kind === 0x5) {
      const [count, start] = this.countAfterMarker(at, marker & 0x0f, 'string');
      const raw = this.span(start, count, 'string');
      let s = '';
      for (const b of raw) {
        if (b > 0x7f) fail('ASCII string holds a byte over 0x7f');
        s += String.fromCharCode(b);
      }
      return s;
    }
    if (kind === 0x6) {
      const [units, start] = this.countAfterMarker(at, marker & 0x0f, 'string');
      if (units > Math.floor((this.tableOffset - start) / 2)) fail('string runs past the object area');
      const raw = this.span(start, units * 2, 'string');
      let s = '';
      for (let i = 0; i < raw.length; i += 2) s += String.fromCharCode((raw[i] << 8) | raw[i + 1]);
      return s;
    }
    fail(`dictionary key (object ${ref}) is not a string`);
  }

  real(ref, what) {
    const at = this.offsetOf(ref);
    const marker = this.bytes[at];
    const view = new DataView(this.bytes.buffer, this.bytes.byteOffset, this.bytes.length);
    if (marker === 0x23) {
      this.span(at + 1, 8, what);
      return view.getFloat64(at + 1, false);
    }
    if (marker === 0x22) {
      this.span(at + 1, 4, what);
      return view.getFloat32(at + 1, false);
    }
    fail(`"${what}" is not a real`);
  }

  data(ref, what) {
    const at = this.offsetOf(ref);
    const marker = this.bytes[at];
    if (marker >> 4 !== 0x4) fail(`"${what}" is not data`);
    const [count, start] = this.countAfterMarker(at, marker & 0x0f, what);
    return this.span(start, count, what);
  }

  // The top dictionary's entries as [key, valueRef] pairs; values are not read here.
  topDictionary() {
    const at = this.offsetOf(this.topObject);
    const marker = this.bytes[at];
    if (marker >> 4 !== 0xd) fail('top object is not a dictionary');
    const [count, start] = this.countAfterMarker(at, marker & 0x0f, 'dictionary');
    // Keys then values, each `count` references: checked before any is read, so a huge count fails here.
    if (count > Math.floor((this.tableOffset - start) / (2 * this.refSize))) {
      fail(`dictionary of ${count} entries runs past the object area`);
    }
    const entries = [];
    for (let i = 0; i < count; ++i) {
      const keyRef = readUnsigned(this.bytes, start + i * this.refSize, this.refSize, 'key reference');
      const valueRef = readUnsigned(this.bytes, start + (count + i) * this.refSize, this.refSize, 'value reference');
      entries.push([this.string(keyRef), valueRef]);
    }
    return entries;
  }
}

/**
 * Parses one frame. Returns { timestamp, image }: timestamp in seconds since 2001-01-01 UTC (the
 * Mac's clock), image a Uint8Array view of the PNG bytes (possibly empty). Throws PlistError.
 */
export function parseFrame(input) {
  const reader = new Reader(toBytes(input));
  let timestamp;
  let image;
  for (const [key, valueRef] of reader.topDictionary()) {
    if (key === 'timestamp') {
      if (timestamp !== undefined) fail('"timestamp" appears twice');
      timestamp = reader.real(valueRef, 'timestamp');
    } else if (key === 'image') {
      if (image !== undefined) fail('"image" appears twice');
      image = reader.data(valueRef, 'image');
    }
  }
  if (timestamp === undefined) fail('frame has no "timestamp"');
  if (image === undefined) fail('frame has no "image"');
  return { timestamp, image };
}
