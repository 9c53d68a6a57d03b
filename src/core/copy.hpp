// New files made whole or not at all, and the bytes copied into them:
// src/sys/*/copy.cpp. See files.hpp for the rule for errors.
#pragma once

#include "core/open.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// A read-write file no other process can open, in the system's temporary
// folder, gone when it is closed; nullptr where none can be made apart from
// the original.
FILE *open_private_file(FILE *original);

// A new file made beside the one it will replace, invisible until then where
// the system can; else under a hidden name, which a process killed meanwhile
// leaves behind (the programs stop their run first where they can).
struct temp_file {
    FILE *stream = nullptr; // read-write, binary
    const target *place = nullptr;
    char name[PATH_ROOM] = {}; // its own name, where it has one ("" where not)
};
// Makes it in place's folder with the permissions the file will keep: the
// existing target's; else, as_original, the original's within the umask, or
// those of any new file. Refused where it would share data with the original
// or the patch.
bool create_temp(const target &place, FILE *original, FILE *patch, bool as_original,
                 temp_file &temp);
// Makes to share from's blocks, where the file system can: a copy in no time.
bool clone_file(FILE *from, FILE *to);
// Copies the bytes of from in [start, end) to the same offsets of to, holes
// kept where the system tells them (to must hold zeros there); with
// skip_zeros, also every run of zeros of a file system block or more. buffer
// serves where the system cannot copy by itself.
// The run is told how far it is as data is copied, and may stop there.
enum class copy_result { copied, read_failed, write_failed, stopped };
copy_result copy_range(FILE *from, FILE *to, std::int64_t start, std::int64_t end, bool skip_zeros,
                       unsigned char *buffer, std::size_t capacity);
// Gives the file that length, as holes where it grows; false where the file
// system cannot.
bool set_length(FILE *stream, std::int64_t length);
// Puts the file on the disk, then in the target's place.
bool commit_temp(temp_file &temp);
// Removes it: the target is left as it was.
void discard_temp(temp_file &temp);
