// The browser maps nothing: every block is read (see core/map.hpp).
#include "core/map.hpp"

bool can_map(FILE *)
{
    return false;
}

double get_seconds()
{
    return 0;
}

void release_pages(void *, std::size_t) {}

bool map_block(FILE *, std::int64_t, std::size_t, mapped_block &)
{
    return false;
}

void unmap_block(mapped_block &) {}

bool guard_faults(void (*body)(void *context), void *context)
{
    body(context);
    return true;
}
