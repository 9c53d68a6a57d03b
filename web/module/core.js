// torvex for scripts and pages: makes, checks, applies and undoes byte
// patches of Blobs, with the programs' outputs byte for byte, in a worker of
// its own (web/worker.js) over the page's WebAssembly. index.js (browsers)
// and node.js (Node) give it the way to start that worker.

// The library's statuses (torvex.h): fixed values, never reused.
export const STATUS = Object.freeze({
  OK: 0, ALREADY_APPLIED: 1, PARTLY_APPLIED: 2, OPEN_FAILED: 3, SIZES_DIFFER: 4, CREATE_PATCH_FAILED: 5,
  READ_FAILED: 6, WRITE_PATCH_FAILED: 7, NO_MEMORY: 8, MALFORMED: 9, DOES_NOT_FIT: 10, MISMATCH: 11,
  CREATE_NEW_FAILED: 12, WRITE_NEW_FAILED: 13, CANCELLED: 14, INVALID_CALL: 15,
});
const CHECKS = ['applies', 'already-applied', 'partly-applied'];
const UNSUPPORTED = 'This browser cannot run torvex.';

// A failed call: its message is the program's line, status the library's,
// line the first wrong line of a malformed patch (0 for other failures).
export class TorvexError extends Error {
  constructor(status, message, line = 0) {
    super(message);
    this.name = 'TorvexError';
    this.status = status;
    this.line = line;
  }
}

let startWorker = null;
let remoteInputs = false; // whether Blobs stay with the caller (describeFiles)
let idle = null; // a worker done with its last call, kept for the next

export function useWorkers(start, remote) {
  startWorker = start;
  remoteInputs = remote;
}

const abortError = () => new DOMException('The operation was aborted.', 'AbortError');

// What the worker is sent for files: the Blobs, or where a Blob cannot go
// to a worker (Node's of a file), a number that it asks for slices by.
function describeFiles(files, remote) {
  const sent = {}, inputs = [];
  for (const [role, file] of Object.entries(files)) {
    if (!(file instanceof Blob)) throw new TypeError(`torvex: the ${role} must be a Blob`);
    const known = inputs.indexOf(file);
    sent[role] = !remote ? file : {remote: known >= 0 ? known : inputs.push(file) - 1, size: file.size};
  }
  return {sent, inputs};
}

// Runs task on files in a worker: resolves with its status and output (a
// Blob, or null where it went to options.output), rejects with its
// TorvexError. An abort ends the worker there and then.
async function run(task, files, options) {
  const {signal, onProgress, output} = options ?? {};
  if (signal?.aborted) throw abortError();
  const {sent, inputs} = describeFiles(files, remoteInputs);
  const writer = output?.getWriter();
  const worker = idle ?? startWorker();
  idle = null;
  const sinks = new Map(); // each output's Blobs so far, in order
  let streamed = -1; // the output that goes to writer
  let settled = false;

  // Takes an output's next Blob: false where it cannot be written.
  async function take(sink, blob) {
    if (!writer) {
      if (!sinks.has(sink)) sinks.set(sink, []);
      sinks.get(sink).push(blob);
      return true;
    }
    if (streamed >= 0 && streamed !== sink) return false;
    streamed = sink;
    return blob.arrayBuffer().then((bytes) => writer.write(new Uint8Array(bytes))).then(() => true, () => false);
  }

  function read({read: input, start, end, asked}) {
    inputs[input].slice(start, end).arrayBuffer().then(
      (bytes) => settled || worker.post({asked, answer: bytes}, [bytes]),
      () => settled || worker.post({asked, answer: null}));
  }

  worker.ref();
  return new Promise((resolve, reject) => {
    const end = (keepWorker, settle) => {
      if (settled) return;
      settled = true;
      signal?.removeEventListener('abort', onAbort);
      if (keepWorker && !idle) {
        worker.unref();
        idle = worker;
      } else {
        worker.terminate();
      }
      settle();
    };
    const fail = (error) => {
      writer?.abort(error).catch(() => {});
      end(error instanceof TorvexError, () => reject(error));
    };
    const onAbort = () => fail(abortError());
    async function finish({unsupported, crashed, status, message, line, kept, checksums}) {
      if (unsupported) throw new Error(UNSUPPORTED);
      if (crashed) throw new Error(`torvex: the worker failed: ${crashed}`);
      if (status > STATUS.PARTLY_APPLIED) throw new TorvexError(status, message, line);
      if (writer) await writer.close();
      const blobs = writer || task === 'check' || task === 'checksums' ? null : sinks.get(kept) ?? [];
      const result = {status, checksums, output: blobs && new Blob(blobs, {type: 'application/octet-stream'})};
      end(true, () => resolve(result));
    }
    signal?.addEventListener('abort', onAbort, {once: true});
    worker.listen(async (message) => {
      if (settled) return;
      try {
        if (message.total !== undefined) onProgress?.(message.progress, message.total);
        else if (message.read !== undefined) read(message);
        else if (message.blob) worker.post({asked: message.asked, answer: await take(message.sink, message.blob)});
        else if (message.outcome) await finish(message.outcome);
      } catch (error) {
        fail(error);
      }
    }, (error) => fail(error instanceof Error ? error : new Error(UNSUPPORTED)));
    worker.post({task, files: sent});
  });
}

// Each takes Blobs (a File is one) and options {signal, onProgress(done,
// total), output}: see index.d.ts.
export async function makePatch(original, changed, options) {
  return (await run('make', {original, changed}, options)).output;
}

export async function applyPatch(original, patch, options) {
  const {status, output} = await run('apply', {original, patch}, options);
  return {file: output, alreadyApplied: status === STATUS.ALREADY_APPLIED};
}

export async function invertPatch(original, patch, options) {
  return (await run('invert', {original, patch}, options)).output;
}

export async function checkPatch(original, patch, options) {
  return CHECKS[(await run('check', {original, patch}, {...options, output: undefined})).status];
}

export async function checksums(file, options) {
  return (await run('checksums', {file}, {...options, output: undefined})).checksums;
}
