// The browser's side of the web system part (web.hpp): the worker sets
// Module.inputs (name to Blob) before a call, and Module.onOutput(sink, blob),
// which hands each Blob of an output on as it is made and resolves with
// whether it was taken. To the library every read returns with its bytes: the
// module waits for the browser meanwhile (ASYNCIFY).
mergeInto(LibraryManager.library, {
  $torvexFiles: {inputs: [], sinks: [], windows: []},

  torvex_find_input__deps: ['$torvexFiles'],
  torvex_find_input: function(name) {
    if (torvexFiles.of !== Module.inputs) // a new call: nothing of the last one's is kept
      Object.assign(torvexFiles, {of: Module.inputs, inputs: [], sinks: [], windows: []});
    const file = (Module.inputs || {})[UTF8ToString(name)];
    if (!file) return -1;
    const known = torvexFiles.inputs.indexOf(file); // one File under two names is one input
    return known >= 0 ? known : torvexFiles.inputs.push(file) - 1;
  },

  torvex_input_size__deps: ['$torvexFiles'],
  torvex_input_size: function(input) {
    return torvexFiles.inputs[input].size;
  },

  // A read waits for the browser: the module is built to wait (ASYNCIFY).
  // The reading itself is the worker's (web/reading.js, in torvexLibrary).
  // Each read of a File costs milliseconds however short, so a short read
  // takes READ_AHEAD bytes at once, and the reads after it are served from
  // them without waiting. Two such windows are kept: the applier reads the
  // bytes between records a little behind where it looks ahead.
  $READ_AHEAD: 8 << 20,
  torvex_read_input__deps: ['$torvexFiles', '$READ_AHEAD'],
  torvex_read_input: function(input, offset, buffer, length) {
    const file = torvexFiles.inputs[input], windows = torvexFiles.windows;
    if (offset + length > file.size) return false;
    const done = (got) => {
      if (Module.onRead) Module.onRead(file, got);
      return got === length;
    };
    const hit = windows.findIndex((w) => w.input === input && offset >= w.start && offset + length <= w.end);
    // Not while the module comes back from a wait: that call must end it.
    if (Asyncify.state === Asyncify.State.Normal && hit >= 0) {
      const window = windows[hit];
      windows.splice(hit, 1);
      windows.unshift(window); // the one used last is kept longest
      HEAPU8.set(window.bytes.subarray(offset - window.start, offset - window.start + length), buffer);
      return done(length);
    }
    return Asyncify.handleAsync(async () => {
      try {
        if (length >= READ_AHEAD) {
          const read = await torvexLibrary.readSlice(file, offset, offset + length, torvexFiles.space,
            (bytes, at) => HEAPU8.set(bytes, buffer + at));
          torvexFiles.space = read.space;
          return done(read.got);
        }
        const bytes = windows.length === 2 ? windows.pop().bytes : new Uint8Array(READ_AHEAD);
        const end = Math.min(file.size, offset + READ_AHEAD);
        const read = await torvexLibrary.readSlice(file, offset, end, torvexFiles.space,
          (piece, at) => bytes.set(piece, at));
        torvexFiles.space = read.space;
        if (read.got !== end - offset) return done(0);
        windows.unshift({input, start: offset, end, bytes});
        HEAPU8.set(bytes.subarray(0, length), buffer);
        return done(length);
      } catch (error) {
        return done(0); // the file changed or went away since it was chosen
      }
    });
  },

  // Written bytes wait in one staging buffer; each time it fills they become
  // a Blob, whose storage the browser keeps outside this process. Making a
  // Blob costs about a millisecond whatever its size, and copies the bytes.
  $SINK_STAGING: 4 << 20,
  torvex_open_sink__deps: ['$torvexFiles', '$SINK_STAGING'],
  torvex_open_sink: function() {
    const id = torvexFiles.sinks.length;
    torvexFiles.sinks.push({id, staging: new Uint8Array(SINK_STAGING), staged: 0});
    return id;
  },

  // Whether the browser holds every byte of blob: reading its last byte waits
  // for that, and fails where the browser could not keep them (its storage
  // full).
  $torvexHeld: function(blob) {
    return blob.slice(Math.max(0, blob.size - 1)).arrayBuffer().then(() => true, () => false);
  },

  // Appends parts to the sink as a Blob handed on; false where the browser
  // cannot keep them, or could not keep the Blob before (checked meanwhile:
  // one Blob at most is on its way, so bytes handed over do not pile up in
  // this process), or they were not taken.
  $torvexStore__deps: ['$torvexHeld'],
  $torvexStore: async function(sink, parts) {
    let blob;
    try {
      blob = new Blob(parts);
    } catch (error) { // where the browser cannot even start
      sink.failed = true;
      return false;
    }
    const previous = sink.held;
    sink.held = torvexHeld(blob);
    if (previous && !(await previous)) sink.failed = true;
    if (!sink.failed && !(await Module.onOutput(sink.id, blob))) sink.failed = true;
    return !sink.failed;
  },

  // False where the sink could not keep its bytes: it keeps no more.
  $torvexSettle__deps: ['$torvexStore'],
  $torvexSettle: async function(sink) {
    const staged = sink.staged;
    sink.staged = 0;
    return !sink.failed && (!staged || torvexStore(sink, [sink.staging.subarray(0, staged)]));
  },

  // Waits for the browser only when a Blob is made.
  torvex_write_sink__deps: ['$torvexFiles', '$torvexStore', '$torvexSettle'],
  torvex_write_sink: function(id, bytes, length) {
    const sink = torvexFiles.sinks[id];
    const stage = () => {
      sink.staging.set(HEAPU8.subarray(bytes, bytes + length), sink.staged);
      sink.staged += length;
      return true;
    };
    if (Asyncify.state === Asyncify.State.Normal && sink.staged + length <= sink.staging.length)
      return !sink.failed && stage();
    return Asyncify.handleAsync(async () => {
      if (!(await torvexSettle(sink))) return false;
      return length < sink.staging.length ? stage() : torvexStore(sink, [HEAPU8.subarray(bytes, bytes + length)]);
    });
  },

  // The input's bytes in [start, end) appended to the sink, read through a
  // buffer of COPY_STEP bytes and kept as Blobs: the result holds its own
  // copy, which no later change of the input can reach. 0: copied, 1: the
  // input could not be read, 2: the bytes could not be kept.
  $COPY_STEP: 8 << 20,
  torvex_copy_input__deps: ['$torvexFiles', '$torvexStore', '$torvexSettle', '$COPY_STEP'],
  torvex_copy_input: function(id, input, start, end) {
    return Asyncify.handleAsync(async () => {
      const sink = torvexFiles.sinks[id], file = torvexFiles.inputs[input];
      if (!(await torvexSettle(sink))) return 2;
      const bytes = torvexFiles.copying || (torvexFiles.copying = new Uint8Array(COPY_STEP));
      for (let at = start; at < end; at += COPY_STEP) {
        const to = Math.min(end, at + COPY_STEP);
        try {
          const read = await torvexLibrary.readSlice(file, at, to, torvexFiles.space,
            (piece, offset) => bytes.set(piece, offset));
          torvexFiles.space = read.space;
          if (read.got !== to - at) return 1;
        } catch (error) {
          return 1; // the file changed or went away since it was chosen
        }
        if (!(await torvexStore(sink, [bytes.subarray(0, to - at)]))) return 2;
      }
      return 0;
    });
  },

  // The sink, done, is the output named name (the worker tells the caller
  // which); false where the browser could not keep it, and there is none.
  torvex_keep_sink__deps: ['$torvexFiles', '$torvexSettle'],
  torvex_keep_sink: function(id, name) {
    return Asyncify.handleAsync(async () => {
      const sink = torvexFiles.sinks[id];
      torvexFiles.sinks[id] = null;
      if (!(await torvexSettle(sink)) || (sink.held && !(await sink.held))) return false;
      Module.kept = id;
      return true;
    });
  },

  torvex_drop_sink__deps: ['$torvexFiles'],
  torvex_drop_sink: function(id) {
    torvexFiles.sinks[id] = null;
  },
});
