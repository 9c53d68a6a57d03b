// The file helpers on POSIX systems: file types and identity from fstat,
// mappings, holes, temporary files. What only some systems have (Linux: loop
// devices, unnamed files, clones, in-kernel copies) comes from the extras
// (files-extras.hpp), with the portable way beside each call.
#include "files-extras.hpp"
#include "files-platform.hpp"
#include "files.hpp"
#include "messages.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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
        // Read front to back once: generous read-ahead pays on a cold disk. Only a
        // hint, which not every system takes.
#ifdef POSIX_FADV_SEQUENTIAL
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    FILE *stream = fdopen(fd, "rb");
    if (stream == nullptr)
        fatal_error(messages::open_failed);
    return stream;
}

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

void end_process_now(int status)
{
    _exit(status);
}

namespace
{
// Where an open file's data lives: the file itself and, for a loop device,
// the file behind it (shifted where the device starts further into it); and
// the disk it is, if it is one, and whether its layout is known.
struct data_home {
    dev_t file_device[2];
    ino_t file_inode[2];
    bool shifted[2];
    int files;
    bool is_disk;
    bool known;
    dev_t disk;
};

bool find_data_home(int fd, data_home &home)
{
    struct stat info;
    if (fstat(fd, &info) != 0)
        return false;
    home = {{info.st_dev}, {info.st_ino}, {false}, 1, S_ISBLK(info.st_mode), true, info.st_rdev};
    const disk_layout layout = home.is_disk ? get_disk_layout(fd) : disk_layout{};
    home.known = !home.is_disk || layout.kind != disk_layout::unknown;
    if (layout.kind == disk_layout::file) {
        home.file_device[1] = layout.file_device;
        home.file_inode[1] = layout.file_inode;
        home.shifted[1] = layout.file_offset != 0;
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

data_relation relate(int a, int b)
{
    data_home x;
    data_home y;
    // A file that cannot even be described is kept from being written.
    if (!find_data_home(a, x) || !find_data_home(b, y))
        return data_relation::overlapping;
    for (int i = 0; i < x.files; ++i)
        for (int j = 0; j < y.files; ++j)
            if (x.file_device[i] == y.file_device[j] && x.file_inode[i] == y.file_inode[j])
                return x.shifted[i] || y.shifted[j] ? data_relation::overlapping
                                                    : data_relation::same;
    if (x.is_disk && y.is_disk && x.disk == y.disk)
        return data_relation::same;
    // A disk whose layout is unknown may hold anything, another disk's bytes
    // or a file's.
    if (!x.known || !y.known)
        return data_relation::overlapping;
    return holds(x, y) || holds(y, x) ? data_relation::overlapping : data_relation::separate;
}

bool share_data(int a, int b)
{
    return relate(a, b) != data_relation::separate;
}
} // namespace

data_relation relate_data(FILE *a, FILE *b)
{
    return relate(fileno(a), fileno(b));
}

namespace
{
// The folder that holds path: "." for a bare name, "/" at the root.
bool get_folder(const char *path, char (&folder)[PATH_ROOM])
{
    const char *slash = std::strrchr(path, '/');
    const std::size_t length = slash == nullptr ? 0 : slash == path ? 1 : slash - path;
    if (length >= PATH_ROOM)
        return false;
    std::memcpy(folder, slash == nullptr ? "." : path, length == 0 ? 1 : length);
    folder[length == 0 ? 1 : length] = '\0';
    return true;
}

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
    char folder[PATH_ROOM];
    const int dir = get_folder(path, folder) ? open_folder_to_use(folder) : -1;
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
    report_size_limit_as_write_error();
    FILE *stream = fdopen(fd, "w");
    if (stream == nullptr)
        fatal_error(messages::create_failed);
    return stream;
}

FILE *open_patch(const char *path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat info;
    FILE *stream =
        fd < 0 || fstat(fd, &info) != 0 || S_ISDIR(info.st_mode) ? nullptr : fdopen(fd, "rb");
    if (stream == nullptr)
        fatal_error(messages::open_failed);
    return stream;
}

// Straight to the descriptor: a seek on a stream that reads and writes would
// first fill its buffer, a read for every byte written.
bool read_at(FILE *stream, std::int64_t offset, void *buffer, std::size_t length)
{
    auto *bytes = static_cast<unsigned char *>(buffer);
    for (ssize_t got; length > 0;
         bytes += got, offset += got, length -= static_cast<std::size_t>(got))
        if ((got = pread(fileno(stream), bytes, length, offset)) <= 0)
            return false;
    return true;
}

bool write_at(FILE *stream, std::int64_t offset, const void *buffer, std::size_t length)
{
    const auto *bytes = static_cast<const unsigned char *>(buffer);
    for (ssize_t put; length > 0;
         bytes += put, offset += put, length -= static_cast<std::size_t>(put))
        if ((put = pwrite(fileno(stream), bytes, length, offset)) <= 0)
            return false;
    return true;
}

bool rewind_file(FILE *stream)
{
    struct stat info;
    return fstat(fileno(stream), &info) == 0 && (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)) &&
           seek(stream, 0, SEEK_SET);
}

namespace
{
// Puts what the system holds of fd on the disk. On macOS fsync leaves it in
// the disk's own cache; F_FULLFSYNC does not.
bool sync_to_disk(int fd)
{
#ifdef F_FULLFSYNC
    if (fcntl(fd, F_FULLFSYNC) == 0)
        return true;
#endif
    return fsync(fd) == 0;
}
} // namespace

bool flush_to_disk(FILE *stream)
{
    return std::fflush(stream) == 0 && !std::ferror(stream) && sync_to_disk(fileno(stream));
}

void report_size_limit_as_write_error()
{
    std::signal(SIGXFSZ, SIG_IGN);
}

target_kind open_target(const char *path, FILE *original, FILE *patch, FILE *&stream)
{
    // No O_CREAT, no O_TRUNC: nothing changes here. O_NONBLOCK: a FIFO must
    // not hang the run.
    const int fd = open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? target_kind::replaceable : target_kind::refused;
    struct stat info;
    const data_relation to_original = relate(fd, fileno(original));
    target_kind kind = target_kind::refused;
    if (fstat(fd, &info) == 0 && !share_data(fd, fileno(patch))) {
        if (to_original == data_relation::same)
            kind = target_kind::original;
        else if (to_original == data_relation::separate && S_ISREG(info.st_mode))
            kind = target_kind::replaceable;
        else if (to_original == data_relation::separate && S_ISCHR(info.st_mode))
            kind = target_kind::device;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (kind == target_kind::original || kind == target_kind::device) {
        stream = flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0
                     ? nullptr
                     : fdopen(fd, kind == target_kind::original ? "r+b" : "wb");
        if (stream != nullptr)
            return kind;
        kind = target_kind::refused;
    }
    close(fd);
    return kind;
}

namespace
{
// The name that path's symbolic links lead to, into out; it may not exist yet.
bool follow_links(const char *path, char (&out)[PATH_ROOM])
{
    if (std::strlen(path) >= PATH_ROOM)
        return false;
    std::strcpy(out, path);
    char target[PATH_ROOM];
    for (int hops = 0; hops < 40; ++hops) {
        const ssize_t length = readlink(out, target, sizeof target - 1);
        if (length < 0)
            break;
        const char *slash = std::strrchr(out, '/');
        const std::size_t kept = target[0] == '/' || slash == nullptr ? 0 : slash - out + 1;
        if (kept + static_cast<std::size_t>(length) >= PATH_ROOM)
            return false;
        std::memcpy(out + kept, target, static_cast<std::size_t>(length));
        out[kept + static_cast<std::size_t>(length)] = '\0';
    }
    return true;
}

const char *get_base_name(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash == nullptr ? path : slash + 1;
}

// Gives the temporary file a name in the target's folder that nothing else
// has: make(name) either takes it or fails with EEXIST.
template <typename Make> bool take_free_name(temp_file &temp, Make make)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::snprintf(temp.name, sizeof temp.name, ".%.200s.torvex-%ld-%d",
                      get_base_name(temp.target), static_cast<long>(getpid()), attempt);
        if (make(temp.name))
            return true;
        if (errno != EEXIST)
            break;
    }
    temp.name[0] = '\0';
    return false;
}

// Copies [at, end) by the system's own means where it can, else through buffer.
copy_result copy_bytes(int in, int out, off_t at, off_t end, unsigned char *buffer,
                       std::size_t capacity)
{
    off_t from = copy_by_system(in, out, at, end);
    if (from < 0) // the original ended early
        return copy_result::read_failed;
    while (from < end) {
        const auto length = static_cast<std::size_t>(std::min<off_t>(end - from, capacity));
        if (pread(in, buffer, length, from) != static_cast<ssize_t>(length))
            return copy_result::read_failed;
        if (pwrite(out, buffer, length, from) != static_cast<ssize_t>(length))
            return copy_result::write_failed;
        from += static_cast<off_t>(length);
    }
    return copy_result::copied;
}
} // namespace

