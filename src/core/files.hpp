// What the core needs from files: open, measure, read and
// relate them, write new ones whole. Each system gives it in its own folder
// under src/sys, which alone makes the system's calls.
//
// The one rule for errors: these functions report what happened (nullptr,
// false, -1, a status) and never print, end the process, or touch anything of
// it beyond what they are given; the programs choose every message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Opens an input for binary reading; nullptr where it cannot be opened or
// its size cannot be measured (anything but a regular file or block device).
FILE *open_file(const char *path);

// Creates the patch file for text writing, or opens and empties an existing
// one; nullptr where it cannot. What the path names at the moment it is
// opened is checked against both inputs before anything is emptied: an output
// that shares data with an input (see relate_data) is refused untouched, so no
// swap of the path between a check and the open can reach an input.
FILE *create_file(const char *path, FILE *original, FILE *changed);

// How the data of two open files relate: writing through one changes the
// other's bytes at the same offsets (the same file by any name, two nodes of
// one disk, a loop device and the file behind it), or changes them somewhere
// (a loop device that starts further into the file, a disk and a file on the
// file system it holds), or not at all.
enum class data_relation { separate, same, overlapping };
data_relation relate_data(FILE *a, FILE *b);

// Cuts the file open as fd to length.
void cut_file(int fd, std::int64_t length);
// A stream's position, 64-bit on every system; -1 where it has none.
std::int64_t get_position(FILE *stream);

// --- The system part ---------------------------------------------------------

// The size of an open input; its position is left where it was. -1 where it
// cannot be measured.
std::int64_t get_size(FILE *stream);

// Where an input's data lies: the file system stores holes as nothing, and
// they read back as zeros.
struct extent {
    bool data;        // false: a hole
    std::int64_t end; // where it ends, at most the limit asked for
};
// The extent at offset. Where the file system cannot tell (or on a system
// without the means to ask), everything up to limit counts as data. It moves
// the descriptor's offset: a stream must be sought before it is read again.
extent find_extent(FILE *stream, std::int64_t offset, std::int64_t limit);

// Moves an input to offset; false where it cannot.
bool seek_input(FILE *stream, std::int64_t offset);

// Asks the system to start reading length bytes of an input from offset.
void prefetch(FILE *stream, std::int64_t offset, std::int64_t length);
// True while the input still holds at least size bytes (a disk always does).
bool input_holds(FILE *stream, std::int64_t size);

// Opens a patch for binary reading: a regular file or a pipe; nullptr for a
// folder or a path that cannot be opened.
FILE *open_patch(const char *path);
// How a run that reads the patch twice (in place, to a device) reads it
// again, so that every byte written comes from the patch exactly as the check
// read it. A regular patch file of at most MOST_VERIFIED_PATCH bytes is read
// again as it is, each piece verified against what the check read
// (patch_reader's pieces); any other patch is kept whole as the check reads
// it in a private file in the system's temporary folder ($TMPDIR, else /tmp),
// but on Windows, where a pipe cannot be the patch.
constexpr std::int64_t MOST_VERIFIED_PATCH = std::int64_t{60} << 30;
enum class rereading {
    verified,  // read again as it is, every piece checked (copy is nullptr)
    as_is,     // read again as it is (copy is nullptr)
    from_copy, // read again from copy
    no_copy,   // no private file could be made apart from the original
    not_twice, // it cannot be read again (a pipe, on Windows)
};
rereading plan_rereading(FILE *patch, FILE *original, FILE *&copy);
// A fresh key for the pieces' hashes, which no one can foresee.
std::uint64_t get_random_key();
// A read-write file no other process can open, in the system's temporary
// folder, gone when it is closed; nullptr where none can be made apart from
// the original.
FILE *open_private_file(FILE *original);
// Lines written to the stream from now on end as the system's text files do
// (CR LF on Windows).
void write_lines_as_text(FILE *stream);
// Keeps every other process from writing the original and the patch while
// the run holds them (on Windows; elsewhere nothing can, and the run checks
// instead). False where another process writes one of them already.
bool keep_writers_out(FILE *original, FILE *patch);
#ifdef TORVEX_TEST_PAUSE
// Only in the test build: where TORVEX_PAUSE names a file, makes it and waits
// until it is gone, so that a test can act between a check and the writing.
void pause_for_test();
#endif
// True when the stream is a file that can be read again from its start, and
// it now stands there.
bool rewind_file(FILE *stream);
// Reads exactly length bytes at offset.
bool read_at(FILE *stream, std::int64_t offset, void *buffer, std::size_t length);
bool write_at(FILE *stream, std::int64_t offset, const void *buffer, std::size_t length);
// Writes out what the stream holds and has the system put it on the disk.
bool flush_to_disk(FILE *stream);
// While one is held by the calling thread, a file-size limit, or a pipe whose
// reader has left, fails a write instead of ending the process: their signals
// are blocked in this thread alone, and one that a write raised is consumed
// as the hold ends. Nothing else of the process changes.
struct write_signals_hold {
    unsigned char saved[256]; // the thread's signal mask before, as the system keeps it
    bool pending_before[2];
};
void hold_write_signals(write_signals_hold &hold);
void release_write_signals(write_signals_hold &hold);
// True while the input is exactly size bytes long.
bool keeps_size(FILE *stream, std::int64_t size);

