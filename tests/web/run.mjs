// The page's rows, run in the system's Chromium from file:// and from a
// server on 127.0.0.1: each task done as a user does it, its message and
// meaning checked, and its download compared byte for byte with what the
// native programs write. No row may make a network request or log an error.
//   node tests/web/run.mjs PAGE_FOLDER TORVEX TORVEX_APPLY TORVEX_INVERT [ROW_NAME_PATTERN]
import {execFileSync, spawnSync} from 'node:child_process';
import {createHash} from 'node:crypto';
import {mkdtempSync, readFileSync, readdirSync, rmSync} from 'node:fs';
import {createServer} from 'node:http';
import {tmpdir} from 'node:os';
import {join, resolve} from 'node:path';
import {chromium} from 'playwright-core';

const [folder, ...programs] = process.argv.slice(2, 6).map((path) => resolve(path));
const only = new RegExp(process.argv[6] ?? '');
const SOURCE = resolve(import.meta.dirname, '../..');
const MOST_MEMORY_KIB = 256 << 10; // the page's renderer process, at its peak

// A pair that differs at the first and last byte and in every 4 KiB page
// between; its patch; another original of its size, not patched at the
// first record but patched at the last (so that it cannot pass for the
// original, nor for one patched before).
const PAIR = `head -c 3M /dev/urandom > a; cp a b; head -c 3M /dev/urandom > c; put c 0 y; put c 3145727 x
  for at in 0 $(seq 4095 4096 3145727); do put b $at x; done; torvex a b p`;
// 4 GiB and 1 MiB, sparse; changes on both sides of 2^31 and 2^32, the last
// far enough from them that the applier copies the bytes between as a slice.
const BIG = `truncate -s 4296015872 a b
  for at in 5 2147483647 2147483648 4294967295 4294967296 4294967303 4296015871; do put b $at Z; done
  torvex a b p`;
