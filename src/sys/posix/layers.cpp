// Where the bytes of an open file are stored. Each open file is followed down
// to what holds its bytes, layer by layer: a regular file is itself, on the
// disk of its file system; a loop device is its file, from an offset; a
// partition is its whole disk, from its start; a mapped device is its members.
// Two open files are the same data only where they reach one object at the
// same offset for the same length; any other object both write to is
// overlap. Two files of one file system share its disk, but the file system
// keeps them apart.
#include "sys/posix/layers.hpp"

#include "sys/posix/extras.hpp"

#include <sys/stat.h>
#include <unistd.h>

namespace
{
// One object an open file's bytes reach, and where.
struct layer {
    // unknown: a disk that may hold anything; any_file: a loop device's file
    // that the system would not tell, which may be any file at all.
    enum { file, disk, unknown, any_file } kind;
    dev_t device; // the file's st_dev, or the disk's number
    ino_t inode;
    std::int64_t offset; // where the open file's byte 0 lies in it; -1: unknown
    std::int64_t length; // how far it reaches from there; -1: to the end
    bool direct;         // written straight, not through a file system
};

constexpr int MOST_LAYERS = 32;
struct layers {
    layer at[MOST_LAYERS];
    int count = 0;
};

void add(layers &home, const layer &next)
{
    if (home.count < MOST_LAYERS)
        home.at[home.count++] = next;
    else // too deep to follow: anything may lie below
        home.at[MOST_LAYERS - 1] = {layer::unknown, 0, 0, -1, -1, next.direct};
}

void add_file_system(layers &home, dev_t device, int depth);

// A disk, and what lies under it, from offset for length.
// node is the disk opened already, or -1.
void add_disk(layers &home, dev_t disk, int node, std::int64_t offset, std::int64_t length,
              bool direct, int depth)
{
    add(home, {layer::disk, disk, 0, offset, length, direct});
    lower_layer lower[8];
    const int count = depth < 8 ? find_lower_layers(disk, node, lower, 8) : -1;
    if (count < 0)
        add(home, {layer::unknown, 0, 0, -1, -1, direct});
    for (int i = 0; i < count; ++i) {
        // Where this disk's part lies in the one below; unknown stays unknown.
        const bool known = offset >= 0 && lower[i].offset >= 0;
        const std::int64_t at = known ? lower[i].offset + offset : -1;
        const std::int64_t reach = known ? (length >= 0 ? length : lower[i].length) : -1;
        if (lower[i].kind == lower_kind::file) {
            add(home, {layer::file, lower[i].device, lower[i].inode, at, reach, direct});
            add_file_system(home, lower[i].device, depth + 1);
        } else if (lower[i].kind == lower_kind::disk) {
            add_disk(home, lower[i].device, -1, at, reach, direct, depth + 1);
        } else {
            add(home, {layer::any_file, 0, 0, -1, -1, direct});
        }
    }
}

// What the file system of a file lies on: written only through it.
void add_file_system(layers &home, dev_t device, int depth)
{
    dev_t disk;
    const file_store store = find_file_store(device, disk);
    if (store == file_store::disk)
        add_disk(home, disk, -1, -1, -1, false, depth + 1);
    else if (store == file_store::unknown)
        add(home, {layer::unknown, 0, 0, -1, -1, false});
}

// A disk's length, its descriptor's offset left where it was.
std::int64_t measure_disk(int fd)
{
    const off_t here = lseek(fd, 0, SEEK_CUR);
    const off_t end = here < 0 ? -1 : lseek(fd, 0, SEEK_END);
    return here >= 0 && lseek(fd, here, SEEK_SET) == here ? end : -1;
}

bool find_layers(int fd, layers &home)
{
    struct stat info;
    if (fstat(fd, &info) != 0)
        return false;
    if (S_ISBLK(info.st_mode)) {
        add_disk(home, info.st_rdev, fd, 0, measure_disk(fd), true, 0);
    } else {
        add(home, {layer::file, info.st_dev, info.st_ino, 0, info.st_size, true});
        add_file_system(home, info.st_dev, 0);
    }
    return true;
}

bool is_same_object(const layer &a, const layer &b)
{
    return a.kind == b.kind && a.kind != layer::unknown && a.device == b.device &&
           (a.kind == layer::disk || a.inode == b.inode);
}

bool reach_each_other(const layer &a, const layer &b)
{
    if (a.offset < 0 || b.offset < 0)
        return true;
    return (b.length < 0 || a.offset < b.offset + b.length) &&
           (a.length < 0 || b.offset < a.offset + a.length);
}

bool holds_unknown(const layers &home, bool direct_only)
{
    for (int i = 0; i < home.count; ++i)
        if (home.at[i].kind == layer::unknown && (home.at[i].direct || !direct_only))
            return true;
    return false;
}

bool holds_any_file(const layers &home)
{
    for (int i = 0; i < home.count; ++i)
        if (home.at[i].kind == layer::any_file)
            return true;
    return false;
}

bool writes_disk(const layers &home)
{
    for (int i = 0; i < home.count; ++i)
        if (home.at[i].kind == layer::disk && home.at[i].direct)
            return true;
    return false;
}
} // namespace

data_relation relate_descriptors(int a, int b)
{
    layers x;
    layers y;
    // A file that cannot even be described is kept from being written. A file
    // that may be any file overlaps whatever the other side writes directly,
    // and every open file is written directly at its top.
    if (!find_layers(a, x) || !find_layers(b, y) || holds_any_file(x) || holds_any_file(y))
        return data_relation::overlapping;
    bool same = false;
    for (int i = 0; i < x.count; ++i)
        for (int j = 0; j < y.count; ++j) {
            const layer &p = x.at[i], &q = y.at[j];
            if (!is_same_object(p, q) || (!p.direct && !q.direct) || !reach_each_other(p, q))
                continue;
            if (!p.direct || !q.direct || p.offset < 0 || p.offset != q.offset || p.length < 0 ||
                p.length != q.length)
                return data_relation::overlapping;
            same = true;
        }
    if (same)
        return data_relation::same;
    // A disk of unknown layout may hold anything; a file system stored where
    // nothing tells may lie on any disk.
    if (holds_unknown(x, true) || holds_unknown(y, true) ||
        (holds_unknown(x, false) && writes_disk(y)) || (holds_unknown(y, false) && writes_disk(x)))
        return data_relation::overlapping;
    return data_relation::separate;
}

data_relation relate_data(FILE *a, FILE *b)
{
    return relate_descriptors(fileno(a), fileno(b));
}
