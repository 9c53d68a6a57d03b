// The plain model of the record lines, and one driver checking every path of the comparison
// against it; the unit test and the fuzz target feed it.
#pragma once

#include "core/apply.hpp"
#include "core/compare.hpp"
#include "core/invert.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

using bytes = std::basic_string<unsigned char>;

// One "%X:%X" line per differing byte, in order.
inline std::string model_records(const bytes &a, const bytes &b)
{
    std::string out;
    char line[48];
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) {
            std::snprintf(line, sizeof line, "%zX:%X\n", i, b[i]);
            out += line;
        }
    return out;
}

// A temporary file holding content, in which every 4 KiB page of zeros is left a hole.
inline FILE *make_input(const bytes &content)
{
    FILE *file = std::tmpfile();
    if (ftruncate(fileno(file), static_cast<off_t>(content.size())) != 0)
        std::abort();
    for (std::size_t at = 0; at < content.size(); at += 4096) {
        const bytes page = content.substr(at, 4096);
        if (page.find_first_not_of('\0') != bytes::npos &&
            pwrite(fileno(file), page.data(), page.size(), static_cast<off_t>(at)) < 0)
            std::abort();
    }
    return file;
}

// What was written to a temporary stream, which this closes.
inline std::string read_back(FILE *stream)
{
    std::string out(static_cast<std::size_t>(std::ftell(stream)), '\0');
    std::rewind(stream);
    out.resize(std::fread(out.data(), 1, out.size(), stream));
    std::fclose(stream);
    return out;
}

// The records the block comparison writes for two such files of size bytes; it must end done.
inline std::string run_blocks(const bytes &original, const bytes &changed, std::size_t block_size,
                              bool map_files, std::int64_t size)
{
    FILE *a = make_input(original), *b = make_input(changed), *patch = std::tmpfile();
    std::int64_t whole = -1;
    if (compare_blocks(a, b, patch, size, whole, map_files, block_size) != compare_status::done)
        std::abort();
    std::fclose(a), std::fclose(b);
    return read_back(patch);
}

// A temporary folder for a file "new", removed with it; on tmpfs where there is one: fsync is free.
struct scratch_folder {
    std::string path =
        access("/dev/shm", W_OK) == 0 ? "/dev/shm/torvex-XXXXXX" : "/tmp/torvex-XXXXXX";
    scratch_folder() { mkdtemp(path.data()); }
    ~scratch_folder() { std::remove((path + "/new").c_str()), rmdir(path.c_str()); }
};

inline std::string read_file(const std::string &path)
{
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

// Applies patch text to original, in place (on a copy) and to a new file, and inverts it. Returns
// each status and what each left: the new file and the undo ("" where not made) and the original.
struct applied_both {
    apply_result in_place, to_new_file, inverted;
    std::string new_file, original, undo;
};
inline applied_both apply_both(const bytes &original, const std::string &text)
{
    applied_both out;
    scratch_folder folder;
    FILE *patch = std::tmpfile(), *copy = make_input(original);
    std::fwrite(text.data(), 1, text.size(), patch);
    const auto size = static_cast<std::int64_t>(original.size());
    const std::string path = folder.path + "/new", undo = folder.path + "/undo";
    for (int run = 0; run < 3; ++run) { // the new file and the undo from the untouched copy
        std::rewind(patch);
        target place =
            open_target(run == 1 ? undo.c_str() : path.c_str(), copy, patch, pipe_use::awaited);
        if (run == 0)
            out.to_new_file = apply_to_new_file(copy, size, place, patch);
        else if (run == 1)
            out.inverted = invert_to_new_file(copy, size, place, patch);
        else
            out.in_place = apply_in_place(copy, size, copy, patch, rereading::verified, nullptr);
        close_target(place);
    }
    out.new_file = read_file(path);
    out.undo = read_file(undo);
    std::remove(undo.c_str());
    std::fclose(patch);
    out.original = read_back((std::fseek(copy, 0, SEEK_END), copy));
    return out;
}

// Byte 0 picks the block size (scaled with the spread); byte 1 how far apart the bytes are spread
// in the files (up to 16 of them), so that holes come between them; the rest holds the original,
// then what to XOR it with to make the new file. Returns what went wrong, or nothing.
inline std::string check_pair(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return "";
    const std::size_t stride = 1 + data[1] % 4 * 1365;
    const std::size_t count = std::min<std::size_t>((size - 2) / 2, stride > 1 ? 16 : size);
    const std::size_t block_size =
        data[0] == 255 ? BLOCK_SIZE : (data[0] + 1) * (stride > 1 ? 97 : 1);
    bytes a(count * stride, 0), b = a;
    for (std::size_t i = 0; i < count; ++i) {
        a[i * stride] = data[2 + i];
        b[i * stride] = data[2 + i] ^ data[2 + count + i];
    }
    const std::string expected = model_records(a, b);
    for (bool mapped : {true, false})
        if (run_blocks(a, b, block_size, mapped, static_cast<std::int64_t>(a.size())) != expected)
            return mapped ? "mapped blocks differ" : "read blocks differ";
    // The round trip: the patch gives back the new file, in place and anew.
    char size_line[24];
    std::snprintf(size_line, sizeof size_line, "%zX\n", a.size());
    const applied_both applied = apply_both(a, size_line + expected);
    const std::string want(b.begin(), b.end());
    if (applied.in_place.status != apply_status::applied || applied.original != want)
        return "applying in place differs";
    if (applied.to_new_file.status != apply_status::applied || applied.new_file != want)
        return "applying to a new file differs";
    // The undo is the patch of the pair the other way round, and gives back the original.
    if (applied.inverted.status != apply_status::applied ||
        applied.undo != size_line + model_records(b, a))
        return "the undo differs";
    if (apply_both(b, applied.undo).original != std::string(a.begin(), a.end()))
        return "applying the undo differs";
    for (scan_path path : {scan_path::portable, scan_path::sse2, scan_path::avx2}) {
        char buffer[160]; // small, so that records are flushed mid-span
        patch_writer patch;
        start_patch(patch, std::tmpfile(), buffer, sizeof buffer);
        compare_buffers(a.data(), b.data(), a.size(), 0, patch, path);
        flush_patch(patch);
        if (read_back(patch.stream) != expected)
            return "scan " + std::to_string(static_cast<int>(path)) + " differs"; // 0 portable
    }
    return "";
}
