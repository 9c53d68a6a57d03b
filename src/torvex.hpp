// torvex: writes a byte-level patch between two files of the same size.
//
// The whole tool is a handful of free functions: the driver in main.cpp, the
// file helpers in files.cpp, the record writer in patch.cpp and the block
// comparison in compare.cpp. Failures never travel back as codes: a helper that fails ends
// the run itself through fatal_error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The unit in which both inputs are read and compared.
constexpr std::size_t BLOCK_SIZE = 0xA00000;

constexpr int EXIT_DONE = 0;
constexpr int EXIT_FAILED = 1;

// Every message of the tool: one fixed line on standard output, naming no file.
namespace messages
{
constexpr const char *usage = "Usage: torvex.exe original_file new_file output.patch";
constexpr const char *open_failed = "Error opening one of the files.";
constexpr const char *sizes_differ = "Files have different sizes.";
constexpr const char *create_failed = "Error creating patch file.";
constexpr const char *read_failed = "Error reading one of the files...";
constexpr const char *write_failed = "Error writing patch file.";
constexpr const char *alloc_failed = "Error allocating memory.";
constexpr const char *done = "Process ended.";
} // namespace messages

// --- files.cpp: helpers that succeed or end the run ---------------------------

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

// Trace hooks at the checkpoints of a run. They are silent on purpose.
inline void debug(const char *) {}
inline void debug(std::int64_t) {}

// --- patch.cpp: the patch format ----------------------------------------------

// Record lines are gathered here and handed to the patch stream in large
// writes, so that a dense patch costs no formatted-output call per record.
constexpr std::size_t PATCH_BUFFER_SIZE = 1 << 18;
struct patch_writer {
    FILE *stream;
    char *buffer;
    char *end;   // where the next record goes
    char *limit; // past this point the buffer is flushed
    // Consecutive offsets share all but their last two hex digits: that
    // shared part is kept ready as text.
    std::uint64_t prefix_key; // offset >> 8 that prefix spells
    unsigned prefix_length;
    char prefix[16];
};

// Writes the number as upper-case hex without leading zeros; returns the end.
char *write_hex(char *out, std::uint64_t value);

// Writes the size line "%X\n" straight to the patch stream. Writes are not
// checked one by one: the block comparison and the driver check the stream.
void write_size_line(FILE *patch, std::int64_t size);

void start_patch(patch_writer &patch, FILE *stream, char *buffer, std::size_t capacity);
void add_to_patch(std::int64_t offset, unsigned value, patch_writer &patch);
void flush_patch(patch_writer &patch);

// --- compare.cpp: the block comparison -----------------------------------------

// Where the 64-byte scan comes from; both give the same records.
enum class scan_path { portable, vector };

// Adds a record for every position where the two spans differ; base is the
// file offset of their first byte.
void compare_buffers(const unsigned char *original, const unsigned char *changed,
                     std::size_t length, std::int64_t base, patch_writer &patch,
                     scan_path path = scan_path::vector);

// Compares exactly size bytes of both inputs, block by block, and writes a
// record line for every difference. Regular files are mapped unless map_files
// is false; other inputs are read into two buffers of block_size bytes. Ends
// the run on a read error, on an input that delivers less than size, and on a
// failed write.
void compare_blocks(FILE *original, FILE *changed, FILE *patch, std::int64_t size,
                    std::size_t block_size = BLOCK_SIZE, bool map_files = true);
