// What some systems can do beyond POSIX, for the POSIX file helpers. Each says
// whether it could; where it could not, the caller does the portable thing
// right beside the call. files-linux.cpp gives them on Linux;
// files-no-extras.cpp gives none, so that the portable path is built (macOS,
// the BSDs) and tested on Linux too (the CMake option TORVEX_LINUX_EXTRAS).
#pragma once

#include <cstdint>

#include <sys/types.h>

// What lies directly under a disk: a loop device's file, a partition's whole
// disk, the members of a mapped or RAID device. A loop device whose file the
// system will not tell (its node missing, or not ours to open) may lie in
// any file.
enum class lower_kind { disk, file, any_file };
struct lower_layer {
    lower_kind kind;
    dev_t device;        // the file's st_dev, or the disk's number
    ino_t inode;         // the file's
    std::int64_t offset; // where the upper disk starts in it; -1: unknown
    std::int64_t length; // how much of it the upper disk covers; -1: unknown
};
// How many layers lie under the disk numbered disk (0: its bytes are its
// own), or -1 where the system cannot tell: the caller then takes the disk to
// overlap every file but itself. node is the disk opened already, or -1.
int find_lower_layers(dev_t disk, int node, lower_layer *layers, int room);
// The same, read from a sysfs tree at sysfs (Linux: "/sys"; the tests make one).
int find_lower_layers_in(const char *sysfs, dev_t disk, int node, lower_layer *layers, int room);

// Where a file system whose files have st_dev device keeps them.
enum class file_store {
    disk,     // on a disk: its number in stores[0]
    memory,   // in memory
    folders,  // in the files of other file systems (an overlay's folders): their
              // st_dev in stores, the one written first (0 where none is)
    any_file, // wherever its daemon puts them, which may be any local file (FUSE,
              // an overlay whose folders cannot be followed): its mount source
              // proves nothing
    unknown,  // where the system cannot tell
};
// fd is a file of it, opened (its mount is then known, whatever number the
// file system gives its files: an overlay gives others than its own), or -1;
// device becomes the file system's own number.
constexpr int MOST_STORES = 8;
file_store find_file_store(dev_t &device, int fd, dev_t (&stores)[MOST_STORES], int &count);

// How far the system guards the files (fifo: the FIFOs) of sticky folders
// against being written by a name that creates (fs.protected_regular,
// fs.protected_fifos): 0 not at all; 1 in folders anyone may write; 2 in
// those a group may write too.
int find_sticky_protection(bool fifo);

// A folder opened only to be used, not read (O_PATH): then one that may not
// be listed still serves. Portable: opened for reading.
int open_folder_to_use(const char *path, int at);

// A new file without a name in folder (O_TMPFILE), where it can be given one
// later; else -1 with errno EOPNOTSUPP: the caller then makes a named one.
int open_unnamed_file(int folder, mode_t mode);
// Gives such a file a name in folder; false where it cannot.
bool name_unnamed_file(int fd, int folder, const char *name);

// Makes to share from's blocks (a clone), where the file system can.
bool clone_blocks(int from, int to);

// Copies [at, end) of in to the same offsets of out by the system's own means,
// as far as it goes: returns where it stopped (end when done; where it could
// not start, at), or -1 where in ended early.
off_t copy_by_system(int in, int out, off_t at, off_t end);

// Has the disk start writing what fd holds in [at, at + length), without
// waiting for it, where the system can; elsewhere nothing happens.
void start_disk_writes(int fd, off_t at, off_t length);
