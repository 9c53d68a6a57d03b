/* libtorvex: make, check, apply and undo byte patches from any program.
 *
 * A patch is plain text: the length of two files of the same size, in
 * upper-case hex, then one line "offset:value" for every byte position where
 * the new file differs from the original, with the new byte. Every call here
 * does exactly what the programs torvex, torvex-apply and torvex-invert do,
 * with the same outputs byte for byte, the same checks and the same refusals.
 *
 * Paths are UTF-8 on every system. Each call takes a job, which carries its
 * progress callback and its cancel flag; a job runs one call at a time, and
 * any number of jobs run at once in as many threads.
 *
 * What a call never does: end the process, write to standard output or
 * error, change a signal's disposition, keep state outside its job, or let
 * an exception out. It reads and writes with positioned reads and writes, and
 * maps nothing unless asked to (torvex_job_map_files). On POSIX systems it blocks SIGPIPE and
 * SIGXFSZ in the calling thread for its length, so that a pipe whose reader has left and a
 * file-size limit are write errors, consumes such a signal that it raised, and restores the
 * thread's mask.
 *
 * A new file (an applied file, an undo) is made beside its place, unnamed
 * where the file system can, and named and renamed at the end where it
 * cannot. A host killed by a signal during such a call can leave that named
 * temporary file, a hidden ".NAME.torvex-PID-N" beside its place: the library
 * installs no handler to remove it (the programs do).
 */
#ifndef TORVEX_H
#define TORVEX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TORVEX_VERSION_MAJOR 1
#define TORVEX_VERSION_MINOR 2
#define TORVEX_VERSION_PATCH 0
/* MAJOR * 10000 + MINOR * 100 + PATCH, as torvex_version() gives it. */
#define TORVEX_VERSION_NUMBER                                                                      \
    (TORVEX_VERSION_MAJOR * 10000 + TORVEX_VERSION_MINOR * 100 + TORVEX_VERSION_PATCH)

/* What the library exports; nothing else is visible from it. */
#if defined(_WIN32) && defined(TORVEX_BUILDING_DLL)
#define TORVEX_API __declspec(dllexport)
#elif defined(_WIN32) && defined(TORVEX_DLL)
#define TORVEX_API __declspec(dllimport)
#elif defined(__GNUC__)
#define TORVEX_API __attribute__((visibility("default")))
#else
#define TORVEX_API
#endif

/* The outcome of a call. The values are fixed and never reused. */
typedef enum torvex_status {
    TORVEX_OK = 0,                  /* done; or, from torvex_check, the patch applies */
    TORVEX_ALREADY_APPLIED = 1,     /* every record's byte is in place: nothing written */
    TORVEX_PARTLY_APPLIED = 2,      /* torvex_check: an in-place run cut short */
    TORVEX_OPEN_FAILED = 3,         /* an input cannot be opened or measured */
    TORVEX_SIZES_DIFFER = 4,        /* torvex_make: the two inputs' sizes differ */
    TORVEX_CREATE_PATCH_FAILED = 5, /* the patch or undo cannot be made there */
    TORVEX_READ_FAILED = 6,         /* an input failed, shrank or changed while read */
    TORVEX_WRITE_PATCH_FAILED = 7,  /* writing the patch or undo failed */
    TORVEX_NO_MEMORY = 8,           /* memory could not be had */
    TORVEX_MALFORMED = 9,           /* the patch is malformed: torvex_job_line says where */
    TORVEX_DOES_NOT_FIT = 10,       /* the patch is for a file of another size */
    TORVEX_MISMATCH = 11,           /* the original is not the patch's */
    TORVEX_CREATE_NEW_FAILED = 12,  /* the new file cannot be made there */
    TORVEX_WRITE_NEW_FAILED = 13,   /* writing the new file failed */
    TORVEX_CANCELLED = 14,          /* the progress callback or torvex_job_cancel stopped it */
    TORVEX_INVALID_CALL = 15        /* a null job or path, or a job already running */
} torvex_status;

/* The library's version, MAJOR * 10000 + MINOR * 100 + PATCH. */
TORVEX_API unsigned torvex_version(void);

