// A library preloaded into a program under test (LD_PRELOAD) to make one event happen at a known
// point of its run: at the first call of the function named by TORVEX_AT (fsync, ftruncate, pread,
// pwrite), it runs the shell command in TORVEX_DO, or with TORVEX_DO=fail every call of it fails
// with EPERM (malloc: every allocation of a buffer, 1 MiB or more, fails).
#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace
{
// The command runs without this library, and with the signals as they are: system() would hold
// off SIGINT from the program meanwhile.
void run(const char *command)
{
    const pid_t child = fork();
    if (child == 0) {
        unsetenv("LD_PRELOAD");
        execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
        _exit(127);
    }
    while (child > 0 && waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// True where this call must fail; errno is then set.
bool act(const char *function)
{
    static bool done = false;
    const char *at = std::getenv("TORVEX_AT"), *what = std::getenv("TORVEX_DO");
    if (at == nullptr || what == nullptr || std::strcmp(at, function) != 0)
        return false;
    if (std::strcmp(what, "fail") == 0)
        return errno = EPERM, true;
    if (!done)
        done = true, run(what);
    return false;
}

template <typename Function> Function *get_real(const char *name)
{
    return reinterpret_cast<Function *>(dlsym(RTLD_NEXT, name));
}
} // namespace

__attribute__((constructor)) void open_memory_file()
{
    if (const char *fd = std::getenv("TORVEX_MEMFD"))
        dup2(memfd_create("undo", 0), std::atoi(fd));
}

// The names the programs call, built with 64-bit file offsets.
extern "C" {
int fsync(int fd)
{
    static auto *real = get_real<int(int)>("fsync");
    return act("fsync") ? -1 : real(fd);
}

int ftruncate64(int fd, off64_t length)
{
    static auto *real = get_real<int(int, off64_t)>("ftruncate64");
    return act("ftruncate") ? -1 : real(fd, length);
}

void *malloc(size_t size)
{
    static auto *real = get_real<void *(size_t)>("malloc");
    return size >= (1 << 20) && act("malloc") ? nullptr : real(size);
}

ssize_t pread64(int fd, void *buffer, size_t length, off64_t offset)
{
    static auto *real = get_real<ssize_t(int, void *, size_t, off64_t)>("pread64");
    return act("pread") ? -1 : real(fd, buffer, length, offset);
}

ssize_t pwrite64(int fd, const void *buffer, size_t length, off64_t offset)
{
    static auto *real = get_real<ssize_t(int, const void *, size_t, off64_t)>("pwrite64");
    return act("pwrite") ? -1 : real(fd, buffer, length, offset);
}
}
