// torvex in browsers: the worker starts from a Blob URL of its source, which
// this package holds, so that nothing else is loaded and a bundler needs no
// setting (a page's Content-Security-Policy needs worker-src blob:).
import {useWorkers} from './core.js';
import {WORKER_SOURCE} from './worker-source.js';

let url = null;

useWorkers(() => {
  url ??= URL.createObjectURL(new Blob([WORKER_SOURCE], {type: 'text/javascript'}));
  const worker = new Worker(url);
  return {
    post: (message, transfer = []) => worker.postMessage(message, transfer),
    listen(onMessage, onError) {
      worker.onmessage = (event) => onMessage(event.data);
      worker.onerror = (event) => {
        event.preventDefault();
        onError(event.error);
      };
    },
    terminate: () => worker.terminate(),
    ref() {},
    unref() {},
  };
}, false);

export {STATUS, TorvexError, makePatch, applyPatch, invertPatch, checkPatch, checksums} from './core.js';