// 3 MiB that differ at the first and last byte only: the bytes between are copied.
const ENDS = 'head -c 3M /dev/urandom > a; cp a b; put b 0 x; put b 3145727 y; torvex a b p';
// What happens to the original between the task and the download: changed
// in place with its times kept, or deleted.
const AFTER = {changed: 'touch -r a t; put a 1048576 QQQQ; touch -r t a; rm t', deleted: 'rm a'};
// In the page, before its scripts: the worker's Blobs cannot be made, as where
// the browser's storage is full.
function fillStorage() {
  const PageBlob = Blob;
  window.Blob = class extends PageBlob {
    static [Symbol.hasInstance](value) { return value instanceof PageBlob; }
    constructor(parts, options) {
      const full = 'const HeldBlob = Blob; self.Blob = class extends HeldBlob { static [Symbol.hasInstance](value) ' +
        '{ return value instanceof HeldBlob; } constructor() { throw new DOMException("full", "QuotaExceededError"); } };';
      super(String(parts[0]).includes('createTorvex') ? [full, ...parts] : parts, options);
    }
  };
}
// The page's file picker gives a file of the origin's private storage.
function saveToPrivateFile() {
  window.showSaveFilePicker = async () => (await navigator.storage.getDirectory()).getFileHandle('saved', {create: true});
}
// name, setup (bash: torvex and the others are the native programs), task,
// its files by role, the message, the native command whose output the
// download (or the checksums shown) must equal (none: nothing may be
// offered), and how: big (file:// only, a profile on disk: the browser keeps
// large results there), keyboard (no mouse), cancel (at the first progress),
// changed or deleted (AFTER), full (fillStorage), save (http:// only: the
// result written to a file the page asks for, saveToPrivateFile).
const rows = [
  ['worked example', 'cp $SOURCE/examples/original.bin a; cp $SOURCE/examples/new.bin b', 'make', 'a b',
    'Process ended.', 'torvex a b expected'],
  ['random pair', PAIR, 'make', 'a b', 'Process ended.', 'torvex a b expected'],
  ['apply to a new file', PAIR, 'apply', 'a p', 'Process ended.', 'torvex-apply a expected p'],
  ['undo, the patch the other way round', PAIR, 'undo', 'a p', 'Process ended.', 'torvex b a expected'],
  ['already applied', PAIR, 'apply', 'b p', 'Patch already applied.', 'torvex-apply b expected p'],
  ['another original', PAIR, 'apply', 'c p', 'Original file does not match the patch.'],
  ['malformed', "printf ABCD > a; printf '4\\n2:58\\n1:5\\n' > p", 'apply', 'a p',
    'Patch is malformed at line 3.'],
  ['different sizes', 'printf abc > a; printf abcd > b', 'make', 'a b', 'Files have different sizes.'],
  ['empty files', ': > a; : > b', 'make', 'a b', 'Process ended.', 'torvex a b expected'],
  ['past 4 GiB: make', BIG, 'make', 'a b', 'Process ended.', 'torvex a b expected', 'big'],
  ['past 4 GiB: apply', BIG, 'apply', 'a p', 'Process ended.', 'torvex-apply a expected p', 'big'],
  ['past 4 GiB: undo', BIG, 'undo', 'a p', 'Process ended.', 'torvex-invert a p expected', 'big'],
  ['checksums', PAIR, 'checksums', 'a', 'Checksums of a', 'checksums a'],
  ['past 4 GiB: checksums', BIG, 'checksums', 'b', 'Checksums of b', 'checksums b', 'big'],
  ['keyboard alone', PAIR, 'apply', 'a p', 'Process ended.', 'torvex-apply a expected p', 'keyboard'],
  ['cancelled', BIG, 'make', 'a b', 'Cancelled.', '', 'cancel'],
  ['original changed in place before the download', ENDS, 'apply', 'a p', 'Process ended.',
    'torvex-apply a expected p', 'changed'],
  ['original deleted before the download', ENDS, 'apply', 'a p', 'Process ended.', 'torvex-apply a expected p',
    'deleted'],
  ['written straight to a file', ENDS, 'apply', 'a p', 'Process ended.', 'torvex-apply a expected p', 'save'],
  ['storage full: apply', ENDS, 'apply', 'a p', 'Error writing new file.', '', 'full'],
  ['storage full: make', PAIR, 'make', 'a b', 'Error writing patch file.', '', 'full'],
];
const ROLES = {make: ['original', 'new'], apply: ['original', 'patch'], undo: ['original', 'patch'], checksums: ['file']};
const PROGRESS_STEP = 64 << 20; // input read between two progress updates, at most

// A CRC32 as zlib computes it, with no help from the page's libraries.
const CRC32 = 'import sys, zlib; from functools import reduce; ' +
  'blocks = iter(lambda f=open(sys.argv[1], "rb"): f.read(1 << 24), b""); ' +
  'print("%08x" % reduce(lambda crc, block: zlib.crc32(block, crc), blocks, 0))';

function runShell(command, cwd) {
  const prelude = `put() { printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }
    torvex() { "${programs[0]}" "$@"; }; torvex-apply() { "${programs[1]}" "$@"; }
    torvex-invert() { "${programs[2]}" "$@"; }; SOURCE=${SOURCE}
    checksums() { echo "$(stat -c %s "$1") bytes $(sha256sum < "$1" | cut -c1-64) $(python3 -c '${CRC32}' "$1")" > expected; }\n`;
  execFileSync('bash', ['-ec', prelude + command], {cwd, stdio: ['ignore', 'ignore', 'inherit']});
}

