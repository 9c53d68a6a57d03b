// Opening on POSIX systems: inputs, the patch, the patch file, and what the
// new file's path names, each classified by fstat and checked against the
// inputs (layers.cpp); reads and writes by position; the signals of failed
// writes, held off in the calling thread.
#include "core/open.hpp"
#include "sys/posix/extras.hpp"
#include "sys/posix/layers.hpp"
#include "sys/posix/posix.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

FILE *open_file(const char *path)
{
    // O_NONBLOCK: opening a FIFO with no writer must not hang the run.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    // Only regular files and block devices have a size that can be measured.
    struct stat info;
    const int flags = fd < 0 ? -1 : fcntl(fd, F_GETFL);
    FILE *stream = flags < 0 || fstat(fd, &info) != 0 ||
                           !(S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)) ||
                           fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0
                       ? nullptr
                       : fdopen(fd, "rb");
    if (stream == nullptr) {
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    // Read front to back once: generous read-ahead pays on a cold disk. Only a
    // hint, which not every system takes.
#ifdef POSIX_FADV_SEQUENTIAL
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    return stream;
}

std::int64_t get_position(FILE *stream)
{
    return ftello(stream);
}

std::int64_t get_size(FILE *stream)
{
    const std::int64_t here = ftello(stream);
    if (here < 0 || fseeko(stream, 0, SEEK_END) != 0)
        return -1;
    const std::int64_t size = ftello(stream);
    return fseeko(stream, here, SEEK_SET) == 0 ? size : -1;
}

void cut_file(int fd, std::int64_t length)
{
    [[maybe_unused]] int cut = ftruncate(fd, length);
}

bool is_separate(int output, FILE *input, bool made_by_run)
{
    return relate_descriptors(output, fileno(input), made_by_run) == data_relation::separate;
}

