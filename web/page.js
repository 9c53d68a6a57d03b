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
  'This browser cannot run torvex.':
    'It needs WebAssembly with SIMD: Chrome or Edge 91, Firefox 89, Safari 16.4 or later.',
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
const work = document.getElementById('work');
const progressBar = document.getElementById('progress');
const progressText = document.getElementById('progress-text');
let worker = null;
let running = null;
let downloadUrl = null;

function startWorker() {
  worker = new Worker(URL.createObjectURL(
    new Blob([document.getElementById('worker-source').textContent], {type: 'text/javascript'})));
  worker.onmessage = (event) => (event.data.total !== undefined ? showProgress(event.data) : finish(event.data));
}

const MiB = (bytes) => (bytes / 1048576).toLocaleString('en', {maximumFractionDigits: 1});

function showProgress({progress, total}) {
  progressBar.max = total || 1;
  progressBar.value = total ? progress : 1; // nothing to read is all read
  progressText.textContent = `${MiB(progress)} of ${MiB(total)} MiB`;
}

function showMessage(message, meaning, failed) {
  outcome.replaceChildren();
  outcome.className = failed ? 'failed' : 'done';
  for (const [className, text] of [['message', message], ['meaning', meaning]]) {
    const line = document.createElement('p');
    line.className = className;
    line.textContent = text;
    outcome.append(line);
  }
}

function offerDownload(output, name) {
  if (downloadUrl) URL.revokeObjectURL(downloadUrl);
  downloadUrl = URL.createObjectURL(output);
  const link = document.createElement('a');
  link.href = downloadUrl;
  link.download = name;
  link.textContent = `Download ${name} (${output.size.toLocaleString('en')} bytes)`;
  outcome.append(link);
}

// Size, SHA-256 and CRC32, each as published, and a box to compare one with.
function showChecksums(file, {size, sha256, crc32}) {
  showMessage(`Checksums of ${file.name}`, 'Compare them with the values its publisher gives.', false);
  const list = document.createElement('dl');
  list.className = 'checksums';
  for (const [name, value] of [['Size', `${size} bytes`], ['SHA-256', sha256], ['CRC32', crc32]]) {
    const term = document.createElement('dt');
    const data = document.createElement('dd');
    term.textContent = name;
    data.textContent = value;
    list.append(term, data);
  }
  const label = document.createElement('label');
  label.textContent = 'Published checksum ';
  const box = document.createElement('input');
  const verdict = document.createElement('p');
  box.type = 'text';
  box.spellcheck = false;
  box.addEventListener('input', () => {
    const given = box.value.trim().toLowerCase().replace(/^0x/, '');
    verdict.textContent = !given ? ''
      : given === sha256 ? 'It matches the SHA-256.'
      : given === crc32 ? 'It matches the CRC32.'
      : given === String(size) ? 'It matches the size (a size alone proves little).'
      : 'It matches none of them: this is not the file that was published.';
  });
  label.append(box);
  outcome.append(list, label, verdict);
}

function finish(result) {
  const {task, files} = running;
  endWork();
  if (result.checksums) return showChecksums(files.file, result.checksums);
  const {status, lines, output} = result;
  const message = lines.length ? lines[lines.length - 1] : 'Error reading one of the files...';
  showMessage(message, explain(message, task), status !== 0);
  if (status === 0 && output) offerDownload(output, nameOutput(task, files));
}

function endWork() {
  running = null;
  work.hidden = true;
  for (const button of document.querySelectorAll('section button')) button.disabled = false;
}

function runTask(section) {
  const task = section.dataset.task;
  const files = {};
  for (const input of section.querySelectorAll('input[type=file]')) {
    if (!input.files.length) {
      showMessage(`Choose the ${input.previousElementSibling.textContent.toLowerCase()} first.`, '', true);
      input.focus();
      return;
    }
    files[input.dataset.role] = input.files[0];
  }
  running = {task, files, section};
  for (const button of document.querySelectorAll('section button')) button.disabled = true;
  progressBar.value = 0;
  progressText.textContent = '';
  work.hidden = false;
  outcome.replaceChildren();
  outcome.className = '';
  outcome.textContent = 'Working…';
  worker.postMessage({task, files});
}

// The work stops at once: its worker goes, and nothing it made is offered.
document.getElementById('cancel').addEventListener('click', () => {
  const {section} = running;
  worker.terminate();
  startWorker();
  endWork();
  section.querySelector('button').focus();
  showMessage('Cancelled.', 'Nothing was made. The files are as they were.', true);
});

startWorker();
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
