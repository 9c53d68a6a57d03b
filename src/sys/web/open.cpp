// Opening files in a browser: the names are those the page gave its inputs
// and will give its outputs; streams read and write through files.js.
#include "core/open.hpp"
#include "sys/web/web.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <stdio.h> // fopencookie

namespace
{
// Few streams are open at once: an input, the patch, an output, a copy.
constexpr int MOST_STREAMS = 8;
struct open_stream {
    FILE *stream = nullptr;
    web_file file;
} streams[MOST_STREAMS];

ssize_t read_stream(void *cookie, char *buffer, std::size_t length)
{
    auto &file = *static_cast<web_file *>(cookie);
    if (file.input < 0)
        return -1;
    const std::int64_t left = file.size - file.position;
    const auto count = static_cast<std::size_t>(std::min<std::int64_t>(left, length));
    if (count > 0 &&
        !torvex_read_input(file.input, static_cast<double>(file.position), buffer, count))
        return -1;
    file.position += static_cast<std::int64_t>(count);
    return static_cast<ssize_t>(count);
}

ssize_t write_stream(void *cookie, const char *bytes, std::size_t length)
{
    auto &file = *static_cast<web_file *>(cookie);
    if (file.sink < 0 || !torvex_write_sink(file.sink, bytes, length))
        return -1;
    file.position += static_cast<std::int64_t>(length);
    file.size = file.position;
    return static_cast<ssize_t>(length);
}

// Inputs seek anywhere; a sink only reports where it stands.
int seek_stream(void *cookie, off_t *offset, int whence)
{
    auto &file = *static_cast<web_file *>(cookie);
    const std::int64_t base = whence == SEEK_SET   ? 0
                              : whence == SEEK_CUR ? file.position
                                                   : file.size;
    const std::int64_t to = base + *offset;
    if (to < 0 || (file.sink >= 0 && to != file.position))
        return -1;
    file.position = to;
    *offset = to;
    return 0;
}

int close_stream(void *cookie)
{
    auto &file = *static_cast<web_file *>(cookie);
    bool kept = true;
    if (file.sink >= 0 && file.name[0] != '\0')
        kept = torvex_keep_sink(file.sink, file.name);
    else if (file.sink >= 0)
        torvex_drop_sink(file.sink);
    for (open_stream &entry : streams)
        if (&entry.file == &file)
            entry = {};
    return kept ? 0 : -1;
}
} // namespace

FILE *open_web_stream(int input, const char *sink_name)
{
    for (open_stream &entry : streams) {
        if (entry.stream != nullptr)
            continue;
        entry.file = {};
        entry.file.input = input;
        if (input >= 0)
            entry.file.size = static_cast<std::int64_t>(torvex_input_size(input));
        else
            entry.file.sink = torvex_open_sink();
        std::strncpy(entry.file.name, sink_name, sizeof entry.file.name - 1);
        entry.stream = fopencookie(&entry.file, input >= 0 ? "rb" : "wb",
                                   {read_stream, write_stream, seek_stream, close_stream});
        if (entry.stream == nullptr && entry.file.sink >= 0)
            torvex_drop_sink(entry.file.sink);
        // Unbuffered, an input's large read is one read of the File; through
        // the stream's buffer, each would be followed by a second, for 1 KiB.
        if (entry.stream != nullptr && input >= 0)
            std::setvbuf(entry.stream, nullptr, _IONBF, 0);
        return entry.stream;
    }
    return nullptr;
}

web_file *get_web_file(FILE *stream)
{
    for (open_stream &entry : streams)
        if (entry.stream == stream && stream != nullptr)
            return &entry.file;
    return nullptr;
}

namespace
{
// A name an output may take: one no input has, that a sink can keep.
bool is_output_name(const char *path)
{
    return *path != '\0' && torvex_find_input(path) < 0 &&
           std::strlen(path) < sizeof web_file::name;
}
} // namespace

FILE *open_file(const char *path)
{
    const int input = torvex_find_input(path);
    return input < 0 ? nullptr : open_web_stream(input, "");
}

FILE *open_patch(const char *path)
{
    return open_file(path);
}

// An output never shares a name with an input: the page keeps them apart,
// and a name that is an input's is refused.
FILE *create_file(const char *path, FILE *, FILE *)
{
    return is_output_name(path) ? open_web_stream(-1, path) : nullptr;
}

data_relation relate_data(FILE *a, FILE *b)
{
    const web_file *x = get_web_file(a), *y = get_web_file(b);
    return x != nullptr && y != nullptr && x->input >= 0 && x->input == y->input
               ? data_relation::same
               : data_relation::separate;
}

std::int64_t get_position(FILE *stream)
{
    const web_file *file = get_web_file(stream);
    return file == nullptr || std::fflush(stream) != 0 ? -1 : file->position;
}

std::int64_t get_size(FILE *stream)
{
    const web_file *file = get_web_file(stream);
    return file == nullptr ? -1 : file->size;
}

bool read_at(FILE *stream, std::int64_t offset, void *buffer, std::size_t length)
{
    const web_file *file = get_web_file(stream);
    return file != nullptr && file->input >= 0 &&
           offset + static_cast<std::int64_t>(length) <= file->size &&
           torvex_read_input(file->input, static_cast<double>(offset), buffer, length);
}

// A sink grows only at its end, where every new file's writer writes next.
bool write_at(FILE *stream, std::int64_t offset, const void *buffer, std::size_t length)
{
    return get_position(stream) == offset && std::fwrite(buffer, 1, length, stream) == length;
}

// A sink is memory: nothing to write back.
void start_writeback(FILE *, std::int64_t, std::int64_t) {}

bool rewind_file(FILE *stream)
{
    const web_file *file = get_web_file(stream);
    return file != nullptr && file->input >= 0 && fseeko(stream, 0, SEEK_SET) == 0;
}

bool flush_to_disk(FILE *stream)
{
    return std::fflush(stream) == 0;
}

// Failed writes raise no signal here.
void hold_write_signals(write_signals_hold &) {}
void release_write_signals(write_signals_hold &) {}

bool keeps_size(FILE *stream, std::int64_t size)
{
    const web_file *file = get_web_file(stream);
    return file != nullptr && static_cast<std::int64_t>(torvex_input_size(file->input)) == size;
}

void cut_file(int, std::int64_t) {}

// Every output is a new file, made whole or not at all; an input's name
// cannot be one.
target open_target(const char *path, FILE *, FILE *, pipe_use)
{
    target place;
    if (is_output_name(path)) {
        place.kind = target_kind::replaceable;
        std::strcpy(place.name, path);
    }
    return place;
}

void close_target(target &) {}
