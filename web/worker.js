// The page's worker: runs one of the three programs on the files the page
// sent, in a fresh instance of the module (a program may end by exit), and
// sends back its exit status, what it printed, and its output.
'use strict';

const PROGRAMS = {
  make: {program: 'torvex', args: ['original', 'new', 'output']},
  apply: {program: 'torvex-apply', args: ['original', 'output', 'patch']},
  undo: {program: 'torvex-invert', args: ['original', 'patch', 'output']},
};

onmessage = async (event) => {
  const {task, files} = event.data;
  const {program, args} = PROGRAMS[task];
  const lines = [];
  const module = await createTorvex({inputs: files, print: (line) => lines.push(line), printErr: () => {}});
  let status;
  try {
    status = await module.ccall('run_web', 'number', Array(4).fill('string'), [program, ...args], {async: true});
  } catch (error) {
    status = error && typeof error.status === 'number' ? error.status : 1; // the program's exit()
  }
  const output = status === 0 && module.outputs ? module.outputs.output : undefined;
  postMessage({status, lines, output});
};
