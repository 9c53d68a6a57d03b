// What torvex is measured against, and a helper for cold runs:
//   floor read A B   reads both inputs front to back in 10 MiB read() calls:
//                    the cost of getting their bytes at all;
//   floor map A B    maps both inputs 10 MiB at a time and compares them with
//                    memcmp, page by page: the cost of comparing them in place;
//   floor block A B  maps both 10 MiB at a time, populated (MAP_POPULATE), and
//                    compares each block with one memcmp call: the least any
//                    comparison can do on one core;
//   floor pieces A B reads both 1 MiB at a time by position into page-aligned
//                    buffers and compares each piece with one memcmp call: the
//                    least a comparison that reads (and so copies) can do;
//   floor drop F...  drops the files from the page cache (no special rights).
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

constexpr std::size_t BLOCK = 10 << 20;
constexpr std::size_t PAGE = 4096;

int read_both(int a, int b)
{
    std::vector<char> buffer_a(BLOCK), buffer_b(BLOCK);
    for (;;) {
        const ssize_t got_a = read(a, buffer_a.data(), BLOCK);
        const ssize_t got_b = read(b, buffer_b.data(), BLOCK);
        if (got_a < 0 || got_b < 0)
            return 1;
        if (got_a == 0 && got_b == 0)
            return 0;
    }
}

// Compares in pieces of piece bytes (a whole block at most) with one memcmp each.
int map_both(int a, int b, std::size_t piece, int flags)
{
    struct stat info;
    if (fstat(a, &info) != 0)
        return 1;
    std::size_t differing = 0;
    for (off_t base = 0; base < info.st_size; base += BLOCK) {
        const auto length = std::min<std::size_t>(BLOCK, info.st_size - base);
        void *map_a = mmap(nullptr, length, PROT_READ, MAP_SHARED | flags, a, base);
        void *map_b = mmap(nullptr, length, PROT_READ, MAP_SHARED | flags, b, base);
        if (map_a == MAP_FAILED || map_b == MAP_FAILED)
            return 1;
        for (std::size_t i = 0; i < length; i += piece)
            differing += std::memcmp(static_cast<char *>(map_a) + i, static_cast<char *>(map_b) + i,
                                     std::min(piece, length - i)) != 0;
        munmap(map_a, length);
        munmap(map_b, length);
    }
    std::printf("%zu pieces differ\n", differing);
    return 0;
}

// Reads both a piece at a time by position and compares each piece whole.
int read_pieces(int a, int b)
{
    constexpr std::size_t PIECE = 1 << 20;
    void *buffers = std::aligned_alloc(PAGE, 2 * PIECE);
    auto *piece_a = static_cast<char *>(buffers), *piece_b = piece_a + PIECE;
    std::size_t differing = 0;
    for (off_t at = 0;; at += PIECE) {
        const ssize_t got_a = pread(a, piece_a, PIECE, at), got_b = pread(b, piece_b, PIECE, at);
        if (got_a < 0 || got_a != got_b)
            return 1;
        if (got_a == 0)
            break;
        differing += std::memcmp(piece_a, piece_b, static_cast<std::size_t>(got_a)) != 0;
    }
    std::free(buffers);
    std::printf("%zu pieces differ\n", differing);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "drop") {
        for (int i = 2; i < argc; ++i) {
            const int fd = open(argv[i], O_RDONLY);
            if (fd < 0 || posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) != 0)
                return 1;
            close(fd);
        }
        return 0;
    }
    if (argc != 4 || (mode != "read" && mode != "map" && mode != "block" && mode != "pieces")) {
        std::fputs("usage: floor read|map|block|pieces A B, or floor drop FILE...\n", stderr);
        return 2;
    }
    const int a = open(argv[2], O_RDONLY);
    const int b = open(argv[3], O_RDONLY);
    if (a < 0 || b < 0)
        return 1;
    return mode == "read"     ? read_both(a, b)
           : mode == "pieces" ? read_pieces(a, b)
           : mode == "map"    ? map_both(a, b, PAGE, 0)
                              : map_both(a, b, BLOCK, MAP_POPULATE);
}
