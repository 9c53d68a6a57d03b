// libFuzzer target: two inputs of equal length go through the block
// comparison on a small block size, and through the portable scan, and must
// give exactly the records of the plain model. The first byte picks the
// block size.
#include "model.hpp"
#include "torvex.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 3)
        return 0;
    const std::size_t block_size = 1 + data[0] % 130;
    const std::size_t length = (size - 1) / 2;
    auto *a = const_cast<std::uint8_t *>(data + 1);
    auto *b = a + length;
    const std::string expected = model_records(a, b, length);
    const std::string blocks = capture([&](FILE *patch) {
        FILE *original = fmemopen(a, length, "rb");
        FILE *changed = fmemopen(b, length, "rb");
        compare_blocks(original, changed, patch, static_cast<std::int64_t>(length), block_size,
                       false);
        std::fclose(original);
        std::fclose(changed);
    });
    const std::string scanned = capture([&](FILE *stream) {
        char buffer[128];
        patch_writer patch;
        start_patch(patch, stream, buffer, sizeof buffer);
        compare_buffers(a, b, length, 0, patch, scan_path::portable);
        flush_patch(patch);
    });
    if (blocks != expected || scanned != expected)
        std::abort();
    return 0;
}
