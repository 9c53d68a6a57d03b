// What some systems can do beyond POSIX, for files-posix.cpp. Each says
// whether it could; where it could not, the caller does the portable thing
// right beside the call. files-linux.cpp gives them on Linux;
// files-no-extras.cpp gives none, so that the portable path is built (macOS,
// the BSDs) and tested on Linux too (the CMake option TORVEX_LINUX_EXTRAS).
#pragma once

#include <cstdint>

#include <sys/types.h>

// What a disk is made of. A loop device stores its bytes in a file, from an
// offset in it; a disk the system cannot describe is taken to overlap every
// other file, as writing to it may land anywhere.
struct disk_layout {
    enum { unknown, own, file } kind; // own: its bytes are its own
    dev_t file_device;
    ino_t file_inode;
    std::int64_t file_offset;
};
disk_layout get_disk_layout(int disk);

// A folder opened only to be used, not read (O_PATH): then one that may not
// be listed still serves. Portable: opened for reading.
int open_folder_to_use(const char *path);

// A new file without a name in folder (O_TMPFILE), or -1: the caller then
// makes a named one.
int open_unnamed_file(int folder, mode_t mode);
// Gives such a file a name in folder; false where it cannot.
bool name_unnamed_file(int fd, int folder, const char *name);

// Makes to share from's blocks (a clone), where the file system can.
bool clone_blocks(int from, int to);

// Copies [at, end) of in to the same offsets of out by the system's own means,
// as far as it goes: returns where it stopped (end when done; where it could
// not start, at), or -1 where in ended early.
off_t copy_by_system(int in, int out, off_t at, off_t end);
