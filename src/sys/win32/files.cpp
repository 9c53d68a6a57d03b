// The file helpers on Windows: file types and identity from the runtime and
// the Windows API, 64-bit positions, views of blocks, replacement by
// MoveFileEx. Every path goes to the wide calls in its long form
// (win32-paths.hpp).
#define _CRT_RAND_S // rand_s, from the C runtime
#include "sys/platform.hpp"
#include "core/files.hpp"
#include "programs/report.hpp"
#include "sys/win32/paths.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace
{
// A stream over a handle, which it then owns; nullptr where it cannot be had.
FILE *open_stream(HANDLE handle, int flags, const char *mode)
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    FILE *stream = _fdopen(fd, mode);
    if (stream == nullptr)
        _close(fd);
    return stream;
}

// CreateFileW on the long form of a UTF-8 path. A path that cannot name a
// file fails as an invalid name.
HANDLE open_path(const char *path, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    const std::wstring wide = get_wide_path(path);
    if (wide.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(wide.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
} // namespace

FILE *open_file(const char *path)
{
    // Read front to back once: sequential scanning asks for generous read-ahead.
    HANDLE handle =
        open_path(path, GENERIC_READ, SHARE_ALL, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
    FILE *stream =
        handle == INVALID_HANDLE_VALUE ? nullptr : open_stream(handle, _O_RDONLY | _O_BINARY, "rb");
    // A console or a pipe has no size to measure, and reading it could wait forever.
    struct _stat64 info;
    if (stream == nullptr || _fstat64(_fileno(stream), &info) != 0 ||
        (info.st_mode & _S_IFMT) != _S_IFREG)
        fatal_error(messages::open_failed);
    return stream;
}

// The runtime's 64-bit positions: plain ftell stops at 2 GiB there.
std::int64_t tell(FILE *stream)
{
    return _ftelli64(stream);
}

bool seek(FILE *stream, std::int64_t offset, int origin)
{
    return _fseeki64(stream, offset, origin) == 0;
}

namespace
{
// Through the API itself: every Windows has it, where the runtime's 64-bit
// _chsize_s is not in every msvcrt.dll.
bool set_handle_length(HANDLE handle, std::int64_t length)
{
    LARGE_INTEGER at;
    at.QuadPart = length;
    return SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) != 0 && SetEndOfFile(handle) != 0;
}
} // namespace

void cut_file(int fd, std::int64_t length)
{
    set_handle_length(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), length);
}

// Not _exit: the runtime would flush its streams as it unloads, and with them
// the records of the block that failed.
void end_process_now(int status)
{
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    ExitProcess(static_cast<UINT>(status));
}

namespace
{
bool get_identity(HANDLE handle, BY_HANDLE_FILE_INFORMATION &info)
{
    return handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info) != 0;
}

HANDLE get_handle(FILE *stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// The path the system gives an open file, with its drive letter; empty where
// it gives none.
std::wstring get_final_path(HANDLE handle)
{
    std::wstring path(32768, L'\0');
    const DWORD length =
        GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    path.resize(length < path.size() ? length : 0);
    return path;
}

// An open file's path from its volume's root, where the final path cannot be
// had (Wine gives none past MAX_PATH characters); empty where neither can.
std::wstring get_path_on_volume(HANDLE handle)
{
    std::vector<DWORD> room(2 + 32768 / 2);
    auto *info = reinterpret_cast<FILE_NAME_INFO *>(room.data());
    if (GetFileInformationByHandleEx(handle, FileNameInfo, info,
                                     static_cast<DWORD>(room.size() * sizeof(DWORD))) == 0)
        return {};
    return std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t));
}

bool have_same_path(HANDLE a, HANDLE b)
{
    std::wstring x = get_final_path(a), y = get_final_path(b);
    if (x.empty() || y.empty()) {
        x = get_path_on_volume(a);
        y = get_path_on_volume(b);
    }
    return !x.empty() && CompareStringOrdinal(x.c_str(), static_cast<int>(x.size()), y.c_str(),
                                              static_cast<int>(y.size()), TRUE) == CSTR_EQUAL;
}