bool create_temp(const char *path, FILE *original, temp_file &temp)
{
    char folder[PATH_ROOM];
    if (!follow_links(path, temp.target) || !get_folder(temp.target, folder))
        return false;
    temp.folder = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info;
    const bool existing = stat(temp.target, &info) == 0;
    // A folder on a file system that the original disk holds: the new file
    // would be written into the very data being read.
    if (temp.folder < 0 || share_data(temp.folder, fileno(original)) ||
        (!existing && fstat(fileno(original), &info) != 0))
        return false;
    // As cp gives them: an existing file keeps its mode and owner; a new one
    // takes the original's mode, less the umask.
    const mode_t mode = info.st_mode & (existing ? 07777 : 0777);
    // Unnamed until it is whole, where the system can: even a killed run
    // leaves nothing behind. Else a hidden name.
    int fd = open_unnamed_file(temp.folder, mode & 0777);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL))
        take_free_name(temp, [&](const char *name) {
            fd = openat(temp.folder, name, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, mode & 0777);
            return fd >= 0;
        });
    if (fd < 0)
        return false;
    if (existing) {
        [[maybe_unused]] int kept = fchown(fd, info.st_uid, info.st_gid);
        kept = fchmod(fd, mode);
    }
    temp.stream = fdopen(fd, "w+b");
    if (temp.stream == nullptr)
        close(fd);
    return temp.stream != nullptr;
}

