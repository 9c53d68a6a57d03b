// The package torvex as a user installs it, in Node: outputs as the programs'
// (in TORVEX_BIN), its failures, progress, output streams, and an abort.
import assert from 'node:assert/strict';
import {spawnSync} from 'node:child_process';
import {randomBytes} from 'node:crypto';
import {mkdtempSync, openAsBlob, readFileSync, truncateSync, writeFileSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import {test} from 'node:test';
import * as torvex from 'torvex';

const dir = mkdtempSync(join(tmpdir(), 'torvex-module-'));
const at = (name) => join(dir, name);
const blob = (name) => openAsBlob(at(name));
const read = async (result) => Buffer.from(await result.arrayBuffer());
const native = (program, ...names) => spawnSync(join(process.env.TORVEX_BIN, program), names.map(at)).stdout.toString().trim();
const threads = () => Number(/Threads:\s+(\d+)/.exec(readFileSync('/proc/self/status', 'utf8'))[1]);

// A 3 MiB pair that differs in every 4 KiB and at the last byte, its patch
// and undo; an original the patch does not fit, and one it does not match
// (patched at the last byte only).
const a = randomBytes(3 << 20), b = a.map((byte, i) => (i % 4093 && i < a.length - 1 ? byte : ~byte));
writeFileSync(at('a'), a), writeFileSync(at('b'), b), writeFileSync(at('e'), ''), writeFileSync(at('short'), 'AB');
writeFileSync(at('c'), Buffer.concat([a.subarray(0, -1), b.subarray(-1)])), writeFileSync(at('bad'), '300000\n0:41\nzz\n');
for (const [x, y, p, u] of [['a', 'b', 'p', 'u'], ['e', 'e', 'pe', 'ue']]) native('torvex', x, y, p), native('torvex-invert', x, p, u);

// A stream that keeps what is written to it, or fails every write.
function collect(failing) {
  const chunks = [];
  const stream = new WritableStream({write: (chunk) => (failing ? Promise.reject(new Error('full')) : chunks.push(chunk))});
  return {stream, bytes: () => Buffer.concat(chunks)};
}

test('outputs are the programs\', into Blobs and into streams', async () => {
  for (const [original, changed, patch, undo] of [['a', 'b', 'p', 'u'], ['e', 'e', 'pe', 'ue']]) {
    const shown = [];
    const made = await torvex.makePatch(await blob(original), await blob(changed), {onProgress: (...p) => shown.push(p)});
    const total = readFileSync(at(original)).length * 2;
    assert.deepEqual([await read(made), shown.at(-1)], [readFileSync(at(patch)), [total, total]]);
    const {file, alreadyApplied} = await torvex.applyPatch(await blob(original), await blob(patch));
    const applied = native('torvex-apply', original, 'x', patch) === 'Patch already applied.';
    assert.deepEqual([await read(file), alreadyApplied], [readFileSync(at(changed)), applied]);
    assert.deepEqual(await read(await torvex.invertPatch(await blob(original), await blob(patch))), readFileSync(at(undo)));
    const first = applied ? 'already-applied' : 'applies'; // the changed file is the original, or is patched
    assert.deepEqual([await torvex.checkPatch(await blob(original), await blob(patch)), await torvex.checkPatch(
      await blob(changed), await blob(patch))], [first, original === changed ? first : 'already-applied']);
    for (const [call, inputs, expected] of [['makePatch', [original, changed], patch], ['applyPatch', [original, patch],
      changed], ['invertPatch', [original, patch], undo]]) {
      const output = collect();
      const result = await torvex[call](...await Promise.all(inputs.map(blob)), {output: output.stream});
      assert.deepEqual([call === 'applyPatch' ? result.file : result, output.bytes()], [null, readFileSync(at(expected))]);
    }
  }
});

test('each failure is a TorvexError with the program\'s line', async () => {
  const gone = await writeFileSync(at('gone'), a) ?? blob('gone');
  truncateSync(at('gone'), 1); // a Blob of a file that changed after it was taken
  for (const [status, call, inputs, line, output] of [
    [4, 'makePatch', ['a', 'short'], native('torvex', 'a', 'short', 'x')],
    [9, 'applyPatch', ['a', 'bad'], native('torvex-apply', 'a', 'x', 'bad')],
    [10, 'checkPatch', ['short', 'p'], native('torvex-apply', 'short', 'x', 'p')],
    [11, 'applyPatch', ['c', 'p'], native('torvex-apply', 'c', 'x', 'p')],
    [6, 'checksums', [gone], 'Error reading one of the files...'],
    [6, 'makePatch', [gone, 'a'], 'Error reading one of the files...'],
    [7, 'makePatch', ['a', 'b'], 'Error writing patch file.', collect(true)],
    [13, 'applyPatch', ['a', 'p'], 'Error writing new file.', collect(true)],
  ]) {
    const blobs = await Promise.all(inputs.map((input) => (typeof input === 'string' ? blob(input) : input)));
    await assert.rejects(torvex[call](...blobs, {output: output?.stream}), (error) => assert.deepEqual(
      [error instanceof torvex.TorvexError, error.status, error.message, error.line],
      [true, status, line, status === 9 ? 3 : 0]) ?? true);
  }
});

test('an abort ends the worker there and then, and the next call runs', async () => {
  for (const name of ['big', 'big2']) writeFileSync(at(name), ''), truncateSync(at(name), 1 << 30);
  const controller = new AbortController();
  let during = 0;
  const onProgress = () => (during ||= threads()) && controller.abort();
  await assert.rejects(torvex.makePatch(await blob('big'), await blob('big2'), {signal: controller.signal, onProgress}),
    {name: 'AbortError'});
  for (let tries = 0; threads() >= during && tries < 300; ++tries) await new Promise((done) => setTimeout(done, 100));
  assert.ok(threads() < during, 'the worker still runs');
  assert.deepEqual(await read(await torvex.makePatch(await blob('a'), await blob('b'))), readFileSync(at('p')));
});
