// The file helpers' extras on Linux: what lies under a disk (sysfs), where a
// file system keeps its files (mountinfo), unnamed temporary files, clones and
// in-kernel copies. Each falls back, in the POSIX part, to what every POSIX
// system has.
#include "sys/posix/extras.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace
{
// The first line of a small file, without its line end; false where unreadable.
bool read_line(const char *path, char *line, std::size_t room)
{
    FILE *file = std::fopen(path, "re");
    const bool read = file != nullptr && std::fgets(line, static_cast<int>(room), file) != nullptr;
    if (file != nullptr)
        std::fclose(file);
    if (read)
        line[std::strcspn(line, "\n")] = '\0';
    return read;
}

// The first line of a small file in a sysfs folder.
bool read_line(const char *folder, const char *name, char *line, std::size_t room)
{
    char path[PATH_MAX + 64];
    return std::snprintf(path, sizeof path, "%s/%s", folder, name) <
               static_cast<int>(sizeof path) &&
           read_line(path, line, room);
}

// A number in a sysfs file, or -1.
std::int64_t read_number(const char *folder, const char *name)
{
    char line[64];
    return read_line(folder, name, line, sizeof line) ? std::strtoll(line, nullptr, 10) : -1;
}

// "MAJ:MIN" from a sysfs dev file into device.
bool read_device(const char *folder, dev_t &device)
{
    char line[64];
    unsigned major_number, minor_number;
    if (!read_line(folder, "dev", line, sizeof line) ||
        std::sscanf(line, "%u:%u", &major_number, &minor_number) != 2)
        return false;
    device = makedev(major_number, minor_number);
    return true;
}

bool exists(const char *folder, const char *name)
{
    char path[PATH_MAX + 64];
    std::snprintf(path, sizeof path, "%s/%s", folder, name);
    return access(path, F_OK) == 0;
}

constexpr std::int64_t SECTOR = 512; // sysfs counts in these, whatever the disk's own

// A partition lies in its whole disk, the folder above its own in sysfs.
int find_whole_disk(const char *folder, std::int64_t size, lower_layer *layers)
{
    char own[PATH_MAX];
    if (realpath(folder, own) == nullptr)
        return -1;
    *std::strrchr(own, '/') = '\0';
    const std::int64_t start = read_number(folder, "start");
    dev_t whole;
    if (start < 0 || !read_device(own, whole))
        return -1;
    layers[0] = {lower_kind::disk, whole, 0, start * SECTOR, size};
    return 1;
}

// The node of disk that sysfs names (DEVNAME in its uevent), opened only once
// it proves to be that very disk: a name read here may only help find it.
int open_disk_node(const char *folder, dev_t disk)
{
    char path[PATH_MAX + 64];
    std::snprintf(path, sizeof path, "%s/uevent", folder);
    FILE *uevent = std::fopen(path, "re");
    if (uevent == nullptr)
        return -1;
    int fd = -1;
    for (char line[PATH_MAX]; fd < 0 && std::fgets(line, sizeof line, uevent) != nullptr;) {
        if (std::strncmp(line, "DEVNAME=", 8) != 0)
            continue;
        line[std::strcspn(line, "\n")] = '\0';
        char node[PATH_MAX + 8];
        std::snprintf(node, sizeof node, "/dev/%s", line + 8);
        fd = open(node, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    std::fclose(uevent);
    struct stat info;
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISBLK(info.st_mode) || info.st_rdev != disk)) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// The kernel's own encoding of a device number, as the loop driver reports it.
dev_t decode_device(std::uint64_t device)
{
    return makedev(static_cast<unsigned>(device >> 8 & 0xFFF),
                   static_cast<unsigned>((device & 0xFF) | (device >> 12 & 0xFFF00)));
}

// A loop device lies in its file, from its offset, for its own length. The
// file is known by the device and inode the driver reports, never by the name
// sysfs shows (a name may hold a line end, or be stale after an unmount).
// Where the driver cannot be asked, the file may be any.
int find_backing_file(const char *folder, dev_t disk, int node, std::int64_t size,
                      lower_layer *layers)
{
    const int fd = node >= 0 ? node : open_disk_node(folder, disk);
    loop_info64 status{};
    const bool told = fd >= 0 && ioctl(fd, LOOP_GET_STATUS64, &status) == 0;
    if (fd >= 0 && fd != node)
        close(fd);
    layers[0] = told ? lower_layer{lower_kind::file, decode_device(status.lo_device),
                                   static_cast<ino_t>(status.lo_inode),
                                   static_cast<std::int64_t>(status.lo_offset), size}
                     : lower_layer{lower_kind::any_file, 0, 0, -1, -1};
    return 1;
}

// A mapped or RAID device lies on its members, at offsets not told here.
int find_members(const char *folder, lower_layer *layers, int room)
{
    char path[PATH_MAX + 64];
    std::snprintf(path, sizeof path, "%s/slaves", folder);
    DIR *members = opendir(path);
    if (members == nullptr)
        return 0;
    int count = 0;
    for (dirent *entry; (entry = readdir(members)) != nullptr;) {
        if (entry->d_name[0] == '.')
            continue;
        char member[2 * PATH_MAX]; // a link to the member's own folder
        std::snprintf(member, sizeof member, "%s/%s", path, entry->d_name);
        dev_t device;
        if (count == room || !read_device(member, device)) {
            count = -1;
            break;
        }
        layers[count++] = {lower_kind::disk, device, 0, -1, -1};
    }
    closedir(members);
    return count;
}

// File systems whose files are kept in memory, or are not files at all.
bool is_kept_in_memory(std::string_view type)
{
    for (std::string_view memory : {"tmpfs", "ramfs", "proc", "sysfs", "devtmpfs", "devpts",
                                    "mqueue", "hugetlbfs", "cgroup", "cgroup2"})
        if (type == memory)
            return true;
    return false;
}

// Whether this process may link a file by its descriptor (AT_EMPTY_PATH).
bool can_link_descriptors()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    return syscall(SYS_capget, &header, data) == 0 &&
           (data[CAP_TO_INDEX(CAP_DAC_READ_SEARCH)].effective & CAP_TO_MASK(CAP_DAC_READ_SEARCH));
}
} // namespace

