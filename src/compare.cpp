// The block comparison: both inputs are compared block by block, front to
// back. Equal bytes are skipped 64 at a time; only a 64-byte chunk that
// differs is looked at byte by byte.
#include "compare.hpp"
#include "files.hpp"
#include "messages.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TORVEX_HAVE_SSE2 1
#define TORVEX_SSE2_TARGET
#elif defined(__GNUC__) && defined(__i386__)
// A 32-bit build may meet a processor without SSE2: its scan is built for
// SSE2 all the same, and chosen only where the processor has it.
#include <emmintrin.h>
#define TORVEX_HAVE_SSE2 1
#define TORVEX_SSE2_AT_RUN_TIME 1
#define TORVEX_SSE2_TARGET __attribute__((target("sse2")))
#endif

namespace
{

// Bit k of the result is set when byte k of the two 64-byte chunks differs.
std::uint64_t diff_mask_portable(const unsigned char *a, const unsigned char *b)
{
    std::uint64_t any = 0;
    for (int k = 0; k < 64; k += 8) {
        std::uint64_t wa;
        std::uint64_t wb;
        std::memcpy(&wa, a + k, 8);
        std::memcpy(&wb, b + k, 8);
        any |= wa ^ wb;
    }
    if (any == 0)
        return 0;
    std::uint64_t mask = 0;
    for (int k = 0; k < 64; ++k)
        mask |= static_cast<std::uint64_t>(a[k] != b[k]) << k;
    return mask;
}

#ifdef TORVEX_HAVE_SSE2
// Byte k of the mask is all ones where byte k of the 16 at a and at b agree.
TORVEX_SSE2_TARGET inline __m128i get_equal16(const unsigned char *a, const unsigned char *b)
{
    return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(a)),
                          _mm_loadu_si128(reinterpret_cast<const __m128i *>(b)));
}

TORVEX_SSE2_TARGET inline std::uint64_t get_bits(__m128i equal)
{
    return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(equal)));
}

TORVEX_SSE2_TARGET std::uint64_t diff_mask_sse2(const unsigned char *a, const unsigned char *b)
{
    const __m128i e0 = get_equal16(a, b), e1 = get_equal16(a + 16, b + 16);
    const __m128i e2 = get_equal16(a + 32, b + 32), e3 = get_equal16(a + 48, b + 48);
    // Equal chunks are the common case: one test decides them.
    const __m128i all = _mm_and_si128(_mm_and_si128(e0, e1), _mm_and_si128(e2, e3));
    if (_mm_movemask_epi8(all) == 0xFFFF)
        return 0;
    return ~(get_bits(e0) | get_bits(e1) << 16 | get_bits(e2) << 32 | get_bits(e3) << 48);
}
#endif

// Equal runs are the common case. The C library's memcmp, tuned to the
// machine it runs on, skips them fastest, 256 bytes a call; but the Windows
// runtime's compares 8 bytes at a time, and there the 64-byte scan is faster.
#ifdef _WIN32
constexpr bool SKIP_WITH_MEMCMP = false;
#else
constexpr bool SKIP_WITH_MEMCMP = true;
#endif

// Inlined into each scan's own entry below, so that the scan inlines too.
template <std::uint64_t (*diff_mask)(const unsigned char *, const unsigned char *)>
[[gnu::always_inline]] inline void compare_span(const unsigned char *a, const unsigned char *b,
                                                std::size_t length, std::int64_t base,
                                                patch_writer &patch)
{
    std::size_t i = 0;
    for (;; i += 64) {
        while (SKIP_WITH_MEMCMP && i + 256 <= length && std::memcmp(a + i, b + i, 256) == 0)
            i += 256;
        if (i + 64 > length)
            break;
        for (std::uint64_t mask = diff_mask(a + i, b + i); mask != 0; mask &= mask - 1) {
            const std::size_t at = i + static_cast<std::size_t>(std::countr_zero(mask));
            add_to_patch(base + static_cast<std::int64_t>(at), b[at], patch);
        }
    }
    for (; i < length; ++i)
        if (a[i] != b[i])
            add_to_patch(base + static_cast<std::int64_t>(i), b[i], patch);
}

// Reads exactly length bytes, or ends the run: a short read means the input
// shrank or changed, and its missing bytes must never be compared.
void read_exactly(FILE *stream, unsigned char *buffer, std::size_t length)
{
    if (std::fread(buffer, 1, length, stream) != length)
        fatal_read_error();
}

unsigned char *allocate(std::size_t size)
{
    auto *memory = static_cast<unsigned char *>(std::malloc(size));
    if (memory == nullptr)
        fatal_error(messages::alloc_failed);
    return memory;
}

} // namespace

