// Reading the patch twice on Windows: how, and the key of its pieces.
#define _CRT_RAND_S // rand_s, from the C runtime
#include "core/reread.hpp"
#include "core/copy.hpp"
#include "sys/win32/win32.hpp"

#include <cstdint>
#include <cstdlib>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

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
