// The browser's side of the web system part (web.hpp): the page sets
// Module.inputs (name to File) before a run and takes Module.outputs (name to
// Blob) after it. To the programs every read returns with its bytes: the
// module waits for the browser meanwhile (ASYNCIFY).
mergeInto(LibraryManager.library, {
  $torvexFiles: {inputs: [], sinks: [], windows: []},

  torvex_find_input__deps: ['$torvexFiles'],
  torvex_find_input: function(name) {
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
    return torvexFiles.sinks.push({blobs: [], staging: new Uint8Array(SINK_STAGING), staged: 0}) - 1;
  },

  $torvexSettle: function(sink) {
    if (sink.staged) sink.blobs.push(new Blob([sink.staging.subarray(0, sink.staged)]));
    sink.staged = 0;
  },

  torvex_write_sink__deps: ['$torvexFiles', '$torvexSettle'],
  torvex_write_sink: function(id, bytes, length) {
    const sink = torvexFiles.sinks[id];
    if (sink.staged + length > sink.staging.length) torvexSettle(sink);
    if (length >= sink.staging.length) {
      sink.blobs.push(new Blob([HEAPU8.subarray(bytes, bytes + length)]));
      return;
    }
    sink.staging.set(HEAPU8.subarray(bytes, bytes + length), sink.staged);
    sink.staged += length;
  },

  torvex_append_slice__deps: ['$torvexFiles', '$torvexSettle'],
  torvex_append_slice: function(id, input, start, end) {
    const sink = torvexFiles.sinks[id];
    torvexSettle(sink);
    sink.blobs.push(torvexFiles.inputs[input].slice(start, end));
  },

  torvex_keep_sink__deps: ['$torvexFiles', '$torvexSettle'],
  torvex_keep_sink: function(id, name) {
    const sink = torvexFiles.sinks[id];
    torvexSettle(sink);
    Module.outputs = Module.outputs || {};
    // Bytes, whatever they hold: a browser names a text download .txt.
    Module.outputs[UTF8ToString(name)] = new Blob(sink.blobs, {type: 'application/octet-stream'});
    torvexFiles.sinks[id] = null;
  },

  torvex_drop_sink__deps: ['$torvexFiles'],
  torvex_drop_sink: function(id) {
    torvexFiles.sinks[id] = null;
  },
});
