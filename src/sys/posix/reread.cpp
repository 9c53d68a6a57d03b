// Reading the patch twice on POSIX systems: how, and the key of its pieces.
#include "core/reread.hpp"
#include "core/copy.hpp"
#include "sys/posix/posix.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

rereading plan_rereading(FILE *patch, FILE *original, FILE *&copy)
{
    struct stat info;
    copy = nullptr;
    if (fstat(fileno(patch), &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_size <= MOST_VERIFIED_PATCH)
        return rereading::verified;
    copy = open_private_file(original);
    return copy != nullptr ? rereading::from_copy : rereading::no_copy;
}

std::uint64_t get_random_key()
{
    std::uint64_t key = static_cast<std::uint64_t>(getpid()) << 32 ^
                        static_cast<std::uint64_t>(time(nullptr)) ^
                        reinterpret_cast<std::uintptr_t>(&key);
    const int random = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (random >= 0) {
        std::uint64_t read_key;
        if (read(random, &read_key, sizeof read_key) == sizeof read_key)
            key ^= read_key;
        close(random);
    }
    return key;
}

void write_lines_as_text(FILE *) {} // they end in LF

bool keep_writers_out(FILE *, FILE *)
{
    return true; // nothing can here; the run checks what it reads instead
}
