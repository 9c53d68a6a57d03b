// The applier: one walk over the patch checks each record against the
// original and hands it to a writer, which writes runs of consecutive
// records at once, in place or front to back.
#include "core/apply.hpp"

#include "core/files.hpp"
#include "core/patch.hpp"
#include "core/progress.hpp"
#include "core/walk.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace
{

// Into a copy of the original, records this close join one write, with the
// original's bytes between them: one write instead of one per record.
constexpr std::int64_t GAP_LIMIT = 1 << 16;

// What is written is handed to the disk a step at a time as the run goes on,
// not all at once by the sync at the end: the disk then writes while the next
// step is made, and the sync waits for little more than the last one.
constexpr std::int64_t WRITEBACK_STEP = std::int64_t{8} << 20;

// What a writer puts between runs of records.
enum class between {
    nothing,     // out holds the original's bytes already: only records are written
    copied_data, // the original's data, copied by the system to the same offsets
    streamed,    // every byte of the original, front to back (a device)
};

// Where records go, in runs of consecutive ones. Where out gets a copy of the
// original's bytes (joins_gaps), a run takes those between nearby records
// too: one write instead of one per record.
struct record_writer {
    FILE *out;
    between fill;
    bool joins_gaps;
    FILE *original;
    std::int64_t size;
    unsigned char *run;
    unsigned char *copy;
    in_place_writer *in_place = nullptr;     // where out is the original itself
    bool skip_zeros = false;                 // copies leave runs of zeros as holes
    const original_window *window = nullptr; // holds the original's bytes at the last record
    std::int64_t run_start = 0;
    std::size_t run_length = 0;
    std::int64_t written = 0; // how far the original's bytes are out
    std::int64_t handed = 0;  // how far the disk was told to write
};

void hand_to_disk(record_writer &writer)
{
    if (writer.written - writer.handed >= WRITEBACK_STEP) {
        start_writeback(writer.out, writer.handed, writer.written - writer.handed);
        writer.handed = writer.written;
    }
}

apply_status get_copy_status(copy_result result)
{
    return result == copy_result::copied        ? apply_status::applied
           : result == copy_result::read_failed ? apply_status::read_failed
           : result == copy_result::stopped     ? apply_status::cancelled
                                                : apply_status::write_failed;
}

// The original's bytes from where they are out up to end.
apply_status write_original_up_to(record_writer &writer, std::int64_t end)
{
    if (writer.fill == between::copied_data && writer.written < end) {
        const copy_result copied = copy_range(writer.original, writer.out, writer.written, end,
                                              writer.skip_zeros, writer.copy, BUFFER_SIZE);
        writer.written = end;
        hand_to_disk(writer);
        return get_copy_status(copied);
    }
    while (writer.fill == between::streamed && writer.written < end) {
        const auto length = static_cast<std::size_t>(
            std::min<std::int64_t>(end - writer.written, static_cast<std::int64_t>(BUFFER_SIZE)));
        if (!read_at(writer.original, writer.written, writer.copy, length))
            return apply_status::read_failed;
        if (std::fwrite(writer.copy, 1, length, writer.out) != length)
            return apply_status::write_failed;
        writer.written += static_cast<std::int64_t>(length);
        hand_to_disk(writer);
        if (!keep_going(writer.written))
            return apply_status::cancelled;
    }
    return apply_status::applied;
}

apply_status write_run(record_writer &writer)
{
    if (writer.run_length == 0)
        return apply_status::applied;
    const apply_status gap = write_original_up_to(writer, writer.run_start);
    if (gap != apply_status::applied)
        return gap;
    if (writer.fill == between::streamed
            ? std::fwrite(writer.run, 1, writer.run_length, writer.out) != writer.run_length
        : writer.in_place != nullptr
            ? !write_in_place(*writer.in_place, writer.run_start, writer.run, writer.run_length)
            : !write_at(writer.out, writer.run_start, writer.run, writer.run_length))
        // In place, an original that shrank under the run was read in part.
        return writer.in_place != nullptr && !keeps_size(writer.original, writer.size)
                   ? apply_status::read_failed
                   : apply_status::write_failed;
    writer.written = writer.run_start + static_cast<std::int64_t>(writer.run_length);
    writer.run_length = 0;
    hand_to_disk(writer);
    return apply_status::applied;
}

apply_status join_record(record_writer &writer, std::int64_t offset, unsigned char value)
{
    const std::int64_t run_end = writer.run_start + static_cast<std::int64_t>(writer.run_length);
    const std::int64_t gap = offset - run_end;
    if (writer.joins_gaps && writer.run_length > 0 && gap > 0 && gap <= GAP_LIMIT &&
        run_end >= writer.window->start &&
        writer.run_length + static_cast<std::size_t>(gap) < BUFFER_SIZE) {
        std::memcpy(writer.run + writer.run_length,
                    writer.window->bytes + (run_end - writer.window->start),
                    static_cast<std::size_t>(gap));
        writer.run_length += static_cast<std::size_t>(gap);
    }
    const bool follows = offset == writer.run_start + static_cast<std::int64_t>(writer.run_length);
    if (writer.run_length > 0 && (!follows || writer.run_length == BUFFER_SIZE)) {
        const apply_status written = write_run(writer);
        if (written != apply_status::applied)
            return written;
    }
    if (writer.run_length == 0)
        writer.run_start = offset;
    writer.run[writer.run_length++] = value;
    return apply_status::applied;
}

// A record right after the run, as every record of a file that differs
// throughout, only lengthens it: that is kept short enough to inline.
apply_status add_record(record_writer &writer, std::int64_t offset, unsigned char value)
{
    if (writer.run_length > 0 && writer.run_length < BUFFER_SIZE &&
        offset == writer.run_start + static_cast<std::int64_t>(writer.run_length)) {
        writer.run[writer.run_length++] = value;
        return apply_status::applied;
    }
    return join_record(writer, offset, value);
}

apply_status finish_writing(record_writer &writer)
{
    apply_status status = write_run(writer);
    if (status == apply_status::applied)
        status = write_original_up_to(writer, writer.size);
    if (status == apply_status::applied &&
        (writer.in_place != nullptr ? !finish_in_place(*writer.in_place)
                                    : std::fflush(writer.out) != 0 || std::ferror(writer.out)))
        status = apply_status::write_failed;
    // An original whose size changed under the run was read or written in part.
    if (status == apply_status::applied && !keeps_size(writer.original, writer.size))
        status = apply_status::read_failed;
    return status;
}

// Reads the patch from where it stands, checks every record against the
// original and hands it to writer (none: only check). Where copy is given,
// every byte read goes there too.
apply_result walk_patch(FILE *patch, FILE *original, std::int64_t size, const buffers &memory,
                        record_writer *writer, FILE *copy = nullptr, piece_hashes *pieces = nullptr)
{
    original_window window{original, size, memory.window, 0, 0};
    if (writer != nullptr)
        writer->window = &window;
    bool applying = false;
    std::uint64_t records = 0, in_place = 0; // in place: before the first one to apply
    const apply_result read = visit_records(
        patch, &window, size, memory, copy, pieces,
        [&](std::int64_t offset, unsigned char value, unsigned char byte) {
            ++records;
            if (byte != value)
                applying = true;
            else if (!applying)
                ++in_place;
            else if (applying) // in place after one that is not
                return apply_status::mismatch;
            return writer ? add_record(*writer, offset, value) : apply_status::applied;
        });
    if (read.status != apply_status::applied)
        return read;
    const apply_status finished = writer ? finish_writing(*writer) : apply_status::applied;
    if (finished != apply_status::applied)
        return {finished, 0};
    return {records > 0 && !applying ? apply_status::already_applied
            : in_place > 0           ? apply_status::partly_applied
                                     : apply_status::applied,
            0};
}

// Checks the whole patch, then reads it again as again says and writes as it
// goes. In place, in_place writes into out; else out takes the new file front
// to back.
apply_result check_then_write(FILE *original, std::int64_t size, FILE *out,
                              in_place_writer *in_place, FILE *patch, rereading again, FILE *copy)
{
    // A verified patch's pieces: up to MOST_VERIFIED_PATCH, each read a
    // buffer less what is left of a line (under 64 bytes), and the last.
    constexpr std::size_t MOST_PIECES = 65536;
    static_assert(MOST_VERIFIED_PATCH / (BUFFER_SIZE - 64) + 2 <= MOST_PIECES);
    piece_hashes pieces{0, nullptr, MOST_PIECES};
    piece_hashes *verify = nullptr;
    if (again == rereading::verified) {
        pieces.key = get_random_key();
        pieces.hashes =
            static_cast<std::uint64_t *>(std::malloc(MOST_PIECES * sizeof(std::uint64_t)));
        if (pieces.hashes == nullptr)
            return apply_result{apply_status::alloc_failed, 0};
        verify = &pieces;
    }
    const apply_result result = with_buffers([&](const buffers &memory) {
        apply_result checked = walk_patch(patch, original, size, memory, nullptr, copy, verify);
        if (checked.status == apply_status::partly_applied) // finished now
            checked.status = apply_status::applied;
        // Nothing to write in place when every record's byte is there already.
        if (checked.status != apply_status::applied &&
            !(in_place == nullptr && checked.status == apply_status::already_applied))
            return checked;
        if (copy != nullptr && std::fflush(copy) != 0)
            return apply_result{apply_status::create_failed, 0};
        FILE *again_from = copy != nullptr ? copy : patch;
        if (!rewind_file(again_from))
            return apply_result{apply_status::read_failed, 0};
#ifdef TORVEX_TEST_PAUSE
        pause_for_test();
#endif
        // The check is done: the records are only written now, from the patch
        // as it was checked, in a second pass.
        start_pass(size);
        pieces.verifying = true;
        record_writer writer{.out = out,
                             .fill = in_place ? between::nothing : between::streamed,
                             .joins_gaps = false,
                             .original = original,
                             .size = size,
                             .run = memory.run,
                             .copy = memory.copy,
                             .in_place = in_place};
        apply_result written =
            visit_records(again_from, nullptr, size, memory, nullptr, verify,
                          [&](std::int64_t offset, unsigned char value, unsigned char) {
                              return add_record(writer, offset, value);
                          });
        if (written.status == apply_status::applied)
            written = {finish_writing(writer), 0};
        return written.status == apply_status::applied ? checked : written;
    });
    std::free(pieces.hashes);
    return result;
}

} // namespace

