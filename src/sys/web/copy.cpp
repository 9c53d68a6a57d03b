// New files in a browser: each is a sink, kept under the target's name once
// it is whole, dropped otherwise. The original's bytes are read and kept as
// the sink's own, so that the result holds them whatever becomes of the File.
#include "core/copy.hpp"
#include "core/extents.hpp"
#include "sys/web/web.hpp"

bool create_temp(const target &place, FILE *, FILE *, bool, temp_file &temp)
{
    temp.stream = open_web_stream(-1, "");
    temp.place = &place;
    return temp.stream != nullptr;
}

bool clone_file(FILE *, FILE *)
{
    return false;
}

// The sink takes its length from what is appended: the writer appends every
// byte front to back, the original's between the records included.
bool set_length(FILE *, std::int64_t)
{
    return true;
}

// Long ranges are read straight into the sink's Blobs (files.js); shorter
// ones go through the buffer: the window that the applier read them with
// usually still holds them.
copy_result copy_range(FILE *from, FILE *to, std::int64_t start, std::int64_t end, bool,
                       unsigned char *buffer, std::size_t buffer_size)
{
    const web_file *input = get_web_file(from);
    web_file *sink = get_web_file(to);
    if (input == nullptr || input->input < 0 || end > input->size)
        return copy_result::read_failed;
    if (sink == nullptr || sink->sink < 0 || get_position(to) != start)
        return copy_result::write_failed;
    if (end - start > static_cast<std::int64_t>(buffer_size)) {
        const int copied = torvex_copy_input(sink->sink, input->input, static_cast<double>(start),
                                             static_cast<double>(end));
        if (copied != 0)
            return copied == 1 ? copy_result::read_failed : copy_result::write_failed;
        sink->position = sink->size = end;
        return copy_result::copied;
    }
    const auto length = static_cast<std::size_t>(end - start);
    if (!read_at(from, start, buffer, length))
        return copy_result::read_failed;
    return std::fwrite(buffer, 1, length, to) == length ? copy_result::copied
                                                        : copy_result::write_failed;
}

bool commit_temp(temp_file &temp)
{
    web_file *file = get_web_file(temp.stream);
    if (file == nullptr || std::fflush(temp.stream) != 0)
        return false;
    const bool kept = torvex_keep_sink(file->sink, temp.place->name);
    file->sink = -1;
    discard_temp(temp);
    return kept;
}

void discard_temp(temp_file &temp)
{
    if (temp.stream != nullptr)
        std::fclose(temp.stream);
    temp = {};
}

FILE *open_private_file(FILE *)
{
    return nullptr;
}
