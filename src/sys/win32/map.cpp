// Views on Windows: blocks of the inputs mapped to be compared, and the fault
// that a shrunken file or a failed disk gives through them; writes in place.
#include "core/files.hpp"
#include "sys/win32/win32.hpp"

#include <cstdint>

#include <io.h>
#include <windows.h>

// No other process writes the original while the run holds it: in place its
// handle shares it for reading only.
bool write_in_place(in_place_writer &writer, std::int64_t offset, const void *bytes,
                    std::size_t length)
{
    return write_at(writer.file, offset, bytes, length);
}

bool finish_in_place(in_place_writer &writer)
{
    return flush_to_disk(writer.file);
}

// Windows cannot report holes here: every byte is copied.
bool hides_holes(FILE *, std::int64_t)
{
    return false;
}

namespace
{
struct view {
    std::uintptr_t start;
    std::size_t length;
};
volatile view views[2];

void note_view(const void *address, std::size_t length)
{
    for (volatile view &held : views)
        if (held.length == 0) {
            held.start = reinterpret_cast<std::uintptr_t>(address);
            held.length = length;
            return;
        }
}

void forget_view(const void *address)
{
    for (volatile view &held : views)
        if (held.start == reinterpret_cast<std::uintptr_t>(address))
            held.length = 0;
}

bool is_in_view(std::uintptr_t address)
{
    for (const volatile view &held : views)
        if (held.length != 0 && address - held.start < held.length)
            return true;
    return false;
}

// A failed read of a view's page shows as an in-page error (under Wine, as an
// access violation); any other fault, or one outside the views, stays a crash.
LONG CALLBACK end_on_view_fault(EXCEPTION_POINTERS *fault)
{
    const EXCEPTION_RECORD *record = fault->ExceptionRecord;
    if ((record->ExceptionCode == EXCEPTION_IN_PAGE_ERROR ||
         record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) &&
        record->NumberParameters >= 2 && is_in_view(record->ExceptionInformation[1]))
        end_on_fault(fault::read);
    return EXCEPTION_CONTINUE_SEARCH;
}
} // namespace

namespace
{
// One mapping object for each input, made at its first view and kept for the
// run: making one for every view costs a round trip each time.
HANDLE get_mapping(FILE *stream)
{
    static struct {
        FILE *stream;
        HANDLE mapping;
    } made[2];
    for (auto &input : made)
        if (input.stream == stream)
            return input.mapping;
    for (auto &input : made)
        if (input.stream == nullptr) {
            input = {stream,
                     CreateFileMappingW(get_handle(stream), nullptr, PAGE_READONLY, 0, 0, nullptr)};
            return input.mapping;
        }
    return nullptr;
}
} // namespace

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

bool can_map(FILE *stream)
{
    return GetFileType(get_handle(stream)) == FILE_TYPE_DISK;
}

bool map_block(FILE *stream, std::int64_t offset, std::size_t length, mapped_block &block)
{
    // Views start on the allocation granularity; the block may not.
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const std::int64_t start = offset - offset % system.dwAllocationGranularity;
    const auto lead = static_cast<std::size_t>(offset - start);
    HANDLE mapping = get_mapping(stream);
    if (mapping == nullptr)
        return false;
    void *address = MapViewOfFileEx(mapping, FILE_MAP_READ, static_cast<DWORD>(start >> 32),
                                    static_cast<DWORD>(start), length + lead,
                                    find_aligned_place(length + lead));
    if (address == nullptr)
        address = MapViewOfFile(mapping, FILE_MAP_READ, static_cast<DWORD>(start >> 32),
                                static_cast<DWORD>(start), length + lead);
    if (address == nullptr)
        return false;
    block = {address, length + lead, static_cast<const unsigned char *>(address) + lead};
    note_view(address, block.length);
    return true;
}

void unmap_block(mapped_block &block)
{
    forget_view(block.address);
    UnmapViewOfFile(block.address);
}

// The system reads ahead of a sequential scan by itself.
void prefetch(FILE *, std::int64_t, std::int64_t) {}

bool input_holds(FILE *stream, std::int64_t size)
{
    LARGE_INTEGER length;
    return GetFileSizeEx(get_handle(stream), &length) != 0 && length.QuadPart >= size;
}

void guard_mapped_reads()
{
    static void *handler = nullptr;
    if (handler == nullptr)
        handler = AddVectoredExceptionHandler(1, end_on_view_fault);
}

// Windows cannot report holes here: everything is data.
extent find_extent(FILE *, std::int64_t, std::int64_t limit)
{
    return {true, limit};
}
