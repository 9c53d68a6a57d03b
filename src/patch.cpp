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

// --- Reading ------------------------------------------------------------------

namespace
{

// The value of each upper-case hex digit; 16 for every other byte.
constexpr std::array<unsigned char, 256> make_hex_values()
{
    std::array<unsigned char, 256> values{};
    for (unsigned c = 0; c < 256; ++c)
        values[c] = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 16;
    return values;
}
constexpr std::array<unsigned char, 256> HEX_VALUES = make_hex_values();

// The longest line torvex writes: 16 offset digits, ':', 2 value digits, CR LF.
constexpr std::size_t LONGEST_LINE = 21;

unsigned hex_value(char c)
{
    return HEX_VALUES[static_cast<unsigned char>(c)];
}

// Keeps at least a longest line in the buffer, unless the stream has ended.
bool fill(patch_reader &reader)
{
    if (reader.end - reader.next > static_cast<std::ptrdiff_t>(LONGEST_LINE) ||
        reader.at_end_of_stream)
        return true;
    const auto left = static_cast<std::size_t>(reader.end - reader.next);
    std::memmove(reader.buffer, reader.next, left);
    const std::size_t got =
        std::fread(reader.buffer + left, 1, reader.capacity - left, reader.stream);
    if (got < reader.capacity - left) {
        if (std::ferror(reader.stream))
            return false;
        reader.at_end_of_stream = true;
    }
    reader.prefix = nullptr; // it pointed into the moved bytes
    reader.next = reader.buffer;
    reader.end = reader.buffer + left + got;
    return true;
}

// An upper-case hex number of 1 to max_digits digits, no leading zero; returns
// where it ends, or nullptr.
const char *parse_hex(const char *p, const char *end, int max_digits, std::uint64_t &value)
{
    const char *start = p;
    std::uint64_t v = 0;
    for (unsigned digit; p < end && (digit = hex_value(*p)) < 16; ++p) {
        if (p - start == max_digits)
            return nullptr;
        v = v << 4 | digit;
    }
    if (p == start || (*start == '0' && p - start > 1))
        return nullptr;
    value = v;
    return p;
}

// The line end: the size line's sets the one every line must have.
const char *parse_line_end(patch_reader &reader, const char *p)
{
    if (reader.line_end == 0 && p < reader.end)
        reader.line_end = *p == '\r' ? 2 : 1;
    if (reader.line_end == 0 || reader.end - p < reader.line_end ||
        (reader.line_end == 2 && *p++ != '\r') || *p != '\n')
        return nullptr;
    return p + 1;
}

// The offset of a record whose digits but the last two equal the last
// record's: checked by one comparison instead of a digit at a time.
const char *parse_offset_like_last(const patch_reader &reader, const char *p, std::uint64_t &offset)
{
    const unsigned shared = reader.prefix_length;
    if (reader.prefix == nullptr || p[shared + 2] != ':' ||
        std::memcmp(p, reader.prefix, shared) != 0)
        return nullptr;
    const unsigned high = hex_value(p[shared]), low = hex_value(p[shared + 1]);
    if ((high | low) >= 16)
        return nullptr;
    offset = (reader.offset >> 8 << 8) | high << 4 | low;
    return p + shared + 2;
}

} // namespace

void start_reading(patch_reader &reader, FILE *stream, char *buffer, std::size_t capacity)
{
    reader = {};
    reader.stream = stream;
    reader.buffer = buffer;
    reader.capacity = capacity;
    reader.next = reader.end = buffer;
}

patch_line read_size_line(patch_reader &reader)
{
    if (!fill(reader))
        return patch_line::unreadable;
    const char *p = parse_hex(reader.next, reader.end, 16, reader.size);
    if (p == nullptr || (p = parse_line_end(reader, p)) == nullptr)
        return patch_line::malformed;
    reader.next = p;
    reader.line = 1;
    return patch_line::read;
}

patch_line read_record(patch_reader &reader)
{
    if (!fill(reader))
        return patch_line::unreadable;
    if (reader.next == reader.end)
        return patch_line::end;
    std::uint64_t offset;
    std::uint64_t value;
    const char *p = reader.end - reader.next > static_cast<std::ptrdiff_t>(LONGEST_LINE)
                        ? parse_offset_like_last(reader, reader.next, offset)
                        : nullptr;
    if (p == nullptr)
        p = parse_hex(reader.next, reader.end, 16, offset);
    if (p == nullptr || p == reader.end || *p != ':' ||
        (p = parse_hex(p + 1, reader.end, 2, value)) == nullptr ||
        (p = parse_line_end(reader, p)) == nullptr || (reader.line > 1 && offset <= reader.offset))
        return patch_line::malformed;
    if (offset >= reader.size)
        return patch_line::beyond_size;
    // Remember the digits that the next consecutive record will share.
    const int digits = offset < 0x100 ? 0 : (std::bit_width(offset) + 3) / 4;
    reader.prefix = digits == 0 ? nullptr : reader.next;
    reader.prefix_length = digits == 0 ? 0 : static_cast<unsigned>(digits - 2);
    reader.next = p;
    reader.offset = offset;
    reader.value = static_cast<unsigned>(value);
    ++reader.line;
    return patch_line::read;
}
