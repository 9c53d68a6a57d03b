// The comparison against the plain model of the format, through the driver the fuzz target uses.
#include "model.hpp"

#include <gtest/gtest.h>

#include <random>

// Rounds aimed at the edges, each on every path: block sizes of every class (1 byte, either side of
// the scans' 16, 64 and 256, 10 MiB), bytes packed or spread (16 of them) with holes between them,
// contents from dense to all zeros, and a difference every gap bytes. Gap 1 finds a record lost
// anywhere; a gap a little over a step (64, 128, 256 bytes) leaves one difference to a step, one
// lane further on in each, for a step that passes it as equal; spread, gaps from 17 leave one
// difference. Breadth is the fuzzer's (fuzz_compare.cpp).
TEST(compare, random_pairs_match_model_on_every_path)
{
    std::mt19937_64 rng(20261206);
    const std::uint8_t blocks[] = {0, 1, 14, 15, 16, 62, 63, 64, 126, 127, 128, 254, 255};
    const unsigned gaps[] = {1, 3, 17, 64 + 9, 128 + 17, 256 + 33}, zeros[] = {0, 50, 99, 100};
    for (int round = 0; round < 13 * 6 * 2; ++round) { // packed, then spread
        const auto spread = static_cast<std::uint8_t>(round < 78 ? 0 : 1 + round % 3);
        const std::size_t gap = gaps[round / 13 % 6], count = spread ? 16 : 8 * gap + rng() % 1800;
        const std::size_t from = rng() % std::min(gap, count);
        const unsigned zero = zeros[rng() % 4]; // in 100 bytes of content
        bytes input{blocks[round % 13], spread};
        input.resize(2 + 2 * count);
        for (std::size_t i = 0; i < count; ++i) {
            input[2 + i] = rng() % 100 < zero ? 0 : static_cast<std::uint8_t>(rng());
            if (i % gap == from)
                input[2 + count + i] = static_cast<std::uint8_t>(1 + rng() % 255);
        }
        ASSERT_EQ(check_pair(input.data(), input.size()), "") << "round " << round;
    }
}

// The path of each block of a run on systems where a mapped byte costs a multiple of a read one,
// the first block slow either way (a cold start, which must not count): the trial's mapped and read
// blocks, then the cheaper way, mapped where it costs at most a quarter more; a short block weighs
// by its bytes.
TEST(compare, blocks_go_the_way_that_cost_less)
{
    const struct {
        double mapped_cost;
        std::string paths;
    } systems[] = {{0.5, "MMRMMM"}, {1.2, "MMRMMM"}, {1.3, "MMRRRR"}, {20, "MMRRRR"}};
    for (const auto &system : systems) {
        path_trial trial;
        std::string paths;
        for (int block = 0; block < 6; ++block) {
            const bool mapped = choose_mapping(trial);
            const double length = block == 2 ? 1 << 20 : 10 << 20,
                         cost = mapped ? system.mapped_cost : 1;
            note_block(trial, mapped, block == 0 ? 100 : cost * length * 1e-9,
                       static_cast<std::int64_t>(length));
            paths += mapped ? 'M' : 'R';
        }
        EXPECT_EQ(paths, system.paths) << system.mapped_cost;
    }
}
