// The file helpers on POSIX systems: file types from fstat, where data lives
// (files-layers.cpp), mappings, holes, temporary files. What only some
// systems have (Linux: what lies under a disk, unnamed files, clones,
// in-kernel copies) comes from the extras (files-extras.hpp), with the
// portable way beside each call.
#include "sys/posix/extras.hpp"
#include "sys/posix/layers.hpp"
#include "sys/platform.hpp"
#include "core/files.hpp"
#include "programs/report.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

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
bool is_separate(int a, FILE *b)
{
    return relate_descriptors(a, fileno(b)) == data_relation::separate;
}

// Splits path into its folder ("." for a bare name, "/" at the root) and its
// last name; false where it cannot name a file: empty, ending in a slash, "."
// or "..", or too long.
bool split_path(const char *path, char (&folder)[PATH_ROOM], char (&name)[PATH_ROOM])
{
    const char *slash = std::strrchr(path, '/');
    const char *last = slash == nullptr ? path : slash + 1;
    const std::size_t kept = slash == nullptr ? 1 : slash == path ? 1 : slash - path;
    if (*last == '\0' || std::strcmp(last, ".") == 0 || std::strcmp(last, "..") == 0 ||
        kept >= PATH_ROOM || std::strlen(last) >= PATH_ROOM)
        return false;
    std::memcpy(folder, slash == nullptr ? "." : path, kept);
    folder[kept] = '\0';
    std::strcpy(name, last);
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
    char folder[PATH_ROOM];
    char name[PATH_ROOM];
    const int dir = split_path(path, folder, name) ? open_folder_to_use(folder, AT_FDCWD) : -1;
    if (dir < 0)
        return -1;
    if (is_separate(dir, original) && is_separate(dir, changed)) {
        fd = openat(dir, name, WRITING | O_CREAT | O_EXCL, 0666);
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
    if (!is_separate(fd, original) || !is_separate(fd, changed) || fstat(fd, &info) != 0 ||
        (S_ISREG(info.st_mode) && ftruncate(fd, 0) != 0)) {
        close(fd);
        fatal_error(messages::create_failed);
    }
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

namespace
{
bool write_all(int fd, const void *buffer, std::size_t length, off_t offset)
{
    const auto *bytes = static_cast<const unsigned char *>(buffer);
    for (ssize_t put; length > 0;
         bytes += put, offset += put, length -= static_cast<std::size_t>(put))
        if ((put = pwrite(fd, bytes, length, offset)) <= 0)
            return false;
    return true;
}
} // namespace

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

void report_write_limits_as_errors()
{
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
}

// Moves the descriptor's offset of a disk, which is read only by position.
bool keeps_size(FILE *stream, std::int64_t size)
{
    struct stat info;
    if (fstat(fileno(stream), &info) != 0)
        return false;
    return (S_ISREG(info.st_mode) ? info.st_size : lseek(fileno(stream), 0, SEEK_END)) == size;
}

bool keep_writers_out(FILE *, FILE *)
{
    return true; // nothing can here; the run checks what it reads instead
}

// --- Temporary files, and the signals that end a run ------------------------

namespace
{
// The ending signals remove a named temporary file first: its folder and name,
// set while it exists.
volatile sig_atomic_t watched_folder = -1;
char watched_name[PATH_ROOM];
constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

void remove_watched_and_end(int signal)
{
    if (watched_folder >= 0)
        unlinkat(watched_folder, watched_name, 0);
    std::signal(signal, SIG_DFL);
    raise(signal); // ends the run by it once this returns, as a shell expects
}

void watch(int folder, const char *name)
{
    static bool installed = false;
    for (const int signal : ENDING_SIGNALS) {
        struct sigaction action {
        };
        // A signal ignored by whoever started the run stays ignored.
        if (installed || sigaction(signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN)
            continue;
        action.sa_handler = remove_watched_and_end;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(signal, &action, nullptr);
    }
    installed = true;
    std::strcpy(watched_name, name);
    watched_folder = folder;
}

// Runs change with the ending signals held back, so that their handler sees a
// temporary file's name either whole or not at all.
template <typename Change> bool hold_signals(Change change)
{
    sigset_t ending, before;
    sigemptyset(&ending);
    for (const int signal : ENDING_SIGNALS)
        sigaddset(&ending, signal);
    sigprocmask(SIG_BLOCK, &ending, &before);
    const bool changed = change();
    sigprocmask(SIG_SETMASK, &before, nullptr);
    return changed;
}

// Gives a new file a free hidden name in folder: make(name) either takes it
// or fails with EEXIST. The name is watched once it is taken.
template <typename Make>
bool take_free_name(int folder, const char *base, char (&name)[PATH_ROOM], Make make)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::snprintf(name, sizeof name, ".%.200s.torvex-%ld-%d", base, static_cast<long>(getpid()),
                      attempt);
        if (make(name)) {
            watch(folder, name);
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    name[0] = '\0';
    return false;
}

// A file no other process can name: unnamed where the system can make one;
// else named, and the name removed at once.
int open_private_file(int folder)
{
    int fd = open_unnamed_file(folder, 0600);
    if (fd >= 0 || errno != EOPNOTSUPP)
        return fd;
    char name[PATH_ROOM];
    hold_signals([&] {
        if (take_free_name(folder, "patch", name, [&](const char *free) {
                fd = openat(folder, free, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
                return fd >= 0;
            }))
            unlinkat(folder, name, 0);
        watched_folder = -1;
        return true;
    });
    return fd;
}

} // namespace

FILE *open_private_file(FILE *original)
{
    const char *folder_path = std::getenv("TMPDIR");
    const int folder = open_folder_to_use(
        folder_path != nullptr && *folder_path != '\0' ? folder_path : "/tmp", AT_FDCWD);
    const int fd = folder < 0 ? -1 : open_private_file(folder);
    if (folder >= 0)
        close(folder);
    // One stored in the original's own bytes would change them as it is written.
    FILE *file = fd >= 0 && is_separate(fd, original) ? fdopen(fd, "w+b") : nullptr;
    if (file == nullptr && fd >= 0)
        close(fd);
    return file;
}

rereading plan_rereading(FILE *patch, FILE *original, FILE *&copy)
{
    struct stat info;
    copy = nullptr;
    if (fstat(fileno(patch), &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_size <= MOST_VERIFIED_PATCH)
        return rereading::verified;
    copy = open_private_file(original);
    return copy != nullptr ? rereading::from_copy : rereading::no_copy;
}

std::uint64_t get_random_key()
{
    std::uint64_t key = static_cast<std::uint64_t>(getpid()) << 32 ^
                        static_cast<std::uint64_t>(time(nullptr)) ^
                        reinterpret_cast<std::uintptr_t>(&key);
    const int random = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (random >= 0) {
        std::uint64_t read_key;
        if (read(random, &read_key, sizeof read_key) == sizeof read_key)
            key ^= read_key;
        close(random);
    }
    return key;
}

void write_lines_as_text(FILE *) {} // they end in LF

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

// --- What the new file's path names ------------------------------------------

namespace
{
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

target_kind classify(int fd, FILE *original, FILE *patch)
{
    struct stat info;
    const data_relation to_original = relate_descriptors(fd, fileno(original));
    if (fstat(fd, &info) != 0 || !is_separate(fd, patch))
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

// What path leads to now, every link followed by the system, the links of
// /proc to open files too, without opening it to read or write: found, into
// seen.
bool probe_path(const char *path, struct stat &seen)
{
#ifdef O_PATH
    const int fd = open(path, O_PATH | O_CLOEXEC);
#else
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
#endif
    const bool found = fd >= 0 && fstat(fd, &seen) == 0;
    if (fd >= 0)
        close(fd);
    return found;
}

bool is_same_node(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_rdev == b.st_rdev;
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
    const bool found = *path != '\0' && probe_path(path, seen);
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

// --- The new file ------------------------------------------------------------

bool create_temp(const target &place, FILE *original, FILE *patch, bool as_original,
                 temp_file &temp)
{
    temp.place = &place;
    // As cp gives them: an existing file keeps its mode and owner; a new one
    // takes the original's mode (or a new file's), less the umask.
    struct stat info;
    const bool existing = place.file >= 0;
    if (fstat(existing ? place.file : fileno(original), &info) != 0)
        return false;
    const mode_t mode = existing ? info.st_mode & 07777 : as_original ? info.st_mode & 0777 : 0666;
    // Unnamed until it is whole, where the system can: even a killed run
    // leaves nothing behind. Else a hidden name, removed by the ending signals.
    int fd = open_unnamed_file(place.folder, mode & 0777);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL))
        hold_signals([&] {
            return take_free_name(place.folder, place.name, temp.name, [&](const char *name) {
                fd = openat(place.folder, name, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, mode & 0777);
                return fd >= 0;
            });
        });
    if (fd < 0)
        return false;
    temp.stream = fdopen(fd, "w+b");
    if (temp.stream == nullptr) {
        close(fd);
        return false;
    }
    // A file system stored in the original's or the patch's bytes.
    if (!is_separate(fd, original) || !is_separate(fd, patch))
        return false;
    if (existing) {
        [[maybe_unused]] int kept = fchown(fd, info.st_uid, info.st_gid);
        kept = fchmod(fd, mode);
    }
    return true;
}

bool clone_file(FILE *from, FILE *to)
{
    return clone_blocks(fileno(from), fileno(to));
}

bool hides_holes(FILE *stream, std::int64_t size)
{
    struct stat info;
    if (fstat(fileno(stream), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    const extent first = find_extent(stream, 0, size);
    return first.data && first.end >= size && info.st_blocks * 512 < size;
}

namespace
{
bool is_zero(const unsigned char *bytes, std::size_t length)
{
    return length == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, length - 1) == 0);
}

// Writes length bytes at offset at, but for every whole block of zeros, which
// stays a hole.
bool write_leaving_holes(int out, const unsigned char *bytes, std::size_t length, off_t at,
                         std::size_t block)
{
    std::size_t begin = 0; // the data not yet written: [begin, i)
    for (std::size_t i = 0; i < length;) {
        const std::size_t end =
            std::min(length, i + block - static_cast<std::size_t>((at + i) % block));
        if (end - i == block && is_zero(bytes + i, block)) {
            if (begin < i && !write_all(out, bytes + begin, i - begin, at + begin))
                return false;
            begin = end;
        }
        i = end;
    }
    return begin == length || write_all(out, bytes + begin, length - begin, at + begin);
}

// Copies [at, end) by the system's own means where it can, else through buffer.
copy_result copy_bytes(int in, int out, off_t at, off_t end, bool skip_zeros, unsigned char *buffer,
                       std::size_t capacity)
{
    off_t from = skip_zeros ? at : copy_by_system(in, out, at, end);
    if (from < 0) // the original ended early
        return copy_result::read_failed;
    struct stat info;
    const std::size_t block =
        skip_zeros && fstat(out, &info) == 0 && info.st_blksize > 0 ? info.st_blksize : 4096;
    while (from < end) {
        // Pieces end on a block, so that none cuts a run of zeros in two.
        const off_t stop = std::min<off_t>(end, from + capacity - (from + capacity) % block);
        const auto length = static_cast<std::size_t>(
            stop > from ? stop - from : std::min<off_t>(end - from, capacity));
        if (pread(in, buffer, length, from) != static_cast<ssize_t>(length))
            return copy_result::read_failed;
        if (skip_zeros ? !write_leaving_holes(out, buffer, length, from, block)
                       : !write_all(out, buffer, length, from))
            return copy_result::write_failed;
        from += static_cast<off_t>(length);
    }
    return copy_result::copied;
}
} // namespace

copy_result copy_range(FILE *from, FILE *to, std::int64_t start, std::int64_t end, bool skip_zeros,
                       unsigned char *buffer, std::size_t capacity)
{
    for (std::int64_t at = start; at < end;) {
        const extent range = find_extent(from, at, end);
        const copy_result result = range.data ? copy_bytes(fileno(from), fileno(to), at, range.end,
                                                           skip_zeros, buffer, capacity)
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
    const target &place = *temp.place;
    // Named now if it was not, then renamed over the name that was checked.
    const bool renamed = hold_signals([&] {
        if (temp.name[0] == '\0' &&
            !take_free_name(place.folder, place.name, temp.name, [&](const char *name) {
                return name_unnamed_file(fileno(temp.stream), place.folder, name);
            }))
            return false;
        if (renameat(place.folder, temp.name, place.folder, place.name) != 0)
            return false;
        watched_folder = -1;
        temp.name[0] = '\0'; // it is the target now
        return true;
    });
    if (!renamed)
        return false;
    // The folder held is only to be used; its entries are flushed through one
    // opened to be read, where it may be (else they reach the disk later).
    const int folder = openat(place.folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool durable = folder < 0 || sync_to_disk(folder);
    if (folder >= 0)
        close(folder);
    discard_temp(temp);
    return durable;
}

void discard_temp(temp_file &temp)
{
    if (temp.stream != nullptr)
        std::fclose(temp.stream);
    if (temp.name[0] != '\0')
        hold_signals([&] {
            unlinkat(temp.place->folder, temp.name, 0);
            watched_folder = -1;
            return true;
        });
    temp = {};
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
void end_on_fault(int)
{
    struct stat info;
    if (written_in_place >= 0 && fstat(written_in_place, &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_size >= size_in_place)
        fatal_in_place_write_error();
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
