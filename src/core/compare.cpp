// The block comparison: both inputs are compared block by block, front to
// back, each pair of blocks by the scan.
#include "core/compare.hpp"
#include "core/files.hpp"
#include "core/progress.hpp"

#include <algorithm>
#include <cstdlib>

namespace
{
// A block's trace checkpoints, before and after its comparison.
void trace_block_start(std::int64_t base)
{
    debug("Reading block... j = ");
    debug(base);
}

void trace_block_end(std::size_t length, std::size_t block_size)
{
    debug("Size:");
    debug(static_cast<std::int64_t>(length));
    debug("BLOCK_SIZE:");
    debug(static_cast<std::int64_t>(block_size));
}

std::size_t get_block_length(std::int64_t base, std::int64_t size, std::size_t block_size)
{
    return static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(block_size), size - base));
}

// Each block's records reach the patch file before the next block is read,
// and the patch is marked whole there: a run that ends on a read error keeps
// every record of the blocks before, and none of the failing one.
// A write that failed in the block, even one the stream no longer holds,
// leaves the stream's error flag set: a full disk ends the run here, not
// after hours of comparing for nothing.
compare_status finish_block(patch_writer &patch, std::int64_t &whole)
{
    flush_patch(patch);
    std::fflush(patch.stream);
    if (std::ferror(patch.stream))
        return compare_status::write_failed;
    whole = get_position(patch.stream);
    return compare_status::done;
}

// A hole reads as zeros where a file has shrunk: both inputs must still hold
// what is compared.
compare_status check_inputs_hold(FILE *original, FILE *changed, std::int64_t end)
{
    return input_holds(original, end) && input_holds(changed, end) ? compare_status::done
                                                                   : compare_status::read_failed;
}

// An input, the last extent the file system reported for it (a file laid
// out in one extent costs one question, not several for every block), and
// the buffer its pieces are read into.
struct input {
    FILE *file;
    std::int64_t size;
    unsigned char *piece;
    std::int64_t from = 0;
    extent known = {true, 0};
};

// The extent at offset, ending at limit at the latest.
extent get_extent(input &in, std::int64_t offset, std::int64_t limit)
{
    if (offset < in.from || offset >= in.known.end) {
        in.known = find_extent(in.file, offset, in.size);
        in.from = offset;
    }
    return {in.known.data, std::min(in.known.end, limit)};
}

// Where the next data of either input starts, at or after offset (size if none).
std::int64_t find_next_data(input &original, input &changed, std::int64_t offset)
{
    const extent a = get_extent(original, offset, original.size);
    const extent b = get_extent(changed, offset, changed.size);
    return a.data || b.data ? offset : std::min(a.end, b.end);
}

// Compares length bytes from offset; a null side is a hole there, whose zeros
// come from memory and are never read. Data against data goes to the scan
// whole: cut into pieces, each piece would restart the scan's memcmp on bytes
// it had just stepped over.
void compare_range(const unsigned char *a, const unsigned char *b, std::int64_t offset,
                   std::size_t length, patch_writer &patch)
{
    if (a && b)
        return compare_buffers(a, b, length, offset, patch);
    static const unsigned char zeros[1 << 16] = {};
    for (std::size_t done = 0; done < length; done += sizeof zeros)
        compare_buffers(a ? a + done : zeros, b ? b + done : zeros,
                        std::min(sizeof zeros, length - done),
                        offset + static_cast<std::int64_t>(done), patch);
}

// Near holes, asks for the data in [from, to) ahead of its reading, and only
// the data: read-ahead around it would bring the holes beside it into the
// page cache, as pages of zeros. Where there is no hole, read-ahead serves best.
void prefetch_data(input &in, std::int64_t from, std::int64_t to)
{
    for (std::int64_t at = from; at < to;) {
        const extent here = get_extent(in, at, to);
        if (here.data && at == from && here.end == to)
            return;
        if (here.data)
            prefetch(in.file, at, here.end - at);
        at = here.end;
    }
}

// Reads the data of [base, end) into the input's piece buffer, at the same
// place; its holes are left unread.
bool read_piece(input &in, std::int64_t base, std::int64_t end)
{
    for (std::int64_t at = base; at < end;) {
        const extent here = get_extent(in, at, end);
        if (here.data &&
            !read_at(in.file, at, in.piece + (at - base), static_cast<std::size_t>(here.end - at)))
            return false;
        at = here.end;
    }
    return true;
}

// Compares [base, end) range by range, as the file system lays out each
// input's data, from a and b, which hold the inputs' bytes from base; where
// both inputs have holes there is nothing to compare.
void compare_ranges(input &original, input &changed, const unsigned char *a, const unsigned char *b,
                    std::int64_t base, std::int64_t end, patch_writer &patch)
{
    extent in_a = get_extent(original, base, end);
    extent in_b = get_extent(changed, base, end);
    for (std::int64_t at = base; at < end;) {
        const std::int64_t stop = std::min(in_a.end, in_b.end);
        const auto skip = static_cast<std::size_t>(at - base);
        if (in_a.data || in_b.data)
            compare_range(in_a.data ? a + skip : nullptr, in_b.data ? b + skip : nullptr, at,
                          static_cast<std::size_t>(stop - at), patch);
        at = stop;
        if (in_a.end == at && at < end)
            in_a = get_extent(original, at, end);
        if (in_b.end == at && at < end)
            in_b = get_extent(changed, at, end);
    }
}

