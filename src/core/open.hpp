// Opening, measuring, reading and writing by position, and what a new
// file's path names: src/sys/*/open.cpp (and on POSIX, layers.cpp for
// relate_data). See files.hpp for the rule for errors.
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

// The size of an open input; its position is left where it was. -1 where it
// cannot be measured.
std::int64_t get_size(FILE *stream);

// Opens a patch for binary reading: a regular file or a pipe; nullptr for a
// folder or a path that cannot be opened.
FILE *open_patch(const char *path);
// True when the stream is a file that can be read again from its start, and
// it now stands there.
bool rewind_file(FILE *stream);
// Reads exactly length bytes at offset.
bool read_at(FILE *stream, std::int64_t offset, void *buffer, std::size_t length);
bool write_at(FILE *stream, std::int64_t offset, const void *buffer, std::size_t length);
// Has the disk start writing what was written to [offset, offset + length)
// now, without waiting, where the system can; a hint, never an error: the
// sync at the end still decides.
void start_writeback(FILE *stream, std::int64_t offset, std::int64_t length);
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
