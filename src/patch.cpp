// The patch format: a size line, then one record line "offset:value" per
// differing byte, both numbers in upper-case hex without leading zeros,
// offsets ascending. Records are written by hand into a large buffer, so that
// a dense patch costs no formatted-output call per record.
#include "patch.hpp"

#include <array>
#include <bit>
#include <cstring>

namespace
{

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

// "00", "01", ... "FF": one lookup per byte instead of two.
constexpr std::array<char, 512> make_hex_pairs()
{
    std::array<char, 512> pairs{};
    for (unsigned i = 0; i < 256; ++i) {
        pairs[2 * i] = HEX_DIGITS[i >> 4];
        pairs[2 * i + 1] = HEX_DIGITS[i & 0xF];
    }
    return pairs;
}
constexpr std::array<char, 512> HEX_PAIRS = make_hex_pairs();

// The longest record: 16 offset digits, ':', 2 value digits, '\n'. The
// writer also copies its 16-byte prefix whole, so it keeps room for both.
constexpr std::size_t RECORD_ROOM = 64;

// ":V\n" or ":VV\n" for every byte value, so that a record's tail is one
// four-byte store; length tells how much of it counts.
struct record_tails {
    std::array<std::array<char, 4>, 256> text;
    std::array<unsigned char, 256> length;
};
constexpr record_tails make_record_tails()
{
    record_tails tails{};
    for (unsigned v = 0; v < 256; ++v) {
        const bool one_digit = v < 16;
        tails.text[v] = {':', HEX_PAIRS[2 * v + one_digit], HEX_PAIRS[2 * v + 1], '\n'};
        if (one_digit)
            tails.text[v][2] = '\n';
        tails.length[v] = one_digit ? 3 : 4;
    }
    return tails;
}
constexpr record_tails RECORD_TAILS = make_record_tails();

void refresh_prefix(patch_writer &patch, std::uint64_t key)
{
    patch.prefix_key = key;
    patch.prefix_length =
        key == 0 ? 0 : static_cast<unsigned>(write_hex(patch.prefix, key) - patch.prefix);
}

} // namespace

char *write_hex(char *out, std::uint64_t value)
{
    const int digits = value == 0 ? 1 : (std::bit_width(value) + 3) / 4;
    for (int i = digits - 1; i >= 0; --i, value >>= 4)
        out[i] = HEX_DIGITS[value & 0xF];
    return out + digits;
}

void write_size_line(FILE *patch, std::int64_t size)
{
    char line[24];
    char *end = write_hex(line, static_cast<std::uint64_t>(size));
    *end++ = '\n';
    std::fwrite(line, 1, static_cast<std::size_t>(end - line), patch);
}

void start_patch(patch_writer &patch, FILE *stream, char *buffer, std::size_t capacity)
{
    patch.stream = stream;
    patch.buffer = buffer;
    patch.end = buffer;
    patch.limit = buffer + capacity - RECORD_ROOM;
    patch.prefix_key = 0;
    patch.prefix_length = 0;
}

void add_to_patch(std::int64_t offset, unsigned value, patch_writer &patch)
{
    const auto key = static_cast<std::uint64_t>(offset) >> 8;
    if (key != patch.prefix_key)
        refresh_prefix(patch, key);
    // Fixed-size copies, then advance by what counts: no branch per digit.
    char *out = patch.end;
    std::memcpy(out, patch.prefix, sizeof patch.prefix);
    out += patch.prefix_length;
    const auto low = static_cast<unsigned>(offset & 0xFF);
    const unsigned one_digit = key == 0 && low < 16;
    std::memcpy(out, &HEX_PAIRS[2 * low + one_digit], 2);
    out += 2 - one_digit;
    std::memcpy(out, RECORD_TAILS.text[value].data(), 4);
    out += RECORD_TAILS.length[value];
    patch.end = out;
    if (out >= patch.limit)
        flush_patch(patch);
}

void flush_patch(patch_writer &patch)
{
    std::fwrite(patch.buffer, 1, static_cast<std::size_t>(patch.end - patch.buffer), patch.stream);
    patch.end = patch.buffer;
}