apply_result apply_in_place(FILE *original, std::int64_t size, FILE *target, FILE *patch,
                            rereading again, FILE *copy)
{
    in_place_writer in_place{target, size};
    return check_then_write(original, size, target, &in_place, patch, again, copy);
}

apply_result apply_to_device(FILE *original, std::int64_t size, FILE *device, FILE *patch,
                             rereading again, FILE *copy)
{
    return check_then_write(original, size, device, nullptr, patch, again, copy);
}

apply_result check_patch(FILE *original, std::int64_t size, FILE *patch)
{
    return with_buffers(
        [&](const buffers &memory) { return walk_patch(patch, original, size, memory, nullptr); });
}

apply_result apply_to_new_file(FILE *original, std::int64_t size, const target &place, FILE *patch)
{
    return with_buffers([&](const buffers &memory) {
        return write_new_file(place, original, patch, true, [&](FILE *stream) {
            // The original's data goes in between the records as they come,
            // each byte written once, holes kept; a clone holds it all from
            // the start. Where the file system cannot give the file its
            // length at once, every byte is written front to back.
            const bool cloned = clone_file(original, stream);
            const bool sized = cloned || set_length(stream, size);
            record_writer writer{.out = stream,
                                 .fill = cloned  ? between::nothing
                                         : sized ? between::copied_data
                                                 : between::streamed,
                                 .joins_gaps = sized,
                                 .original = original,
                                 .size = size,
                                 .run = memory.run,
                                 .copy = memory.copy,
                                 .skip_zeros = hides_holes(original, size)};
            const apply_result result = walk_patch(patch, original, size, memory, &writer);
            return result.status == apply_status::partly_applied
                       ? apply_result{apply_status::applied, 0}
                       : result;
        });
    });
}
