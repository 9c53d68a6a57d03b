// The comparison against a plain model of the format: one "%X:%X" line per
// differing byte, in order. Tiny block sizes and odd alignments push every
// boundary of the fast paths through the same check.
#include "torvex.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace
{

std::string model_records(const std::string &a, const std::string &b, std::uint64_t base = 0)
{
    std::string out;
    char line[48];
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) {
            std::snprintf(line, sizeof line, "%llX:%X\n", static_cast<unsigned long long>(base + i),
                          static_cast<unsigned>(static_cast<unsigned char>(b[i])));
            out += line;
        }
    return out;
}

// Whatever fn writes to the stream it is given.
std::string capture(const std::function<void(FILE *)> &fn)
{
    char *data = nullptr;
    std::size_t length = 0;
    FILE *stream = open_memstream(&data, &length);
    fn(stream);
    std::fclose(stream);
    std::string out(data, length);
    std::free(data);
    return out;
}

struct input_pair {
    fs::path a, b;
    input_pair(const std::string &original, const std::string &changed)
        : a(make_path("a")), b(make_path("b"))
    {
        std::ofstream(a, std::ios::binary) << original;
        std::ofstream(b, std::ios::binary) << changed;
    }
    ~input_pair()
    {
        fs::remove(a);
        fs::remove(b);
    }
    static fs::path make_path(const char *name)
    {
        return fs::temp_directory_path() / ("torvex-unit-" + std::to_string(getpid()) + "-" + name);
    }
};

std::string run_blocks(const input_pair &files, std::int64_t size, std::size_t block_size,
                       bool map_files)
{
    FILE *a = std::fopen(files.a.c_str(), "rb");
    FILE *b = std::fopen(files.b.c_str(), "rb");
    std::string out =
        capture([&](FILE *patch) { compare_blocks(a, b, patch, size, block_size, map_files); });
    std::fclose(a);
    std::fclose(b);
    return out;
}

std::string run_scan(const unsigned char *a, const unsigned char *b, std::size_t length,
                     std::int64_t base, scan_path path)
{
    return capture([&](FILE *stream) {
        // A small buffer, so that flushing mid-span is exercised too.
        char buffer[160];
        patch_writer patch;
        start_patch(patch, stream, buffer, sizeof buffer);
        compare_buffers(a, b, length, base, patch, path);
        flush_patch(patch);
    });
}

std::string random_bytes(std::mt19937_64 &rng, std::size_t length)
{
    std::string out(length, '\0');
    for (auto &c : out)
        c = static_cast<char>(rng());
    return out;
}

TEST(compare_blocks, random_pairs_match_model)
{
    std::mt19937_64 rng(20261206);
    const std::size_t block_sizes[] = {1, 3, 63, 64, 65, 100, 4096, 4099, BLOCK_SIZE};
    const double densities[] = {0.0, 0.001, 0.05, 0.5, 1.0};
    for (int round = 0; round < 200; ++round) {
        const std::size_t length = rng() % 9000;
        const std::string original = random_bytes(rng, length);
        std::string changed = original;
        std::bernoulli_distribution differs(densities[rng() % 5]);
        for (auto &c : changed)
            if (differs(rng))
                c = static_cast<char>(c + 1 + rng() % 255);
        const std::size_t block_size = block_sizes[rng() % 9];
        const bool map_files = round % 2 == 0;
        input_pair files(original, changed);
        ASSERT_EQ(run_blocks(files, static_cast<std::int64_t>(length), block_size, map_files),
                  model_records(original, changed))
            << "length " << length << ", block " << block_size << ", mapped " << map_files;
    }
}

TEST(compare_buffers, every_alignment_position_and_run_on_both_paths)
{
    std::mt19937_64 rng(7);
    const std::size_t lengths[] = {0, 1, 15, 16, 17, 63, 64, 65, 127, 128, 129, 200};
    std::vector<unsigned char> a(400), b(400);
    for (scan_path path : {scan_path::portable, scan_path::vector})
        for (std::size_t align = 0; align < 64; ++align)
            for (std::size_t length : lengths)
                for (std::size_t run = 1; run <= 70; run += 23)
                    for (std::size_t at = 0; at < length; ++at) {
                        for (std::size_t i = 0; i < a.size(); ++i)
                            a[i] = b[i] = static_cast<unsigned char>(rng());
                        for (std::size_t i = at; i < std::min(at + run, length); ++i)
                            b[align + i] = static_cast<unsigned char>(a[align + i] ^ (1 + i % 255));
                        const std::string sa(a.begin() + align, a.begin() + align + length);
                        const std::string sb(b.begin() + align, b.begin() + align + length);
                        ASSERT_EQ(run_scan(&a[align], &b[align], length, 0x1F0, path),
                                  model_records(sa, sb, 0x1F0))
                            << "path " << static_cast<int>(path) << ", align " << align
                            << ", length " << length << ", run " << run << ", at " << at;
                    }
}

