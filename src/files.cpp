// Helpers that open, measure and compare files, or end the run.
//
// This is the only place where the platform shows: POSIX systems get their
// file type and identity from fstat, Windows from its own runtime and API.
#include "files.hpp"
#include "torvex.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
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

void cut_file(int fd, std::int64_t length)
{
    _chsize_s(fd, length);
}
} // namespace

namespace
{
bool get_identity(HANDLE handle, BY_HANDLE_FILE_INFORMATION &info)
{
    return handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info) != 0;
}

HANDLE get_handle(FILE *stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// Windows has no loop devices here, and inputs are regular files: one file,
// one volume serial and file index, whatever its name.
bool is_same_file(HANDLE a, HANDLE b)
{
    BY_HANDLE_FILE_INFORMATION x;
    BY_HANDLE_FILE_INFORMATION y;
    return get_identity(a, x) && get_identity(b, y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}
} // namespace

bool share_data(FILE *a, FILE *b)
{
    return is_same_file(get_handle(a), get_handle(b));
}

FILE *create_file(const char *path, FILE *original, FILE *changed)
{
    // OPEN_ALWAYS: an existing file is opened as it is, emptied only once it
    // is known not to be an input.
    HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        fatal_error(messages::create_failed);
    if (is_same_file(handle, get_handle(original)) || is_same_file(handle, get_handle(changed)) ||
        (GetFileType(handle) == FILE_TYPE_DISK && SetEndOfFile(handle) == 0)) {
        CloseHandle(handle);
        fatal_error(messages::create_failed);
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_TEXT);
    FILE *stream = fd < 0 ? nullptr : _fdopen(fd, "w");
    if (stream == nullptr)
        fatal_error(messages::create_failed);
    return stream;
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

void cut_file(int fd, std::int64_t length)
{
    [[maybe_unused]] int cut = ftruncate(fd, length);
}
} // namespace

namespace
{
// Where an open file's data lives: the file itself and, for a loop device,
// the file behind it; and the disk it is, if it is one.
struct data_home {
    dev_t file_device[2];
    ino_t file_inode[2];
    int files;
    bool is_disk;
    dev_t disk;
};

bool find_data_home(int fd, data_home &home)
{
    struct stat info;
    if (fstat(fd, &info) != 0)
        return false;
    home = {{info.st_dev}, {info.st_ino}, 1, S_ISBLK(info.st_mode), info.st_rdev};
    loop_info64 loop;
    if (home.is_disk && ioctl(fd, LOOP_GET_STATUS64, &loop) == 0) {
        home.file_device[1] = static_cast<dev_t>(loop.lo_device);
        home.file_inode[1] = static_cast<ino_t>(loop.lo_inode);
        home.files = 2;
    }
    return true;
}

// True when one of b's files lies on a file system that the disk a holds.
bool holds(const data_home &a, const data_home &b)
{
    for (int i = 0; i < b.files; ++i)
        if (a.is_disk && b.file_device[i] == a.disk)
            return true;
    return false;
}

bool share_data(int a, int b)
{
    data_home x;
    data_home y;
    // A file that cannot even be described is kept from being written.
    if (!find_data_home(a, x) || !find_data_home(b, y))
        return true;
    for (int i = 0; i < x.files; ++i)
        for (int j = 0; j < y.files; ++j)
            if (x.file_device[i] == y.file_device[j] && x.file_inode[i] == y.file_inode[j])
                return true;
    return (x.is_disk && y.is_disk && x.disk == y.disk) || holds(x, y) || holds(y, x);
}
} // namespace

bool share_data(FILE *a, FILE *b)
{
    return share_data(fileno(a), fileno(b));
}

namespace
{
// Opens path for writing as it is (no O_TRUNC), creating it where it does not
// exist. Creating a file writes to the disk that holds its folder, so the
// folder is pinned and checked first, and the file made in it with O_EXCL,
// which follows no link. Returns -1 where it fails or may not create.
int open_output(const char *path, FILE *original, FILE *changed)
{
    constexpr int WRITING = O_WRONLY | O_NOCTTY | O_CLOEXEC;
    int fd = open(path, WRITING);
    if (fd >= 0 || errno != ENOENT)
        return fd;
    const char *slash = std::strrchr(path, '/');
    const std::string folder =
        slash == nullptr ? "." : std::string(path, slash == path ? 1 : slash - path);
    const int dir = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return -1;
    if (!share_data(dir, fileno(original)) && !share_data(dir, fileno(changed))) {
        fd = openat(dir, slash == nullptr ? path : slash + 1, WRITING | O_CREAT | O_EXCL, 0666);
        // A dangling link, or a file made meanwhile: opened as it is, as
        // always, and checked once open.
        if (fd < 0 && errno == EEXIST)
            fd = open(path, WRITING | O_CREAT, 0666);
    }
    close(dir);
    return fd;
}
} // namespace

FILE *create_file(const char *path, FILE *original, FILE *changed)
{
    const int fd = open_output(path, original, changed);
    if (fd < 0)
        fatal_error(messages::create_failed);
    struct stat info;
    if (share_data(fd, fileno(original)) || share_data(fd, fileno(changed)) ||
        fstat(fd, &info) != 0 || (S_ISREG(info.st_mode) && ftruncate(fd, 0) != 0)) {
        close(fd);
        fatal_error(messages::create_failed);
    }
    // A file-size limit must fail the write, not kill the run without a word.
    std::signal(SIGXFSZ, SIG_IGN);
    FILE *stream = fdopen(fd, "w");
    if (stream == nullptr)
        fatal_error(messages::create_failed);
    return stream;
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
    fatal_read_error();
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

void fatal_read_error()
{
    // Only async-signal-safe calls: no stdio, no exit handlers.
    const char *message = messages::read_failed;
    [[maybe_unused]] auto written = write(STDOUT_FILENO, message, std::strlen(message));
    written = write(STDOUT_FILENO, "\n", 1);
    if (patch_descriptor >= 0 && whole_length >= 0)
        cut_file(patch_descriptor, whole_length);
    _exit(EXIT_FAILED);
}
