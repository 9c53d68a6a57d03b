// Paths on Windows: UTF-8 to UTF-16, and the long form of a path.
#include "sys/win32/paths.hpp"

#include <windows.h>

bool widen(std::string_view utf8, std::wstring &out)
{
    out.clear();
    if (utf8.empty())
        return true;
    const auto length = static_cast<int>(utf8.size());
    const int wide =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
    if (wide <= 0)
        return false;
    out.resize(static_cast<std::size_t>(wide));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, out.data(),
                               wide) == wide;
}

std::string narrow(const wchar_t *wide)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1)
        return {};
    std::string out(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), length, nullptr, nullptr);
    out.pop_back(); // the terminating NUL
    return out;
}

namespace
{
bool is_prefixed(std::wstring_view path)
{
    return path.starts_with(L"\\\\?\\") || path.starts_with(L"\\\\.\\");
}

std::wstring get_full_path(const std::wstring &path)
{
    std::wstring full(GetFullPathNameW(path.c_str(), 0, nullptr, nullptr), L'\0');
    const DWORD length =
        full.empty()
            ? 0
            : GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    full.resize(length < full.size() ? length : 0);
    return full;
}
} // namespace

std::wstring get_wide_path(const char *path)
{
    std::wstring wide;
    if (!widen(path, wide) || wide.empty() || is_prefixed(wide))
        return wide;
    const std::wstring full = get_full_path(wide);
    if (full.empty() || is_prefixed(full))
        return full;
    if (full.starts_with(L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}
