// The page: takes the files of a task, has the worker run the program on
// them, and shows its message, what it means, and the download.
'use strict';

// What each of the programs' messages means, and what to do.
const MEANINGS = {
  'Process ended.': {
    make: 'The patch is ready to download.',
    apply: 'The new file is ready to download.',
    undo: 'The undo is ready to download: applied to the new file, it gives the original back.',
  },
  'Patch already applied.': 'This file holds every change of the patch already: the new file is the same file.',
  'Original file does not match the patch.':
    'This is not the file the patch was made from, or it holds part of the patch already: choose the right original.',
  'Patch does not fit the original file.':
    'The patch was made for a file of another size: choose the original it was made from.',
  'Files have different sizes.':
    'A patch is made between two files of the same size: check that these are the right two.',
  'Error reading one of the files...':
    'The browser could not read a file to its end: it may have changed or moved since it was chosen. Choose it again.',
  'Error opening one of the files.': 'A file could not be opened: choose it again.',
  'Error allocating memory.': 'The browser gave too little memory: close other tabs and try again.',
};
const MALFORMED = /^Patch is malformed at line (\d+)\.$/;
const ON_WRITE_ERROR = 'The result could not be kept in the browser: free some memory or disk space and try again.';

function explain(message, task) {
  const malformed = MALFORMED.exec(message);
  if (malformed)
    return `This is not a patch that torvex can read, or it was damaged: line ${malformed[1]} is the first that is wrong.`;
  const meaning = MEANINGS[message];
  if (meaning) return typeof meaning === 'string' ? meaning : meaning[task];
  return message.startsWith('Error') ? ON_WRITE_ERROR : '';
}

// The download's name, from the files it comes from.
function nameOutput(task, files) {
  const [stem, extension] = splitName(task === 'make' ? files.new.name : files.original.name);
  if (task === 'make') return `${stem}.patch`;
  if (task === 'apply') return `${stem}-patched${extension}`;
  return `${splitName(files.patch.name)[0]}-undo.patch`;
}

function splitName(name) {
  const dot = name.lastIndexOf('.');
  return dot > 0 ? [name.slice(0, dot), name.slice(dot)] : [name, ''];
}

const outcome = document.getElementById('outcome');
const worker = new Worker(URL.createObjectURL(
  new Blob([document.getElementById('worker-source').textContent], {type: 'text/javascript'})));
let running = null;
let downloadUrl = null;

function showOutcome(task, files, {status, lines, output}) {
  const message = lines.length ? lines[lines.length - 1] : 'Error reading one of the files...';
  outcome.replaceChildren();
  outcome.className = status === 0 ? 'done' : 'failed';
  const line = document.createElement('p');
  line.className = 'message';
  line.textContent = message;
  const meaning = document.createElement('p');
  meaning.className = 'meaning';
  meaning.textContent = explain(message, task);
  outcome.append(line, meaning);
  if (status === 0 && output) {
    if (downloadUrl) URL.revokeObjectURL(downloadUrl);
    downloadUrl = URL.createObjectURL(output);
    const link = document.createElement('a');
    link.href = downloadUrl;
    link.download = nameOutput(task, files);
    link.textContent = `Download ${link.download} (${output.size.toLocaleString('en')} bytes)`;
    outcome.append(link);
  }
}

function runTask(section) {
  const task = section.dataset.task;
  const files = {};
  for (const input of section.querySelectorAll('input[type=file]')) {
    if (!input.files.length) {
      outcome.className = 'failed';
      outcome.textContent = `Choose the ${input.previousElementSibling.textContent.toLowerCase()} first.`;
      input.focus();
      return;
    }
    files[input.dataset.role] = input.files[0];
  }
  running = {task, files};
  for (const button of document.querySelectorAll('button')) button.disabled = true;
  outcome.className = '';
  outcome.textContent = 'Working…';
  worker.postMessage({task, files});
}

worker.onmessage = (event) => {
  showOutcome(running.task, running.files, event.data);
  running = null;
  for (const button of document.querySelectorAll('button')) button.disabled = false;
};

for (const section of document.querySelectorAll('section[data-task]'))
  section.querySelector('button').addEventListener('click', () => runTask(section));

// A file dropped on a file's box is chosen there.
for (const label of document.querySelectorAll('label.file')) {
  label.addEventListener('dragover', (event) => {
    event.preventDefault();
    label.classList.add('over');
  });
  label.addEventListener('dragleave', () => label.classList.remove('over'));
  label.addEventListener('drop', (event) => {
    event.preventDefault();
    label.classList.remove('over');
    if (event.dataTransfer.files.length) label.querySelector('input').files = event.dataTransfer.files;
  });
}