namespace
{
// Splits path into its folder ("." for a bare name, "/" at the root) and its
// last name; false where it cannot name a file: empty, ending in a slash, "."
// or "..", or too long.
bool split_path(const char *path, char (&folder)[PATH_ROOM], char (&name)[PATH_ROOM])
{
    const char *slash = std::strrchr(path, '/');
    const char *last = slash == nullptr ? path : slash + 1;
    const std::size_t kept = slash == nullptr ? 1
                             : slash == path  ? 1
                                              : static_cast<std::size_t>(slash - path);
    if (*last == '\0' || std::strcmp(last, ".") == 0 || std::strcmp(last, "..") == 0 ||
        kept >= PATH_ROOM || std::strlen(last) >= PATH_ROOM)
        return false;
    std::memcpy(folder, slash == nullptr ? "." : path, kept);
    folder[kept] = '\0';
    std::strcpy(name, last);
    return true;
}

bool is_same_node(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_rdev == b.st_rdev;
}

// Splits path and follows its symbolic links by hand, each read relative to
// the folder that holds it, never by the path again. False where the path
// cannot name a file.
bool find_place(const char *path, target &place)
{
    char folder[PATH_ROOM];
    if (!split_path(path, folder, place.name))
        return false;
    place.folder = open_folder_to_use(folder, AT_FDCWD);
    for (int hops = 0; place.folder >= 0 && hops < 40; ++hops) {
        char link[PATH_ROOM];
        const ssize_t length = readlinkat(place.folder, place.name, link, sizeof link - 1);
        if (length < 0) // not a link, or nothing yet: here it is
            return errno == EINVAL || errno == ENOENT;
        link[length] = '\0';
        if (!split_path(link, folder, place.name))
            return false;
        const int next = open_folder_to_use(folder, link[0] == '/' ? AT_FDCWD : place.folder);
        close(place.folder);
        place.folder = next;
    }
    return false;
}

// What path leads to now, every link followed by the system, the links of
// /proc to open files too, without opening it to read or write: into seen. A
// path the system refuses to follow (a link that fs.protected_symlinks
// guards, a folder that may not be searched) is refused, not taken for none.
enum class probe { found, absent, refused };
probe probe_path(const char *path, struct stat &seen)
{
#ifdef O_PATH
    const int fd = open(path, O_PATH | O_CLOEXEC);
#else
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
#endif
    if (fd < 0)
        return errno == ENOENT ? probe::absent : probe::refused;
    const bool found = fstat(fd, &seen) == 0;
    close(fd);
    return found ? probe::found : probe::refused;
}

// Whether a shell's redirection would be refused writing the file seen that
// path leads to: a file or FIFO in a sticky folder others may write, owned
// neither by us nor by the folder's owner, where fs.protected_regular or
// fs.protected_fifos guards it. The folder is the one that holds its last
// name, every link followed; a link of /proc to an open file has none.
bool is_protected(const char *path, const struct stat &seen)
{
    if (!S_ISREG(seen.st_mode) && !S_ISFIFO(seen.st_mode))
        return false;
    target place;
    struct stat folder, found;
    const bool named = find_place(path, place) &&
                       fstatat(place.folder, place.name, &found, AT_SYMLINK_NOFOLLOW) == 0 &&
                       is_same_node(found, seen) && fstat(place.folder, &folder) == 0;
    if (place.folder >= 0)
        close(place.folder);
    if (!named || !(folder.st_mode & S_ISVTX) || seen.st_uid == folder.st_uid ||
        seen.st_uid == geteuid())
        return false;
    const int level = find_sticky_protection(S_ISFIFO(seen.st_mode));
    return (level >= 1 && (folder.st_mode & S_IWOTH)) || (level >= 2 && (folder.st_mode & S_IWGRP));
}

// Opens path for writing as it is (no O_TRUNC), creating it where it does not
// exist (made then), where a shell's redirection would. Creating a file writes
// to the disk that holds its folder, so the folder is pinned and checked
// first, and the file made in it with O_EXCL, which follows no link. Returns
// -1 where it fails or may not create.
int open_output(const char *path, FILE *original, FILE *changed, bool &made)
{
    constexpr int WRITING = O_WRONLY | O_NOCTTY | O_CLOEXEC;
    struct stat seen;
    const probe found = probe_path(path, seen);
    if (found == probe::refused || (found == probe::found && is_protected(path, seen)))
        return -1;
    int fd = open(path, WRITING);
    if (fd >= 0 || errno != ENOENT)
        return fd;
    char folder[PATH_ROOM];
    char name[PATH_ROOM];
    const int dir = split_path(path, folder, name) ? open_folder_to_use(folder, AT_FDCWD) : -1;
    if (dir < 0)
        return -1;
    if (is_separate(dir, original, true) && is_separate(dir, changed, true)) {
        fd = openat(dir, name, WRITING | O_CREAT | O_EXCL, 0666);
        made = fd >= 0;
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
    bool made = false;
    const int fd = open_output(path, original, changed, made);
    struct stat info;
    FILE *stream = fd < 0 || !is_separate(fd, original, made) || !is_separate(fd, changed, made) ||
                           fstat(fd, &info) != 0 || (S_ISREG(info.st_mode) && ftruncate(fd, 0) != 0)
                       ? nullptr
                       : fdopen(fd, "w");
    if (stream == nullptr && fd >= 0)
        close(fd);
    return stream;
}

FILE *open_patch(const char *path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat info;
    FILE *stream =
        fd < 0 || fstat(fd, &info) != 0 || S_ISDIR(info.st_mode) ? nullptr : fdopen(fd, "rb");
    if (stream == nullptr && fd >= 0)
        close(fd);
    return stream;
}

bool write_all(int fd, const void *buffer, std::size_t length, off_t offset)
{
    const auto *bytes = static_cast<const unsigned char *>(buffer);
    for (ssize_t put; length > 0;
         bytes += put, offset += put, length -= static_cast<std::size_t>(put))
        if ((put = pwrite(fd, bytes, length, offset)) <= 0)
            return false;
    return true;
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
    return write_all(fileno(stream), buffer, length, offset);
}

void start_writeback(FILE *stream, std::int64_t offset, std::int64_t length)
{
    start_disk_writes(fileno(stream), offset, length);
}

bool rewind_file(FILE *stream)
{
    struct stat info;
    return fstat(fileno(stream), &info) == 0 && (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)) &&
           fseeko(stream, 0, SEEK_SET) == 0;
}

// On macOS fsync leaves it in the disk's own cache; F_FULLFSYNC does not.
bool sync_to_disk(int fd)
{
#ifdef F_FULLFSYNC
    if (fcntl(fd, F_FULLFSYNC) == 0)
        return true;
#endif
    return fsync(fd) == 0;
}

bool flush_to_disk(FILE *stream)
{
    return std::fflush(stream) == 0 && !std::ferror(stream) && sync_to_disk(fileno(stream));
}

namespace
{
constexpr int WRITE_SIGNALS[] = {SIGPIPE, SIGXFSZ};
static_assert(sizeof(sigset_t) <= sizeof(write_signals_hold::saved));
} // namespace

void hold_write_signals(write_signals_hold &hold)
{
    sigset_t blocked, pending;
    sigemptyset(&blocked);
    for (const int signal : WRITE_SIGNALS)
        sigaddset(&blocked, signal);
    sigpending(&pending);
    for (std::size_t i = 0; i < std::size(WRITE_SIGNALS); ++i)
        hold.pending_before[i] = sigismember(&pending, WRITE_SIGNALS[i]) == 1;
    pthread_sigmask(SIG_BLOCK, &blocked, reinterpret_cast<sigset_t *>(hold.saved));
}

// A signal the run's own writes raised is taken off before the thread's mask
// is restored; one that was waiting already is left for its owner.
void release_write_signals(write_signals_hold &hold)
{
    sigset_t pending;
    sigpending(&pending);
    for (std::size_t i = 0; i < std::size(WRITE_SIGNALS); ++i) {
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, WRITE_SIGNALS[i]);
        // sigwait, which every POSIX system has: it is pending, so it returns at once.
        int taken = 0;
        if (!hold.pending_before[i] && sigismember(&pending, WRITE_SIGNALS[i]) == 1)
            sigwait(&one, &taken);
    }
    pthread_sigmask(SIG_SETMASK, reinterpret_cast<const sigset_t *>(hold.saved), nullptr);
}

