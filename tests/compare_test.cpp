// The comparison against the plain model of the format. Tiny block sizes and
// odd alignments push every boundary of both scan paths and both read paths
// through the same check.
#include "model.hpp"
#include "torvex.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

namespace fs = std::filesystem;

namespace
{

fs::path temp_path(const std::string &name)
{
    // Fixed before any death test forks, so that parent and child agree.
    static const std::string process = std::to_string(getpid());
    return fs::temp_directory_path() / ("torvex-unit-" + process + "-" + name);
}

// Real files, so that the mapped path can map them.
std::string run_blocks(const std::string &original, const std::string &changed, std::int64_t size,
                       std::size_t block_size, bool map_files)
{
    std::ofstream(temp_path("a"), std::ios::binary) << original;
    std::ofstream(temp_path("b"), std::ios::binary) << changed;
    FILE *a = std::fopen(temp_path("a").c_str(), "rb");
    FILE *b = std::fopen(temp_path("b").c_str(), "rb");
    std::string out =
        capture([&](FILE *patch) { compare_blocks(a, b, patch, size, block_size, map_files); });
    std::fclose(a);
    std::fclose(b);
    return out;
}

// Removes the files a test leaves in the temporary folder.
class compare : public testing::Test
{
    void TearDown() override
    {
        for (const char *name : {"a", "b"})
            fs::remove(temp_path(name));
    }
};

TEST_F(compare, random_pairs_match_model)
{
    std::mt19937_64 rng(20261206);
    const std::size_t block_sizes[] = {1, 3, 63, 64, 65, 100, 4096, 4099, BLOCK_SIZE};
    const double densities[] = {0.0, 0.001, 0.05, 0.5, 1.0};
    for (int round = 0; round < 200; ++round) {
        std::string original(rng() % 9000, '\0');
        for (auto &c : original)
            c = static_cast<char>(rng());
        std::string changed = original;
        std::bernoulli_distribution differs(densities[rng() % 5]);
        for (auto &c : changed)
            c = static_cast<char>(c + (differs(rng) ? 1 + rng() % 255 : 0));
        const std::size_t block_size = block_sizes[rng() % 9];
        const bool map_files = round % 2 == 0;
        ASSERT_EQ(run_blocks(original, changed, static_cast<std::int64_t>(original.size()),
                             block_size, map_files),
                  model_records(original, changed))
            << "length " << original.size() << ", block " << block_size << ", mapped " << map_files;
    }
}

// Runs of differences of every length class at every position of every
// alignment, on spans shorter and longer than the 64-byte chunk.
TEST(compare_scan, every_alignment_position_and_run_on_both_paths)
{
    std::mt19937_64 rng(7);
    std::vector<unsigned char> a(400), b(400);
    for (scan_path path : {scan_path::portable, scan_path::vector})
        for (std::size_t align = 0; align < 64; ++align)
            for (std::size_t length : {0, 1, 15, 16, 17, 63, 64, 65, 127, 128, 129, 200})
                for (std::size_t run = 1; run <= 70; run += 23)
                    for (std::size_t at = 0; at < length; ++at) {
                        for (std::size_t i = 0; i < a.size(); ++i)
                            a[i] = b[i] = static_cast<unsigned char>(rng());
                        for (std::size_t i = at; i < std::min(at + run, length); ++i)
                            b[align + i] ^= static_cast<unsigned char>(1 + i % 255);
                        const std::string records = capture([&](FILE *stream) {
                            char buffer[160]; // small, so that records flush mid-span
                            patch_writer patch;
                            start_patch(patch, stream, buffer, sizeof buffer);
                            compare_buffers(&a[align], &b[align], length, 0x1F0, patch, path);
                            flush_patch(patch);
                        });
                        ASSERT_EQ(records, model_records(&a[align], &b[align], length, 0x1F0))
                            << "path " << static_cast<int>(path) << ", align " << align
                            << ", length " << length << ", run " << run << ", at " << at;
                    }
}

// Runs fn in a child process and expects it to end with status 1 after
// printing message; the child sends standard output where the check looks.
void expect_failure(const std::function<void()> &fn, const char *message)
{
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            fn();
            std::exit(0);
        },
        testing::ExitedWithCode(1), message);
}

TEST_F(compare, input_shorter_than_measured_is_a_read_error)
{
    const std::string full(5000, 'x');
    for (bool map_files : {true, false}) {
        expect_failure([&] { run_blocks(full.substr(0, 4000), full, 5000, 4096, map_files); },
                       messages::read_failed);
        expect_failure([&] { run_blocks(full, full.substr(0, 4999), 5000, 4096, map_files); },
                       messages::read_failed);
    }
}

TEST_F(compare, mapped_input_that_shrinks_is_a_read_error)
{
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::ofstream(temp_path("a")) << std::string(4 * page, 'a');
    expect_failure(
        [&] {
            FILE *stream = std::fopen(temp_path("a").c_str(), "r+b");
            guard_mapped_reads();
            mapped_block block;
            if (!map_block(stream, 0, 4 * page, block) || ftruncate(fileno(stream), 0) != 0)
                std::_Exit(98);
            volatile unsigned char byte = block.data[2 * page];
            (void)byte;
        },
        messages::read_failed);
}

} // namespace
