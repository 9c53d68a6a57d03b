// Mappings on POSIX systems: blocks of the inputs mapped to be compared,
// windows of the original mapped to be written in place, the fault that a
// shrunken file or a full disk gives through them, and the holes of sparse
// files.
#include "core/files.hpp"
#include "sys/posix/posix.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// --- Writing in place ------------------------------------------------------

namespace
{
// The original written in place through a mapping, and the size it must
// keep, while there is one.
volatile sig_atomic_t written_in_place = -1;
volatile std::int64_t size_in_place = 0;

// The span of the original that one mapping covers.
constexpr std::int64_t IN_PLACE_WINDOW = 4 << 20;

void unmap_window(in_place_writer &writer)
{
    if (writer.window != nullptr)
        munmap(writer.window, IN_PLACE_WINDOW);
    writer.window = nullptr;
}

bool map_window(in_place_writer &writer, std::int64_t offset)
{
    unmap_window(writer);
    writer.start = offset - offset % IN_PLACE_WINDOW;
    void *address = mmap(nullptr, IN_PLACE_WINDOW, PROT_READ | PROT_WRITE, MAP_SHARED,
                         fileno(writer.file), writer.start);
    writer.window = address == MAP_FAILED ? nullptr : static_cast<unsigned char *>(address);
    size_in_place = writer.size;
    written_in_place = fileno(writer.file);
    return writer.window != nullptr;
}
} // namespace

bool write_in_place(in_place_writer &writer, std::int64_t offset, const void *bytes,
                    std::size_t length)
{
    const auto *from = static_cast<const unsigned char *>(bytes);
    while (length > 0) {
        if (writer.window == nullptr || offset < writer.start ||
            offset >= writer.start + IN_PLACE_WINDOW) {
            guard_mapped_reads(); // a write past a shrunken end is a read error
            // Without a mapping, a positioned write checks the size just before.
            if (!map_window(writer, offset))
                return keeps_size(writer.file, writer.size) &&
                       write_at(writer.file, offset, from, length);
        }
        const auto room = static_cast<std::size_t>(writer.start + IN_PLACE_WINDOW - offset);
        const std::size_t part = std::min(room, length);
        std::memcpy(writer.window + (offset - writer.start), from, part);
        from += part;
        offset += static_cast<std::int64_t>(part);
        length -= part;
    }
    return true;
}

bool finish_in_place(in_place_writer &writer)
{
    unmap_window(writer);
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

// --- Mappings and read-ahead -------------------------------------------------

bool can_map(FILE *stream)
{
    struct stat info;
    return fstat(fileno(stream), &info) == 0 && S_ISREG(info.st_mode);
}

bool map_block(FILE *stream, std::int64_t offset, std::size_t length, mapped_block &block)
{
    // Mappings start on a page; the block may not.
    const auto page = static_cast<std::int64_t>(sysconf(_SC_PAGESIZE));
    const std::int64_t start = offset - offset % page;
    const auto lead = static_cast<std::size_t>(offset - start);
    void *address = mmap(nullptr, length + lead, PROT_READ, MAP_SHARED, fileno(stream), start);
    if (address == MAP_FAILED)
        return false;
    block = {address, length + lead, static_cast<const unsigned char *>(address) + lead};
    return true;
}

void unmap_block(mapped_block &block)
{
    munmap(block.address, block.length);
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

namespace
{
// A fault writing in place where the original kept its size is a page the
// file system could not store (a hole on a full disk): a failed write. Any
// other is a failed read, of a file that shrank or of a disk.
void end_run_on_fault(int)
{
    struct stat info;
    if (written_in_place >= 0 && fstat(written_in_place, &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_size >= size_in_place)
        end_on_fault(fault::write_in_place);
    end_on_fault(fault::read);
}
} // namespace

void guard_mapped_reads()
{
    struct sigaction action {
    };
    action.sa_handler = end_run_on_fault;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
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