namespace
{
void compare_span_portable(const unsigned char *a, const unsigned char *b, std::size_t length,
                           std::int64_t base, patch_writer &patch)
{
    compare_span<diff_mask_portable>(a, b, length, base, patch);
}

#ifdef TORVEX_HAVE_SSE2
TORVEX_SSE2_TARGET void compare_span_vector(const unsigned char *a, const unsigned char *b,
                                            std::size_t length, std::int64_t base,
                                            patch_writer &patch)
{
    compare_span<diff_mask_sse2>(a, b, length, base, patch);
}

bool has_sse2()
{
#ifdef TORVEX_SSE2_AT_RUN_TIME
    static const bool present = __builtin_cpu_supports("sse2");
    return present;
#else
    return true;
#endif
}
#endif
} // namespace

// Processors without SSE2 (arm64, s390x, old x86) take the portable scan.
void compare_buffers(const unsigned char *original, const unsigned char *changed,
                     std::size_t length, std::int64_t base, patch_writer &patch,
                     [[maybe_unused]] scan_path path)
{
#ifdef TORVEX_HAVE_SSE2
    if (path == scan_path::vector && has_sse2())
        return compare_span_vector(original, changed, length, base, patch);
#endif
    compare_span_portable(original, changed, length, base, patch);
}

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
void finish_block(patch_writer &patch)
{
    flush_patch(patch);
    std::fflush(patch.stream);
    if (std::ferror(patch.stream))
        fatal_error(messages::write_failed);
    mark_patch_whole(patch.stream);
}

// A mapping shows zeros, not an error, where a file has shrunk: both inputs
// must still hold what is compared.
void check_inputs_hold(FILE *original, FILE *changed, std::int64_t end)
{
    if (!input_holds(original, end) || !input_holds(changed, end))
        fatal_read_error();
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
// Returns the offset it reached: size, or the first block it could not map.
std::int64_t compare_mapped(FILE *original_file, FILE *changed_file, patch_writer &patch,
                            std::int64_t size, std::size_t block_size)
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
        check_inputs_hold(original_file, changed_file, end);
        // This block and the next: the disk reads on while a block is compared.
        // (Saturated: an input may be as long as offsets go.)
        const std::int64_t ahead = end + std::min(step, size - end);
        prefetch_data(original, base, ahead);
        prefetch_data(changed, base, ahead);
        mapped_block a;
        mapped_block b;
        if (!map_block(original_file, base, length, a))
            return base;
        if (!map_block(changed_file, base, length, b)) {
            unmap_block(a);
            return base;
        }
        compare_mapped_block(original, changed, a, b, base, end, patch);
        unmap_block(b);
        unmap_block(a);
        check_inputs_hold(original_file, changed_file, end);
        finish_block(patch);
        trace_block_end(length, block_size);
        base = end;
    }
    // An input that shrank is a read error even where no data was left.
    check_inputs_hold(original_file, changed_file, size);
    return size;
}

// The plain path, for every input: two block buffers, filled by reading.
void compare_buffered(FILE *original, FILE *changed, patch_writer &patch, std::int64_t base,
                      std::int64_t size, std::size_t block_size)
{
    unsigned char *original_block = allocate(block_size);
    unsigned char *changed_block = allocate(block_size);
    seek_input(original, base);
    seek_input(changed, base);
    while (base < size) {
        trace_block_start(base);
        const std::size_t length = get_block_length(base, size, block_size);
        read_exactly(original, original_block, length);
        read_exactly(changed, changed_block, length);
        compare_buffers(original_block, changed_block, length, base, patch);
        finish_block(patch);
        trace_block_end(length, block_size);
        base += static_cast<std::int64_t>(length); // never past size
    }
    std::free(changed_block);
    std::free(original_block);
}

} // namespace

void compare_blocks(FILE *original, FILE *changed, FILE *patch_stream, std::int64_t size,
                    std::size_t block_size, bool map_files)
{
    char *patch_buffer = reinterpret_cast<char *>(allocate(PATCH_BUFFER_SIZE));
    patch_writer patch;
    start_patch(patch, patch_stream, patch_buffer, PATCH_BUFFER_SIZE);
    finish_block(patch); // the size line alone is whole
    std::int64_t reached = 0;
    if (map_files && can_map(original) && can_map(changed))
        reached = compare_mapped(original, changed, patch, size, block_size);
    if (reached < size)
        compare_buffered(original, changed, patch, reached, size, block_size);
    std::free(patch_buffer);
}
