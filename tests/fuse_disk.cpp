// A disk with bad sectors, as a FUSE file system: every name in it is a read-only
// file of SIZE zeros whose reads fail with EIO from FAIL_AT on. Direct files bypass
// the page cache, so they cannot be mapped.   fuse_disk MOUNT SIZE FAIL_AT [direct]
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

static off_t size, fail_at;
static bool direct;

int main(int argc, char **argv)
{
    if (argc < 4)
        return 2;
    size = std::atoll(argv[2]), fail_at = std::atoll(argv[3]), direct = argc > 4;
    fuse_operations operations{};
    operations.getattr = [](const char *path, struct stat *info, fuse_file_info *) {
        *info = {};
        info->st_nlink = 1;
        info->st_mode = std::strcmp(path, "/") == 0 ? S_IFDIR | 0755 : S_IFREG | 0444;
        info->st_size = size;
        return 0;
    };
    operations.open = [](const char *, fuse_file_info *file) {
        file->direct_io = direct;
        return 0;
    };
    // As FAIL_AT lies before the end, every read that succeeds is whole.
    operations.read = [](const char *, char *buffer, std::size_t length, off_t offset,
                         fuse_file_info *) {
        if (offset + static_cast<off_t>(length) > fail_at)
            return -EIO;
        std::memset(buffer, 0, length);
        return static_cast<int>(length);
    };
    return fuse_main(2, argv, &operations, nullptr);
}
