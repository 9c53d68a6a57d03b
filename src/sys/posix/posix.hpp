// What the files of the POSIX part share among themselves.
#pragma once

#include "core/open.hpp"

#include <cstddef>
#include <cstdio>

#include <sys/types.h>

// True where writing through descriptor output changes nothing of input's
// bytes; made_by_run as for relate_descriptors.
bool is_separate(int output, FILE *input, bool made_by_run = false);
// Writes all of length bytes at offset; false where a write fails.
bool write_all(int fd, const void *buffer, std::size_t length, off_t offset);
// Puts what the system holds of fd on the disk.
bool sync_to_disk(int fd);
