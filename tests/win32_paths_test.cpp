// The long form of paths every wide call of the Windows programs takes, from the folder C:\windows.
// Runs on Windows or Wine (which opens long paths unprefixed too: only this table sees it dropped).
#include "sys/win32/paths.hpp"

#include <windows.h>

#include <cstdio>

int main()
{
    if (SetCurrentDirectoryW(L"C:\\windows") == 0)
        return 2;
    const struct {
        const char *path, *wide;
    } rows[] = {
        {"a.bin", R"(\\?\C:\windows\a.bin)"},
        {"dir/sub\\a.bin", R"(\\?\C:\windows\dir\sub\a.bin)"},
        {"..\\a.bin", R"(\\?\C:\a.bin)"},
        {"C:/x/./y/../z", R"(\\?\C:\x\z)"},
        {"C:x", R"(\\?\C:\windows\x)"}, // drive-relative
        {"\\x\\y", R"(\\?\C:\x\y)"},    // the current drive's root
        {"\\\\server\\share\\f", R"(\\?\UNC\server\share\f)"},
        {"//server/share/f", R"(\\?\UNC\server\share\f)"},
        {"\\\\?\\C:\\x\\..\\y", R"(\\?\C:\x\..\y)"}, // prefixed: as it is
        {"\\\\.\\PhysicalDrive0", R"(\\.\PhysicalDrive0)"},
        {"NUL", R"(\\.\NUL)"},
        {"con", R"(\\.\con)"},
        {"C:\\dir\\NUL", R"(\\.\NUL)"},
        {"a.bin . .", R"(\\?\C:\windows\a.bin)"},               // trailing dots and spaces go
        {"\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB x\xF0\x9F\x98\x80y", // Cyrillic, an emoji
         "\\\\?\\C:\\windows\\\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB x\xF0\x9F\x98\x80y"},
        {"", ""},
        {"\xFF", ""}, // not UTF-8
    };
    int failures = 0;
    for (const auto &row : rows) {
        const std::string got = narrow(get_wide_path(row.path).c_str());
        if (got != row.wide) {
            std::printf("FAILED '%s': '%s', not '%s'\n", row.path, got.c_str(), row.wide);
            ++failures;
        }
    }
    std::printf("%d of %d paths as expected\n", static_cast<int>(std::size(rows)) - failures,
                static_cast<int>(std::size(rows)));
    return failures == 0 ? 0 : 1;
}
