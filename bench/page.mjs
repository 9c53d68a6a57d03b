// The page's benchmark, run by bench/run: times tasks done on the page in
// the system's Chromium against the floor, the page's own worker merely
// reading the task's two files in the slices that torvex reads and, for an
// apply, keeping as many bytes as the new file holds, as the page keeps them.
//   node bench/page.mjs PAGE_FOLDER RUNS JOB...    JOB: name:task:file,file
// Prints, as JSON, each job's median seconds and its floor's.
import {readFileSync} from 'node:fs';
import {resolve} from 'node:path';
import {chromium} from 'playwright-core';

const [folder, runs, ...jobs] = process.argv.slice(2);
const SLICE = 0xA00000; // the programs' block
const ROLES = {make: ['original', 'new'], apply: ['original', 'patch']};
// The reading that the package's worker does, as a worker script's.
const READING = readFileSync(new URL('../web/reading.js', import.meta.url), 'utf8').replaceAll(/^export /gm, '');

// In the page: a worker of the package's reading, with its task replaced by
// reading the files as torvex does, a block of each in turn; resolves when
// it has read them all. With keep, the first file's blocks are kept as Blobs,
// then as one Blob, once the browser holds its every byte.
function readFloor([slice, keep, reading]) {
  const source = reading + `
    onmessage = async ({data: files}) => {
      let space = null;
      const bytes = new Uint8Array(${slice}), blobs = [];
      for (let at = 0; at < files[0].size; at += ${slice}) {
        for (const file of files) {
          const end = Math.min(file.size, at + ${slice});
          ({space} = await readSlice(file, at, end, space,
            (piece, offset) => ${keep} && file === files[0] && bytes.set(piece, offset)));
          if (${keep} && file === files[0]) blobs.push(new Blob([bytes.subarray(0, end - at)]));
        }
      }
      const kept = new Blob(blobs);
      if (kept.size) await kept.slice(kept.size - 1).arrayBuffer();
      postMessage('read');
    };`;
  const worker = new Worker(URL.createObjectURL(new Blob([source], {type: 'text/javascript'})));
  const files = [...document.querySelectorAll('input[type=file]')].flatMap((input) => [...input.files]);
  const started = performance.now();
  return new Promise((done) => {
    worker.onmessage = () => done((performance.now() - started) / 1000, worker.terminate());
    worker.postMessage(files);
  });
}

async function timeOnce(browser, task, files, floor) {
  const page = await browser.newPage();
  await page.goto(`file://${resolve(folder)}/index.html`);
  for (const [i, role] of ROLES[task].entries()) await page.setInputFiles(`#${task} input[data-role=${role}]`, files[i]);
  // Timed in the page, from the click to the message: the driver's own
  // round trips are not the page's.
  await page.evaluate(() => {
    const outcome = document.getElementById('outcome');
    addEventListener('click', () => (window.clicked = performance.now()), {capture: true});
    new MutationObserver(() => outcome.querySelector('.message') && (window.shown ??= performance.now()))
      .observe(outcome, {childList: true, subtree: true});
  });
  let seconds;
  if (floor) {
    seconds = await page.evaluate(readFloor, [SLICE, task === 'apply', READING]);
  } else {
    await page.click(`#${task} button`);
    const message = await (await page.waitForSelector('#outcome .message', {timeout: 600000})).textContent();
    if (message !== 'Process ended.') throw new Error(`${task}: ${message}`);
    seconds = await page.evaluate(() => (window.shown - window.clicked) / 1000);
  }
  await page.close();
  return seconds;
}

const median = (values) => values.sort((x, y) => x - y)[values.length >> 1];
const browser = await chromium.launch({executablePath: '/usr/bin/chromium', args: ['--no-sandbox']});
const times = Object.fromEntries(jobs.map((job) => [job.split(':')[0], {task: [], floor: []}]));
for (let round = 0; round <= Number(runs); ++round) { // the first round warms up
  for (const job of jobs) { // in turns, so that a drifting machine moves all alike
    const [name, task, files] = job.split(':');
    for (const kind of ['task', 'floor']) {
      const seconds = await timeOnce(browser, task, files.split(','), kind === 'floor');
      if (round > 0) times[name][kind].push(seconds);
    }
  }
}
await browser.close();
console.log(JSON.stringify(Object.fromEntries(Object.entries(times).map(
  ([name, {task, floor}]) => [name, {task: median(task), floor: median(floor), runs: {task, floor}}]))));
