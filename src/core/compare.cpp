// The block comparison: both inputs are compared block by block, front to
// back, each pair of blocks by the scan.
#include "core/compare.hpp"
#include "core/files.hpp"

#include <algorithm>
#include <cstdlib>

namespace
{
// Reads exactly length bytes: a short read means the input shrank or
// changed, and its missing bytes must never be compared.
bool read_exactly(FILE *stream, unsigned char *buffer, std::size_t length)
{
    return std::fread(buffer, 1, length, stream) == length;
}

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
compare_status finish_block(patch_writer &patch)
{
    flush_patch(patch);
    std::fflush(patch.stream);
    if (std::ferror(patch.stream))
        return compare_status::write_failed;
    mark_patch_whole(patch.stream);
    return compare_status::done;
}

// A mapping shows zeros, not an error, where a file has shrunk: both inputs
// must still hold what is compared.
compare_status check_inputs_hold(FILE *original, FILE *changed, std::int64_t end)
{
    return input_holds(original, end) && input_holds(changed, end) ? compare_status::done
                                                                   : compare_status::read_failed;
}

// An input and the last extent the file system reported for it: a file laid
// out in one extent costs one question, not several for every block.
struct input {
    FILE *file;
    std::int64_t size;
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

// Compares length bytes from offset; a null side is a hole there. Its zeros
// come from memory: reading a hole through the mapping would fill the page
// cache with pages of zeros.
void compare_range(const unsigned char *a, const unsigned char *b, std::int64_t offset,
                   std::size_t length, patch_writer &patch)
{
    static const unsigned char zeros[1 << 16] = {};
    for (std::size_t done = 0; done < length; done += sizeof zeros)
        compare_buffers(a ? a + done : zeros, b ? b + done : zeros,
                        std::min(sizeof zeros, length - done),
                        offset + static_cast<std::int64_t>(done), patch);
}

// Near holes, asks for the data in [from, to) ahead of its comparison, and
// only the data: the kernel's read-ahead around a mapped page would also bring
// the holes beside it into the page cache, as pages of zeros. Where there is
// no hole, that read-ahead serves best.
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

// Compares a mapped block range by range, as the file system lays out each
// input's data; where both inputs have holes there is nothing to compare.
void compare_mapped_block(input &original, input &changed, const mapped_block &a,
                          const mapped_block &b, std::int64_t base, std::int64_t end,
                          patch_writer &patch)
{
    extent in_a = get_extent(original, base, end);
    extent in_b = get_extent(changed, base, end);
    for (std::int64_t at = base; at < end;) {
        const std::int64_t stop = std::min(in_a.end, in_b.end);
        const auto skip = static_cast<std::size_t>(at - base);
        if (in_a.data || in_b.data)
            compare_range(in_a.data ? a.data + skip : nullptr, in_b.data ? b.data + skip : nullptr,
                          at, static_cast<std::size_t>(stop - at), patch);
        at = stop;
        if (in_a.end == at && at < end)
            in_a = get_extent(original, at, end);
        if (in_b.end == at && at < end)
            in_b = get_extent(changed, at, end);
    }
}

// The fast path: page-cache pages are compared in place, with no copy, and
// blocks that are holes in both inputs are skipped without being mapped, so
// that a sparse disk image costs time in proportion to its data.
// Sets reached to size, or to the first block it could not map.
compare_status compare_mapped(FILE *original_file, FILE *changed_file, patch_writer &patch,
                              std::int64_t size, std::size_t block_size, std::int64_t &reached)
{
    guard_mapped_reads();
    input original{original_file, size}, changed{changed_file, size};
    const auto step = static_cast<std::int64_t>(block_size);
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
        mapped_block a;
        mapped_block b;
        reached = base;
        if (!map_block(original_file, base, length, a))
            return compare_status::done;
        if (!map_block(changed_file, base, length, b)) {
            unmap_block(a);
            return compare_status::done;
        }
        compare_mapped_block(original, changed, a, b, base, end, patch);
        unmap_block(b);
        unmap_block(a);
        compare_status status = check_inputs_hold(original_file, changed_file, end);
        if (status == compare_status::done)
            status = finish_block(patch);
        if (status != compare_status::done)
            return status;
        trace_block_end(length, block_size);
        base = end;
    }
    // An input that shrank is a read error even where no data was left.
    reached = size;
    return check_inputs_hold(original_file, changed_file, size);
}

// The plain path, for every input: two block buffers, filled by reading.
compare_status compare_buffered(FILE *original, FILE *changed, patch_writer &patch,
                                std::int64_t base, std::int64_t size, std::size_t block_size)
{
    auto *original_block = static_cast<unsigned char *>(std::malloc(block_size));
    auto *changed_block = static_cast<unsigned char *>(std::malloc(block_size));
    compare_status status =
        original_block == nullptr || changed_block == nullptr     ? compare_status::alloc_failed
        : seek_input(original, base) && seek_input(changed, base) ? compare_status::done
                                                                  : compare_status::read_failed;
    while (status == compare_status::done && base < size) {
        trace_block_start(base);
        const std::size_t length = get_block_length(base, size, block_size);
        if (!read_exactly(original, original_block, length) ||
            !read_exactly(changed, changed_block, length)) {
            status = compare_status::read_failed;
            break;
        }
        compare_buffers(original_block, changed_block, length, base, patch);
        status = finish_block(patch);
        trace_block_end(length, block_size);
        base += static_cast<std::int64_t>(length); // never past size
    }
    std::free(changed_block);
    std::free(original_block);
    return status;
}

} // namespace

compare_status compare_blocks(FILE *original, FILE *changed, FILE *patch_stream, std::int64_t size,
                              std::size_t block_size, bool map_files)
{
    auto *patch_buffer = static_cast<char *>(std::malloc(PATCH_BUFFER_SIZE));
    if (patch_buffer == nullptr)
        return compare_status::alloc_failed;
    patch_writer patch;
    start_patch(patch, patch_stream, patch_buffer, PATCH_BUFFER_SIZE);
    compare_status status = finish_block(patch); // the size line alone is whole
    std::int64_t reached = 0;
    if (status == compare_status::done && map_files && can_map(original) && can_map(changed))
        status = compare_mapped(original, changed, patch, size, block_size, reached);
    if (status == compare_status::done && reached < size)
        status = compare_buffered(original, changed, patch, reached, size, block_size);
    std::free(patch_buffer);
    return status;
}
