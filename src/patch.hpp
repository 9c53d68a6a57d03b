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
