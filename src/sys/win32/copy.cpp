// New files on Windows: a named temporary file beside the one it will
// replace, removed by a console control handler, the original's bytes copied
// into it, and MoveFileEx.
#include "core/files.hpp"
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
