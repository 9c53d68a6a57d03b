// Patches against the original "ABCD": what is refused (at which line), what is applied, and what
// either leaves, in place and to a new file.
#include "model.hpp"

#include "core/patch.hpp"

#include <gtest/gtest.h>

#include <vector>

TEST(apply, patches_against_original)
{
    using enum apply_status;
    const struct {
        apply_status status;
        std::uint64_t line; // where malformed
        std::vector<std::string> patches;
        std::string result = ""; // the new file, and the original after an in-place run
        std::string undo = "";   // what torvex-invert writes, where it writes
    } rows[] = {
        {applied, 0, {"4\n2:58\n"}, "ABXD", "4\n2:43\n"},
        {applied, 0, {"4\r\n2:58\r\n3:0\r\n"}, std::string("ABX\0", 4), "4\n2:43\n3:44\n"},
        {applied, 0, {"4\n"}, "ABCD", "4\n"},
        {applied, 0, {"4\n0:58\n2:58\n3:59\n"}, "XBXY", "4\n0:41\n2:43\n3:44\n"}, // a gap, a run
        {applied, 0, {"4\n1:42\n2:58\n"}, "ABXD"}, // 1 in place, 2 not: a run cut short
        {already_applied, 0, {"4\n1:42\n2:43\n"}, "ABCD"},
        // The last: a run written before the mismatch.
        {mismatch, 0, {"4\n1:58\n2:43\n", "4\n0:41\n1:58\n3:44\n", "4\n0:58\n2:58\n3:44\n"}},
        {does_not_fit, 0, {"5\n", "4\n4:58\n", "4\nFFFFFFFFFFFFFFFF:58\n"}},
        {malformed, 1, {"", "4", "\xEF\xBB\xBF\x34\n", "04\n", "4\r\r\n"}},
        // Cut mid-line, changing line ends, every misspelt record, 17 digits, a NUL, a long line.
        {malformed, 2, {"4\n2:5",     "4\n2:58",    "4\n2:58\r\n", "4\r\n2:58\n",
                        "4\n\n",      "4\n2:5a\n",  "4\n2:58 \n",  "4\n 2:58\n",
                        "4\n+2:58\n", "4\n-1:58\n", "4\n0x2:58\n", "4\n02:58\n",
                        "4\n2:058\n", "4\n2:05\n",  "4\n:58\n",    "4\n2:\n",
                        "4\n2\n",     "4\n2:100\n", "4\n2:58:1\n", "4\n10000000000000000:58\n"}},
        {malformed, 2, {std::string("4\n2:5\0\n", 7), "4\n" + std::string(4096, '1') + ":1\n"}},
        {malformed, 3, {"4\n2:58\n1:58\n", "4\n2:58\n2:59\n"}},
    };
    const bytes original = {'A', 'B', 'C', 'D'};
    for (const auto &row : rows)
        for (const std::string &given : row.patches) {
            // A malformed line followed by more is read by the fast path: refused there too.
            const bool followed = row.status == malformed && given.ends_with('\n');
            for (const std::string &patch : {given, given + "3:1\n3:2\n3:3\n3:4\n3:5\n3:6\n"}) {
                if (patch != given && !followed)
                    continue;
                const applied_both got = apply_both(original, patch);
                const bool kept = row.status == applied || row.status == already_applied;
                for (const apply_result &result : {got.in_place, got.to_new_file}) {
                    EXPECT_EQ(result.status, row.status) << patch;
                    EXPECT_EQ(result.line, row.line) << patch;
                }
                // Refused: the original untouched, no new file.
                EXPECT_EQ(got.new_file, row.result) << patch;
                EXPECT_EQ(got.original, kept ? row.result : "ABCD") << patch;
                // The inverter reads as the applier, but takes no record whose byte is in place.
                EXPECT_EQ(got.inverted.status, !row.undo.empty() ? applied
                                               : kept            ? mismatch
                                                                 : row.status)
                    << patch;
                EXPECT_EQ(got.inverted.line, row.line) << patch;
                EXPECT_EQ(got.undo, row.undo) << patch;
            }
        }
}

// A patch read through buffers of 64 to 160 bytes, so that a refill falls at every position, whose
// lines share leading digits in every way: dense runs (read by their shared digits) within a
// 256-byte page and across its end, and offsets of 1 to 16 digits.
TEST(apply, reader_refills_anywhere)
{
    std::string text = "FFFFFFFFFFFFFFFF\n";
    std::vector<std::uint64_t> offsets;
    for (std::uint64_t at = 0; at < 0x320; ++at)
        offsets.push_back(at);
    for (int digits = 4; digits <= 16; ++digits) {
        const std::uint64_t page = 0xFEDCBA9876543210 >> 4 * (16 - digits) & ~0xFFull;
        for (const int step : {-3, -2, -1, 0, 1, 2, 0x10, 0x11, 0xFF, 0x100, 0x1FF})
            offsets.push_back(page + static_cast<std::uint64_t>(step));
    }
    char line[32];
    for (const std::uint64_t at : offsets)
        text += (std::snprintf(line, sizeof line, "%llX:%X\n", static_cast<unsigned long long>(at),
                               static_cast<unsigned>(at * 7 % 256)),
                 line);
    for (std::size_t capacity = 64; capacity <= 160; ++capacity) {
        FILE *stream = fmemopen(text.data(), text.size(), "rb");
        std::vector<char> buffer(capacity);
        patch_reader reader;
        start_reading(reader, stream, buffer.data(), capacity);
        ASSERT_EQ(read_size_line(reader), patch_line::read);
        std::uint64_t got[7];
        unsigned char values[7];
        std::size_t seen = 0;
        for (patch_line stop = patch_line::read; stop == patch_line::read;)
            for (std::size_t i = 0, n = read_records(reader, got, values, 7, stop); i < n;
                 ++i, ++seen)
                ASSERT_TRUE(seen < offsets.size() && got[i] == offsets[seen] &&
                            values[i] == offsets[seen] * 7 % 256)
                    << "capacity " << capacity << ", record " << seen;
        EXPECT_EQ(seen, offsets.size()) << "capacity " << capacity;
        std::fclose(stream);
    }
}
