// Patches against the original "ABCD": what is refused (at which line), what
// is applied, and what either leaves, in place and to a new file.
#include "model.hpp"

#include <gtest/gtest.h>

TEST(apply, patches_against_original)
{
    using enum apply_status;
    const struct {
        std::string patch;
        apply_status status;
        std::uint64_t line; // where malformed
        std::string result; // the new file, and the original after an in-place run
    } rows[] = {
        {"4\n2:58\n", applied, 0, "ABXD"},
        {"4\r\n2:58\r\n3:0\r\n", applied, 0, std::string("ABX\0", 4)},
        {"4\n", applied, 0, "ABCD"},
        {"4\n1:42\n2:58\n", applied, 0, "ABXD"}, // 1 in place, 2 not: a run cut short
        {"4\n1:42\n2:43\n", already_applied, 0, "ABCD"},
        {"4\n1:58\n2:43\n", mismatch, 0, ""},
        {"4\n0:41\n1:58\n3:44\n", mismatch, 0, ""},
        {"5\n", does_not_fit, 0, ""},
        {"4\n4:58\n", does_not_fit, 0, ""},
        {"4\nFFFFFFFFFFFFFFFF:58\n", does_not_fit, 0, ""},
        {"", malformed, 1, ""},
        {"4", malformed, 1, ""},
        {"\xEF\xBB\xBF"
         "4\n",
         malformed, 1, ""},
        {"04\n", malformed, 1, ""},
        {"4\r\r\n", malformed, 1, ""},
        {"4\n2:5", malformed, 2, ""}, // cut mid-line
        {"4\n2:58", malformed, 2, ""},
        {"4\n2:58\r\n", malformed, 2, ""},
        {"4\r\n2:58\n", malformed, 2, ""},
        {"4\n\n", malformed, 2, ""},
        {"4\n2:5a\n", malformed, 2, ""},
        {"4\n2:58 \n", malformed, 2, ""},
        {"4\n 2:58\n", malformed, 2, ""},
        {"4\n+2:58\n", malformed, 2, ""},
        {"4\n-1:58\n", malformed, 2, ""},
        {"4\n0x2:58\n", malformed, 2, ""},
        {"4\n02:58\n", malformed, 2, ""},
        {"4\n2:058\n", malformed, 2, ""},
        {"4\n:58\n", malformed, 2, ""},
        {"4\n2:\n", malformed, 2, ""},
        {"4\n2\n", malformed, 2, ""},
        {"4\n2:100\n", malformed, 2, ""},
        {"4\n2:58:1\n", malformed, 2, ""},
        {"4\n10000000000000000:58\n", malformed, 2, ""}, // 17 digits
        {std::string("4\n2:5\0\n", 7), malformed, 2, ""},
        {"4\n" + std::string(4096, '1') + ":1\n", malformed, 2, ""},
        {"4\n2:58\n1:58\n", malformed, 3, ""},
        {"4\n2:58\n2:59\n", malformed, 3, ""},
    };
    const bytes original = {'A', 'B', 'C', 'D'};
    for (const auto &row : rows) {
        const applied_both got = apply_both(original, row.patch);
        const bool kept = row.status == applied || row.status == already_applied;
        for (const apply_result &result : {got.in_place, got.to_new_file}) {
            EXPECT_EQ(result.status, row.status) << row.patch;
            EXPECT_EQ(result.line, row.line) << row.patch;
        }
        // Refused: the original untouched, no new file.
        EXPECT_EQ(got.new_file, row.result) << row.patch;
        EXPECT_EQ(got.original, kept ? row.result : "ABCD") << row.patch;
    }
}
