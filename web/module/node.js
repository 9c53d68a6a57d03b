// torvex in Node (20 or later): the browsers' worker source runs in a
// worker thread, given the few names of a browser's worker that it uses.
// Node cannot send a file's Blob to a worker, so the Blobs stay here and the
// worker asks for their slices.
import {Worker} from 'node:worker_threads';
import {useWorkers} from './core.js';
import {WORKER_SOURCE} from './worker-source.js';

const PRELUDE = `const {parentPort} = require('node:worker_threads');
globalThis.self = globalThis;
self.location = {href: ''};
self.postMessage = (message) => parentPort.postMessage(message);
parentPort.on('message', (data) => self.onmessage({data}));
`;

useWorkers(() => {
  const worker = new Worker(PRELUDE + WORKER_SOURCE, {eval: true});
  let handlers = null;
  worker.on('message', (message) => handlers.onMessage(message));
  worker.on('error', (error) => handlers.onError(error));
  return {
    post: (message, transfer = []) => worker.postMessage(message, transfer),
    listen(onMessage, onError) {
      handlers = {onMessage, onError};
    },
    terminate: () => worker.terminate(),
    ref: () => worker.ref(),
    unref: () => worker.unref(), // an idle worker does not keep Node running
  };
}, true);

export {STATUS, TorvexError, makePatch, applyPatch, invertPatch, checkPatch, checksums} from './core.js';
