// The patch format: a size line, then one record line "offset:value" per
// differing byte, both in upper-case hex without leading zeros, offsets
// strictly ascending. The writer makes it; the reader checks and reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

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

// --- Reading ------------------------------------------------------------------

// What reading a line gave. The reader never ends the run: every fault goes
// back to its caller, with the line it was met on.
enum class patch_line {
    read,        // the line was well formed and taken
    end,         // no more lines: the patch ended after a whole line
    malformed,   // anything torvex never writes
    beyond_size, // a well-formed record whose offset is at or past the size
    unreadable,  // the stream failed
};

// What a reader keeps of each piece of the patch it reads (one read of the
// stream), so that a second reading can be told from the first: a 64-bit hash
// keyed afresh for each run. Where verifying, every piece must hash as it
// did, before any record in it is used.
struct piece_hashes {
    std::uint64_t key;
    std::uint64_t *hashes;
    std::size_t room;
    std::size_t count = 0; // pieces kept
    std::size_t next = 0;  // verifying: the next piece's index
    bool verifying = false;
};

struct patch_reader {
    FILE *stream;
    FILE *copy;           // where every byte read is also written, or nullptr
    piece_hashes *pieces; // kept or verified as they are read, or nullptr
    bool copy_failed;     // a write to the copy failed (the stream itself read well)
    char *buffer;
    std::size_t capacity;
    const char *next; // the unread bytes: [next, end)
    const char *end;
    bool at_end_of_stream;
    int line_end;         // 1 for LF, 2 for CR LF, 0 until the size line says
    std::uint64_t line;   // whole lines read so far; a fault is on line + 1
    std::uint64_t size;   // from the size line
    std::uint64_t offset; // the last record's
};

// Reads from stream through buffer, which must hold at least 64 bytes, and
// writes what it reads to copy, or keeps or verifies its pieces' hashes in
// pieces (where not nullptr), as it goes. A piece that does not verify ends
// the reading as unreadable: the patch changed.
void start_reading(patch_reader &reader, FILE *stream, char *buffer, std::size_t capacity,
                   FILE *copy = nullptr, piece_hashes *pieces = nullptr);
// The size line, into reader.size.
patch_line read_size_line(patch_reader &reader);
// Reads records, each strictly after the one before, into offsets and values
// until count are read or a line is not a record; returns how many were read
// and, in stop, why it stopped (read: count were read).
std::size_t read_records(patch_reader &reader, std::uint64_t *offsets, unsigned char *values,
                         std::size_t count, patch_line &stop);
