// fuse_disk MOUNT SIZE FAIL_AT [direct|shrink]: a disk with bad sectors in FUSE, each name in it a
// read-only file of SIZE zeros whose reads fail with EIO from FAIL_AT on. Direct files bypass the
// page cache (no mapping); shrinking ones lose their last 100 bytes once their second half is read.
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

static off_t size, fail_at;
static bool direct, shrink;

int main(int argc, char **argv)
{
    if (argc < 4)
        return 2;
    size = std::atoll(argv[2]), fail_at = std::atoll(argv[3]);
    direct = argc > 4 && std::strcmp(argv[4], "direct") == 0, shrink = argc > 4 && !direct;
    fuse_operations operations{};
    operations.init = [](fuse_conn_info *, fuse_config *config) -> void * {
        config->attr_timeout = 0; // every size asked for is the one of the moment
        return nullptr;
    };
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
        length =
            static_cast<std::size_t>(std::min<off_t>(static_cast<off_t>(length), size - offset));
        std::memset(buffer, 0, length);
        if (shrink && offset + static_cast<off_t>(length) > size / 2)
            size -= 100, shrink = false;
        return static_cast<int>(length);
    };
    return fuse_main(2, argv, &operations, nullptr);
}
