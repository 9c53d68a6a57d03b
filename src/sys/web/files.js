// The browser's side of the web system part (web.hpp): the page sets
// Module.inputs (name to File) before a run and takes Module.outputs (name to
// Blob) after it. Reads are synchronous, which only a worker may do.
mergeInto(LibraryManager.library, {
  $torvexFiles: {inputs: [], sinks: []},

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

  // A read waits for the browser: the module is built to wait (ASYNCIFY). It
  // streams into one buffer, used again each time: reads that each leave a
  // buffer of their own behind pile up gigabytes before they are collected.
  torvex_read_input__deps: ['$torvexFiles'],
  torvex_read_input: function(input, offset, buffer, length) {
    return Asyncify.handleAsync(async () => {
      try {
        const slice = torvexFiles.inputs[input].slice(offset, offset + length);
        if (slice.size !== length) return false;
        let got = 0;
        if (typeof ReadableStreamBYOBReader === 'undefined') { // a browser without them
          HEAPU8.set(new Uint8Array(await slice.arrayBuffer()), buffer);
          got = length;
        } else {
          const reader = slice.stream().getReader({mode: 'byob'});
          // A view of the whole rest: a stream asked for little at a time is slow.
          for (let space = torvexFiles.space; got < length;) {
            if (!space || space.byteLength < length - got) space = new ArrayBuffer(length - got);
            const {value, done} = await reader.read(new Uint8Array(space, 0, length - got));
            if (done) break;
            HEAPU8.set(value, buffer + got);
            got += value.byteLength;
            space = torvexFiles.space = value.buffer;
          }
          reader.releaseLock();
        }
        if (Module.onRead) Module.onRead(torvexFiles.inputs[input], got);
        return got === length;
      } catch (error) {
        return false; // the file changed or went away since it was chosen
      }
    });
  },

  // Written bytes wait in small parts; every few MiB they become a Blob, whose
  // storage the browser keeps outside this process.
  torvex_open_sink__deps: ['$torvexFiles'],
  torvex_open_sink: function() {
    return torvexFiles.sinks.push({blobs: [], waiting: [], waitingSize: 0}) - 1;
  },

  $torvexSettle: function(sink) {
    if (sink.waiting.length) sink.blobs.push(new Blob(sink.waiting));
    sink.waiting = [];
    sink.waitingSize = 0;
  },

  torvex_write_sink__deps: ['$torvexFiles', '$torvexSettle'],
  torvex_write_sink: function(id, bytes, length) {
    const sink = torvexFiles.sinks[id];
    sink.waiting.push(HEAPU8.slice(bytes, bytes + length));
    sink.waitingSize += length;
    if (sink.waitingSize >= (4 << 20)) torvexSettle(sink);
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
