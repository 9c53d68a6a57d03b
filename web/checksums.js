// Checksums of a file as sites publish them: its size, SHA-256 and CRC32,
// computed a slice at a time through one buffer, never holding the file.
// Bundled into the worker (page.cmake) as the global torvexLibrary, with
// the reading that the module's files use too.
import {sha256} from '@noble/hashes/sha2.js';
import {bytesToHex} from '@noble/hashes/utils.js';
import CRC32 from 'crc-32';
import {readSlice} from './reading.js';

export {readSlice};

const SLICE = 8 << 20;

// onProgress(bytes) follows each piece read.
export async function computeChecksums(file, onProgress) {
  const hash = sha256.create();
  let space = new ArrayBuffer(SLICE), crc = 0;
  for (let at = 0; at < file.size; at += SLICE) {
    const end = Math.min(file.size, at + SLICE);
    const read = await readSlice(file, at, end, space, (bytes) => {
      hash.update(bytes);
      crc = CRC32.buf(bytes, crc);
      onProgress(bytes.byteLength);
    });
    if (read.got !== end - at) throw new Error('unreadable');
    space = read.space;
  }
  return {size: file.size, sha256: bytesToHex(hash.digest()), crc32: (crc >>> 0).toString(16).padStart(8, '0')};
}
