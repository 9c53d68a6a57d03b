// The page's worker: runs one of the three programs on the files the page
// sent, in a fresh instance of the module (a program may end by exit), or
// computes a file's checksums; sends progress as it reads, then the outcome.
'use strict';

const PROGRAMS = {
  make: {program: 'torvex', args: ['original', 'new', 'output'], read: ['original', 'new']},
  apply: {program: 'torvex-apply', args: ['original', 'output', 'patch'], read: ['patch']},
  undo: {program: 'torvex-invert', args: ['original', 'patch', 'output'], read: ['patch']},
};
const PROGRESS_STEP = 32 << 20; // bytes read between two updates

// Counts what is read of the files a task reads through, and sends an
// update every PROGRESS_STEP bytes.
function trackProgress(files) {
  const total = files.reduce((sum, file) => sum + file.size, 0);
  let done = 0, shown = 0;
  return {
    total,
    add(file, bytes) {
      if (!files.includes(file)) return;
      done += bytes;
      if (done - shown >= PROGRESS_STEP) postMessage({progress: (shown = done), total});
    },
  };
}

async function runProgram(task, files) {
  const {program, args, read} = PROGRAMS[task];
  const progress = trackProgress(read.map((role) => files[role]));
  const lines = [];
  let module;
  try {
    module = await createTorvex({
      inputs: files,
      print: (line) => lines.push(line),
      printErr: () => {},
      onRead: (file, bytes) => progress.add(file, bytes),
    });
  } catch (error) { // a browser without WebAssembly's vectors
    return {status: 1, lines: ['This browser cannot run torvex.']};
  }
  let status;
  try {
    status = await module.ccall('run_web', 'number', Array(4).fill('string'), [program, ...args], {async: true});
  } catch (error) {
    status = error && typeof error.status === 'number' ? error.status : 1; // the program's exit()
  }
  postMessage({progress: progress.total, total: progress.total});
  const output = status === 0 && module.outputs ? module.outputs.output : undefined;
  return {status, lines, output};
}

async function runChecksums(file) {
  const progress = trackProgress([file]);
  try {
    const checksums = await torvexLibrary.computeChecksums(file, (bytes) => progress.add(file, bytes));
    postMessage({progress: file.size, total: file.size});
    return {checksums};
  } catch (error) {
    return {lines: ['Error reading one of the files...'], status: 1};
  }
}

onmessage = async (event) => {
  const {task, files} = event.data;
  postMessage(task === 'checksums' ? await runChecksums(files.file) : await runProgram(task, files));
};