int find_lower_layers(dev_t disk, int node, lower_layer *layers, int room)
{
    return find_lower_layers_in("/sys", disk, node, layers, room);
}

int find_lower_layers_in(const char *sysfs, dev_t disk, int node, lower_layer *layers, int room)
{
    char folder[PATH_MAX];
    std::snprintf(folder, sizeof folder, "%s/dev/block/%u:%u", sysfs, major(disk), minor(disk));
    const std::int64_t sectors = read_number(folder, "size");
    if (sectors < 0 || room < 1)
        return -1;
    if (exists(folder, "partition"))
        return find_whole_disk(folder, sectors * SECTOR, layers);
    if (exists(folder, "loop/backing_file"))
        return find_backing_file(folder, disk, node, sectors * SECTOR, layers);
    return find_members(folder, layers, room);
}

file_store find_file_store(dev_t device, dev_t &disk)
{
    char folder[64];
    std::snprintf(folder, sizeof folder, "/sys/dev/block/%u:%u", major(device), minor(device));
    if (major(device) != 0 && access(folder, F_OK) == 0) {
        disk = device;
        return file_store::disk;
    }
    // An anonymous device number (btrfs, tmpfs, FUSE): the mount table names
    // what the file system was mounted from.
    FILE *mounts = std::fopen("/proc/self/mountinfo", "re");
    if (mounts == nullptr)
        return file_store::unknown;
    char line[4096], type[256], source[PATH_MAX];
    unsigned major_number, minor_number;
    file_store store = file_store::unknown;
    while (std::fgets(line, sizeof line, mounts) != nullptr) {
        const char *fields = std::strstr(line, " - ");
        if (std::sscanf(line, "%*u %*u %u:%u", &major_number, &minor_number) != 2 ||
            makedev(major_number, minor_number) != device || fields == nullptr ||
            std::sscanf(fields, " - %255s %4095s", type, source) != 2)
            continue;
        struct stat info;
        if (source[0] == '/' && stat(source, &info) == 0 && S_ISBLK(info.st_mode)) {
            disk = info.st_rdev;
            store = file_store::disk;
        } else if (is_kept_in_memory(type)) {
            store = file_store::memory;
        }
        break;
    }
    std::fclose(mounts);
    return store;
}

int open_folder_to_use(const char *path, int at)
{
    return openat(at, path, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Only where the file can be named when it is whole: by its descriptor, or
// through /proc (which a container may lack).
int open_unnamed_file(int folder, mode_t mode)
{
    if (access("/proc/self/fd", X_OK) != 0 && !can_link_descriptors()) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
}

bool name_unnamed_file(int fd, int folder, const char *name)
{
    if (linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0)
        return true;
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
