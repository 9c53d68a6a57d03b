// libFuzzer target: two inputs of equal length go through the block
// comparison on a small block size and must give exactly the records of the
// plain model. The first byte picks the block size and the read path.
#include "torvex.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

std::string model_records(const std::uint8_t *a, const std::uint8_t *b, std::size_t length)
{
    std::string out;
    char line[48];
    for (std::size_t i = 0; i < length; ++i)
        if (a[i] != b[i]) {
            std::snprintf(line, sizeof line, "%zX:%X\n", i, static_cast<unsigned>(b[i]));
            out += line;
        }
    return out;
}

std::string run_comparison(const std::uint8_t *a, const std::uint8_t *b, std::size_t length,
                           std::size_t block_size)
{
    char *data = nullptr;
    std::size_t size = 0;
    FILE *patch = open_memstream(&data, &size);
    FILE *original = fmemopen(const_cast<std::uint8_t *>(a), length, "rb");
    FILE *changed = fmemopen(const_cast<std::uint8_t *>(b), length, "rb");
    compare_blocks(original, changed, patch, static_cast<std::int64_t>(length), block_size, false);
    std::fclose(original);
    std::fclose(changed);
    std::fclose(patch);
    std::string out(data, size);
    std::free(data);
    return out;
}

std::string run_scan(const std::uint8_t *a, const std::uint8_t *b, std::size_t length)
{
    char *data = nullptr;
    std::size_t size = 0;
    FILE *stream = open_memstream(&data, &size);
    char buffer[128];
    patch_writer patch;
    start_patch(patch, stream, buffer, sizeof buffer);
    compare_buffers(a, b, length, 0, patch, scan_path::portable);
    flush_patch(patch);
    std::fclose(stream);
    std::string out(data, size);
    std::free(data);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::size_t block_size = 1 + data[0] % 130;
    const std::size_t length = (size - 1) / 2;
    const std::uint8_t *a = data + 1;
    const std::uint8_t *b = a + length;
    const std::string expected = model_records(a, b, length);
    // fmemopen cannot open an empty buffer: the empty pair has no records.
    if (length > 0 && run_comparison(a, b, length, block_size) != expected)
        std::abort();
    if (run_scan(a, b, length) != expected)
        std::abort();
    return 0;
}
