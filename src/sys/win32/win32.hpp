// What the files of the Windows part share among themselves.
#pragma once

#include "core/open.hpp"

#include <cstdint>
#include <cstdio>

#include <windows.h>

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A stream over a handle, which it then owns; nullptr where it cannot be had.
FILE *open_stream(HANDLE handle, int flags, const char *mode);
// CreateFileW on the long form of a UTF-8 path. A path that cannot name a
// file fails as an invalid name.
HANDLE open_path(const char *path, DWORD access, DWORD share, DWORD disposition, DWORD flags);
HANDLE get_handle(FILE *stream);
bool set_handle_length(HANDLE handle, std::int64_t length);
// How writing through handle a relates to the bytes of handle b (see
// relate_data).
data_relation relate_handles(HANDLE a, HANDLE b);
bool is_separate(HANDLE a, FILE *b);