// The programs' fast path: both blocks mapped and their pages compared where
// they lie. False where they cannot be mapped (they are read then).
bool compare_mapped(input &original, input &changed, std::int64_t base, std::int64_t end,
                    patch_writer &patch, compare_status &status)
{
    const auto length = static_cast<std::size_t>(end - base);
    mapped_block a, b;
    if (!map_block(original.file, base, length, a))
        return false;
    if (!map_block(changed.file, base, length, b)) {
        unmap_block(a);
        return false;
    }
    struct work {
        input &original, &changed;
        const unsigned char *a, *b;
        std::int64_t base, end;
        patch_writer &patch;
    } block{original, changed, a.data, b.data, base, end, patch};
    const bool whole = guard_faults(
        [](void *context) {
            work &w = *static_cast<work *>(context);
            compare_ranges(w.original, w.changed, w.a, w.b, w.base, w.end, w.patch);
        },
        &block);
    unmap_block(b);
    unmap_block(a);
    status = whole ? compare_status::done : compare_status::read_failed;
    return true;
}

// Compares one block: mapped where it may be, else a piece at a time, pieces
// small enough to stay in the processor's caches from their reading to their
// comparison.
compare_status compare_block(input &original, input &changed, std::int64_t base, std::int64_t end,
                             std::size_t piece_size, bool map_files, patch_writer &patch)
{
    compare_status status = compare_status::done;
    if (map_files && compare_mapped(original, changed, base, end, patch, status))
        return status;
    const auto step = static_cast<std::int64_t>(piece_size);
    for (std::int64_t at = base; at < end; at += step) {
        const std::int64_t stop = std::min(end, at + step);
        if (!read_piece(original, at, stop) || !read_piece(changed, at, stop))
            return compare_status::read_failed;
        compare_ranges(original, changed, original.piece, changed.piece, at, stop, patch);
    }
    return compare_status::done;
}

// Blocks that are holes in both inputs are skipped without being read, so
// that a sparse disk image costs time in proportion to its data.
compare_status compare_all(input &original, input &changed, patch_writer &patch, std::int64_t size,
                           std::size_t block_size, std::size_t piece_size, bool map_files,
                           std::int64_t &whole)
{
    const auto step = static_cast<std::int64_t>(block_size);
    path_trial trial;
    for (std::int64_t base = 0;;) {
        const std::int64_t data = find_next_data(original, changed, base);
        if (data >= size)
            break;
        base = data - data % step;
        trace_block_start(base);
        const std::size_t length = get_block_length(base, size, block_size);
        const std::int64_t end = base + static_cast<std::int64_t>(length);
        // This block and the next: the disk reads on while a block is compared.
        // (Saturated: an input may be as long as offsets go.)
        const std::int64_t ahead = end + std::min(step, size - end);
        prefetch_data(original, base, ahead);
        prefetch_data(changed, base, ahead);
        const bool mapped = map_files && choose_mapping(trial);
        const double start = map_files ? get_seconds() : 0;
        compare_status status =
            compare_block(original, changed, base, end, piece_size, mapped, patch);
        if (map_files) {
            note_block(trial, mapped, get_seconds() - start, end - base);
            if (trial.blocks == READ_TRIAL_BLOCK + 1 &&
                choose_mapping(trial)) // its pieces: unused now
                release_pages(original.piece, 2 * piece_size);
        }
        if (status == compare_status::done)
            status = check_inputs_hold(original.file, changed.file, end);
        if (status == compare_status::done)
            status = finish_block(patch, whole);
        if (status == compare_status::done && !keep_going(end))
            status = compare_status::cancelled;
        if (status != compare_status::done)
            return status;
        trace_block_end(length, block_size);
        base = end;
    }
    // An input that shrank is a read error even where no data was left.
    return check_inputs_hold(original.file, changed.file, size);
}

} // namespace

bool choose_mapping(const path_trial &trial)
{
    if (trial.blocks <= READ_TRIAL_BLOCK)
        return trial.blocks != READ_TRIAL_BLOCK;
    return trial.mapped_seconds * static_cast<double>(trial.read_bytes) <=
           1.25 * trial.read_seconds * static_cast<double>(trial.mapped_bytes);
}

void note_block(path_trial &trial, bool mapped, double seconds, std::int64_t bytes)
{
    if (trial.blocks == MAPPED_TRIAL_BLOCK || trial.blocks == READ_TRIAL_BLOCK) {
        (mapped ? trial.mapped_seconds : trial.read_seconds) += seconds;
        (mapped ? trial.mapped_bytes : trial.read_bytes) += bytes;
    }
    ++trial.blocks;
}

compare_status compare_blocks(FILE *original, FILE *changed, FILE *patch_stream, std::int64_t size,
                              std::int64_t &whole, bool map_files, std::size_t block_size)
{
    const std::size_t piece_size = std::min(block_size, PIECE_SIZE);
    void *memory = std::malloc(2 * piece_size + PATCH_BUFFER_SIZE + MEMORY_PAGE);
    if (memory == nullptr)
        return compare_status::alloc_failed;
    unsigned char *pieces = align_to_page(memory);
    patch_writer patch;
    start_patch(patch, patch_stream, reinterpret_cast<char *>(pieces + 2 * piece_size),
                PATCH_BUFFER_SIZE);
    input a{original, size, pieces}, b{changed, size, pieces + piece_size};
    compare_status status = finish_block(patch, whole); // the size line alone is whole
    if (status == compare_status::done)
        status = compare_all(a, b, patch, size, block_size, piece_size,
                             map_files && can_map(original) && can_map(changed), whole);
    std::free(memory);
    return status;
}
