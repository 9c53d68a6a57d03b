// Where data lies on Windows (everywhere: holes are not asked for), whether
// an input still holds its bytes; and writes in place.
#include "core/extents.hpp"
#include "sys/win32/win32.hpp"

#include <windows.h>

// No other process writes the original while the run holds it: in place its
// handle shares it for reading only.
bool write_in_place(in_place_writer &writer, std::int64_t offset, const void *bytes,
                    std::size_t length)
{
    return write_at(writer.file, offset, bytes, length);
}

bool finish_in_place(in_place_writer &writer)
{
    return flush_to_disk(writer.file);
}

// Windows cannot report holes here: every byte is copied.
bool hides_holes(FILE *, std::int64_t)
{
    return false;
}

// The system reads ahead of a sequential scan by itself.
void prefetch(FILE *, std::int64_t, std::int64_t) {}

bool input_holds(FILE *stream, std::int64_t size)
{
    LARGE_INTEGER length;
    return GetFileSizeEx(get_handle(stream), &length) != 0 && length.QuadPart >= size;
}

// Everything is data.
extent find_extent(FILE *, std::int64_t, std::int64_t limit)
{
    return {true, limit};
}