// The highest peak of the renderer processes of this run's browser: the
// page and its worker run in one.
function measureRenderers() {
  const parents = new Map(), renderers = [];
  for (const pid of readdirSync('/proc').filter((name) => /^\d+$/.test(name))) {
    try {
      parents.set(pid, readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ')[1]);
      if (readFileSync(`/proc/${pid}/cmdline`, 'utf8').includes('--type=renderer')) renderers.push(pid);
    } catch {} // gone meanwhile
  }
  let peak = 0;
  for (const pid of renderers) {
    let up = pid;
    while (up && up !== '1' && up !== String(process.pid)) up = parents.get(up);
    if (up !== String(process.pid)) continue;
    try {
      peak = Math.max(peak, Number(/VmHWM:\s+(\d+)/.exec(readFileSync(`/proc/${pid}/status`, 'utf8'))[1]));
    } catch {}
  }
  return peak;
}

// Presses Tab until selector has the focus.
async function tabTo(page, selector) {
  for (let i = 0; i < 40; ++i) {
    if (await page.evaluate((s) => document.activeElement === document.querySelector(s), selector)) return;
    await page.keyboard.press('Tab');
  }
  throw new Error(`Tab never reaches ${selector}`);
}

async function runRow(page, url, [name, setup, task, names, prints, native, how]) {
  const dir = mkdtempSync(join(tmpdir(), 'torvex-web-'));
  const problems = [];
  try {
    runShell(setup, dir);
    if (native) runShell(native, dir); // before the inputs may change
    if (how === 'full') await page.addInitScript(fillStorage);
    if (how === 'save') await page.addInitScript(saveToPrivateFile);
    await page.goto(url);
    await page.evaluate(() => { // every value the progress bar shows
      const bar = document.getElementById('progress');
      window.shown = [];
      new MutationObserver(() => window.shown.push(bar.value)).observe(bar, {attributeFilter: ['value']});
    });
    const started = Date.now();
    const files = names.split(' ');
    for (const [i, role] of ROLES[task].entries()) {
      const input = `#${task} input[data-role=${role}]`;
      if (how !== 'keyboard') {
        await page.setInputFiles(input, join(dir, files[i]));
        continue;
      }
      await tabTo(page, input);
      const [chooser] = await Promise.all([page.waitForEvent('filechooser'), page.keyboard.press('Space')]);
      await chooser.setFiles(join(dir, files[i]));
    }
    if (how === 'keyboard') await tabTo(page, `#${task} button`);
    if (how === 'save') await page.check('#save-to-file');
    await (how === 'keyboard' ? page.keyboard.press('Enter') : page.click(`#${task} button`));
    if (how === 'cancel') { // the work's worker must go, not merely its outcome
      await page.waitForFunction(() => document.getElementById('progress').value > 0);
      const closed = new Promise((done) => page.workers()[0].once('close', done));
      await page.click('#cancel');
      await Promise.race([closed, new Promise((_, fail) => setTimeout(fail, 60000, 'the work goes on'))]);
    }
    const message = await page.waitForSelector('#outcome .message', {timeout: 300000});
    const seconds = (Date.now() - started) / 1000;
    if ((await message.textContent()) !== prints) problems.push(`printed '${await message.textContent()}'`);
    if (!(await page.textContent('#outcome .meaning'))) problems.push('no meaning shown');
    if (await page.evaluate(() => document.documentElement.scrollWidth > innerWidth))
      problems.push('scrolls sideways');
    const [shown, total] = await page.evaluate(() => [window.shown, document.getElementById('progress').max]);
    if (how !== 'cancel' && (shown.at(-1) !== total || shown.length < Math.floor(total / PROGRESS_STEP)))
      problems.push(`progress shown ${shown.length} times, last ${shown.at(-1)} of ${total}`);
    if (task === 'checksums') {
      const got = (await page.$$eval('#outcome dd', (values) => values.map((v) => v.textContent))).join(' ');
      if (got !== readFileSync(join(dir, 'expected'), 'utf8').trim()) problems.push(`checksums ${got}`);
    }
    const link = await page.$('#outcome a[download]');
    if (!native !== !link && task !== 'checksums' && how !== 'save') problems.push(link ? 'a download offered' : 'no download');
    const saved = how === 'save' && await page.evaluate(async () => btoa(String.fromCharCode(...new Uint8Array(await crypto
      .subtle.digest('SHA-256', await (await (await navigator.storage.getDirectory()).getFileHandle('saved')).getFile()
        .then((file) => file.arrayBuffer()))))));
    if (saved && saved !== createHash('sha256').update(readFileSync(join(dir, 'expected'))).digest('base64'))
      problems.push('the file written differs');
    if (AFTER[how]) runShell(AFTER[how], dir);
    if (native && link) {
      if (how === 'keyboard') await tabTo(page, '#outcome a[download]');
      const [download] = await Promise.all([page.waitForEvent('download'),
        how === 'keyboard' ? page.keyboard.press('Enter') : link.click()]);
      if (spawnSync('cmp', ['-s', await download.path(), join(dir, 'expected')]).status !== 0)
        problems.push(`${download.suggestedFilename()} differs from the native program's`);
      await download.delete();
    }
    const peak = measureRenderers();
    if (!peak || peak > MOST_MEMORY_KIB) problems.push(`renderer peak ${peak} KiB`);
    if (how === 'big') console.log(`  ${name}: ${seconds} s, renderer peak ${Math.round(peak / 1024)} MiB`);
    if (how === 'cancel') { // usable again: the next task is done, and alone
      await page.setInputFiles('#checksums input', join(dir, 'p'));
      await page.click('#checksums button');
      const next = await (await page.waitForSelector('#outcome .message')).textContent();
      if (next !== 'Checksums of p') problems.push(`then printed '${next}'`);
    }
    if (name === 'worked example' && url.startsWith('file:')) { // the README's picture
      await page.setViewportSize({width: 760, height: 1000});
      await page.screenshot({path: join(SOURCE, 'docs/page.png'), fullPage: true});
    }
  } catch (error) {
    problems.push(String(error).split('\n')[0]);
  } finally {
    rmSync(dir, {recursive: true, force: true});
  }
  return problems;
}

const server = createServer((request, response) => {
  const path = join(folder, new URL(request.url, 'http://x').pathname);
  try {
    response.end(readFileSync(path.endsWith('/') ? join(path, 'index.html') : path));
  } catch {
    response.writeHead(404).end();
  }
}).listen(0, '127.0.0.1');
await new Promise((done) => server.on('listening', done));
const launch = {executablePath: '/usr/bin/chromium', args: ['--no-sandbox']};
const browser = await chromium.launch(launch);
let failures = 0;
for (const url of [`file://${folder}/index.html`, `http://127.0.0.1:${server.address().port}/`]) {
  for (const row of rows) {
    // special rows: file:// only, but save, which needs a secure context
    if ((row[6] && url.startsWith('http') !== (row[6] === 'save')) || !only.test(row[0])) continue;
    // A fresh context: a fresh renderer process, whose peak is this row's
    // alone; as narrow as a small phone's screen. A private one keeps its
    // results in memory, where 4 GiB do not fit: big rows get a profile.
    const options = {acceptDownloads: true, viewport: {width: 320, height: 640}};
    const profile = row[6] === 'big' && mkdtempSync(join(tmpdir(), 'torvex-profile-'));
    const context = profile ? await chromium.launchPersistentContext(profile, {...launch, ...options})
      : await browser.newContext(options);
    // The browser keeps Blobs on disk only once it has measured the disk, soon after
    // it starts, and until then only 500 MiB: a page of its own waits for that.
    const probe = profile ? await context.newPage() : null;
    await probe?.evaluate(async () => {
      for (let tries = 0; tries < 60; ++tries, await new Promise((done) => setTimeout(done, 1000))) {
        const blob = new Blob(Array(70).fill(new Uint8Array(8 << 20)));
        if (await blob.slice(blob.size - 1).arrayBuffer().then(() => true, () => false)) return;
      }
    });
    await probe?.close();
    const page = await context.newPage();
    const noise = [];
    page.on('request', (request) => request.url() !== url && !/^(blob|data):/.test(request.url()) &&
      noise.push(`request ${request.url()}`));
    page.on('console', (message) => message.type() === 'error' && noise.push(`console: ${message.text()}`));
    page.on('pageerror', (error) => noise.push(`error: ${error.message}`));
    const problems = [...await runRow(page, url, row), ...noise];
    console.log(problems.length ? `FAILED ${row[0]} (${url}): ${problems.join('; ')}` : `ok: ${row[0]} (${url})`);
    failures += problems.length > 0;
    await context.close();
    if (profile) rmSync(profile, {recursive: true, force: true});
  }
}
await browser.close();
server.close();
process.exit(failures ? 1 : 0);
