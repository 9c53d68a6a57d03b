// The applier: one walk over the patch checks each record against the
// original and hands it to a writer, which writes runs of consecutive
// records at once, in place or front to back; or, for the undo, to the patch
// writer with the original's byte.
#include "core/apply.hpp"

#include "core/files.hpp"
#include "programs/report.hpp"
#include "core/patch.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace
{

// Each buffer's size: memory stays at four of them whatever the sizes.
constexpr std::size_t BUFFER_SIZE = 1 << 20;

// Records are read from the patch this many at a time.
constexpr std::size_t BATCH = 4096;
// Into a copy of the original, records this close join one write, with the
// original's bytes between them: one write instead of one per record.
constexpr std::int64_t GAP_LIMIT = 1 << 16;

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

bool get_original_byte(original_window &window, std::int64_t offset, unsigned char &byte)
{
    if (offset < window.start ||
        offset - window.start >= static_cast<std::int64_t>(window.length)) {
        window.start = offset;
        window.length = static_cast<std::size_t>(
            std::min<std::int64_t>(window.size - offset, static_cast<std::int64_t>(BUFFER_SIZE)));
        // Short means the original shrank: a read error, never bytes made up.
        if (!read_at(window.file, offset, window.bytes, window.length)) {
            window.length = 0;
            return false;
        }
    }
    byte = window.bytes[offset - window.start];
    return true;
}

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
};

apply_status get_copy_status(copy_result result)
{
    return result == copy_result::copied        ? apply_status::applied
           : result == copy_result::read_failed ? apply_status::read_failed
                                                : apply_status::write_failed;
}

// The original's bytes from where they are out up to end.
apply_status write_original_up_to(record_writer &writer, std::int64_t end)
{
    if (writer.fill == between::copied_data && writer.written < end) {
        const copy_result copied = copy_range(writer.original, writer.out, writer.written, end,
                                              writer.skip_zeros, writer.copy, BUFFER_SIZE);
        writer.written = end;
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
        return apply_status::write_failed;
    writer.written = writer.run_start + static_cast<std::int64_t>(writer.run_length);
    writer.run_length = 0;
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

// A fault met reading the patch; only a malformed one has a line to name. A
// copy that could not be written is no fault of the patch's.
apply_result get_fault(const patch_reader &reader, patch_line line, std::uint64_t at)
{
    if (reader.copy_failed)
        return {apply_status::create_failed, 0};
    switch (line) {
    case patch_line::beyond_size:
        return {apply_status::does_not_fit, 0};
    case patch_line::unreadable:
        return {apply_status::read_failed, 0};
    default:
        return {apply_status::malformed, at};
    }
}

// Reads the patch from where it stands and hands every record, with the
// original's byte at its offset (read through window; 0 without one), to
// visit(offset, value, byte), which says how to go on. Where copy is given,
// every byte read goes there too. The first fault, front to back, decides.
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
            if (window != nullptr && !get_original_byte(*window, offset, byte))
                return {apply_status::read_failed, 0};
            const apply_status next = visit(offset, memory.values[i], byte);
            if (next != apply_status::applied)
                return {next, 0};
        }
    }
    if (line != patch_line::end || reader.copy_failed)
        return get_fault(reader, line, reader.line + 1);
    return {apply_status::applied, 0};
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
    std::uint64_t records = 0;
    const apply_result read = visit_records(
        patch, &window, size, memory, copy, pieces,
        [&](std::int64_t offset, unsigned char value, unsigned char byte) {
            ++records;
            if (byte != value)
                applying = true;
            else if (applying) // in place after one that is not
                return apply_status::mismatch;
            return writer ? add_record(*writer, offset, value) : apply_status::applied;
        });
    if (read.status != apply_status::applied)
        return read;
    const apply_status finished = writer ? finish_writing(*writer) : apply_status::applied;
    if (finished != apply_status::applied)
        return {finished, 0};
    return {records > 0 && !applying ? apply_status::already_applied : apply_status::applied, 0};
}

bool is_success(const apply_result &result)
{
    return result.status == apply_status::applied || result.status == apply_status::already_applied;
}

