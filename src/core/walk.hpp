// What the applier and the undo share: the buffers of a run, the original read
// a window at a time where the records are, one walk over the patch's records,
// and a new file made whole or not at all.
#pragma once

#include "core/apply.hpp"
#include "core/compare.hpp"
#include "core/files.hpp"
#include "core/patch.hpp"
#include "core/progress.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Each buffer's size: memory stays at four of them whatever the sizes.
constexpr std::size_t BUFFER_SIZE = 1 << 20;

// Records are read from the patch this many at a time.
constexpr std::size_t BATCH = 4096;

struct buffers {
    unsigned char *window;  // the original's bytes around the current record
    char *patch;            // patch text being read
    unsigned char *run;     // consecutive records' bytes, waiting to be written
    unsigned char *copy;    // the original's bytes on their way to the new file
    std::uint64_t *offsets; // a batch of records
    unsigned char *values;
};

// The original, read a window at a time where the records are.
struct original_window {
    FILE *file;
    std::int64_t size;
    unsigned char *bytes;
    std::int64_t start;
    std::size_t length;
};

// Moves the window to the record at ahead[0], of count records ahead in the
// batch (more: the batch is full, and the patch may go on). It is read only
// as far as those records within its reach: an isolated record costs a page,
// not a window of reads (nor the zeros of a hole beside it). False where the
// original no longer holds it.
bool move_window(original_window &window, const std::uint64_t *ahead, std::size_t count, bool more);

// The original's byte at the record ahead[0], read with the window around it;
// false where the original no longer holds it. Inline: a dense patch asks for
// every byte.
inline bool get_original_byte(original_window &window, const std::uint64_t *ahead,
                              std::size_t count, bool more, unsigned char &byte)
{
    const auto offset = static_cast<std::int64_t>(ahead[0]);
    if ((offset < window.start ||
         offset - window.start >= static_cast<std::int64_t>(window.length)) &&
        !move_window(window, ahead, count, more))
        return false;
    byte = window.bytes[offset - window.start];
    return true;
}

// A fault met reading the patch; only a malformed one has a line to name. A
// copy that could not be written is no fault of the patch's.
apply_result get_fault(const patch_reader &reader, patch_line line, std::uint64_t at);

// Reads the patch from where it stands and hands every record, with the
// original's byte at its offset (read through window; 0 without one), to
// visit(offset, value, byte), which says how to go on. Where copy is given,
// every byte read goes there too. The first fault, front to back, decides.
// After every batch the run is told how far it is, and may stop there.
template <typename Visit>
apply_result visit_records(FILE *patch, original_window *window, std::int64_t size,
                           const buffers &memory, FILE *copy, piece_hashes *pieces, Visit visit)
{
    patch_reader reader;
    start_reading(reader, patch, memory.patch, BUFFER_SIZE, copy, pieces);
    patch_line line = read_size_line(reader);
    if (line != patch_line::read)
        return get_fault(reader, line, 1);
    if (reader.size != static_cast<std::uint64_t>(size))
        return {apply_status::does_not_fit, 0};
    for (line = patch_line::read; line == patch_line::read;) {
        const std::size_t count = read_records(reader, memory.offsets, memory.values, BATCH, line);
        for (std::size_t i = 0; i < count; ++i) {
            const auto offset = static_cast<std::int64_t>(memory.offsets[i]);
            unsigned char byte = 0;
            if (window != nullptr &&
                !get_original_byte(*window, memory.offsets + i, count - i, count == BATCH, byte))
                return {apply_status::read_failed, 0};
            const apply_status next = visit(offset, memory.values[i], byte);
            if (next != apply_status::applied)
                return {next, 0};
        }
        if (count > 0 && !keep_going(static_cast<std::int64_t>(memory.offsets[count - 1])))
            return {apply_status::cancelled, 0};
    }
    if (line != patch_line::end || reader.copy_failed)
        return get_fault(reader, line, reader.line + 1);
    return {apply_status::applied, 0};
}

bool is_success(const apply_result &result);

// Runs apply with the buffers, which live only as long as it does.
template <typename Apply> apply_result with_buffers(Apply apply)
{
    void *memory = std::malloc(4 * BUFFER_SIZE + BATCH * (sizeof(std::uint64_t) + 1) + MEMORY_PAGE);
    if (memory == nullptr)
        return {apply_status::alloc_failed, 0};
    unsigned char *start = align_to_page(memory); // see MEMORY_PAGE
    unsigned char *batch = start + 4 * BUFFER_SIZE;
    const buffers parts{start,
                        reinterpret_cast<char *>(start + BUFFER_SIZE),
                        start + 2 * BUFFER_SIZE,
                        start + 3 * BUFFER_SIZE,
                        reinterpret_cast<std::uint64_t *>(batch),
                        batch + BATCH * sizeof(std::uint64_t)};
    const apply_result result = apply(parts);
    std::free(memory);
    return result;
}

// Makes a new file in place's folder with fill(stream) whole or not at all:
// it takes place's name only where fill succeeds. as_original: it takes the
// original's permissions (else those of a new file).
template <typename Fill>
apply_result write_new_file(const target &place, FILE *original, FILE *patch, bool as_original,
                            Fill fill)
{
    temp_file temp;
    apply_result result{apply_status::create_failed, 0};
    if (create_temp(place, original, patch, as_original, temp))
        result = fill(temp.stream);
    // A refused patch costs only the temporary file.
    if (is_success(result) && !commit_temp(temp))
        result = {apply_status::write_failed, 0};
    if (!is_success(result))
        discard_temp(temp);
    return result;
}
