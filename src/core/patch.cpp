// The patch format: a size line, then one record line "offset:value" per
// differing byte, both numbers in upper-case hex without leading zeros,
// offsets ascending. Records are written by hand into a large buffer, so that
// a dense patch costs no formatted-output call per record.
#include "core/patch.hpp"

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
    const int digits = value == 0 ? 1 : static_cast<int>((std::bit_width(value) + 3) / 4);
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
        values[c] = static_cast<unsigned char>(c >= '0' && c <= '9'   ? c - '0'
                                               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                                      : 16);
    return values;
}
constexpr std::array<unsigned char, 256> HEX_VALUES = make_hex_values();

// The longest line torvex writes: 16 offset digits, ':', 2 value digits, CR LF.
constexpr std::size_t LONGEST_LINE = 21;

unsigned hex_value(char c)
{
    return HEX_VALUES[static_cast<unsigned char>(c)];
}

// A keyed hash of a piece, four words at a time in four lanes (the rounds of
// xxHash64, with multipliers made from the key), then mixed whole.
std::uint64_t hash_piece(const char *bytes, std::size_t length, std::uint64_t key)
{
    const std::uint64_t k1 = key | 1, k2 = (key * 0x9E3779B97F4A7C15 >> 7) | 1;
    std::uint64_t lanes[4] = {key, key + k1, key + k2, key - k1};
    std::size_t i = 0;
    for (; i + 32 <= length; i += 32)
        for (std::size_t lane = 0; lane < 4; ++lane) {
            std::uint64_t word;
            std::memcpy(&word, bytes + i + 8 * lane, sizeof word);
            lanes[lane] = std::rotl(lanes[lane] + word * k2, 31) * k1;
        }
    for (; i < length; ++i)
        lanes[0] = std::rotl(lanes[0] + static_cast<unsigned char>(bytes[i]) * k2, 31) * k1;
    std::uint64_t h = lanes[0] ^ std::rotl(lanes[1], 16) ^ std::rotl(lanes[2], 32) ^
                      std::rotl(lanes[3], 48) ^ length;
    h = (h ^ h >> 30) * 0xBF58476D1CE4E5B9;
    h = (h ^ h >> 27) * 0x94D049BB133111EB;
    return h ^ h >> 31;
}

// Keeps a piece's hash, or checks it against the one kept.
bool note_piece(piece_hashes &pieces, const char *bytes, std::size_t length)
{
    const std::uint64_t hash = hash_piece(bytes, length, pieces.key);
    if (pieces.verifying)
        return pieces.next < pieces.count && pieces.hashes[pieces.next++] == hash;
    if (pieces.count == pieces.room)
        return false;
    pieces.hashes[pieces.count++] = hash;
    return true;
}

// Moves what is left to the front and reads on, so that the buffer holds
// more than a longest line unless the stream has ended.
bool refill(patch_reader &reader)
{
    const auto left = static_cast<std::size_t>(reader.end - reader.next);
    std::memmove(reader.buffer, reader.next, left);
    const std::size_t got =
        std::fread(reader.buffer + left, 1, reader.capacity - left, reader.stream);
    if (reader.copy != nullptr && std::fwrite(reader.buffer + left, 1, got, reader.copy) != got) {
        reader.copy_failed = true;
        return false;
    }
    if (reader.pieces != nullptr && !note_piece(*reader.pieces, reader.buffer + left, got))
        return false;
    if (got < reader.capacity - left) {
        if (std::ferror(reader.stream))
            return false;
        reader.at_end_of_stream = true;
    }
    reader.next = reader.buffer;
    reader.end = reader.buffer + left + got;
    return true;
}

bool fill(patch_reader &reader)
{
    return reader.end - reader.next > static_cast<std::ptrdiff_t>(LONGEST_LINE) ||
           reader.at_end_of_stream || refill(reader);
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

// Consecutive records share all but the last two offset digits. The line
// that spells them, and which of its first 16 bytes they are, lets the next
// line be checked by two word comparisons instead of a digit at a time.
struct shared_prefix {
    const char *line = nullptr;
    std::uint64_t key = 0; // offset >> 8 that it spells
    unsigned length = 0;
    std::uint64_t mask[2] = {};
};

// Eight bytes as a word whose lowest byte is the first, on either byte order,
// so that a mask of the low k bytes selects the first k characters.
std::uint64_t load_word(const char *p)
{
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big)
        word = __builtin_bswap64(word);
    return word;
}

