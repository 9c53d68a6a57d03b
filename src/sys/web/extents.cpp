// Where data lies in a browser: a File has no holes, so every block is read,
// and nothing is written in place.
#include "core/extents.hpp"

extent find_extent(FILE *, std::int64_t, std::int64_t limit)
{
    return {true, limit};
}

bool hides_holes(FILE *, std::int64_t)
{
    return false;
}

void prefetch(FILE *, std::int64_t, std::int64_t) {}

// A File that changes under the run fails its next read.
bool input_holds(FILE *, std::int64_t)
{
    return true;
}

bool write_in_place(in_place_writer &, std::int64_t, const void *, std::size_t)
{
    return false;
}

bool finish_in_place(in_place_writer &)
{
    return false;
}
