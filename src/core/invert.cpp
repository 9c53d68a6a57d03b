// The undo of a patch: each record's offset with the original's byte there.
#include "core/invert.hpp"

#include "core/walk.hpp"

namespace
{
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
            else if (is_stopped())
                result = {apply_status::cancelled, 0};
        }
        if (result.status == apply_status::applied && std::fflush(device) != 0)
            result = {apply_status::write_failed, 0};
        std::fclose(undo);
        return result;
    });
}
