// Views on Windows: blocks of the inputs mapped to be compared, and the fault
// that a file that shrank or a disk that failed gives through them (an
// in-page error; under Wine an access violation) turned back into a read
// error of the thread that met it.
#include "core/map.hpp"
#include "sys/win32/win32.hpp"

#include <cstdint>

bool can_map(FILE *stream)
{
    BY_HANDLE_FILE_INFORMATION info;
    const HANDLE file = get_handle(stream);
    return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) != 0 &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

namespace
{
// A free place for a view that starts on 2 MiB, where the system under Wine
// can map large folios of the page cache whole: a view elsewhere takes ten
// times the faults. Only a hint: another thread may take it first.
void *find_aligned_place(std::size_t length)
{
    constexpr std::uintptr_t ALIGN = 2 << 20;
    void *probe = VirtualAlloc(nullptr, length + ALIGN, MEM_RESERVE, PAGE_NOACCESS);
    if (probe == nullptr)
        return nullptr;
    VirtualFree(probe, 0, MEM_RELEASE);
    return reinterpret_cast<void *>((reinterpret_cast<std::uintptr_t>(probe) + ALIGN - 1) &
                                    ~(ALIGN - 1));
}

// The views the thread's guarded body holds: a fault elsewhere is not ours.
struct held_view {
    std::uintptr_t start;
    std::size_t length;
};
thread_local held_view views[2];
// Where the thread's guarded body goes back to on a fault, while it runs.
thread_local void **recovery = nullptr;
} // namespace

double get_seconds()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The heap's pages stay: the system trims a working set by itself.
void release_pages(void *, std::size_t) {}

bool map_block(FILE *stream, std::int64_t offset, std::size_t length, mapped_block &block)
{
    // Views start on the allocation granularity; the block may not.
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const std::int64_t start = offset - offset % system.dwAllocationGranularity;
    const auto lead = static_cast<std::size_t>(offset - start);
    // The view keeps the mapping object alive once its handle is closed.
    const HANDLE mapping =
        CreateFileMappingA(get_handle(stream), nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr)
        return false;
    const auto high = static_cast<DWORD>(static_cast<std::uint64_t>(start) >> 32);
    const auto low = static_cast<DWORD>(start);
    void *address = MapViewOfFileEx(mapping, FILE_MAP_READ, high, low, length + lead,
                                    find_aligned_place(length + lead));
    if (address == nullptr)
        address = MapViewOfFile(mapping, FILE_MAP_READ, high, low, length + lead);
    CloseHandle(mapping);
    if (address == nullptr)
        return false;
    block = {address, length + lead, static_cast<const unsigned char *>(address) + lead};
    for (held_view &view : views)
        if (view.length == 0) {
            view = {reinterpret_cast<std::uintptr_t>(address), block.length};
            break;
        }
    return true;
}

void unmap_block(mapped_block &block)
{
    for (held_view &view : views)
        if (view.start == reinterpret_cast<std::uintptr_t>(block.address))
            view.length = 0;
    UnmapViewOfFile(block.address);
}

namespace
{
bool is_in_view(std::uintptr_t address)
{
    for (const held_view &view : views)
        if (view.length != 0 && address - view.start < view.length)
            return true;
    return false;
}

// Where a faulting body resumes: a plain frame, from which the jump back needs
// no unwinding through the system's exception dispatch.
[[noreturn]] void leave_body()
{
    __builtin_longjmp(recovery, 1);
}

// A fault in one of the thread's views, while its guarded body runs, resumes in
// leave_body; any other goes on to the handlers after.
LONG CALLBACK on_fault(EXCEPTION_POINTERS *fault)
{
    const EXCEPTION_RECORD *record = fault->ExceptionRecord;
    if (recovery == nullptr ||
        (record->ExceptionCode != EXCEPTION_IN_PAGE_ERROR &&
         record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) ||
        record->NumberParameters < 2 || !is_in_view(record->ExceptionInformation[1]))
        return EXCEPTION_CONTINUE_SEARCH;
    CONTEXT *context = fault->ContextRecord;
    // As if leave_body had been called: the stack aligned as a call leaves it.
#ifdef _WIN64
    context->Rsp = (context->Rsp & ~DWORD64{15}) - 8;
    context->Rip = reinterpret_cast<DWORD64>(&leave_body);
#else
    context->Esp = (context->Esp & ~DWORD{15}) - 4;
    context->Eip = reinterpret_cast<DWORD>(&leave_body);
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

// Apart, so that nothing of the caller's lives across the jump.
[[gnu::noinline]] bool run_body(void (*body)(void *), void *context)
{
    void *jump[5];
    if (__builtin_setjmp(jump) != 0) {
        recovery = nullptr;
        return false;
    }
    recovery = jump;
    body(context);
    recovery = nullptr;
    return true;
}
} // namespace

bool guard_faults(void (*body)(void *context), void *context)
{
    // First in line for the call's length, and only for its own views.
    void *handler = AddVectoredExceptionHandler(1, on_fault);
    if (handler == nullptr)
        return false;
    const bool whole = run_body(body, context);
    RemoveVectoredExceptionHandler(handler);
    return whole;
}
