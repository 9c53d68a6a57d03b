// The package's worker: runs one call at a time of the C interface on the
// Blobs it is sent, in one instance of the WebAssembly module (createTorvex)
// kept for the next call, or computes a Blob's checksums (torvexLibrary). It
// sends progress as it reads, each Blob of the output as it is made (waiting
// until it is taken: bytes do not pile up here), then the outcome.
'use strict';

const TASKS = {
  make: {names: ['original', 'changed', 'output'], read: ['original', 'changed']},
  apply: {names: ['original', 'output', 'patch'], read: ['patch']},
  invert: {names: ['original', 'patch', 'output'], read: ['patch']},
  check: {names: ['original', 'patch', ''], read: ['patch']},
};
const PROGRESS_STEP = 32 << 20; // bytes read between two updates
const READ_FAILED = 6;

let instance = null;
let asked = 0;
const answers = new Map(); // what is asked of the caller, by number, until answered

function ask(question) {
  return new Promise((done, fail) => {
    answers.set(++asked, (answer) => (answer === null ? fail(new Error('unreadable')) : done(answer)));
    postMessage({...question, asked});
  });
}

// Where a Blob cannot be sent to a worker (Node's of a file), it stays with
// the caller, which reads it here a slice at a time when asked.
function openInput(file) {
  const {remote, size} = file;
  if (remote === undefined) return file;
  const slice = (start, end) => ({
    stream: () => ({getReader() { throw new TypeError('no byte stream'); }}),
    arrayBuffer: () => ask({read: remote, start, end}),
  });
  return {size, slice};
}

// Counts what is read of the inputs a task reads through, and sends an
// update every PROGRESS_STEP bytes, and the last.
function trackProgress(files) {
  const total = files.reduce((sum, file) => sum + file.size, 0);
  let done = 0, shown = 0;
  return {
    add(file, bytes) {
      if (!files.includes(file)) return;
      done += bytes;
      if (done - shown >= PROGRESS_STEP) postMessage({progress: (shown = done), total});
    },
    end: () => postMessage({progress: total, total}),
  };
}

async function loadModule() {
  try {
    return (instance ??= await createTorvex({print() {}, printErr() {}}));
  } catch (error) { // a browser without WebAssembly's vectors
    return null;
  }
}

async function runTask(task, files) {
  const {names, read} = TASKS[task];
  const inputs = Object.fromEntries(Object.entries(files).map(([role, file]) => [role, openInput(file)]));
  const progress = trackProgress(read.map((role) => inputs[role]));
  if (!(await loadModule())) return {unsupported: true};
  Object.assign(instance, {
    inputs,
    kept: -1,
    onRead: (file, bytes) => progress.add(file, bytes),
    onOutput: (sink, blob) => ask({sink, blob}),
  });
  const status = await instance.ccall('run_task', 'number', Array(4).fill('string'), [task, ...names], {async: true});
  progress.end();
  const message = instance.ccall('task_message', 'string');
  return {status, message, line: instance._task_line(), kept: instance.kept};
}

async function runChecksums(file) {
  file = openInput(file);
  const progress = trackProgress([file]);
  try {
    const checksums = await torvexLibrary.computeChecksums(file, (bytes) => progress.add(file, bytes));
    progress.end();
    return {status: 0, checksums};
  } catch (error) {
    if (!(await loadModule())) return {unsupported: true};
    return {status: READ_FAILED, message: instance.ccall('torvex_message', 'string', ['number'], [READ_FAILED]), line: 0};
  }
}

self.onmessage = async ({data}) => {
  if (data.asked) {
    answers.get(data.asked)(data.answer);
    answers.delete(data.asked);
    return;
  }
  const {task, files} = data;
  try {
    postMessage({outcome: await (task === 'checksums' ? runChecksums(files.file) : runTask(task, files))});
  } catch (error) { // the module ended by a fault of its own: the caller hears of it, not silence
    postMessage({outcome: {crashed: String(error)}});
  }
};
