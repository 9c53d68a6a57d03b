// torvex: makes, checks, applies and undoes byte patches of Blobs (a File is
// one) in a worker of its own, with the outputs of the programs torvex,
// torvex-apply and torvex-invert byte for byte.

/** The library's statuses: fixed values, never reused. */
export declare const STATUS: {
  readonly OK: 0; readonly ALREADY_APPLIED: 1; readonly PARTLY_APPLIED: 2; readonly OPEN_FAILED: 3;
  readonly SIZES_DIFFER: 4; readonly CREATE_PATCH_FAILED: 5; readonly READ_FAILED: 6;
  readonly WRITE_PATCH_FAILED: 7; readonly NO_MEMORY: 8; readonly MALFORMED: 9; readonly DOES_NOT_FIT: 10;
  readonly MISMATCH: 11; readonly CREATE_NEW_FAILED: 12; readonly WRITE_NEW_FAILED: 13;
  readonly CANCELLED: 14; readonly INVALID_CALL: 15;
};

/** A failed call: message is the program's line ("Original file does not match the patch."). */
export declare class TorvexError extends Error {
  readonly name: 'TorvexError';
  /** One of STATUS's values. */
  readonly status: number;
  /** The first wrong line of a malformed patch; 0 for other failures. */
  readonly line: number;
}

export interface ReadOptions {
  /** Ends the work at once: the call rejects with an AbortError. */
  signal?: AbortSignal;
  /** Called as the inputs are read: bytes done of total. */
  onProgress?: (done: number, total: number) => void;
}

export interface WriteOptions extends ReadOptions {
  /** Where the result goes as it is made, instead of into a Blob: closed once
   * it is whole, aborted where the call fails. */
  output: WritableStream<Uint8Array>;
}

/** What checkPatch finds where the patch could be applied or is in place. */
export type Check = 'applies' | 'already-applied' | 'partly-applied';

export interface Checksums {
  size: number;
  /** Lowercase hexadecimal, as published. */
  sha256: string;
  crc32: string;
}

/** The patch from original to changed, two Blobs of the same size. */
export declare function makePatch(original: Blob, changed: Blob, options?: ReadOptions): Promise<Blob>;
export declare function makePatch(original: Blob, changed: Blob, options: WriteOptions): Promise<null>;

/** The new file: original with patch applied. alreadyApplied where original held its bytes already. */
export declare function applyPatch(original: Blob, patch: Blob, options?: ReadOptions):
  Promise<{file: Blob; alreadyApplied: boolean}>;
export declare function applyPatch(original: Blob, patch: Blob, options: WriteOptions):
  Promise<{file: null; alreadyApplied: boolean}>;

/** The undo of patch: applied to the new file, it gives original back. */
export declare function invertPatch(original: Blob, patch: Blob, options?: ReadOptions): Promise<Blob>;
export declare function invertPatch(original: Blob, patch: Blob, options: WriteOptions): Promise<null>;

/** Whether patch applies to original, writing nothing; rejects with what applyPatch would meet. */
export declare function checkPatch(original: Blob, patch: Blob, options?: ReadOptions): Promise<Check>;

/** The size, SHA-256 and CRC32 of file, as sites publish them. */
export declare function checksums(file: Blob, options?: ReadOptions): Promise<Checksums>;
