// The comparison against the plain model of the format, through the driver
// that the fuzz target uses too, and the reads that come up short.
#include "model.hpp"

#include <gtest/gtest.h>

#include <random>

// Contents from dense to all zeros (files of holes), and differences from
// everywhere to none, on every block size class and spread.
TEST(compare, random_pairs_match_model_on_every_path)
{
    std::mt19937_64 rng(20261206);
    for (int round = 0; round < 4000; ++round) {
        bytes input(2 + rng() % 700, 0);
        const unsigned shares[] = {0, 50, 90, 99, 100}; // zeros in 100, in content and differences
        const unsigned zeros[2] = {shares[rng() % 5], shares[rng() % 5]};
        for (std::size_t i = 0; i < input.size(); ++i)
            input[i] = static_cast<std::uint8_t>(
                i >= 2 && rng() % 100 < zeros[2 * i >= input.size()] ? 0 : rng());
        ASSERT_EQ(check_pair(input.data(), input.size()), "")
            << "round " << round << ": block byte " << +input[0] << ", spread byte " << +input[1];
    }
}

// An input that delivers less than its measured size (it shrank after it was
// measured) is a read error; its missing bytes are never compared as zeros,
// also where they would have been a hole.
TEST(compare, input_shorter_than_measured_is_a_read_error)
{
    bytes sparse(9000, 0);
    sparse[0] = 'x';
    const bytes pairs[][2] = {{bytes(5000, 'x'), bytes(4999, 'x')},
                              {sparse, sparse.substr(0, 4096)}};
    for (int shape = 0; shape < 8; ++shape) { // mapped or read, either input short, each pair
        const bytes &full = pairs[shape / 4][0], &cut = pairs[shape / 4][1];
        compare_status status = compare_status::done;
        run_blocks(shape & 1 ? cut : full, shape & 1 ? full : cut, 4096, shape & 2, full.size(),
                   &status);
        EXPECT_EQ(status, compare_status::read_failed) << shape;
    }
}