// Runs apply with the buffers, which live only as long as it does.
template <typename Apply> apply_result with_buffers(Apply apply)
{
    auto *memory = static_cast<unsigned char *>(
        std::malloc(4 * BUFFER_SIZE + BATCH * (sizeof(std::uint64_t) + 1)));
    if (memory == nullptr)
        return {apply_status::alloc_failed, 0};
    unsigned char *batch = memory + 4 * BUFFER_SIZE;
    const buffers parts{memory,
                        reinterpret_cast<char *>(memory + BUFFER_SIZE),
                        memory + 2 * BUFFER_SIZE,
                        memory + 3 * BUFFER_SIZE,
                        reinterpret_cast<std::uint64_t *>(batch),
                        batch + BATCH * sizeof(std::uint64_t)};
    const apply_result result = apply(parts);
    std::free(memory);
    return result;
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
        const apply_result checked =
            walk_patch(patch, original, size, memory, nullptr, copy, verify);
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
        // as it was checked.
        pieces.verifying = true;
        record_writer writer{out,         in_place ? between::nothing : between::streamed,
                             false,       original,
                             size,        memory.run,
                             memory.copy, in_place};
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

namespace
{
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

// Writes into out the undo of patch for original: its size line, then each
// record's offset with the original's byte there. A record whose byte is in
// place already means the bytes an undo needs are gone.
apply_result write_undo(FILE *original, std::int64_t size, FILE *patch, FILE *out,
                        const buffers &memory)
{
    write_size_line(out, size);
    patch_writer undo;
    start_patch(undo, out, reinterpret_cast<char *>(memory.run), BUFFER_SIZE);
    original_window window{original, size, memory.window, 0, 0};
    apply_result result =
        visit_records(patch, &window, size, memory, nullptr, nullptr,
                      [&](std::int64_t offset, unsigned char value, unsigned char byte) {
                          if (byte == value)
                              return apply_status::mismatch;
                          add_to_patch(offset, byte, undo);
                          return apply_status::applied;
                      });
    flush_patch(undo);
    if (result.status == apply_status::applied && (std::fflush(out) != 0 || std::ferror(out)))
        result = {apply_status::write_failed, 0};
    if (result.status == apply_status::applied && !keeps_size(original, size))
        result = {apply_status::read_failed, 0};
    return result;
}
} // namespace

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
            record_writer writer{stream,
                                 cloned  ? between::nothing
                                 : sized ? between::copied_data
                                         : between::streamed,
                                 sized,
                                 original,
                                 size,
                                 memory.run,
                                 memory.copy,
                                 nullptr,
                                 hides_holes(original, size)};
            return walk_patch(patch, original, size, memory, &writer);
        });
    });
}

apply_result invert_to_new_file(FILE *original, std::int64_t size, const target &place, FILE *patch)
{
    return with_buffers([&](const buffers &memory) {
        return write_new_file(place, original, patch, false, [&](FILE *stream) {
            write_lines_as_text(stream);
            return write_undo(original, size, patch, stream, memory);
        });
    });
}

apply_result invert_to_device(FILE *original, std::int64_t size, FILE *device, FILE *patch)
{
    return with_buffers([&](const buffers &memory) {
        // Kept whole until the patch is checked through: a pipe cannot be read twice.
        FILE *undo = open_private_file(original);
        if (undo == nullptr)
            return apply_result{apply_status::create_failed, 0};
        write_lines_as_text(undo);
        apply_result result = write_undo(original, size, patch, undo, memory);
        if (result.status == apply_status::applied && !rewind_file(undo))
            result = {apply_status::write_failed, 0};
        for (std::size_t got = BUFFER_SIZE; result.status == apply_status::applied && got > 0;) {
            got = std::fread(memory.copy, 1, BUFFER_SIZE, undo);
            if (std::ferror(undo) || std::fwrite(memory.copy, 1, got, device) != got)
                result = {apply_status::write_failed, 0};
        }
        if (result.status == apply_status::applied && std::fflush(device) != 0)
            result = {apply_status::write_failed, 0};
        std::fclose(undo);
        return result;
    });
}

int close_and_report(target &place, apply_result result, const char *create_failed,
                     const char *write_failed)
{
    const bool closed = place.stream == nullptr || std::fclose(place.stream) == 0;
    place.stream = nullptr;
    close_target(place);
    if (!closed && result.status == apply_status::applied)
        result.status = apply_status::write_failed;
    char line[64];
    const char *message = messages::done;
    switch (result.status) {
    case apply_status::applied:
        break;
    case apply_status::already_applied:
        message = messages::already_applied;
        break;
    case apply_status::malformed:
        std::snprintf(line, sizeof line, messages::malformed_at,
                      static_cast<unsigned long long>(result.line));
        fatal_error(line);
    case apply_status::does_not_fit:
        fatal_error(messages::does_not_fit);
    case apply_status::mismatch:
        fatal_error(messages::mismatch);
    case apply_status::read_failed:
        fatal_error(messages::read_failed);
    case apply_status::write_failed:
        fatal_error(write_failed);
    case apply_status::create_failed:
        fatal_error(create_failed);
    case apply_status::alloc_failed:
        fatal_error(messages::alloc_failed);
    }
    // A script must not read success when even this line could not be written.
    if (std::puts(message) < 0 || std::fflush(stdout) != 0)
        return EXIT_FAILED;
    return EXIT_DONE;
}
