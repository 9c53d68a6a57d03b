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
