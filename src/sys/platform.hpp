// The primitives that each system's part of the file helpers gives the shared
// part (files.cpp). Only files.cpp, files-posix.cpp and files-win32.cpp
// include this.
#pragma once

#include <cstdint>
#include <cstdio>

// The stream's position, 64-bit on every system; -1 where it has none.
std::int64_t tell(FILE *stream);
// Moves the stream; false where it cannot.
bool seek(FILE *stream, std::int64_t offset, int origin);
// Cuts the file open as fd to length; safe in a fault handler.
void cut_file(int fd, std::int64_t length);
// Ends the process with status at once, flushing no stream; safe in a fault
// handler.
[[noreturn]] void end_process_now(int status);