// Moves the descriptor's offset of a disk, which is read only by position.
bool keeps_size(FILE *stream, std::int64_t size)
{
    struct stat info;
    if (fstat(fileno(stream), &info) != 0)
        return false;
    return (S_ISREG(info.st_mode) ? info.st_size : lseek(fileno(stream), 0, SEEK_END)) == size;
}

// --- What the new file's path names -----------------------------------------

namespace
{
target_kind classify(int fd, FILE *original, FILE *patch)
{
    struct stat info;
    if (fstat(fd, &info) != 0)
        return target_kind::refused;
    // A regular file is replaced by a new one, never written into, unless it
    // is the original.
    const bool replaced = S_ISREG(info.st_mode);
    const data_relation to_original = relate_descriptors(fd, fileno(original), replaced);
    if (!is_separate(fd, patch, replaced))
        return target_kind::refused;
    if (to_original == data_relation::same)
        return target_kind::original;
    if (to_original != data_relation::separate)
        return target_kind::refused;
    return S_ISREG(info.st_mode)    ? target_kind::replaceable
           : S_ISCHR(info.st_mode)  ? target_kind::device
           : S_ISFIFO(info.st_mode) ? target_kind::pipe
                                    : target_kind::refused;
}

// O_RDWR, changing nothing: no O_CREAT, no O_TRUNC; O_NONBLOCK: a FIFO must not
// hang the run.
constexpr int TARGET_OPEN = O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// A target written as it was opened: a stream over fd, or refused.
void open_target_stream(target &place, int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    place.stream = flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0
                       ? nullptr
                       : fdopen(fd, place.kind == target_kind::original ? "r+b" : "wb");
    if (place.stream == nullptr) {
        place.kind = target_kind::refused;
        close(fd);
    }
}

// A device or a pipe, as the system's own links lead to it (/dev/stdout), is
// written as it was opened and checked, never named again. A FIFO is opened
// for writing alone, waiting for its reader as a shell redirection does: held
// for reading too, it would swallow what no one reads, and its writes would
// never fail once the reader left.
target open_stream_target(const char *path, const struct stat &seen, FILE *original, FILE *patch,
                          pipe_use pipes)
{
    target place;
    if (S_ISFIFO(seen.st_mode) && pipes == pipe_use::refused)
        return place;
    const int flags = S_ISBLK(seen.st_mode)    ? O_RDWR | O_NONBLOCK
                      : S_ISFIFO(seen.st_mode) ? O_WRONLY
                                               : O_WRONLY | O_NONBLOCK;
    const int fd = open(path, flags | O_NOCTTY | O_CLOEXEC);
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) == 0 && is_same_node(info, seen))
        place.kind = classify(fd, original, patch);
    if (place.kind == target_kind::refused) {
        if (fd >= 0)
            close(fd);
        return place;
    }
    open_target_stream(place, fd);
    return place;
}
} // namespace

target open_target(const char *path, FILE *original, FILE *patch, pipe_use pipes)
{
    target place;
    struct stat seen;
    const probe probed = *path != '\0' ? probe_path(path, seen) : probe::refused;
    const bool found = probed == probe::found;
    if (probed == probe::refused || (found && is_protected(path, seen)))
        return place;
    if (found && (S_ISCHR(seen.st_mode) || S_ISBLK(seen.st_mode) || S_ISFIFO(seen.st_mode)))
        return open_stream_target(path, seen, original, patch, pipes);
    if (found && !S_ISREG(seen.st_mode))
        return place;
    // A file, or nothing yet: found by hand and held, for a rename later. A
    // file the path led to must be the one found by hand: a link of /proc to
    // an open file has only its text to follow, which names another file or
    // none where that one was deleted or never had a name.
    if (!find_place(path, place)) {
        close_target(place);
        return place;
    }
    const int fd = openat(place.folder, place.name, TARGET_OPEN | O_NOFOLLOW);
    struct stat info;
    place.kind = found && (fd < 0 || fstat(fd, &info) != 0 || !is_same_node(info, seen))
                     ? target_kind::refused
                 : fd >= 0         ? classify(fd, original, patch)
                 : errno == ENOENT ? target_kind::replaceable
                                   : target_kind::refused;
    // A new file is made in the folder: a file system kept in an input's bytes
    // would change them.
    if (place.kind == target_kind::replaceable &&
        (!is_separate(place.folder, original, true) || !is_separate(place.folder, patch, true)))
        place.kind = target_kind::refused;
    if (place.kind == target_kind::replaceable && fd >= 0)
        place.file = fd; // its mode and owner go to the new file
    else if (place.kind == target_kind::original)
        open_target_stream(place, fd);
    else if (fd >= 0)
        close(fd);
    if (place.kind != target_kind::replaceable) {
        close(place.folder);
        place.folder = -1;
    }
    return place;
}

void close_target(target &place)
{
    if (place.stream != nullptr)
        std::fclose(place.stream);
    if (place.file >= 0)
        close(place.file);
    if (place.folder >= 0)
        close(place.folder);
    place.stream = nullptr;
    place.file = place.folder = -1;
}
