// Where the bytes of an open file are stored. Each open file is followed down
// to what holds its bytes, layer by layer: a regular file is itself, on the
// disk of its file system; a loop device is its file, from an offset; a
// partition is its whole disk, from its start; a mapped device is its members;
// an overlay's file is some file of its folders' file systems. Two open files
// are the same data only where they reach one object at the same offset for
// the same length; any other object both write to is overlap. Two files of
// one file system share its disk, but the file system keeps them apart.
//
// A file system whose daemon may keep it in any local file (FUSE) keeps its
// own files apart, but nothing else: an output on it may be stored in any
// input of another file system, and an input on it in any file written as it
// stands (a file the run makes cannot be a store already in use).
#include "sys/posix/layers.hpp"

#include "sys/posix/extras.hpp"

#include <sys/stat.h>
#include <unistd.h>

namespace
{
// One object an open file's bytes reach, and where.
struct layer {
    // unknown: a disk that may hold anything; any_file: a loop device's file
    // that the system would not tell, which may be any file at all; some_file:
    // some file of the file system numbered device; any_store: a file system
    // that may be kept in any local file.
    enum { file, disk, unknown, any_file, some_file, any_store } kind;
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
    bool stored = false;   // a regular file or a disk: what a file system may be kept in
    dev_t file_system = 0; // a file's: its own number
};

void add(layers &home, const layer &next)
{
    if (home.count < MOST_LAYERS)
        home.at[home.count++] = next;
    else // too deep to follow: anything may lie below
        home.at[MOST_LAYERS - 1] = {layer::unknown, 0, 0, -1, -1, next.direct};
}

void add_file_system(layers &home, dev_t device, int fd, int depth);

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
            add_file_system(home, lower[i].device, -1, depth + 1);
        } else if (lower[i].kind == lower_kind::disk) {
            add_disk(home, lower[i].device, -1, at, reach, direct, depth + 1);
        } else {
            add(home, {layer::any_file, 0, 0, -1, -1, direct});
        }
    }
}

// What the file system of a file lies on: written only through it. fd is the
// file, opened, or -1.
void add_file_system(layers &home, dev_t device, int fd, int depth)
{
    dev_t stores[MOST_STORES];
    int count = 0;
    const file_store store =
        depth < 8 ? find_file_store(device, fd, stores, count) : file_store::unknown;
    if (fd >= 0)
        home.file_system = device;
    if (store == file_store::disk)
        add_disk(home, stores[0], -1, -1, -1, false, depth + 1);
    else if (store == file_store::unknown)
        add(home, {layer::unknown, 0, 0, -1, -1, false});
    else if (store == file_store::any_file)
        add(home, {layer::any_store, device, 0, -1, -1, false});
    // Which file of them, no one tells; only the first is written.
    for (int i = 0; store == file_store::folders && i < count; ++i) {
        if (stores[i] == 0)
            continue;
        add(home, {layer::some_file, stores[i], 0, -1, -1, i == 0});
        add_file_system(home, stores[i], -1, depth + 1);
    }
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
    home.stored = S_ISREG(info.st_mode) || S_ISBLK(info.st_mode);
    if (S_ISBLK(info.st_mode)) {
        add_disk(home, info.st_rdev, fd, 0, measure_disk(fd), true, 0);
    } else {
        add(home, {layer::file, info.st_dev, info.st_ino, 0, info.st_size, true});
        add_file_system(home, info.st_dev, fd, 0);
    }
    return true;
}

bool is_same_object(const layer &a, const layer &b)
{
    return a.kind == b.kind && (a.kind == layer::file || a.kind == layer::disk) &&
           a.device == b.device && (a.kind == layer::disk || a.inode == b.inode);
}

// Whether writing a layer of the output may change a layer of the input where
// one of them is some file of a file system, which no one tells (an
// overlay's: only its upper folder's is written).
bool may_write_some_file(const layer &out, const layer &in)
{
    if (out.device != in.device)
        return false;
    if (out.kind == layer::some_file)
        return out.direct && (in.kind == layer::file || in.kind == layer::some_file);
    return out.kind == layer::file && in.kind == layer::some_file;
}

bool reach_each_other(const layer &a, const layer &b)
{
    if (a.offset < 0 || b.offset < 0)
        return true;
    return (b.length < 0 || a.offset < b.offset + b.length) &&
           (a.length < 0 || b.offset < a.offset + a.length);
}

bool holds(const layers &home, decltype(layer::kind) kind, bool direct_only = false)
{
    for (int i = 0; i < home.count; ++i)
        if (home.at[i].kind == kind && (home.at[i].direct || !direct_only))
            return true;
    return false;
}

// A file system of one's that may be kept in any local file, apart from every
// file system of the other's.
bool holds_store_apart(const layers &one, const layers &other)
{
    for (int i = 0; i < one.count; ++i) {
        bool shared = false;
        for (int j = 0; j < other.count; ++j)
            shared = shared || (other.at[j].kind == layer::any_store &&
                                other.at[j].device == one.at[i].device);
        if (one.at[i].kind == layer::any_store && !shared)
            return true;
    }
    return false;
}
} // namespace

data_relation relate_descriptors(int output, int input, bool made_by_run)
{
    layers x;
    layers y;
    // A file that cannot even be described is kept from being written. A file
    // that may be any file overlaps whatever the other side writes directly,
    // and every open file is written directly at its top.
    if (!find_layers(output, x) || !find_layers(input, y) || holds(x, layer::any_file) ||
        holds(y, layer::any_file))
        return data_relation::overlapping;
    // Two files of one file system: it keeps them apart.
    const bool one_file_system = x.at[0].kind == layer::file && y.at[0].kind == layer::file &&
                                 x.file_system == y.file_system;
    bool same = false;
    for (int i = 0; i < x.count; ++i)
        for (int j = 0; j < y.count; ++j) {
            const layer &p = x.at[i], &q = y.at[j];
            if (!one_file_system && may_write_some_file(p, q))
                return data_relation::overlapping;
            if (!is_same_object(p, q) || (!p.direct && !q.direct) || !reach_each_other(p, q))
                continue;
            if (!p.direct || !q.direct || p.offset < 0 || p.offset != q.offset || p.length < 0 ||
                p.length != q.length)
                return data_relation::overlapping;
            same = true;
        }
    if ((y.stored && holds_store_apart(x, y)) ||
        (!made_by_run && x.stored && holds_store_apart(y, x)))
        return data_relation::overlapping;
    if (same)
        return data_relation::same;
    // A disk of unknown layout may hold anything; a file system stored where
    // nothing tells may lie on any disk.
    if (holds(x, layer::unknown, true) || holds(y, layer::unknown, true) ||
        (holds(x, layer::unknown) && holds(y, layer::disk, true)) ||
        (holds(y, layer::unknown) && holds(x, layer::disk, true)))
        return data_relation::overlapping;
    return data_relation::separate;
}

data_relation relate_data(FILE *a, FILE *b)
{
    return relate_descriptors(fileno(a), fileno(b), false);
}
