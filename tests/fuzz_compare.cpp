// libFuzzer target: every pair must give the plain model's records on every
// path through the comparison (see check_pair for how the bytes are read).
#include "model.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (!check_pair(data, size).empty())
        std::abort();
    return 0;
}
