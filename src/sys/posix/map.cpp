// Mappings on POSIX systems: blocks of the inputs mapped to be compared, and
// the fault (SIGBUS) that a file that shrank or a disk that failed gives
// through them, turned back into a read error of the thread that met it.
#include "core/map.hpp"

#include <csetjmp>
#include <csignal>

#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

bool can_map(FILE *stream)
{
    struct stat info;
    return fstat(fileno(stream), &info) == 0 && S_ISREG(info.st_mode);
}

double get_seconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void release_pages(void *pages, std::size_t length)
{
    // Whole pages only: the system would take the rest of a partial one, which
    // holds other bytes. Not posix_madvise: glibc's ignores POSIX_MADV_DONTNEED.
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(pages);
    const std::uintptr_t first = (start + page - 1) / page * page,
                         end = (start + length) / page * page;
    if (first < end)
        madvise(reinterpret_cast<void *>(first), end - first, MADV_DONTNEED);
}

bool map_block(FILE *stream, std::int64_t offset, std::size_t length, mapped_block &block)
{
    // Mappings start on a page; the block may not.
    const auto page = static_cast<std::int64_t>(sysconf(_SC_PAGESIZE));
    const std::int64_t start = offset - offset % page;
    const auto lead = static_cast<std::size_t>(offset - start);
    void *address = mmap(nullptr, length + lead, PROT_READ, MAP_SHARED, fileno(stream), start);
    if (address == MAP_FAILED)
        return false;
    block = {address, length + lead, static_cast<const unsigned char *>(address) + lead};
    return true;
}

void unmap_block(mapped_block &block)
{
    munmap(block.address, block.length);
}

namespace
{
// Where the thread's guarded body goes back to on a fault, while it runs.
thread_local sigjmp_buf *recovery = nullptr;
// The handler before the library's, and how many guarded bodies run.
pthread_mutex_t guards_lock = PTHREAD_MUTEX_INITIALIZER;
int guards = 0;
struct sigaction kept_action;

void on_fault(int signal, siginfo_t *info, void *context)
{
    if (recovery != nullptr)
        siglongjmp(*recovery, 1);
    // Not the library's: as the handler before would have it. Returning to the
    // faulting access under the default action meets the fault again and ends
    // the process by it.
    if (kept_action.sa_flags & SA_SIGINFO)
        kept_action.sa_sigaction(signal, info, context);
    else if (kept_action.sa_handler != SIG_DFL && kept_action.sa_handler != SIG_IGN)
        kept_action.sa_handler(signal);
    else
        sigaction(SIGBUS, &kept_action, nullptr);
}

void hold_handler(int change)
{
    pthread_mutex_lock(&guards_lock);
    guards += change;
    if (change > 0 && guards == 1) {
        struct sigaction action {
        };
        action.sa_sigaction = on_fault;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_SIGINFO | SA_NODEFER; // left by a jump: nothing to unblock
        sigaction(SIGBUS, &action, &kept_action);
    } else if (change < 0 && guards == 0) {
        sigaction(SIGBUS, &kept_action, nullptr);
    }
    pthread_mutex_unlock(&guards_lock);
}

// Apart, so that nothing of the caller's lives across the jump.
bool run_body(void (*body)(void *), void *context)
{
    sigjmp_buf jump;
    if (sigsetjmp(jump, 0) != 0) {
        recovery = nullptr;
        return false;
    }
    recovery = &jump;
    body(context);
    recovery = nullptr;
    return true;
}
} // namespace

bool guard_faults(void (*body)(void *context), void *context)
{
    hold_handler(1);
    const bool whole = run_body(body, context);
    hold_handler(-1);
    return whole;
}