TEST(add_to_patch, offsets_and_values_print_as_hex)
{
    // Offsets ascend across every change in digit count and in the shared
    // leading digits, up to the largest offset a file can have.
    const std::vector<std::pair<std::uint64_t, unsigned>> records = {{0, 0},
                                                                     {0xF, 9},
                                                                     {0x10, 0xA},
                                                                     {0xFF, 0x7F},
                                                                     {0x100, 0x80},
                                                                     {0x101, 0xFF},
                                                                     {0x1FF, 0x10},
                                                                     {0xFFF, 1},
                                                                     {0x1000, 2},
                                                                     {0xFFFF, 3},
                                                                     {0x10000, 4},
                                                                     {0x7FFFFFFF, 5},
                                                                     {0x80000000, 6},
                                                                     {0xFFFFFFFF, 7},
                                                                     {0x100000000, 8},
                                                                     {0x100000100, 0xC3},
                                                                     {0x7FFFFFFFFFFFFF00, 0xE},
                                                                     {0x7FFFFFFFFFFFFFFF, 0xF0}};
    std::string expected;
    char line[48];
    for (auto [offset, value] : records) {
        std::snprintf(line, sizeof line, "%llX:%X\n", static_cast<unsigned long long>(offset),
                      value);
        expected += line;
    }
    EXPECT_EQ(capture([&](FILE *stream) {
                  char buffer[256];
                  patch_writer patch;
                  start_patch(patch, stream, buffer, sizeof buffer);
                  for (auto [offset, value] : records)
                      add_to_patch(static_cast<std::int64_t>(offset), value, patch);
                  flush_patch(patch);
              }),
              expected);
}

TEST(write_size_line, matches_printf)
{
    std::mt19937_64 rng(3);
    for (int i = 0; i < 2000; ++i) {
        const std::int64_t size = static_cast<std::int64_t>(rng() >> (rng() % 64));
        char line[32];
        std::snprintf(line, sizeof line, "%llX\n", static_cast<unsigned long long>(size));
        EXPECT_EQ(capture([&](FILE *stream) { write_size_line(stream, size); }), line);
    }
}

// Runs fn in a child process and expects it to end with status 1 after
// printing message on standard output.
void expect_failure(const std::function<void()> &fn, const std::string &message)
{
    const fs::path out = input_pair::make_path("stdout");
    EXPECT_EXIT(
        {
            if (std::freopen(out.c_str(), "w", stdout) == nullptr)
                std::_Exit(99);
            fn();
            std::exit(0);
        },
        testing::ExitedWithCode(1), "");
    std::ifstream in(out);
    const std::string printed{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(printed, message + "\n");
    fs::remove(out);
}

TEST(compare_blocks_death, input_shorter_than_measured_is_a_read_error)
{
    for (bool map_files : {true, false})
        for (int shorter : {0, 1}) {
            const std::string full(5000, 'x');
            input_pair files(shorter == 0 ? full.substr(0, 4000) : full,
                             shorter == 1 ? full.substr(0, 4999) : full);
            expect_failure([&] { run_blocks(files, 5000, 4096, map_files); },
                           messages::read_failed);
        }
}

TEST(compare_blocks_death, allocation_failure_is_reported)
{
    input_pair files("abc", "abd");
    expect_failure([&] { run_blocks(files, 3, SIZE_MAX / 4, false); }, messages::alloc_failed);
}

TEST(compare_blocks_death, failed_write_is_reported)
{
    input_pair files(std::string(1000, 'a'), std::string(1000, 'b'));
    expect_failure(
        [&] {
            FILE *a = std::fopen(files.a.c_str(), "rb");
            FILE *b = std::fopen(files.b.c_str(), "rb");
            compare_blocks(a, b, std::fopen("/dev/full", "w"), 1000);
        },
        messages::write_failed);
}

TEST(compare_blocks_death, mapped_input_that_shrinks_is_a_read_error)
{
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    input_pair files(std::string(4 * page, 'a'), "");
    expect_failure(
        [&] {
            FILE *stream = std::fopen(files.a.c_str(), "r+b");
            guard_mapped_reads();
            mapped_block block;
            if (!map_block(stream, 0, 4 * page, block))
                std::_Exit(98);
            if (ftruncate(fileno(stream), 0) != 0)
                std::_Exit(97);
            volatile unsigned char byte = block.data[2 * page];
            (void)byte;
        },
        messages::read_failed);
}

} // namespace
