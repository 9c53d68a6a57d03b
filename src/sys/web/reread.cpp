// Reading a patch twice, in a browser: never needed, as every output is a
// new file written while the patch is read once.
#include "core/reread.hpp"
#include "core/copy.hpp"

#include <ctime>

rereading plan_rereading(FILE *, FILE *, FILE *&copy)
{
    copy = nullptr;
    return rereading::not_twice;
}

std::uint64_t get_random_key()
{
    return static_cast<std::uint64_t>(std::time(nullptr)) * 0x9E3779B97F4A7C15;
}

void write_lines_as_text(FILE *) {} // they end in LF

// A File cannot be written by the page at all.
bool keep_writers_out(FILE *, FILE *)
{
    return true;
}
