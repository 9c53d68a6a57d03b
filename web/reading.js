// Reading a File a slice at a time, as the worker does for the programs
// and for checksums.

const STALL_MS = 30000; // no byte for this long: the read has stalled
const STALLS = 3; // in a row, then the file is unreadable

// Resolves with null once a whole period of ms has passed with no call of
// moved(); one timer for a whole read, not one per piece, which would cost
// as much as the pieces.
function watchStalls(ms) {
  let moved = true, timer;
  const promise = new Promise((done) => {
    timer = setInterval(() => (moved ? (moved = false) : done(null)), ms);
  });
  return {promise, moved: () => (moved = true), stop: () => clearInterval(timer)};
}

// Reads file's bytes [start, end) through a byte stream into space, an
// ArrayBuffer used again by every read (reads that each leave a buffer behind
// pile up gigabytes before they are collected), handing each piece to
// put(bytes, at). A read the browser never settles (seen, rarely, on large
// files) is given up and begun again where it stopped. Returns the bytes read,
// fewer than asked if the file ended or stalled, and the buffer to use next.
export async function readSlice(file, start, end, space, put, stallMs = STALL_MS) {
  let got = 0;
  for (let stalls = 0, ended = false; !ended && start + got < end && stalls < STALLS;) {
    const watch = watchStalls(stallMs); // a stall ends a watch: each stream has its own
    try {
      const stream = file.slice(start + got, end).stream();
      let reader;
      try {
        reader = stream.getReader({mode: 'byob'});
      } catch { // a browser whose file streams are not byte streams
        const bytes = new Uint8Array(await file.slice(start, end).arrayBuffer());
        put(bytes, 0);
        return {got: bytes.byteLength, space};
      }
      while (start + got < end) {
        // A view of the whole rest: a stream asked for little at a time is slow.
        const want = end - start - got;
        if (!space || space.byteLength < want) space = new ArrayBuffer(want);
        const result = await Promise.race([reader.read(new Uint8Array(space, 0, want)), watch.promise]);
        if (!result) { // the buffer went with the read
          space = null;
          ++stalls;
          break;
        }
        watch.moved();
        if (result.value) space = result.value.buffer;
        if ((ended = result.done)) break;
        put(result.value, got);
        got += result.value.byteLength;
        stalls = 0;
      }
      reader.cancel().catch(() => {}); // lets the browser drop the stream now
    } finally {
      watch.stop();
    }
  }
  return {got, space};
}
