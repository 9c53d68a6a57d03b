// The page: takes the files of a task, runs it with the package torvex, and
// shows its message, what it means, and the download (or where it was written).

import {STATUS, TorvexError, applyPatch, checksums, invertPatch, makePatch} from 'torvex';

const ON_WRITE_ERROR = 'The result could not be kept: free some memory or disk space (or choose another file) and try again.';
// What each outcome means, and what to do, by its status.
const MEANINGS = {
  [STATUS.OK]: {
    make: 'The patch is ready.',
    apply: 'The new file is ready.',
    undo: 'The undo is ready: applied to the new file, it gives the original back.',
  },
  [STATUS.ALREADY_APPLIED]: 'This file holds every change of the patch already: the new file is the same file.',
  [STATUS.PARTLY_APPLIED]: 'This file holds some of the changes of the patch, not all: choose the original it was made from.',
  [STATUS.OPEN_FAILED]: 'A file could not be opened: choose it again.',
  [STATUS.SIZES_DIFFER]: 'A patch is made between two files of the same size: check that these are the right two.',
  [STATUS.CREATE_PATCH_FAILED]: ON_WRITE_ERROR,
  [STATUS.READ_FAILED]:
    'The browser could not read a file to its end: it may have changed or moved since it was chosen. Choose it again.',
  [STATUS.WRITE_PATCH_FAILED]: ON_WRITE_ERROR,
  [STATUS.NO_MEMORY]: 'The browser gave too little memory: close other tabs and try again.',
  [STATUS.MALFORMED]: (line) =>
    `This is not a patch that torvex can read, or it was damaged: line ${line} is the first that is wrong.`,
  [STATUS.DOES_NOT_FIT]: 'The patch was made for a file of another size: choose the original it was made from.',
  [STATUS.MISMATCH]:
    'This is not the file the patch was made from, or it holds part of the patch already: choose the right original.',
  [STATUS.CREATE_NEW_FAILED]: ON_WRITE_ERROR,
  [STATUS.WRITE_NEW_FAILED]: ON_WRITE_ERROR,
  [STATUS.CANCELLED]: 'The work stopped before its end: nothing was made.',
  [STATUS.INVALID_CALL]: 'The page asked for something torvex does not do: reload it and try again.',
};
const UNSUPPORTED = 'It needs WebAssembly with SIMD: Chrome or Edge 91, Firefox 89, Safari 16.4 or later.';
const DONE = {[STATUS.OK]: 'Process ended.', [STATUS.ALREADY_APPLIED]: 'Patch already applied.'};

function explain(status, task, line) {
  const meaning = MEANINGS[status];
  return typeof meaning === 'function' ? meaning(line) : typeof meaning === 'string' ? meaning : meaning[task];
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
const saveToFile = document.getElementById('save-to-file');
let running = null;
let downloadUrl = null;

const MiB = (bytes) => (bytes / 1048576).toLocaleString('en', {maximumFractionDigits: 1});

function showProgress(progress, total) {
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

// Runs the task on the files, into output where one was chosen: its status
// and the result (the new file, the patch, or the checksums).
async function callTask(task, files, options) {
  if (task === 'checksums') return {status: STATUS.OK, result: await checksums(files.file, options)};
  if (task === 'make') return {status: STATUS.OK, result: await makePatch(files.original, files.new, options)};
  if (task === 'undo') return {status: STATUS.OK, result: await invertPatch(files.original, files.patch, options)};
  const {file, alreadyApplied} = await applyPatch(files.original, files.patch, options);
  return {status: alreadyApplied ? STATUS.ALREADY_APPLIED : STATUS.OK, result: file};
}

async function runTask(section) {
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
  const controller = new AbortController();
  running = {section, controller};
  for (const button of document.querySelectorAll('section button')) button.disabled = true;
  let target = null;
  try {
    if (task !== 'checksums' && saveToFile.checked) { // asked first: the click allows it
      target = await showSaveFilePicker({suggestedName: nameOutput(task, files)});
      target.output = await target.createWritable();
    }
    progressBar.value = 0;
    progressText.textContent = '';
    work.hidden = false;
    outcome.replaceChildren();
    outcome.className = '';
    outcome.textContent = 'Working…';
    const options = {signal: controller.signal, onProgress: showProgress, output: target?.output};
    const {status, result} = await callTask(task, files, options);
    if (task === 'checksums') return showChecksums(files.file, result);
    showMessage(DONE[status], explain(status, task), false);
    if (target) outcome.append(`Written to ${target.name}.`);
    else offerDownload(result, nameOutput(task, files));
  } catch (error) {
    if (error instanceof TorvexError) showMessage(error.message, explain(error.status, task, error.line), true);
    else if (error.name === 'AbortError' && controller.signal.aborted) showMessage('Cancelled.', 'Nothing was made. The files are as they were.', true);
    else if (error.name === 'AbortError') showMessage('No file was chosen.', 'Nothing was made.', true);
    else showMessage(error.message, error.message === 'This browser cannot run torvex.' ? UNSUPPORTED : '', true);
  } finally {
    endWork();
  }
}

function endWork() {
  running = null;
  work.hidden = true;
  for (const button of document.querySelectorAll('section button')) button.disabled = false;
}

// The work stops at once: its worker goes, and nothing it made is offered.
document.getElementById('cancel').addEventListener('click', () => {
  running.section.querySelector('button').focus();
  running.controller.abort();
});

if (typeof showSaveFilePicker === 'function') saveToFile.closest('p').hidden = false;
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
