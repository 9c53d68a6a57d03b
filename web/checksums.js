// Checksums of a file as sites publish them: its size, SHA-256 and CRC32,
// computed a slice at a time through one buffer, never holding the file.
// Bundled into the worker (page.cmake) as the global torvexChecksums.
import {sha256} from '@noble/hashes/sha2.js';
import {bytesToHex} from '@noble/hashes/utils.js';
import CRC32 from 'crc-32';

const SLICE = 8 << 20;

// onProgress(bytes) follows each piece read.
export async function computeChecksums(file, onProgress) {
  const hash = sha256.create();
  let space = new ArrayBuffer(SLICE), crc = 0;
  for (let at = 0; at < file.size; at += SLICE) {
    const reader = file.slice(at, Math.min(file.size, at + SLICE)).stream().getReader({mode: 'byob'});
    for (;;) {
      const {value, done} = await reader.read(new Uint8Array(space));
      space = value.buffer; // given back at the end too, as an empty view
      if (done) break;
      hash.update(value);
      crc = CRC32.buf(value, crc);
      onProgress(value.byteLength);
    }
  }
  return {size: file.size, sha256: bytesToHex(hash.digest()), crc32: (crc >>> 0).toString(16).padStart(8, '0')};
}
