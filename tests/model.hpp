// The plain model of the record lines, and a way to catch what is written
// to a stream, shared by the unit tests and the fuzz target.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

// One "%X:%X" line per differing byte, in order; base is the first offset.
inline std::string model_records(const unsigned char *a, const unsigned char *b, std::size_t length,
                                 std::uint64_t base = 0)
{
    std::string out;
    char line[48];
    for (std::size_t i = 0; i < length; ++i)
        if (a[i] != b[i]) {
            std::snprintf(line, sizeof line, "%llX:%X\n", static_cast<unsigned long long>(base + i),
                          static_cast<unsigned>(b[i]));
            out += line;
        }
    return out;
}

inline std::string model_records(const std::string &a, const std::string &b)
{
    return model_records(reinterpret_cast<const unsigned char *>(a.data()),
                         reinterpret_cast<const unsigned char *>(b.data()), a.size());
}

// Whatever fn writes to the stream it is given.
inline std::string capture(const std::function<void(FILE *)> &fn)
{
    char *data = nullptr;
    std::size_t length = 0;
    FILE *stream = open_memstream(&data, &length);
    fn(stream);
    std::fclose(stream);
    std::string out(data, length);
    std::free(data);
    return out;
}