// Writes into the original in place, by position, each write once the
// original is seen to keep its size: nothing is written past the end of an
// original that shrank under the run, but where it shrinks between that look
// and the write (which then grows it back), and the run ends as a read error.
struct in_place_writer {
    FILE *file;
    std::int64_t size; // what the original must keep
};
bool write_in_place(in_place_writer &writer, std::int64_t offset, const void *bytes,
                    std::size_t length);
// Puts what was written on the disk.
bool finish_in_place(in_place_writer &writer);

// The longest path the helpers take, in bytes of UTF-8: the system's limit
// (on Windows, 32,767 UTF-16 units of up to three bytes each).
#ifdef _WIN32
constexpr std::size_t PATH_ROOM = 3 * 32768;
#else
constexpr std::size_t PATH_ROOM = 4096;
#endif

// What the new file's path names, opened once: every check, the new file and
// its renaming work on what was opened then, never on the path again, so that
// no link or folder swapped in meanwhile can redirect a write.
enum class target_kind {
    replaceable, // nothing yet, or a regular file of its own: replaced whole
    original,    // the original itself: stream writes to it, byte for byte
    device,      // a character device: stream writes to it, front to back
    pipe,        // a pipe: stream writes to it, front to back
    refused,     // the patch, a folder, a disk, a file that shares data with an
                 // input, a path that cannot name a file, or one that cannot be written
};
struct target {
    target_kind kind = target_kind::refused;
    FILE *stream = nullptr;    // the original or the device, open for writing
    int folder = -1;           // POSIX: the folder the new file goes in, held
    int file = -1;             // POSIX: the file the name holds now, if any
    char name[PATH_ROOM] = {}; // POSIX: its name there, past symbolic links; Windows: its path
};
// A pipe or FIFO is refused at once, or awaited: opened for writing alone,
// once it has a reader.
enum class pipe_use { refused, awaited };
target open_target(const char *path, FILE *original, FILE *patch, pipe_use pipes);
void close_target(target &place);

// A new file made beside the one it will replace, invisible until then where
// the system can; else under a hidden name, which a process killed meanwhile
// leaves behind (the programs stop their run first where they can).
struct temp_file {
    FILE *stream = nullptr; // read-write, binary
    const target *place = nullptr;
    char name[PATH_ROOM] = {}; // its own name, where it has one ("" where not)
};
// Makes it in place's folder with the permissions the file will keep: the
// existing target's; else, as_original, the original's within the umask, or
// those of any new file. Refused where it would share data with the original
// or the patch.
bool create_temp(const target &place, FILE *original, FILE *patch, bool as_original,
                 temp_file &temp);
// Makes to share from's blocks, where the file system can: a copy in no time.
bool clone_file(FILE *from, FILE *to);
// True where the file system reports the original as all data while it holds
// fewer blocks than its size needs: it has holes that it does not report.
bool hides_holes(FILE *stream, std::int64_t size);
// Copies the bytes of from in [start, end) to the same offsets of to, holes
// kept where the system tells them (to must hold zeros there); with
// skip_zeros, also every run of zeros of a file system block or more. buffer
// serves where the system cannot copy by itself.
// The run is told how far it is as data is copied, and may stop there.
enum class copy_result { copied, read_failed, write_failed, stopped };
copy_result copy_range(FILE *from, FILE *to, std::int64_t start, std::int64_t end, bool skip_zeros,
                       unsigned char *buffer, std::size_t capacity);
// Gives the file that length, as holes where it grows; false where the file
// system cannot.
bool set_length(FILE *stream, std::int64_t length);
// Puts the file on the disk, then in the target's place.
bool commit_temp(temp_file &temp);
// Removes it: the target is left as it was.
void discard_temp(temp_file &temp);
