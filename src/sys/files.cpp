// Helpers that open, measure and compare files, or end the run: the part
// that is the same on every system. Each system's own part is in
// files-posix.cpp or files-win32.cpp, which CMake picks.
#include "core/files.hpp"
#include "sys/platform.hpp"
#include "programs/report.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

void fatal_error(const char *message)
{
    std::puts(message);
    std::exit(EXIT_FAILED);
}

std::int64_t get_size(FILE *stream)
{
    const std::int64_t here = tell(stream);
    if (here < 0 || !seek(stream, 0, SEEK_END))
        fatal_error(messages::open_failed);
    const std::int64_t size = tell(stream);
    if (size < 0 || !seek(stream, here, SEEK_SET))
        fatal_error(messages::open_failed);
    return size;
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

void seek_input(FILE *stream, std::int64_t offset)
{
    if (!seek(stream, offset, SEEK_SET))
        fatal_read_error();
}

namespace
{
// The patch file, and how much of it holds whole blocks: a read error keeps
// only that much. Set once per block, read by a fault handler.
int patch_descriptor = -1;
volatile std::int64_t whole_length = -1;
} // namespace

void mark_patch_whole(FILE *patch)
{
    patch_descriptor = fileno(patch);
    whole_length = tell(patch);
}

namespace
{
// Only async-signal-safe calls: no stdio, no exit handlers.
[[noreturn]] void end_now(const char *message, int cut_patch)
{
    [[maybe_unused]] auto written = write(STDOUT_FILENO, message, std::strlen(message));
    written = write(STDOUT_FILENO, "\n", 1);
    if (cut_patch >= 0 && whole_length >= 0)
        cut_file(cut_patch, whole_length);
    end_process_now(EXIT_FAILED);
}
} // namespace

void fatal_read_error()
{
    end_now(messages::read_failed, patch_descriptor);
}

void fatal_in_place_write_error()
{
    end_now(messages::write_new_failed, -1);
}