/* The programs' own line for status, one fixed text; for TORVEX_MALFORMED it
 * names no line (torvex_job_message does). Never NULL. */
TORVEX_API const char *torvex_message(int status);

typedef struct torvex_job torvex_job;

/* Called on the calling thread with the bytes done and the total: at least
 * once per block of work (10 MiB at most) and once at the end with done equal
 * to total; done never goes back. A non-zero return cancels the call. */
typedef int (*torvex_progress)(void *user, uint64_t done, uint64_t total);

/* A new job, or NULL where memory cannot be had. */
TORVEX_API torvex_job *torvex_job_new(void);
/* Frees a job that runs no call. NULL is allowed. */
TORVEX_API void torvex_job_free(torvex_job *job);
/* The callback for the job's calls from now on; NULL for none. */
TORVEX_API void torvex_job_set_progress(torvex_job *job, torvex_progress progress, void *user);
/* Asks the job's current or next call to stop. Safe from any thread and from
 * a signal handler (it only stores to a lock-free atomic). A cancel takes
 * effect within one block and leaves what a failure leaves: a new file or an
 * undo never appears, an existing one stays as it was, an in-place run stops
 * between records (run it again to finish it), a patch being made keeps its
 * size line and its whole blocks. The next call of the job starts afresh. */
TORVEX_API void torvex_job_cancel(torvex_job *job);
/* With on non-zero, the job's calls from now on compare regular files through
 * memory mappings of their blocks rather than reading them: faster where the
 * files are in the page cache (the copy that a read makes is saved: measured,
 * 1 GiB page-cached pairs in 0.08 s mapped against 0.14 s read). What it
 * changes for the process: a page that cannot be read through a mapping (a
 * file that shrinks under the call, a disk that fails) raises SIGBUS, so while
 * such a call runs the library holds the process's SIGBUS handler, turns a
 * fault in one of its own mappings into TORVEX_READ_FAILED for the thread that
 * met it, hands any other to the handler before, and restores that handler
 * once no call holds it. On Windows such a call instead adds a vectored
 * exception handler for its length, first in line, which acts only on faults
 * in the call's own views. A call that finds its reads cheaper than its
 * mappings (timed on its second and third blocks) reads the rest. Off by
 * default; the programs turn it on. In a browser it changes nothing. */
TORVEX_API void torvex_job_map_files(torvex_job *job, int on);
/* The line of the patch that the last call found malformed; 0 where none. */
TORVEX_API uint64_t torvex_job_line(const torvex_job *job);
/* The programs' line for the job's last call, a malformed patch's line
 * number included; valid until the job's next call. */
TORVEX_API const char *torvex_job_message(const torvex_job *job);

/* Compares original and changed, of the same size, and writes their patch to
 * patch_out (created, or emptied where it exists). An output that shares data
 * with an input is refused untouched. After a read error or a cancel, the
 * patch keeps its size line and the records of the whole blocks before. */
TORVEX_API int torvex_make(torvex_job *job, const char *original, const char *changed,
                           const char *patch_out);

/* Writes new_file from original and patch: a new file whole or not at all
 * (TORVEX_OK; TORVEX_ALREADY_APPLIED where the original holds the new bytes
 * already, and the new file is its copy); where new_file names the original
 * itself, in place, only the recorded bytes, once the whole patch is checked
 * (nothing where they are all in place: TORVEX_ALREADY_APPLIED), and an
 * in-place run cut short is finished. */
TORVEX_API int torvex_apply(torvex_job *job, const char *original, const char *new_file,
                            const char *patch);

/* Writes the undo of patch for original to undo_out, whole or not at all: applied to the patched
 * file, it gives back the original. */
TORVEX_API int torvex_invert(torvex_job *job, const char *original, const char *patch,
                             const char *undo_out);

/* Reads the whole patch against original and writes nothing: TORVEX_OK where
 * it applies, TORVEX_ALREADY_APPLIED, TORVEX_PARTLY_APPLIED (finish it with
 * torvex_apply in place), or the failure that torvex_apply would meet first. */
TORVEX_API int torvex_check(torvex_job *job, const char *original, const char *patch);

#ifdef __cplusplus
}
#endif

#endif /* TORVEX_H */