bool clone_file(FILE *from, FILE *to)
{
    return clone_blocks(fileno(from), fileno(to));
}

copy_result copy_range(FILE *from, FILE *to, std::int64_t start, std::int64_t end,
                       unsigned char *buffer, std::size_t capacity)
{
    for (std::int64_t at = start; at < end;) {
        const extent range = find_extent(from, at, end);
        const copy_result result =
            range.data ? copy_bytes(fileno(from), fileno(to), at, range.end, buffer, capacity)
                       : copy_result::copied;
        if (result != copy_result::copied)
            return result;
        at = range.end;
    }
    return copy_result::copied;
}

bool set_length(FILE *stream, std::int64_t length)
{
    return ftruncate(fileno(stream), length) == 0;
}

bool commit_temp(temp_file &temp)
{
    if (!flush_to_disk(temp.stream))
        return false;
    if (temp.name[0] == '\0' && !take_free_name(temp, [&](const char *name) {
            return name_unnamed_file(fileno(temp.stream), temp.folder, name);
        }))
        return false;
    if (renameat(temp.folder, temp.name, temp.folder, get_base_name(temp.target)) != 0)
        return false;
    temp.name[0] = '\0'; // it is the target now
    const bool durable = sync_to_disk(temp.folder);
    discard_temp(temp);
    return durable;
}

void discard_temp(temp_file &temp)
{
    if (temp.stream != nullptr)
        std::fclose(temp.stream);
    if (temp.name[0] != '\0')
        unlinkat(temp.folder, temp.name, 0);
    if (temp.folder >= 0)
        close(temp.folder);
    temp = {};
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
