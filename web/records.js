// The server's stream as the page sees it: websockify hands over whatever it
// read from the TCP connection as one binary frame, so a record may arrive in
// pieces or several to a frame. Nothing here touches the page, so the same
// code can be tried on its own with chunks cut any way.
(function (root) {
  'use strict';

  const RECORD_LEN = 18;  // a zero, the tick count, the 13 reply bytes
  const REPLY_OFFSET = 5;
  const REPLY_LEN = 13;
  // A busy server's text is one short line; anything longer is not worth
  // keeping all of.
  const TEXT_MAX = 1024;

  // Every record opens with a zero byte; the busy reply opens with a letter.
  // The first byte of a connection tells which of the two it is carrying.
  class RecordStream {
    constructor() {
      this.pending = new Uint8Array(RECORD_LEN);
      this.fill = 0;
      this.kind = null;  // null until a byte arrives, then 'records' or 'text'
      this.textBytes = [];
    }

    // The records this chunk completes, in order of arrival.
    push(chunk) {
      const bytes = chunk instanceof Uint8Array ? chunk : new Uint8Array(chunk);
      const done = [];
      if (bytes.length === 0) return done;
      if (this.kind === null) this.kind = bytes[0] === 0 ? 'records' : 'text';
      if (this.kind === 'text') {
        const room = TEXT_MAX - this.textBytes.length;
        for (let i = 0; i < bytes.length && i < room; ++i) this.textBytes.push(bytes[i]);
        return done;
      }
      let i = 0;
      while (i < bytes.length) {
        const n = Math.min(RECORD_LEN - this.fill, bytes.length - i);
        this.pending.set(bytes.subarray(i, i + n), this.fill);
        this.fill += n;
        i += n;
        if (this.fill === RECORD_LEN) {
          done.push(parseRecord(this.pending));
          this.fill = 0;
        }
      }
      return done;
    }

    // Bytes of a record not yet complete.
    get partial() { return this.fill; }

    get text() { return decodeText(Uint8Array.from(this.textBytes)); }
  }

  function parseRecord(b) {
    // The tick count is little-endian; >>> 0 keeps it unsigned past 2^31.
    const tick = (b[1] | (b[2] << 8) | (b[3] << 16) | (b[4] << 24)) >>> 0;
    return { tick: tick, reply: b.slice(REPLY_OFFSET, REPLY_OFFSET + REPLY_LEN) };
  }

  // Milliseconds between two tick counts, across the 32-bit wrap.
  function tickGap(previous, current) { return (current - previous) >>> 0; }

  // The value plotted: one reply byte, or the pair from that byte on read as
  // a 16-bit number, low byte first or high byte first.
  function readValue(reply, choice) {
    const i = choice.index;
    if (choice.width !== 2) return reply[i];
    const a = reply[i], b = reply[i + 1];
    return choice.order === 'be' ? (a << 8) | b : a | (b << 8);
  }

  // The server's texts are in Windows-1252 (its 0xE9 is é).
  function decodeText(bytes) { return new TextDecoder('windows-1252').decode(bytes); }

  function hex(bytes) {
    return Array.from(bytes, (v) => v.toString(16).toUpperCase().padStart(2, '0')).join(' ');
  }

  // What the simulated interface puts in its replies (tavix-sim --help).
  const presets = [{ label: 'Numéro de la réponse (octet 0)', index: 0, width: 1, order: 'le' }];
  for (let j = 0; j < 6; ++j) {
    presets.push({ label: 'Voie ' + j + ' (octets ' + (1 + 2 * j) + '-' + (2 + 2 * j) + ', 12 bits)',
                   index: 1 + 2 * j, width: 2, order: 'le' });
  }

  root.Lanquet5 = { RECORD_LEN, REPLY_LEN, RecordStream, parseRecord, tickGap, readValue, decodeText, hex, presets };
})(typeof window !== 'undefined' ? window : globalThis);
