// Helpers that open, measure and compare files, or end the run.
//
// This is the only place where the platform shows: POSIX systems get their
// file type and identity from fstat, Windows from its own runtime and API.
#include "torvex.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

void fatal_error(const char *message)
{
    std::puts(message);
    std::exit(EXIT_FAILED);
}

#ifdef _WIN32

FILE *open_file(const char *path)
{
    // "S": the runtime opens the file for sequential scanning, for generous read-ahead.
    FILE *stream = std::fopen(path, "rbS");
    if (stream == nullptr)
        fatal_error(messages::open_failed);
    // A console or a pipe has no size to measure, and reading it could wait forever.
    struct _stat64 info;
    if (_fstat64(_fileno(stream), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG)
        fatal_error(messages::open_failed);
    return stream;
}

namespace
{
// The runtime's 64-bit positions: plain ftell stops at 2 GiB there.
std::int64_t tell(FILE *stream)
{
    return _ftelli64(stream);
}

bool seek(FILE *stream, std::int64_t offset, int origin)
{
    return _fseeki64(stream, offset, origin) == 0;
}
} // namespace

namespace
{
bool get_identity(HANDLE handle, BY_HANDLE_FILE_INFORMATION &info)
{
    return handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info) != 0;
}
} // namespace

bool is_same_file(FILE *stream, const char *path)
{
    BY_HANDLE_FILE_INFORMATION open_info;
    BY_HANDLE_FILE_INFORMATION path_info;
    auto open_handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (!get_identity(open_handle, open_info))
        return false;
    // Asks for no access at all, so that the lookup never disturbs the file.
    HANDLE path_handle =
        CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const bool found = get_identity(path_handle, path_info);
    if (path_handle != INVALID_HANDLE_VALUE)
        CloseHandle(path_handle);
    return found && open_info.dwVolumeSerialNumber == path_info.dwVolumeSerialNumber &&
           open_info.nFileIndexHigh == path_info.nFileIndexHigh &&
           open_info.nFileIndexLow == path_info.nFileIndexLow;
}

// Windows reads every input through the buffered path.
bool can_map(FILE *)
{
    return false;
}
bool map_block(FILE *, std::int64_t, std::size_t, mapped_block &)
{
    return false;
}
void unmap_block(mapped_block &) {}
void prefetch(FILE *, std::int64_t, std::int64_t) {}
bool input_holds(FILE *, std::int64_t)
{
    return true;
}
void guard_mapped_reads() {}

#else

FILE *open_file(const char *path)
{
    // O_NONBLOCK: opening a FIFO with no writer must not hang the run.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        fatal_error(messages::open_failed);
    // Only regular files and block devices have a size that can be measured.
    struct stat info;
    if (fstat(fd, &info) != 0 || !(S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)))
        fatal_error(messages::open_failed);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        fatal_error(messages::open_failed);
    // Read front to back once: generous read-ahead pays on a cold disk. Only a hint.
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    FILE *stream = fdopen(fd, "rb");
    if (stream == nullptr)
        fatal_error(messages::open_failed);
    return stream;
}

namespace
{
std::int64_t tell(FILE *stream)
{
    return ftello(stream);
}

bool seek(FILE *stream, std::int64_t offset, int origin)
{
    return fseeko(stream, offset, origin) == 0;
}
} // namespace

bool is_same_file(FILE *stream, const char *path)
{
    struct stat open_info;
    struct stat path_info;
    if (fstat(fileno(stream), &open_info) != 0 || stat(path, &path_info) != 0)
        return false;
    if (open_info.st_dev == path_info.st_dev && open_info.st_ino == path_info.st_ino)
        return true;
    // Two device nodes for one disk are the same input too.
    return S_ISBLK(open_info.st_mode) && S_ISBLK(path_info.st_mode) &&
           open_info.st_rdev == path_info.st_rdev;
}

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
    posix_fadvise(fileno(stream), offset, length, POSIX_FADV_WILLNEED);
}

bool input_holds(FILE *stream, std::int64_t size)
{
    struct stat info;
    return fstat(fileno(stream), &info) == 0 && info.st_size >= size;
}

namespace
{
void end_on_fault(int)
{
    // Only async-signal-safe calls here: no stdio, no exit handlers.
    const char *message = messages::read_failed;
    [[maybe_unused]] auto written = write(STDOUT_FILENO, message, std::strlen(message));
    written = write(STDOUT_FILENO, "\n", 1);
    _exit(EXIT_FAILED);
}
} // namespace

void guard_mapped_reads()
{
    struct sigaction action {
    };
    action.sa_handler = end_on_fault;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
}

#endif

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
        fatal_error(messages::read_failed);
}

FILE *create_file(const char *path)
{
    FILE *stream = std::fopen(path, "w");
    if (stream == nullptr)
        fatal_error(messages::create_failed);
    return stream;
}