// Windows has no loop devices here, and inputs are regular files. Two handles
// are one file only where every identity agrees: the volume serial and file
// index (which Wine, as some network redirectors, gives alike to files of
// different file systems), then the final path. Serial and index alike with
// paths that differ (a hard link has its own) or cannot be read may still be
// one file: they overlap. Handles without an identity are devices or pipes.
data_relation relate_handles(HANDLE a, HANDLE b)
{
    BY_HANDLE_FILE_INFORMATION x;
    BY_HANDLE_FILE_INFORMATION y;
    if (!get_identity(a, x) || !get_identity(b, y) ||
        x.dwVolumeSerialNumber != y.dwVolumeSerialNumber || x.nFileIndexHigh != y.nFileIndexHigh ||
        x.nFileIndexLow != y.nFileIndexLow)
        return data_relation::separate;
    return have_same_path(a, b) ? data_relation::same : data_relation::overlapping;
}

bool is_separate(HANDLE a, FILE *b)
{
    return relate_handles(a, get_handle(b)) == data_relation::separate;
}
} // namespace

data_relation relate_data(FILE *a, FILE *b)
{
    return relate_handles(get_handle(a), get_handle(b));
}

FILE *create_file(const char *path, FILE *original, FILE *changed)
{
    // OPEN_ALWAYS: an existing file is opened as it is, emptied only once it
    // is known not to be an input.
    HANDLE handle = open_path(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL);
    if (handle == INVALID_HANDLE_VALUE)
        fatal_error(messages::create_failed);
    if (!is_separate(handle, original) || !is_separate(handle, changed) ||
        (GetFileType(handle) == FILE_TYPE_DISK && SetEndOfFile(handle) == 0)) {
        CloseHandle(handle);
        fatal_error(messages::create_failed);
    }
    FILE *stream = open_stream(handle, _O_WRONLY | _O_TEXT, "w");
    if (stream == nullptr)
        fatal_error(messages::create_failed);
    return stream;
}

// Shared for reading only: no one may write the patch while the run holds it.
FILE *open_patch(const char *path)
{
    HANDLE handle = open_path(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    FILE *stream =
        handle == INVALID_HANDLE_VALUE ? nullptr : open_stream(handle, _O_RDONLY | _O_BINARY, "rb");
    if (stream == nullptr)
        fatal_error(messages::open_failed);
    return stream;
}

// The patch's share mode keeps out only the programs that honour it (not a
// file server's other clients, nor Wine's host): a patch file is verified
// piece by piece as it is read again, as elsewhere; one too long for that is
// kept in a private file.
rereading plan_rereading(FILE *patch, FILE *original, FILE *&copy)
{
    copy = nullptr;
    LARGE_INTEGER length;
    if (!rewind_file(patch) || GetFileSizeEx(get_handle(patch), &length) == 0)
        return rereading::not_twice;
    if (length.QuadPart <= MOST_VERIFIED_PATCH)
        return rereading::verified;
    copy = open_private_file(original);
    return copy != nullptr ? rereading::from_copy : rereading::no_copy;
}

// From the system's random source (rand_s, through RtlGenRandom), the clock
// mixed in where it fails.
std::uint64_t get_random_key()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    std::uint64_t key = static_cast<std::uint64_t>(now.QuadPart) ^
                        static_cast<std::uint64_t>(GetCurrentProcessId()) << 32;
    unsigned int low = 0, high = 0;
    if (rand_s(&low) == 0 && rand_s(&high) == 0)
        key ^= static_cast<std::uint64_t>(high) << 32 | low;
    return key;
}

