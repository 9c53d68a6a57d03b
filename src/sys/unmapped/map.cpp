// Systems that map nothing: every block is read (see core/map.hpp). In a
// browser there are no mappings; on Windows mapped views cost more than reads
// (under Wine, several times more for 1 GiB).
#include "core/map.hpp"

bool can_map(FILE *)
{
    return false;
}

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
