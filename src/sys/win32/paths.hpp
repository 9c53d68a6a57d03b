// Paths on Windows. The programs keep every path as UTF-8, as it was typed,
// and turn it into what the wide (UTF-16) calls take just before each call:
// no character is lost to a code page, and no path stops at 260 characters.
#pragma once

#include <string>
#include <string_view>

// The UTF-16 of a UTF-8 text; false where it is not UTF-8.
bool widen(std::string_view utf8, std::wstring &out);
// The UTF-8 of a UTF-16 text; an unpaired surrogate becomes U+FFFD.
std::string narrow(const wchar_t *wide);

// What a wide call takes for path: made absolute by GetFullPathNameW and
// prefixed with \\?\ (\\?\UNC\ for \\server\share), so that it names what it
// named without the prefix, past the 260-character limit. A path already
// starting \\?\ or \\.\, and a device name (NUL, CON, which GetFullPathNameW
// makes \\.\NUL), pass as they are. Empty where path cannot name a file.
std::wstring get_wide_path(const char *path);
