// Where data lies on POSIX systems: the holes of sparse files, read-ahead,
// whether an input still holds its bytes; and writes in place.
#include "core/extents.hpp"
#include "sys/posix/posix.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool write_in_place(in_place_writer &writer, std::int64_t offset, const void *bytes,
                    std::size_t length)
{
    const std::int64_t window = (offset + static_cast<std::int64_t>(length) - 1) / IN_PLACE_WINDOW;
    if (window != writer.window && !keeps_size(writer.file, writer.size))
        return false;
    writer.window = window;
    return write_at(writer.file, offset, bytes, length);
}

bool finish_in_place(in_place_writer &writer)
{
    return flush_to_disk(writer.file);
}

bool hides_holes(FILE *stream, std::int64_t size)
{
    struct stat info;
    if (fstat(fileno(stream), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    const extent first = find_extent(stream, 0, size);
    return first.data && first.end >= size && info.st_blocks * 512 < size;
}

void prefetch(FILE *stream, std::int64_t offset, std::int64_t length)
{
#ifdef POSIX_FADV_WILLNEED
    posix_fadvise(fileno(stream), offset, length, POSIX_FADV_WILLNEED);
#else
    (void)stream, (void)offset, (void)length;
#endif
}

bool input_holds(FILE *stream, std::int64_t size)
{
    struct stat info;
    return fstat(fileno(stream), &info) == 0 && (!S_ISREG(info.st_mode) || info.st_size >= size);
}

extent find_extent(FILE *stream, std::int64_t offset, std::int64_t limit)
{
#ifdef SEEK_DATA
    const off_t data = lseek(fileno(stream), offset, SEEK_DATA);
    if (data < 0 && errno == ENXIO)
        return {false, limit};
    const off_t hole = data == offset ? lseek(fileno(stream), offset, SEEK_HOLE) : -1;
    if (data > offset)
        return {false, std::min<std::int64_t>(data, limit)};
    if (hole > offset)
        return {true, std::min<std::int64_t>(hole, limit)};
#else
    (void)stream, (void)offset;
#endif
    // Without word from the file system, everything counts as data.
    return {true, limit};
}
