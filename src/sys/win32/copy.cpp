// New files on Windows: a named temporary file beside the one it will
// replace, the original's bytes copied into it, and MoveFileEx.
#include "core/copy.hpp"
#include "core/extents.hpp"
#include "core/progress.hpp"
#include "sys/win32/paths.hpp"
#include "sys/win32/win32.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <windows.h>

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
        if (!keep_going(at))
            return copy_result::stopped;
    }
    return copy_result::copied;
}

bool set_length(FILE *stream, std::int64_t length)
{
    return set_handle_length(get_handle(stream), length);
}

bool commit_temp(temp_file &temp)
{
    // A run told to stop while its file went to the disk stops before it is seen.
    if (!flush_to_disk(temp.stream) || is_stopped())
        return false;
    std::fclose(temp.stream);
    temp.stream = nullptr;
    const std::wstring from = get_wide_path(temp.name), to = get_wide_path(temp.place->name);
    if (to.empty() || MoveFileExW(from.c_str(), to.c_str(),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0)
        return false;
    temp = {};
    return true;
}

void discard_temp(temp_file &temp)
{
    if (temp.stream != nullptr)
        std::fclose(temp.stream);
    if (temp.name[0] != '\0')
        DeleteFileW(get_wide_path(temp.name).c_str());
    temp = {};
}
