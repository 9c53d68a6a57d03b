// The worker's reading, on files whose streams end early or stall:
//   node --test tests/web/reading.test.mjs
import assert from 'node:assert/strict';
import {test} from 'node:test';
import {readSlice} from '../../web/reading.js';

// A file of size bytes (byte i is i % 251) whose streams deliver pieces of
// at most 1000 bytes; the stream opened as number k stalls after
// stallsAfter(k) pieces, and every stream ends at endsAt.
function makeFile(size, {stallsAfter = () => Infinity, endsAt = size} = {}) {
  let opened = 0;
  const slice = (start, end) => ({
    arrayBuffer: async () => Uint8Array.from({length: end - start}, (_, i) => (start + i) % 251).buffer,
    stream() {
      const pieces = stallsAfter(opened++);
      let at = start, given = 0;
      return new ReadableStream({type: 'bytes', pull(controller) {
        if (given++ === pieces) return new Promise(() => {});
        const until = Math.min(at + 1000, end, endsAt);
        if (at === until) return controller.close();
        controller.enqueue(Uint8Array.from({length: until - at}, (_, i) => (at + i) % 251));
        at = until;
      }});
    },
  });
  return {size, slice};
}

const cases = [ // name, file, start, end, bytes read
  ['whole', makeFile(5000), 0, 5000, 5000],
  ['middle', makeFile(5000), 1234, 4321, 3087],
  ['each stream stalls after a piece', makeFile(5000, {stallsAfter: () => 1}), 0, 5000, 5000],
  ['two stalls in a row, then read on', makeFile(5000, {stallsAfter: (k) => (k < 2 ? 0 : Infinity)}), 100, 5000, 4900],
  ['three stalls in a row: unreadable', makeFile(5000, {stallsAfter: (k) => (k ? 0 : 2)}), 0, 5000, 2000],
  ['shorter than its size', makeFile(5000, {endsAt: 4000}), 0, 5000, 4000],
];

for (const [name, file, start, end, expected] of cases) {
  test(name, async () => {
    const got = new Uint8Array(end - start).fill(255);
    const read = await readSlice(file, start, end, new ArrayBuffer(16), (bytes, at) => got.set(bytes, at), 50);
    assert.equal(read.got, expected);
    const want = Uint8Array.from({length: expected}, (_, i) => (start + i) % 251);
    assert.deepEqual(got.subarray(0, expected), want);
  });
}
