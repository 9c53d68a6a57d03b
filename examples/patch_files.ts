// The JavaScript package from a typed page: the patch of two files the user
// chose, checked and applied back, with progress and a way to stop; or
// written straight to a stream (a file the user picked) without holding it.
// tsc --strict takes it as it stands.
import {STATUS, TorvexError, applyPatch, checkPatch, makePatch, type Check} from 'torvex';

export async function patchChosenFiles(original: File, changed: File, signal: AbortSignal,
                                       show: (text: string) => void): Promise<Blob | null> {
  try {
    const onProgress = (done: number, total: number) => show(`${done} of ${total} bytes read`);
    const patch: Blob = await makePatch(original, changed, {signal, onProgress});
    const check: Check = await checkPatch(original, patch, {signal});
    const {file, alreadyApplied} = await applyPatch(original, patch, {signal});
    show(`${check}, ${alreadyApplied ? 'already applied' : 'applied'}: ${file.size} bytes`);
    return patch;
  } catch (error) {
    if (!(error instanceof TorvexError)) throw error; // an AbortError, say
    show(error.status === STATUS.MALFORMED ? `${error.message} (line ${error.line})` : error.message);
    return null;
  }
}

export async function savePatch(original: File, changed: File, output: WritableStream<Uint8Array>): Promise<void> {
  const kept: null = await makePatch(original, changed, {output});
  return kept ?? undefined;
}