void keep_prefix(shared_prefix &prefix, const char *line, std::uint64_t offset)
{
    const std::uint64_t key = offset >> 8;
    if (key == prefix.key && prefix.line != nullptr)
        return;
    const unsigned digits = key == 0 ? 0 : static_cast<unsigned>((std::bit_width(key) + 3) / 4);
    prefix.line = digits == 0 ? nullptr : line;
    prefix.key = key;
    prefix.length = digits;
    for (unsigned word = 0; word < 2; ++word) {
        const unsigned bytes = std::min(8u, digits - std::min(digits, 8 * word));
        prefix.mask[word] = bytes == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << 8 * bytes) - 1;
    }
}

// A record line at p with room after it (more than a longest line), in the
// line end the size line set: returns where it ends, or nullptr.
const char *parse_roomy_record(const char *p, const shared_prefix &prefix, int line_end,
                               std::uint64_t &offset, unsigned &value)
{
    const char *q = nullptr;
    const unsigned shared = prefix.length;
    if (prefix.line != nullptr && p[shared + 2] == ':' &&
        (((load_word(p) ^ load_word(prefix.line)) & prefix.mask[0]) |
         ((load_word(p + 8) ^ load_word(prefix.line + 8)) & prefix.mask[1])) == 0) {
        const unsigned high = hex_value(p[shared]), low = hex_value(p[shared + 1]);
        offset = prefix.key << 8 | high << 4 | low;
        q = (high | low) < 16 ? p + shared + 3 : nullptr;
    } else if ((q = parse_hex(p, p + LONGEST_LINE, 16, offset)) != nullptr) {
        q = *q == ':' ? q + 1 : nullptr;
    }
    if (q == nullptr)
        return nullptr;
    // The value: one or two digits, no leading zero.
    const unsigned first = hex_value(q[0]), second = hex_value(q[1]);
    if (first >= 16 || (second < 16 && (first == 0 || hex_value(q[2]) < 16)))
        return nullptr;
    value = second < 16 ? first << 4 | second : first;
    q += second < 16 ? 2 : 1;
    if (line_end == 1)
        return *q == '\n' ? q + 1 : nullptr;
    return q[0] == '\r' && q[1] == '\n' ? q + 2 : nullptr;
}

// A record line near the end of the patch, every byte checked against end.
const char *parse_last_record(patch_reader &reader, const char *p, std::uint64_t &offset,
                              unsigned &value)
{
    std::uint64_t wide;
    p = parse_hex(p, reader.end, 16, offset);
    if (p == nullptr || p == reader.end || *p++ != ':' ||
        (p = parse_hex(p, reader.end, 2, wide)) == nullptr)
        return nullptr;
    value = static_cast<unsigned>(wide);
    return parse_line_end(reader, p);
}

} // namespace

void start_reading(patch_reader &reader, FILE *stream, char *buffer, std::size_t capacity,
                   FILE *copy, piece_hashes *pieces)
{
    reader = {};
    reader.stream = stream;
    reader.copy = copy;
    reader.pieces = pieces;
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

std::size_t read_records(patch_reader &reader, std::uint64_t *offsets, unsigned char *values,
                         std::size_t count, patch_line &stop)
{
    // Kept in locals through the loop, where the stores of records cannot
    // touch them.
    shared_prefix prefix;
    const char *next = reader.next, *end = reader.end;
    std::uint64_t last = reader.offset, line = reader.line;
    const int line_end = reader.line_end;
    std::size_t read = 0;
    stop = patch_line::read;
    for (; read < count; ++read) {
        if (end - next <= static_cast<std::ptrdiff_t>(LONGEST_LINE)) {
            prefix.line = nullptr; // the bytes it points to move
            reader.next = next;
            if (!fill(reader)) {
                stop = patch_line::unreadable;
                break;
            }
            next = reader.next, end = reader.end;
        }
        if (next == end) {
            stop = patch_line::end;
            break;
        }
        std::uint64_t offset;
        unsigned value;
        const char *p = end - next > static_cast<std::ptrdiff_t>(LONGEST_LINE)
                            ? parse_roomy_record(next, prefix, line_end, offset, value)
                            : parse_last_record(reader, next, offset, value);
        if (p == nullptr || (line > 1 && offset <= last)) {
            stop = patch_line::malformed;
            break;
        }
        if (offset >= reader.size) {
            stop = patch_line::beyond_size;
            break;
        }
        keep_prefix(prefix, next, offset);
        next = p;
        last = offsets[read] = offset;
        values[read] = static_cast<unsigned char>(value);
        ++line;
    }
    reader.next = next;
    reader.offset = last;
    reader.line = line;
    return read;
}
