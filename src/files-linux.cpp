// The file helpers' extras on Linux: loop devices, unnamed temporary files,
// clones and in-kernel copies. Each falls back, in files-posix.cpp, to what
// every POSIX system has.
#include "files-extras.hpp"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <unistd.h>

disk_layout get_disk_layout(int disk)
{
    loop_info64 loop;
    if (ioctl(disk, LOOP_GET_STATUS64, &loop) == 0)
        return {disk_layout::file, static_cast<dev_t>(loop.lo_device),
                static_cast<ino_t>(loop.lo_inode), static_cast<std::int64_t>(loop.lo_offset)};
    return {disk_layout::own, 0, 0, 0};
}

int open_folder_to_use(const char *path)
{
    return open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

int open_unnamed_file(int folder, mode_t mode)
{
    return openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
}

bool name_unnamed_file(int fd, int folder, const char *name)
{
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, self, folder, name, AT_SYMLINK_FOLLOW) == 0;
}

bool clone_blocks(int from, int to)
{
    return ioctl(to, FICLONE, from) == 0;
}

off_t copy_by_system(int in, int out, off_t at, off_t end)
{
    off_t from = at, to = at;
    ssize_t copied = 1;
    while (from < end && (copied = copy_file_range(in, &from, out, &to, end - from, 0)) > 0) {
    }
    return copied == 0 ? -1 : from;
}
