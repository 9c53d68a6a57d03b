// The file helpers: they open, measure, map and compare files, or end the run.
// Failures never travel back as codes: a helper that fails ends the run itself
// through fatal_error. The only module where the platform shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

[[noreturn]] void fatal_error(const char *message);

// Opens an input for binary reading. Only inputs whose size can be measured
// (regular files and block devices) are accepted.
FILE *open_file(const char *path);

// Creates the patch file for text writing, or opens and empties an existing
// one. What the path names at the moment it is opened is checked against both
// inputs before anything is emptied: an output that shares data with an input
// (see share_data) ends the run untouched, so no swap of the path between a
// check and the open can reach an input.
FILE *create_file(const char *path, FILE *original, FILE *changed);

// True when writing through one open file could change the data of the other:
// the same file by any name, two nodes of one disk, a loop device and the file
// behind it, or a disk and a file on the file system it holds.
bool share_data(FILE *a, FILE *b);

// Notes that the patch holds only whole blocks' records up to here (its
// stream just flushed): a read error cuts it back to this length.
void mark_patch_whole(FILE *patch);

// Ends the run on a read error: the message, the patch cut back to its last
// whole block, status 1. Safe in a fault handler; it flushes no stream, so the
// failing block's records still buffered never reach the patch.
[[noreturn]] void fatal_read_error();

// The size of an open input; its position is left where it was. An input
// that cannot be measured ends the run.
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

// Moves an input to offset, or ends the run with a read error.
void seek_input(FILE *stream, std::int64_t offset);

// The fast path for regular files: their blocks are mapped rather than copied.
struct mapped_block {
    void *address;
    std::size_t length;
    const unsigned char *data; // the first byte asked for
};
bool can_map(FILE *stream);
// Maps length bytes from offset; the data stays valid until unmap_block.
// Returns false when the mapping fails; the caller then reads instead.
bool map_block(FILE *stream, std::int64_t offset, std::size_t length, mapped_block &block);
void unmap_block(mapped_block &block);
// Asks the system to start reading length bytes of an input from offset.
void prefetch(FILE *stream, std::int64_t offset, std::int64_t length);
// True while the input still holds at least size bytes.
bool input_holds(FILE *stream, std::int64_t size);
// A mapped input that shrinks under the run faults on access; that fault
// ends the run as the read error it is, rather than as a crash.
void guard_mapped_reads();
