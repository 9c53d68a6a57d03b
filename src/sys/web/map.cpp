// Where data lies, and mappings, in a browser: a File has neither holes nor
// mappings, so every block is read, and nothing is written in place.
#include "core/files.hpp"

extent find_extent(FILE *, std::int64_t, std::int64_t limit)
{
    return {true, limit};
}

bool hides_holes(FILE *, std::int64_t)
{
    return false;
}

bool can_map(FILE *)
{
    return false;
}

bool map_block(FILE *, std::int64_t, std::size_t, mapped_block &)
{
    return false;
}

void unmap_block(mapped_block &) {}

void prefetch(FILE *, std::int64_t, std::int64_t) {}

// A File that changes under the run fails its next read.
bool input_holds(FILE *, std::int64_t)
{
    return true;
}

void guard_mapped_reads() {}

bool write_in_place(in_place_writer &, std::int64_t, const void *, std::size_t)
{
    return false;
}

bool finish_in_place(in_place_writer &)
{
    return false;
}
