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

// The whole text of a small sysfs file but its last line end: a name may hold
// line ends of its own.
bool read_name(const char *folder, const char *file, char (&name)[PATH_MAX])
{
    char path[PATH_MAX + 64];
    std::snprintf(path, sizeof path, "%s/%s", folder, file);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    const ssize_t length = fd < 0 ? -1 : read(fd, name, sizeof name - 1);
    if (fd >= 0)
        close(fd);
    if (length <= 0)
        return false;
    name[length - (name[length - 1] == '\n' ? 1 : 0)] = '\0';
    return true;
}

// A loop device lies in its file, from its offset, for its own length. The
// file is the one the driver reports by device and inode; the name sysfs shows
// may be stale after an unmount. Where the file is a disk's node (a loop over a
// loop, a partition, a disk), the driver reports the node, not the disk: only
// a name that leads to that very node tells the disk, and the layer goes on
// from it. A file kept where nodes are (in memory) that no name leads to may
// be a node of any disk. Where the driver cannot be asked, the file may be any.
int find_backing_file(const char *folder, dev_t disk, int node, std::int64_t size,
                      lower_layer *layers)
{
    const int fd = node >= 0 ? node : open_disk_node(folder, disk);
    loop_info64 status{};
    const bool told = fd >= 0 && ioctl(fd, LOOP_GET_STATUS64, &status) == 0;
    if (fd >= 0 && fd != node)
        close(fd);
    if (!told) {
        layers[0] = {lower_kind::any_file, 0, 0, -1, -1};
        return 1;
    }
    const dev_t device = decode_device(status.lo_device);
    const auto inode = static_cast<ino_t>(status.lo_inode);
    const auto offset = static_cast<std::int64_t>(status.lo_offset);
    char name[PATH_MAX];
    struct stat named;
    const bool found = read_name(folder, "loop/backing_file", name) && stat(name, &named) == 0 &&
                       named.st_dev == device && named.st_ino == inode;
    if (found && S_ISBLK(named.st_mode)) {
        layers[0] = {lower_kind::disk, named.st_rdev, 0, offset, size};
        return 1;
    }
    dev_t stores[MOST_STORES], kept = device;
    int count;
    if (!found && find_file_store(kept, -1, stores, count) == file_store::memory)
        return -1;
    layers[0] = {lower_kind::file, device, inode, offset, size};
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

// A line of the mount table, split in place: its fields keep the table's
// escapes but for the mount point and source.
struct mount_entry {
    int id;
    dev_t device;
    const char *point;
    std::string_view type;
    const char *source;
    char *options; // the file system's own
};

// Undoes the table's escapes of spaces, tabs, line ends and backslashes (\040).
void unescape(char *text)
{
    char *to = text;
    for (const char *from = text; *from != '\0'; ++to)
        if (from[0] == '\\' && from[1] >= '0' && from[1] <= '3' && from[2] >= '0' &&
            from[2] <= '7' && from[3] >= '0' && from[3] <= '7') {
            *to = static_cast<char>((from[1] - '0') << 6 | (from[2] - '0') << 3 | (from[3] - '0'));
            from += 4;
        } else {
            *to = *from++;
        }
    *to = '\0';
}

// "ID PARENT MAJ:MIN ROOT POINT OPTIONS [TAGS...] - TYPE SOURCE OPTIONS"
bool split_mount_entry(char *line, mount_entry &mount)
{
    line[std::strcspn(line, "\n")] = '\0';
    char *fields[6], *field, *rest = nullptr;
    int count = 0;
    while (count < 6 && (field = strtok_r(count == 0 ? line : nullptr, " ", &rest)) != nullptr)
        fields[count++] = field;
    int id;
    unsigned major_number, minor_number;
    char *tail = rest == nullptr ? nullptr : std::strstr(rest, "- ");
    if (count < 6 || std::sscanf(fields[0], "%d", &id) != 1 ||
        std::sscanf(fields[2], "%u:%u", &major_number, &minor_number) != 2 || tail == nullptr)
        return false;
    char *type = strtok_r(tail + 2, " ", &rest), *source = strtok_r(nullptr, " ", &rest);
    char *options = strtok_r(nullptr, " ", &rest);
    if (type == nullptr || source == nullptr)
        return false;
    unescape(fields[4]);
    unescape(source);
    mount = {id,        makedev(major_number, minor_number),
             fields[4], type,
             source,    options == nullptr ? const_cast<char *>("") : options};
    return true;
}

// The mount an open file was reached through, as the mount table numbers it;
// -1 where the system will not tell.
int find_mount_id(int fd)
{
    char path[64], line[256];
    std::snprintf(path, sizeof path, "/proc/self/fdinfo/%d", fd);
    FILE *info = std::fopen(path, "re");
    int id = -1;
    while (info != nullptr && id < 0 && std::fgets(line, sizeof line, info) != nullptr)
        if (std::sscanf(line, "mnt_id: %d", &id) != 1)
            id = -1;
    if (info != nullptr)
        std::fclose(info);
    return id;
}

// The file systems of an overlay's folders, from its options as they were
// typed: each must be an absolute path to a folder in this mount namespace.
// The upper folder's (the only one written) goes first, 0 where there is
// none. Their number, or -1 where one cannot be followed.
int find_overlay_folders(char *options, dev_t (&stores)[MOST_STORES])
{
    stores[0] = 0;
    int count = 1;
    char *outer = nullptr;
    for (char *option = strtok_r(options, ",", &outer); option != nullptr;
         option = strtok_r(nullptr, ",", &outer)) {
        char *value = std::strchr(option, '=');
        const std::string_view key(option,
                                   value == nullptr ? 0 : static_cast<std::size_t>(value - option));
        if (key != "lowerdir" && key != "lowerdir+" && key != "upperdir" && key != "workdir" &&
            key != "datadir+")
            continue;
        char *inner = nullptr;
        for (char *path = strtok_r(value + 1, ":", &inner); path != nullptr;
             path = strtok_r(nullptr, ":", &inner)) {
            unescape(path);
            struct stat info;
            if (path[0] != '/' || stat(path, &info) != 0 || !S_ISDIR(info.st_mode))
                return -1;
            bool known = key == "workdir"; // on the upper folder's file system
            for (int i = 1; i < count; ++i)
                known = known || stores[i] == info.st_dev;
            if (key == "upperdir")
                stores[0] = info.st_dev;
            else if (!known && count == MOST_STORES)
                return -1;
            else if (!known)
                stores[count++] = info.st_dev;
        }
    }
    return count;
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

file_store find_file_store(dev_t &device, int fd, dev_t (&stores)[MOST_STORES], int &count)
{
    char folder[64];
    std::snprintf(folder, sizeof folder, "/sys/dev/block/%u:%u", major(device), minor(device));
    count = 1;
    stores[0] = device;
    if (major(device) != 0 && access(folder, F_OK) == 0)
        return file_store::disk;
    // An anonymous device number (btrfs, tmpfs, FUSE, an overlay): the mount
    // table names what the file system was mounted from.
    FILE *mounts = std::fopen("/proc/self/mountinfo", "re");
    if (mounts == nullptr)
        return file_store::unknown;
    file_store store = file_store::unknown;
    const int mount_id = fd < 0 ? -1 : find_mount_id(fd);
    char *line = nullptr;
    std::size_t room = 0;
    while (getline(&line, &room, mounts) > 0) {
        mount_entry mount;
        if (!split_mount_entry(line, mount) ||
            (mount_id >= 0 ? mount.id != mount_id : mount.device != device))
            continue;
        device = mount.device;
        struct stat info;
        if (mount.source[0] == '/' && stat(mount.source, &info) == 0 && S_ISBLK(info.st_mode)) {
            stores[0] = info.st_rdev;
            store = file_store::disk;
        } else if (is_kept_in_memory(mount.type)) {
            store = file_store::memory;
        } else if (mount.type == "overlay") {
            count = find_overlay_folders(mount.options, stores);
            // A container's root: its folders are the host's, out of reach.
            store = count > 0                            ? file_store::folders
                    : std::strcmp(mount.point, "/") == 0 ? file_store::unknown
                                                         : file_store::any_file;
        } else if (mount.type == "fuse" || mount.type.substr(0, 5) == "fuse.") {
            store = file_store::any_file; // fuseblk names its disk, as above
        }
        break;
    }
    std::free(line);
    std::fclose(mounts);
    return store;
}

int find_sticky_protection(bool fifo)
{
    const std::int64_t level =
        read_number("/proc/sys/fs", fifo ? "protected_fifos" : "protected_regular");
    return level < 0 ? 0 : static_cast<int>(level);
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
    while (from < end && (copied = copy_file_range(in, &from, out, &to,
                                                   static_cast<std::size_t>(end - from), 0)) > 0) {
    }
    return copied == 0 ? -1 : from;
}

void start_disk_writes(int fd, off_t at, off_t length)
{
    sync_file_range(fd, at, length, SYNC_FILE_RANGE_WRITE);
}