// Shared with no one, and deleted as it is closed.
FILE *open_private_file(FILE *original)
{
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH)
        return nullptr;
    for (int attempt = 0; attempt < 100; ++attempt) {
        wchar_t name[MAX_PATH + 64];
        _snwprintf(name, std::size(name), L"%ls.torvex-%lu-%d", folder, GetCurrentProcessId(),
                   attempt);
        HANDLE handle = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (handle != INVALID_HANDLE_VALUE)
            return !is_separate(handle, original) ? (CloseHandle(handle), nullptr)
                                                  : open_stream(handle, _O_RDWR | _O_BINARY, "w+b");
        if (GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    return nullptr;
}

#ifdef TORVEX_TEST_PAUSE
void pause_for_test()
{
    wchar_t name[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"TORVEX_PAUSE", name, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    CloseHandle(CreateFileW(name, GENERIC_WRITE, SHARE_ALL, nullptr, CREATE_ALWAYS, 0, nullptr));
    for (int wait = 0; wait < 6000 && GetFileAttributesW(name) != INVALID_FILE_ATTRIBUTES; ++wait)
        Sleep(10);
}
#endif

void write_lines_as_text(FILE *stream)
{
    std::fflush(stream);
    _setmode(_fileno(stream), _O_TEXT);
}

// A second handle to the original that shares it for reading only: while it
// is held, no other process may open the original for writing. It is kept
// until the process ends.
bool keep_writers_out(FILE *original, FILE *)
{
    return ReOpenFile(get_handle(original), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, 0) !=
           INVALID_HANDLE_VALUE;
}

bool keeps_size(FILE *stream, std::int64_t size)
{
    LARGE_INTEGER length;
    return GetFileSizeEx(get_handle(stream), &length) != 0 && length.QuadPart == size;
}

bool read_at(FILE *stream, std::int64_t offset, void *buffer, std::size_t length)
{
    return seek(stream, offset, SEEK_SET) && std::fread(buffer, 1, length, stream) == length;
}

bool write_at(FILE *stream, std::int64_t offset, const void *buffer, std::size_t length)
{
    return seek(stream, offset, SEEK_SET) && std::fwrite(buffer, 1, length, stream) == length;
}

bool rewind_file(FILE *stream)
{
    return GetFileType(get_handle(stream)) == FILE_TYPE_DISK && seek(stream, 0, SEEK_SET);
}

bool flush_to_disk(FILE *stream)
{
    return std::fflush(stream) == 0 && !std::ferror(stream) &&
           FlushFileBuffers(get_handle(stream)) != 0;
}

// Windows has no file-size limit, nor signal for a pipe, that kills a process.
void report_write_limits_as_errors() {}

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

target open_target(const char *path, FILE *original, FILE *patch, pipe_use)
{
    target place;
    const std::size_t length = std::strlen(path);
    if (length == 0 || length >= PATH_ROOM)
        return place;
    std::memcpy(place.name, path, length + 1);
    HANDLE handle =
        open_path(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (handle == INVALID_HANDLE_VALUE) {
        place.kind = GetLastError() == ERROR_FILE_NOT_FOUND ? target_kind::replaceable
                                                            : target_kind::refused;
        return place;
    }
    const DWORD type = GetFileType(handle);
    const data_relation to_original = relate_handles(handle, get_handle(original));
    if (!is_separate(handle, patch) || to_original == data_relation::overlapping)
        place.kind = target_kind::refused;
    else if (to_original == data_relation::same)
        place.kind = target_kind::original;
    else
        place.kind = type == FILE_TYPE_DISK   ? target_kind::replaceable
                     : type == FILE_TYPE_CHAR ? target_kind::device
                     : type == FILE_TYPE_PIPE ? target_kind::pipe
                                              : target_kind::refused;
    if (place.kind != target_kind::replaceable && place.kind != target_kind::refused) {
        place.stream = open_stream(handle, _O_RDWR | _O_BINARY,
                                   place.kind == target_kind::original ? "r+b" : "wb");
        if (place.stream == nullptr)
            place.kind = target_kind::refused;
        return place;
    }
    CloseHandle(handle);
    return place;
}

void close_target(target &place)
{
    if (place.stream != nullptr)
        std::fclose(place.stream);
    place.stream = nullptr;
}

namespace
{
// Where the folder part of path ends: after its last separator, or after the
// drive of a drive-relative path ("C:name"); 0 for a bare name.
std::size_t get_folder_length(const char *path, std::size_t length)
{
    std::size_t kept = length;
    while (kept > 0 && path[kept - 1] != '/' && path[kept - 1] != '\\' &&
           !(kept == 2 && path[1] == ':'))
        --kept;
    return kept;
}

// At most limit bytes of a UTF-8 text, never half a character.
int get_whole_characters(const char *text, int limit)
{
    int length = static_cast<int>(std::strlen(text));
    if (length <= limit)
        return length;
    while (limit > 0 && (static_cast<unsigned char>(text[limit]) & 0xC0) == 0x80)
        --limit;
    return limit;
}
} // namespace

namespace
{
// A named temporary file, removed when Ctrl+C, Ctrl+Break or closing the
// console ends the run: its long path, set while it exists.
wchar_t watched_path[32768];
volatile LONG watching = 0;

BOOL WINAPI remove_watched(DWORD)
{
    if (watching != 0)
        DeleteFileW(watched_path); // removed as the process ends and closes it
    return FALSE;                  // then the system ends the run as it would have
}

void watch(const char *name)
{
    static bool installed = false;
    const std::wstring wide = get_wide_path(name);
    if (wide.size() >= std::size(watched_path))
        return;
    watching = 0;
    std::memcpy(watched_path, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
    watching = 1;
    if (!installed)
        installed = SetConsoleCtrlHandler(remove_watched, TRUE) != 0;
}
} // namespace

// Named by the program in the target's folder, as GetTempFileName names only
// paths shorter than 260 characters: ".NAME.torvex-PID-N".
bool create_temp(const target &place, FILE *original, FILE *patch, bool, temp_file &temp)
{
    temp.place = &place;
    const char *path = place.name;
    const std::size_t folder = get_folder_length(path, std::strlen(path));
    const char *base = path + folder;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::snprintf(temp.name, sizeof temp.name, "%.*s.%.*s.torvex-%lu-%d",
                      static_cast<int>(folder), path, get_whole_characters(base, 200), base,
                      GetCurrentProcessId(), attempt);
        HANDLE handle = open_path(temp.name, GENERIC_READ | GENERIC_WRITE, SHARE_ALL, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL);
        if (handle != INVALID_HANDLE_VALUE) {
            watch(temp.name);
            temp.stream = open_stream(handle, _O_RDWR | _O_BINARY, "w+b");
            return temp.stream != nullptr && is_separate(handle, original) &&
                   is_separate(handle, patch);
        }
        if (GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    temp.name[0] = '\0';
    return false;
}

bool clone_file(FILE *, FILE *)
{
    return false;
}

// Windows cannot report holes here: every byte is copied.
bool hides_holes(FILE *, std::int64_t)
{
    return false;
}

copy_result copy_range(FILE *from, FILE *to, std::int64_t start, std::int64_t end, bool,
                       unsigned char *buffer, std::size_t capacity)
{
    for (std::int64_t at = start; at < end;) {
        const auto length = static_cast<std::size_t>(
            std::min<std::int64_t>(end - at, static_cast<std::int64_t>(capacity)));
        if (!read_at(from, at, buffer, length))
            return copy_result::read_failed;
        if (!write_at(to, at, buffer, length))
            return copy_result::write_failed;
        at += static_cast<std::int64_t>(length);
    }
    return copy_result::copied;
}

bool set_length(FILE *stream, std::int64_t length)
{
    return set_handle_length(get_handle(stream), length);
}

bool commit_temp(temp_file &temp)
{
    if (!flush_to_disk(temp.stream))
        return false;
    std::fclose(temp.stream);
    temp.stream = nullptr;
    const std::wstring from = get_wide_path(temp.name), to = get_wide_path(temp.place->name);
    if (to.empty() || MoveFileExW(from.c_str(), to.c_str(),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0)
        return false;
    watching = 0;
    temp = {};
    return true;
}

void discard_temp(temp_file &temp)
{
    if (temp.stream != nullptr)
        std::fclose(temp.stream);
    if (temp.name[0] != '\0')
        DeleteFileW(get_wide_path(temp.name).c_str());
    watching = 0;
    temp = {};
}

// Regular files are compared through views of one block at a time, like
// mappings elsewhere; the views are noted, so that a fault in one of them
// (the file shrank, or its disk failed) ends the run as the read error it is.
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
        fatal_read_error();
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
