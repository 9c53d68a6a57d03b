"""torvex: make, check, apply and undo byte patches from Python.

A thin layer over libtorvex (libtorvex.so.1, or the file that the environment
variable TORVEX_LIBRARY names): every call does what the programs torvex,
torvex-apply and torvex-invert do, with the same outputs byte for byte.

    torvex.make(original, changed, patch)       # writes the patch
    torvex.apply(original, new_file, patch)     # True; False where applied already
    torvex.invert(original, patch, undo)        # writes the undo
    torvex.check(original, patch)               # a Check; writes nothing

Paths are str, bytes or os.PathLike. A failure raises the subclass of
torvex.Error for its status, whose str() is the program's line. progress, where
given, is called as progress(done, total) on the calling thread as the work
goes on; returning False cancels the call (CancelledError), and an exception
it raises cancels the call and is raised once the call has returned. Ctrl+C
in the main thread cancels a call too, and raises KeyboardInterrupt then: a
cancelled call leaves what a failure leaves. Calls in several threads run at
once.
"""

import ctypes
import enum
import os
import signal

__all__ = ["make", "apply", "invert", "check", "Check", "Error", "LIBRARY_VERSION"]

MAJOR = 1  # the library's major version this module speaks to

try:
    _lib = ctypes.CDLL(os.environ.get("TORVEX_LIBRARY") or "libtorvex.so.1")
except OSError as error:
    raise ImportError(f"torvex needs the library libtorvex.so.1 (Debian: libtorvex1): {error}") from error

_PROGRESS = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_uint64)
_job, _path_t = ctypes.c_void_p, ctypes.c_char_p
for _name, _restype, *_argtypes in (
    ("torvex_version", ctypes.c_uint),
    ("torvex_message", ctypes.c_char_p, ctypes.c_int),
    ("torvex_job_new", _job),
    ("torvex_job_free", None, _job),
    ("torvex_job_set_progress", None, _job, _PROGRESS, ctypes.c_void_p),
    ("torvex_job_cancel", None, _job),
    ("torvex_job_line", ctypes.c_uint64, _job),
    ("torvex_job_message", ctypes.c_char_p, _job),
    ("torvex_make", ctypes.c_int, _job, _path_t, _path_t, _path_t),
    ("torvex_apply", ctypes.c_int, _job, _path_t, _path_t, _path_t),
    ("torvex_invert", ctypes.c_int, _job, _path_t, _path_t, _path_t),
    ("torvex_check", ctypes.c_int, _job, _path_t, _path_t),
):
    getattr(_lib, _name).restype = _restype
    getattr(_lib, _name).argtypes = _argtypes


def _check_version(number):
    """The library's version number (MAJOR * 10000 + MINOR * 100 + PATCH) as a
    tuple; ImportError where its major version is not this module's."""
    version = (number // 10000, number // 100 % 100, number % 100)
    if version[0] != MAJOR:
        raise ImportError(f"torvex works with libtorvex {MAJOR}.x, but {_lib._name} is version "
                          + ".".join(map(str, version)))
    return version


LIBRARY_VERSION = _check_version(_lib.torvex_version())


class Check(enum.Enum):
    """What check() found."""
    APPLIES = 0         # the patch applies to the original
    APPLIED = 1         # every byte of the patch is in place already
    PARTLY_APPLIED = 2  # an in-place run cut short: apply in place finishes it


class Error(Exception):
    """A failed call: str() is the program's line, .status the library's status,
    .line the malformed line of the patch (0 for other failures)."""
    status = None

    def __init__(self, message, line=0):
        super().__init__(message)
        self.line = line


class OpenError(Error): status = 3           # an input cannot be opened or measured
class SizesDifferError(Error): status = 4    # make: the two inputs' sizes differ
class CreatePatchError(Error): status = 5    # the patch or undo cannot be made there
class ReadError(Error): status = 6           # an input failed, shrank or changed while read
class WritePatchError(Error): status = 7     # writing the patch or undo failed
class NoMemoryError(Error, MemoryError): status = 8
class MalformedError(Error): status = 9      # .line says where
class DoesNotFitError(Error): status = 10    # the patch is for a file of another size
class MismatchError(Error): status = 11      # the original is not the patch's
class CreateNewFileError(Error): status = 12  # the new file cannot be made there
class WriteNewFileError(Error): status = 13   # writing the new file failed
class CancelledError(Error): status = 14     # progress returned False
class InvalidCallError(Error): status = 15   # a null path


_ERRORS = {error.status: error for error in Error.__subclasses__()}


def _path(path):
    path = os.fsencode(path)
    if b"\0" in path:
        raise ValueError("embedded null byte")
    return path


def _call(function, progress, *paths):
    """Runs function(job, *paths) in a job of its own and gives its status,
    raising what the call failed with."""
    caught = []  # what the progress callback or Ctrl+C raised, to raise after the call

    def on_progress(user, done, total):
        if not caught:
            try:
                if progress is not None and progress(done, total) is False:
                    return 1
            except BaseException as error:
                caught.append(error)
        return 1 if caught else 0

    # A signal's Python handler runs at the next bytecode of the main thread,
    # which in a call is the first of on_progress, before anything of it can
    # catch what the handler raises. So the handler is wrapped for the call's
    # length: what it raises cancels the call and is raised after it.
    def on_signal(*args):
        try:
            previous(*args)
        except BaseException as error:
            caught.append(error)

    previous = signal.getsignal(signal.SIGINT)
    wrapped = callable(previous)
    if wrapped:
        try:
            signal.signal(signal.SIGINT, on_signal)
        except ValueError:  # not the main thread, where no handler runs
            wrapped = False
    callback = _PROGRESS(on_progress)  # kept until the job is freed
    job = _lib.torvex_job_new()
    try:
        if not job:
            raise NoMemoryError(_lib.torvex_message(NoMemoryError.status).decode())
        _lib.torvex_job_set_progress(job, callback, None)
        status = function(job, *paths)
        message, line = _lib.torvex_job_message(job).decode(errors="replace"), _lib.torvex_job_line(job)
    finally:
        _lib.torvex_job_free(job)
        if wrapped:
            signal.signal(signal.SIGINT, previous)
    if caught:
        raise caught[0]
    if status in _ERRORS:
        raise _ERRORS[status](message, line)
    return status


def make(original, changed, patch, progress=None):
    """Writes the patch from original to changed, two files of the same size."""
    _call(_lib.torvex_make, progress, _path(original), _path(changed), _path(patch))


def apply(original, new_file, patch, progress=None):
    """Writes new_file from original and patch (in place where new_file is the
    original): True, or False where new_file holds the new bytes already."""
    return _call(_lib.torvex_apply, progress, _path(original), _path(new_file), _path(patch)) == 0


def invert(original, patch, undo, progress=None):
    """Writes the undo of patch for original: applied to the patched file, it
    gives back the original."""
    _call(_lib.torvex_invert, progress, _path(original), _path(patch), _path(undo))


def check(original, patch, progress=None):
    """Checks patch against original and writes nothing: a Check, or the Error
    that apply would meet first."""
    return Check(_call(_lib.torvex_check, progress, _path(original), _path(patch)))
