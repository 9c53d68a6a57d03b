// New files on POSIX systems: temporary files made beside the one they will
// replace, unnamed where the system can (the extras), the original's bytes
// copied into them, holes kept.
#include "core/copy.hpp"
#include "core/extents.hpp"
#include "core/progress.hpp"
#include "sys/posix/extras.hpp"
#include "sys/posix/posix.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// --- Temporary files ----------------------------------------------------------

namespace
{
// Gives a new file a free hidden name: make(name) either takes it or fails
// with EEXIST.
template <typename Make> bool take_free_name(const char *base, char (&name)[PATH_ROOM], Make make)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::snprintf(name, sizeof name, ".%.200s.torvex-%ld-%d", base, static_cast<long>(getpid()),
                      attempt);
        if (make(name))
            return true;
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
    if (take_free_name("patch", name, [&](const char *free) {
            fd = openat(folder, free, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
            return fd >= 0;
        }))
        unlinkat(folder, name, 0);
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
    FILE *file = fd >= 0 && is_separate(fd, original, true) ? fdopen(fd, "w+b") : nullptr;
    if (file == nullptr && fd >= 0)
        close(fd);
    return file;
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
    // leaves nothing behind. Else a hidden name.
    int fd = open_unnamed_file(place.folder, mode & 0777);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL))
        take_free_name(place.name, temp.name, [&](const char *name) {
            fd = openat(place.folder, name, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, mode & 0777);
            return fd >= 0;
        });
    if (fd < 0)
        return false;
    temp.stream = fdopen(fd, "w+b");
    if (temp.stream == nullptr) {
        close(fd);
        return false;
    }
    // A file system stored in the original's or the patch's bytes.
    if (!is_separate(fd, original, true) || !is_separate(fd, patch, true))
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
            std::min(length, i + block - (static_cast<std::size_t>(at) + i) % block);
        if (end - i == block && is_zero(bytes + i, block)) {
            if (begin < i &&
                !write_all(out, bytes + begin, i - begin, at + static_cast<off_t>(begin)))
                return false;
            begin = end;
        }
        i = end;
    }
    return begin == length ||
           write_all(out, bytes + begin, length - begin, at + static_cast<off_t>(begin));
}

// Copies [at, end) by the system's own means where it can, else through buffer.
copy_result copy_bytes(int in, int out, off_t at, off_t end, bool skip_zeros, unsigned char *buffer,
                       std::size_t capacity)
{
    off_t from = skip_zeros ? at : copy_by_system(in, out, at, end);
    if (from < 0) // the original ended early
        return copy_result::read_failed;
    struct stat info;
    const std::size_t block = skip_zeros && fstat(out, &info) == 0 && info.st_blksize > 0
                                  ? static_cast<std::size_t>(info.st_blksize)
                                  : 4096;
    const auto room = static_cast<off_t>(capacity), step = static_cast<off_t>(block);
    while (from < end) {
        // Pieces end on a block, so that none cuts a run of zeros in two.
        const off_t stop = std::min<off_t>(end, from + room - (from + room) % step);
        const auto length =
            static_cast<std::size_t>(stop > from ? stop - from : std::min<off_t>(end - from, room));
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

// Data is copied this much at a time between the run's reports.
constexpr std::int64_t COPY_STEP = 10 << 20;

copy_result copy_range(FILE *from, FILE *to, std::int64_t start, std::int64_t end, bool skip_zeros,
                       unsigned char *buffer, std::size_t capacity)
{
    for (std::int64_t at = start; at < end;) {
        const extent range = find_extent(from, at, end);
        // Steps end on a multiple of COPY_STEP, so that none cuts a run of
        // zeros in two; and no sum passes range.end, as offsets may reach as
        // far as they go.
        const std::int64_t step = std::min(range.end - at, COPY_STEP - at % COPY_STEP);
        const std::int64_t stop = range.data ? at + step : range.end;
        const copy_result result = range.data ? copy_bytes(fileno(from), fileno(to), at, stop,
                                                           skip_zeros, buffer, capacity)
                                              : copy_result::copied;
        if (result != copy_result::copied)
            return result;
        at = stop;
        if (range.data && !keep_going(at))
            return copy_result::stopped;
    }
    return copy_result::copied;
}

bool set_length(FILE *stream, std::int64_t length)
{
    return ftruncate(fileno(stream), length) == 0;
}

bool commit_temp(temp_file &temp)
{
    // A run told to stop while its file went to the disk stops before it is seen.
    if (!flush_to_disk(temp.stream) || is_stopped())
        return false;
    const target &place = *temp.place;
    // Named now if it was not, then renamed over the name that was checked.
    if (temp.name[0] == '\0' && !take_free_name(place.name, temp.name, [&](const char *name) {
            return name_unnamed_file(fileno(temp.stream), place.folder, name);
        }))
        return false;
    if (renameat(place.folder, temp.name, place.folder, place.name) != 0)
        return false;
    temp.name[0] = '\0'; // it is the target now
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
        unlinkat(temp.place->folder, temp.name, 0);
    temp = {};
}
