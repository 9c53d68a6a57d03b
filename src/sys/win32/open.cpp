// Opening on Windows: inputs, the patch, the patch file and the new file's
// path, each through the wide calls in its long form (paths.hpp), and their
// identity; reads and writes by position.
#include "core/open.hpp"
#include "sys/win32/paths.hpp"
#include "sys/win32/win32.hpp"

#include <cstdint>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

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

HANDLE open_path(const char *path, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    const std::wstring wide = get_wide_path(path);
    if (wide.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(wide.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

FILE *open_file(const char *path)
{
    // Read front to back once: sequential scanning asks for generous read-ahead.
    HANDLE handle =
        open_path(path, GENERIC_READ, SHARE_ALL, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
    FILE *stream =
        handle == INVALID_HANDLE_VALUE ? nullptr : open_stream(handle, _O_RDONLY | _O_BINARY, "rb");
    // A console or a pipe has no size to measure, and reading it could wait forever.
    struct _stat64 info;
    if (stream != nullptr &&
        (_fstat64(_fileno(stream), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG)) {
        std::fclose(stream);
        stream = nullptr;
    }
    return stream;
}

namespace
{
// The runtime's 64-bit positions: plain ftell stops at 2 GiB there.
bool seek(FILE *stream, std::int64_t offset, int origin)
{
    return _fseeki64(stream, offset, origin) == 0;
}
} // namespace

std::int64_t get_position(FILE *stream)
{
    return _ftelli64(stream);
}

std::int64_t get_size(FILE *stream)
{
    const std::int64_t here = _ftelli64(stream);
    if (here < 0 || !seek(stream, 0, SEEK_END))
        return -1;
    const std::int64_t size = _ftelli64(stream);
    return seek(stream, here, SEEK_SET) ? size : -1;
}

// Through the API itself: every Windows has it, where the runtime's 64-bit
// _chsize_s is not in every msvcrt.dll.
bool set_handle_length(HANDLE handle, std::int64_t length)
{
    LARGE_INTEGER at;
    at.QuadPart = length;
    return SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) != 0 && SetEndOfFile(handle) != 0;
}

void cut_file(int fd, std::int64_t length)
{
    set_handle_length(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), length);
}

HANDLE get_handle(FILE *stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

namespace
{
bool get_identity(HANDLE handle, BY_HANDLE_FILE_INFORMATION &info)
{
    return handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info) != 0;
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
                                              static_cast<int>(y.size()), FALSE) == CSTR_EQUAL;
}

} // namespace

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
        return nullptr;
    if (!is_separate(handle, original) || !is_separate(handle, changed) ||
        (GetFileType(handle) == FILE_TYPE_DISK && SetEndOfFile(handle) == 0)) {
        CloseHandle(handle);
        return nullptr;
    }
    return open_stream(handle, _O_WRONLY | _O_TEXT, "w");
}

// Shared for reading only: no one may write the patch while the run holds it.
FILE *open_patch(const char *path)
{
    HANDLE handle = open_path(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    return handle == INVALID_HANDLE_VALUE ? nullptr
                                          : open_stream(handle, _O_RDONLY | _O_BINARY, "rb");
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

// The system writes back on its own; it has no call to start it early.
void start_writeback(FILE *, std::int64_t, std::int64_t) {}

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
// Failed writes raise no signal here.
void hold_write_signals(write_signals_hold &) {}
void release_write_signals(write_signals_hold &) {}

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
