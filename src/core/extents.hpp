// Where an input's data lies, and writing the original in place:
// src/sys/*/extents.cpp. See files.hpp for the rule for errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Where an input's data lies: the file system stores holes as nothing, and
// they read back as zeros.
struct extent {
    bool data;        // false: a hole
    std::int64_t end; // where it ends, at most the limit asked for
};
// The extent at offset. Where the file system cannot tell (or on a system
// without the means to ask), everything up to limit counts as data. It moves
// the descriptor's offset: a stream must be sought before it is read again.
extent find_extent(FILE *stream, std::int64_t offset, std::int64_t limit);

// Asks the system to start reading length bytes of an input from offset.
void prefetch(FILE *stream, std::int64_t offset, std::int64_t length);
// True while the input still holds at least size bytes (a disk always does).
bool input_holds(FILE *stream, std::int64_t size);

// True where the file system reports the original as all data while it holds
// fewer blocks than its size needs: it has holes that it does not report.
bool hides_holes(FILE *stream, std::int64_t size);

// Writes into the original in place, by position, once the original is seen
// to keep its size: looked at again for each window of IN_PLACE_WINDOW bytes
// the writes reach, not for every write (a patch of isolated bytes writes one
// a page). Nothing is written past the end of an original found shrunk; one
// that shrinks between a look and a write is grown back by it, and the run
// ends as a read error (the size is looked at again at its end).
constexpr std::int64_t IN_PLACE_WINDOW = 4 << 20;
struct in_place_writer {
    FILE *file;
    std::int64_t size;        // what the original must keep
    std::int64_t window = -1; // the window looked at last (offset / IN_PLACE_WINDOW)
};
bool write_in_place(in_place_writer &writer, std::int64_t offset, const void *bytes,
                    std::size_t length);
// Puts what was written on the disk.
bool finish_in_place(in_place_writer &writer);
