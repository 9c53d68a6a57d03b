// The file helpers' extras where the system has none beyond POSIX: each says
// it could not, and the POSIX part does the portable thing.
#include "sys/posix/extras.hpp"

#include <cerrno>

#include <fcntl.h>

int find_lower_layers(dev_t, int, lower_layer *, int)
{
    return -1;
}

// The device number of a file's file system names the disk that holds it.
file_store find_file_store(dev_t &device, int, dev_t (&stores)[MOST_STORES], int &count)
{
    stores[0] = device;
    count = 1;
    return file_store::disk;
}

int find_sticky_protection(bool)
{
    return 0;
}

int open_folder_to_use(const char *path, int at)
{
    return openat(at, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int open_unnamed_file(int, mode_t)
{
    errno = EOPNOTSUPP;
    return -1;
}

bool name_unnamed_file(int, int, const char *)
{
    return false;
}

bool clone_blocks(int, int)
{
    return false;
}

off_t copy_by_system(int, int, off_t at, off_t)
{
    return at;
}

void start_disk_writes(int, off_t, off_t) {}
